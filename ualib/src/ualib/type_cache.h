// The data types of a session's nodes, as "typed_values" needs them: read from the
// server once per node and data type, kept until the session is replaced.
#pragma once

#include <open62541/types.h>
#include <tessel/fnd/defs/comm_adapter.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "connection.h"
#include "typed_values.h"
#include "ua_types.h"

namespace velk::quarlink::internal {

class TypeCache {
 public:
  // The type of the node's value; null when the node's data type could not be read.
  // Caller holds clientMutex; the reads go to the server only while the link is up.
  TypeRef NodeType(OpcuaConnection& conn, const UA_NodeId& node);
  // The types of a method's arguments, property "InputArguments" or
  // "OutputArguments", in order; empty when it declares none.
  std::vector<TypeRef> ArgumentTypes(OpcuaConnection& conn, const UA_NodeId& method, const char* property);

 private:
  friend TypeCache& TypesOf(OpcuaConnection& conn);

  TypeRef DataType(OpcuaConnection& conn, const UA_NodeId& dataType, int depth);
  TypeRef Definition(OpcuaConnection& conn, const UA_NodeId& dataType, int depth);

  std::map<std::string, TypeRef> nodes_;
  std::map<std::string, TypeRef> types_;
  std::map<std::string, std::vector<TypeRef>> arguments_;
  std::set<std::string> resolving_;  // a type that contains itself is refused, not followed
  UaNodeId session_;                 // the session the entries belong to
};

// The session's cache, emptied when the server's session token changed. Caller holds clientMutex.
TypeCache& TypesOf(OpcuaConnection& conn);

// A value read (or browsed) from node, converted with the node's type where the
// value alone does not tell it (enumerations, encoded structures). Returns Good or
// the status that refuses the item. Caller holds clientMutex.
UA_StatusCode ConvertTyped(OpcuaConnection& conn, const UA_NodeId& node, const UA_Variant& value,
                           tessel::fnd::defs::DataValue& out);

// The variant to write to node, by the node's type; false with error set when the
// value cannot be sent. Caller holds clientMutex.
bool TypedForNode(OpcuaConnection& conn, const UA_NodeId& node, const tessel::fnd::defs::Value& value, UA_Variant& out,
                  tessel::fnd::defs::Result& error);

}  // namespace velk::quarlink::internal
