// The session's server-side subscription, its monitored items and the delivery of
// their notifications.
//
// Every monitored item has a MonitorEntry of the session's monitor map as its stack
// context; the map keeps it until the stack lets go of it (DeleteMonitorContext).
#pragma once

#include <open62541/client_subscriptions.h>

#include <cstdint>
#include <string>
#include <vector>

#include "session/session.h"

namespace velk::quarlink::internal {

// Stack callbacks. They run inside the event loop, mostly on the iterator without
// the session lock: they never call into the stack, never run user code beyond
// destroying handler copies, and never take the session lock.
void DataChangeCallback(UA_Client* client, UA_UInt32 subId, void* subContext, UA_UInt32 monId, void* monContext,
                        UA_DataValue* value) noexcept;
void DeleteMonitorContext(UA_Client* client, UA_UInt32 subId, void* subContext, UA_UInt32 monId,
                          void* monContext) noexcept;

// Creates the session's server-side subscription. On Good, the guarded
// subscriptionId holds the server's id and publishingIntervalMs the interval a
// resume asks for again.
UA_StatusCode CreateServerSubscription(ClientLock& lock, double publishingIntervalMs);

// Deletes monitored items of the session's subscription on the server, in one
// request (the stack then lets go of their contexts), and returns each item's
// status. An item id of 0 was never re-created: it is Good without a call.
std::vector<UA_StatusCode> DeleteMonitoredItems(ClientLock& lock, const std::vector<uint32_t>& ids);
UA_StatusCode DeleteMonitoredItem(ClientLock& lock, uint32_t monitoredItemId);

// One monitored item to create in the session's subscription, delivering to handler.
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
// created Good is the current item of its address in the monitor map; of a failed
// item nothing is left behind.
std::vector<CreatedItem> CreateMonitoredItems(ClientLock& lock, const std::vector<ItemToCreate>& items);

// Re-creates the subscription and every monitored item of the map after a
// reconnect; returns the status of the subscription's creation. A failure is tried
// again by RetryPendingResume. The session has a stack client.
UA_StatusCode ResumeSubscriptions(ClientLock& lock);

// Tries a failed resume again once its wait is over.
void RetryPendingResume(ClientLock& lock);

// Re-creates the session's subscription after the server or the stack dropped it.
// The session has a stack client.
void RecoverLostSubscription(ClientLock& lock);

}  // namespace velk::quarlink::internal
