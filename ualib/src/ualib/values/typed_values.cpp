#include "values/typed_values.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <limits>
#include <type_traits>
#include <unordered_map>

#include "values/convert.h"
#include "values/status.h"

namespace velk::quarlink::internal {
namespace {

using tessel::fnd::defs::DataValue;
using tessel::fnd::defs::PropertyMap;
using tessel::fnd::defs::Result;
using tessel::fnd::defs::ResultCode;
using tessel::fnd::defs::Value;

std::string StringOf(const UA_String& s) {
  if (s.length == 0 || s.data == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(s.data), s.length);
}

// A view of text the stack copies before keeping it.
UA_String View(std::string_view text) {
  return {text.size(), reinterpret_cast<UA_Byte*>(const_cast<char*>(text.data()))};
}

// Takes over a string the stack printed into.
std::string Printed(UA_StatusCode status, UA_String& printed) {
  std::string text = status == UA_STATUSCODE_GOOD ? StringOf(printed) : std::string();
  UA_String_clear(&printed);
  return text;
}

template <typename T>
std::string NumberText(T number) {
  if constexpr (std::is_same_v<T, bool>) {
    return number ? "true" : "false";
  } else {
    char buffer[64];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, number).ptr;
    return std::string(buffer, end);
  }
}

template <typename T>
bool ParseNumber(std::string_view text, void* out) {
  if constexpr (std::is_same_v<T, bool>) {
    if (text != "true" && text != "false" && text != "1" && text != "0") return false;
    *static_cast<UA_Boolean*>(out) = text == "true" || text == "1";
    return true;
  } else {
    T number{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (ec != std::errc() || end != text.data() + text.size()) return false;
    *static_cast<T*>(out) = number;
    return true;
  }
}

constexpr char kHexDigits[] = "0123456789abcdef";

std::string HexOf(const UA_ByteString& bytes) {
  std::string text;
  text.reserve(bytes.length * 2);
  for (size_t i = 0; i < bytes.length; ++i) {
    text.push_back(kHexDigits[bytes.data[i] >> 4]);
    text.push_back(kHexDigits[bytes.data[i] & 0xf]);
  }
  return text;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseHex(std::string_view text, UA_ByteString& out) {
  if (text.size() % 2 != 0) return false;
  if (text.empty()) {  // empty, not null, as an empty vector is sent
    out = {0, static_cast<UA_Byte*>(UA_EMPTY_ARRAY_SENTINEL)};
    return true;
  }
  std::vector<UA_Byte> bytes(text.size() / 2);
  for (size_t i = 0; i < bytes.size(); ++i) {
    const int high = HexValue(text[2 * i]);
    const int low = HexValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    bytes[i] = static_cast<UA_Byte>(high << 4 | low);
  }
  const UA_ByteString view{bytes.size(), bytes.data()};
  return UA_ByteString_copy(&view, &out) == UA_STATUSCODE_GOOD;
}

// --- DateTime as ISO 8601 UTC: 2026-12-07T18:04:52.1234567Z, the fraction trimmed ---

std::string IsoOf(UA_DateTime time) {
  const UA_DateTimeStruct t = UA_DateTime_toStruct(time);
  // The ticks below one second, which the struct splits into three fields. The epoch
  // is a whole number of seconds, so the time's own remainder is the same one, and
  // taking it first cannot overflow at the ends of the range.
  int64_t fraction = time % UA_DATETIME_SEC;
  if (fraction < 0) fraction += UA_DATETIME_SEC;
  char buffer[64];
  int length = std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02u:%02u:%02u", t.year, t.month, t.day, t.hour,
                             t.min, t.sec);
  if (fraction != 0) {
    length += std::snprintf(buffer + length, sizeof buffer - length, ".%07lld", static_cast<long long>(fraction));
    while (buffer[length - 1] == '0') --length;
  }
  return std::string(buffer, length) + "Z";
}

bool ParseDigits(std::string_view text, size_t at, size_t count, int& out) {
  if (at + count > text.size()) return false;
  out = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    out = out * 10 + (text[i] - '0');
  }
  return true;
}

bool ParseIso(std::string_view text, UA_DateTime& out) {
  int year, month, day, hour, minute, second;
  if (!ParseDigits(text, 0, 4, year) || text.size() < 20 || text[4] != '-' || !ParseDigits(text, 5, 2, month) ||
      text[7] != '-' || !ParseDigits(text, 8, 2, day) || text[10] != 'T' || !ParseDigits(text, 11, 2, hour) ||
      text[13] != ':' || !ParseDigits(text, 14, 2, minute) || text[16] != ':' || !ParseDigits(text, 17, 2, second))
    return false;
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return false;
  size_t at = 19;
  int64_t ticks = 0;
  if (text[at] == '.') {
    ++at;
    int64_t scale = UA_DATETIME_SEC;
    const size_t start = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
      scale /= 10;
      ticks += (text[at] - '0') * scale;  // digits beyond 100 ns add nothing
      ++at;
    }
    if (at == start || at - start > 9) return false;
  }
  if (at + 1 != text.size() || text[at] != 'Z') return false;
  UA_DateTimeStruct parts{};
  parts.year = static_cast<UA_Int16>(year);
  parts.month = static_cast<UA_UInt16>(month);
  parts.day = static_cast<UA_UInt16>(day);
  parts.hour = static_cast<UA_UInt16>(hour);
  parts.min = static_cast<UA_UInt16>(minute);
  parts.sec = static_cast<UA_UInt16>(second);
  out = UA_DateTime_fromStruct(parts) + ticks;
  return true;
}

