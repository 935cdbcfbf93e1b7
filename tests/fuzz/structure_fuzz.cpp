// Structures by a server's definition: up to four data type definitions and a body,
// all from the fuzzer, decoded as a read decodes them; a body that decodes is
// encoded again from its text pairs, as a write would send it back.
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "values/typed_values.h"
#include "values/ua_types.h"

using namespace velk::quarlink::internal;
using tessel::fnd::defs::PropertyMap;

namespace {

// The fuzzer's definitions, each decoded as a StructureDefinition or else an
// EnumDefinition; a field's type "ns=1;i=N" names the N-th of them.
struct Definitions {
  std::vector<UaVariant> encoded;
  std::map<size_t, TypeRef> built;
  std::set<size_t> resolving;
};

TypeRef Resolve(Definitions& defs, const UA_NodeId& id, int depth);

TypeRef TooDeep() {
  auto info = std::make_shared<TypeInfo>();
  info->kind = TypeInfo::Kind::TooDeep;
  return info;
}

// The same rules the session's type cache applies to a server's definition.
TypeRef Build(Definitions& defs, size_t index, int depth) {
  auto info = std::make_shared<TypeInfo>();
  info->name = "T" + std::to_string(index);
  const UA_Variant& definition = *defs.encoded[index];
  if (UA_Variant_hasScalarType(&definition, &UA_TYPES[UA_TYPES_STRUCTUREDEFINITION])) {
    const auto* structure = static_cast<const UA_StructureDefinition*>(definition.data);
    info->kind = TypeInfo::Kind::Structure;
    // The stack stores whatever number came; a number outside the enumeration would be
    // undefined as one, so the fuzzer's number picks one of the five kinds.
    uint32_t kind = 0;
    std::memcpy(&kind, &structure->structureType, sizeof kind);
    info->structureType = static_cast<UA_StructureType>(kind % 5);
    for (size_t i = 0; i < structure->fieldsSize; ++i) {
      const UA_StructureField& field = structure->fields[i];
      TypeInfo::Field entry{std::string(reinterpret_cast<const char*>(field.name.data), field.name.length),
                            Resolve(defs, field.dataType, depth + 1), field.valueRank == 1, field.isOptional};
      if (entry.type->kind == TypeInfo::Kind::TooDeep) info->kind = TypeInfo::Kind::TooDeep;
      if (field.valueRank > 1 || field.valueRank == 0 || field.valueRank < -1)
        entry.type = std::make_shared<TypeInfo>();
      info->fields.push_back(std::move(entry));
    }
  } else if (UA_Variant_hasScalarType(&definition, &UA_TYPES[UA_TYPES_ENUMDEFINITION])) {
    const auto* enumeration = static_cast<const UA_EnumDefinition*>(definition.data);
    info->kind = TypeInfo::Kind::Enumeration;
    for (size_t i = 0; i < enumeration->fieldsSize; ++i) {
      const UA_String& name = enumeration->fields[i].name;
      info->enumNames.emplace_back(enumeration->fields[i].value,
                                   std::string(reinterpret_cast<const char*>(name.data), name.length));
    }
  }
  return info;
}

TypeRef Resolve(Definitions& defs, const UA_NodeId& id, int depth) {
  if (id.namespaceIndex == 1 && id.identifierType == UA_NODEIDTYPE_NUMERIC &&
      id.identifier.numeric < defs.encoded.size()) {
    const size_t index = id.identifier.numeric;
    if (const auto found = defs.built.find(index); found != defs.built.end()) return found->second;
    if (depth > kMaxTypeDepth || defs.resolving.contains(index)) return TooDeep();
    defs.resolving.insert(index);
    TypeRef info = Build(defs, index, depth);
    defs.resolving.erase(index);
    defs.built[index] = info;
    return info;
  }
  const UA_DataType* known = UA_findDataType(&id);
  auto info = std::make_shared<TypeInfo>();
  if (known != nullptr && known->typeKind != UA_DATATYPEKIND_ENUM) {
    info->kind = TypeInfo::Kind::Known;
    info->known = known;
    info->name = known->typeName;
  }
  return info;
}

// Field names that keys cannot tell apart make the text pairs ambiguous.
bool PlainNames(const TypeInfo& type, std::set<const TypeInfo*>& seen) {
  if (!seen.insert(&type).second) return true;
  std::set<std::string> names;
  for (const TypeInfo::Field& field : type.fields) {
    if (field.name.empty() || field.name.find_first_of(".[]") != std::string::npos) return false;
    if (!names.insert(field.name).second || !PlainNames(*field.type, seen)) return false;
  }
  return true;
}

// The stack prints an empty namespace URI as "nsu=;" and reads that text as none.
std::vector<std::pair<std::string, std::string>> Normalized(const PropertyMap& pairs) {
  std::vector<std::pair<std::string, std::string>> out = pairs.Pairs();
  for (auto& [key, text] : out) {
    if (const size_t at = text.find("nsu=;"); at != std::string::npos) text.erase(at, 5);
  }
  return out;
}

void CheckEncodesBack(const TypeInfo& type, const PropertyMap& decoded) {
  std::set<const TypeInfo*> seen;
  if (!PlainNames(type, seen)) return;
  std::vector<std::string> used;
  std::vector<UA_Byte> body;
  tessel::fnd::defs::Result error;
  if (!EncodeStructure(type, StructureKeys(decoded), "", used, body, error)) return;
  // Array elements without a field (an empty union, no optional field present) leave no
  // pair, so the elements after them are not counted; a write refuses such unused pairs.
  if (used.size() != decoded.Pairs().size()) return;
  PropertyMap again;
  const UA_ByteString encoded{body.size(), body.data()};
  const UA_StatusCode status = DecodeStructure(type, encoded, "", again);
  if (status != UA_STATUSCODE_GOOD || Normalized(again) != Normalized(decoded)) {
    std::fprintf(stderr, "decoded again: %s\n", UA_StatusCode_name(status));
    for (const auto& [key, text] : decoded.Pairs())
      std::fprintf(stderr, "  first  %s = %s\n", key.c_str(), text.c_str());
    for (const auto& [key, text] : again.Pairs()) std::fprintf(stderr, "  again  %s = %s\n", key.c_str(), text.c_str());
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  Definitions defs;
  const size_t count = input.Byte() % 4 + 1;
  for (size_t i = 0; i < count; ++i) {
    const std::string bytes = input.LongPart();
    const UA_ByteString encoded{bytes.size(), reinterpret_cast<UA_Byte*>(const_cast<char*>(bytes.data()))};
    UaVariant definition;
    UA_Variant_init(definition.get());
    if (UA_decodeBinary(&encoded, definition.get(), &UA_TYPES[UA_TYPES_VARIANT], nullptr) != UA_STATUSCODE_GOOD)
      UA_Variant_init(definition.get());
    defs.encoded.push_back(std::move(definition));
  }
  const TypeRef top = Resolve(defs, UA_NODEID_NUMERIC(1, 0), 1);
  if (top->kind != TypeInfo::Kind::Structure) return 0;
  const std::string bytes = input.Rest();
  const UA_ByteString body{bytes.size(), reinterpret_cast<UA_Byte*>(const_cast<char*>(bytes.data()))};
  PropertyMap decoded;
  if (DecodeStructure(*top, body, "", decoded) == UA_STATUSCODE_GOOD) CheckEncodesBack(*top, decoded);
  return 0;
}
