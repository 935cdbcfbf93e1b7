// Records the connection-state changes a handler receives, and on which thread.
#pragma once

#include <velk/quarlink/client.h>

#include <algorithm>
#include <mutex>
#include <thread>
#include <vector>

namespace ualib_test {

class StateRecorder {
 public:
  tessel::fnd::defs::ConnectionStateHandler Handler() {
    return [this](const tessel::fnd::defs::ConnectionStateChange& change) {
      std::lock_guard<std::mutex> lock(mutex_);
      changes_.push_back(change);
      threads_.push_back(std::this_thread::get_id());
    };
  }
  std::vector<tessel::fnd::defs::ConnectionStateChange> Changes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return changes_;
  }
  std::vector<std::thread::id> Threads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
  }
  std::vector<tessel::fnd::defs::ConnectionState> Currents() const {
    std::vector<tessel::fnd::defs::ConnectionState> out;
    for (const auto& change : Changes()) out.push_back(change.current);
    return out;
  }
  bool Saw(tessel::fnd::defs::ConnectionState state) const {
    const auto seen = Currents();
    return std::find(seen.begin(), seen.end(), state) != seen.end();
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    changes_.clear();
    threads_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<tessel::fnd::defs::ConnectionStateChange> changes_;
  std::vector<std::thread::id> threads_;
};

}  // namespace ualib_test
