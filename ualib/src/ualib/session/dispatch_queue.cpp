#include "session/dispatch_queue.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <system_error>

#include "logging/log.h"

namespace velk::quarlink::internal {
namespace {

template <typename Entry>
void Deliver(const Entry& queued) {
  if (queued.task) {
    queued.task();  // catches what its own code throws
    return;
  }
  const QueuedNotification& entry = queued.notification;
  if (!entry.second) return;
  try {
    entry.second(entry.first);
  } catch (const std::exception& e) {
    UALIB_LOG(kWarning, "SubscriptionHandler threw: {}", e.what());
  } catch (...) {
    UALIB_LOG(kWarning, "SubscriptionHandler threw non-std exception");
  }
}

}  // namespace

// One publish response can carry more notifications than the queue holds. While
// the worker keeps delivering, the iterator waits for room instead of dropping; a
// worker stuck in a handler is waited for once, and until it catches up the
// oldest notifications are dropped at once, so a slow host cannot stall the session.
void DispatchQueue::WaitForRoom(std::unique_lock<std::mutex>& lock) {
  Shared& shared = *shared_;
  if (shared.stalled || !shared.running || shared.worker == std::this_thread::get_id()) return;
  const bool roomMade = shared.room.wait_for(
      lock, kDispatchRoomWait, [&shared] { return shared.queue.size() < kDispatchQueueCap || !shared.running; });
  if (!roomMade) shared.stalled = true;
}

void DispatchQueue::Push(QueuedNotification entry) {
  std::optional<Entry> dropped;  // destroyed after the lock is released
  {
    std::unique_lock<std::mutex> lock(shared_->mutex);
    if (shared_->queue.size() >= kDispatchQueueCap) WaitForRoom(lock);
    if (shared_->queue.size() >= kDispatchQueueCap) {
      const auto oldest =
          std::find_if(shared_->queue.begin(), shared_->queue.end(), [](const Entry& queued) { return !queued.task; });
      if (oldest != shared_->queue.end()) {
        dropped.emplace(std::move(*oldest));
        shared_->queue.erase(oldest);
        ++shared_->dropped;
        ++shared_->done;
      }
    }
    shared_->queue.push_back(Entry{std::move(entry), {}});
    ++shared_->pushed;
  }
  shared_->cv.notify_one();
}

void DispatchQueue::PushTask(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->queue.push_back(Entry{{}, std::move(task)});
    ++shared_->pushed;
  }
  shared_->cv.notify_one();
}

void DispatchQueue::Flush() {
  std::unique_lock<std::mutex> lock(shared_->mutex);
  if (!shared_->running || shared_->worker == std::this_thread::get_id()) return;
  const uint64_t target = shared_->pushed;
  shared_->handled.wait(lock, [&] { return shared_->done >= target || !shared_->running; });
}

bool DispatchQueue::Running() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->running;
}

size_t DispatchQueue::Depth() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->queue.size();
}

DispatchQueue::Snapshot DispatchQueue::Look() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  Snapshot snapshot{shared_->queue.size(), std::nullopt, shared_->dropped};
  for (auto queued = shared_->queue.rbegin(); queued != shared_->queue.rend(); ++queued) {
    if (queued->task) continue;
    snapshot.newest = queued->notification.first;
    break;
  }
  return snapshot;
}

bool DispatchQueue::Start() {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->running = true;
  }
  try {
    thread_ = std::thread([shared = shared_] { Work(shared); });
  } catch (const std::system_error&) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->running = false;
    return false;
  }
  return true;
}

void DispatchQueue::Stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->running = false;
  }
  if (thread_.get_id() == std::this_thread::get_id()) {
    // Released from one of its own handlers: the worker delivers the rest and ends.
    thread_.detach();
    return;
  }
  shared_->cv.notify_all();
  shared_->handled.notify_all();
  shared_->room.notify_all();
  thread_.join();
}

void DispatchQueue::Work(const std::shared_ptr<Shared>& shared) {
  uint64_t lastReported = 0;
  {
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->worker = std::this_thread::get_id();
  }
  for (;;) {
    Entry entry;  // its handler copy goes at the end of the pass, which may release the session
    uint64_t dropped = 0;
    {
      std::unique_lock<std::mutex> lock(shared->mutex);
      shared->cv.wait(lock, [&shared] { return !shared->queue.empty() || !shared->running; });
      if (shared->queue.empty()) {
        shared->handled.notify_all();
        return;
      }
      entry = std::move(shared->queue.front());
      shared->queue.pop_front();
      if (shared->queue.size() < kDispatchQueueCap / 2) shared->stalled = false;
      dropped = shared->dropped;
    }
    shared->room.notify_one();
    if (dropped > lastReported) {
      UALIB_LOG(kWarning, "Subscription dispatch dropped {} oldest notification(s) due to queue overflow (cap={})",
                dropped - lastReported, kDispatchQueueCap);
      lastReported = dropped;
    }
    Deliver(entry);
    {
      std::lock_guard<std::mutex> lock(shared->mutex);
      ++shared->done;
    }
    shared->handled.notify_all();
  }
}

}  // namespace velk::quarlink::internal
