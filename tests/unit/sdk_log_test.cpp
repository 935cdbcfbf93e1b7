#include "logging/sdk_log.h"

#include <gtest/gtest.h>

#include <string>

#include "stderr_capture.h"

namespace velk::quarlink::internal {
namespace {

TEST(ParseSdkLogLevel, AcceptsEveryNameInAnyCaseAndRefusesTheRest) {
  const struct {
    std::string text;
    bool accepted;
    UA_LogLevel level;
    bool off;
  } cases[] = {
      {"trace", true, UA_LOGLEVEL_TRACE, false},
      {"DEBUG", true, UA_LOGLEVEL_DEBUG, false},
      {"Info", true, UA_LOGLEVEL_INFO, false},
      {"warn", true, UA_LOGLEVEL_WARNING, false},
      {"WARNING", true, UA_LOGLEVEL_WARNING, false},
      {"error", true, UA_LOGLEVEL_ERROR, false},
      {"fatal", true, UA_LOGLEVEL_FATAL, false},
      {"none", true, UA_LOGLEVEL_FATAL, true},
      {"OFF", true, UA_LOGLEVEL_FATAL, true},
      {"Silent", true, UA_LOGLEVEL_FATAL, true},
      // Refused: the level stays as it was and the output is not switched off.
      {"", false, UA_LOGLEVEL_TRACE, false},
      {" info", false, UA_LOGLEVEL_TRACE, false},
      {"warnings", false, UA_LOGLEVEL_TRACE, false},
      {std::string("info\0", 5), false, UA_LOGLEVEL_TRACE, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    UA_LogLevel level = UA_LOGLEVEL_TRACE;
    bool off = !c.off;
    EXPECT_EQ(ParseSdkLogLevel(c.text, level, off), c.accepted);
    EXPECT_EQ(level, c.level);
    EXPECT_EQ(off, c.off);
  }
}

__attribute__((format(printf, 4, 5))) void Log(const SdkLogSettings* settings, UA_LogLevel level,
                                               UA_LogCategory category, const char* msg, ...) {
  va_list args;
  va_start(args, msg);
  SdkLog(const_cast<SdkLogSettings*>(settings), level, category, msg, args);
  va_end(args);
}

std::string Logged(const SdkLogSettings* settings, UA_LogLevel level, UA_LogCategory category) {
  ualib_test::StderrCapture capture;
  Log(settings, level, category, "%s %d%%", "t", 7);
  return capture.Text();
}

TEST(SdkLog, PrintsOneLineAtOrAboveTheThresholdUnlessOff) {
  const SdkLogSettings warnings{UA_LOGLEVEL_WARNING, false, {}};
  const SdkLogSettings off{UA_LOGLEVEL_TRACE, true, {}};
  const SdkLogSettings defaults;  // silent
  EXPECT_EQ(Logged(&warnings, UA_LOGLEVEL_WARNING, UA_LOGCATEGORY_SECURECHANNEL), "[warning/channel] t 7%\n");
  EXPECT_EQ(Logged(&warnings, UA_LOGLEVEL_FATAL, UA_LOGCATEGORY_EVENTLOOP), "[fatal/eventloop] t 7%\n");
  EXPECT_EQ(Logged(&warnings, UA_LOGLEVEL_ERROR, static_cast<UA_LogCategory>(8)), "[error/?] t 7%\n");
  EXPECT_EQ(Logged(&warnings, UA_LOGLEVEL_INFO, UA_LOGCATEGORY_CLIENT), "");
  EXPECT_EQ(Logged(&off, UA_LOGLEVEL_FATAL, UA_LOGCATEGORY_CLIENT), "");
  EXPECT_EQ(Logged(&defaults, UA_LOGLEVEL_FATAL, UA_LOGCATEGORY_CLIENT), "");
  EXPECT_EQ(Logged(nullptr, UA_LOGLEVEL_FATAL, UA_LOGCATEGORY_CLIENT), "");
  ualib_test::StderrCapture capture;  // long messages are cut at 1023 characters
  Log(&warnings, UA_LOGLEVEL_ERROR, UA_LOGCATEGORY_NETWORK, "%s", std::string(2000, 'm').c_str());
  EXPECT_EQ(capture.Text(), "[error/network] " + std::string(1023, 'm') + "\n");
}

}  // namespace
}  // namespace velk::quarlink::internal
