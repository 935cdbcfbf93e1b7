// The host's time stamp helper that every log line starts with.
#include <gtest/gtest.h>
#include <tessel/fnd/log.h>

namespace {

TEST(IsoTime, FormatsUtcWithTrimmedFraction) {
  struct Case {
    double seconds;
    uint8_t precision;
    const char* text;
  };
  const Case cases[] = {
      {0.0, 6, "1970-01-01T00:00:00"},
      {1700000000.123456, 6, "2023-11-14T22:13:20.123456"},
      {1700000000.123456, 3, "2023-11-14T22:13:20.123"},
      // A fraction that rounds up to a whole second carries into the seconds.
      {59.9999999, 6, "1970-01-01T00:01:00"},
      {0.96, 1, "1970-01-01T00:00:01"},
      // Times before 1970 count back from the next whole second.
      {-0.5, 6, "1969-12-31T23:59:59.5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(tessel::fnd::IsoTime(c.seconds, c.precision), c.text);
  }
}

}  // namespace
