// Creating the session's subscription and monitored items, and handing each item's
// callback context to the stack and back exactly once.
#include <algorithm>
#include <iterator>
#include <memory>
#include <optional>
#include <vector>

#include "session/link.h"
#include "subscriptions/subscriptions.h"
#include "values/ua_types.h"

namespace velk::quarlink::internal {
namespace {

// --- Ownership of a context while its item is being created ---
//
// When the creation of an item fails, the stack calls the item's delete callback
// (item id 0) in some cases (the server refused the item, the service failed) and
// not in others (the subscription is unknown to the stack client, no memory). So
// while a creation runs, the creator keeps the context and the delete callback
// only notes that the stack let go of it. Creation is synchronous and the stack
// calls back on the creating thread, hence one marker per thread.

struct CreationInFlight {
  std::vector<void*> contexts;
  std::vector<bool> releasedByStack;  // by index of contexts
};

thread_local CreationInFlight* tCreationInFlight = nullptr;

class CreationScope {
 public:
  explicit CreationScope(std::vector<void*> contexts) : previous_(tCreationInFlight) {
    state_.releasedByStack.assign(contexts.size(), false);
    state_.contexts = std::move(contexts);
    tCreationInFlight = &state_;
  }
  ~CreationScope() { tCreationInFlight = previous_; }
  CreationScope(const CreationScope&) = delete;
  CreationScope& operator=(const CreationScope&) = delete;

  void** Contexts() { return state_.contexts.data(); }
  bool ReleasedByStack(size_t k) const { return state_.releasedByStack[k]; }

