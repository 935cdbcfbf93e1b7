// The one place where stack status codes become host result codes, and where
// node address text becomes stack NodeIds.
#pragma once

#include <open62541/types.h>
#include <tessel/fnd/defs/comm_adapter.h>

#include <string>

namespace velk::quarlink::internal {

tessel::fnd::defs::Result StatusFromUa(UA_StatusCode code);

// True when text parsed; out then owns the NodeId. On false, out owns nothing.
bool ParseNodeId(const std::string& text, UA_NodeId& out);

}  // namespace velk::quarlink::internal
