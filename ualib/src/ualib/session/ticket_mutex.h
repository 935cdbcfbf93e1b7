// A strictly first-come-first-served lock: a thread that unlocks and re-locks queues
// behind every thread that was already waiting, so a busy loop cannot starve others.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace velk::quarlink {

class TicketMutex {
 public:
  void lock();
  void unlock();

 private:
  std::mutex mutex;
  std::condition_variable cv;
  uint64_t nextTicket = 0;
  uint64_t nowServing = 0;
};

}  // namespace velk::quarlink
