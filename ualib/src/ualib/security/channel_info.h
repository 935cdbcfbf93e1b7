// How a secure channel is named to hosts: the security mode and the short policy
// name, for the status of a session and for the endpoints Discover lists.
#pragma once

#include <open62541/client.h>
#include <tessel/fnd/defs/comm_adapter.h>

#include <string>

namespace velk::quarlink::internal {

// None, Sign, SignAndEncrypt; Invalid for anything else.
const char* SecurityModeName(UA_MessageSecurityMode mode);

// "Basic256Sha256" for the full URI of a standard policy; other text unchanged.
std::string ShortPolicyName(std::string uri);

// "security_mode" and "security_policy" of the stack client's open channel; nothing
// when it has none. Caller holds the session lock.
void DescribeChannel(UA_Client* client, tessel::fnd::defs::PropertyMap& out);

}  // namespace velk::quarlink::internal
