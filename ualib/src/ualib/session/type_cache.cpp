#include "session/type_cache.h"

#include <open62541/client_highlevel.h>

#include <memory>
#include <string_view>

#include "logging/log.h"
#include "session/await.h"
#include "session/link.h"

namespace velk::quarlink::internal {
namespace {

using tessel::fnd::defs::DataValue;
using tessel::fnd::defs::Result;
using tessel::fnd::defs::Value;

std::string TextOf(const UA_String& s) {
  if (s.length == 0 || s.data == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(s.data), s.length);
}

std::string KeyOf(const UA_NodeId& id) {
  UA_String printed = UA_STRING_NULL;
  std::string key = UA_NodeId_print(&id, &printed) == UA_STATUSCODE_GOOD ? TextOf(printed) : std::string();
  UA_String_clear(&printed);
  return key;
}

// Attributes of one node in one request; each result is empty where it failed.
std::vector<UaVariant> ReadAttributes(const ClientLock& lock, const UA_NodeId& node,
                                      std::initializer_list<UA_AttributeId> attributes) {
  std::vector<UA_ReadValueId> items(attributes.size());
  size_t k = 0;
  for (const UA_AttributeId attribute : attributes) {
    UA_ReadValueId_init(&items[k]);
    items[k].nodeId = node;  // a view: the request is never cleared
    items[k++].attributeId = attribute;
  }
  UA_ReadRequest request;
  UA_ReadRequest_init(&request);
  request.nodesToRead = items.data();
  request.nodesToReadSize = items.size();
  UaOwned<UA_ReadResponse> response;
  const UA_StatusCode sent = SendIfLinkUp(lock, [&] {
    return AwaitService(lock, &request, UA_TYPES[UA_TYPES_READREQUEST], response.get(),
                        UA_TYPES[UA_TYPES_READRESPONSE]);
  });
  std::vector<UaVariant> values(items.size());
  if (sent != UA_STATUSCODE_GOOD || response->resultsSize != items.size()) return values;
  for (size_t i = 0; i < items.size(); ++i) {
    UA_DataValue& result = response->results[i];
    if (result.hasValue && result.status == UA_STATUSCODE_GOOD) std::swap(*values[i], result.value);
  }
  return values;
}

template <typename T>
const T* ScalarOf(const UA_Variant& v, int uaType) {
  return UA_Variant_hasScalarType(&v, &UA_TYPES[uaType]) ? static_cast<const T*>(v.data) : nullptr;
}

// The value of a node's property, such as a data type's EnumStrings or a method's InputArguments.
UaVariant PropertyValue(const ClientLock& lock, const UA_NodeId& dataType, const char* property) {
  UA_RelativePathElement element;
  UA_RelativePathElement_init(&element);
  element.referenceTypeId = UA_NODEID_NUMERIC(0, UA_NS0ID_HASPROPERTY);
  element.targetName = UA_QUALIFIEDNAME(0, const_cast<char*>(property));
  UA_BrowsePath path;
  UA_BrowsePath_init(&path);
  path.startingNode = dataType;
  path.relativePath.elements = &element;
  path.relativePath.elementsSize = 1;
  UA_TranslateBrowsePathsToNodeIdsRequest request;
  UA_TranslateBrowsePathsToNodeIdsRequest_init(&request);
  request.browsePaths = &path;
  request.browsePathsSize = 1;
  UaOwned<UA_TranslateBrowsePathsToNodeIdsResponse> response;
  const UA_StatusCode sent = SendIfLinkUp(lock, [&] {
    return AwaitService(lock, &request, UA_TYPES[UA_TYPES_TRANSLATEBROWSEPATHSTONODEIDSREQUEST], response.get(),
                        UA_TYPES[UA_TYPES_TRANSLATEBROWSEPATHSTONODEIDSRESPONSE]);
  });
  if (sent != UA_STATUSCODE_GOOD || response->resultsSize != 1 || response->results[0].targetsSize == 0)
    return UaVariant();
  const UA_NodeId& target = response->results[0].targets[0].targetId.nodeId;
  return std::move(ReadAttributes(lock, target, {UA_ATTRIBUTEID_VALUE})[0]);
}

bool EnumNamesFromProperties(const ClientLock& lock, const UA_NodeId& dataType, TypeInfo& info) {
  UaVariant strings = PropertyValue(lock, dataType, "EnumStrings");
  if (strings->type == &UA_TYPES[UA_TYPES_LOCALIZEDTEXT] && !UA_Variant_isScalar(strings.get())) {
    const auto* texts = static_cast<const UA_LocalizedText*>(strings->data);
    for (size_t i = 0; i < strings->arrayLength; ++i) info.enumNames.emplace_back(i, TextOf(texts[i].text));
    return true;
  }
  UaVariant values = PropertyValue(lock, dataType, "EnumValues");
  if (values->type == &UA_TYPES[UA_TYPES_ENUMVALUETYPE] && !UA_Variant_isScalar(values.get())) {
    const auto* entries = static_cast<const UA_EnumValueType*>(values->data);
    for (size_t i = 0; i < values->arrayLength; ++i)
      info.enumNames.emplace_back(entries[i].value, TextOf(entries[i].displayName.text));
    return true;
  }
  return false;
}

void NoteUndecodable(const TypeInfo& info, std::string_view why) {
  UALIB_LOG(kDebug, "Data type '{}' is not decoded: {}", info.name, why);
}

}  // namespace

TypeCache& TypesOf(const ClientLock& lock) {
  if (!lock->types) lock->types = std::make_shared<TypeCache>();
  TypeCache& cache = *lock->types;
  if (!UA_NodeId_equal(cache.session_.get(), lock->sessionToken.get())) {
    cache.nodes_.clear();
    cache.types_.clear();
    cache.arguments_.clear();
    ++cache.generation_;
    UA_NodeId_clear(cache.session_.get());
    UA_NodeId_copy(lock->sessionToken.get(), cache.session_.get());
  }
  return cache;
}

template <typename Entry>
void TypeCache::Remember(std::map<std::string, Entry>& entries, const std::string& key,
                         std::type_identity_t<Entry> entry, const Lookup& lookup) {
  if (lookup.generation == generation_) entries[key] = std::move(entry);
}

TypeRef TypeCache::NodeType(const ClientLock& lock, const UA_NodeId& node) {
  const std::string key = KeyOf(node);
  if (const auto found = nodes_.find(key); found != nodes_.end()) return found->second;
  Lookup lookup = Begin();
  UaNodeId dataType;
  const UA_StatusCode status = SendIfLinkUp(lock, [&] {
    return AwaitAttribute(lock, node, UA_ATTRIBUTEID_DATATYPE, dataType.get(), UA_TYPES[UA_TYPES_NODEID]);
  });
  if (status != UA_STATUSCODE_GOOD) return nullptr;  // tried again next time
  TypeRef type = DataType(lock, *dataType, 1, lookup);
  Remember(nodes_, key, type, lookup);
  return type;
}

std::vector<TypeRef> TypeCache::ArgumentTypes(const ClientLock& lock, const UA_NodeId& method, const char* property) {
  const std::string key = KeyOf(method) + "/" + property;
  if (const auto found = arguments_.find(key); found != arguments_.end()) return found->second;
  Lookup lookup = Begin();
  std::vector<TypeRef> types;
  UaVariant arguments = PropertyValue(lock, method, property);
  if (arguments->type == &UA_TYPES[UA_TYPES_ARGUMENT] && !UA_Variant_isScalar(arguments.get())) {
    const auto* entries = static_cast<const UA_Argument*>(arguments->data);
    for (size_t i = 0; i < arguments->arrayLength; ++i) types.push_back(DataType(lock, entries[i].dataType, 1, lookup));
  }
  Remember(arguments_, key, types, lookup);
  return types;
}

TypeRef TypeCache::DataType(const ClientLock& lock, const UA_NodeId& dataType, int depth, Lookup& lookup) {
  const std::string key = KeyOf(dataType);
  if (const auto found = types_.find(key); found != types_.end()) return found->second;
  if (depth > kMaxTypeDepth || lookup.resolving.contains(key)) {
    auto tooDeep = std::make_shared<TypeInfo>();
    tooDeep->kind = TypeInfo::Kind::TooDeep;
    tooDeep->name = key;
    return tooDeep;
  }
  const UA_DataType* known = UA_findDataType(&dataType);
  if (known != nullptr && known->typeKind != UA_DATATYPEKIND_ENUM) {
    auto info = std::make_shared<TypeInfo>();
    info->kind = TypeInfo::Kind::Known;
    info->known = known;
    info->name = known->typeName;
    Remember(types_, key, info, lookup);
    return info;
  }
  TypeRef info;
  // Namespace 0 holds nothing the stack does not know but its enumerations and
  // abstract types; those have no definition worth asking for.
  if (dataType.namespaceIndex != 0 || known != nullptr) {
    lookup.resolving.insert(key);
    info = Definition(lock, dataType, depth, lookup);
    lookup.resolving.erase(key);
  } else {
    info = std::make_shared<TypeInfo>();
  }
  Remember(types_, key, info, lookup);
  return info;
}

TypeRef TypeCache::Definition(const ClientLock& lock, const UA_NodeId& dataType, int depth, Lookup& lookup) {
  auto info = std::make_shared<TypeInfo>();
  std::vector<UaVariant> attributes =
      ReadAttributes(lock, dataType, {UA_ATTRIBUTEID_BROWSENAME, UA_ATTRIBUTEID_DATATYPEDEFINITION});
  const auto* browseName = ScalarOf<UA_QualifiedName>(*attributes[0], UA_TYPES_QUALIFIEDNAME);
  info->name = browseName ? TextOf(browseName->name) : KeyOf(dataType);
  const UA_Variant& definition = *attributes[1];
  if (const auto* structure = ScalarOf<UA_StructureDefinition>(definition, UA_TYPES_STRUCTUREDEFINITION)) {
    info->kind = TypeInfo::Kind::Structure;
    info->structureType = structure->structureType;
    UA_NodeId_copy(&structure->defaultEncodingId, info->encodingId.get());
    std::string undecodable;  // the first field that keeps its values empty, logged once
    for (size_t i = 0; i < structure->fieldsSize; ++i) {
      const UA_StructureField& field = structure->fields[i];
      TypeInfo::Field entry{TextOf(field.name), DataType(lock, field.dataType, depth + 1, lookup), field.valueRank == 1,
                            field.isOptional};
      if (entry.type->kind == TypeInfo::Kind::TooDeep) info->kind = TypeInfo::Kind::TooDeep;
      // A matrix field has no text form; neither has a field of a type nothing decodes.
      if (field.valueRank > 1 || field.valueRank == 0 || field.valueRank < -1) {
        entry.type = std::make_shared<TypeInfo>();
        if (undecodable.empty()) undecodable = "field '" + entry.name + "' is not a scalar or a one-dimensional array";
      } else if (entry.type->kind == TypeInfo::Kind::Opaque && undecodable.empty()) {
        undecodable = "field '" + entry.name + "' has a data type without a decoding";
      }
      info->fields.push_back(std::move(entry));
    }
    if (!undecodable.empty() && info->kind != TypeInfo::Kind::TooDeep) NoteUndecodable(*info, undecodable);
    if (info->kind == TypeInfo::Kind::TooDeep)
      UALIB_LOG(kDebug, "Data type '{}' nests deeper than {} levels: its values are refused", info->name,
                kMaxTypeDepth);
    return info;
  }
  if (const auto* enumeration = ScalarOf<UA_EnumDefinition>(definition, UA_TYPES_ENUMDEFINITION)) {
    info->kind = TypeInfo::Kind::Enumeration;
    for (size_t i = 0; i < enumeration->fieldsSize; ++i)
      info->enumNames.emplace_back(enumeration->fields[i].value, TextOf(enumeration->fields[i].name));
    return info;
  }
  if (EnumNamesFromProperties(lock, dataType, *info)) {
    info->kind = TypeInfo::Kind::Enumeration;
    return info;
  }
  NoteUndecodable(*info, "the server gives no definition of it");
  return info;
}

UA_StatusCode ConvertTyped(const ClientLock& lock, const UA_NodeId& node, const UA_Variant& value, DataValue& out) {
  // Only an Int32 (maybe an enumeration) or an encoded structure needs the node's type.
  TypeRef type;
  if (value.type == &UA_TYPES[UA_TYPES_INT32] || value.type == &UA_TYPES[UA_TYPES_EXTENSIONOBJECT])
    type = TypesOf(lock).NodeType(lock, node);
  return TypedToHost(value, type.get(), out);
}

bool TypedForNode(const ClientLock& lock, const UA_NodeId& node, const Value& value, UA_Variant& out, Result& error) {
  const TypeRef type = TypesOf(lock).NodeType(lock, node);
  if (type) return HostToTyped(value, *type, out, error);
  // A node whose type cannot be read gets what the value alone says; the server judges.
  error = {tessel::fnd::defs::ResultCode::TypeMismatch, "value type not supported by current converter"};
  return HostToTyped(value, TypeInfo(), out, error);
}

}  // namespace velk::quarlink::internal
