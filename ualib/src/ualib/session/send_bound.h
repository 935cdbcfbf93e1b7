// Bounds every send of a stack client. The stack's TCP send waits for room in the
// socket's buffer without end, under the stack's lock: a frozen peer that stopped
// reading would hold the whole session forever. A send that finds no room within
// the client's request timeout closes the connection instead, so the request fails
// and the reconnect cycle takes over.
#pragma once

#include <open62541/client.h>

namespace velk::quarlink::internal {

// Replaces the send of the client's TCP connection manager; before the first connect.
void BoundSends(UA_Client* client);

}  // namespace velk::quarlink::internal
