#include "values/convert.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "values/ua_types.h"

namespace velk::quarlink::internal {
namespace {

using tessel::fnd::defs::PropertyMap;
using tessel::fnd::defs::Value;

// Only the scalar alternatives have a stack counterpart: every container and the
// empty value are refused, whatever they hold.
TEST(Convert, NonScalarAlternativesAreRefused) {
  PropertyMap map;
  map.Set("k", "v");
  const std::vector<Value> refused = {std::monostate{},
                                      std::vector<uint8_t>{1},
                                      std::vector<bool>{true},
                                      std::vector<int32_t>{1},
                                      std::vector<uint32_t>{1},
                                      std::vector<int64_t>{1},
                                      std::vector<uint64_t>{1},
                                      std::vector<float>{1.f},
                                      std::vector<double>{1.},
                                      std::vector<std::string>{},
                                      map,
                                      std::vector<int16_t>{1},
                                      std::vector<uint16_t>{1},
                                      std::vector<int8_t>{1}};
  for (const Value& value : refused) {
    UaVariant written;
    EXPECT_FALSE(ValueToUaVariant(value, *written)) << value.index();
    EXPECT_EQ(written->type, nullptr) << value.index();
  }
}

constexpr int64_t kUnixEpochTicks = 116444736000000000;
constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kInt64Min = std::numeric_limits<int64_t>::min();
constexpr int64_t kLatestNanos = kInt64Max - kInt64Max % 1000;

TEST(UaDateTimeToUnixNanos, TruncatesTowardZeroAndSaturates) {
  struct Case {
    int64_t ticks;
    int64_t nanos;
  };
  const Case cases[] = {
      {kUnixEpochTicks, 0},
      {kUnixEpochTicks + 19, 1000},   // the last tick digit is lost
      {kUnixEpochTicks - 19, -1000},  // toward zero, not toward -infinity
      {kUnixEpochTicks + 17'000'000'000'000'005, 1'700'000'000'000'000'000},
      {kInt64Max, kLatestNanos},
      {kUnixEpochTicks + (kInt64Max / 1000) * 10 - 10, kLatestNanos - 1000},
      {0, -kLatestNanos},  // the year 1601 is before the earliest time that fits
      {kInt64Min, -kLatestNanos},
      {kInt64Min + kUnixEpochTicks - 1, -kLatestNanos},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ticks);
    EXPECT_EQ(UaDateTimeToUnixNanos(c.ticks), c.nanos);
  }
}

}  // namespace
}  // namespace velk::quarlink::internal
