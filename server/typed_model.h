// Nodes of the types beyond the twelve scalars: a Guid, a StatusCode, an
// enumeration and structures of the server's own data types (a nested structure,
// an optional field, an array field, an array of structures) and a method that
// takes and returns one. All below the "Typed" folder of the Objects folder.
#pragma once

#include <open62541/server.h>

namespace quarlink_demo {

// Registers the data types with the server's configuration and adds the nodes.
// Throws std::runtime_error on failure.
void AddTypedModel(UA_Server* server);

}  // namespace quarlink_demo
