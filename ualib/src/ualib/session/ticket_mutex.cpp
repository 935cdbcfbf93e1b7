#include "session/ticket_mutex.h"

namespace velk::quarlink {

void TicketMutex::lock() {
  std::unique_lock<std::mutex> guard(mutex);
  const uint64_t my = nextTicket++;
  cv.wait(guard, [&] { return my == nowServing; });
}

void TicketMutex::unlock() {
  {
    std::lock_guard<std::mutex> guard(mutex);
    ++nowServing;
  }
  cv.notify_all();
}

}  // namespace velk::quarlink
