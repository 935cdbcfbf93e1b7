#include "test_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

#ifndef UALIB_TEST_SERVER_PATH
#error "UALIB_TEST_SERVER_PATH must name the quarlink-demo-server executable"
#endif

extern char** environ;

namespace ualib_test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kStartTimeout = std::chrono::seconds(10);
constexpr auto kStopTimeout = std::chrono::seconds(5);
constexpr auto kPortBusyRetryDelay = std::chrono::milliseconds(20);
constexpr int kExitPortBusy = 3;  // see server/main.cpp

std::string ErrnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

std::string DescribeStatus(int status) {
  if (WIFEXITED(status)) {
    return "exit code " + std::to_string(WEXITSTATUS(status));
  }
  if (WIFSIGNALED(status)) {
    return std::string("signal ") + strsignal(WTERMSIG(status));
  }
  return "status " + std::to_string(status);
}

// Reaps `pid` if it exits before `deadline`.
bool WaitForExit(pid_t pid, Clock::time_point deadline, int& status) {
  while (true) {
    pid_t result = waitpid(pid, &status, WNOHANG);
    if (result == pid) {
      return true;
    }
    if (result < 0 && errno != EINTR) {
      status = 0;
      return true;  // not our child any more; nothing left to reap
    }
    if (Clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void KillAndReap(pid_t pid, int& status) {
  kill(pid, SIGKILL);
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// posix_spawn's helpers as RAII; the child gets a clean signal state, since test
// runners and sanitizers may block or catch signals in the parent.
class SpawnSetup {
 public:
  explicit SpawnSetup(int stdoutFd) {
    posix_spawn_file_actions_init(&actions_);
    posix_spawnattr_init(&attributes_);
    posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions_, stdoutFd, STDOUT_FILENO);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes_, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGTERM, SIGINT, SIGPIPE}) {
      sigaddset(&defaults, signal);
    }
    posix_spawnattr_setsigdefault(&attributes_, &defaults);
    posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
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

std::vector<std::string> ServerArguments(uint16_t port, const ServerOptions& options) {
  std::vector<std::string> args{UALIB_TEST_SERVER_PATH, "--port", std::to_string(port), "--parent-pid",
                                std::to_string(getpid())};
  if (options.stateDelayMs > 0) {
    args.insert(args.end(), {"--state-delay-ms", std::to_string(options.stateDelayMs)});
  }
  for (const std::string& name : options.omit) {
    args.insert(args.end(), {"--omit", name});
  }
  args.insert(args.end(), options.extraArgs.begin(), options.extraArgs.end());
  return args;
}

// Reads the server's stdout until the first full line, EOF or the deadline.
std::optional<std::string> ReadFirstLine(int fd, Clock::time_point deadline) {
  std::string text;
  while (text.find('\n') == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      return std::nullopt;
    }
    pollfd entry{fd, POLLIN, 0};
    int ready = poll(&entry, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) {
      return std::nullopt;
    }
    if (ready <= 0) {
      continue;
    }
    char buffer[256];
    ssize_t count = read(fd, buffer, sizeof(buffer));
    if (count == 0) {
      return text;  // EOF: the server is gone
    }
    if (count > 0) {
      text.append(buffer, static_cast<size_t>(count));
    } else if (errno != EINTR && errno != EAGAIN) {
      return std::nullopt;
    }
  }
  return text.substr(0, text.find('\n'));
}

std::optional<uint16_t> ParseReadyLine(const std::string& line) {
  const std::string prefix = "READY ";
  if (line.rfind(prefix, 0) != 0) {
    return std::nullopt;
  }
  try {
    int port = std::stoi(line.substr(prefix.size()));
    if (port > 0 && port <= 65535) {
      return static_cast<uint16_t>(port);
    }
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

}  // namespace

TestServer::TestServer(ServerOptions options) { Start(std::move(options)); }

TestServer::~TestServer() { Stop(); }

std::string TestServer::Endpoint() const { return "opc.tcp://127.0.0.1:" + std::to_string(port_); }

void TestServer::Start(ServerOptions options) {
  if (Running()) {
    throw std::logic_error("TestServer::Start: the server is already running");
  }
  Stop();  // reaps (and reports) a server that ended by itself
  const auto deadline = Clock::now() + kStartTimeout;
  while (true) {
    std::string failure;
    Outcome outcome = Launch(options, deadline, failure);
    if (outcome == Outcome::kReady) {
      return;
    }
    // The previous server's port may take a moment to become free again.
    if (outcome == Outcome::kPortBusy && Clock::now() + kPortBusyRetryDelay < deadline) {
      std::this_thread::sleep_for(kPortBusyRetryDelay);
      continue;
    }
    throw std::runtime_error("TestServer: " + failure);
  }
}

TestServer::Outcome TestServer::Launch(const ServerOptions& options, Clock::time_point deadline, std::string& failure) {
  int pipeFds[2];
  // Close-on-exec, so that servers spawned by other threads do not inherit it.
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    failure = ErrnoText("pipe2");
    return Outcome::kFailed;
  }
  UniqueFd readEnd(pipeFds[0]);
  UniqueFd writeEnd(pipeFds[1]);

  std::vector<std::string> args = ServerArguments(port_, options);
  std::vector<char*> argv;
  for (std::string& arg : args) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);

  pid_t pid = -1;
  {
    SpawnSetup setup(writeEnd.Get());
    int error = posix_spawn(&pid, argv[0], setup.Actions(), setup.Attributes(), argv.data(), environ);
    if (error != 0) {
      failure = std::string("cannot start ") + argv[0] + ": " + std::strerror(error);
      return Outcome::kFailed;
    }
  }
  writeEnd.Reset();  // EOF on the read end now means the server has exited

  std::optional<std::string> line = ReadFirstLine(readEnd.Get(), deadline);
  std::optional<uint16_t> port = line ? ParseReadyLine(*line) : std::nullopt;
  if (port && (port_ == 0 || *port == port_)) {
    port_ = *port;
    pid_ = pid;
    stdout_ = std::move(readEnd);
    return Outcome::kReady;
  }

  int status = 0;
  if (!line) {
    KillAndReap(pid, status);
    failure = "no READY line from the server within 10 s";
    return Outcome::kFailed;
  }
  // EOF or an unexpected line: the server is on its way out.
  if (!WaitForExit(pid, Clock::now() + kStopTimeout, status)) {
    KillAndReap(pid, status);
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == kExitPortBusy) {
    failure = "port " + std::to_string(port_) + " stayed busy";
    return Outcome::kPortBusy;
  }
  failure = "the server did not start (first line \"" + *line + "\", " + DescribeStatus(status) + ")";
  return Outcome::kFailed;
}

void TestServer::Stop() {
  if (pid_ <= 0) {
    return;
  }
  const pid_t pid = std::exchange(pid_, -1);
  int status = 0;
  kill(pid, SIGTERM);
  if (!WaitForExit(pid, Clock::now() + kStopTimeout, status)) {
    KillAndReap(pid, status);
    ADD_FAILURE() << "the test server did not stop within 5 s after SIGTERM";
  } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    // Also catches sanitizer reports of the server, which change its exit code.
    ADD_FAILURE() << "the test server ended abnormally: " << DescribeStatus(status);
  }
  stdout_.Reset();
}

void TestServer::Restart(ServerOptions options) {
  Stop();
  Start(std::move(options));
}

bool TestServer::Running() const {
  if (pid_ <= 0) {
    return false;
  }
  // WNOWAIT: look without reaping, Stop() does that.
  siginfo_t info{};
  if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    return false;
  }
  return info.si_pid == 0;
}

bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout, std::chrono::milliseconds poll) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    if (pred()) {
      return true;
    }
    if (Clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(poll);
  }
}

uint16_t FreeLoopbackPort() {
  UniqueFd socketFd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (!socketFd.Valid() || bind(socketFd.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      getsockname(socketFd.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error(ErrnoText("FreeLoopbackPort"));
  }
  return ntohs(address.sin_port);
}

}  // namespace ualib_test
