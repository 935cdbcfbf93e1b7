// Session machinery shared by the Client operations: state delivery, the iterator
// thread and the reconnect cycle.
#pragma once

#include <open62541/client.h>

#include <cstddef>
#include <string>

#include "connection.h"

namespace velk::quarlink::internal {

// The stack's state callback: maps channel/session/connect status to a host state
// and delivers each change to the handlers of the attached Clients.
void SdkStateCallback(UA_Client* client, UA_SecureChannelState channelState, UA_SessionState sessionState,
                      UA_StatusCode connectStatus);

// Attaching clears a close request: a session with attached Clients never closes.
void AttachObserver(OpcuaConnection& conn, StateObserver& observer);
// Returns how many Clients were attached before. With CloseIfLast::Yes (Disconnect)
// detaching the last one marks the session as closing, under the same lock.
enum class CloseIfLast { No, Yes };
size_t DetachObserver(OpcuaConnection& conn, StateObserver& observer, CloseIfLast closeIfLast = CloseIfLast::No);

// Starts the session's iterator thread unless it runs already; false when no thread
// could be started.
bool EnsureIteratorThread(OpcuaConnection& conn);

// Re-creates the session's subscription after the server or the stack dropped it.
// Caller holds clientMutex and the session has a stack client.
void RecoverLostSubscription(OpcuaConnection& conn);

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