 private:
  CreationInFlight state_;
  CreationInFlight* previous_;
};

// The index of context among the items being created on this thread, or none.
std::optional<size_t> InFlightIndex(const void* context) {
  if (!tCreationInFlight) return std::nullopt;
  const auto& contexts = tCreationInFlight->contexts;
  const auto found = std::find(contexts.begin(), contexts.end(), context);
  if (found == contexts.end()) return std::nullopt;
  return static_cast<size_t>(found - contexts.begin());
}

// A non-owning view of the node: the request never owns what it points at.
UA_MonitoredItemCreateRequest MonitoredItemRequest(const UA_NodeId& node, const MonitorParams& params) {
  UA_MonitoredItemCreateRequest request;
  UA_MonitoredItemCreateRequest_init(&request);
  request.itemToMonitor.nodeId = node;
  request.itemToMonitor.attributeId = UA_ATTRIBUTEID_VALUE;
  request.monitoringMode = UA_MONITORINGMODE_REPORTING;
  request.requestedParameters.clientHandle = 0;  // the stack assigns its own
  request.requestedParameters.samplingInterval = params.samplingIntervalMs;
  request.requestedParameters.queueSize = params.queueSize;
  request.requestedParameters.discardOldest = params.discardOldest;
  return request;
}

}  // namespace

bool IsBeingCreated(const void* context) { return InFlightIndex(context).has_value(); }

void DeleteMonitorContext(UA_Client* /*client*/, UA_UInt32 /*subId*/, void* /*subContext*/, UA_UInt32 /*monId*/,
                          void* monContext) noexcept {
  if (!monContext) return;
  if (const auto k = InFlightIndex(monContext)) {
    tCreationInFlight->releasedByStack[*k] = true;
    return;
  }
  delete static_cast<MonitorEntry*>(monContext);
}

namespace {

// The server ended the subscription (its lifetime ran out, it was transferred): the
// stack keeps its record, and nothing would ever arrive again.
void SubscriptionStatusChanged(UA_Client* /*client*/, UA_UInt32 subId, void* subContext,
                               UA_StatusChangeNotification* /*notification*/) noexcept {
  auto* conn = static_cast<OpcuaConnection*>(subContext);
  if (conn && subId == conn->subscriptionId) conn->subscriptionLost = true;
}

// The stack dropped its record: the server said the subscription is gone, or the
// session went (then the resume after the reconnect repairs it first).
void SubscriptionDeleted(UA_Client* /*client*/, UA_UInt32 subId, void* subContext) noexcept {
  auto* conn = static_cast<OpcuaConnection*>(subContext);
  if (conn && subId == conn->subscriptionId && !conn->closeRequested) conn->subscriptionLost = true;
}

}  // namespace

UA_StatusCode CreateServerSubscription(OpcuaConnection& conn, double publishingIntervalMs) {
  UA_CreateSubscriptionRequest request;
  UA_CreateSubscriptionRequest_init(&request);
  request.requestedPublishingInterval = publishingIntervalMs;
  request.requestedLifetimeCount = 100;
  request.requestedMaxKeepAliveCount = 50;
  request.maxNotificationsPerPublish = 1000;
  request.publishingEnabled = true;
  request.priority = 0;
  UaOwned<UA_CreateSubscriptionResponse> response;
  const UA_StatusCode status = SendIfLinkUp(conn, [&] {
    *response =
        UA_Client_Subscriptions_create(conn.client, request, &conn, SubscriptionStatusChanged, SubscriptionDeleted);
    return response->responseHeader.serviceResult;
  });
  if (status != UA_STATUSCODE_GOOD) return status;
  conn.subscriptionId = response->subscriptionId;
  conn.publishingIntervalMs = publishingIntervalMs;
  conn.subscriptionLost = false;
  return status;
}

namespace {

// What a creation of the item alone reports: the service's failure, a missing
// result, or the item's own status.
UA_StatusCode CreationStatus(UA_StatusCode sent, const UA_CreateMonitoredItemsResponse& response, size_t k,
                             size_t count) {
  if (sent != UA_STATUSCODE_GOOD) return sent;
  if (response.resultsSize != count) return UA_STATUSCODE_BADINTERNALERROR;
  return response.results[k].statusCode;
}

}  // namespace

std::vector<CreatedItem> CreateMonitoredItems(OpcuaConnection& conn, const std::vector<ItemToCreate>& items) {
  const size_t count = items.size();
  std::vector<std::unique_ptr<MonitorEntry>> contexts;
  std::vector<UA_MonitoredItemCreateRequest> requests;
  contexts.reserve(count);
  requests.reserve(count);
  for (const ItemToCreate& item : items) {
    contexts.push_back(
        std::make_unique<MonitorEntry>(MonitorEntry{0, *item.address, &conn, item.handler, item.params}));
    requests.push_back(MonitoredItemRequest(*item.node, item.params));
  }
  std::vector<void*> pointers(count);
  std::transform(contexts.begin(), contexts.end(), pointers.begin(), [](const auto& c) { return c.get(); });
  std::vector<UA_Client_DataChangeNotificationCallback> callbacks(count, DataChangeCallback);
  std::vector<UA_Client_DeleteMonitoredItemCallback> deleteCallbacks(count, DeleteMonitorContext);
  UA_CreateMonitoredItemsRequest request;
  UA_CreateMonitoredItemsRequest_init(&request);
  request.subscriptionId = conn.subscriptionId;
  request.timestampsToReturn = UA_TIMESTAMPSTORETURN_BOTH;
  request.itemsToCreate = requests.data();  // views, as above
  request.itemsToCreateSize = count;

  CreationScope creation(std::move(pointers));
  UaOwned<UA_CreateMonitoredItemsResponse> response;
  const UA_StatusCode sent = SendIfLinkUp(conn, [&] {
    *response = UA_Client_MonitoredItems_createDataChanges(conn.client, request, creation.Contexts(), callbacks.data(),
                                                           deleteCallbacks.data());
    return response->responseHeader.serviceResult;
  });
  std::vector<CreatedItem> created(count);
  std::vector<uint32_t> unrecorded;
  for (size_t k = 0; k < count; ++k) {
    UA_StatusCode status = CreationStatus(sent, *response, k, count);
    if (status == UA_STATUSCODE_GOOD && creation.ReleasedByStack(k)) {
      // The server made the item but the stack could not record it (out of memory):
      // nothing would ever reach the handler, so take it off the server again.
      unrecorded.push_back(response->results[k].monitoredItemId);
      status = UA_STATUSCODE_BADOUTOFMEMORY;
    }
    created[k].status = status;
    if (status != UA_STATUSCODE_GOOD) continue;  // the context goes with its unique_ptr
    created[k].monitoredItemId = contexts[k]->monitoredItemId = response->results[k].monitoredItemId;
    const MonitorEntry* owned = contexts[k].release();  // the stack's from now on; DeleteMonitorContext frees it
    conn.monitors.insert_or_assign(owned->nodeAddress, *owned);
  }
  if (!unrecorded.empty()) DeleteMonitoredItems(conn, unrecorded);
  return created;
}

namespace {

// What a deletion of the item alone reports, as for a creation.
UA_StatusCode DeletionStatus(UA_StatusCode sent, const UA_DeleteMonitoredItemsResponse& response, size_t k,
                             size_t count) {
  if (sent != UA_STATUSCODE_GOOD) return sent;
  if (response.resultsSize != count) return UA_STATUSCODE_BADUNEXPECTEDERROR;
  return response.results[k];
}

}  // namespace

std::vector<UA_StatusCode> DeleteMonitoredItems(OpcuaConnection& conn, const std::vector<uint32_t>& ids) {
  std::vector<UA_StatusCode> statuses(ids.size(), UA_STATUSCODE_GOOD);
  std::vector<UA_UInt32> onServer;  // an id of 0 was never re-created: nothing to delete
  std::copy_if(ids.begin(), ids.end(), std::back_inserter(onServer), [](uint32_t id) { return id != 0; });
  if (onServer.empty()) return statuses;
  UA_DeleteMonitoredItemsRequest request;
  UA_DeleteMonitoredItemsRequest_init(&request);
  request.subscriptionId = conn.subscriptionId;
  request.monitoredItemIds = onServer.data();  // a view, never cleared
  request.monitoredItemIdsSize = onServer.size();
  UaOwned<UA_DeleteMonitoredItemsResponse> response;
  const UA_StatusCode sent = SendIfLinkUp(conn, [&] {
    *response = UA_Client_MonitoredItems_delete(conn.client, request);
    return response->responseHeader.serviceResult;
  });
  for (size_t i = 0, k = 0; i < ids.size(); ++i) {
    if (ids[i] != 0) statuses[i] = DeletionStatus(sent, *response, k++, onServer.size());
  }
  return statuses;
}

UA_StatusCode DeleteMonitoredItem(OpcuaConnection& conn, uint32_t monitoredItemId) {
  return DeleteMonitoredItems(conn, {monitoredItemId}).front();
}

}  // namespace velk::quarlink::internal
