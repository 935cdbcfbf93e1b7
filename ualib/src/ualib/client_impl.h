// The private state of a Client, and the lock holder every request runs under.
#pragma once

#include <tessel/fnd/defs/comm_adapter.h>
#include <velk/quarlink/client.h>

#include <memory>
#include <mutex>

#include "connection.h"

namespace velk::quarlink {

struct Client::Impl {
  Impl() { observer.owner = this; }

  bool configured = false;
  tessel::fnd::defs::ConnectionOptions options;
  std::shared_ptr<OpcuaConnection> conn;  // null while not connected
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
  explicit ClientLock(OpcuaConnection& conn) : conn_(conn), lock_(conn.clientMutex) {}
  // The stack client, or null when the session has none.
  UA_Client* client() const { return conn_.client; }
  OpcuaConnection& connection() const { return conn_; }
  void unlock() { lock_.unlock(); }
  void lock() { lock_.lock(); }

 private:
  OpcuaConnection& conn_;
  std::unique_lock<TicketMutex> lock_;
};

}  // namespace internal
}  // namespace velk::quarlink
