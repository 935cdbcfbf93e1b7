// The global options and the one connected Client that every subcommand works on.
#pragma once

#include <tessel/fnd/defs/comm_adapter.h>
#include <velk/quarlink/client.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "demo_server.h"
#include "interrupt.h"

namespace quarlink {

struct GlobalOptions {
  std::string endpoint;
  bool demo = false;                 // start the demo server and work on it instead of an endpoint
  std::string user;                  // empty: anonymous
  std::vector<std::string> options;  // KEY=VALUE connection properties
  bool json = false;
  std::string logLevel = "off";
  std::string sdkLog;
  std::chrono::milliseconds timeout{0};  // 0: the session's own
};

// The library's log levels by the names --log-level takes ("off": none).
const std::vector<std::string>& LogLevelNames();

// Checks the options that need no server (each -o KEY=VALUE, and the endpoint when
// the command needs one), so that a usage error ends the run before anything
// starts. Throws UsageError.
void ValidateOptions(const GlobalOptions& options, bool needsServer = true);

// Routes the library's log lines to stderr at the level of --log-level.
void InstallLogger(const GlobalOptions& options);

// The connection properties of the options: the tool's defaults, then each -o
// KEY=VALUE and --sdk-log. Throws UsageError. No user name or password.
tessel::fnd::defs::PropertyMap ConnectionProperties(const GlobalOptions& options);

class Session {
 public:
  // Routes the library's log lines, starts the demo server with --demo, asks for the password and connects. Throws
  // ConnectError or UsageError. Without `connect` only the endpoint is settled (and the demo server started).
  Session(const GlobalOptions& options, InterruptWatcher& interrupts, bool connect = true);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  velk::quarlink::Client& Client() { return client_; }
  const std::string& Endpoint() const { return endpoint_; }
  // Request options carrying --timeout and the interrupt flag as cancellation.
  tessel::fnd::defs::RequestOptions Request() const;

 private:
  InterruptWatcher& interrupts_;
  std::chrono::milliseconds timeout_;
  std::string endpoint_;
  // Before the client: the client disconnects before the server it talks to stops.
  std::unique_ptr<DemoServer> demoServer_;
  velk::quarlink::Client client_;
};

}  // namespace quarlink
