// Turning command-line text into the host's values and values back into text and JSON.
#pragma once

#include <tessel/fnd/defs/comm_adapter.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quarlink {

// Keys in the order they are added, so every object starts with its address.
using Json = nlohmann::ordered_json;

// The value grammar, one for write and call:
//   bare text     one value of the type: 42, -2.5, NaN, true; a String takes the text as it is
//   "..."         a JSON string: a String that starts with '"', '[' or a TYPE: prefix
//   [a, b, ...]   a JSON array of values of the type; strings quoted, Float and Double
//                 elements may be "NaN", "Infinity", "-Infinity"
// A `TYPE:` prefix names the type only where nothing else decides it (call arguments,
// nodes whose data type is not built-in); where the node's type decides, a prefix is
// refused rather than guessed at.

// The OPC UA built-in type a text is parsed as ("Int32", "Double", ...), matched
// without regard to case; nothing for a name the grammar does not know.
std::optional<std::string> CanonicalTypeName(std::string_view name);

// A text the grammar refuses; what() names the text, the type and the accepted forms.
struct ValueSyntaxError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Parses `text` as a value of the built-in type `typeName` (a canonical name) or an
// array of it. Throws ValueSyntaxError.
tessel::fnd::defs::Value ParseValue(const std::string& typeName, std::string_view text);

// Splits "TYPE:VALUE" when TYPE names a built-in type; nothing otherwise.
struct TypedText {
  std::string typeName;
  std::string text;
};
std::optional<TypedText> SplitTypedText(const std::string& text);

// The value's OPC UA type name ("Int32", "Double[]"), empty for an empty value.
std::string ValueTypeName(const tessel::fnd::defs::Value& value);
// JSON null for an empty value; NaN and the infinities as the strings "NaN",
// "Infinity" and "-Infinity", which JSON has no numbers for.
Json ValueToJson(const tessel::fnd::defs::Value& value);
// Strings are quoted, so an empty string stays visible; arrays read "[1, 2, 3]"; NaN
// and the infinities read NaN, Infinity, -Infinity. An
// empty value (one the library does not convert: DateTime, LocalizedText ...) is "(none)".
std::string ValueToText(const tessel::fnd::defs::Value& value);

// The same for a value read with "typed_values", by its properties: the type is its
// "data_type" ("DateTime", a structure's name; "[]" for arrays), a DateTime reads as
// ISO 8601 UTC, a ByteString as hex, a structure as "{field: value, ...}" (a JSON
// object), an enumeration and a StatusCode with their names.
std::string DataValueTypeName(const tessel::fnd::defs::DataValue& value);
Json DataValueToJson(const tessel::fnd::defs::DataValue& value);
std::string DataValueToText(const tessel::fnd::defs::DataValue& value);
// A value for a node of a type outside the twelve: "{field: value, ...}" as a
// structure's fields; any other text as it is, which the library parses by the
// node's type (ISO 8601 for DateTime, hex for ByteString, an enumeration's name ...).
tessel::fnd::defs::Value ParseTypedText(const std::string& text);

// ns since 1970 as ISO 8601 UTC with the fraction it has: 2023-11-14T22:13:20.5Z.
std::string TimeText(int64_t nanos);

// JSON text that survives strings that are not UTF-8 (the server decides what they hold).
std::string DumpJson(const Json& json);

std::string StateName(tessel::fnd::defs::ConnectionState state);
std::string ResultCodeName(tessel::fnd::defs::ResultCode code);
// "Ok", or the code's name followed by the message: "NotFound (BadNodeIdUnknown)".
std::string ResultText(tessel::fnd::defs::ResultCode code, const std::string& message);

}  // namespace quarlink
