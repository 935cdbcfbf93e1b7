// Connection state delivery: the stack's state callback and the observers of the
// attached Clients.
#pragma once

#include <open62541/client.h>

#include <cstddef>

#include "session/session.h"

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

}  // namespace velk::quarlink::internal
