#include "session/ticket_mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "test_server.h"

namespace {

using velk::quarlink::TicketMutex;
using namespace std::chrono_literals;

// Threads 0..2 queue up while the mutex is held, each after the previous one drew
// its ticket (the short settle only orders the draws; the assertions do not depend
// on its length); the holder then unlocks and re-locks at once. Strict arrival
// order serves the waiters first and the re-locking holder last.
TEST(TicketMutex, ServesInArrivalOrderAndRelockingQueuesBehindTheWaiters) {
  TicketMutex mutex;
  std::mutex orderMutex;
  std::vector<int> order;
  const auto record = [&](int id) {
    std::lock_guard<std::mutex> lock(orderMutex);
    order.push_back(id);
  };
  std::atomic<int> started{0};
  std::vector<std::thread> waiters;
  mutex.lock();
  for (int id = 0; id < 3; ++id) {
    waiters.emplace_back([&, id] {
      ++started;
      std::lock_guard<TicketMutex> lock(mutex);
      record(id);
    });
    ualib_test::WaitFor([&] { return started == id + 1; }, 2s);
    std::this_thread::sleep_for(20ms);
  }
  mutex.unlock();
  mutex.lock();
  record(99);
  mutex.unlock();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 99}));
}

}  // namespace
