// The private state of a Client, and the shape every request runs in.
#pragma once

#include <tessel/fnd/defs/comm_adapter.h>
#include <velk/quarlink/client.h>

#include <atomic>
#include <memory>

#include "session/session.h"

namespace velk::quarlink {

struct Client::Impl {
  Impl() { observer.owner = this; }

  bool configured = false;
  internal::Arrays arrays = internal::Arrays::Empty;  // "array_values": this Client's own choice
  tessel::fnd::defs::ConnectionOptions options;
  std::shared_ptr<OpcuaConnection> session;  // null while not connected
  // True from Connect until Disconnect; a browse holds a copy and ends when it clears.
  std::shared_ptr<std::atomic<bool>> attachment = std::make_shared<std::atomic<bool>>(false);
  StateObserver observer;
  // Registration tokens hold a weak reference to this, so a token released after
  // its Client is gone does nothing instead of touching freed memory.
  std::shared_ptr<Impl*> liveness = std::make_shared<Impl*>(this);
};

namespace internal {

// The shape every request shares: without a session, or with a session that has
// no stack client, the request is rejected (reject() logs and builds the answer);
// otherwise work(lock) runs while the session lock is held.
template <typename Reject, typename Work>
auto RunOnSession(const Client::Impl& impl, Reject&& reject, Work&& work) -> decltype(reject()) {
  if (!impl.session) return reject();
  ClientLock lock(*impl.session);
  if (!lock.client()) return reject();
  return work(lock);
}

}  // namespace internal
}  // namespace velk::quarlink
