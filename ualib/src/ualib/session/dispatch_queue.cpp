#include "session/dispatch_queue.h"

#include <exception>
#include <optional>
#include <system_error>

#include "logging/log.h"

namespace velk::quarlink::internal {
namespace {

void Deliver(const QueuedNotification& entry) {
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

void DispatchQueue::Push(QueuedNotification entry) {
  std::optional<QueuedNotification> dropped;  // destroyed after the lock is released
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->queue.size() >= kDispatchQueueCap) {
      dropped.emplace(std::move(shared_->queue.front()));
      shared_->queue.pop_front();
      ++shared_->dropped;
    }
    shared_->queue.push_back(std::move(entry));
  }
  shared_->cv.notify_one();
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
  if (!shared_->queue.empty()) snapshot.newest = shared_->queue.back().first;
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
  thread_.join();
}

void DispatchQueue::Work(const std::shared_ptr<Shared>& shared) {
  uint64_t lastReported = 0;
  for (;;) {
    QueuedNotification entry;  // its handler copy goes at the end of the pass, which may release the session
    uint64_t dropped = 0;
    {
      std::unique_lock<std::mutex> lock(shared->mutex);
      shared->cv.wait(lock, [&shared] { return !shared->queue.empty() || !shared->running; });
      if (shared->queue.empty()) return;
      entry = std::move(shared->queue.front());
      shared->queue.pop_front();
      dropped = shared->dropped;
    }
    if (dropped > lastReported) {
      UALIB_LOG(kWarning, "Subscription dispatch dropped {} oldest notification(s) due to queue overflow (cap={})",
                dropped - lastReported, kDispatchQueueCap);
      lastReported = dropped;
    }
    Deliver(entry);
  }
}

}  // namespace velk::quarlink::internal
