#include "values.h"

#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
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

// --- The grammar: one entry per built-in type ---

// One value of the type from bare text; nothing when the text is not one.
using ScalarParser = std::optional<Value> (*)(std::string_view text);

struct ValueType {
  std::string_view name;
  ScalarParser scalar;
  // Appends the elements of a JSON array (each checked with `scalar`) as a Value.
  std::optional<Value> (*array)(const Json& elements);
  std::string_view forms;  // the accepted scalar forms, for the message of a refusal
  bool quotedElements;     // array elements are JSON strings (String) rather than numbers
};

// The whole text must be the number: "12abc", " 1" and "" are refused, and so is a
// value outside T (from_chars reports the overflow instead of wrapping).
template <typename T>
std::optional<Value> ParseNumber(std::string_view text) {
  T number{};
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, number);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return Value{number};
}

bool IsNonFiniteWord(std::string_view text) { return text == "NaN" || text == "Infinity" || text == "-Infinity"; }

// Floating point also takes the words --json prints for the values JSON has no number for.
template <typename T>
std::optional<Value> ParseFloating(std::string_view text) {
  if (text == "NaN") return Value{std::numeric_limits<T>::quiet_NaN()};
  if (text == "Infinity") return Value{std::numeric_limits<T>::infinity()};
  if (text == "-Infinity") return Value{-std::numeric_limits<T>::infinity()};
  if (std::isalpha(static_cast<unsigned char>(text.empty() ? '0' : text.back()))) return std::nullopt;  // inf, nan
  return ParseNumber<T>(text);
}

std::optional<Value> ParseBoolean(std::string_view text) {
  if (EqualsIgnoringCase(text, "true") || text == "1") return Value{true};
  if (EqualsIgnoringCase(text, "false") || text == "0") return Value{false};
  return std::nullopt;
}

std::optional<Value> ParseString(std::string_view text) { return Value{std::string(text)}; }

// A JSON element as the bare text the scalar parser takes: numbers and booleans as
// JSON wrote them, strings only where the type reads words.
std::optional<std::string> ElementText(const Json& element, bool quotedElements) {
  if (element.is_string()) return element.get<std::string>();
  if (quotedElements) return std::nullopt;
  if (element.is_number() || element.is_boolean()) return element.dump();
  return std::nullopt;
}

template <typename T, ScalarParser Parse, bool Quoted>
std::optional<Value> ParseElements(const Json& elements) {
  std::vector<T> values;
  for (const Json& element : elements) {
    const std::optional<std::string> text = ElementText(element, Quoted);
    if (!text) return std::nullopt;
    // Of the quoted words only NaN and the infinities stand for numbers: 5 is not "5".
    if (!Quoted && element.is_string() && !(std::is_floating_point_v<T> && IsNonFiniteWord(*text))) {
      return std::nullopt;
    }
    std::optional<Value> value = Parse(*text);
    if (!value) return std::nullopt;
    values.push_back(std::get<T>(*value));
  }
  return Value{std::move(values)};
}

template <typename T>
constexpr ValueType Integer(std::string_view name, std::string_view forms) {
  return {name, ParseNumber<T>, ParseElements<T, ParseNumber<T>, false>, forms, false};
}

constexpr std::array<ValueType, 12> kValueTypes{{
    {"Boolean", ParseBoolean, ParseElements<bool, ParseBoolean, false>, "true or false", false},
    Integer<int8_t>("SByte", "an integer from -128 to 127"),
    Integer<uint8_t>("Byte", "an integer from 0 to 255"),
    Integer<int16_t>("Int16", "an integer from -32768 to 32767"),
    Integer<uint16_t>("UInt16", "an integer from 0 to 65535"),
    Integer<int32_t>("Int32", "an integer from -2147483648 to 2147483647"),
    Integer<uint32_t>("UInt32", "an integer from 0 to 4294967295"),
    Integer<int64_t>("Int64", "a 64-bit integer"),
    Integer<uint64_t>("UInt64", "an integer from 0 to 18446744073709551615"),
    {"Float", ParseFloating<float>, ParseElements<float, ParseFloating<float>, false>,
     "a number such as -2.5 or 1e-3, NaN, Infinity or -Infinity", false},
    {"Double", ParseFloating<double>, ParseElements<double, ParseFloating<double>, false>,
     "a number such as -2.5 or 1e-3, NaN, Infinity or -Infinity", false},
    {"String", ParseString, ParseElements<std::string, ParseString, true>,
     "the text as it is, or a JSON string such as \"[not an array]\" when it starts with '\"', '[' or TYPE:", true},
}};

