#include <gtest/gtest.h>
#include <pthread.h>
#include <tessel/fnd/defs/comm_adapter.h>
#include <tessel/fnd/log.h>

#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace {

using tessel::fnd::IsoTime;
using tessel::fnd::defs::PropertyMap;
using tessel::fnd::defs::Value;

// Converters dispatch on these indices, so they are fixed.
template <size_t I, typename T>
constexpr bool kAt = std::is_same_v<std::variant_alternative_t<I, Value>, T>;
static_assert(std::variant_size_v<Value> == 26);
static_assert(kAt<0, std::monostate> && kAt<1, bool> && kAt<2, int32_t> && kAt<3, uint32_t> && kAt<4, int64_t> &&
              kAt<5, uint64_t> && kAt<6, float> && kAt<7, double> && kAt<8, std::string>);
static_assert(kAt<9, std::vector<uint8_t>> && kAt<10, std::vector<bool>> && kAt<11, std::vector<int32_t>> &&
              kAt<12, std::vector<uint32_t>> && kAt<13, std::vector<int64_t>> && kAt<14, std::vector<uint64_t>> &&
              kAt<15, std::vector<float>> && kAt<16, std::vector<double>> && kAt<17, std::vector<std::string>> &&
              kAt<18, PropertyMap>);
static_assert(kAt<19, int16_t> && kAt<20, uint16_t> && kAt<21, int8_t> && kAt<22, uint8_t> &&
              kAt<23, std::vector<int16_t>> && kAt<24, std::vector<uint16_t>> && kAt<25, std::vector<int8_t>>);

TEST(PropertyMap, KeepsInsertionOrderAndReplacesInPlace) {
  PropertyMap map;
  map.Set("b", "1");
  map.Set("a", "2");
  map.Set("b", "3");
  const std::vector<std::pair<std::string, std::string>> expected = {{"b", "3"}, {"a", "2"}};
  EXPECT_EQ(map.Pairs(), expected);
  ASSERT_NE(map.Get("b"), nullptr);
  EXPECT_EQ(*map.Get("b"), "3");
  EXPECT_EQ(map.Get("c"), nullptr);

  PropertyMap reordered;
  reordered.Set("a", "2");
  reordered.Set("b", "3");
  EXPECT_FALSE(map == reordered);
}

TEST(PropertyMap, KeysCompareByteForByte) {
  PropertyMap map;
  map.Set("Key", "upper");
  map.Set("key", "lower");
  map.Set(std::string("key\0x", 5), "nul");
  map.Set("", "empty");
  EXPECT_EQ(map.Pairs().size(), 4u);
  EXPECT_EQ(*map.Get("Key"), "upper");
  EXPECT_EQ(*map.Get("key"), "lower");
  EXPECT_EQ(*map.Get(std::string("key\0x", 5)), "nul");
  EXPECT_EQ(*map.Get(""), "empty");
  EXPECT_EQ(map.Get("key "), nullptr);
}

TEST(IsoTime, FormatsUtcWithTrimmedFraction) {
  struct Case {
    double seconds;
    uint8_t precision;
    const char* text;
  };
  const Case cases[] = {
      {0.0, 6, "1970-01-01T00:00:00"},
      {1700000000.0, 6, "2023-11-14T22:13:20"},
      {1700000000.5, 0, "2023-11-14T22:13:20"},
      {1700000000.5, 6, "2023-11-14T22:13:20.5"},
      {1700000000.123456, 6, "2023-11-14T22:13:20.123456"},
      {1700000000.123456, 3, "2023-11-14T22:13:20.123"},
      {1.000001, 6, "1970-01-01T00:00:01.000001"},
      {1.0000001, 6, "1970-01-01T00:00:01.0000001"},  // significant digits, not decimals
      {0.05, 6, "1970-01-01T00:00:00.05"},
      // A fraction that rounds up to a whole second carries into the seconds.
      {59.9999999, 6, "1970-01-01T00:01:00"},
      {1700000000.9999996, 6, "2023-11-14T22:13:21"},
      {0.96, 1, "1970-01-01T00:00:01"},
      // Times before 1970 count back from the next whole second.
      {-0.5, 6, "1969-12-31T23:59:59.5"},
      {-1.0, 6, "1969-12-31T23:59:59"},
      {-86400.25, 6, "1969-12-30T23:59:59.75"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(IsoTime(c.seconds, c.precision), c.text);
  }
}

TEST(IsoTime, NowHonoursThePrecision) {
  for (const int8_t precision : {int8_t{0}, int8_t{3}, int8_t{6}}) {
    const std::string now = tessel::fnd::IsoTimeNow(precision);
    const size_t dot = now.find('.');
    const size_t digits = dot == std::string::npos ? 0 : now.size() - dot - 1;
    // Precision counts significant digits: zeros right after the point do not count.
    const size_t leadingZeros = digits ? now.find_first_not_of('0', dot + 1) - dot - 1 : 0;
    SCOPED_TRACE(now);
    EXPECT_LE(digits - leadingZeros, static_cast<size_t>(precision));
    EXPECT_EQ(now.size() - digits - (digits ? 1 : 0), 19u);
  }
}

TEST(ThreadName, IsTheNameOfTheCallingThread) {
  std::string seen;
  std::thread named([&seen] {
    pthread_setname_np(pthread_self(), "contract-probe");
    seen = tessel::fnd::ThreadName();
  });
  named.join();
  EXPECT_EQ(seen, "contract-probe");
}

}  // namespace