// --- StatusCode names ---

// The stack answers a code it has no name for with one fallback name (and with an
// empty one when built without names); neither names a code.
bool IsName(const char* name) {
  static const std::string_view fallback = UA_StatusCode_name(0xffffffff);
  return name != nullptr && *name != '\0' && name != fallback;
}

// The stack only maps codes to names, each by a scan of its table, so the reverse map
// is gathered once. Named codes have nothing in their low 16 bits.
const std::unordered_map<std::string_view, UA_StatusCode>& StatusCodesByName() {
  static const auto byName = [] {
    std::unordered_map<std::string_view, UA_StatusCode> codes;
    for (UA_UInt32 high = 0; high <= 0xffff; ++high) {
      const char* name = UA_StatusCode_name(high << 16);
      if (IsName(name)) codes.emplace(name, high << 16);  // the lowest code keeps a name
    }
    return codes;
  }();
  return byName;
}

bool ParseStatusCode(std::string_view text, UA_StatusCode& out) {
  if (text.starts_with("0x") || text.starts_with("0X")) {
    const auto [end, ec] = std::from_chars(text.data() + 2, text.data() + text.size(), out, 16);
    return ec == std::errc() && end == text.data() + text.size();
  }
  if (ParseNumber<UA_UInt32>(text, &out)) return true;
  const auto& byName = StatusCodesByName();
  const auto found = byName.find(text);
  if (found == byName.end()) return false;
  out = found->second;
  return true;
}

// By name only when the name reads back as the same code: a code the stack cannot
// name, or one with bits below the name's, is written in hex so that it survives
// being written back.
std::string StatusCodeText(UA_StatusCode code) {
  const char* name = UA_StatusCode_name(code);
  if ((code & 0xffff) == 0 && IsName(name)) return name;
  char hex[sizeof "0x12345678"];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
  return hex;
}

bool IsOneOfTheTwelve(const UA_DataType* type) {
  switch (type->typeKind) {
    case UA_DATATYPEKIND_BOOLEAN:
    case UA_DATATYPEKIND_SBYTE:
    case UA_DATATYPEKIND_BYTE:
    case UA_DATATYPEKIND_INT16:
    case UA_DATATYPEKIND_UINT16:
    case UA_DATATYPEKIND_INT32:
    case UA_DATATYPEKIND_UINT32:
    case UA_DATATYPEKIND_INT64:
    case UA_DATATYPEKIND_UINT64:
    case UA_DATATYPEKIND_FLOAT:
    case UA_DATATYPEKIND_DOUBLE:
    case UA_DATATYPEKIND_STRING:
      return true;
    default:
      return false;
  }
}

bool IsStructureKind(const UA_DataType* type) {
  return type->typeKind == UA_DATATYPEKIND_STRUCTURE || type->typeKind == UA_DATATYPEKIND_OPTSTRUCT ||
         type->typeKind == UA_DATATYPEKIND_UNION;
}

std::string Child(const std::string& key, std::string_view name) { return FieldKey(key, name); }
std::string Element(const std::string& key, size_t i) { return ElementKey(key, i); }

// --- Values the stack decoded itself (namespace 0 structures and their members) ---

bool WalkKnown(const void* p, const UA_DataType* type, const std::string& key, PropertyMap& out);

bool WalkKnownArray(const void* elements, size_t count, const UA_DataType* type, const std::string& key,
                    PropertyMap& out) {
  auto at = reinterpret_cast<uintptr_t>(elements);
  for (size_t i = 0; i < count; ++i, at += type->memSize) {
    if (!WalkKnown(reinterpret_cast<const void*>(at), type, Element(key, i), out)) return false;
  }
  return true;
}

