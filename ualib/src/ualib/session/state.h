// Connection state delivery: the stack's state callback.
#pragma once

#include <open62541/client.h>

namespace velk::quarlink::internal {

// The stack's state callback: maps channel/session/connect status to a host state
// and delivers each change to the handlers of the attached Clients.
void SdkStateCallback(UA_Client* client, UA_SecureChannelState channelState, UA_SessionState sessionState,
                      UA_StatusCode connectStatus);

}  // namespace velk::quarlink::internal
