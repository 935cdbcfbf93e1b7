// Bridge from the stack's own log lines to standard error, silent by default.
#pragma once

#include <open62541/plugin/log.h>

#include <cstdarg>
#include <string>

namespace velk::quarlink::internal {

// The bridge's settings; the stack's logger context points at them.
struct SdkLogSettings {
  UA_LogLevel sdkLogLevel = UA_LOGLEVEL_FATAL;  // least severe level that is printed
  bool sdkLogOff = true;                        // true suppresses every line
  std::string endpoint;                         // named in the adapter's own lines
};

// Maps "trace" .. "fatal" and "none"/"off"/"silent" (any letter case) to a level;
// false, with level unchanged and off false, for any other text.
bool ParseSdkLogLevel(std::string text, UA_LogLevel& level, bool& off);

// The stack's log callback; context is the session's SdkLogSettings. A channel the
// stack drops for a response over the message limit is also told in the adapter's log.
void SdkLog(void* context, UA_LogLevel level, UA_LogCategory category, const char* msg, va_list args);

}  // namespace velk::quarlink::internal
