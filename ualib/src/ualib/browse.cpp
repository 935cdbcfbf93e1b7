// Browse: the nodes below a start node, one level or the whole subtree breadth
// first, optionally with the value of every Variable. The session lock is held for
// a slice of parents at a time, so other operations interleave with a long browse.
#include "browse.h"

#include <open62541/client_highlevel.h>
#include <velk/quarlink/client.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "client_impl.h"
#include "convert.h"
#include "link.h"
#include "log.h"
#include "requests.h"
#include "status.h"
#include "ua_types.h"

namespace velk::quarlink {

using namespace tessel::fnd::defs;

namespace internal {
namespace {

// --- One parent's references as descriptors ---

std::string ToStdString(const UA_String& text) {
  if (text.length == 0 || text.data == nullptr) return {};
  return {reinterpret_cast<const char*>(text.data), text.length};
}

std::string PrintNodeId(const UA_NodeId& id) {
  UaOwned<UA_String> text;
  if (UA_NodeId_print(&id, text.get()) != UA_STATUSCODE_GOOD) return {};
  return ToStdString(*text);
}

const char* NodeClassName(UA_NodeClass nodeClass) {
  switch (nodeClass) {
    case UA_NODECLASS_OBJECT:
      return "Object";
    case UA_NODECLASS_VARIABLE:
      return "Variable";
    case UA_NODECLASS_METHOD:
      return "Method";
    case UA_NODECLASS_OBJECTTYPE:
      return "ObjectType";
    case UA_NODECLASS_VARIABLETYPE:
      return "VariableType";
    case UA_NODECLASS_REFERENCETYPE:
      return "ReferenceType";
    case UA_NODECLASS_DATATYPE:
      return "DataType";
    case UA_NODECLASS_VIEW:
      return "View";
    default:
      return "Unspecified";
  }
}

// Only instances have children worth listing; methods and types are leaves here.
bool IsExpandable(UA_NodeClass nodeClass) {
  return nodeClass == UA_NODECLASS_OBJECT || nodeClass == UA_NODECLASS_VARIABLE || nodeClass == UA_NODECLASS_VIEW;
}

NodeDescriptor Describe(const UA_ReferenceDescription& reference, const std::string& parent) {
  NodeDescriptor node;
  // The namespace URI and server index of the expanded id are not part of the address.
  node.address = PrintNodeId(reference.nodeId.nodeId);
  node.display_name = ToStdString(reference.displayName.text);
  if (!parent.empty()) node.parent = parent;
  node.expandable = IsExpandable(reference.nodeClass);
  node.properties.Set("type", NodeClassName(reference.nodeClass));
  std::string browseName = ToStdString(reference.browseName.name);
  if (!browseName.empty()) node.properties.Set("browse_name", std::move(browseName));
  return node;
}

void AppendDescriptors(const UA_BrowseResult& result, const std::string& parent, std::vector<NodeDescriptor>& out) {
  // Room for the whole page, growing geometrically: an exact reserve per page would
  // copy the batch again for every page of a node with many children.
  const size_t needed = out.size() + result.referencesSize;
  if (needed > out.capacity()) out.reserve(std::max(needed, 2 * out.capacity()));
  for (size_t i = 0; i < result.referencesSize; ++i) out.push_back(Describe(result.references[i], parent));
}

// --- Browse and BrowseNext ---

UaOwned<UA_BrowseResponse> BrowseFirstPage(UA_Client* client, const UA_NodeId& node) {
  UA_BrowseDescription description;
  UA_BrowseDescription_init(&description);
  description.nodeId = node;  // a view: the request is never cleared
  description.browseDirection = UA_BROWSEDIRECTION_FORWARD;
  description.referenceTypeId = UA_NODEID_NUMERIC(0, UA_NS0ID_HIERARCHICALREFERENCES);
  description.includeSubtypes = true;
  description.nodeClassMask = 0;
  description.resultMask = UA_BROWSERESULTMASK_ALL;
  UA_BrowseRequest request;
  UA_BrowseRequest_init(&request);
  request.requestedMaxReferencesPerNode = 0;  // the server's page size
  request.nodesToBrowse = &description;
  request.nodesToBrowseSize = 1;
  UaOwned<UA_BrowseResponse> response;
  __UA_Client_Service(client, &request, &UA_TYPES[UA_TYPES_BROWSEREQUEST], response.get(),
                      &UA_TYPES[UA_TYPES_BROWSERESPONSE]);
  return response;
}

UaOwned<UA_BrowseNextResponse> BrowseNextPage(UA_Client* client, UA_ByteString& continuationPoint, bool release) {
  UA_BrowseNextRequest request;
  UA_BrowseNextRequest_init(&request);
  request.releaseContinuationPoints = release;
  request.continuationPoints = &continuationPoint;  // a view, as above
  request.continuationPointsSize = 1;
  UaOwned<UA_BrowseNextResponse> response;
  __UA_Client_Service(client, &request, &UA_TYPES[UA_TYPES_BROWSENEXTREQUEST], response.get(),
                      &UA_TYPES[UA_TYPES_BROWSENEXTRESPONSE]);
  return response;
}

// The service status, then exactly one result, then that result's status.
template <typename Response>
UA_StatusCode SinglePageStatus(const Response& response) {
  if (response.responseHeader.serviceResult != UA_STATUSCODE_GOOD) return response.responseHeader.serviceResult;
  if (response.resultsSize != 1) return UA_STATUSCODE_BADINTERNALERROR;
  return response.results[0].statusCode;
}

UaOwned<UA_ByteString> TakeContinuationPoint(UA_BrowseResult& result) {
  return UaOwned<UA_ByteString>::Adopt(std::exchange(result.continuationPoint, UA_ByteString{0, nullptr}));
}

// The server keeps an abandoned continuation point until the session ends, and
// servers grant only a few per session: once they are used up, every later browse
// of a node with more than one page fails. Releasing costs one more round trip, so
// it is skipped when the link or the session is gone anyway.
void ReleaseContinuationPoint(OpcuaConnection& conn, UA_ByteString& continuationPoint, UA_StatusCode failure) {
  const ResultCode code = StatusFromUa(failure).code;
  if (code == ResultCode::NotConnected || code == ResultCode::Timeout || code == ResultCode::CommunicationError) return;
  SendIfLinkUp(conn, [&] {  // best effort; its answer changes nothing
    return BrowseNextPage(conn.client, continuationPoint, true)->responseHeader.serviceResult;
  });
}

// The next page, or the reason the paging of the node ends here.
UA_StatusCode NextPage(OpcuaConnection& conn, UaOwned<UA_ByteString>& continuationPoint, size_t pagesTaken,
                       const std::function<bool()>& stop, const std::string& parent,
                       UaOwned<UA_BrowseNextResponse>& page) {
  if (stop()) return kPagingStopped;
  if (pagesTaken >= kMaxPagesPerNode) {
    UALIB_LOG(kWarning, "Browse of '{}' stopped after {} pages: the server keeps sending continuation points", parent,
              pagesTaken);
    return UA_STATUSCODE_BADCONTINUATIONPOINTINVALID;
  }
  return SendIfLinkUp(conn, [&] {
    page = BrowseNextPage(conn.client, *continuationPoint, false);
    return SinglePageStatus(*page);
  });
}

}  // namespace

UA_StatusCode BrowseChildren(OpcuaConnection& conn, const UA_NodeId& node, const std::string& parent,
                             std::vector<NodeDescriptor>& out, const std::function<bool()>& stop) {
  UaOwned<UA_BrowseResponse> first;
  UA_StatusCode status = SendIfLinkUp(conn, [&] {
    first = BrowseFirstPage(conn.client, node);
    return SinglePageStatus(*first);
  });
  if (status != UA_STATUSCODE_GOOD) return status;
  AppendDescriptors(first->results[0], parent, out);
  UaOwned<UA_ByteString> continuationPoint = TakeContinuationPoint(first->results[0]);
  for (size_t pages = 1; continuationPoint->length > 0; ++pages) {
    UaOwned<UA_BrowseNextResponse> page;
    status = NextPage(conn, continuationPoint, pages, stop, parent, page);
    if (status != UA_STATUSCODE_GOOD) {
      ReleaseContinuationPoint(conn, *continuationPoint, status);
      return status;
    }
    AppendDescriptors(page->results[0], parent, out);
    continuationPoint = TakeContinuationPoint(page->results[0]);
  }
  return UA_STATUSCODE_GOOD;
}

namespace {

// --- The breadth-first traversal ---

// The nodes a queued node was reached through, as an immutable set that every node
// below it shares. Adding one copies only the path to it in a tree ordered by the
// ids' hashes (expected O(log n) nodes), so the cycle check stays cheap on very deep
// hierarchies, and freeing a set recurses only as deep as that tree, never along
// the chain of ancestors.
class AncestorSet {
 public:
  AncestorSet() = default;

