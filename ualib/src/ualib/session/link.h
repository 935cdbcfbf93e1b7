// The state of a session's link as requests see it. Only Connect and the reconnect
// cycle ever open a connection: a synchronous stack call on a stack client that is
// not connected would first run a whole connect of its own (up to its timeout) under
// the session lock, so every request item goes through SendIfLinkUp.
#pragma once

#include <open62541/client.h>

#include "session/session.h"

namespace velk::quarlink::internal {

// What an item gets when it is not sent because the link is down.
inline constexpr UA_StatusCode kLinkDownStatus = UA_STATUSCODE_BADCONNECTIONCLOSED;

// True when the channel is open, the session activated, and the link has not been
// found silent since. Caller holds clientMutex and the session has a stack client.
bool LinkUp(const OpcuaConnection& conn);

// Closes the channel of a link that stopped answering; from there the state
// delivery and the reconnect cycle take over. Caller holds clientMutex.
void CloseSilentLink(OpcuaConnection& conn);

// After a request timed out: a short read of the server's state tells a slow node
// from a link that stopped answering; the latter is closed. Caller holds clientMutex.
void ProbeAfterTimeout(OpcuaConnection& conn);

// Sets the stack client's request timeout for one scope and always puts the saved
// value back. The caller holds clientMutex throughout, so no other request of the
// session runs with the replaced value.
class ScopedRequestTimeout {
 public:
  ScopedRequestTimeout(UA_Client* client, UA_UInt32 timeoutMs)
      : config_(UA_Client_getConfig(client)), saved_(config_->timeout) {
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
// Caller holds clientMutex.
template <typename Send>
UA_StatusCode SendIfLinkUp(OpcuaConnection& conn, Send&& send, OnTimeout onTimeout = OnTimeout::Probe) {
  if (!LinkUp(conn)) return kLinkDownStatus;
  const UA_StatusCode status = send();
  if (status == UA_STATUSCODE_BADTIMEOUT && onTimeout == OnTimeout::Probe) ProbeAfterTimeout(conn);
  return status;
}

}  // namespace velk::quarlink::internal
