// Turning command-line text into the host's values and values back into text and JSON.
#pragma once

#include <tessel/fnd/defs/comm_adapter.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace quarlink {

// Keys in the order they are added, so every object starts with its address.
using Json = nlohmann::ordered_json;

// The OPC UA built-in type a text is parsed as ("Int32", "Double", ...), matched
// without regard to case; nothing for a name the library cannot write.
std::optional<std::string> CanonicalTypeName(std::string_view name);

// Parses `text` as a value of the built-in type `typeName` (a canonical name), or
// "[a, b, c]" as an array of it; nothing when the text does not fit the type.
std::optional<tessel::fnd::defs::Value> ParseValue(const std::string& typeName, const std::string& text);
// The same for one scalar only.
std::optional<tessel::fnd::defs::Value> ParseScalar(const std::string& typeName, const std::string& text);

// Splits "TYPE:VALUE" when TYPE names a built-in type; nothing otherwise.
struct TypedText {
  std::string typeName;
  std::string text;
};
std::optional<TypedText> SplitTypedText(const std::string& text);

// The value's OPC UA type name ("Int32", "Double[]"), empty for an empty value.
std::string ValueTypeName(const tessel::fnd::defs::Value& value);
// JSON null for an empty value.
Json ValueToJson(const tessel::fnd::defs::Value& value);
// Strings are quoted, so an empty string stays visible; arrays read "[1, 2, 3]". An
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

// JSON text that survives strings that are not UTF-8 (the server decides what they hold).
std::string DumpJson(const Json& json);

std::string StateName(tessel::fnd::defs::ConnectionState state);
std::string ResultCodeName(tessel::fnd::defs::ResultCode code);
// "Ok", or the code's name followed by the message: "NotFound (BadNodeIdUnknown)".
std::string ResultText(tessel::fnd::defs::ResultCode code, const std::string& message);

}  // namespace quarlink
