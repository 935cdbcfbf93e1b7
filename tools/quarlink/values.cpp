#include "values.h"

#include <array>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <limits>
#include <type_traits>
#include <utility>
#include <vector>

namespace quarlink {
namespace {

using tessel::fnd::defs::ConnectionState;
using tessel::fnd::defs::PropertyMap;
using tessel::fnd::defs::ResultCode;
using tessel::fnd::defs::Value;

// The scalar types the library converts, with their OPC UA names.
constexpr std::array<std::string_view, 12> kWritableTypes{"Boolean", "SByte", "Byte",   "Int16", "UInt16", "Int32",
                                                          "UInt32",  "Int64", "UInt64", "Float", "Double", "String"};

// Indexed by the alternative of Value.
constexpr std::array<std::string_view, 26> kValueTypeNames{
    "",       "Boolean",   "Int32",   "UInt32",   "Int64",   "UInt64",   "Float",    "Double",   "String",
    "Byte[]", "Boolean[]", "Int32[]", "UInt32[]", "Int64[]", "UInt64[]", "Float[]",  "Double[]", "String[]",
    "Map",    "Int16",     "UInt16",  "SByte",    "Byte",    "Int16[]",  "UInt16[]", "SByte[]"};

constexpr std::array<std::string_view, 14> kResultCodeNames{"Ok",
                                                            "Timeout",
                                                            "NotConnected",
                                                            "AlreadyConnected",
                                                            "InvalidState",
                                                            "InvalidArgument",
                                                            "NotFound",
                                                            "AccessDenied",
                                                            "TypeMismatch",
                                                            "NotImplemented",
                                                            "Cancelled",
                                                            "Unknown",
                                                            "CommunicationError",
                                                            "InternalError"};

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

// The whole text must be the number: "12abc" and "" are refused, and so is a value
// outside T (from_chars reports the overflow instead of wrapping).
template <typename T>
std::optional<Value> ParseNumber(const std::string& text) {
  T number{};
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, number);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return Value{number};
}

std::optional<Value> ParseBoolean(const std::string& text) {
  if (EqualsIgnoringCase(text, "true") || text == "1") return Value{true};
  if (EqualsIgnoringCase(text, "false") || text == "0") return Value{false};
  return std::nullopt;
}

// A float printed as its shortest decimal form, so 0.1f reads 0.1, not 0.100000001.
double ShortestDouble(float number) {
  std::array<char, 32> buffer{};
  const auto [ptr, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), number);
  double widened = number;
  if (ec == std::errc()) std::from_chars(buffer.data(), ptr, widened);
  return widened;
}

struct ToJson {
  Json operator()(std::monostate) const { return nullptr; }
  Json operator()(float number) const { return ShortestDouble(number); }
  Json operator()(const std::vector<float>& numbers) const {
    Json array = Json::array();
    for (float number : numbers) array.push_back(ShortestDouble(number));
    return array;
  }
  Json operator()(const std::vector<bool>& flags) const {
    Json array = Json::array();
    for (bool flag : flags) array.push_back(flag);
    return array;
  }
  Json operator()(const PropertyMap& map) const {
    Json object = Json::object();
    for (const auto& [key, value] : map.Pairs()) object[key] = value;
    return object;
  }
  template <typename T>
  Json operator()(const T& value) const {
    return value;
  }
};

// ns since 1970 as 2023-11-14T22:13:20.5Z.
std::string IsoText(int64_t nanos) {
  int64_t seconds = nanos / 1'000'000'000;
  int64_t fraction = nanos % 1'000'000'000;
  if (fraction < 0) {
    fraction += 1'000'000'000;
    --seconds;
  }
  const auto time = static_cast<std::time_t>(seconds);
  std::tm parts{};
  gmtime_r(&time, &parts);
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  std::string iso = text;
  if (fraction != 0) {
    std::snprintf(text, sizeof text, ".%09lld", static_cast<long long>(fraction));
    std::string digits = text;
    digits.erase(digits.find_last_not_of('0') + 1);
    iso += digits;
  }
  return iso + "Z";
}

std::string HexText(const std::vector<uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const uint8_t byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0xf]);
  }
  return text;
}

