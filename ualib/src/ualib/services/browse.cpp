// Browse: the nodes below a start node, one level or the whole subtree breadth
// first, optionally with the value of every Variable. The session lock is taken for
// a slice of parents at a time and released while each request waits for the
// server, so other operations interleave with a long browse.
#include "services/browse.h"

#include <open62541/client_highlevel.h>
#include <velk/quarlink/client.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "logging/log.h"
#include "services/requests.h"
#include "services/value_reads.h"
#include "session/await.h"
#include "session/batching.h"
#include "session/client_impl.h"
#include "session/link.h"
#include "values/convert.h"
#include "values/status.h"
#include "values/ua_types.h"

namespace velk::quarlink {

using namespace tessel::fnd::defs;

namespace internal {
namespace {

// --- One parent's references as descriptors ---

std::string ToStdString(const UA_String& text) {
  if (text.length == 0 || text.data == nullptr) return {};
  return {reinterpret_cast<const char*>(text.data), text.length};
}

// As UA_NodeId_print prints it; numeric and string ids, nearly every server's, are
// written straight into the address instead of through a stack string.
std::string PrintNodeId(const UA_NodeId& id) {
  if (id.identifierType == UA_NODEIDTYPE_NUMERIC || id.identifierType == UA_NODEIDTYPE_STRING) {
    std::string address;
    if (id.namespaceIndex != 0) address.append("ns=").append(std::to_string(id.namespaceIndex)).append(";");
    if (id.identifierType == UA_NODEIDTYPE_NUMERIC)
      return address.append("i=").append(std::to_string(id.identifier.numeric));
    return address.append("s=").append(ToStdString(id.identifier.string));
  }
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
  // Copied from a map that has both keys already, so that one allocation holds them
  // instead of the map growing pair by pair.
  static const PropertyMap kBothKeys = [] {
    PropertyMap keys;
    keys.Set("type", {});
    keys.Set("browse_name", {});
    return keys;
  }();
  std::string browseName = ToStdString(reference.browseName.name);
  if (!browseName.empty()) {
    node.properties = kBothKeys;
    node.properties.Set("browse_name", std::move(browseName));
  }
  node.properties.Set("type", NodeClassName(reference.nodeClass));
  return node;
}

// Room for the whole page, growing geometrically: an exact reserve per page would
// copy the batch again for every page of a node with many children.
template <typename T>
void MakeRoom(std::vector<T>& out, size_t more) {
  const size_t needed = out.size() + more;
  if (needed > out.capacity()) out.reserve(std::max(needed, 2 * out.capacity()));
}

// The children's ids are taken out of the page rather than copied: the page is
// released right after.
void AppendDescriptors(UA_BrowseResult& result, const ParentToBrowse& parent) {
  MakeRoom(*parent.out, result.referencesSize);
  MakeRoom(*parent.ids, result.referencesSize);
  for (size_t i = 0; i < result.referencesSize; ++i) {
    UA_ReferenceDescription& reference = result.references[i];
    parent.out->push_back(Describe(reference, *parent.text));
    parent.ids->push_back(UaNodeId::Adopt(std::exchange(reference.nodeId.nodeId, UA_NODEID_NULL)));
  }
}

// --- Browse and BrowseNext ---

// The first page of each node, all in one request.
UaOwned<UA_BrowseResponse> BrowseFirstPages(const ClientLock& lock, const std::vector<const UA_NodeId*>& nodes) {
  std::vector<UA_BrowseDescription> descriptions(nodes.size());
  for (size_t k = 0; k < nodes.size(); ++k) {
    UA_BrowseDescription& description = descriptions[k];
    UA_BrowseDescription_init(&description);
    description.nodeId = *nodes[k];  // a view: the request is never cleared
    description.browseDirection = UA_BROWSEDIRECTION_FORWARD;
    description.referenceTypeId = UA_NODEID_NUMERIC(0, UA_NS0ID_HIERARCHICALREFERENCES);
    description.includeSubtypes = true;
    description.nodeClassMask = 0;
    description.resultMask = UA_BROWSERESULTMASK_ALL;
  }
  UA_BrowseRequest request;
  UA_BrowseRequest_init(&request);
  request.requestedMaxReferencesPerNode = 0;  // the server's page size
  request.nodesToBrowse = descriptions.data();
  request.nodesToBrowseSize = descriptions.size();
  UaOwned<UA_BrowseResponse> response;
  AwaitService(lock, &request, UA_TYPES[UA_TYPES_BROWSEREQUEST], response.get(), UA_TYPES[UA_TYPES_BROWSERESPONSE]);
  return response;
}

UaOwned<UA_BrowseNextResponse> BrowseNextPage(const ClientLock& lock, UA_ByteString* continuationPoints, size_t count,
                                              bool release) {
  UA_BrowseNextRequest request;
  UA_BrowseNextRequest_init(&request);
  request.releaseContinuationPoints = release;
  request.continuationPoints = continuationPoints;  // a view, as above
  request.continuationPointsSize = count;
  UaOwned<UA_BrowseNextResponse> response;
  AwaitService(lock, &request, UA_TYPES[UA_TYPES_BROWSENEXTREQUEST], response.get(),
               UA_TYPES[UA_TYPES_BROWSENEXTRESPONSE]);
  return response;
}

// The service status, then one result per node asked for, then the k-th result's status.
template <typename Response>
UA_StatusCode PageStatus(const Response& response, size_t k = 0, size_t count = 1) {
  return ItemStatus(response.responseHeader.serviceResult, response.resultsSize, count, k,
                    UA_STATUSCODE_BADINTERNALERROR, [&](size_t i) { return response.results[i].statusCode; });
}

UaOwned<UA_ByteString> TakeContinuationPoint(UA_BrowseResult& result) {
  return UaOwned<UA_ByteString>::Adopt(std::exchange(result.continuationPoint, UA_ByteString{0, nullptr}));
}

// The server keeps an abandoned continuation point until the session ends, and
// servers grant only a few per session: once they are used up, every later browse
// of a node with more than one page fails. Releasing costs one more round trip, so
// it is skipped when the link or the session is gone anyway.
void ReleaseContinuationPoint(const ClientLock& lock, UA_ByteString& continuationPoint, UA_StatusCode failure) {
  const ResultCode code = StatusFromUa(failure).code;
  if (code == ResultCode::NotConnected || code == ResultCode::Timeout || code == ResultCode::CommunicationError) return;
  SendIfLinkUp(lock, [&] {  // best effort; its answer changes nothing
    return BrowseNextPage(lock, &continuationPoint, 1, true)->responseHeader.serviceResult;
  });
}

// The next page, or the reason the paging of the node ends here.
UA_StatusCode NextPage(const ClientLock& lock, UaOwned<UA_ByteString>& continuationPoint, size_t pagesTaken,
                       const std::function<bool()>& stop, const std::string& parent,
                       UaOwned<UA_BrowseNextResponse>& page) {
  if (stop()) return kPagingStopped;
  if (pagesTaken >= kMaxPagesPerNode) {
    UALIB_LOG(kWarning, "Browse of '{}' stopped after {} pages: the server keeps sending continuation points", parent,
              pagesTaken);
    return UA_STATUSCODE_BADCONTINUATIONPOINTINVALID;
  }
  return SendIfLinkUp(lock, [&] {
    page = BrowseNextPage(lock, continuationPoint.get(), 1, false);
    return PageStatus(*page);
  });
}

}  // namespace

namespace {

// Appends the first page already received and then every further page of the node.
UA_StatusCode TakeAllPages(const ClientLock& lock, UA_BrowseResult& first, const ParentToBrowse& parent,
                           const std::function<bool()>& stop) {
  AppendDescriptors(first, parent);
  UaOwned<UA_ByteString> continuationPoint = TakeContinuationPoint(first);
  for (size_t pages = 1; continuationPoint->length > 0; ++pages) {
    UaOwned<UA_BrowseNextResponse> page;
    const UA_StatusCode status = NextPage(lock, continuationPoint, pages, stop, *parent.text, page);
    if (status != UA_STATUSCODE_GOOD) {
      ReleaseContinuationPoint(lock, *continuationPoint, status);
      return status;
    }
    AppendDescriptors(page->results[0], parent);
    continuationPoint = TakeContinuationPoint(page->results[0]);
  }
  return UA_STATUSCODE_GOOD;
}

// Continuation points of nodes whose pages are not wanted any more, released in one
// request (best effort, as for one node).
void ReleaseRemaining(const ClientLock& lock, UA_BrowseResponse& response, size_t from) {
  std::vector<UA_ByteString> points;
  for (size_t k = from; k < response.resultsSize; ++k)
    if (response.results[k].continuationPoint.length > 0) points.push_back(response.results[k].continuationPoint);
  if (points.empty()) return;
  SendIfLinkUp(lock,
               [&] { return BrowseNextPage(lock, points.data(), points.size(), true)->responseHeader.serviceResult; });
}

}  // namespace

std::vector<UA_StatusCode> BrowseChildrenOf(const ClientLock& lock, const std::vector<ParentToBrowse>& parents,
                                            const std::function<bool()>& stop) {
  std::vector<const UA_NodeId*> nodes;
  for (const ParentToBrowse& parent : parents) nodes.push_back(parent.node);
  UaOwned<UA_BrowseResponse> first;
  const UA_StatusCode sent = SendIfLinkUp(lock, [&] {
    first = BrowseFirstPages(lock, nodes);
    return first->responseHeader.serviceResult;
  });
  if (parents.size() > 1 && RefusedAsTooLarge(sent)) {
    const auto middle = parents.begin() + static_cast<std::ptrdiff_t>(parents.size() / 2);
    std::vector<UA_StatusCode> statuses = BrowseChildrenOf(lock, {parents.begin(), middle}, stop);
    // Where a stop ended the first half, the second is stopped as well, unsent.
    if (statuses.back() == kPagingStopped) {
      statuses.resize(parents.size(), kPagingStopped);
      return statuses;
    }
    const std::vector<UA_StatusCode> rest = BrowseChildrenOf(lock, {middle, parents.end()}, stop);
    statuses.insert(statuses.end(), rest.begin(), rest.end());
    return statuses;
  }
  std::vector<UA_StatusCode> statuses(parents.size(), sent);
  if (sent != UA_STATUSCODE_GOOD) return statuses;
  for (size_t k = 0; k < parents.size(); ++k) {
    const ParentToBrowse& parent = parents[k];
    statuses[k] = PageStatus(*first, k, parents.size());
    // A server grants a few continuation points per session; a node that found none
    // left while the nodes before it held theirs gets a request of its own.
    if (statuses[k] == UA_STATUSCODE_BADNOCONTINUATIONPOINTS && parents.size() > 1)
      statuses[k] = BrowseChildrenOf(lock, {parent}, stop).front();
    else if (statuses[k] == UA_STATUSCODE_GOOD)
      statuses[k] = TakeAllPages(lock, first->results[k], parent, stop);
    if (statuses[k] == kPagingStopped) {
      ReleaseRemaining(lock, *first, k + 1);
      std::fill(statuses.begin() + static_cast<std::ptrdiff_t>(k), statuses.end(), kPagingStopped);
      break;
    }
  }
  return statuses;
}

namespace {

// --- The breadth-first traversal ---

// The ids of every queued node, each with the index of the node it was reached
// through. A node can be its own ancestor only if an equal id was queued before, so
// the chain of ancestors is walked only for ids seen earlier in the walk: never on a
// tree however deep, once where a cycle closes, and for each further parent of a
// shared node. No allocation per node beyond the amortised growth of its containers.
class Ancestry {
 public:
  static constexpr size_t kNoParent = SIZE_MAX;

