// The private state of a Client, and the lock holder every request runs under.
#pragma once

#include <tessel/fnd/defs/comm_adapter.h>
#include <velk/quarlink/client.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

#include "session/session.h"

namespace velk::quarlink {

struct Client::Impl {
  Impl() { observer.owner = this; }

  bool configured = false;
  internal::Arrays arrays = internal::Arrays::Empty;  // "array_values": this Client's own choice
  tessel::fnd::defs::ConnectionOptions options;
  std::shared_ptr<OpcuaConnection> conn;  // null while not connected
  // True from Connect until Disconnect; a browse holds a copy and ends when it clears.
  std::shared_ptr<std::atomic<bool>> attachment = std::make_shared<std::atomic<bool>>(false);
  StateObserver observer;
  // Registration tokens hold a weak reference to this, so a token released after
  // its Client is gone does nothing instead of touching freed memory.
  std::shared_ptr<Impl*> liveness = std::make_shared<Impl*>(this);
};

namespace internal {

// Holds a session's clientMutex for the lifetime of one request (or one slice of
// one), released on every path.
class ClientLock {
 public:
  using Clock = std::chrono::steady_clock;

  explicit ClientLock(OpcuaConnection& conn)
      : conn_(conn), requestedAt_(Clock::now()), lock_(conn.clientMutex), acquiredAt_(Clock::now()) {}
  // The stack client, or null when the session has none.
  UA_Client* client() const { return conn_.client; }
  OpcuaConnection& connection() const { return conn_; }
  void unlock() { lock_.unlock(); }
  void lock() { lock_.lock(); }
  // When the lock was asked for and when it was obtained (for timing lines).
  Clock::time_point requestedAt() const { return requestedAt_; }
  Clock::time_point acquiredAt() const { return acquiredAt_; }

 private:
  OpcuaConnection& conn_;
  Clock::time_point requestedAt_;
  std::unique_lock<TicketMutex> lock_;
  Clock::time_point acquiredAt_;
};

// The shape every request shares: without a session, or with a session that has
// no stack client, the request is rejected (reject() logs and builds the answer);
// otherwise work(lock) runs while the session's clientMutex is held.
template <typename Reject, typename Work>
auto RunOnSession(const Client::Impl& impl, Reject&& reject, Work&& work) -> decltype(reject()) {
  if (!impl.conn) return reject();
  ClientLock lock(*impl.conn);
  if (!lock.client()) return reject();
  return work(lock);
}

}  // namespace internal
}  // namespace velk::quarlink
