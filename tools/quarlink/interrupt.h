// SIGINT and SIGTERM as an event the commands wait for, instead of an abrupt end.
#pragma once

#include <tessel/fnd/defs/comm_adapter.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace quarlink {

// Construct first, before any other thread exists: it blocks both signals in the
// calling thread, and every thread started later inherits that, so only the watcher
// sees them. The first signal sets the flag (also the requests' cancellation flag);
// a second one ends the process the default way, for a command stuck in a call.
class InterruptWatcher {
 public:
  InterruptWatcher();
  ~InterruptWatcher();
  InterruptWatcher(const InterruptWatcher&) = delete;
  InterruptWatcher& operator=(const InterruptWatcher&) = delete;

  bool Interrupted() const { return flag_->load(); }
  // Returns true when a signal arrived before `deadline` (without one: waits for it).
  bool WaitUntil(std::optional<std::chrono::steady_clock::time_point> deadline);
  tessel::fnd::defs::CancellationToken Token() const { return {flag_}; }

 private:
  void Watch();

  std::shared_ptr<std::atomic<bool>> flag_ = std::make_shared<std::atomic<bool>>(false);
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::condition_variable signalled_;
  std::thread thread_;  // last: started once the members above exist
};

}  // namespace quarlink
