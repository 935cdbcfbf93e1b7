#include "values/convert.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

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

std::string StringOf(const UA_String& s) {
  if (s.length == 0 || s.data == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(s.data), s.length);
}

// --- Arrays: element type, vector alternative ---

// Matches an element array of the stack type of T and returns it as std::vector<T>.
template <typename T>
bool CopyArrayIf(const UA_Variant& v, Value& out) {
  if (v.type != &UA_TYPES[kUaTypeIndex<T>]) return false;
  const Elements elements = ElementsOf(v);
  const auto* first = static_cast<const T*>(elements.data);
  out = std::vector<T>(first, first + elements.count);
  return true;
}

template <typename... Ts>
bool CopyArrayOfAny(const UA_Variant& v, Value& out) {
  return (CopyArrayIf<Ts>(v, out) || ...);
}

Value ArrayToValue(const UA_Variant& v) {
  if (v.arrayDimensionsSize > 1) return {};  // a matrix has no vector alternative
  if (v.type == &UA_TYPES[UA_TYPES_STRING]) {
    const Elements elements = ElementsOf(v);
    const auto* strings = static_cast<const UA_String*>(elements.data);
    std::vector<std::string> texts;
    texts.reserve(elements.count);
    for (size_t i = 0; i < elements.count; ++i) texts.push_back(StringOf(strings[i]));
    return texts;
  }
  Value out;
  CopyArrayOfAny<bool, int32_t, uint32_t, int64_t, uint64_t, float, double, int16_t, uint16_t, int8_t, uint8_t>(v, out);
  return out;
}

// An empty array is sent as one, not as a missing value: the stack tells the two
// apart by its empty-array sentinel, which a copy of nothing does not always give.
bool SetArray(UA_Variant& out, const void* elements, size_t count, int uaType) {
  if (count == 0) {
    UA_Variant_setArray(&out, UA_EMPTY_ARRAY_SENTINEL, 0, &UA_TYPES[uaType]);
    return true;
  }
  return UA_Variant_setArrayCopy(&out, elements, count, &UA_TYPES[uaType]) == UA_STATUSCODE_GOOD;
}

// A vector alternative as a one-dimensional array of the matching built-in type.
template <typename T>
bool VectorToUaVariant(const std::vector<T>& held, UA_Variant& out) {
  if constexpr (std::is_same_v<T, bool>) {
    // std::vector<bool> packs its bits; the stack wants one UA_Boolean per element.
    const auto flags = std::make_unique<UA_Boolean[]>(held.size());
    std::copy(held.begin(), held.end(), flags.get());
    return SetArray(out, flags.get(), held.size(), UA_TYPES_BOOLEAN);
  } else if constexpr (std::is_same_v<T, std::string>) {
    std::vector<UA_String> views;  // the array copy owns the bytes
    views.reserve(held.size());
    for (const std::string& text : held)
      views.push_back({text.size(), reinterpret_cast<UA_Byte*>(const_cast<char*>(text.data()))});
    return SetArray(out, views.data(), views.size(), UA_TYPES_STRING);
  } else if constexpr (kUaTypeIndex<T> >= 0) {
    return SetArray(out, held.data(), held.size(), kUaTypeIndex<T>);
  } else {
    return false;
  }
}

template <typename... Ts>
bool CopyScalarOfAny(const UA_Variant& v, Value& out) {
  const auto copyIf = [&]<typename T>() {
    if (v.type != &UA_TYPES[kUaTypeIndex<T>]) return false;
    out = *static_cast<const T*>(v.data);
    return true;
  };
  return (copyIf.template operator()<Ts>() || ...);
}

// Stack time of the Unix epoch, in 100 ns ticks since 1601.
constexpr int64_t kUnixEpochTicks = UA_DATETIME_UNIX_EPOCH;
constexpr int64_t kMaxMicros = std::numeric_limits<int64_t>::max() / 1000;
constexpr int64_t kMinMicros = std::numeric_limits<int64_t>::min() / 1000;  // truncates toward zero

}  // namespace

Elements ElementsOf(const UA_Variant& v) {
  if (v.data == UA_EMPTY_ARRAY_SENTINEL) return {nullptr, 0};
  return {v.data, v.arrayLength};
}

Value UaVariantToValue(const UA_Variant& v, Arrays arrays) {
  if (v.type == nullptr || v.data == nullptr) return {};
  const bool isArray = v.arrayLength != 0 || v.data == UA_EMPTY_ARRAY_SENTINEL;
  if (isArray) return arrays != Arrays::Empty ? ArrayToValue(v) : Value();
  if (v.type == &UA_TYPES[UA_TYPES_STRING]) return StringOf(*static_cast<const UA_String*>(v.data));
  Value out;
  CopyScalarOfAny<bool, int32_t, uint32_t, int64_t, uint64_t, float, double, int16_t, uint16_t, int8_t, uint8_t>(v,
                                                                                                                 out);
  return out;
}

template <typename T>
struct IsVector : std::false_type {};
template <typename T>
struct IsVector<std::vector<T>> : std::true_type {};

bool ValueToUaVariant(const Value& value, UA_Variant& out, Arrays arrays) {
  return std::visit(
      [&out, arrays](const auto& held) {
        using T = std::decay_t<decltype(held)>;
        if constexpr (IsVector<T>::value) {
          return arrays != Arrays::Empty && VectorToUaVariant(held, out);
        } else if constexpr (std::is_same_v<T, std::string>) {
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

bool ValueToUaVariantView(const Value& value, UA_Variant& out, Arrays arrays) {
  const bool viewed = std::visit(
      [&out](const auto& held) {
        using T = std::decay_t<decltype(held)>;
        if constexpr (!IsVector<T>::value && kUaTypeIndex<T> >= 0) {
          // A batch of a thousand writes would otherwise make a thousand allocations.
          UA_Variant_setScalar(&out, const_cast<T*>(&held), &UA_TYPES[kUaTypeIndex<T>]);
          out.storageType = UA_VARIANT_DATA_NODELETE;
          return true;
        } else {
          return false;
        }
      },
      value);
  return viewed || ValueToUaVariant(value, out, arrays);
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