  // Records a queued node reached through the node at `parent`; returns its index.
  size_t Add(UaNodeId id, size_t parent) {
    const UA_UInt32 hash = UA_NodeId_hash(id.get());
    if (!seen_.MaybeContains(hash)) seen_.Insert(hash);
    entries_.push_back({std::move(id), hash, parent});
    return entries_.size() - 1;
  }

  // Whether id is the node at `at` or one it was reached through.
  bool IsAncestor(const UA_NodeId& id, size_t at) const {
    const UA_UInt32 hash = UA_NodeId_hash(&id);
    if (!seen_.MaybeContains(hash)) return false;
    for (; at != kNoParent; at = entries_[at].parent) {
      const Entry& entry = entries_[at];
      if (entry.hash == hash && UA_NodeId_equal(entry.id.get(), &id)) return true;
    }
    return false;
  }

  // Stable while the walk lasts: a deque never moves what it holds.
  const UA_NodeId* Id(size_t at) const { return entries_[at].id.get(); }

 private:
  // The hashes recorded, in an open-addressing table; only hash collisions answer
  // "maybe" for an id never seen, which costs one walk and no wrong answer.
  class HashSet {
   public:
    bool MaybeContains(UA_UInt32 hash) const {
      if (slots_.empty()) return false;
      for (size_t at = SlotOf(hash);; at = (at + 1) & (slots_.size() - 1)) {
        if (slots_[at] == kEmpty) return false;
        if (slots_[at] == KeyOf(hash)) return true;
      }
    }
    void Insert(UA_UInt32 hash) {
      if (2 * (count_ + 1) > slots_.size()) Grow();
      Place(KeyOf(hash));
      ++count_;
    }

