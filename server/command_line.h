#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace ualib_test_server {

struct CommandLine {
  uint16_t port = 0;  // 0: the server picks a free loopback port itself
  std::chrono::milliseconds stateDelay{0};
  std::set<std::string> omit;
  std::optional<pid_t> parentPid;
};

// Parses `--port N [--state-delay-ms N] [--omit NAME]... [--parent-pid PID]`.
// Returns nothing and fills `error` when the arguments are not understood.
std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& args, std::string& error);

}  // namespace ualib_test_server
