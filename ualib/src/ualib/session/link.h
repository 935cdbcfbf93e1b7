// The link as requests see it. Only Connect and the reconnect cycle ever open a
// connection: a synchronous stack call on a stack client that is not connected
// would first run a whole connect of its own (up to its timeout) under the session
// lock, so every request item goes through SendIfLinkUp.
#pragma once

#include <open62541/client.h>

#include "session/session.h"

namespace velk::quarlink::internal {

// What an item gets when it is not sent because the link is down.
inline constexpr UA_StatusCode kLinkDownStatus = UA_STATUSCODE_BADCONNECTIONCLOSED;

// True when the channel is open, the session activated, and the link has not been
// found silent since. The session has a stack client.
bool LinkUp(const ClientLock& lock);

// Closes the channel of a link that stopped answering; from there the state
// delivery and the reconnect cycle take over.
void CloseSilentLink(const ClientLock& lock);
// The same from inside the event loop, where the session lock is not held.
void CloseSilentLink(OpcuaConnection& session, UA_Client* client);

// After a request timed out: a short read of the server's state tells a slow server
// from a link that stopped answering. Only a link from which nothing at all arrived
// during the probe (no answer to it, to another request or a late one, no
// notification) is closed: a single-threaded server busy with a slow request
// answers nothing else meanwhile, but answers that request in the end.
void ProbeAfterTimeout(const ClientLock& lock);

enum class OnTimeout { Probe, Accept };

// Runs one stack call (returning its status) only while the link is up. By default
// a timeout makes the link prove itself, so the items after it fail at once when it
// is gone; a single request that may legitimately outlast the timeout accepts it.
template <typename Send>
UA_StatusCode SendIfLinkUp(const ClientLock& lock, Send&& send, OnTimeout onTimeout = OnTimeout::Probe) {
  if (!LinkUp(lock)) return kLinkDownStatus;
  const UA_StatusCode status = send();
  if (status == UA_STATUSCODE_BADTIMEOUT && onTimeout == OnTimeout::Probe) ProbeAfterTimeout(lock);
  return status;
}

}  // namespace velk::quarlink::internal
