// What keeps a session going: the iterator thread and the reconnect cycle.
#pragma once

#include <open62541/client.h>

#include <chrono>
#include <optional>
#include <semaphore>
#include <string>

#include "session/client_impl.h"
#include "session/session.h"

namespace velk::quarlink::internal {

// Starts the session's iterator thread unless it runs already; false when no thread
// could be started. It runs with the session's reconnect policy as it is now.
bool EnsureIteratorThread(ClientLock& lock);

// Runs the tasks other threads posted, each under the session lock; on the iterator.
void RunIteratorTasks(OpcuaConnection& session);

// Sleeps on the iterator for the given time while still running the tasks that
// arrive meanwhile; ends early as OpcuaConnection::Pause does.
void PauseServingTasks(OpcuaConnection& session, std::chrono::milliseconds duration,
                       OpcuaConnection::PauseWake wake = OpcuaConnection::PauseWake::OnStop);

// Runs work(lock) on the session's iterator, where the stack may be called
// synchronously, and returns its result; inline when the iterator does not run or
// this is the iterator. The caller holds no session lock.
template <typename Work>
auto OnIterator(OpcuaConnection& session, Work&& work) -> decltype(work(std::declval<ClientLock&>())) {
  using Result = decltype(work(std::declval<ClientLock&>()));
  if (!session.IteratorRunning() || session.OnIteratorThread()) {
    ClientLock lock(session);
    return work(lock);
  }
  std::optional<Result> result;
  std::binary_semaphore done{0};
  session.PostTask([&](ClientLock& lock) {
    result.emplace(work(lock));
    done.release();
  });
  done.acquire();
  return std::move(*result);
}

// RunOnSession for work that calls the stack synchronously: it runs on the
// iterator (see OnIterator).
template <typename Reject, typename Work>
auto RunOnIteratorSession(const Client::Impl& impl, Reject&& reject, Work&& work) -> decltype(reject()) {
  if (!impl.session) return reject();
  return OnIterator(*impl.session, [&](ClientLock& lock) { return lock.client() ? work(lock) : reject(); });
}

// Runs on the iterator thread once the session stayed down; returns when the
// session is back, a limit of the reconnect policy is reached, or it is closing.
void RunReconnectCycle(OpcuaConnection& session, const ReconnectPolicy& policy);

// Records the token of the stack client's current session.
void RememberSessionToken(ClientLock& lock);

// After a disturbance of the link: when the stack replaced the session on its own,
// the subscriptions went with the old one and are created anew. The session is
// activated.
void ResumeIfSessionReplaced(ClientLock& lock);

// Installs the user-name identity and connects synchronously.
UA_StatusCode ConnectStackClient(ClientLock& lock, UA_Client* client);

}  // namespace velk::quarlink::internal
