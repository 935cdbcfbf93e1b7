#include "interrupt.h"

#include <csignal>
#include <ctime>

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
constexpr timespec kPollInterval{0, 100'000'000};

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

void InterruptWatcher::Watch() {
  const sigset_t set = StopSignals();
  while (!stopping_) {
    const int signal = sigtimedwait(&set, nullptr, &kPollInterval);
    if (signal < 0) continue;
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
