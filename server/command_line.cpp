#include "command_line.h"

#include <charconv>
#include <limits>

namespace quarlink_demo {
namespace {

template <typename Int>
std::optional<Int> ParseInteger(const std::string& text, Int min, Int max) {
  long long value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || text.empty() || value < min || value > max) {
    return std::nullopt;
  }
  return static_cast<Int>(value);
}

}  // namespace

std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& args, std::string& error) {
  CommandLine result;
  bool havePort = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& flag = args[i];
    if (flag == "--help" || flag == "-h") {
      result.help = true;
      return result;
    }
    if (flag == "--hostile") {
      result.hostile = true;
      continue;
    }
    if (i + 1 >= args.size()) {
      error = "missing value after " + flag;
      return std::nullopt;
    }
    const std::string& value = args[++i];
    if (flag == "--port") {
      auto port = ParseInteger<uint16_t>(value, 0, std::numeric_limits<uint16_t>::max());
      if (!port) {
        error = "bad port: " + value;
        return std::nullopt;
      }
      result.port = *port;
      havePort = true;
    } else if (flag == "--state-delay-ms") {
      auto delay = ParseInteger<int>(value, 0, std::numeric_limits<int>::max());
      if (!delay) {
        error = "bad delay: " + value;
        return std::nullopt;
      }
      result.stateDelay = std::chrono::milliseconds(*delay);
    } else if (flag == "--slow-call-ms" || flag == "--drop-subscriptions-ms") {
      auto delay = ParseInteger<int>(value, 0, std::numeric_limits<int>::max());
      if (!delay) {
        error = "bad delay: " + value;
        return std::nullopt;
      }
      (flag == "--slow-call-ms" ? result.slowCall : result.dropSubscriptions) = std::chrono::milliseconds(*delay);
    } else if (flag == "--secure") {
      result.secureDir = value;
    } else if (flag == "--sign-password-policy") {
      result.signPasswordPolicy = value;
    } else if (flag == "--omit") {
      result.omit.insert(value);
    } else if (flag == "--parent-pid") {
      auto pid = ParseInteger<pid_t>(value, 1, std::numeric_limits<pid_t>::max());
      if (!pid) {
        error = "bad parent pid: " + value;
        return std::nullopt;
      }
      result.parentPid = *pid;
    } else if (flag == "--operation-limit" || flag == "--unadvertised-limit") {
      auto limit = ParseInteger<uint32_t>(value, 0, 1'000'000);
      if (!limit) {
        error = "bad operation limit: " + value;
        return std::nullopt;
      }
      result.operationLimit = *limit;
      result.limitsAdvertised = flag == "--operation-limit";
    } else if (flag == "--max-subscriptions") {
      auto limit = ParseInteger<uint32_t>(value, 0, 1'000'000);
      if (!limit) {
        error = "bad subscription limit: " + value;
        return std::nullopt;
      }
      result.maxSubscriptions = *limit;
    } else if (flag == "--wide" || flag == "--page-size") {
      auto count = ParseInteger<uint32_t>(value, flag == "--wide" ? 0 : 1, 1'000'000);
      if (!count) {
        error = "bad count: " + value;
        return std::nullopt;
      }
      (flag == "--wide" ? result.wideChildren : result.pageSize) = *count;
    } else if (flag == "--tree" || flag == "--fast") {
      auto count = ParseInteger<uint32_t>(value, 0, 1'000'000);
      if (!count) {
        error = "bad count: " + value;
        return std::nullopt;
      }
      (flag == "--tree" ? result.treeNodes : result.fastCount) = *count;
    } else {
      error = "unknown option: " + flag;
      return std::nullopt;
    }
  }
  if (!havePort) {
    error = "--port is required";
    return std::nullopt;
  }
  return result;
}

}  // namespace quarlink_demo