std::string Property(const tessel::fnd::defs::DataValue& value, std::string_view key) {
  const std::string* found = value.properties.Get(key);
  return found ? *found : std::string();
}

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

}  // namespace

std::string DataValueTypeName(const tessel::fnd::defs::DataValue& value) {
  const std::string dataType = Property(value, "data_type");
  if (dataType.empty()) return ValueTypeName(value.value);
  const auto* fields = std::get_if<PropertyMap>(&value.value);
  const bool isArray = ValueTypeName(value.value).ends_with("[]") ||
                       (fields && !fields->Pairs().empty() && fields->Pairs().front().first.starts_with("["));
  // A ByteString is one value, though its host form is a vector.
  return dataType + (isArray && dataType != "ByteString" ? "[]" : "");
}

Json DataValueToJson(const tessel::fnd::defs::DataValue& value) {
  const std::string dataType = Property(value, "data_type");
  if (dataType == "DateTime") {
    if (const auto* nanos = std::get_if<int64_t>(&value.value)) return IsoText(*nanos);
    if (const auto* all = std::get_if<std::vector<int64_t>>(&value.value)) {
      Json array = Json::array();
      for (const int64_t nanos : *all) array.push_back(IsoText(nanos));
      return array;
    }
  }
  if (dataType == "ByteString") {
    if (const auto* bytes = std::get_if<std::vector<uint8_t>>(&value.value)) return HexText(*bytes);
  }
  return ValueToJson(value.value);
}

std::string DataValueToText(const tessel::fnd::defs::DataValue& value) {
  if (const auto* fields = std::get_if<PropertyMap>(&value.value)) {
    std::string text = "{";
    for (const auto& [key, field] : fields->Pairs()) text += (text.size() == 1 ? "" : ", ") + key + ": " + field;
    return text + "}";
  }
  const std::string dataType = Property(value, "data_type");
  if (const auto* bytes = std::get_if<std::vector<uint8_t>>(&value.value); bytes && dataType == "ByteString")
    return HexText(*bytes);
  if (dataType == "DateTime") {
    const Json json = DataValueToJson(value);
    if (json.is_string()) return json.get<std::string>();
  }
  std::string text = ValueToText(value.value);
  if (const std::string name = Property(value, "enum_name"); !name.empty()) text += " (" + name + ")";
  if (const std::string name = Property(value, "status_name"); !name.empty()) text += " (" + name + ")";
  return text;
}

Value ParseTypedText(const std::string& text) {
  if (text.size() < 2 || text.front() != '{' || text.back() != '}') return text;
  PropertyMap fields;
  size_t start = 1;
  while (start < text.size() - 1) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos || comma > text.size() - 1) comma = text.size() - 1;
    const std::string pair = text.substr(start, comma - start);
    const size_t colon = pair.find(':');
    if (colon != std::string::npos) fields.Set(Trimmed(pair.substr(0, colon)), Trimmed(pair.substr(colon + 1)));
    start = comma + 1;
  }
  return fields;
}

std::optional<std::string> CanonicalTypeName(std::string_view name) {
  for (std::string_view type : kWritableTypes) {
    if (EqualsIgnoringCase(type, name)) return std::string(type);
  }
  return std::nullopt;
}

