// One request to the server: sent under the session lock, answered while no lock is
// held. Several threads of one session may have requests in flight at once; the
// iterator hands each response to the thread that waits for it.
#pragma once

#include <open62541/client.h>

#include "session/session.h"

namespace velk::quarlink::internal {

// The stack client's own request timeout.
inline constexpr UA_UInt32 kClientTimeout = 0;

// Sends request (its header first; the stack fills it in) and waits up to timeoutMs
// (kClientTimeout: the stack client's configured timeout) for the response, which is
// written to response. The session lock is released while waiting and held again
// when it returns. A response that comes too late is dropped; the result is then
// BadTimeout. Returns the response's service result.
UA_StatusCode AwaitService(const ClientLock& lock, void* request, const UA_DataType& requestType, void* response,
                           const UA_DataType& responseType, UA_UInt32 timeoutMs = kClientTimeout);

// One attribute of one node into out, as the stack's __UA_Client_readAttribute
// reads it: the Value attribute as a UA_Variant, any other as a scalar of outType.
UA_StatusCode AwaitAttribute(const ClientLock& lock, const UA_NodeId& node, UA_AttributeId attribute, void* out,
                             const UA_DataType& outType, UA_UInt32 timeoutMs = kClientTimeout);

}  // namespace velk::quarlink::internal
