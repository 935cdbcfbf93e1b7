// The session's background thread: drives the stack's event loop and watches the
// OPC UA session, running the reconnect cycle when it stays down.
#include <system_error>

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
bool SessionDown(OpcuaConnection& conn) {
  ClientLock lock(conn);
  if (!lock.client()) return false;
  UA_SessionState session = UA_SESSIONSTATE_CLOSED;
  UA_Client_getState(lock.client(), nullptr, &session, nullptr);
  if (session != UA_SESSIONSTATE_ACTIVATED) return true;
  if (conn.linkDisturbed.exchange(false)) ResumeIfSessionReplaced(conn);
  RecoverLostSubscription(conn);
  return false;
}

bool ReconnectAllowed(const OpcuaConnection& conn) {
  return conn.reconnectPolicy.enabled && !conn.closeRequested && !conn.reconnectGaveUp;
}

// Iterate: the event loop is polled without waiting while the lock is held, and
// the thread takes its pause outside every lock. A waiting poll under the lock
// would make every request queue behind an idle iterator. Incoming data is still
// processed at least every few milliseconds, and during every request's own
// stack call.
void IterateOnce(OpcuaConnection& conn) {
  bool haveClient = false;
  {
    ClientLock lock(conn);
    if (lock.client()) {
      haveClient = true;
      UA_Client_run_iterate(lock.client(), 0);
    }
  }
  conn.Pause(haveClient ? kIteratePause : kNoClientPause);
}

void IteratorLoop(OpcuaConnection& conn) {
  unsigned lostPasses = 0;
  while (conn.iteratorRunning) {
    const bool down = SessionDown(conn);
    unsigned nextCount = 0;
    if (down && ReconnectAllowed(conn)) {
      if (lostPasses == kLostPassesBeforeReconnect) {
        RunReconnectCycle(conn, conn.endpoint, conn.username, conn.password);
        lostPasses = 0;
        continue;
      }
      conn.Pause(kLostPause);
      nextCount = lostPasses + 1;
    }
    IterateOnce(conn);
    lostPasses = nextCount;
  }
}

}  // namespace

bool EnsureIteratorThread(OpcuaConnection& conn) {
  if (conn.iteratorRunning) return true;
  UALIB_LOG(kDebug, "Starting background iterator thread for {}", conn.endpoint);
  conn.iteratorRunning = true;
  try {
    conn.iteratorThread = std::thread([&conn] { IteratorLoop(conn); });
  } catch (const std::system_error&) {
    conn.iteratorRunning = false;
    return false;
  }
  return true;
}

}  // namespace velk::quarlink::internal