// The member layout is the stack's: padding before each member, an array as its
// length and a pointer, an optional member as a pointer, a union as its selector
// followed by the chosen member at that member's padding.
bool WalkStructure(const void* p, const UA_DataType* type, const std::string& key, PropertyMap& out) {
  const auto start = reinterpret_cast<uintptr_t>(p);
  if (type->typeKind == UA_DATATYPEKIND_UNION) {
    const UA_UInt32 selection = *reinterpret_cast<const UA_UInt32*>(start);
    if (selection == 0 || selection > type->membersSize) return true;
    const UA_DataTypeMember& m = type->members[selection - 1];
    const uintptr_t at = start + m.padding;
    if (!m.isArray) return WalkKnown(reinterpret_cast<const void*>(at), m.memberType, Child(key, m.memberName), out);
    return WalkKnownArray(*reinterpret_cast<void* const*>(at + sizeof(size_t)), *reinterpret_cast<const size_t*>(at),
                          m.memberType, Child(key, m.memberName), out);
  }
  uintptr_t at = start;
  for (size_t i = 0; i < type->membersSize; ++i) {
    const UA_DataTypeMember& m = type->members[i];
    const std::string name = Child(key, m.memberName);
    at += m.padding;
    if (m.isArray) {
      const size_t count = *reinterpret_cast<const size_t*>(at);
      const void* elements = *reinterpret_cast<void* const*>(at + sizeof(size_t));
      at += sizeof(size_t) + sizeof(void*);
      if (elements != nullptr && !WalkKnownArray(elements, count, m.memberType, name, out)) return false;
    } else if (m.isOptional) {
      const void* member = *reinterpret_cast<void* const*>(at);
      at += sizeof(void*);
      if (member != nullptr && !WalkKnown(member, m.memberType, name, out)) return false;
    } else {
      if (!WalkKnown(reinterpret_cast<const void*>(at), m.memberType, name, out)) return false;
      at += m.memberType->memSize;
    }
  }
  return true;
}

bool WalkKnown(const void* p, const UA_DataType* type, const std::string& key, PropertyMap& out) {
  if (IsStructureKind(type)) return WalkStructure(p, type, key, out);
  if (type->typeKind == UA_DATATYPEKIND_EXTENSIONOBJECT) {
    const auto* object = static_cast<const UA_ExtensionObject*>(p);
    if (object->encoding < UA_EXTENSIONOBJECT_DECODED) return false;
    return WalkKnown(object->content.decoded.data, object->content.decoded.type, key, out);
  }
  std::optional<std::string> text = ScalarToText(p, type);
  if (!text) return false;
  out.Set(key, std::move(*text));
  return true;
}

// --- Received values by type ---

const void* ElementAt(const Elements& elements, const UA_DataType* type, size_t i) {
  return static_cast<const UA_Byte*>(elements.data) + i * type->memSize;
}

template <typename T, typename Convert>
std::vector<T> VectorOf(const Elements& elements, const UA_DataType* type, Convert convert) {
  std::vector<T> out;
  out.reserve(elements.count);
  for (size_t i = 0; i < elements.count; ++i) out.push_back(convert(ElementAt(elements, type, i)));
  return out;
}

// One scalar of a structure data type: decoded by the stack, or encoded by the server's definition.
UA_StatusCode StructureToMap(const void* p, const UA_DataType* type, const TypeInfo* nodeType, const std::string& key,
                             PropertyMap& out) {
  if (type->typeKind != UA_DATATYPEKIND_EXTENSIONOBJECT)
    return WalkKnown(p, type, key, out) ? UA_STATUSCODE_GOOD : UA_STATUSCODE_BADDATATYPEIDUNKNOWN;
  const auto* object = static_cast<const UA_ExtensionObject*>(p);
  if (object->encoding >= UA_EXTENSIONOBJECT_DECODED)
    return WalkKnown(p, type, key, out) ? UA_STATUSCODE_GOOD : UA_STATUSCODE_BADDATATYPEIDUNKNOWN;
  if (object->encoding != UA_EXTENSIONOBJECT_ENCODED_BYTESTRING || nodeType == nullptr ||
      nodeType->kind != TypeInfo::Kind::Structure)
    return UA_STATUSCODE_BADDATATYPEIDUNKNOWN;
  return DecodeStructure(*nodeType, object->content.encoded.body, key, out);
}

