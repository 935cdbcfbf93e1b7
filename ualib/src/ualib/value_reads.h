// One Read request for the Value attribute of several nodes, shared by Read and by a
// browse that lists values.
#pragma once

#include <open62541/client.h>
#include <tessel/fnd/defs/comm_adapter.h>

#include <cstddef>
#include <vector>

#include "connection.h"
#include "convert.h"
#include "ua_types.h"

namespace velk::quarlink::internal {

class ValueReads {
 public:
  // Reads nodes[i] for every i of indices, in that order; the nodes must outlive Send.
  ValueReads(const std::vector<UaNodeId>& nodes, const std::vector<size_t>& indices);

  // Caller holds clientMutex; nothing is sent while the link is down.
  void Send(OpcuaConnection& conn);
  // The k-th node's outcome as a read of that node alone reports it: the service's
  // failure, a missing result, the value's own status, or a missing value.
  UA_StatusCode Status(size_t k) const;
  // The k-th node's value into out (Status(k) is Good); with Arrays::Typed it may
  // ask the server for the node's type, and returns the status refusing the item.
  UA_StatusCode ValueOf(size_t k, Arrays arrays, OpcuaConnection& conn, tessel::fnd::defs::DataValue& out) const;

 private:
  std::vector<UA_ReadValueId> items_;  // views of the caller's nodes
  UaOwned<UA_ReadResponse> response_;
  UA_StatusCode sent_ = UA_STATUSCODE_GOOD;
};

}  // namespace velk::quarlink::internal