  bool Contains(const UA_NodeId& id) const {
    const UA_UInt32 hash = UA_NodeId_hash(&id);
    for (const Node* at = root_.get(); at != nullptr; at = hash < at->hash ? at->left.get() : at->right.get()) {
      if (hash == at->hash && UA_NodeId_equal(at->id->get(), &id)) return true;
    }
    return false;
  }

  AncestorSet With(UaNodeId id) const {
    const UA_UInt32 hash = UA_NodeId_hash(id.get());
    return AncestorSet(Insert(root_, hash, std::make_shared<const UaNodeId>(std::move(id))));
  }

 private:
  struct Node;
  using Link = std::shared_ptr<const Node>;
  struct Node {
    UA_UInt32 hash;
    std::shared_ptr<const UaNodeId> id;
    Link left;
    Link right;
  };

  explicit AncestorSet(Link root) : root_(std::move(root)) {}

  static Link Insert(const Link& at, UA_UInt32 hash, std::shared_ptr<const UaNodeId> id) {
    if (!at) return std::make_shared<const Node>(Node{hash, std::move(id), nullptr, nullptr});
    if (hash < at->hash)
      return std::make_shared<const Node>(Node{at->hash, at->id, Insert(at->left, hash, id), at->right});
    return std::make_shared<const Node>(Node{at->hash, at->id, at->left, Insert(at->right, hash, std::move(id))});
  }

