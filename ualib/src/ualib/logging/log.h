// The adapter's one log path. Every line is "time:file:line:function:thread: text",
// built only after the logger's level let the statement through.
#pragma once

#include <fmt/format.h>
#include <tessel/fnd/log.h>

#include <string>
#include <string_view>

namespace velk::quarlink::internal {

inline constexpr int kTrace = 0;
inline constexpr int kDebug = 10;
inline constexpr int kInfo = 20;
inline constexpr int kWarning = 30;
inline constexpr int kError = 40;

std::string BuildLogLine(const char* file, int line, const char* function, std::string_view text);

// Emits through the logger that already passed the level check.
void EmitFormatted(tessel::fnd::Logger& logger, int level, const char* file, int line, const char* function,
                   fmt::string_view format, fmt::format_args args);

// The format string is checked against the arguments at compile time, so a log
// statement can never throw from inside a stack callback.
template <typename... Args>
void EmitLine(tessel::fnd::Logger& logger, int level, const char* file, int line, const char* function,
              fmt::format_string<const Args&...> format, const Args&... args) {
  EmitFormatted(logger, level, file, line, function, format.get(), fmt::make_format_args(args...));
}

// The tracer's entry line: the signature as the compiler spells it, but only when a
// logger is installed and lets trace lines through; otherwise empty.
std::string TraceEntryLine(const char* file, int line, const char* function, const char* signature);

}  // namespace velk::quarlink::internal

// The level is checked before any argument is formatted or any string is built.
#define UALIB_LOG(severity, ...)                                                                                 \
  do {                                                                                                           \
    ::tessel::fnd::Logger& ualibLogger_ = ::tessel::fnd::Log();                                                  \
    if (ualibLogger_.level <= (severity))                                                                        \
      ::velk::quarlink::internal::EmitLine(ualibLogger_, (severity), __FILE__, __LINE__, __func__, __VA_ARGS__); \
  } while (0)

#define UALIB_TRACE()                       \
  ::tessel::fnd::ScopedTracer ualibTracer_( \
      ::velk::quarlink::internal::TraceEntryLine(__FILE__, __LINE__, __func__, __PRETTY_FUNCTION__), std::string())
