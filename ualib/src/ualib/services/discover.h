// Descriptions of endpoints and secure channels shared by Discover and the status.
#pragma once

#include <open62541/client.h>
#include <tessel/fnd/defs/comm_adapter.h>

namespace velk::quarlink::internal {

// "security_mode" (None, Sign, SignAndEncrypt) and "security_policy" (the short name)
// of the stack client's open channel; nothing when it has none. Caller holds clientMutex.
void DescribeChannel(UA_Client* client, tessel::fnd::defs::PropertyMap& out);

}  // namespace velk::quarlink::internal
