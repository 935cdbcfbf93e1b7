#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace quarlink_demo {

struct CommandLine {
  uint16_t port = 0;  // 0: the server picks a free loopback port itself
  std::chrono::milliseconds stateDelay{0};
  std::set<std::string> omit;
  std::optional<pid_t> parentPid;
  uint32_t wideChildren = 0;       // children of the Wide object; 0: no such node
  uint32_t pageSize = 10;          // references per Browse/BrowseNext page
  std::string secureDir;           // non-empty: secured endpoints, their certificate kept here
  uint32_t operationLimit = 0;     // nodes per Read/Write/Browse and monitored items per call; 0: no limit
  uint32_t maxSubscriptions = 0;   // subscriptions of all sessions together; 0: no limit
  bool limitsAdvertised = true;    // false: the limit holds but the server's limit variables are gone
  uint32_t treeNodes = 0;          // nodes below the Plant object; 0: no such node
  uint32_t fastCount = 0;          // variables below the Fast object; 0: no such node
  std::string signPasswordPolicy;  // non-empty: the policy user-name tokens name on sign endpoints
  // --hostile: the hostile address space (hostile_model.h); how late its slow call
  // answers, and how often it deletes every subscription (0: never).
  bool hostile = false;
  std::chrono::milliseconds slowCall{30'000};
  std::chrono::milliseconds dropSubscriptions{3'000};
  bool help = false;  // --help/-h: print the usage and exit, nothing else is read
};

// Parses `--port N [--state-delay-ms N] [--omit NAME]... [--parent-pid PID] [--wide N]
// [--page-size N] [--secure DIR] [--operation-limit N | --unadvertised-limit N]
// [--max-subscriptions N] [--tree N] [--fast N] [--sign-password-policy NAME] [--hostile]
// [--slow-call-ms N] [--drop-subscriptions-ms N]`.
// Returns nothing and fills `error` when the arguments are not understood.
std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& args, std::string& error);

}  // namespace quarlink_demo
