// Ends a wait of the session's iterator inside the stack's event loop from any
// thread: a UDP socket on 127.0.0.1 registered with the stack client's own event
// loop, and one byte sent to it. Only work the iterator must start itself needs it
// (a close, a task, the iterator's stop); a response to a request ends the wait by
// itself.
#pragma once

#include <open62541/client.h>

#include <atomic>
#include <cstdint>

namespace velk::quarlink::internal {

class Wakeup {
 public:
  Wakeup() = default;
  ~Wakeup();
  Wakeup(const Wakeup&) = delete;
  Wakeup& operator=(const Wakeup&) = delete;

  // Registers the receiving socket with the client's event loop, which must be
  // started (the client connected once). The stack closes that socket when the
  // client is deleted; this object must outlive the client. False when the event
  // loop has no UDP connection manager or a socket could not be opened: the
  // iterator then waits in short slices.
  bool Open(UA_Client* client);
  bool Opened() const { return port_.load() != 0; }
  // Safe from any thread, also before Open (then it does nothing).
  void Wake() const;

 private:
  static void OnConnection(UA_ConnectionManager* cm, uintptr_t connectionId, void* application,
                           void** connectionContext, UA_ConnectionState state, const UA_KeyValueMap* params,
                           UA_ByteString msg);

  std::atomic<uint16_t> port_{0};
  int sender_ = -1;
};

}  // namespace velk::quarlink::internal