// Structures, and arrays of them as "[i]"-prefixed fields; a structure that cannot
// be decoded leaves the value empty, a hostile one refuses the item.
UA_StatusCode StructuresToHost(const UA_Variant& v, bool isArray, const TypeInfo* nodeType, DataValue& out) {
  PropertyMap fields;
  UA_StatusCode status = UA_STATUSCODE_GOOD;
  if (isArray) {
    const Elements elements = ElementsOf(v);
    for (size_t i = 0; i < elements.count && status == UA_STATUSCODE_GOOD; ++i)
      status = StructureToMap(ElementAt(elements, v.type, i), v.type, nodeType, Element("", i), fields);
  } else {
    status = StructureToMap(v.data, v.type, nodeType, "", fields);
  }
  if (status == UA_STATUSCODE_BADENCODINGLIMITSEXCEEDED) return status;
  if (status != UA_STATUSCODE_GOOD) return UA_STATUSCODE_GOOD;  // stays empty
  out.value = std::move(fields);
  if (v.type->typeKind != UA_DATATYPEKIND_EXTENSIONOBJECT) {
    out.properties.Set("data_type", v.type->typeName);
  } else if (nodeType != nullptr && !nodeType->name.empty()) {
    out.properties.Set("data_type", nodeType->name);
  }
  return UA_STATUSCODE_GOOD;
}

std::string EnumName(const TypeInfo& type, int64_t number) {
  for (const auto& [value, name] : type.enumNames) {
    if (value == number) return name;
  }
  return {};
}

void EnumerationToHost(const UA_Variant& v, bool isArray, const TypeInfo& nodeType, DataValue& out) {
  if (isArray) {
    const Elements elements = ElementsOf(v);
    const auto* first = static_cast<const UA_Int32*>(elements.data);
    out.value = std::vector<int32_t>(first, first + elements.count);
  } else {
    const UA_Int32 number = *static_cast<const UA_Int32*>(v.data);
    out.value = number;
    out.properties.Set("enum_name", EnumName(nodeType, number));
  }
  out.properties.Set("data_type", nodeType.name);
}

// The other built-in types; false for those that have no host form.
bool BuiltInToHost(const UA_Variant& v, bool isArray, DataValue& out) {
  const UA_DataType* type = v.type;
  const Elements elements = isArray ? ElementsOf(v) : Elements{v.data, 1};
  const auto text = [type](const void* p) { return ScalarToText(p, type).value_or(std::string()); };
  switch (type->typeKind) {
    case UA_DATATYPEKIND_DATETIME: {
      const auto nanos = [](const void* p) { return DateTimeToUnixNanos(*static_cast<const UA_DateTime*>(p)); };
      out.value = isArray ? Value(VectorOf<int64_t>(elements, type, nanos)) : Value(nanos(v.data));
      break;
    }
    case UA_DATATYPEKIND_BYTESTRING: {
      if (isArray) {
        PropertyMap items;
        for (size_t i = 0; i < elements.count; ++i) items.Set(Element("", i), text(ElementAt(elements, type, i)));
        out.value = std::move(items);
      } else {
        const auto* bytes = static_cast<const UA_ByteString*>(v.data);
        out.value = bytes->length == 0 ? std::vector<uint8_t>()
                                       : std::vector<uint8_t>(bytes->data, bytes->data + bytes->length);
      }
      break;
    }
    case UA_DATATYPEKIND_STATUSCODE: {
      const auto code = [](const void* p) { return *static_cast<const UA_StatusCode*>(p); };
      out.value = isArray ? Value(VectorOf<uint32_t>(elements, type, code)) : Value(code(v.data));
      if (!isArray) out.properties.Set("status_name", UA_StatusCode_name(code(v.data)));
      break;
    }
    case UA_DATATYPEKIND_LOCALIZEDTEXT:
      if (!isArray) out.properties.Set("locale", StringOf(static_cast<const UA_LocalizedText*>(v.data)->locale));
      [[fallthrough]];
    case UA_DATATYPEKIND_GUID:
    case UA_DATATYPEKIND_XMLELEMENT:
    case UA_DATATYPEKIND_NODEID:
    case UA_DATATYPEKIND_EXPANDEDNODEID:
    case UA_DATATYPEKIND_QUALIFIEDNAME:
      out.value = isArray ? Value(VectorOf<std::string>(elements, type, text)) : Value(text(v.data));
      break;
    default:
      return false;
  }
  out.properties.Set("data_type", type->typeName);
  return true;
}

// --- Values to send ---

Result Refusal(ResultCode code, std::string message) { return {code, std::move(message)}; }

bool SetScalar(UA_Variant& out, const void* p, const UA_DataType* type) {
  return UA_Variant_setScalarCopy(&out, p, type) == UA_STATUSCODE_GOOD;
}

// Hands elements (initialised scalars of type) over to out as an array.
bool SetArrayOwned(UA_Variant& out, void* elements, size_t count, const UA_DataType* type) {
  if (count == 0) {
    UA_Array_delete(elements, 0, type);
    UA_Variant_setArray(&out, UA_EMPTY_ARRAY_SENTINEL, 0, type);
    return true;
  }
  UA_Variant_setArray(&out, elements, count, type);
  return true;
}

