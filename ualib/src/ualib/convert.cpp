#include "convert.h"

#include <limits>
#include <string>
#include <type_traits>

namespace velk::quarlink::internal {
namespace {

using tessel::fnd::defs::Value;

// The stack type of each scalar alternative; -1 for alternatives that have none.
template <typename T>
constexpr int kUaTypeIndex = -1;
template <>
constexpr int kUaTypeIndex<bool> = UA_TYPES_BOOLEAN;
template <>
constexpr int kUaTypeIndex<int32_t> = UA_TYPES_INT32;
template <>
constexpr int kUaTypeIndex<uint32_t> = UA_TYPES_UINT32;
template <>
constexpr int kUaTypeIndex<int64_t> = UA_TYPES_INT64;
template <>
constexpr int kUaTypeIndex<uint64_t> = UA_TYPES_UINT64;
template <>
constexpr int kUaTypeIndex<float> = UA_TYPES_FLOAT;
template <>
constexpr int kUaTypeIndex<double> = UA_TYPES_DOUBLE;
template <>
constexpr int kUaTypeIndex<int16_t> = UA_TYPES_INT16;
template <>
constexpr int kUaTypeIndex<uint16_t> = UA_TYPES_UINT16;
template <>
constexpr int kUaTypeIndex<int8_t> = UA_TYPES_SBYTE;
template <>
constexpr int kUaTypeIndex<uint8_t> = UA_TYPES_BYTE;

template <typename... Ts>
bool CopyScalarOfAny(const UA_Variant& v, Value& out) {
  const auto copyIf = [&]<typename T>() {
    if (v.type != &UA_TYPES[kUaTypeIndex<T>]) return false;
    out = *static_cast<const T*>(v.data);
    return true;
  };
  return (copyIf.template operator()<Ts>() || ...);
}

std::string StringOf(const UA_String& s) {
  if (s.length == 0 || s.data == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(s.data), s.length);
}

// Stack time of the Unix epoch, in 100 ns ticks since 1601.
constexpr int64_t kUnixEpochTicks = UA_DATETIME_UNIX_EPOCH;
constexpr int64_t kMaxMicros = std::numeric_limits<int64_t>::max() / 1000;
constexpr int64_t kMinMicros = std::numeric_limits<int64_t>::min() / 1000;  // truncates toward zero

}  // namespace

Value UaVariantToValue(const UA_Variant& v) {
  if (v.type == nullptr || v.data == nullptr || v.arrayLength != 0 || v.data == UA_EMPTY_ARRAY_SENTINEL) return {};
  if (v.type == &UA_TYPES[UA_TYPES_STRING]) return StringOf(*static_cast<const UA_String*>(v.data));
  Value out;
  CopyScalarOfAny<bool, int32_t, uint32_t, int64_t, uint64_t, float, double, int16_t, uint16_t, int8_t, uint8_t>(v,
                                                                                                                 out);
  return out;
}

bool ValueToUaVariant(const Value& value, UA_Variant& out) {
  return std::visit(
      [&out](const auto& held) {
        using T = std::decay_t<decltype(held)>;
        if constexpr (std::is_same_v<T, std::string>) {
          // Every byte is sent, embedded NULs included: reads keep them too, so a
          // value read and written back arrives unchanged.
          const UA_String text{held.size(), reinterpret_cast<UA_Byte*>(const_cast<char*>(held.data()))};
          return UA_Variant_setScalarCopy(&out, &text, &UA_TYPES[UA_TYPES_STRING]) == UA_STATUSCODE_GOOD;
        } else if constexpr (kUaTypeIndex<T> >= 0) {
          return UA_Variant_setScalarCopy(&out, &held, &UA_TYPES[kUaTypeIndex<T>]) == UA_STATUSCODE_GOOD;
        } else {
          return false;
        }
      },
      value);
}

int64_t UaDateTimeToUnixNanos(UA_DateTime ticks) {
  // Below this the subtraction itself would leave the int64 range.
  if (ticks < std::numeric_limits<int64_t>::min() + kUnixEpochTicks) return kMinMicros * 1000;
  const int64_t micros = (ticks - kUnixEpochTicks) / 10;
  if (micros > kMaxMicros) return kMaxMicros * 1000;
  if (micros < kMinMicros) return kMinMicros * 1000;
  return micros * 1000;
}

}  // namespace velk::quarlink::internal
