// One Read request for an attribute (by default the Value) of several nodes, shared
// by Read and by a browse that lists values.
#pragma once

#include <open62541/client.h>
#include <tessel/fnd/defs/comm_adapter.h>

#include <cstddef>
#include <vector>

#include "session/session.h"
#include "values/attributes.h"
#include "values/convert.h"
#include "values/ua_types.h"

namespace velk::quarlink::internal {

class ValueReads {
 public:
  // Reads *nodes[i] for every i of indices, in that order; the nodes must outlive
  // Send. targets name the attribute of each node and the time stamps to send with it.
  template <typename Nodes>
  ValueReads(const Nodes& nodes, const std::vector<size_t>& indices, const ReadTargets& targets = {})
      : timestamps_(targets.timestamps) {
    items_.resize(indices.size());
    for (size_t k = 0; k < indices.size(); ++k) Target(k, *nodes[indices[k]], targets, indices[k]);
  }

  // Nothing is sent while the link is down.
  void Send(const ClientLock& lock);
  // The k-th node's outcome as a read of that node alone reports it: the service's
  // failure, a missing result, the value's own status, or a missing value.
  UA_StatusCode Status(size_t k) const;
  // The outcome of the request as a whole.
  UA_StatusCode Sent() const { return sent_; }
  // The k-th node's value into out (Status(k) is Good); with Arrays::Typed it may
  // ask the server for the node's type, and returns the status refusing the item.
  // An attribute other than the Value converts by its own type, as Arrays::Typed
  // does, whatever arrays says. Adds the time stamps asked for.
  UA_StatusCode ValueOf(size_t k, Arrays arrays, const ClientLock& lock, tessel::fnd::defs::DataValue& out) const;

 private:
  void Target(size_t k, const UA_NodeId& node, const ReadTargets& targets, size_t index);

  std::vector<UA_ReadValueId> items_;  // views of the caller's nodes
  UaOwned<UA_ReadResponse> response_;
  UA_StatusCode sent_ = UA_STATUSCODE_GOOD;
  UA_TimestampsToReturn timestamps_;
};

}  // namespace velk::quarlink::internal
