// Records the connection-state changes a handler receives, and on which thread.
// The handler shares the storage, so the recorder may go before the session.
#pragma once

#include <velk/quarlink/client.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace ualib_test {

class StateRecorder {
 public:
  tessel::fnd::defs::ConnectionStateHandler Handler() {
    return [store = store_](const tessel::fnd::defs::ConnectionStateChange& change) {
      std::lock_guard<std::mutex> lock(store->mutex);
      store->changes.push_back(change);
      store->threads.push_back(std::this_thread::get_id());
    };
  }
  std::vector<tessel::fnd::defs::ConnectionStateChange> Changes() const {
    std::lock_guard<std::mutex> lock(store_->mutex);
    return store_->changes;
  }
  std::vector<std::thread::id> Threads() const {
    std::lock_guard<std::mutex> lock(store_->mutex);
    return store_->threads;
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
    std::lock_guard<std::mutex> lock(store_->mutex);
    store_->changes.clear();
    store_->threads.clear();
  }

 private:
  struct Store {
    std::mutex mutex;
    std::vector<tessel::fnd::defs::ConnectionStateChange> changes;
    std::vector<std::thread::id> threads;
  };
  std::shared_ptr<Store> store_ = std::make_shared<Store>();
};

}  // namespace ualib_test
