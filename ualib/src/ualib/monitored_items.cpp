// Creating the session's subscription and monitored items, and handing each item's
// callback context to the stack and back exactly once.
#include <memory>

#include "subscriptions.h"
#include "ua_types.h"

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
  const void* context = nullptr;
  bool releasedByStack = false;
};

thread_local CreationInFlight* tCreationInFlight = nullptr;

class CreationScope {
 public:
  explicit CreationScope(const void* context) : previous_(tCreationInFlight) {
    state_.context = context;
    tCreationInFlight = &state_;
  }
  ~CreationScope() { tCreationInFlight = previous_; }
  CreationScope(const CreationScope&) = delete;
  CreationScope& operator=(const CreationScope&) = delete;

  bool ReleasedByStack() const { return state_.releasedByStack; }

 private:
  CreationInFlight state_;
  CreationInFlight* previous_;
};

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

void DeleteMonitorContext(UA_Client* /*client*/, UA_UInt32 /*subId*/, void* /*subContext*/, UA_UInt32 /*monId*/,
                          void* monContext) noexcept {
  if (!monContext) return;
  if (tCreationInFlight && tCreationInFlight->context == monContext) {
    tCreationInFlight->releasedByStack = true;
    return;
  }
  delete static_cast<MonitorEntry*>(monContext);
}

UA_StatusCode CreateServerSubscription(UA_Client* client, double publishingIntervalMs, uint32_t& subscriptionId) {
  UA_CreateSubscriptionRequest request;
  UA_CreateSubscriptionRequest_init(&request);
  request.requestedPublishingInterval = publishingIntervalMs;
  request.requestedLifetimeCount = 100;
  request.requestedMaxKeepAliveCount = 50;
  request.maxNotificationsPerPublish = 1000;
  request.publishingEnabled = true;
  request.priority = 0;
  const auto response = UaOwned<UA_CreateSubscriptionResponse>::Adopt(
      UA_Client_Subscriptions_create(client, request, nullptr, nullptr, nullptr));
  const UA_StatusCode status = response->responseHeader.serviceResult;
  if (status == UA_STATUSCODE_GOOD) subscriptionId = response->subscriptionId;
  return status;
}

UA_StatusCode CreateMonitoredItem(OpcuaConnection& conn, const std::string& address, const UA_NodeId& node,
                                  const MonitorParams& params, const tessel::fnd::defs::SubscriptionHandler& handler,
                                  uint32_t& monitoredItemId) {
  auto context = std::make_unique<MonitorEntry>(MonitorEntry{0, address, &conn, handler});
  const UA_MonitoredItemCreateRequest request = MonitoredItemRequest(node, params);
  CreationScope creation(context.get());
  const auto result = UaOwned<UA_MonitoredItemCreateResult>::Adopt(
      UA_Client_MonitoredItems_createDataChange(conn.client, conn.subscriptionId, UA_TIMESTAMPSTORETURN_BOTH, request,
                                                context.get(), DataChangeCallback, DeleteMonitorContext));
  UA_StatusCode status = result->statusCode;
  if (status == UA_STATUSCODE_GOOD && creation.ReleasedByStack()) {
    // The server made the item but the stack could not record it (out of memory):
    // nothing would ever reach the handler, so take it off the server again.
    UA_Client_MonitoredItems_deleteSingle(conn.client, conn.subscriptionId, result->monitoredItemId);
    status = UA_STATUSCODE_BADOUTOFMEMORY;
  }
  if (status != UA_STATUSCODE_GOOD) return status;  // the context goes with the unique_ptr

  context->monitoredItemId = result->monitoredItemId;
  monitoredItemId = result->monitoredItemId;
  const MonitorEntry* owned = context.release();  // the stack's from now on; DeleteMonitorContext frees it
  conn.monitors.insert_or_assign(address, *owned);
  return UA_STATUSCODE_GOOD;
}

}  // namespace velk::quarlink::internal