// Texts parsed one by one into an array of type.
bool TextsToArray(const std::vector<std::string>& texts, const UA_DataType* type, UA_Variant& out, Result& error) {
  void* elements = UA_Array_new(texts.size(), type);
  if (elements == nullptr && !texts.empty()) return false;
  for (size_t i = 0; i < texts.size(); ++i) {
    if (!TextToScalar(texts[i], type, static_cast<UA_Byte*>(elements) + i * type->memSize)) {
      UA_Array_delete(elements, texts.size(), type);
      error = Refusal(ResultCode::InvalidArgument, "element " + std::to_string(i) + " is not a valid " +
                                                       std::string(type->typeName) + ": '" + texts[i] + "'");
      return false;
    }
  }
  return SetArrayOwned(out, elements, texts.size(), type);
}

bool TextToVariant(const std::string& text, const UA_DataType* type, UA_Variant& out, Result& error) {
  void* scalar = UA_new(type);
  if (scalar == nullptr) return false;
  if (!TextToScalar(text, type, scalar)) {
    UA_delete(scalar, type);
    error = Refusal(ResultCode::InvalidArgument, "not a valid " + std::string(type->typeName) + ": '" + text + "'");
    return false;
  }
  UA_Variant_setScalar(&out, scalar, type);
  return true;
}

bool EnumerationToUa(const Value& value, const TypeInfo& type, UA_Variant& out, Result& error) {
  const UA_DataType* int32 = &UA_TYPES[UA_TYPES_INT32];
  if (const auto* text = std::get_if<std::string>(&value)) {
    UA_Int32 number = 0;
    if (!EnumerationFromText(type, *text, number)) {
      error = Refusal(ResultCode::InvalidArgument, "'" + *text + "' names no value of " + type.name);
      return false;
    }
    return SetScalar(out, &number, int32);
  }
  return ValueToUaVariant(value, out, Arrays::Convert);
}

bool StructureToUa(const Value& value, const TypeInfo& type, UA_Variant& out, Result& error) {
  const auto* fields = std::get_if<PropertyMap>(&value);
  if (fields == nullptr) {
    error = Refusal(ResultCode::TypeMismatch, "a structure is written as a PropertyMap of its fields");
    return false;
  }
  const bool isArray = !fields->Pairs().empty() && fields->Pairs().front().first.starts_with("[");
  const StructureKeys keys(*fields);
  std::vector<std::string> used;
  std::vector<std::vector<UA_Byte>> bodies;
  const auto encodeOne = [&](const std::string& key) {
    bodies.emplace_back();
    return EncodeStructure(type, keys, key, used, bodies.back(), error);
  };
  if (isArray) {
    for (size_t i = 0; keys.AnyStartsWith(Element("", i)); ++i) {
      if (!encodeOne(Element("", i))) return false;
    }
  } else if (!encodeOne("")) {
    return false;
  }
  std::sort(used.begin(), used.end());
  for (const auto& [key, text] : fields->Pairs()) {
    if (!std::binary_search(used.begin(), used.end(), key)) {
      error = Refusal(ResultCode::InvalidArgument, "unknown field '" + key + "' for " + type.name);
      return false;
    }
  }
  const UA_DataType* objectType = &UA_TYPES[UA_TYPES_EXTENSIONOBJECT];
  auto* objects = static_cast<UA_ExtensionObject*>(UA_Array_new(bodies.size(), objectType));
  if (objects == nullptr) return false;
  for (size_t i = 0; i < bodies.size(); ++i) {
    objects[i].encoding = UA_EXTENSIONOBJECT_ENCODED_BYTESTRING;
    const UA_ByteString body{bodies[i].size(), bodies[i].data()};
    if (UA_NodeId_copy(type.encodingId.get(), &objects[i].content.encoded.typeId) != UA_STATUSCODE_GOOD ||
        UA_ByteString_copy(&body, &objects[i].content.encoded.body) != UA_STATUSCODE_GOOD) {
      UA_Array_delete(objects, bodies.size(), objectType);
      return false;
    }
  }
  if (isArray) return SetArrayOwned(out, objects, bodies.size(), objectType);
  UA_Variant_setScalar(&out, objects, objectType);
  return true;
}