  Link root_;
};

struct PendingParent {
  std::string text;  // as its children's `parent`
  UaNodeId node;
  AncestorSet ancestors;  // the node itself included
};

struct ParentFailure {
  std::string parent;
  UA_StatusCode status;
};

std::optional<DataValue> ReadValue(OpcuaConnection& conn, const std::string& address, Arrays arrays) {
  UaNodeId node;
  if (!ParseNodeId(address, *node)) return std::nullopt;
  UaVariant value;
  const UA_StatusCode status = SendIfLinkUp(conn, [&] {
    return __UA_Client_readAttribute(conn.client, node.get(), UA_ATTRIBUTEID_VALUE, value.get(),
                                     &UA_TYPES[UA_TYPES_VARIANT]);
  });
  if (status != UA_STATUSCODE_GOOD) return std::nullopt;
  DataValue out;
  out.value = UaVariantToValue(*value, arrays);
  return out;
}

class BrowseTraversal {
 public:
  BrowseTraversal(const BrowseRequest& request, Arrays arrays, UaNodeId root, std::string rootText)
      : recursive_(request.recursive), includeValues_(request.include_values), arrays_(arrays) {
    AncestorSet ancestors = AncestorSet().With(root);
    queue_.push_back({std::move(rootText), std::move(root), std::move(ancestors)});
  }

  bool Done() const { return queue_.empty(); }
  size_t Pending() const { return queue_.size(); }

  // Browses the parent at the front of the queue and moves its children to the end
  // of nodes. A parent that fails contributes nothing.
  std::optional<ParentFailure> BrowseFront(OpcuaConnection& conn, std::vector<NodeDescriptor>& nodes,
                                           const std::function<bool()>& stop) {
    PendingParent parent = std::move(queue_.front());
    queue_.pop_front();
    std::vector<NodeDescriptor> batch;
    const UA_StatusCode status = BrowseChildren(conn, *parent.node, parent.text, batch, stop);
    if (status != UA_STATUSCODE_GOOD) return ParentFailure{std::move(parent.text), status};
    for (NodeDescriptor& node : batch) {
      const std::string* type = node.properties.Get("type");
      if (includeValues_ && type && *type == "Variable") node.value = ReadValue(conn, node.address, arrays_);
      if (recursive_ && node.expandable) Enqueue(node.address, parent.ancestors);
      nodes.push_back(std::move(node));
    }
    return std::nullopt;
  }

