// Listing the children of one node: the Browse service and its continuation pages.
#pragma once

#include <open62541/client.h>
#include <tessel/fnd/defs/comm_adapter.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "connection.h"

namespace velk::quarlink::internal {

// Parents browsed per hold of the session lock; other operations on the session get
// their turn between two slices.
inline constexpr size_t kParentsPerSlice = 64;

// A node whose paging never ends (a server that answers every BrowseNext with a new
// continuation point) fails after this many pages; no real server comes near it.
inline constexpr size_t kMaxPagesPerNode = 10'000;

// Returned when the caller's stop check ended the paging of a node.
inline constexpr UA_StatusCode kPagingStopped = UA_STATUSCODE_BADREQUESTCANCELLEDBYCLIENT;

// Appends one descriptor per forward hierarchical reference of node, in the server's
// order and page after page, each with `parent` as its parent text. stop() is asked
// before every further page. Returns the first failing status of the Browse or a
// BrowseNext (kPagingStopped when stop() said so); descriptors of the pages taken
// before that stay in out, and a continuation point left open is released. Caller
// holds the session's clientMutex.
UA_StatusCode BrowseChildren(OpcuaConnection& conn, const UA_NodeId& node, const std::string& parent,
                             std::vector<tessel::fnd::defs::NodeDescriptor>& out, const std::function<bool()>& stop);

}  // namespace velk::quarlink::internal
