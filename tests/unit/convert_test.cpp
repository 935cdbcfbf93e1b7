#include "convert.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "ua_types.h"

namespace velk::quarlink::internal {
namespace {

using tessel::fnd::defs::PropertyMap;
using tessel::fnd::defs::Value;

PropertyMap OneProperty() {
  PropertyMap map;
  map.Set("k", "v");
  return map;
}

struct AlternativeCase {
  Value value;
  int uaType;  // the stack type it is written as; -1 when it cannot be written
};

// One row per alternative, with values at the edges of their ranges.
const std::vector<AlternativeCase> kAlternatives = {
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
    {std::vector<bool>{true, false}, -1},
    {std::vector<int32_t>{1}, -1},
    {std::vector<uint32_t>{1}, -1},
    {std::vector<int64_t>{1}, -1},
    {std::vector<uint64_t>{1}, -1},
    {std::vector<float>{1.f}, -1},
    {std::vector<double>{1.}, -1},
    {std::vector<std::string>{"x"}, -1},
    {OneProperty(), -1},
    {std::numeric_limits<int16_t>::min(), UA_TYPES_INT16},
    {std::numeric_limits<uint16_t>::max(), UA_TYPES_UINT16},
    {std::numeric_limits<int8_t>::min(), UA_TYPES_SBYTE},
    {std::numeric_limits<uint8_t>::max(), UA_TYPES_BYTE},
    {std::vector<int16_t>{1}, -1},
    {std::vector<uint16_t>{1}, -1},
    {std::vector<int8_t>{1}, -1},
};

TEST(Convert, TableCoversEveryAlternative) {
  std::set<size_t> indices;
  for (const auto& c : kAlternatives) indices.insert(c.value.index());
  EXPECT_EQ(indices.size(), std::variant_size_v<Value>);
  EXPECT_EQ(kAlternatives.size(), std::variant_size_v<Value>);
}

TEST(Convert, EveryAlternativeBothWays) {
  for (const auto& c : kAlternatives) {
    SCOPED_TRACE(c.value.index());
    UaVariant written;
    if (c.uaType < 0) {
      // Refused: the target is left exactly as it was.
      UA_Variant marked;
      std::memset(&marked, 0xAB, sizeof marked);
      UA_Variant before = marked;
      EXPECT_FALSE(ValueToUaVariant(c.value, marked));
      EXPECT_EQ(std::memcmp(&marked, &before, sizeof marked), 0);
      continue;
    }
    ASSERT_TRUE(ValueToUaVariant(c.value, *written));
    EXPECT_EQ(written->type, &UA_TYPES[c.uaType]);
    EXPECT_TRUE(UA_Variant_isScalar(written.get()));
    EXPECT_EQ(UaVariantToValue(*written), c.value);
  }
}

TEST(Convert, NonScalarAlternativesReadBackFromTheStackAsEmpty) {
  // The stack side of the array alternatives: arrays of the scalar types.
  const int32_t numbers[] = {1, 2, 3};
  UaVariant array;
  ASSERT_EQ(UA_Variant_setArrayCopy(array.get(), numbers, 3, &UA_TYPES[UA_TYPES_INT32]), UA_STATUSCODE_GOOD);
  EXPECT_EQ(UaVariantToValue(*array).index(), 0u);

  // An array of one element is still an array.
  UaVariant single;
  ASSERT_EQ(UA_Variant_setArrayCopy(single.get(), numbers, 1, &UA_TYPES[UA_TYPES_INT32]), UA_STATUSCODE_GOOD);
  EXPECT_EQ(UaVariantToValue(*single).index(), 0u);

  UaVariant emptyArray;
  UA_Variant_setArray(emptyArray.get(), UA_EMPTY_ARRAY_SENTINEL, 0, &UA_TYPES[UA_TYPES_INT32]);
  EXPECT_EQ(UaVariantToValue(*emptyArray).index(), 0u);
}

TEST(Convert, UnsupportedOrIncompleteVariantsReadAsEmpty) {
  const UA_DateTime time = 1;
  UaVariant dateTime;
  ASSERT_EQ(UA_Variant_setScalarCopy(dateTime.get(), &time, &UA_TYPES[UA_TYPES_DATETIME]), UA_STATUSCODE_GOOD);
  EXPECT_EQ(UaVariantToValue(*dateTime).index(), 0u);

  UA_ByteString bytes = UA_BYTESTRING(const_cast<char*>("ab"));
  UaVariant byteString;
  ASSERT_EQ(UA_Variant_setScalarCopy(byteString.get(), &bytes, &UA_TYPES[UA_TYPES_BYTESTRING]), UA_STATUSCODE_GOOD);
  EXPECT_EQ(UaVariantToValue(*byteString).index(), 0u);

  UA_LocalizedText text = UA_LOCALIZEDTEXT(const_cast<char*>("en"), const_cast<char*>("x"));
  UaVariant localized;
  ASSERT_EQ(UA_Variant_setScalarCopy(localized.get(), &text, &UA_TYPES[UA_TYPES_LOCALIZEDTEXT]), UA_STATUSCODE_GOOD);
  EXPECT_EQ(UaVariantToValue(*localized).index(), 0u);

  UA_Variant noType{};
  int32_t number = 5;
  noType.data = &number;
  EXPECT_EQ(UaVariantToValue(noType).index(), 0u);

  UA_Variant noData{};
  noData.type = &UA_TYPES[UA_TYPES_INT32];
  EXPECT_EQ(UaVariantToValue(noData).index(), 0u);

  UA_Variant sentinel{};
  sentinel.type = &UA_TYPES[UA_TYPES_INT32];
  sentinel.data = UA_EMPTY_ARRAY_SENTINEL;
  EXPECT_EQ(UaVariantToValue(sentinel).index(), 0u);
}

TEST(Convert, StringsKeepEveryByteAndEmptyStringsSurvive) {
  UA_String nullString{};  // null data, length 0
  UA_Variant v{};
  UA_Variant_setScalar(&v, &nullString, &UA_TYPES[UA_TYPES_STRING]);
  EXPECT_EQ(UaVariantToValue(v), Value(std::string()));

  for (const std::string& text : {std::string(), std::string("\0\0x\0", 4), std::string(1 << 20, 'z')}) {
    UaVariant written;
    ASSERT_TRUE(ValueToUaVariant(Value(text), *written));
    EXPECT_EQ(UaVariantToValue(*written), Value(text));
  }
}

TEST(Convert, FloatingPointBitsAreCopiedUnchanged) {
  const auto quietNan = std::bit_cast<double>(uint64_t{0x7FF8000000001234});
  UaVariant written;
  ASSERT_TRUE(ValueToUaVariant(Value(quietNan), *written));
  const Value back = UaVariantToValue(*written);
  ASSERT_EQ(back.index(), 7u);
  EXPECT_EQ(std::bit_cast<uint64_t>(std::get<double>(back)), 0x7FF8000000001234u);

  const auto negativeZero = -0.0f;
  UaVariant zero;
  ASSERT_TRUE(ValueToUaVariant(Value(negativeZero), *zero));
  EXPECT_EQ(std::bit_cast<uint32_t>(std::get<float>(UaVariantToValue(*zero))), 0x80000000u);
}

constexpr int64_t kUnixEpochTicks = 116444736000000000;
constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kInt64Min = std::numeric_limits<int64_t>::min();
constexpr int64_t kLatestNanos = kInt64Max - kInt64Max % 1000;
constexpr int64_t kEarliestNanos = -kLatestNanos;

TEST(UaDateTimeToUnixNanos, ConvertsAndTruncatesTowardZero) {
  struct Case {
    int64_t ticks;
    int64_t nanos;
  };
  const Case cases[] = {
      {kUnixEpochTicks, 0},          {kUnixEpochTicks + 10, 1000},
      {kUnixEpochTicks + 19, 1000},   // the last tick digit is lost
      {kUnixEpochTicks - 19, -1000},  // toward zero, not toward -infinity
      {kUnixEpochTicks - 9, 0},      {kUnixEpochTicks + 17'000'000'000'000'005, 1'700'000'000'000'000'000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ticks);
    EXPECT_EQ(UaDateTimeToUnixNanos(c.ticks), c.nanos);
  }
}

TEST(UaDateTimeToUnixNanos, SaturatesAtBothExtremes) {
  // 0 is the year 1601, before the earliest time that fits.
  const int64_t ticks[] = {kInt64Max,
                           kInt64Max - 1,
                           0,
                           kInt64Min,
                           kInt64Min + 1,
                           kInt64Min + kUnixEpochTicks,
                           kInt64Min + kUnixEpochTicks - 1};
  for (const int64_t t : ticks) {
    SCOPED_TRACE(t);
    EXPECT_EQ(UaDateTimeToUnixNanos(t), t > 0 ? kLatestNanos : kEarliestNanos);
  }
  // The last tick counts that still fit convert exactly.
  const int64_t lastFitting = kUnixEpochTicks + (kInt64Max / 1000) * 10;
  EXPECT_EQ(UaDateTimeToUnixNanos(lastFitting), kLatestNanos);
  EXPECT_EQ(UaDateTimeToUnixNanos(lastFitting - 10), kLatestNanos - 1000);
  EXPECT_EQ(UaDateTimeToUnixNanos(kUnixEpochTicks - (kInt64Max / 1000) * 10 + 10), kEarliestNanos + 1000);
}

}  // namespace
}  // namespace velk::quarlink::internal
