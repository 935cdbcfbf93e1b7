#include "logging/log.h"

namespace velk::quarlink::internal {

std::string BuildLogLine(const char* file, int line, const char* function, std::string_view text) {
  return fmt::format("{}:{}:{}:{}:{}: {}", tessel::fnd::IsoTimeNow(6), file, line, function, tessel::fnd::ThreadName(),
                     text);
}

void EmitFormatted(tessel::fnd::Logger& logger, int level, const char* file, int line, const char* function,
                   fmt::string_view format, fmt::format_args args) {
  logger.Emit(level, BuildLogLine(file, line, function, fmt::vformat(format, args)));
}

std::string TraceEntryLine(const char* file, int line, const char* function, const char* signature) {
  if (!tessel::fnd::HasLogger() || tessel::fnd::Log().level > kTrace) return {};
  return BuildLogLine(file, line, function, signature);
}

}  // namespace velk::quarlink::internal
