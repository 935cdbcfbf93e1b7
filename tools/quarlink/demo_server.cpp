#include "demo_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "errors.h"

extern char** environ;

namespace quarlink {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kStartTimeout = std::chrono::seconds(10);
constexpr auto kStopTimeout = std::chrono::seconds(5);

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

// posix_spawn's settings as RAII. The server gets its own process group, so the
// Ctrl-C meant for the tool does not stop it under a running command, and a clean
// signal state, since the tool blocks SIGINT and SIGTERM for its own watcher.
class SpawnSetup {
 public:
  explicit SpawnSetup(int stdoutFd) {
    posix_spawn_file_actions_init(&actions_);
    posix_spawnattr_init(&attributes_);
    posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions_, stdoutFd, STDOUT_FILENO);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes_, &signals);
    for (int signal : {SIGTERM, SIGINT, SIGPIPE}) sigaddset(&signals, signal);
    posix_spawnattr_setsigdefault(&attributes_, &signals);
    posix_spawnattr_setpgroup(&attributes_, 0);
    posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  }
  ~SpawnSetup() {
    posix_spawnattr_destroy(&attributes_);
    posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  const posix_spawn_file_actions_t* Actions() const { return &actions_; }
  const posix_spawnattr_t* Attributes() const { return &attributes_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

// The first line the server prints, or nothing when it ends or stays silent.
std::optional<std::string> ReadFirstLine(int fd, Clock::time_point deadline) {
  std::string text;
  while (text.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return std::nullopt;
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(left)) <= 0) continue;
    char buffer[128];
    const ssize_t count = read(fd, buffer, sizeof buffer);
    if (count == 0) return std::nullopt;
    if (count > 0) text.append(buffer, static_cast<size_t>(count));
  }
  return text.substr(0, text.find('\n'));
}

std::optional<uint16_t> ReadyPort(const std::string& line) {
  unsigned port = 0;
  char rest = 0;
  if (std::sscanf(line.c_str(), "READY %u%c", &port, &rest) != 1 || port == 0 || port > 65535) return std::nullopt;
  return static_cast<uint16_t>(port);
}

// Reaps the server, waiting at most until `deadline`.
bool Reaped(pid_t pid, Clock::time_point deadline) {
  while (true) {
    int status = 0;
    const pid_t result = waitpid(pid, &status, WNOHANG);
    if (result == pid || (result < 0 && errno != EINTR)) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void Terminate(pid_t pid) {
  kill(pid, SIGTERM);
  if (!Reaped(pid, Clock::now() + kStopTimeout)) {
    kill(pid, SIGKILL);
    Reaped(pid, Clock::time_point::max());
  }
}

}  // namespace

std::string DemoServerPath() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return (self.parent_path() / "quarlink-demo-server").string();
}

DemoServer::DemoServer() {
  const std::string path = DemoServerPath();
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) throw ConnectError(std::string("cannot start the demo server: ") + strerror(errno));
  Fd readEnd{ends[0]};
  Fd writeEnd{ends[1]};
  // --parent-pid: the server also ends when the tool dies without stopping it.
  std::vector<std::string> args{path, "--port", "0", "--parent-pid", std::to_string(getpid())};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  int error = 0;
  {
    SpawnSetup setup(writeEnd.fd);
    error = posix_spawn(&pid_, path.c_str(), setup.Actions(), setup.Attributes(), argv.data(), environ);
  }
  if (error != 0) throw ConnectError("cannot start the demo server " + path + ": " + strerror(error));
  close(std::exchange(writeEnd.fd, -1));  // EOF on the read end now means the server ended

  const std::optional<std::string> line = ReadFirstLine(readEnd.fd, Clock::now() + kStartTimeout);
  const std::optional<uint16_t> port = line ? ReadyPort(*line) : std::nullopt;
  if (!port) {
    Terminate(pid_);
    throw ConnectError("the demo server " + path + " did not start (give a server with --endpoint)");
  }
  port_ = *port;
}

DemoServer::~DemoServer() { Terminate(pid_); }

}  // namespace quarlink
