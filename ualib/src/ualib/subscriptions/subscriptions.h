// The session's server-side subscription, its monitored items and the delivery of
// their notifications.
//
// Every monitored item has a heap MonitorEntry as its stack context. The stack owns
// it from the moment the item exists in the stack client until the stack deletes
// the item again (replaced, unsubscribed, subscription deleted, session cleaned up,
// stack client deleted); DeleteMonitorContext frees it then, exactly once.
#pragma once

#include <open62541/client_subscriptions.h>

#include <cstdint>
#include <string>
#include <vector>

#include "session/session.h"

namespace velk::quarlink::internal {

// Stack callbacks. Both run on a thread that holds clientMutex and inside the
// stack: they never call into the stack, never run user code beyond destroying
// handler copies, and never take clientMutex.
void DataChangeCallback(UA_Client* client, UA_UInt32 subId, void* subContext, UA_UInt32 monId, void* monContext,
                        UA_DataValue* value) noexcept;
void DeleteMonitorContext(UA_Client* client, UA_UInt32 subId, void* subContext, UA_UInt32 monId,
                          void* monContext) noexcept;

// True on the thread that is creating the monitored item with this context, until
// the creation returns (its first notification may arrive before that).
bool IsBeingCreated(const void* context);

// Creates the session's server-side subscription. On Good, conn.subscriptionId holds
// the server's id and conn.publishingIntervalMs the interval a resume asks for
// again. Caller holds clientMutex.
UA_StatusCode CreateServerSubscription(OpcuaConnection& conn, double publishingIntervalMs);

// Deletes monitored items of the session's subscription on the server, in one
// request (the stack then frees their contexts), and returns each item's status.
// An item id of 0 was never re-created: it is Good without a call. Caller holds
// clientMutex.
std::vector<UA_StatusCode> DeleteMonitoredItems(OpcuaConnection& conn, const std::vector<uint32_t>& ids);
UA_StatusCode DeleteMonitoredItem(OpcuaConnection& conn, uint32_t monitoredItemId);

// One monitored item to create in conn.subscriptionId, delivering to handler.
struct ItemToCreate {
  const std::string* address;
  const UA_NodeId* node;
  MonitorParams params;
  tessel::fnd::defs::SubscriptionHandler handler;
};

struct CreatedItem {
  UA_StatusCode status = UA_STATUSCODE_GOOD;
  uint32_t monitoredItemId = 0;
};

// Creates the items in one request, one result each in the same order. An item
// created Good is described by conn.monitors[address] and its callback context is
// the stack's; of a failed item nothing is left behind. Caller holds clientMutex.
std::vector<CreatedItem> CreateMonitoredItems(OpcuaConnection& conn, const std::vector<ItemToCreate>& items);

// Starts the session's dispatch worker. Caller holds clientMutex and has seen
// dispatchRunning false. Returns false when no thread could be started.
bool StartDispatchWorker(OpcuaConnection& conn);

// Re-creates the subscription and every monitored item of the map after a
// reconnect. Caller holds clientMutex and the session has a stack client.
void ResumeSubscriptions(OpcuaConnection& conn);

// Re-creates the session's subscription after the server or the stack dropped it.
// Caller holds clientMutex and the session has a stack client.
void RecoverLostSubscription(OpcuaConnection& conn);

// Stops the dispatch worker after it delivered what is queued (session teardown,
// after the stack client is gone, so nothing is queued any more).
void StopDispatchWorker(OpcuaConnection& conn);

}  // namespace velk::quarlink::internal
