// Structure bodies by the server's definition, one field at a time: the stack
// decodes and encodes each field of a type it knows; optional fields, unions,
// arrays and nested structures follow the definition.
#include <algorithm>
#include <memory>

#include "values/typed_values.h"

namespace velk::quarlink::internal {
namespace {

using tessel::fnd::defs::PropertyMap;
using tessel::fnd::defs::Result;
using tessel::fnd::defs::ResultCode;

// Larger bodies are refused whatever they hold: no plant structure comes near this.
constexpr size_t kMaxBodyBytes = 16u << 20;

struct DeleteUa {
  const UA_DataType* type;
  void operator()(void* p) const { UA_delete(p, type); }
};
using UaValue = std::unique_ptr<void, DeleteUa>;

UaValue NewValue(const UA_DataType* type) { return UaValue(UA_new(type), DeleteUa{type}); }

class Reader {
 public:
  explicit Reader(const UA_ByteString& body) : body_(body) {}

  // Decodes one value of a type the stack knows and steps past its encoding.
  UA_StatusCode Next(const UA_DataType* type, void* out) {
    if (at_ >= body_.length) return UA_STATUSCODE_BADDECODINGERROR;
    const UA_ByteString rest{body_.length - at_, body_.data + at_};
    const UA_StatusCode status = UA_decodeBinary(&rest, out, type, nullptr);
    if (status != UA_STATUSCODE_GOOD) return status;
    // The stack does not report how much it read; the size of the value encoded
    // again is that, for every canonical encoding.
    const size_t used = UA_calcSizeBinary(out, type);
    if (used == 0 || used > rest.length) return UA_STATUSCODE_BADDECODINGERROR;
    at_ += used;
    return UA_STATUSCODE_GOOD;
  }
  size_t left() const { return body_.length - at_; }

