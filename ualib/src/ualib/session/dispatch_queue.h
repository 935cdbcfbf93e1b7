// The session's notification queue and the one worker that calls the handlers in
// order, outside every lock, so user code never runs on the thread that drives the
// stack.
#pragma once

#include <tessel/fnd/defs/comm_adapter.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace velk::quarlink::internal {

inline constexpr size_t kDispatchQueueCap = 4096;
// How long a full queue waits for a worker that delivers before it drops the oldest.
inline constexpr std::chrono::milliseconds kDispatchRoomWait{20};

using QueuedNotification = std::pair<tessel::fnd::defs::Notification, tessel::fnd::defs::SubscriptionHandler>;

class DispatchQueue {
 public:
  DispatchQueue() = default;
  ~DispatchQueue() { Stop(); }
  DispatchQueue(const DispatchQueue&) = delete;
  DispatchQueue& operator=(const DispatchQueue&) = delete;

  // At the cap the oldest notification makes room and is counted; the worker
  // reports it.
  void Push(QueuedNotification entry);
  // Other work for the worker, such as a state change for the Clients' handlers: in
  // order with the notifications, and never dropped.
  void PushTask(std::function<void()> task);
  // Returns once the worker handled everything pushed before; at once when called
  // on the worker itself or while no worker runs.
  void Flush();
  bool Running() const;
  // Starts the worker; false when no thread could be started.
  bool Start();
  // Stops the worker after it delivered what is queued. Called on the worker itself
  // (one of its handlers released the last reference to the session), it lets the
  // worker finish the queue on its own instead of joining itself.
  void Stop();
  size_t Depth() const;
  // The queue at one moment, for diagnostics: its depth, its newest notification,
  // and how many were dropped at the cap so far.
  struct Snapshot {
    size_t depth = 0;
    std::optional<tessel::fnd::defs::Notification> newest;
    uint64_t dropped = 0;
  };
  Snapshot Look() const;

 private:
  // Shared with the worker, so a worker that outlives its session still has it.
  struct Entry {
    QueuedNotification notification;
    std::function<void()> task;  // set for work other than a notification
  };
  struct Shared {
    mutable std::mutex mutex;
    std::condition_variable cv;
    std::condition_variable handled;  // a Flush waits on it
    std::condition_variable room;     // a Push to a full queue waits on it
    bool stalled = false;             // a wait for room timed out; cleared when the worker catches up
    std::deque<Entry> queue;
    bool running = false;
    uint64_t dropped = 0;
    uint64_t pushed = 0;
    uint64_t done = 0;  // entries handled or dropped
    std::thread::id worker;
  };
  void WaitForRoom(std::unique_lock<std::mutex>& lock);
  static void Work(const std::shared_ptr<Shared>& shared);

  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
  std::thread thread_;
};

}  // namespace velk::quarlink::internal
