#include "ticket_mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "test_server.h"

namespace {

using velk::quarlink::TicketMutex;
using namespace std::chrono_literals;

// Counts threads that drew a ticket and are waiting for their turn: lock() blocks
// in the condition variable, so a waiter is visible once it stopped running.
class OrderRecorder {
 public:
  void Record(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    order_.push_back(id);
  }
  std::vector<int> Order() {
    std::lock_guard<std::mutex> lock(mutex_);
    return order_;
  }

 private:
  std::mutex mutex_;
  std::vector<int> order_;
};

// Starts a thread that locks the mutex, records its id and unlocks, and waits
// until that thread has drawn its ticket (announced just before lock()). The short
// settle wait only makes the ticket draw happen before the next thread starts;
// correctness of the assertions does not depend on its length.
std::thread StartWaiter(TicketMutex& mutex, OrderRecorder& recorder, int id, std::atomic<int>& started) {
  std::thread t([&mutex, &recorder, id, &started] {
    started.fetch_add(1);
    std::lock_guard<TicketMutex> lock(mutex);
    recorder.Record(id);
  });
  ualib_test::WaitFor([&] { return started.load() == id + 1; }, 2s);
  std::this_thread::sleep_for(20ms);
  return t;
}

TEST(TicketMutex, WaitersAreServedInArrivalOrder) {
  TicketMutex mutex;
  OrderRecorder recorder;
  std::atomic<int> started{0};
  mutex.lock();
  std::vector<std::thread> waiters;
  for (int id = 0; id < 3; ++id) waiters.push_back(StartWaiter(mutex, recorder, id, started));
  mutex.unlock();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(recorder.Order(), (std::vector<int>{0, 1, 2}));
}

TEST(TicketMutex, RelockingQueuesBehindThoseAlreadyWaiting) {
  TicketMutex mutex;
  OrderRecorder recorder;
  std::atomic<int> started{0};
  mutex.lock();
  std::thread waiter = StartWaiter(mutex, recorder, 0, started);
  mutex.unlock();
  mutex.lock();  // draws a ticket behind the waiter
  recorder.Record(99);
  mutex.unlock();
  waiter.join();
  EXPECT_EQ(recorder.Order(), (std::vector<int>{0, 99}));
}

TEST(TicketMutex, ManyThreadsKeepMutualExclusion) {
  TicketMutex mutex;
  int counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        std::lock_guard<TicketMutex> lock(mutex);
        ++counter;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 8 * 2000);
}

}  // namespace
