#include "logging/sdk_log.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "logging/log.h"

namespace velk::quarlink::internal {
namespace {

struct LevelName {
  std::string_view text;
  UA_LogLevel level;
  bool off;
};

constexpr std::array kLevelNames{
    LevelName{"trace", UA_LOGLEVEL_TRACE, false},     LevelName{"debug", UA_LOGLEVEL_DEBUG, false},
    LevelName{"info", UA_LOGLEVEL_INFO, false},       LevelName{"warn", UA_LOGLEVEL_WARNING, false},
    LevelName{"warning", UA_LOGLEVEL_WARNING, false}, LevelName{"error", UA_LOGLEVEL_ERROR, false},
    LevelName{"fatal", UA_LOGLEVEL_FATAL, false},     LevelName{"none", UA_LOGLEVEL_FATAL, true},
    LevelName{"off", UA_LOGLEVEL_FATAL, true},        LevelName{"silent", UA_LOGLEVEL_FATAL, true},
};

const char* LevelText(UA_LogLevel level) {
  switch (level) {
    case UA_LOGLEVEL_TRACE:
      return "trace";
    case UA_LOGLEVEL_DEBUG:
      return "debug";
    case UA_LOGLEVEL_INFO:
      return "info";
    case UA_LOGLEVEL_WARNING:
      return "warning";
    case UA_LOGLEVEL_ERROR:
      return "error";
    case UA_LOGLEVEL_FATAL:
      return "fatal";
  }
  return "?";
}

const char* CategoryText(UA_LogCategory category) {
  constexpr std::array kNames{"network", "channel",  "session",        "server",
                              "client",  "userland", "securitypolicy", "eventloop"};
  const auto index = static_cast<size_t>(category);
  return index < kNames.size() ? kNames[index] : "?";
}

// The stack drops the channel when a response passes the message limit, and the
// requests waiting on it only learn that the channel closed: the cause is told here,
// whatever the stack's own log level.
void ReportOversizedMessage(const SdkLogSettings& settings, const char* msg, va_list args) {
  if (std::strcmp(msg, "Processing the message returned the error code %s") != 0) return;
  va_list copy;
  va_copy(copy, args);
  const char* status = va_arg(copy, const char*);
  va_end(copy);
  if (status != nullptr && std::string_view(status) == "BadTcpMessageTooLarge")
    UALIB_LOG(kWarning, "Connection to {} closed: a response was larger than the message limit (max_message_size)",
              settings.endpoint);
}

}  // namespace

bool ParseSdkLogLevel(std::string text, UA_LogLevel& level, bool& off) {
  off = false;
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const auto& name : kLevelNames) {
    if (text == name.text) {
      level = name.level;
      off = name.off;
      return true;
    }
  }
  return false;
}

void SdkLog(void* context, UA_LogLevel level, UA_LogCategory category, const char* msg, va_list args) {
  const auto* settings = static_cast<const SdkLogSettings*>(context);
  if (settings == nullptr) return;
  if (msg != nullptr && level == UA_LOGLEVEL_ERROR && category == UA_LOGCATEGORY_CLIENT)
    ReportOversizedMessage(*settings, msg, args);
  if (settings->sdkLogOff || level < settings->sdkLogLevel) return;
  // The stack formats its messages with plain printf conversions (its own stdout
  // logger hands them to vfprintf), so vsnprintf reads them correctly.
  char text[1024];
  if (msg == nullptr || std::vsnprintf(text, sizeof text, msg, args) < 0) text[0] = '\0';
  // One buffer and one write per line, so lines of concurrent threads never mix.
  char line[sizeof text + 32];
  const int length = std::snprintf(line, sizeof line, "[%s/%s] %s\n", LevelText(level), CategoryText(category), text);
  if (length <= 0) return;
  std::fwrite(line, 1, static_cast<size_t>(length), stderr);
}

}  // namespace velk::quarlink::internal
