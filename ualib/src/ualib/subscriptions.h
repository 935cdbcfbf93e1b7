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

#include "connection.h"

namespace velk::quarlink::internal {

// Stack callbacks. Both run on a thread that holds clientMutex and inside the
// stack: they never call into the stack, never run user code beyond destroying
// handler copies, and never take clientMutex.
void DataChangeCallback(UA_Client* client, UA_UInt32 subId, void* subContext, UA_UInt32 monId, void* monContext,
                        UA_DataValue* value) noexcept;
void DeleteMonitorContext(UA_Client* client, UA_UInt32 subId, void* subContext, UA_UInt32 monId,
                          void* monContext) noexcept;

inline constexpr double kDefaultIntervalMs = 250.0;

struct MonitorParams {
  double samplingIntervalMs = kDefaultIntervalMs;
  uint32_t queueSize = 1;
  bool discardOldest = true;
};

// Creates a server-side subscription with the session's fixed parameters. On Good,
// subscriptionId holds the server's id. Caller holds clientMutex.
UA_StatusCode CreateServerSubscription(UA_Client* client, double publishingIntervalMs, uint32_t& subscriptionId);

// Creates one monitored item in conn.subscriptionId that delivers to handler. On
// Good, monitoredItemId holds the server's id, conn.monitors[address] describes the
// item and the stack owns its callback context; otherwise nothing of the item is
// left behind. Caller holds clientMutex.
UA_StatusCode CreateMonitoredItem(OpcuaConnection& conn, const std::string& address, const UA_NodeId& node,
                                  const MonitorParams& params, const tessel::fnd::defs::SubscriptionHandler& handler,
                                  uint32_t& monitoredItemId);

// Starts the session's dispatch worker. Caller holds clientMutex and has seen
// dispatchRunning false. Returns false when no thread could be started.
bool StartDispatchWorker(OpcuaConnection& conn);

// Re-creates the subscription and every monitored item of the map after a
// reconnect. Caller holds clientMutex and the session has a stack client.
void ResumeSubscriptions(OpcuaConnection& conn);

// Stops the dispatch worker after it delivered what is queued (session teardown,
// after the stack client is gone, so nothing is queued any more).
void StopDispatchWorker(OpcuaConnection& conn);

}  // namespace velk::quarlink::internal
