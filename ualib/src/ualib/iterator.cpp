// The session's background thread: drives the stack's event loop and watches the
// OPC UA session, running the reconnect cycle when it stays down.
#include <system_error>

#include "client_impl.h"
#include "log.h"
#include "session.h"

namespace velk::quarlink::internal {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kIteratePause{5};
constexpr milliseconds kLostPause{5};
constexpr milliseconds kNoClientPause{10};
constexpr unsigned kLostPassesBeforeReconnect = 2;

bool ReconnectAllowed(const OpcuaConnection& conn) {
  return conn.reconnectPolicy.enabled && !conn.closeRequested && !conn.reconnectGaveUp;
}

// What one pass saw of the session.
struct PassView {
  bool haveClient = false;
  bool down = false;  // a stack client exists and its session is not activated
};

// Probe: the session counts as down when a stack client exists and its session is
// not activated. Caller holds clientMutex.
bool SessionDown(OpcuaConnection& conn) {
  UA_SessionState session = UA_SESSIONSTATE_CLOSED;
  UA_Client_getState(conn.client, nullptr, &session, nullptr);
  if (session != UA_SESSIONSTATE_ACTIVATED) return true;
  if (conn.linkDisturbed.exchange(false)) ResumeIfSessionReplaced(conn);
  RecoverLostSubscription(conn);
  return false;
}

// Probe and iterate under one hold of the lock: the event loop is polled without
// waiting, and the thread takes its pause outside every lock. A waiting poll under
// the lock would make every request queue behind an idle iterator. Incoming data
// is still processed at least every few milliseconds, and during every request's
// own stack call. A session about to be reconnected is not iterated: the cycle
// takes the stack client over at once.
PassView ProbeAndIterate(OpcuaConnection& conn, bool reconnectNext) {
  ClientLock lock(conn);
  PassView view;
  view.haveClient = lock.client() != nullptr;
  if (!view.haveClient) return view;
  view.down = SessionDown(conn);
  if (!(view.down && reconnectNext && ReconnectAllowed(conn))) UA_Client_run_iterate(lock.client(), 0);
  return view;
}

void IteratorLoop(OpcuaConnection& conn) {
  unsigned lostPasses = 0;
  while (conn.iteratorRunning) {
    const PassView view = ProbeAndIterate(conn, lostPasses == kLostPassesBeforeReconnect);
    if (view.down && ReconnectAllowed(conn)) {
      if (lostPasses == kLostPassesBeforeReconnect) {
        RunReconnectCycle(conn, conn.endpoint, conn.username, conn.password);
        lostPasses = 0;
        continue;
      }
      ++lostPasses;
      conn.Pause(kLostPause + kIteratePause);
      continue;
    }
    lostPasses = 0;
    conn.Pause(view.haveClient ? kIteratePause : kNoClientPause);
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
