// The data types of a session's nodes, as "typed_values" needs them: read from the
// server once per node and data type, kept until the session is replaced.
//
// The session lock is released while a request waits for its answer, so other
// threads use the cache in between: each lookup keeps what it is resolving to
// itself, and stores nothing once the cache was emptied for a new session.
#pragma once

#include <open62541/types.h>
#include <tessel/fnd/defs/comm_adapter.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "session/session.h"
#include "values/typed_values.h"
#include "values/ua_types.h"

namespace velk::quarlink::internal {

class TypeCache {
 public:
  // The type of the node's value; null when the node's data type could not be read.
  // Caller holds clientMutex; the reads go to the server only while the link is up.
  TypeRef NodeType(const ClientLock& lock, const UA_NodeId& node);
  // The types of a method's arguments, property "InputArguments" or
  // "OutputArguments", in order; empty when it declares none.
  std::vector<TypeRef> ArgumentTypes(const ClientLock& lock, const UA_NodeId& method, const char* property);

 private:
  friend TypeCache& TypesOf(const ClientLock& lock);

  struct Lookup {
    uint64_t generation;              // of the cache when the lookup began
    std::set<std::string> resolving;  // a type that contains itself is refused, not followed
  };
  Lookup Begin() const { return {generation_, {}}; }
  template <typename Entry>
  void Remember(std::map<std::string, Entry>& entries, const std::string& key, std::type_identity_t<Entry> entry,
                const Lookup& lookup);

  TypeRef DataType(const ClientLock& lock, const UA_NodeId& dataType, int depth, Lookup& lookup);
  TypeRef Definition(const ClientLock& lock, const UA_NodeId& dataType, int depth, Lookup& lookup);

  std::map<std::string, TypeRef> nodes_;
  std::map<std::string, TypeRef> types_;
  std::map<std::string, std::vector<TypeRef>> arguments_;
  UaNodeId session_;         // the session the entries belong to
  uint64_t generation_ = 0;  // counts the times the entries were dropped
};

// The session's cache, emptied when the server's session token changed. Caller holds clientMutex.
TypeCache& TypesOf(const ClientLock& lock);

// A value read (or browsed) from node, converted with the node's type where the
// value alone does not tell it (enumerations, encoded structures). Returns Good or
// the status that refuses the item. Caller holds clientMutex.
UA_StatusCode ConvertTyped(const ClientLock& lock, const UA_NodeId& node, const UA_Variant& value,
                           tessel::fnd::defs::DataValue& out);

// The variant to write to node, by the node's type; false with error set when the
// value cannot be sent. Caller holds clientMutex.
bool TypedForNode(const ClientLock& lock, const UA_NodeId& node, const tessel::fnd::defs::Value& value, UA_Variant& out,
                  tessel::fnd::defs::Result& error);

}  // namespace velk::quarlink::internal
