// Browse: the nodes below a start node, one level or the whole subtree breadth
// first, optionally with the value of every Variable. The session lock is held for
// a slice of parents at a time, so other operations interleave with a long browse.
#include "browse.h"

#include <open62541/client_highlevel.h>
#include <velk/quarlink/client.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <optional>
#include <utility>

#include "client_impl.h"
#include "convert.h"
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
// it is skipped when the failure says the link or the session is gone anyway.
void ReleaseAfterFailure(UA_Client* client, UA_ByteString& continuationPoint, UA_StatusCode failure) {
  const ResultCode code = StatusFromUa(failure).code;
  if (code == ResultCode::NotConnected || code == ResultCode::Timeout || code == ResultCode::CommunicationError) return;
  BrowseNextPage(client, continuationPoint, true);  // best effort; its answer changes nothing
}

}  // namespace

UA_StatusCode BrowseChildren(UA_Client* client, const UA_NodeId& node, const std::string& parent,
                             std::vector<NodeDescriptor>& out) {
  UaOwned<UA_BrowseResponse> first = BrowseFirstPage(client, node);
  UA_StatusCode status = SinglePageStatus(*first);
  if (status != UA_STATUSCODE_GOOD) return status;
  AppendDescriptors(first->results[0], parent, out);
  UaOwned<UA_ByteString> continuationPoint = TakeContinuationPoint(first->results[0]);
  while (continuationPoint->length > 0) {
    UaOwned<UA_BrowseNextResponse> page = BrowseNextPage(client, *continuationPoint, false);
    status = SinglePageStatus(*page);
    if (status != UA_STATUSCODE_GOOD) {
      ReleaseAfterFailure(client, *continuationPoint, status);
      return status;
    }
    AppendDescriptors(page->results[0], parent, out);
    continuationPoint = TakeContinuationPoint(page->results[0]);
  }
  return UA_STATUSCODE_GOOD;
}

namespace {

// --- The breadth-first traversal ---

// A node to browse and the nodes it was reached through, shared by all entries
// below it.
struct Lineage {
  UaNodeId node;
  std::shared_ptr<const Lineage> parent;
};

bool OnLineage(const Lineage* lineage, const UA_NodeId& id) {
  for (; lineage != nullptr; lineage = lineage->parent.get()) {
    if (UA_NodeId_equal(lineage->node.get(), &id)) return true;
  }
  return false;
}

struct PendingParent {
  std::string text;  // as its children's `parent`
  std::shared_ptr<const Lineage> lineage;
};

struct ParentFailure {
  std::string parent;
  Result status;
};

std::optional<DataValue> ReadValue(UA_Client* client, const std::string& address) {
  UaNodeId node;
  if (!ParseNodeId(address, *node)) return std::nullopt;
  UaVariant value;
  if (__UA_Client_readAttribute(client, node.get(), UA_ATTRIBUTEID_VALUE, value.get(), &UA_TYPES[UA_TYPES_VARIANT]) !=
      UA_STATUSCODE_GOOD)
    return std::nullopt;
  DataValue out;
  out.value = UaVariantToValue(*value);
  return out;
}

class BrowseTraversal {
 public:
  BrowseTraversal(const BrowseRequest& request, UaNodeId root, std::string rootText)
      : recursive_(request.recursive), includeValues_(request.include_values) {
    queue_.push_back({std::move(rootText), std::make_shared<const Lineage>(Lineage{std::move(root), nullptr})});
  }

  bool Done() const { return queue_.empty(); }
  size_t Pending() const { return queue_.size(); }

  // Browses the parent at the front of the queue and moves its children to the end
  // of nodes. A parent that fails contributes nothing.
  std::optional<ParentFailure> BrowseFront(UA_Client* client, std::vector<NodeDescriptor>& nodes) {
    PendingParent parent = std::move(queue_.front());
    queue_.pop_front();
    std::vector<NodeDescriptor> batch;
    const UA_StatusCode status = BrowseChildren(client, *parent.lineage->node, parent.text, batch);
    if (status != UA_STATUSCODE_GOOD) return ParentFailure{std::move(parent.text), StatusFromUa(status)};
    for (NodeDescriptor& node : batch) {
      const std::string* type = node.properties.Get("type");
      if (includeValues_ && type && *type == "Variable") node.value = ReadValue(client, node.address);
      if (recursive_ && node.expandable) Enqueue(node.address, parent.lineage);
      nodes.push_back(std::move(node));
    }
    return std::nullopt;
  }

 private:
  void Enqueue(const std::string& address, const std::shared_ptr<const Lineage>& ancestors) {
    UaNodeId node;
    if (!ParseNodeId(address, *node)) return;
    // On a server whose references form a cycle the subtree below a node that is
    // its own ancestor never ends: such a node is listed but not expanded again.
    if (OnLineage(ancestors.get(), *node)) return;
    queue_.push_back({address, std::make_shared<const Lineage>(Lineage{std::move(node), ancestors})});
  }

  const bool recursive_;
  const bool includeValues_;
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
  // Held across the slices, so a Disconnect of this Client meanwhile cannot free it.
  const std::shared_ptr<OpcuaConnection> session = impl->conn;
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

  internal::BrowseTraversal traversal(request, std::move(root), std::move(rootText));
  BrowseResult result;
  while (!traversal.Done()) {
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
    for (size_t browsed = 0; browsed < internal::kParentsPerSlice && !traversal.Done(); ++browsed) {
      if (auto failure = traversal.BrowseFront(lock.client(), result.nodes)) {
        UALIB_LOG(internal::kDebug, "Browse children of '{}' failed: {}", failure->parent, failure->status.message);
        internal::KeepFirstFailure(result, failure->status.code, std::move(failure->status.message));
      }
    }
  }
  return result;
}

}  // namespace velk::quarlink
