// The session's server-side subscription, its monitored items and the delivery of
// their notifications.
#pragma once

#include <open62541/client_subscriptions.h>

#include "connection.h"

namespace velk::quarlink::internal {

void DataChangeCallback(UA_Client* client, UA_UInt32 subId, void* subContext, UA_UInt32 monId, void* monContext,
                        UA_DataValue* value);

// Re-creates the subscription and every monitored item of the map after a
// reconnect. Caller holds clientMutex and the session has a stack client.
void ResumeSubscriptions(OpcuaConnection& conn);

// Stops the dispatch worker after it delivered what is queued (session teardown).
void StopDispatchWorker(OpcuaConnection& conn);

}  // namespace velk::quarlink::internal
