// Listing the children of one node: the Browse service and its continuation pages.
#pragma once

#include <open62541/client.h>
#include <tessel/fnd/defs/comm_adapter.h>

#include <cstddef>
#include <string>
#include <vector>

namespace velk::quarlink::internal {

// Parents browsed per hold of the session lock; other operations on the session get
// their turn between two slices.
inline constexpr size_t kParentsPerSlice = 64;

// Appends one descriptor per forward hierarchical reference of node, in the server's
// order and page after page, each with `parent` as its parent text. Returns the first
// failing status of the Browse or a BrowseNext; descriptors of the pages taken before
// the failure stay in out. Caller holds the session's clientMutex.
UA_StatusCode BrowseChildren(UA_Client* client, const UA_NodeId& node, const std::string& parent,
                             std::vector<tessel::fnd::defs::NodeDescriptor>& out);

}  // namespace velk::quarlink::internal
