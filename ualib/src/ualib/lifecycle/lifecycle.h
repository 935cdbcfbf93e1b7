// What keeps a session going: the iterator thread and the reconnect cycle.
#pragma once

#include <open62541/client.h>

#include <cstddef>
#include <string>

#include "session/session.h"

namespace velk::quarlink::internal {

// Starts the session's iterator thread unless it runs already; false when no thread
// could be started.
bool EnsureIteratorThread(OpcuaConnection& conn);

// Runs on the iterator thread once the session stayed down; returns when the
// session is back, a limit of the reconnect policy is reached, or it is closing.
void RunReconnectCycle(OpcuaConnection& conn, const std::string& endpoint, const std::string& username,
                       const std::string& password);

// Records the token of the stack client's current session. Caller holds clientMutex.
void RememberSessionToken(OpcuaConnection& conn);

// After a disturbance of the link: when the stack replaced the session on its own,
// the subscriptions went with the old one and are created anew. Caller holds
// clientMutex and the session is activated.
void ResumeIfSessionReplaced(OpcuaConnection& conn);

// Installs the user-name identity and connects synchronously. Caller holds clientMutex.
UA_StatusCode ConnectStackClient(UA_Client* client, const std::string& endpoint, const std::string& username,
                                 const std::string& password);

}  // namespace velk::quarlink::internal
