// Collects the notifications a subscription handler receives. The handler shares
// the storage, so a recorder may go out of scope before the session that still
// delivers to it.
#pragma once

#include <velk/quarlink/client.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ualib_test {

class NotificationRecorder {
 public:
  tessel::fnd::defs::SubscriptionHandler Handler() {
    return [store = store_](const tessel::fnd::defs::Notification& n) {
      std::lock_guard<std::mutex> lock(store->mutex);
      store->received.push_back(n);
    };
  }
  size_t Count() const { return All().size(); }
  size_t CountFor(const std::string& address) const {
    size_t n = 0;
    for (const auto& r : All()) n += r.address == address ? 1 : 0;
    return n;
  }
  std::vector<tessel::fnd::defs::Notification> All() const {
    std::lock_guard<std::mutex> lock(store_->mutex);
    return store_->received;
  }

 private:
  struct Store {
    std::mutex mutex;
    std::vector<tessel::fnd::defs::Notification> received;
  };
  std::shared_ptr<Store> store_ = std::make_shared<Store>();
};

}  // namespace ualib_test