 private:
  const UA_ByteString& body_;
  size_t at_ = 0;
};

// Fields holding any subtype of their declared type follow layout rules this codec
// does not know: reading such a body as another kind would give wrong values. The
// mask of optional fields has 32 bits, so no more can be told apart.
bool KnownLayout(const TypeInfo& type) {
  if (type.structureType == UA_STRUCTURETYPE_STRUCTURE || type.structureType == UA_STRUCTURETYPE_UNION) return true;
  return type.structureType == UA_STRUCTURETYPE_STRUCTUREWITHOPTIONALFIELDS &&
         std::count_if(type.fields.begin(), type.fields.end(), [](const auto& field) { return field.optional; }) <= 32;
}

UA_StatusCode DecodeFields(const TypeInfo& type, Reader& reader, const std::string& key, PropertyMap& out, int depth);

UA_StatusCode DecodeValue(const TypeInfo& type, Reader& reader, const std::string& key, PropertyMap& out, int depth) {
  if (type.kind != TypeInfo::Kind::Structure && out.Pairs().size() >= kMaxStructurePairs)
    return UA_STATUSCODE_BADENCODINGLIMITSEXCEEDED;
  switch (type.kind) {
    case TypeInfo::Kind::Structure:
      return DecodeFields(type, reader, key, out, depth + 1);
    case TypeInfo::Kind::Enumeration: {
      UA_Int32 number = 0;
      const UA_StatusCode status = reader.Next(&UA_TYPES[UA_TYPES_INT32], &number);
      if (status == UA_STATUSCODE_GOOD) out.Set(key, std::to_string(number));
      return status;
    }
    case TypeInfo::Kind::Known: {
      UaValue value = NewValue(type.known);
      if (!value) return UA_STATUSCODE_BADOUTOFMEMORY;
      const UA_StatusCode status = reader.Next(type.known, value.get());
      if (status != UA_STATUSCODE_GOOD) return status;
      return KnownToText(value.get(), type.known, key, out) ? UA_STATUSCODE_GOOD : UA_STATUSCODE_BADDATATYPEIDUNKNOWN;
    }
    case TypeInfo::Kind::TooDeep:
      return UA_STATUSCODE_BADENCODINGLIMITSEXCEEDED;
    case TypeInfo::Kind::Opaque:
      break;
  }
  return UA_STATUSCODE_BADDATATYPEIDUNKNOWN;
}

UA_StatusCode DecodeField(const TypeInfo::Field& field, Reader& reader, const std::string& key, PropertyMap& out,
                          int depth) {
  if (!field.array) return DecodeValue(*field.type, reader, key, out, depth);
  UA_Int32 count = 0;
  UA_StatusCode status = reader.Next(&UA_TYPES[UA_TYPES_INT32], &count);
  if (status != UA_STATUSCODE_GOOD || count == -1) return status;  // -1: a null array
  if (count < 0) return UA_STATUSCODE_BADDECODINGERROR;
  // Every element takes at least one byte: a larger count is a lie about the body.
  if (static_cast<size_t>(count) > reader.left()) return UA_STATUSCODE_BADENCODINGLIMITSEXCEEDED;
  for (UA_Int32 i = 0; i < count && status == UA_STATUSCODE_GOOD; ++i)
    status = DecodeValue(*field.type, reader, ElementKey(key, i), out, depth);
  return status;
}

UA_StatusCode DecodeFields(const TypeInfo& type, Reader& reader, const std::string& key, PropertyMap& out, int depth) {
  if (depth > kMaxTypeDepth) return UA_STATUSCODE_BADENCODINGLIMITSEXCEEDED;
  if (!KnownLayout(type)) return UA_STATUSCODE_BADDATATYPEIDUNKNOWN;
  UA_UInt32 selector = 0;  // the optional fields' mask, or the chosen field of a union
  if (type.structureType != UA_STRUCTURETYPE_STRUCTURE) {
    const UA_StatusCode status = reader.Next(&UA_TYPES[UA_TYPES_UINT32], &selector);
    if (status != UA_STATUSCODE_GOOD) return status;
  }
  if (type.structureType == UA_STRUCTURETYPE_UNION) {
    if (selector == 0) return UA_STATUSCODE_GOOD;  // no field chosen
    if (selector > type.fields.size()) return UA_STATUSCODE_BADDECODINGERROR;
    const TypeInfo::Field& field = type.fields[selector - 1];
    return DecodeField(field, reader, FieldKey(key, field.name), out, depth);
  }
  size_t optionalIndex = 0;
  for (const TypeInfo::Field& field : type.fields) {
    if (field.optional && type.structureType == UA_STRUCTURETYPE_STRUCTUREWITHOPTIONALFIELDS &&
        ((selector >> optionalIndex++) & 1u) == 0)
      continue;
    const UA_StatusCode status = DecodeField(field, reader, FieldKey(key, field.name), out, depth);
    if (status != UA_STATUSCODE_GOOD) return status;
  }
  return UA_STATUSCODE_GOOD;
}

// --- Encoding ---

}  // namespace

StructureKeys::StructureKeys(const PropertyMap& pairs) : pairs_(pairs.Pairs()), sorted_(pairs_.size()) {
  for (size_t i = 0; i < sorted_.size(); ++i) sorted_[i] = i;
  std::stable_sort(sorted_.begin(), sorted_.end(),
                   [&](size_t a, size_t b) { return pairs_[a].first < pairs_[b].first; });
}

// Equal keys sort in pair order, so this is the first pair stored under its key.
const StructureKeys::Pair* StructureKeys::FirstNotBelow(std::string_view key) const {
  const auto at = std::lower_bound(sorted_.begin(), sorted_.end(), key,
                                   [&](size_t i, std::string_view k) { return pairs_[i].first < k; });
  return at == sorted_.end() ? nullptr : &pairs_[*at];
}

const std::string* StructureKeys::Text(std::string_view key) const {
  const Pair* found = FirstNotBelow(key);
  return found != nullptr && found->first == key ? &found->second : nullptr;
}

// Keys starting with prefix follow each other in sorted order, from the first not below it.
bool StructureKeys::AnyStartsWith(std::string_view prefix) const {
  const Pair* found = FirstNotBelow(prefix);
  return found != nullptr && found->first.starts_with(prefix);
}

bool StructureKeys::Present(const std::string& key) const {
  return Text(key) != nullptr || AnyStartsWith(key + ".") || AnyStartsWith(key + "[");
}

namespace {

class Writer {
 public:
  Writer(const StructureKeys& in, std::vector<std::string>& used, std::vector<UA_Byte>& out, Result& error)
      : in_(in), used_(used), out_(out), error_(error) {}

  bool Fields(const TypeInfo& type, const std::string& key, int depth);

 private:
  bool Fail(ResultCode code, std::string message) {
    error_ = {code, std::move(message)};
    return false;
  }
  bool Append(const void* p, const UA_DataType* type) {
    UA_ByteString encoded = UA_BYTESTRING_NULL;
    if (UA_encodeBinary(p, type, &encoded) != UA_STATUSCODE_GOOD)
      return Fail(ResultCode::InternalError, "could not encode a field");
    out_.insert(out_.end(), encoded.data, encoded.data + encoded.length);
    UA_ByteString_clear(&encoded);
    return true;
  }
  template <typename T>
  bool AppendNumber(T number, int uaType) {
    return Append(&number, &UA_TYPES[uaType]);
  }
  // The text stored under exactly key, marked as used.
  const std::string* Text(const std::string& key) {
    const std::string* text = in_.Text(key);
    if (text != nullptr) used_.push_back(key);
    return text;
  }
  bool Value(const TypeInfo& type, const std::string& key, int depth);
  bool Field(const TypeInfo::Field& field, const std::string& key, int depth);

