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

// After a request timed out: a short read of the server's state tells a slow node
// from a link that stopped answering; the latter is closed.
void ProbeAfterTimeout(const ClientLock& lock);

// Sets the stack client's request timeout for one scope and always puts the saved
// value back. The session lock is held throughout, so no other request of the
// session runs with the replaced value.
class ScopedRequestTimeout {
 public:
  ScopedRequestTimeout(const ClientLock& lock, UA_UInt32 timeoutMs)
      : config_(UA_Client_getConfig(lock.client())), saved_(config_->timeout) {
    config_->timeout = timeoutMs;
  }
  ~ScopedRequestTimeout() { config_->timeout = saved_; }
  ScopedRequestTimeout(const ScopedRequestTimeout&) = delete;
  ScopedRequestTimeout& operator=(const ScopedRequestTimeout&) = delete;

  UA_UInt32 saved() const { return saved_; }

 private:
  UA_ClientConfig* config_;
  const UA_UInt32 saved_;
};

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
