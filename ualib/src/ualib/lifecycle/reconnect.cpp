// The reconnect cycle: runs on the session's iterator thread once the session has
// stayed down, within the interval, attempt and duration limits of its policy.
#include <open62541/client_highlevel.h>

#include <optional>

#include "lifecycle/lifecycle.h"
#include "logging/log.h"
#include "session/await.h"
#include "session/batching.h"
#include "session/client_impl.h"
#include "session/link.h"
#include "subscriptions/subscriptions.h"
#include "values/status.h"
#include "values/ua_types.h"

namespace velk::quarlink::internal {
namespace {

using Clock = std::chrono::steady_clock;

bool ShouldStop(const OpcuaConnection& session) { return !session.IteratorRunning() || session.link().Closing(); }

// Unparseable node: ready. Failed read or no value: not ready. An Int32/UInt32
// scalar is ready exactly at 0 (Running); any other value counts as ready.
bool ServerReady(OpcuaConnection& session, const ReconnectPolicy& policy) {
  ClientLock lock(session);
  UaNodeId node;
  if (!lock.client() || !ParseNodeId(policy.serverStatusNode, *node)) return true;
  UaVariant value;
  const UA_StatusCode status = SendIfLinkUp(
      lock, [&] { return AwaitAttribute(lock, *node, UA_ATTRIBUTEID_VALUE, value.get(), UA_TYPES[UA_TYPES_VARIANT]); });
  if (status != UA_STATUSCODE_GOOD || UA_Variant_isEmpty(value.get())) return false;
  if (!UA_Variant_isScalar(value.get())) return true;
  if (value->type == &UA_TYPES[UA_TYPES_INT32]) return *static_cast<UA_Int32*>(value->data) == 0;
  if (value->type == &UA_TYPES[UA_TYPES_UINT32]) return *static_cast<UA_UInt32*>(value->data) == 0;
  return true;
}

enum class Limit { None, Attempts, Duration };

Limit LimitReached(const ReconnectPolicy& policy, uint32_t attempts, Clock::time_point start, int64_t& elapsedMs) {
  if (policy.maxAttempts != 0 && attempts + 1 > policy.maxAttempts) return Limit::Attempts;
  elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  if (policy.maxDurationMs != 0 && elapsedMs > static_cast<int64_t>(policy.maxDurationMs)) return Limit::Duration;
  return Limit::None;
}

// One connect attempt on the existing stack client. A failed attempt leaves a bad
// connect status behind, which the stack treats as final until it is disconnected.
// Empty when the session has no stack client any more.
std::optional<UA_StatusCode> Attempt(OpcuaConnection& session, bool afterFailure) {
  ClientLock lock(session);
  if (!lock.client()) return std::nullopt;
  if (afterFailure) UA_Client_disconnect(lock.client());
  return ConnectStackClient(lock, lock.client());
}

UaNodeId CurrentSessionToken(UA_Client* client) {
  UaNodeId token;
  UaOwned<UA_ByteString> nonce;
  UA_Client_getSessionAuthenticationToken(client, token.get(), nonce.get());
  return token;
}

// A session that connected but never reported Running keeps its stale
// subscriptions; remembering its token keeps the iterator from resuming them later.
void GiveUp(OpcuaConnection& session) {
  session.link().GiveUp();
  ClientLock lock(session);
  if (lock.client()) lock->sessionToken = CurrentSessionToken(lock.client());
}

}  // namespace

void RememberSessionToken(ClientLock& lock) {
  if (lock.client()) lock->sessionToken = CurrentSessionToken(lock.client());
}

void ResumeIfSessionReplaced(ClientLock& lock) {
  UaNodeId current = CurrentSessionToken(lock.client());
  if (UA_NodeId_equal(current.get(), lock->sessionToken.get())) return;
  UALIB_LOG(kInfo, "Reconnect: {} restored the link with a new session; re-creating its subscriptions",
            lock.session().endpoint());
  ReadOperationLimits(lock);
  ResumeSubscriptions(lock);
  lock->sessionToken = std::move(current);
}

void RunReconnectCycle(OpcuaConnection& session, const ReconnectPolicy& policy) {
  const Clock::time_point start = Clock::now();
  const std::string& endpoint = session.endpoint();
  UALIB_LOG(kInfo, "Reconnect: starting (endpoint={} interval={}ms max_attempts={} max_duration={}ms)", endpoint,
            policy.intervalMs, policy.maxAttempts, policy.maxDurationMs);
  {
    ClientLock lock(session);
    if (lock.client()) UA_Client_disconnect(lock.client());
  }
  uint32_t attempts = 0;
  bool lastFailed = false;
  for (;;) {
    if (ShouldStop(session)) return;
    if (policy.intervalMs != 0)
      PauseServingTasks(session, std::chrono::milliseconds(policy.intervalMs),
                        OpcuaConnection::PauseWake::OnStopOrClose);
    if (ShouldStop(session)) return;
    const uint32_t n = attempts + 1;
    int64_t elapsedMs = 0;
    switch (LimitReached(policy, attempts, start, elapsedMs)) {
      case Limit::Attempts:
        UALIB_LOG(kError, "Reconnect: giving up after {} attempts", attempts);
        GiveUp(session);
        return;
      case Limit::Duration:
        UALIB_LOG(kError, "Reconnect: giving up after {}ms (max_duration_ms reached)", elapsedMs);
        GiveUp(session);
        return;
      case Limit::None:
        break;
    }
    const std::optional<UA_StatusCode> attempt = Attempt(session, lastFailed);
    if (!attempt) return;
    const UA_StatusCode status = *attempt;
    lastFailed = status != UA_STATUSCODE_GOOD;
    if (lastFailed) {
      const char* name = UA_StatusCode_name(status);
      UALIB_LOG(kDebug, "Reconnect attempt {} failed: {}", n, name ? name : "unknown OPC UA status");
      attempts = n;
      continue;
    }
    if (policy.waitForServerReady && !ServerReady(session, policy)) {
      UALIB_LOG(kDebug, "Reconnect: server not yet RUNNING, deferring resubscription");
      attempts = n;
      continue;
    }
    {
      ClientLock lock(session);
      if (lock.client()) {
        ReadOperationLimits(lock);
        ResumeSubscriptions(lock);
      }
      RememberSessionToken(lock);
    }
    UALIB_LOG(kInfo, "Reconnect: successful after {} attempt(s)", n);
    return;
  }
}

}  // namespace velk::quarlink::internal
