// Runs the project's OPC UA server (quarlink-demo-server) as a child process.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ualib_test {

struct ServerOptions {
  int stateDelayMs = 0;                // ns=1;s=ServerState reads 1 for this long after start
  std::vector<std::string> omit;       // string NodeIds (ns=1) the server does not create
  std::vector<std::string> extraArgs;  // further command-line options of the server
};

// Owns one server process listening on 127.0.0.1. The process also exits by
// itself once this test process is gone, so a crashed test leaves nothing behind.
// Starting throws when the server does not report READY within 10 s; a server
// that ends other than by a clean stop is reported as a test failure.
class TestServer {
 public:
  explicit TestServer(ServerOptions options = {});  // on a free port
  ~TestServer();
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  std::string Endpoint() const;  // "opc.tcp://127.0.0.1:<port>"
  uint16_t Port() const { return port_; }
  // SIGTERM, then SIGKILL if the server has not exited after 5 s. Idempotent.
  void Stop();
  // Starts again on the same port, retrying while the port is still busy.
  void Start(ServerOptions options = {});
  void Restart(ServerOptions options = {});

 private:
  bool Launch(const ServerOptions& options, std::string& failure, bool& portBusy);

  uint16_t port_ = 0;  // 0 until the first start: the server picks a free port
  pid_t pid_ = -1;
  int stdout_ = -1;  // read end of the server's stdout, open while it runs
};

// Polls `pred` until it holds or `timeout` has passed; returns its last result.
bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout,
             std::chrono::milliseconds poll = std::chrono::milliseconds(5));

// A port on 127.0.0.1 that was free a moment ago.
uint16_t FreeLoopbackPort();

}  // namespace ualib_test
