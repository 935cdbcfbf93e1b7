#include "convert.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "ua_types.h"

namespace velk::quarlink::internal {
namespace {

using tessel::fnd::defs::PropertyMap;
using tessel::fnd::defs::Value;

struct AlternativeCase {
  Value value;
  int uaType;  // the stack type it is written as; -1 when it cannot be written
};

// One row per alternative, with values at the edges of their ranges.
std::vector<AlternativeCase> Alternatives() {
  return {
      {std::monostate{}, -1},
      {true, UA_TYPES_BOOLEAN},
      {std::numeric_limits<int32_t>::min(), UA_TYPES_INT32},
      {std::numeric_limits<uint32_t>::max(), UA_TYPES_UINT32},
      {std::numeric_limits<int64_t>::min(), UA_TYPES_INT64},
      {std::numeric_limits<uint64_t>::max(), UA_TYPES_UINT64},
      {-3.25f, UA_TYPES_FLOAT},
      {std::numeric_limits<double>::denorm_min(), UA_TYPES_DOUBLE},
      {std::string("a\0b", 3), UA_TYPES_STRING},
      {std::vector<uint8_t>{1, 2}, -1},
      {std::vector<bool>{true}, -1},
      {std::vector<int32_t>{1}, -1},
      {std::vector<uint32_t>{1}, -1},
      {std::vector<int64_t>{1}, -1},
      {std::vector<uint64_t>{1}, -1},
      {std::vector<float>{1.f}, -1},
      {std::vector<double>{1.}, -1},
      {std::vector<std::string>{"x"}, -1},
      {PropertyMap{}, -1},
      {std::numeric_limits<int16_t>::min(), UA_TYPES_INT16},
      {std::numeric_limits<uint16_t>::max(), UA_TYPES_UINT16},
      {std::numeric_limits<int8_t>::min(), UA_TYPES_SBYTE},
      {std::numeric_limits<uint8_t>::max(), UA_TYPES_BYTE},
      {std::vector<int16_t>{1}, -1},
      {std::vector<uint16_t>{1}, -1},
      {std::vector<int8_t>{1}, -1},
  };
}

TEST(Convert, EveryAlternativeBothWays) {
  const auto cases = Alternatives();
  ASSERT_EQ(cases.size(), std::variant_size_v<Value>);
  for (size_t i = 0; i < cases.size(); ++i) {
    const AlternativeCase& c = cases[i];
    SCOPED_TRACE(i);
    ASSERT_EQ(c.value.index(), i);
    UaVariant written;
    EXPECT_EQ(ValueToUaVariant(c.value, *written), c.uaType >= 0);
    if (c.uaType < 0) continue;
    EXPECT_EQ(written->type, &UA_TYPES[c.uaType]);
    EXPECT_TRUE(UA_Variant_isScalar(written.get()));
    EXPECT_EQ(UaVariantToValue(*written), c.value);
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