bool KnownToUa(const Value& value, const UA_DataType* type, UA_Variant& out, Result& error) {
  // The twelve keep their rule: the host alternative alone decides what is sent.
  if (IsOneOfTheTwelve(type)) return ValueToUaVariant(value, out, Arrays::Convert);
  if (IsStructureKind(type)) {
    error = Refusal(ResultCode::TypeMismatch, std::string(type->typeName) + " values cannot be written");
    return false;
  }
  if (const auto* text = std::get_if<std::string>(&value)) return TextToVariant(*text, type, out, error);
  if (const auto* texts = std::get_if<std::vector<std::string>>(&value)) return TextsToArray(*texts, type, out, error);
  switch (type->typeKind) {
    case UA_DATATYPEKIND_DATETIME:
      if (const auto* nanos = std::get_if<int64_t>(&value)) {
        const UA_DateTime ticks = UnixNanosToDateTime(*nanos);
        return SetScalar(out, &ticks, type);
      }
      if (const auto* all = std::get_if<std::vector<int64_t>>(&value)) {
        std::vector<UA_DateTime> ticks(all->size());
        std::transform(all->begin(), all->end(), ticks.begin(), UnixNanosToDateTime);
        if (ticks.empty()) return SetArrayOwned(out, UA_Array_new(0, type), 0, type);
        return UA_Variant_setArrayCopy(&out, ticks.data(), ticks.size(), type) == UA_STATUSCODE_GOOD;
      }
      break;
    case UA_DATATYPEKIND_BYTESTRING:
      if (const auto* bytes = std::get_if<std::vector<uint8_t>>(&value)) {
        const UA_ByteString view{bytes->size(), const_cast<UA_Byte*>(bytes->data())};
        if (bytes->empty()) {
          UA_ByteString empty{0, static_cast<UA_Byte*>(UA_EMPTY_ARRAY_SENTINEL)};
          return SetScalar(out, &empty, type);
        }
        return SetScalar(out, &view, type);
      }
      break;
    case UA_DATATYPEKIND_STATUSCODE:
      if (const auto* code = std::get_if<uint32_t>(&value)) return SetScalar(out, code, type);
      break;
    default:
      break;
  }
  return ValueToUaVariant(value, out, Arrays::Convert);
}

}  // namespace

std::string FieldKey(const std::string& key, std::string_view name) {
  return key.empty() ? std::string(name) : key + "." + std::string(name);
}

std::string ElementKey(const std::string& key, size_t i) { return key + "[" + std::to_string(i) + "]"; }

bool KnownToText(const void* p, const UA_DataType* type, const std::string& key, PropertyMap& out) {
  return WalkKnown(p, type, key, out);
}

// A number first: values are read as numbers, and a server may give a value a name that
// reads as another value's number.
bool EnumerationFromText(const TypeInfo& type, std::string_view text, UA_Int32& out) {
  if (ParseNumber<UA_Int32>(text, &out)) return true;
  for (const auto& [value, name] : type.enumNames) {
    if (name == text) {
      out = static_cast<UA_Int32>(value);
      return true;
    }
  }
  return false;
}

// ns since 1970 reach from 1677 to 2262; times outside read as the nearest end, and
// the ends are written as the earliest (0, "no time") and the latest DateTime.
constexpr int64_t kMaxTicks = std::numeric_limits<int64_t>::max() / 100;
constexpr int64_t kMinTicks = std::numeric_limits<int64_t>::min() / 100;

int64_t DateTimeToUnixNanos(UA_DateTime ticks) {
  if (ticks < std::numeric_limits<int64_t>::min() + UA_DATETIME_UNIX_EPOCH) return kMinTicks * 100;
  const int64_t sinceEpoch = ticks - UA_DATETIME_UNIX_EPOCH;
  return std::clamp(sinceEpoch, kMinTicks, kMaxTicks) * 100;
}

UA_DateTime UnixNanosToDateTime(int64_t nanos) {
  if (nanos <= kMinTicks * 100) return 0;
  if (nanos >= kMaxTicks * 100) return std::numeric_limits<UA_DateTime>::max();
  int64_t ticks = nanos / 100;
  if (nanos % 100 < 0) --ticks;  // toward the past, as the tick it falls in
  return ticks + UA_DATETIME_UNIX_EPOCH;
}

