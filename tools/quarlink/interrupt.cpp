#include "interrupt.h"

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <ctime>

#include "errors.h"
#include "output.h"

namespace quarlink {
namespace {

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

// Polled, so the watcher notices the tool's own end without a signal of its own.
constexpr auto kPollInterval = std::chrono::milliseconds(100);

timespec ToTimespec(std::chrono::nanoseconds wait) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait);
  return {static_cast<time_t>(seconds.count()), static_cast<long>((wait - seconds).count())};
}

}  // namespace

InterruptWatcher::InterruptWatcher() {
  const sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  thread_ = std::thread([this] { Watch(); });
}

InterruptWatcher::~InterruptWatcher() {
  stopping_ = true;
  thread_.join();
}

bool InterruptWatcher::WaitUntil(std::optional<std::chrono::steady_clock::time_point> deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto interrupted = [this] { return flag_->load(); };
  if (!deadline) {
    signalled_.wait(lock, interrupted);
    return true;
  }
  return signalled_.wait_until(lock, *deadline, interrupted);
}

void InterruptWatcher::ExitOnInterrupt(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  exitOnInterrupt_ = on;
}

void InterruptWatcher::ExitAt(std::chrono::steady_clock::time_point deadline, int code, std::string message) {
  std::lock_guard<std::mutex> lock(mutex_);
  deadline_ = deadline;
  deadlineCode_ = code;
  deadlineMessage_ = std::move(message);
}

void InterruptWatcher::Disarm() {
  std::lock_guard<std::mutex> lock(mutex_);
  deadline_.reset();
}

// From the watcher thread, while the main thread is blocked in the stack: nothing is
// torn down (the demo server ends by itself once its parent is gone).
void InterruptWatcher::Exit(int code, const std::string& message) {
  std::fflush(stdout);
  PrintLine(stderr, message);
  _exit(code);
}

void InterruptWatcher::Watch() {
  const sigset_t set = StopSignals();
  while (!stopping_) {
    std::chrono::nanoseconds wait = kPollInterval;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (deadline_) {
        const auto left = *deadline_ - std::chrono::steady_clock::now();
        if (left <= std::chrono::nanoseconds::zero()) Exit(deadlineCode_, deadlineMessage_);
        wait = std::min<std::chrono::nanoseconds>(wait, left);
      }
    }
    const timespec timeout = ToTimespec(wait);
    const int signal = sigtimedwait(&set, nullptr, &timeout);
    if (signal < 0) continue;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (exitOnInterrupt_ && !flag_->load()) Exit(kExitInterrupted, "quarlink: interrupted");
    }
    if (flag_->load()) {
      // The second one: let it end the process as if nothing had caught it.
      std::signal(signal, SIG_DFL);
      pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
      raise(signal);
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      flag_->store(true);
    }
    signalled_.notify_all();
  }
}

}  // namespace quarlink
