// SIGINT and SIGTERM as an event the commands wait for, and the watchdog that ends
// the process when a blocking step outlives its deadline.
#pragma once

#include <tessel/fnd/defs/comm_adapter.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace quarlink {

// Construct first, before any other thread exists: it blocks both signals in the
// calling thread, and every thread started later inherits that, so only the watcher
// sees them. The first signal sets the flag (also the requests' cancellation flag),
// or, once ExitOnInterrupt is on, ends the process at once with 130; a second one
// ends the process the default way, for a command stuck in a call.
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

  // On: a signal prints "quarlink: interrupted" and ends the process with 130 at once,
  // for steps that cannot be cancelled (connect, a call the server is still running).
  void ExitOnInterrupt(bool on);
  // Prints `message` and ends the process with `code` when `deadline` passes before
  // Disarm; one deadline at a time.
  void ExitAt(std::chrono::steady_clock::time_point deadline, int code, std::string message);
  void Disarm();

 private:
  void Watch();
  [[noreturn]] static void Exit(int code, const std::string& message);

  std::shared_ptr<std::atomic<bool>> flag_ = std::make_shared<std::atomic<bool>>(false);
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::condition_variable signalled_;
  // Guarded by mutex_.
  bool exitOnInterrupt_ = false;
  std::optional<std::chrono::steady_clock::time_point> deadline_;
  int deadlineCode_ = 0;
  std::string deadlineMessage_;
  std::thread thread_;  // last: started once the members above exist
};

}  // namespace quarlink
