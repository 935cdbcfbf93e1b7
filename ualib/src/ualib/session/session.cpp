// The shared session's lifetime: the process-wide registry and the fixed teardown order.
#include "session/session.h"

#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "logging/log.h"

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

  void Start(OpcuaConnection* session) {
    std::vector<std::thread> finished;  // joined outside the lock
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase_if(entries_, [&finished](Entry& entry) {
      if (!*entry.done) return false;
      finished.push_back(std::move(entry.thread));
      return true;
    });
    auto done = std::make_shared<std::atomic<bool>>(false);
    entries_.push_back({std::thread([session, done] {
                          delete session;
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

OpcuaConnection::OpcuaConnection(std::string endpointUrl, std::string user, std::string key)
    : endpoint_(std::move(endpointUrl)), username_(std::move(user)), registryKey_(std::move(key)) {}

std::shared_ptr<OpcuaConnection> OpcuaConnection::Create(std::string endpointUrl, std::string user, std::string key) {
  return std::shared_ptr<OpcuaConnection>(
      new OpcuaConnection(std::move(endpointUrl), std::move(user), std::move(key)), [](OpcuaConnection* session) {
        if (session->iteratorThread_.get_id() != std::this_thread::get_id()) {
          delete session;
          return;
        }
        // Released from inside the iterator (a stack callback freed a handler that
        // held the last Client): the teardown joins the iterator, which can only end
        // once this call has returned into it.
        try {
          TeardownThreads::Instance().Start(session);
        } catch (const std::system_error&) {
          UALIB_LOG(internal::kError, "Session teardown for {} could not start a thread; leaving it",
                    session->endpoint());
        }
      });
}

OpcuaConnection::~OpcuaConnection() {
  // 1. The iterator thread first: it is the only other user of the stack client
  //    that does not hold a reference to the session.
  if (iteratorRunning_.exchange(false)) {
    Wake();
    if (iteratorThread_.joinable()) iteratorThread_.join();
  }
  // 2. The stack client next; its callbacks reach the dispatch queue, so the
  //    queue's worker must outlive it.
  {
    internal::ClientLock lock(*this);
    if (UA_Client* client = lock.client()) {
      link_.RequestClose();
      UA_Client_disconnect(client);
      UA_Client_delete(client);
      lock->client = nullptr;
    }
  }
  // 3. Last the dispatch worker, after it delivered what is still queued.
  dispatch_.Stop();
}

// --- Connection state and observers ---

void OpcuaConnection::AttachObserver(StateObserver& observer) {
  std::lock_guard<std::mutex> lock(observersMutex_);
  observer.lastState = state_;
  observers_.push_back(&observer);
  // A session with an attached Client is never closing, even when the last Client
  // before this one has just marked it so on its way out.
  link_.CancelClose();
}

size_t OpcuaConnection::DetachObserver(StateObserver& observer, CloseIfLast closeIfLast) {
  std::lock_guard<std::mutex> lock(observersMutex_);
  const size_t attached = observers_.size();
  std::erase(observers_, &observer);
  if (closeIfLast == CloseIfLast::Yes && observers_.empty()) link_.RequestClose();
  return attached;
}

void OpcuaConnection::SwapHandler(StateObserver& observer, tessel::fnd::defs::ConnectionStateHandler& handler) {
  std::lock_guard<std::mutex> lock(observersMutex_);
  std::swap(observer.handler, handler);
}

tessel::fnd::defs::ConnectionState OpcuaConnection::State() const {
  std::lock_guard<std::mutex> lock(observersMutex_);
  return state_;
}

std::vector<OpcuaConnection::Delivery> OpcuaConnection::RecordState(tessel::fnd::defs::ConnectionState next) {
  std::vector<Delivery> deliveries;
  std::lock_guard<std::mutex> lock(observersMutex_);
  if (next == state_) return deliveries;
  if (next != tessel::fnd::defs::ConnectionState::Connected) link_.StackLeftConnected();
  state_ = next;
  deliveries.reserve(observers_.size());
  for (StateObserver* observer : observers_) {
    if (!observer || observer->lastState == next) continue;
    // Followed also without a handler, so one installed later names the state it left.
    const tessel::fnd::defs::ConnectionState previous = std::exchange(observer->lastState, next);
    if (observer->handler) deliveries.push_back({observer->handler, previous});
  }
  return deliveries;
}

void OpcuaConnection::ResetState() {
  std::lock_guard<std::mutex> lock(observersMutex_);
  state_ = tessel::fnd::defs::ConnectionState::Disconnected;
}

// --- The iterator thread ---

bool OpcuaConnection::StartIterator(std::function<void()> loop) {
  if (iteratorRunning_) return true;
  UALIB_LOG(internal::kDebug, "Starting background iterator thread for {}", endpoint_);
  iteratorRunning_ = true;
  try {
    iteratorThread_ = std::thread(std::move(loop));
    iteratorId_ = iteratorThread_.get_id();
  } catch (const std::system_error&) {
    iteratorRunning_ = false;
    return false;
  }
  return true;
}

bool OpcuaConnection::Pause(std::chrono::milliseconds duration, PauseWake wake) {
  std::unique_lock<std::mutex> lock(pauseMutex_);
  return !pauseCv_.wait_for(lock, duration, [this, wake] {
    return !iteratorRunning_ || !tasks_.empty() || (wake == PauseWake::OnStopOrClose && link_.Closing());
  });
}

void OpcuaConnection::Wake() {
  WakePauses();
  wakeup_.Wake();
}

void OpcuaConnection::PostTask(Task task) {
  {
    std::lock_guard<std::mutex> lock(pauseMutex_);
    tasks_.push_back(std::move(task));
  }
  Wake();
}

OpcuaConnection::Task OpcuaConnection::TakeTask() {
  std::lock_guard<std::mutex> lock(pauseMutex_);
  if (tasks_.empty()) return {};
  Task task = std::move(tasks_.front());
  tasks_.pop_front();
  return task;
}

bool OpcuaConnection::TasksPending() const {
  std::lock_guard<std::mutex> lock(pauseMutex_);
  return !tasks_.empty();
}

void OpcuaConnection::WakePauses() {
  // Taking the mutex orders the flag change before a sleeper's predicate check.
  { std::lock_guard<std::mutex> lock(pauseMutex_); }
  pauseCv_.notify_all();
}

namespace internal {

ClientLock::ClientLock(OpcuaConnection& session) : session_(session), requestedAt_(Clock::now()) {
  lock();
  acquiredAt_ = Clock::now();
}

ClientLock::~ClientLock() {
  if (held_) unlock();
}

void ClientLock::lock() const {
  session_.mutex_.lock();
  held_ = true;
}

void ClientLock::unlock() const {
  held_ = false;
  session_.mutex_.unlock();
}

}  // namespace internal
}  // namespace velk::quarlink