namespace {

// "[a, b, c]" as the vector of typeName's elements; nothing when an element does not fit.
template <typename T>
std::optional<Value> ParseElements(const std::string& typeName, const std::vector<std::string>& texts) {
  std::vector<T> elements;
  for (const std::string& text : texts) {
    std::optional<Value> element = ParseScalar(typeName, text);
    if (!element) return std::nullopt;
    elements.push_back(std::get<T>(*element));
  }
  return Value{std::move(elements)};
}

std::vector<std::string> SplitList(const std::string& inner) {
  std::vector<std::string> texts;
  if (inner.find_first_not_of(' ') == std::string::npos) return texts;
  size_t start = 0;
  for (;;) {
    const size_t comma = inner.find(',', start);
    std::string text = inner.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    const size_t first = text.find_first_not_of(' ');
    const size_t last = text.find_last_not_of(' ');
    texts.push_back(first == std::string::npos ? std::string() : text.substr(first, last - first + 1));
    if (comma == std::string::npos) return texts;
    start = comma + 1;
  }
}

std::optional<Value> ParseArray(const std::string& typeName, const std::string& inner) {
  const std::vector<std::string> texts = SplitList(inner);
  if (typeName == "Boolean") return ParseElements<bool>(typeName, texts);
  if (typeName == "SByte") return ParseElements<int8_t>(typeName, texts);
  if (typeName == "Byte") return ParseElements<uint8_t>(typeName, texts);
  if (typeName == "Int16") return ParseElements<int16_t>(typeName, texts);
  if (typeName == "UInt16") return ParseElements<uint16_t>(typeName, texts);
  if (typeName == "Int32") return ParseElements<int32_t>(typeName, texts);
  if (typeName == "UInt32") return ParseElements<uint32_t>(typeName, texts);
  if (typeName == "Int64") return ParseElements<int64_t>(typeName, texts);
  if (typeName == "UInt64") return ParseElements<uint64_t>(typeName, texts);
  if (typeName == "Float") return ParseElements<float>(typeName, texts);
  if (typeName == "Double") return ParseElements<double>(typeName, texts);
  if (typeName == "String") return ParseElements<std::string>(typeName, texts);
  return std::nullopt;
}

}  // namespace

std::optional<Value> ParseValue(const std::string& typeName, const std::string& text) {
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']')
    return ParseArray(typeName, text.substr(1, text.size() - 2));
  return ParseScalar(typeName, text);
}

std::optional<Value> ParseScalar(const std::string& typeName, const std::string& text) {
  if (typeName == "Boolean") return ParseBoolean(text);
  if (typeName == "SByte") return ParseNumber<int8_t>(text);
  if (typeName == "Byte") return ParseNumber<uint8_t>(text);
  if (typeName == "Int16") return ParseNumber<int16_t>(text);
  if (typeName == "UInt16") return ParseNumber<uint16_t>(text);
  if (typeName == "Int32") return ParseNumber<int32_t>(text);
  if (typeName == "UInt32") return ParseNumber<uint32_t>(text);
  if (typeName == "Int64") return ParseNumber<int64_t>(text);
  if (typeName == "UInt64") return ParseNumber<uint64_t>(text);
  if (typeName == "Float") return ParseNumber<float>(text);
  if (typeName == "Double") return ParseNumber<double>(text);
  if (typeName == "String") return Value{text};
  return std::nullopt;
}

std::optional<TypedText> SplitTypedText(const std::string& text) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return std::nullopt;
  std::optional<std::string> type = CanonicalTypeName(std::string_view(text).substr(0, colon));
  if (!type) return std::nullopt;
  return TypedText{std::move(*type), text.substr(colon + 1)};
}

std::string ValueTypeName(const Value& value) { return std::string(kValueTypeNames.at(value.index())); }

Json ValueToJson(const Value& value) { return std::visit(ToJson{}, value); }

std::string ValueToText(const Value& value) {
  if (std::holds_alternative<std::monostate>(value)) return "(none)";
  const Json json = ValueToJson(value);
  if (!json.is_array()) return DumpJson(json);
  std::string text = "[";  // "[1, 2, 3]": easier on the eye than JSON's "[1,2,3]"
  for (size_t i = 0; i < json.size(); ++i) text += (i == 0 ? "" : ", ") + DumpJson(json[i]);
  return text + "]";
}

std::string DumpJson(const Json& json) { return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); }

std::string StateName(ConnectionState state) {
  switch (state) {
    case ConnectionState::Disconnected:
      return "Disconnected";
    case ConnectionState::Connecting:
      return "Connecting";
    case ConnectionState::Connected:
      return "Connected";
    case ConnectionState::Disconnecting:
      return "Disconnecting";
    case ConnectionState::Error:
      return "Error";
  }
  return "State " + std::to_string(static_cast<int>(state));
}

std::string ResultCodeName(ResultCode code) {
  const auto index = static_cast<size_t>(code);
  return index < kResultCodeNames.size() ? std::string(kResultCodeNames[index])
                                         : "ResultCode " + std::to_string(static_cast<int32_t>(code));
}

std::string ResultText(ResultCode code, const std::string& message) {
  std::string text = ResultCodeName(code);
  if (!message.empty()) text += " (" + message + ")";
  return text;
}

}  // namespace quarlink