 private:
  void Enqueue(const std::string& address, const AncestorSet& ancestors) {
    UaNodeId node;
    if (!ParseNodeId(address, *node)) return;
    // On a server whose references form a cycle the subtree below a node that is
    // its own ancestor never ends: such a node is listed but not expanded again.
    if (ancestors.Contains(*node)) return;
    AncestorSet below = ancestors.With(node);
    queue_.push_back({address, std::move(node), std::move(below)});
  }

  const bool recursive_;
  const bool includeValues_;
  const Arrays arrays_;
  std::deque<PendingParent> queue_;
};

BrowseResult BrowseFailure(ResultCode code, std::string message) {
  BrowseResult result;
  result.code = code;
  result.message = std::move(message);
  return result;
}

// A failure stored earlier says more than the lost link that followed it.
void KeepFirstFailure(BrowseResult& result, ResultCode code, std::string message) {
  if (result.code != ResultCode::Ok) return;
  result.code = code;
  result.message = std::move(message);
}

}  // namespace
}  // namespace internal

BrowseResult Client::Browse(const BrowseRequest& request) {
  UALIB_TRACE();
  const bool haveStackClient = internal::RunOnSession(
      *impl, [] { return false; }, [](internal::ClientLock&) { return true; });
  // Held across the slices, so a Disconnect of this Client meanwhile cannot free it
  // under the next slice; the attachment flag tells the browse to end then.
  const std::shared_ptr<OpcuaConnection> session = impl->conn;
  const std::shared_ptr<const std::atomic<bool>> attached = impl->attachment;
  if (!haveStackClient || !session) {
    UALIB_LOG(internal::kWarning, "Browse rejected: not connected");
    return internal::BrowseFailure(ResultCode::NotConnected, "not connected");
  }
  if (internal::IsCancelled(request.options)) {
    UALIB_LOG(internal::kDebug, "Browse cancelled before start");
    return internal::BrowseFailure(ResultCode::Cancelled, "cancelled before start");
  }
  UALIB_LOG(internal::kDebug, "Browse: root={} recursive={} include_values={}",
            request.root ? *request.root : std::string("(default)"), request.recursive, request.include_values);

  internal::UaNodeId root;
  std::string rootText = request.root.value_or(std::string());
  if (rootText.empty()) {
    rootText = "ns=0;i=85";
    *root = UA_NODEID_NUMERIC(0, UA_NS0ID_OBJECTSFOLDER);
  } else if (!internal::ParseNodeId(rootText, *root)) {
    return internal::BrowseFailure(ResultCode::InvalidArgument, "could not parse root NodeId");
  }

  const std::function<bool()> stop = [&] { return internal::IsCancelled(request.options) || !attached->load(); };
  internal::BrowseTraversal traversal(request, impl->arrays, std::move(root), std::move(rootText));
  BrowseResult result;
  // A node whose paging was stopped is dropped; the checks below then end the browse.
  while (!traversal.Done() || stop()) {
    if (!attached->load()) {
      internal::KeepFirstFailure(result, ResultCode::NotConnected, "connection lost during browse");
      return result;
    }
    if (internal::IsCancelled(request.options)) {
      UALIB_LOG(internal::kDebug, "Browse cancelled mid-traversal ({} nodes already discovered, {} parents in queue)",
                result.nodes.size(), traversal.Pending());
      result.code = ResultCode::Cancelled;
      result.message = "cancelled mid-traversal";
      return result;
    }
    internal::ClientLock lock(*session);
    if (!lock.client()) {
      internal::KeepFirstFailure(result, ResultCode::NotConnected, "connection lost during browse");
      return result;
    }
    for (size_t browsed = 0; browsed < internal::kParentsPerSlice && !traversal.Done() && attached->load(); ++browsed) {
      auto failure = traversal.BrowseFront(lock.connection(), result.nodes, stop);
      if (!failure) continue;
      if (failure->status == internal::kPagingStopped) break;  // the checks above say why
      Result mapped = internal::StatusFromUa(failure->status);
      UALIB_LOG(internal::kDebug, "Browse children of '{}' failed: {}", failure->parent, mapped.message);
      internal::KeepFirstFailure(result, mapped.code, std::move(mapped.message));
    }
  }
  return result;
}

}  // namespace velk::quarlink
