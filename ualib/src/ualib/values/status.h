// The one place where stack status codes become host result codes, and where
// node address text becomes stack NodeIds.
#pragma once

#include <open62541/types.h>
#include <tessel/fnd/defs/comm_adapter.h>

#include <optional>
#include <string>

namespace velk::quarlink::internal {

tessel::fnd::defs::Result StatusFromUa(UA_StatusCode code);

// True when text parsed; out then owns the NodeId. On false, out owns nothing.
bool ParseNodeId(const std::string& text, UA_NodeId& out);

// The object a method is called on when the caller names none: the method's text up
// to its last '.', provided that dot follows an "s=" (so "ns=3;s=Line.Pump.Start" is
// called on "ns=3;s=Line.Pump"); nothing otherwise.
std::optional<std::string> MethodObjectText(const std::string& method);

}  // namespace velk::quarlink::internal
