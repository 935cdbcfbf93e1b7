// The shared session's lifetime: the process-wide registry and the fixed teardown order.
#include "connection.h"

#include "client_impl.h"
#include "subscriptions.h"

namespace velk::quarlink {

OpcuaConnectionRegistry& OpcuaConnectionRegistry::Instance() {
  static OpcuaConnectionRegistry registry;
  return registry;
}

OpcuaConnection::~OpcuaConnection() {
  // 1. The iterator thread first: it is the only other user of the stack client
  //    that does not hold a reference to the session.
  if (iteratorRunning.exchange(false)) {
    WakePauses();
    if (iteratorThread.joinable()) iteratorThread.join();
  }
  // 2. The stack client next; its callbacks reach the dispatch queue, so the
  //    queue's worker must outlive it.
  {
    std::lock_guard<TicketMutex> lock(clientMutex);
    if (client) {
      closeRequested = true;
      UA_Client_disconnect(client);
      UA_Client_delete(client);
      client = nullptr;
    }
  }
  // 3. Last the dispatch worker, after it delivered what is still queued.
  internal::StopDispatchWorker(*this);
}

bool OpcuaConnection::Pause(std::chrono::milliseconds duration, PauseWake wake) {
  std::unique_lock<std::mutex> lock(pauseMutex);
  return !pauseCv.wait_for(lock, duration, [this, wake] {
    return !iteratorRunning || (wake == PauseWake::OnStopOrClose && closeRequested);
  });
}

void OpcuaConnection::WakePauses() {
  // Taking the mutex orders the flag change before a sleeper's predicate check.
  { std::lock_guard<std::mutex> lock(pauseMutex); }
  pauseCv.notify_all();
}

}  // namespace velk::quarlink
