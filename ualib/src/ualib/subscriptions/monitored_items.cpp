// Creating the session's subscription and monitored items, and handing each item's
// callback context to the stack and back through the session's monitor map.
#include <algorithm>
#include <iterator>
#include <vector>

#include "session/batching.h"
#include "session/link.h"
#include "subscriptions/subscriptions.h"
#include "values/ua_types.h"

namespace velk::quarlink::internal {
namespace {

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

// The stack calls back from inside the event loop, with or without the session lock.
GuardedSession* GuardedOf(void* subContext) {
  auto* session = static_cast<OpcuaConnection*>(subContext);
  return session ? &session->StateForCallbacks() : nullptr;
}

// The server ended the subscription (its lifetime ran out, it was transferred): the
// stack keeps its record, and nothing would ever arrive again.
void SubscriptionStatusChanged(UA_Client* /*client*/, UA_UInt32 subId, void* subContext,
                               UA_StatusChangeNotification* /*notification*/) noexcept {
  GuardedSession* guarded = GuardedOf(subContext);
  if (guarded && subId == guarded->subscriptionId.load()) guarded->subscriptionLost = true;
}

// The stack dropped its record: the server said the subscription is gone, or the
// session went (then the resume after the reconnect repairs it first).
void SubscriptionDeleted(UA_Client* /*client*/, UA_UInt32 subId, void* subContext) noexcept {
  GuardedSession* guarded = GuardedOf(subContext);
  if (guarded && subId == guarded->subscriptionId.load() &&
      !static_cast<OpcuaConnection*>(subContext)->link().Closing())
    guarded->subscriptionLost = true;
}

// A request the server refused as too large, sent again as two: the results of the
// halves, in order.
template <typename Item, typename Send>
auto InHalves(const std::vector<Item>& items, Send&& send) {
  const auto middle = items.begin() + static_cast<std::ptrdiff_t>(items.size() / 2);
  auto results = send(std::vector<Item>(items.begin(), middle));
  auto rest = send(std::vector<Item>(middle, items.end()));
  results.insert(results.end(), rest.begin(), rest.end());
  return results;
}

}  // namespace

UA_StatusCode CreateServerSubscription(ClientLock& lock, double publishingIntervalMs) {
  UA_CreateSubscriptionRequest request;
  UA_CreateSubscriptionRequest_init(&request);
  request.requestedPublishingInterval = publishingIntervalMs;
  request.requestedLifetimeCount = 100;
  request.requestedMaxKeepAliveCount = 50;
  request.maxNotificationsPerPublish = 1000;
  request.publishingEnabled = true;
  request.priority = 0;
  UaOwned<UA_CreateSubscriptionResponse> response;
  const UA_StatusCode status = SendIfLinkUp(lock, [&] {
    *response = UA_Client_Subscriptions_create(lock.client(), request, &lock.session(), SubscriptionStatusChanged,
                                               SubscriptionDeleted);
    return response->responseHeader.serviceResult;
  });
  if (status != UA_STATUSCODE_GOOD) return status;
  lock->subscriptionId = response->subscriptionId;
  lock->publishingIntervalMs = publishingIntervalMs;
  lock->subscriptionLost = false;
  return status;
}

std::vector<CreatedItem> CreateMonitoredItems(ClientLock& lock, const std::vector<ItemToCreate>& items) {
  const size_t count = items.size();
  MonitorMap& monitors = lock->monitors;
  // Held by the map from here: the stack may call back with them while the creation
  // runs (a first notification, or a delete for an item it refused).
  std::vector<void*> contexts;
  std::vector<UA_MonitoredItemCreateRequest> requests;
  contexts.reserve(count);
  requests.reserve(count);
  for (const ItemToCreate& item : items) {
    contexts.push_back(monitors.Prepare(MonitorEntry{0, *item.address, &lock.session(), item.handler, item.params}));
    requests.push_back(MonitoredItemRequest(*item.node, item.params));
  }
  std::vector<UA_Client_DataChangeNotificationCallback> callbacks(count, DataChangeCallback);
  std::vector<UA_Client_DeleteMonitoredItemCallback> deleteCallbacks(count, DeleteMonitorContext);
  UA_CreateMonitoredItemsRequest request;
  UA_CreateMonitoredItemsRequest_init(&request);
  request.subscriptionId = lock->subscriptionId.load();
  request.timestampsToReturn = UA_TIMESTAMPSTORETURN_BOTH;
  request.itemsToCreate = requests.data();  // views, as above
  request.itemsToCreateSize = count;

  UaOwned<UA_CreateMonitoredItemsResponse> response;
  const UA_StatusCode sent = SendIfLinkUp(lock, [&] {
    *response = UA_Client_MonitoredItems_createDataChanges(lock.client(), request, contexts.data(), callbacks.data(),
                                                           deleteCallbacks.data());
    return response->responseHeader.serviceResult;
  });
  if (count > 1 && RefusedAsTooLarge(sent)) {
    for (void* context : contexts) monitors.Settle(static_cast<MonitorEntry*>(context), false);
    return InHalves(items, [&](const std::vector<ItemToCreate>& half) { return CreateMonitoredItems(lock, half); });
  }
  std::vector<CreatedItem> created(count);
  std::vector<uint32_t> unrecorded;
  for (size_t k = 0; k < count; ++k) {
    auto* context = static_cast<MonitorEntry*>(contexts[k]);
    UA_StatusCode status = ItemStatus(sent, response->resultsSize, count, k, UA_STATUSCODE_BADINTERNALERROR,
                                      [&](size_t i) { return response->results[i].statusCode; });
    if (status == UA_STATUSCODE_GOOD && monitors.Stale(context)) {
      // The server made the item but the stack could not record it (out of memory):
      // nothing would ever reach the handler, so take it off the server again.
      unrecorded.push_back(response->results[k].monitoredItemId);
      status = UA_STATUSCODE_BADOUTOFMEMORY;
    }
    created[k].status = status;
    if (status == UA_STATUSCODE_GOOD)
      created[k].monitoredItemId = context->monitoredItemId = response->results[k].monitoredItemId;
    monitors.Settle(context, status == UA_STATUSCODE_GOOD);
  }
  if (!unrecorded.empty()) DeleteMonitoredItems(lock, unrecorded);
  return created;
}

std::vector<UA_StatusCode> DeleteMonitoredItems(ClientLock& lock, const std::vector<uint32_t>& ids) {
  std::vector<UA_StatusCode> statuses(ids.size(), UA_STATUSCODE_GOOD);
  std::vector<UA_UInt32> onServer;  // an id of 0 was never re-created: nothing to delete
  std::copy_if(ids.begin(), ids.end(), std::back_inserter(onServer), [](uint32_t id) { return id != 0; });
  if (onServer.empty()) return statuses;
  UA_DeleteMonitoredItemsRequest request;
  UA_DeleteMonitoredItemsRequest_init(&request);
  request.subscriptionId = lock->subscriptionId.load();
  request.monitoredItemIds = onServer.data();  // a view, never cleared
  request.monitoredItemIdsSize = onServer.size();
  UaOwned<UA_DeleteMonitoredItemsResponse> response;
  const UA_StatusCode sent = SendIfLinkUp(lock, [&] {
    *response = UA_Client_MonitoredItems_delete(lock.client(), request);
    return response->responseHeader.serviceResult;
  });
  if (onServer.size() > 1 && RefusedAsTooLarge(sent))
    return InHalves(ids, [&](const std::vector<uint32_t>& half) { return DeleteMonitoredItems(lock, half); });
  for (size_t i = 0, k = 0; i < ids.size(); ++i) {
    if (ids[i] == 0) continue;
    statuses[i] = ItemStatus(sent, response->resultsSize, onServer.size(), k++, UA_STATUSCODE_BADUNEXPECTEDERROR,
                             [&](size_t j) { return response->results[j]; });
  }
  return statuses;
}

UA_StatusCode DeleteMonitoredItem(ClientLock& lock, uint32_t monitoredItemId) {
  return DeleteMonitoredItems(lock, {monitoredItemId}).front();
}

}  // namespace velk::quarlink::internal
