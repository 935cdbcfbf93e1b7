// The subcommands. Each checks what it can before connecting (throwing UsageError),
// then runs against the session and returns the exit code.
#pragma once

#include <tessel/fnd/defs/comm_adapter.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "interrupt.h"
#include "session.h"

namespace quarlink {

struct Context {
  Session& session;
  InterruptWatcher& interrupts;
  bool json;
  // Set when a request timed out: closing the session politely would wait for the
  // same server once more.
  bool unresponsive = false;
};

struct BrowseOptions {
  std::optional<std::string> root;  // nothing: the Objects folder
  bool recursive = false;
  uint32_t depth = 0;  // levels below the start node, implies recursive; 0: all
  bool values = false;
  bool paths = false;  // each node with its browse path from the start node
};
int RunBrowse(Context& context, const BrowseOptions& options);

struct ReadOptions {
  std::vector<std::string> nodes;
  std::string attribute;    // empty: the Value
  bool timestamps = false;  // the source and the server time of each value
};
int RunRead(Context& context, const ReadOptions& options);
int RunDataType(Context& context, const std::vector<std::string>& nodes);
int RunStatus(Context& context);

// Without a session: the endpoints (GetEndpoints) and servers (FindServers) of -e.
int RunEndpoints(Context& context);
int RunServers(Context& context);

// Without a server: the client certificate that -o certificate and private_key name
// (created there when neither file exists), to be trusted on the server.
int RunCertShow(const GlobalOptions& options);

// One NODE=VALUE of write; the value is parsed once the node's data type is known,
// and all of them before the first is sent.
struct Assignment {
  std::string node;
  std::string text;
};
std::vector<Assignment> ParseAssignments(const std::vector<std::string>& arguments);
int RunWrite(Context& context, const std::vector<Assignment>& assignments);

struct CallOptions {
  std::string method;
  std::vector<std::string> arguments;  // TYPE:VALUE each
  std::optional<std::string> object;   // nothing: the library derives it from the method
};
std::vector<tessel::fnd::defs::CallArgument> ParseCallArguments(const std::vector<std::string>& arguments);
int RunCall(Context& context, const CallOptions& options, const std::vector<tessel::fnd::defs::CallArgument>& inputs);

struct SubscribeOptions {
  std::vector<std::string> nodes;
  double seconds = 0;  // 0: until SIGINT or SIGTERM
  std::optional<unsigned> samplingMs;
  std::optional<unsigned> publishingMs;
};
int RunSubscribe(Context& context, const SubscribeOptions& options);

// Shared by the commands: a failure of a whole request ends the command with exit
// code 1 after one line on stderr; a cancelled one counts as interrupted.
int RequestFailed(Context& context, const std::string& what, tessel::fnd::defs::ResultCode code,
                  const std::string& message);

}  // namespace quarlink