const ValueType* FindType(std::string_view name) {
  for (const ValueType& type : kValueTypes) {
    if (type.name == name) return &type;
  }
  return nullptr;
}

[[noreturn]] void Refuse(const ValueType& type, std::string_view text, const std::string& why) {
  const std::string example = type.quotedElements ? "[\"a\", \"b\"]" : "[1, 2]";
  throw ValueSyntaxError("'" + std::string(text) + "' is not a valid " + std::string(type.name) + why + " (accepted: " +
                         std::string(type.forms) + "; an array: a JSON array such as " + example + ")");
}

Json ParseJson(const ValueType& type, std::string_view text) {
  Json json = Json::parse(text, nullptr, false);
  if (json.is_discarded()) Refuse(type, text, ": not valid JSON");
  return json;
}

// A float printed as its shortest decimal form, so 0.1f reads 0.1, not 0.100000001.
double ShortestDouble(float number) {
  std::array<char, 32> buffer{};
  const auto [ptr, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), number);
  double widened = number;
  if (ec == std::errc()) std::from_chars(buffer.data(), ptr, widened);
  return widened;
}

template <typename T>
Json FloatingJson(T number) {
  if (std::isnan(number)) return "NaN";
  if (std::isinf(number)) return number > 0 ? "Infinity" : "-Infinity";
  if constexpr (std::is_same_v<T, float>) return ShortestDouble(number);
  return number;
}

struct ToJson {
  Json operator()(std::monostate) const { return nullptr; }
  Json operator()(float number) const { return FloatingJson(number); }
  Json operator()(double number) const { return FloatingJson(number); }
  template <typename T>
  Json operator()(const std::vector<T>& numbers) const requires std::is_floating_point_v<T> {
    Json array = Json::array();
    for (T number : numbers) array.push_back(FloatingJson(number));
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

std::string TimeText(int64_t nanos) { return IsoText(nanos); }

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
  for (const ValueType& type : kValueTypes) {
    if (EqualsIgnoringCase(type.name, name)) return std::string(type.name);
  }
  return std::nullopt;
}

Value ParseValue(const std::string& typeName, std::string_view text) {
  const ValueType* type = FindType(typeName);
  if (type == nullptr) throw ValueSyntaxError("the type " + typeName + " cannot be written");
  if (!text.empty() && text.front() == '[') {
    const Json json = ParseJson(*type, text);
    std::optional<Value> value = json.is_array() ? type->array(json) : std::nullopt;
    if (!value) Refuse(*type, text, " array");
    return std::move(*value);
  }
  if (!text.empty() && text.front() == '"') {
    const Json json = ParseJson(*type, text);
    if (!json.is_string() || !type->quotedElements) Refuse(*type, text, "");
    return Value{json.get<std::string>()};
  }
  std::optional<Value> value = type->scalar(text);
  if (!value) Refuse(*type, text, "");
  return std::move(*value);
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
  // In a floating-point value a string can only be one of the words for NaN and infinity.
  const bool floating = std::holds_alternative<float>(value) || std::holds_alternative<double>(value) ||
                        std::holds_alternative<std::vector<float>>(value) ||
                        std::holds_alternative<std::vector<double>>(value);
  const auto text = [floating](const Json& json) {
    return floating && json.is_string() ? json.get<std::string>() : DumpJson(json);
  };
  const Json json = ValueToJson(value);
  if (!json.is_array()) return text(json);
  std::string line = "[";  // "[1, 2, 3]": easier on the eye than JSON's "[1,2,3]"
  for (size_t i = 0; i < json.size(); ++i) line += (i == 0 ? "" : ", ") + text(json[i]);
  return line + "]";
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