  const StructureKeys& in_;
  std::vector<std::string>& used_;
  std::vector<UA_Byte>& out_;
  Result& error_;
};

bool Writer::Value(const TypeInfo& type, const std::string& key, int depth) {
  if (type.kind == TypeInfo::Kind::Structure) return Fields(type, key, depth + 1);
  const bool writable = type.kind == TypeInfo::Kind::Enumeration ||
                        (type.kind == TypeInfo::Kind::Known && type.known->typeKind < UA_DATATYPEKIND_DATAVALUE);
  if (!writable) return Fail(ResultCode::TypeMismatch, "field '" + key + "' has a type that cannot be written");
  const std::string* text = Text(key);
  if (text == nullptr) return Fail(ResultCode::InvalidArgument, "missing field '" + key + "'");
  if (type.kind == TypeInfo::Kind::Enumeration) {
    UA_Int32 number = 0;
    if (!EnumerationFromText(type, *text, number))
      return Fail(ResultCode::InvalidArgument, "field '" + key + "': '" + *text + "' names no value of " + type.name);
    return AppendNumber(number, UA_TYPES_INT32);
  }
  UaValue value = NewValue(type.known);
  if (!value) return Fail(ResultCode::InternalError, "out of memory");
  if (!TextToScalar(*text, type.known, value.get()))
    return Fail(ResultCode::InvalidArgument,
                "field '" + key + "': not a valid " + std::string(type.known->typeName) + ": '" + *text + "'");
  return Append(value.get(), type.known);
}

// An array field takes as many elements as "field[i]" keys follow each other from
// 0; none is an empty array.
bool Writer::Field(const TypeInfo::Field& field, const std::string& key, int depth) {
  if (!field.array) {
    if (!in_.Present(key)) return Fail(ResultCode::InvalidArgument, "missing field '" + key + "'");
    return Value(*field.type, key, depth);
  }
  UA_Int32 count = 0;
  while (in_.Present(ElementKey(key, count))) ++count;
  if (!AppendNumber(count, UA_TYPES_INT32)) return false;
  for (UA_Int32 i = 0; i < count; ++i) {
    if (!Value(*field.type, ElementKey(key, i), depth)) return false;
  }
  return true;
}

bool Writer::Fields(const TypeInfo& type, const std::string& key, int depth) {
  if (depth > kMaxTypeDepth || type.kind != TypeInfo::Kind::Structure)
    return Fail(ResultCode::TypeMismatch, "'" + key + "' nests too deeply to be written");
  if (!KnownLayout(type))
    return Fail(ResultCode::TypeMismatch, type.name + " has subtyped or over 32 optional fields: it cannot be written");
  if (type.structureType == UA_STRUCTURETYPE_UNION) {
    size_t chosen = type.fields.size();
    for (size_t i = 0; i < type.fields.size(); ++i) {
      if (!in_.Present(FieldKey(key, type.fields[i].name))) continue;
      if (chosen != type.fields.size())
        return Fail(ResultCode::InvalidArgument, "a union takes one field: '" +
                                                     FieldKey(key, type.fields[chosen].name) + "' and '" +
                                                     FieldKey(key, type.fields[i].name) + "' given");
      chosen = i;
    }
    if (chosen == type.fields.size()) return AppendNumber(UA_UInt32{0}, UA_TYPES_UINT32);
    return AppendNumber(static_cast<UA_UInt32>(chosen + 1), UA_TYPES_UINT32) &&
           Field(type.fields[chosen], FieldKey(key, type.fields[chosen].name), depth);
  }
  const bool withMask = type.structureType == UA_STRUCTURETYPE_STRUCTUREWITHOPTIONALFIELDS;
  if (withMask) {
    UA_UInt32 mask = 0;
    size_t optionalIndex = 0;
    for (const TypeInfo::Field& field : type.fields) {
      if (!field.optional) continue;
      if (in_.Present(FieldKey(key, field.name))) mask |= 1u << optionalIndex;
      ++optionalIndex;
    }
    if (!AppendNumber(mask, UA_TYPES_UINT32)) return false;
  }
  for (const TypeInfo::Field& field : type.fields) {
    const std::string fieldKey = FieldKey(key, field.name);
    if (withMask && field.optional && !in_.Present(fieldKey)) continue;
    if (!Field(field, fieldKey, depth)) return false;
  }
  return true;
}

}  // namespace

UA_StatusCode DecodeStructure(const TypeInfo& type, const UA_ByteString& body, const std::string& key,
                              PropertyMap& out) {
  if (body.length > kMaxBodyBytes) return UA_STATUSCODE_BADENCODINGLIMITSEXCEEDED;
  Reader reader(body);
  return DecodeFields(type, reader, key, out, 1);
}

bool EncodeStructure(const TypeInfo& type, const StructureKeys& in, const std::string& key,
                     std::vector<std::string>& usedKeys, std::vector<UA_Byte>& out, Result& error) {
  return Writer(in, usedKeys, out, error).Fields(type, key, 1);
}

}  // namespace velk::quarlink::internal
