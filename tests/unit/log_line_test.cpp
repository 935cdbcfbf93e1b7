#include <gtest/gtest.h>
#include <pthread.h>

#include <regex>
#include <string>
#include <thread>

#include "log_capture.h"
#include "logging/log.h"

namespace {

// Counts how often fmt formats it, to prove that filtered lines format nothing.
struct Costly {
  static inline int formatted = 0;
};

}  // namespace

template <>
struct fmt::formatter<Costly> : fmt::formatter<std::string_view> {
  auto format(const Costly&, fmt::format_context& ctx) const {
    ++Costly::formatted;
    return fmt::formatter<std::string_view>::format("costly", ctx);
  }
};

namespace velk::quarlink::internal {
namespace {

using ualib_test::LogCapture;

TEST(LogLine, HasTimeFileLineFunctionThreadAndText) {
  std::string line;
  std::thread named([&line] {
    pthread_setname_np(pthread_self(), "ua-worker");
    line = BuildLogLine("read.cpp", 42, "ReadBatch", "text: with colons");
  });
  named.join();
  const std::regex shape(
      R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d+)?:read\.cpp:42:ReadBatch:ua-worker: text: with colons)");
  EXPECT_TRUE(std::regex_match(line, shape)) << line;
}

TEST(LogLine, FilteredStatementsEvaluateAndFormatNothing) {
  const LogCapture capture(kWarning);
  int evaluated = 0;
  Costly::formatted = 0;
  UALIB_LOG(kInfo, "{} {}", ++evaluated, Costly{});
  EXPECT_EQ(evaluated, 0);
  EXPECT_EQ(Costly::formatted, 0);
  EXPECT_TRUE(capture.Lines().empty());

  UALIB_LOG(kWarning, "{} {}", ++evaluated, Costly{});
  EXPECT_EQ(Costly::formatted, 1);
  ASSERT_EQ(capture.Lines().size(), 1u);
  EXPECT_EQ(capture.Lines()[0].level, kWarning);
  EXPECT_EQ(capture.Lines()[0].Text(), "1 costly");
}

void TracedOperation(int) { UALIB_TRACE(); }

TEST(LogLine, TracerEntryLineOnlyWhenTraceLinesPass) {
  EXPECT_EQ(TraceEntryLine("f.cpp", 1, "F", "void F()"), "");  // no logger installed
  {
    const LogCapture capture(kDebug);
    TracedOperation(1);
    EXPECT_TRUE(capture.Lines().empty());
  }
  const LogCapture capture(kTrace);
  TracedOperation(1);
  ASSERT_EQ(capture.Lines().size(), 1u);
  EXPECT_EQ(capture.Lines()[0].level, kTrace);
  EXPECT_EQ(capture.Lines()[0].Text(), "void velk::quarlink::internal::{anonymous}::TracedOperation(int)");
}

}  // namespace
}  // namespace velk::quarlink::internal
