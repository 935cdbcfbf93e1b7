// The session's background thread: owns the stack's event loop. It waits in the
// loop holding no adapter lock, so responses, notifications and state changes are
// handled as they arrive; between waits it runs the work only it may do (tasks,
// resuming subscriptions, the reconnect cycle) under the session lock.
#include <algorithm>

#include "lifecycle/lifecycle.h"
#include "logging/log.h"
#include "session/client_impl.h"
#include "subscriptions/subscriptions.h"

namespace velk::quarlink::internal {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// The longest wait in the event loop; the stack's own timers (publishing, the
// connectivity check, its housekeeping) and every arrival end it sooner.
constexpr milliseconds kLongestWait{1000};
// Without a wake-up socket, work asked for from other threads waits up to this.
constexpr milliseconds kWaitWithoutWakeup{20};
constexpr milliseconds kLostPause{5};
constexpr milliseconds kNoClientPause{10};
constexpr unsigned kLostPassesBeforeReconnect = 2;

// Check: the session counts as down when a stack client exists and its session is
// not activated. While it is up, what the stack's callbacks noted is acted on.
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

// How long the event loop may wait before the iterator has something to do itself.
milliseconds WaitBound(OpcuaConnection& session) {
  ClientLock lock(session);
  milliseconds bound = session.wakeup().Opened() ? kLongestWait : kWaitWithoutWakeup;
  if (lock->resumePending) {
    const auto due = std::chrono::duration_cast<milliseconds>(lock->nextResumeAt - Clock::now());
    bound = std::clamp(due, milliseconds{1}, bound);
  }
  return bound;
}

// Waits in the event loop without the session lock. The stack client is deleted
// only after this thread was joined, so its pointer stays valid.
void Iterate(OpcuaConnection& session, milliseconds bound) {
  UA_Client* client = nullptr;
  {
    ClientLock lock(session);
    client = lock.client();
  }
  if (!client) {
    session.Pause(kNoClientPause);
    return;
  }
  if (session.TasksPending() || !session.IteratorRunning()) return;
  UA_Client_run_iterate(client, static_cast<UA_UInt32>(bound.count()));
}

void IteratorLoop(OpcuaConnection& session, const ReconnectPolicy& policy) {
  unsigned lostPasses = 0;
  while (session.IteratorRunning()) {
    RunIteratorTasks(session);
    // Counting the passes towards a reconnect; otherwise a session that stays down
    // (no reconnect allowed) waits as long as an idle one.
    const bool counting = SessionDown(session) && ReconnectAllowed(session, policy);
    unsigned nextCount = 0;
    if (counting) {
      if (lostPasses == kLostPassesBeforeReconnect) {
        RunReconnectCycle(session, policy);
        lostPasses = 0;
        continue;
      }
      nextCount = lostPasses + 1;
    }
    Iterate(session, counting ? kLostPause : WaitBound(session));
    lostPasses = nextCount;
  }
  RunIteratorTasks(session);
}

}  // namespace

void RunIteratorTasks(OpcuaConnection& session) {
  while (OpcuaConnection::Task task = session.TakeTask()) {
    ClientLock lock(session);
    task(lock);
  }
}

void PauseServingTasks(OpcuaConnection& session, milliseconds duration, OpcuaConnection::PauseWake wake) {
  const Clock::time_point end = Clock::now() + duration;
  for (;;) {
    RunIteratorTasks(session);
    const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now());
    if (left <= milliseconds{0} || session.Pause(left, wake)) return;
    if (!session.IteratorRunning() || (wake == OpcuaConnection::PauseWake::OnStopOrClose && session.link().Closing()))
      return;
  }
}

bool EnsureIteratorThread(ClientLock& lock) {
  OpcuaConnection& session = lock.session();
  if (!session.IteratorRunning() && !session.wakeup().Open(lock.client()))
    UALIB_LOG(kDebug, "No wake-up socket for {}: the iterator waits in short slices", session.endpoint());
  return session.StartIterator([&session, policy = lock->reconnectPolicy] { IteratorLoop(session, policy); });
}

}  // namespace velk::quarlink::internal