   private:
    static constexpr uint64_t kEmpty = 0;
    static uint64_t KeyOf(UA_UInt32 hash) { return uint64_t{hash} + 1; }
    // The stack's hashes of similar addresses differ little in their low bits: the
    // high bits of a Fibonacci product spread them.
    size_t SlotOf(UA_UInt32 hash) const { return (uint64_t{hash} * 0x9E3779B97F4A7C15u) >> shift_; }
    void Place(uint64_t key) {
      size_t at = SlotOf(static_cast<UA_UInt32>(key - 1));
      while (slots_[at] != kEmpty) at = (at + 1) & (slots_.size() - 1);
      slots_[at] = key;
    }
    void Grow() {
      std::vector<uint64_t> old = std::exchange(slots_, std::vector<uint64_t>(std::max<size_t>(64, 2 * slots_.size())));
      shift_ = 64 - static_cast<unsigned>(std::countr_zero(slots_.size()));
      for (const uint64_t key : old)
        if (key != kEmpty) Place(key);
    }

    std::vector<uint64_t> slots_;  // a power of two long, at most half full
    unsigned shift_ = 64;          // 64 minus the bits of a slot index
    size_t count_ = 0;
  };

  struct Entry {
    UaNodeId id;
    UA_UInt32 hash;
    size_t parent;
  };

