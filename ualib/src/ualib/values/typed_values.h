// Values beyond the twelve scalars, for a Client with "typed_values": the other
// built-in types, enumerations and structures, with the properties that tell them
// apart ("data_type", "locale", "status_name", "enum_name").
#pragma once

#include <open62541/types.h>
#include <tessel/fnd/defs/comm_adapter.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "values/convert.h"
#include "values/ua_types.h"

namespace velk::quarlink::internal {

// A data type as far as the conversion needs it. Built once per data type and
// session (see type_cache.h); never changed afterwards.
struct TypeInfo {
  enum class Kind {
    Opaque,       // the variant's own type decides (built-ins, unknown or undecodable types)
    Known,        // the stack has a description of its own (namespace 0)
    Enumeration,  // Int32 on the wire, named by enumNames
    Structure,    // decoded field by field from its definition
    TooDeep,      // nests deeper than kMaxTypeDepth: its values are refused
  };
  struct Field {
    std::string name;
    std::shared_ptr<const TypeInfo> type;
    bool array = false;
    bool optional = false;
  };

  Kind kind = Kind::Opaque;
  std::string name;                                        // the browse name ("data_type")
  const UA_DataType* known = nullptr;                      // Kind::Known
  std::vector<std::pair<int64_t, std::string>> enumNames;  // Kind::Enumeration
  UA_StructureType structureType = UA_STRUCTURETYPE_STRUCTURE;
  std::vector<Field> fields;      // Kind::Structure, in the definition's order
  UaOwned<UA_NodeId> encodingId;  // Kind::Structure: the binary encoding sent with a write
};
using TypeRef = std::shared_ptr<const TypeInfo>;

inline constexpr int kMaxTypeDepth = 16;
// A structure value decodes to at most this many fields and array elements. The
// host's property map finds a key by scanning every pair, so a structure holding
// an array of a million elements would take hours to decode; this many take well
// under a second, and no plant structure comes near it.
inline constexpr size_t kMaxStructurePairs = 20'000;

// A received value: out.value and the properties that go with it. nodeType is the
// node's data type when it is known (enumerations and encoded structures need it).
// Returns Good, or the status the item is refused with (a hostile body).
UA_StatusCode TypedToHost(const UA_Variant& v, const TypeInfo* nodeType, tessel::fnd::defs::DataValue& out);

// A monitored item's notification as its handler sees it: a status but Good drops the
// value, otherwise the value converted as the item's client converts (type is the
// node's data type with Arrays::Typed), with the source time stamp when one came.
tessel::fnd::defs::DataValue NotificationValue(const UA_DataValue& value, Arrays arrays, const TypeInfo* type);

// A value to send to a node of the given type, into out (passed in zeroed). On
// failure error holds the code and the message naming what could not be sent.
bool HostToTyped(const tessel::fnd::defs::Value& value, const TypeInfo& nodeType, UA_Variant& out,
                 tessel::fnd::defs::Result& error);

// The text form of one scalar of a stack type (numbers exactly, DateTime as ISO 8601
// UTC, ByteString as hex, ids in their standard forms); nothing for types without one.
std::optional<std::string> ScalarToText(const void* p, const UA_DataType* type);
// Parses that text form into out, an initialised scalar of type; false when it does not parse.
bool TextToScalar(std::string_view text, const UA_DataType* type, void* out);

// Stack time to ns since the Unix epoch and back (whole 100 ns ticks).
int64_t DateTimeToUnixNanos(UA_DateTime ticks);
UA_DateTime UnixNanosToDateTime(int64_t nanos);

// Field keys: "outer.inner" for a nested field (just the name at the top), "field[i]" for an element.
std::string FieldKey(const std::string& key, std::string_view name);
std::string ElementKey(const std::string& key, size_t i);

// A value the stack decoded (a scalar, or a structure it knows) as text pairs under
// key; false when some part of it has no text form.
bool KnownToText(const void* p, const UA_DataType* type, const std::string& key, tessel::fnd::defs::PropertyMap& out);

// An enumeration's value named by its text or given as a number.
bool EnumerationFromText(const TypeInfo& type, std::string_view text, UA_Int32& out);

// A structure body decoded by the type's definition into text pairs under key.
// Limits exceeded (size, nesting) give BadEncodingLimitsExceeded; a body that does
// not match, or a field type without a decoding, another bad status.
UA_StatusCode DecodeStructure(const TypeInfo& type, const UA_ByteString& body, const std::string& key,
                              tessel::fnd::defs::PropertyMap& out);
// The keys of a structure's text pairs, sorted once so that a write looks each field
// up by binary search instead of scanning every pair for every field. Refers to the
// pairs, which must outlive it unchanged.
class StructureKeys {
 public:
  explicit StructureKeys(const tessel::fnd::defs::PropertyMap& pairs);
  // The text of the first pair stored under exactly key, or null.
  const std::string* Text(std::string_view key) const;
  // True when some key starts with prefix.
  bool AnyStartsWith(std::string_view prefix) const;
  // True when key itself or a field or element below it ("key.x", "key[0]") is given.
  bool Present(const std::string& key) const;

 private:
  using Pair = std::pair<std::string, std::string>;
  const Pair* FirstNotBelow(std::string_view key) const;

  const std::vector<Pair>& pairs_;
  std::vector<size_t> sorted_;  // indices into pairs_, by key, equal keys in pair order
};

// The body of one structure from the text pairs under key; every pair consumed is
// added to usedKeys. A missing field or a text that does not parse fails, naming it.
bool EncodeStructure(const TypeInfo& type, const StructureKeys& in, const std::string& key,
                     std::vector<std::string>& usedKeys, std::vector<UA_Byte>& out, tessel::fnd::defs::Result& error);

}  // namespace velk::quarlink::internal
