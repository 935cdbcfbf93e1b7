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
#include <stdexcept>
#include <thread>
#include <utility>

#ifndef UALIB_TEST_SERVER_PATH
#error "UALIB_TEST_SERVER_PATH must name the ualib_test_server executable"
#endif

extern char** environ;

namespace ualib_test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kExitPortBusy = 3;  // the server's exit code when it cannot listen

// Reaps pid if it exits before the deadline.
bool WaitForExit(pid_t pid, Clock::time_point deadline, int& status) {
  for (;;) {
    const pid_t result = waitpid(pid, &status, WNOHANG);
    if (result == pid || (result < 0 && errno != EINTR)) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void KillAndReap(pid_t pid, int& status) {
  kill(pid, SIGKILL);
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// The first line the server prints ("READY <port>"), or empty on EOF or after 10 s.
std::string FirstLine(int fd) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  std::string text;
  while (text.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd entry{fd, POLLIN, 0};
    if (left <= 0) return {};
    if (poll(&entry, 1, static_cast<int>(left)) <= 0) continue;  // interrupted, or the time is up
    char buffer[256];
    const ssize_t count = read(fd, buffer, sizeof buffer);
    if (count == 0) return {};
    if (count > 0) text.append(buffer, static_cast<size_t>(count));
  }
  return text.substr(0, text.find('\n'));
}

}  // namespace

TestServer::TestServer(ServerOptions options) { Start(std::move(options)); }

TestServer::~TestServer() { Stop(); }

std::string TestServer::Endpoint() const { return "opc.tcp://127.0.0.1:" + std::to_string(port_); }

void TestServer::Start(ServerOptions options) {
  Stop();
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  std::string failure;
  bool portBusy = false;
  // The previous server's port may take a moment to become free again.
  while (!Launch(options, failure, portBusy)) {
    if (!portBusy || Clock::now() > deadline) throw std::runtime_error("TestServer: " + failure);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool TestServer::Launch(const ServerOptions& options, std::string& failure, bool& portBusy) {
  std::vector<std::string> args{UALIB_TEST_SERVER_PATH, "--port", std::to_string(port_), "--parent-pid",
                                std::to_string(getpid())};
  if (options.stateDelayMs > 0) args.insert(args.end(), {"--state-delay-ms", std::to_string(options.stateDelayMs)});
  for (const std::string& name : options.omit) args.insert(args.end(), {"--omit", name});
  args.insert(args.end(), options.extraArgs.begin(), options.extraArgs.end());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("TestServer: pipe2 failed");
  // The child gets a clean signal state: test runners and sanitizers may block or catch signals.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  const int error = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);  // EOF on the read end now means the server has exited
  if (error != 0) {
    close(fds[0]);
    throw std::runtime_error(std::string("TestServer: cannot start the server: ") + std::strerror(error));
  }
  const std::string line = FirstLine(fds[0]);
  const int port = line.rfind("READY ", 0) == 0 ? std::atoi(line.c_str() + 6) : 0;
  if (port > 0 && (port_ == 0 || port == port_)) {
    port_ = static_cast<uint16_t>(port);
    pid_ = pid;
    stdout_ = fds[0];
    return true;
  }
  close(fds[0]);
  int status = 0;
  if (!WaitForExit(pid, Clock::now() + std::chrono::seconds(5), status)) KillAndReap(pid, status);
  portBusy = WIFEXITED(status) && WEXITSTATUS(status) == kExitPortBusy;
  failure = "the server did not start (first line \"" + line + "\", status " + std::to_string(status) + ")";
  return false;
}

void TestServer::Stop() {
  if (pid_ <= 0) return;
  const pid_t pid = std::exchange(pid_, -1);
  int status = 0;
  kill(pid, SIGTERM);
  if (!WaitForExit(pid, Clock::now() + std::chrono::seconds(5), status)) {
    KillAndReap(pid, status);
    ADD_FAILURE() << "the test server did not stop within 5 s after SIGTERM";
  } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    // Also catches sanitizer reports of the server, which change its exit code.
    ADD_FAILURE() << "the test server ended abnormally (status " << status << ")";
  }
  close(std::exchange(stdout_, -1));
}

void TestServer::Restart(ServerOptions options) { Start(std::move(options)); }

bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout, std::chrono::milliseconds poll) {
  const auto deadline = Clock::now() + timeout;
  while (!pred()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(poll);
  }
  return true;
}

uint16_t FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  const bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  if (fd >= 0) close(fd);
  if (!ok) throw std::runtime_error("FreeLoopbackPort failed");
  return ntohs(address.sin_port);
}

}  // namespace ualib_test
