// The session's background thread: drives the stack's event loop and watches the
// OPC UA session, running the reconnect cycle when it stays down.
#include "lifecycle/lifecycle.h"
#include "logging/log.h"
#include "session/client_impl.h"
#include "subscriptions/subscriptions.h"

namespace velk::quarlink::internal {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kIteratePause{5};
constexpr milliseconds kLostPause{5};
constexpr milliseconds kNoClientPause{10};
constexpr unsigned kLostPassesBeforeReconnect = 2;

// Probe: the session counts as down when a stack client exists and its session
// is not activated.
bool SessionDown(OpcuaConnection& session) {
  ClientLock lock(session);
  if (!lock.client()) return false;
  UA_SessionState state = UA_SESSIONSTATE_CLOSED;
  UA_Client_getState(lock.client(), nullptr, &state, nullptr);
  if (state != UA_SESSIONSTATE_ACTIVATED) return true;
  if (session.link().TakeDisturbance()) ResumeIfSessionReplaced(lock);
  RecoverLostSubscription(lock);
  RetryPendingResume(lock);
  return false;
}

bool ReconnectAllowed(const OpcuaConnection& session, const ReconnectPolicy& policy) {
  return policy.enabled && !session.link().Closing() && !session.link().GaveUp();
}

// Iterate: the event loop is polled without waiting while the lock is held, and
// the thread takes its pause outside every lock. A waiting poll under the lock
// would make every request queue behind an idle iterator. Incoming data is still
// processed at least every few milliseconds, and during every request's own
// stack call.
void IterateOnce(OpcuaConnection& session) {
  bool haveClient = false;
  {
    ClientLock lock(session);
    if (lock.client()) {
      haveClient = true;
      UA_Client_run_iterate(lock.client(), 0);
    }
  }
  session.Pause(haveClient ? kIteratePause : kNoClientPause);
}

void IteratorLoop(OpcuaConnection& session, const ReconnectPolicy& policy) {
  unsigned lostPasses = 0;
  while (session.IteratorRunning()) {
    const bool down = SessionDown(session);
    unsigned nextCount = 0;
    if (down && ReconnectAllowed(session, policy)) {
      if (lostPasses == kLostPassesBeforeReconnect) {
        RunReconnectCycle(session, policy);
        lostPasses = 0;
        continue;
      }
      session.Pause(kLostPause);
      nextCount = lostPasses + 1;
    }
    IterateOnce(session);
    lostPasses = nextCount;
  }
}

}  // namespace

bool EnsureIteratorThread(ClientLock& lock) {
  OpcuaConnection& session = lock.session();
  return session.StartIterator([&session, policy = lock->reconnectPolicy] { IteratorLoop(session, policy); });
}

}  // namespace velk::quarlink::internal
