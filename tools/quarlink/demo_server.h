// The bundled demo server, started for one command when no endpoint is given.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace quarlink {

class DemoServer {
 public:
  // Starts quarlink-demo-server from the directory of the tool's own executable on a
  // free loopback port and waits for it to accept connections. Throws ConnectError.
  DemoServer();
  // Stops the server: SIGTERM, then SIGKILL when it has not exited after 5 s.
  ~DemoServer();
  DemoServer(const DemoServer&) = delete;
  DemoServer& operator=(const DemoServer&) = delete;

  std::string Endpoint() const { return "opc.tcp://127.0.0.1:" + std::to_string(port_); }

 private:
  pid_t pid_ = -1;
  uint16_t port_ = 0;
};

// Where the tool looks for the demo server: beside its own executable.
std::string DemoServerPath();

}  // namespace quarlink
