// The shared session's lifetime: the process-wide registry and the fixed teardown order.
#include "session/session.h"

#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "logging/log.h"
#include "session/client_impl.h"
#include "subscriptions/subscriptions.h"

namespace velk::quarlink {

OpcuaConnectionRegistry& OpcuaConnectionRegistry::Instance() {
  static OpcuaConnectionRegistry registry;
  return registry;
}

namespace {

// Threads that finish a session's teardown away from the session's own threads.
// Each is joined once it is done, and all of them at exit at the latest, so none
// outlives the process's static objects.
class TeardownThreads {
 public:
  static TeardownThreads& Instance() {
    static TeardownThreads threads;
    return threads;
  }
  ~TeardownThreads() {
    for (Entry& entry : entries_) entry.thread.join();
  }

  void Start(OpcuaConnection* conn) {
    std::vector<std::thread> finished;  // joined outside the lock
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase_if(entries_, [&finished](Entry& entry) {
      if (!*entry.done) return false;
      finished.push_back(std::move(entry.thread));
      return true;
    });
    auto done = std::make_shared<std::atomic<bool>>(false);
    entries_.push_back({std::thread([conn, done] {
                          delete conn;
                          *done = true;
                        }),
                        done});
    for (std::thread& thread : finished) thread.join();
  }

 private:
  struct Entry {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::mutex mutex_;
  std::vector<Entry> entries_;
};

}  // namespace

std::shared_ptr<OpcuaConnection> OpcuaConnection::Create(std::string endpointUrl, std::string user, std::string key) {
  return std::shared_ptr<OpcuaConnection>(
      new OpcuaConnection(std::move(endpointUrl), std::move(user), std::move(key)), [](OpcuaConnection* conn) {
        if (conn->iteratorThread.get_id() != std::this_thread::get_id()) {
          delete conn;
          return;
        }
        // Released from inside the iterator (a stack callback freed a handler that
        // held the last Client): the teardown joins the iterator, which can only end
        // once this call has returned into it.
        try {
          TeardownThreads::Instance().Start(conn);
        } catch (const std::system_error&) {
          UALIB_LOG(internal::kError, "Session teardown for {} could not start a thread; leaving it", conn->endpoint);
        }
      });
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