std::optional<std::string> ScalarToText(const void* p, const UA_DataType* type) {
  switch (type->typeKind) {
    case UA_DATATYPEKIND_BOOLEAN:
      return NumberText(*static_cast<const UA_Boolean*>(p));
    case UA_DATATYPEKIND_SBYTE:
      return NumberText(static_cast<int>(*static_cast<const UA_SByte*>(p)));
    case UA_DATATYPEKIND_BYTE:
      return NumberText(static_cast<unsigned>(*static_cast<const UA_Byte*>(p)));
    case UA_DATATYPEKIND_INT16:
      return NumberText(*static_cast<const UA_Int16*>(p));
    case UA_DATATYPEKIND_UINT16:
      return NumberText(*static_cast<const UA_UInt16*>(p));
    case UA_DATATYPEKIND_INT32:
    case UA_DATATYPEKIND_ENUM:
      return NumberText(*static_cast<const UA_Int32*>(p));
    case UA_DATATYPEKIND_UINT32:
      return NumberText(*static_cast<const UA_UInt32*>(p));
    case UA_DATATYPEKIND_INT64:
      return NumberText(*static_cast<const UA_Int64*>(p));
    case UA_DATATYPEKIND_UINT64:
      return NumberText(*static_cast<const UA_UInt64*>(p));
    case UA_DATATYPEKIND_FLOAT:
      return NumberText(*static_cast<const UA_Float*>(p));
    case UA_DATATYPEKIND_DOUBLE:
      return NumberText(*static_cast<const UA_Double*>(p));
    case UA_DATATYPEKIND_STRING:
    case UA_DATATYPEKIND_XMLELEMENT:
      return StringOf(*static_cast<const UA_String*>(p));
    case UA_DATATYPEKIND_DATETIME:
      return IsoOf(*static_cast<const UA_DateTime*>(p));
    case UA_DATATYPEKIND_BYTESTRING:
      return HexOf(*static_cast<const UA_ByteString*>(p));
    case UA_DATATYPEKIND_GUID: {
      UA_String printed = UA_STRING_NULL;
      return Printed(UA_Guid_print(static_cast<const UA_Guid*>(p), &printed), printed);
    }
    case UA_DATATYPEKIND_NODEID: {
      UA_String printed = UA_STRING_NULL;
      return Printed(UA_NodeId_print(static_cast<const UA_NodeId*>(p), &printed), printed);
    }
    case UA_DATATYPEKIND_EXPANDEDNODEID: {
      UA_String printed = UA_STRING_NULL;
      return Printed(UA_ExpandedNodeId_print(static_cast<const UA_ExpandedNodeId*>(p), &printed), printed);
    }
    case UA_DATATYPEKIND_STATUSCODE:
      return StatusCodeText(*static_cast<const UA_StatusCode*>(p));
    case UA_DATATYPEKIND_QUALIFIEDNAME: {
      const auto* name = static_cast<const UA_QualifiedName*>(p);
      const std::string text = StringOf(name->name);
      return name->namespaceIndex == 0 ? text : std::to_string(name->namespaceIndex) + ":" + text;
    }
    case UA_DATATYPEKIND_LOCALIZEDTEXT:
      return StringOf(static_cast<const UA_LocalizedText*>(p)->text);
    case UA_DATATYPEKIND_VARIANT: {
      const auto* inner = static_cast<const UA_Variant*>(p);
      if (inner->type == nullptr) return std::string();
      if (!UA_Variant_isScalar(inner) || inner->type->typeKind > UA_DATATYPEKIND_LOCALIZEDTEXT) return std::nullopt;
      return ScalarToText(inner->data, inner->type);
    }
    default:
      return std::nullopt;
  }
}

bool TextToScalar(std::string_view text, const UA_DataType* type, void* out) {
  switch (type->typeKind) {
    case UA_DATATYPEKIND_BOOLEAN:
      return ParseNumber<bool>(text, out);
    case UA_DATATYPEKIND_SBYTE:
      return ParseNumber<UA_SByte>(text, out);
    case UA_DATATYPEKIND_BYTE:
      return ParseNumber<UA_Byte>(text, out);
    case UA_DATATYPEKIND_INT16:
      return ParseNumber<UA_Int16>(text, out);
    case UA_DATATYPEKIND_UINT16:
      return ParseNumber<UA_UInt16>(text, out);
    case UA_DATATYPEKIND_INT32:
    case UA_DATATYPEKIND_ENUM:
      return ParseNumber<UA_Int32>(text, out);
    case UA_DATATYPEKIND_UINT32:
      return ParseNumber<UA_UInt32>(text, out);
    case UA_DATATYPEKIND_INT64:
      return ParseNumber<UA_Int64>(text, out);
    case UA_DATATYPEKIND_UINT64:
      return ParseNumber<UA_UInt64>(text, out);
    case UA_DATATYPEKIND_FLOAT:
      return ParseNumber<UA_Float>(text, out);
    case UA_DATATYPEKIND_DOUBLE:
      return ParseNumber<UA_Double>(text, out);
    case UA_DATATYPEKIND_STRING:
    case UA_DATATYPEKIND_XMLELEMENT: {
      const UA_String view = View(text);
      return UA_String_copy(&view, static_cast<UA_String*>(out)) == UA_STATUSCODE_GOOD;
    }
    case UA_DATATYPEKIND_DATETIME:
      return ParseIso(text, *static_cast<UA_DateTime*>(out));
    case UA_DATATYPEKIND_BYTESTRING:
      return ParseHex(text, *static_cast<UA_ByteString*>(out));
    case UA_DATATYPEKIND_GUID:
      return UA_Guid_parse(static_cast<UA_Guid*>(out), View(text)) == UA_STATUSCODE_GOOD;
    case UA_DATATYPEKIND_NODEID:
      return ParseNodeId(std::string(text), *static_cast<UA_NodeId*>(out));
    case UA_DATATYPEKIND_EXPANDEDNODEID:
      return UA_ExpandedNodeId_parse(static_cast<UA_ExpandedNodeId*>(out), View(text)) == UA_STATUSCODE_GOOD;
    case UA_DATATYPEKIND_STATUSCODE:
      return ParseStatusCode(text, *static_cast<UA_StatusCode*>(out));
    case UA_DATATYPEKIND_QUALIFIEDNAME: {
      auto* name = static_cast<UA_QualifiedName*>(out);
      const size_t colon = text.find(':');
      UA_UInt16 ns = 0;
      if (colon != std::string_view::npos && ParseNumber<UA_UInt16>(text.substr(0, colon), &ns)) {
        text.remove_prefix(colon + 1);
        name->namespaceIndex = ns;
      }
      const UA_String view = View(text);
      return UA_String_copy(&view, &name->name) == UA_STATUSCODE_GOOD;
    }
    case UA_DATATYPEKIND_LOCALIZEDTEXT: {
      const UA_String view = View(text);
      return UA_String_copy(&view, &static_cast<UA_LocalizedText*>(out)->text) == UA_STATUSCODE_GOOD;
    }
    default:
      return false;
  }
}

