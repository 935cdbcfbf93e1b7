// What keeps a session going: the iterator thread and the reconnect cycle.
#pragma once

#include <open62541/client.h>

#include <string>

#include "session/session.h"

namespace velk::quarlink::internal {

// Starts the session's iterator thread unless it runs already; false when no thread
// could be started. It runs with the session's reconnect policy as it is now.
bool EnsureIteratorThread(ClientLock& lock);

// Runs on the iterator thread once the session stayed down; returns when the
// session is back, a limit of the reconnect policy is reached, or it is closing.
void RunReconnectCycle(OpcuaConnection& session, const ReconnectPolicy& policy);

// Records the token of the stack client's current session.
void RememberSessionToken(ClientLock& lock);

// After a disturbance of the link: when the stack replaced the session on its own,
// the subscriptions went with the old one and are created anew. The session is
// activated.
void ResumeIfSessionReplaced(ClientLock& lock);

// Installs the user-name identity and connects synchronously.
UA_StatusCode ConnectStackClient(ClientLock& lock, UA_Client* client);

}  // namespace velk::quarlink::internal
