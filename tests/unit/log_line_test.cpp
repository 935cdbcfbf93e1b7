#include <gtest/gtest.h>
#include <pthread.h>

#include <cctype>
#include <string>
#include <thread>

#include "log.h"
#include "log_capture.h"

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

// "YYYY-MM-DDTHH:MM:SS" with an optional fraction of one to six digits.
bool IsIsoTime(const std::string& text) {
  const std::string shape = "dddd-dd-ddTdd:dd:dd";
  if (text.size() < shape.size() || text.size() == shape.size() + 1) return false;
  // At most six significant digits: zeros right after the point do not count.
  const size_t fraction = text.size() > shape.size() ? text.size() - shape.size() - 1 : 0;
  const size_t leadingZeros = fraction ? text.find_first_not_of('0', shape.size() + 1) - shape.size() - 1 : 0;
  if (fraction - leadingZeros > 6) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char expected = i < shape.size() ? shape[i] : (i == shape.size() ? '.' : 'd');
    const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
    if (expected == 'd' ? !digit : text[i] != expected) return false;
  }
  return true;
}

TEST(LogLine, HasTimeFileLineFunctionThreadAndText) {
  std::string line;
  std::thread named([&line] {
    pthread_setname_np(pthread_self(), "ua-worker");
    line = BuildLogLine("read.cpp", 42, "ReadBatch", "text: with colons");
  });
  named.join();
  const std::string rest = ":read.cpp:42:ReadBatch:ua-worker: text: with colons";
  ASSERT_GT(line.size(), rest.size());
  const std::string time = line.substr(0, line.size() - rest.size());
  EXPECT_EQ(line.substr(time.size()), rest);
  EXPECT_TRUE(IsIsoTime(time)) << line;
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
  EXPECT_EQ(evaluated, 1);
  EXPECT_EQ(Costly::formatted, 1);
  ASSERT_EQ(capture.Lines().size(), 1u);
  EXPECT_EQ(capture.Lines()[0].level, kWarning);
  EXPECT_EQ(capture.Lines()[0].Text(), "1 costly");
  EXPECT_EQ(capture.Lines()[0].Function(), "TestBody");
}

void TracedOperation(int) { UALIB_TRACE(); }

TEST(LogLine, TracerEntryLineOnlyWhenTraceLinesPass) {
  EXPECT_EQ(TraceEntryLine("f.cpp", 1, "F", "void F()"), "");  // no logger installed
  {
    const LogCapture capture(kDebug);
    EXPECT_EQ(TraceEntryLine("f.cpp", 1, "F", "void F()"), "");
    TracedOperation(1);
    EXPECT_TRUE(capture.Lines().empty());
  }
  const LogCapture capture(kTrace);
  TracedOperation(1);
  ASSERT_EQ(capture.Lines().size(), 1u);
  EXPECT_EQ(capture.Lines()[0].level, kTrace);
  EXPECT_EQ(capture.Lines()[0].Function(), "TracedOperation");
  EXPECT_EQ(capture.Lines()[0].Text(), "void velk::quarlink::internal::{anonymous}::TracedOperation(int)");
}

}  // namespace
}  // namespace velk::quarlink::internal
