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
// The same through the stack's general parser alone, for every form: what ParseNodeId's
// shortcut for the common forms must agree with.
bool ParseNodeIdWithStack(const std::string& text, UA_NodeId& out);

// A NodeId read from an address that outlives it, for the items of one request: the
// string identifier of the common forms points into the address instead of being
// copied (a batch of a thousand items would make a thousand allocations); any other
// form is owned, as ParseNodeId leaves it. Null until Parse succeeds.
class AddressNodeId {
 public:
  AddressNodeId() = default;
  ~AddressNodeId();
  AddressNodeId(const AddressNodeId&) = delete;
  AddressNodeId& operator=(const AddressNodeId&) = delete;

  // Accepts and refuses as ParseNodeId does; address must outlive this object.
  bool Parse(const std::string& address);
  const UA_NodeId& operator*() const { return id_; }
  const UA_NodeId* get() const { return &id_; }

 private:
  UA_NodeId id_ = UA_NODEID_NULL;
  bool owned_ = false;
};

// The object a method is called on when the caller names none: the method's text up
// to its last '.', provided that dot follows an "s=" (so "ns=3;s=Line.Pump.Start" is
// called on "ns=3;s=Line.Pump"); nothing otherwise.
std::optional<std::string> MethodObjectText(const std::string& method);

}  // namespace velk::quarlink::internal
