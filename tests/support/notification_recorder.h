// Collects the notifications a subscription handler receives.
#pragma once

#include <velk/quarlink/client.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace ualib_test {

class NotificationRecorder {
 public:
  tessel::fnd::defs::SubscriptionHandler Handler() {
    return [this](const tessel::fnd::defs::Notification& n) {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.push_back(n);
    };
  }
  size_t Count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_.size();
  }
  size_t CountFor(const std::string& address) const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const auto& r : received_) n += r.address == address ? 1 : 0;
    return n;
  }
  std::vector<tessel::fnd::defs::Notification> All() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<tessel::fnd::defs::Notification> received_;
};

}  // namespace ualib_test