UA_StatusCode TypedToHost(const UA_Variant& v, const TypeInfo* nodeType, DataValue& out) {
  if (v.type == nullptr || v.data == nullptr) return UA_STATUSCODE_GOOD;
  const bool isArray = v.arrayLength != 0 || v.data == UA_EMPTY_ARRAY_SENTINEL;
  if (isArray && v.arrayDimensionsSize > 1) return UA_STATUSCODE_GOOD;  // a matrix has no host form
  if (nodeType != nullptr && nodeType->kind == TypeInfo::Kind::TooDeep) return UA_STATUSCODE_BADENCODINGLIMITSEXCEEDED;
  if (nodeType != nullptr && nodeType->kind == TypeInfo::Kind::Enumeration &&
      v.type->typeKind == UA_DATATYPEKIND_INT32) {
    EnumerationToHost(v, isArray, *nodeType, out);
    return UA_STATUSCODE_GOOD;
  }
  if (IsStructureKind(v.type) || v.type->typeKind == UA_DATATYPEKIND_EXTENSIONOBJECT)
    return StructuresToHost(v, isArray, nodeType, out);
  if (IsOneOfTheTwelve(v.type)) {
    out.value = UaVariantToValue(v, Arrays::Convert);
    out.properties.Set("data_type", v.type->typeName);
    return UA_STATUSCODE_GOOD;
  }
  BuiltInToHost(v, isArray, out);
  return UA_STATUSCODE_GOOD;
}

DataValue NotificationValue(const UA_DataValue& value, Arrays arrays, const TypeInfo* type) {
  DataValue out;
  if (value.hasStatus && value.status != UA_STATUSCODE_GOOD) {
    // Any status but Good drops the value, even an Uncertain one.
    Result mapped = StatusFromUa(value.status);
    out.code = mapped.code;
    out.message = std::move(mapped.message);
  } else if (value.hasValue && arrays == Arrays::Typed) {
    const UA_StatusCode status = TypedToHost(value.value, type, out);
    if (status != UA_STATUSCODE_GOOD) {
      Result mapped = StatusFromUa(status);
      out = {};
      out.code = mapped.code;
      out.message = std::move(mapped.message);
    }
  } else if (value.hasValue) {
    out.value = UaVariantToValue(value.value, arrays);
  } else {
    out.code = ResultCode::InvalidState;
    out.message = "monitored item update carried no value";
  }
  if (value.hasSourceTimestamp) out.timestamp = UaDateTimeToUnixNanos(value.sourceTimestamp);
  return out;
}

bool HostToTyped(const Value& value, const TypeInfo& nodeType, UA_Variant& out, Result& error) {
  error = Refusal(ResultCode::TypeMismatch, "value type not supported by current converter");
  switch (nodeType.kind) {
    case TypeInfo::Kind::Structure:
      return StructureToUa(value, nodeType, out, error);
    case TypeInfo::Kind::Enumeration:
      return EnumerationToUa(value, nodeType, out, error);
    case TypeInfo::Kind::Known:
      return KnownToUa(value, nodeType.known, out, error);
    case TypeInfo::Kind::TooDeep:
      error = Refusal(ResultCode::TypeMismatch, nodeType.name + " nests too deeply to be written");
      return false;
    case TypeInfo::Kind::Opaque:
      break;
  }
  return ValueToUaVariant(value, out, Arrays::Convert);
}

}  // namespace velk::quarlink::internal