  std::deque<Entry> entries_;
  HashSet seen_;
};

struct PendingParent {
  std::string text;    // as its children's `parent`
  size_t entry;        // its id and the nodes it was reached through, in the walk's Ancestry
  uint32_t depth = 0;  // levels below the start node; its children are at depth 1
};

struct ParentFailure {
  std::string parent;
  UA_StatusCode status;
};

// What one request of parents left to report: the parents that failed, in queue
// order, and whether a stop ended the paging.
struct FrontOutcome {
  std::vector<ParentFailure> failures;
  bool stopped = false;
};

class BrowseTraversal {
 public:
  BrowseTraversal(const BrowseRequest& request, Arrays arrays, UaNodeId root, std::string rootText)
      : recursive_(request.recursive),
        maxDepth_(request.max_depth),
        includeValues_(request.include_values),
        arrays_(arrays) {
    queue_.push_back({std::move(rootText), ancestry_.Add(std::move(root), Ancestry::kNoParent), 0});
  }

  bool Done() const { return queue_.empty(); }
  size_t Pending() const { return queue_.size(); }

  // Browses up to `count` parents from the front of the queue in one request and
  // moves their children, parent after parent, to the end of nodes. A parent that
  // fails contributes nothing; one whose paging was stopped ends the walk.
  FrontOutcome BrowseFront(const ClientLock& lock, std::vector<NodeDescriptor>& nodes,
                           const std::function<bool()>& stop, size_t count) {
    std::vector<PendingParent> parents;
    for (; parents.size() < count && !queue_.empty(); queue_.pop_front()) parents.push_back(std::move(queue_.front()));
    std::vector<std::vector<NodeDescriptor>> batches(parents.size());
    std::vector<std::vector<UaNodeId>> ids(parents.size());
    std::vector<ParentToBrowse> request;
    for (size_t k = 0; k < parents.size(); ++k)
      request.push_back({ancestry_.Id(parents[k].entry), &parents[k].text, &batches[k], &ids[k]});
    const std::vector<UA_StatusCode> statuses = BrowseChildrenOf(lock, request, stop);
    FrontOutcome outcome;
    for (size_t k = 0; k < parents.size(); ++k) {
      if (statuses[k] == kPagingStopped) {
        outcome.stopped = true;
        break;
      }
      if (statuses[k] != UA_STATUSCODE_GOOD) {
        outcome.failures.push_back({std::move(parents[k].text), statuses[k]});
        continue;
      }
      AttachValues(lock, batches[k], ids[k]);
      for (size_t c = 0; c < batches[k].size(); ++c) {
        NodeDescriptor& node = batches[k][c];
        const uint32_t depth = parents[k].depth + 1;
        if (recursive_ && node.expandable && (maxDepth_ == 0 || depth < maxDepth_)) {
          Enqueue(node.address, std::move(ids[k][c]), parents[k].entry, depth);
        }
        nodes.push_back(std::move(node));
      }
    }
    return outcome;
  }

