// Creating the session's subscription and monitored items, and handing each item's
// callback context to the stack and back exactly once.
#include <memory>

#include "link.h"
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

bool IsBeingCreated(const void* context) { return tCreationInFlight && tCreationInFlight->context == context; }

void DeleteMonitorContext(UA_Client* /*client*/, UA_UInt32 /*subId*/, void* /*subContext*/, UA_UInt32 /*monId*/,
                          void* monContext) noexcept {
  if (!monContext) return;
  if (tCreationInFlight && tCreationInFlight->context == monContext) {
    tCreationInFlight->releasedByStack = true;
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

UA_StatusCode CreateMonitoredItem(OpcuaConnection& conn, const std::string& address, const UA_NodeId& node,
                                  const MonitorParams& params, const tessel::fnd::defs::SubscriptionHandler& handler,
                                  uint32_t& monitoredItemId) {
  auto context = std::make_unique<MonitorEntry>(MonitorEntry{0, address, &conn, handler, params});
  const UA_MonitoredItemCreateRequest request = MonitoredItemRequest(node, params);
  CreationScope creation(context.get());
  UaOwned<UA_MonitoredItemCreateResult> result;
  UA_StatusCode status = SendIfLinkUp(conn, [&] {
    *result =
        UA_Client_MonitoredItems_createDataChange(conn.client, conn.subscriptionId, UA_TIMESTAMPSTORETURN_BOTH, request,
                                                  context.get(), DataChangeCallback, DeleteMonitorContext);
    return result->statusCode;
  });
  if (status == UA_STATUSCODE_GOOD && creation.ReleasedByStack()) {
    // The server made the item but the stack could not record it (out of memory):
    // nothing would ever reach the handler, so take it off the server again.
    DeleteMonitoredItem(conn, result->monitoredItemId);
    status = UA_STATUSCODE_BADOUTOFMEMORY;
  }
  if (status != UA_STATUSCODE_GOOD) return status;  // the context goes with the unique_ptr

  context->monitoredItemId = result->monitoredItemId;
  monitoredItemId = result->monitoredItemId;
  const MonitorEntry* owned = context.release();  // the stack's from now on; DeleteMonitorContext frees it
  conn.monitors.insert_or_assign(address, *owned);
  return UA_STATUSCODE_GOOD;
}

UA_StatusCode DeleteMonitoredItem(OpcuaConnection& conn, uint32_t monitoredItemId) {
  if (monitoredItemId == 0) return UA_STATUSCODE_GOOD;  // not on the server: nothing to delete
  return SendIfLinkUp(
      conn, [&] { return UA_Client_MonitoredItems_deleteSingle(conn.client, conn.subscriptionId, monitoredItemId); });
}

}  // namespace velk::quarlink::internal
