// Listing the children of one node: the Browse service and its continuation pages.
#pragma once

#include <open62541/client.h>
#include <tessel/fnd/defs/comm_adapter.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "session/session.h"
#include "values/ua_types.h"

namespace velk::quarlink::internal {

// Parents browsed per hold of the session lock; other operations on the session get
// their turn between two slices.
inline constexpr size_t kParentsPerSlice = 64;

// A node whose paging never ends (a server that answers every BrowseNext with a new
// continuation point) fails after this many pages; no real server comes near it.
inline constexpr size_t kMaxPagesPerNode = 10'000;

// Returned when the caller's stop check ended the paging of a node.
inline constexpr UA_StatusCode kPagingStopped = UA_STATUSCODE_BADREQUESTCANCELLEDBYCLIENT;

// One node whose children are wanted: the text its children get as `parent`, and
// where they go: a descriptor each, and beside it the child's id (so that a walk
// browses it further without parsing the address printed for it).
struct ParentToBrowse {
  const UA_NodeId* node;
  const std::string* text;
  std::vector<tessel::fnd::defs::NodeDescriptor>* out;
  std::vector<UaNodeId>* ids;
};

// Browses the nodes in one request and appends to each node's out (and ids) one
// descriptor (and id) per forward hierarchical reference, in the server's order and page after page; the
// further pages of a node are taken before the next node's. stop() is asked before
// every further page. Returns each node's status: the first failing status of its
// Browse or BrowseNext (its descriptors of the pages taken before stay in out, and a
// continuation point left open is released), or kPagingStopped for the node where
// stop() said so and every node after it. The session lock is held.
std::vector<UA_StatusCode> BrowseChildrenOf(const ClientLock& lock, const std::vector<ParentToBrowse>& parents,
                                            const std::function<bool()>& stop);

}  // namespace velk::quarlink::internal