 private:
  // With values asked for, every Variable of the batch gets its value; one whose
  // value cannot be read is listed without.
  // An address the stack could not print stands for no node to ask.
  void AttachValues(const ClientLock& lock, std::vector<NodeDescriptor>& batch,
                    const std::vector<UaNodeId>& ids) const {
    if (!includeValues_) return;
    const auto join = [&](size_t i) {
      const std::string* type = batch[i].properties.Get("type");
      return type && *type == "Variable" && !batch[i].address.empty();
    };
    std::function<void(const std::vector<size_t>&)> send = [&](const std::vector<size_t>& indices) {
      ValueReads reads(ids, indices);
      reads.Send(lock);
      if (indices.size() > 1 && RefusedAsTooLarge(reads.Sent())) {
        const auto [first, second] = Halves(indices);
        send(first);
        send(second);
        return;
      }
      for (size_t k = 0; k < indices.size(); ++k) {
        DataValue value;
        if (reads.Status(k) != UA_STATUSCODE_GOOD || reads.ValueOf(k, arrays_, lock, value) != UA_STATUSCODE_GOOD)
          continue;
        batch[indices[k]].value = std::move(value);
      }
    };
    GatherRequests(
        batch.size(), ItemsPerRequest(lock, Service::Read), false,
        [&](size_t i) -> const std::string& { return batch[i].address; }, [](size_t) { return false; }, join, send);
  }

  void Enqueue(const std::string& address, UaNodeId node, size_t parent, uint32_t depth) {
    if (address.empty()) return;  // as above
    // On a server whose references form a cycle the subtree below a node that is
    // its own ancestor never ends: such a node is listed but not expanded again.
    if (ancestry_.IsAncestor(*node, parent)) return;
    queue_.push_back({address, ancestry_.Add(std::move(node), parent), depth});
  }

  const bool recursive_;
  const uint32_t maxDepth_;  // levels listed at most; 0: no limit
  const bool includeValues_;
  const Arrays arrays_;
  Ancestry ancestry_;
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
  const std::shared_ptr<OpcuaConnection> session = impl->session;
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
    // A slice is at least one request: gathered parents are never split across slices.
    const size_t perRequest = internal::ItemsPerRequest(lock, internal::Service::Browse);
    const size_t slice = std::max(internal::kParentsPerSlice, perRequest);
    for (size_t browsed = 0; browsed < slice && !traversal.Done() && attached->load(); browsed += perRequest) {
      internal::FrontOutcome outcome =
          traversal.BrowseFront(lock, result.nodes, stop, std::min(perRequest, slice - browsed));
      for (internal::ParentFailure& failure : outcome.failures) {
        Result mapped = internal::StatusFromUa(failure.status);
        UALIB_LOG(internal::kDebug, "Browse children of '{}' failed: {}", failure.parent, mapped.message);
        internal::KeepFirstFailure(result, mapped.code, std::move(mapped.message));
      }
      if (outcome.stopped) break;  // the checks above say why
    }
  }
  return result;
}

}  // namespace velk::quarlink
