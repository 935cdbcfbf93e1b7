// The shared OPC UA session: one stack client, one iterator thread, one server-side
// subscription and one dispatch worker for every Client that names the same endpoint
// and user.
//
// Locks, in the only order in which they nest: the session lock (held as a
// ClientLock), then the observers' lock, then the link's. The dispatch queue's and
// the pause lock are taken alone; the registry's mutex is taken alone and nothing
// is called under it.
#pragma once

#include <open62541/client.h>
#include <tessel/fnd/defs/comm_adapter.h>
#include <velk/quarlink/client.h>
#include <velk/quarlink/connection_registry.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "logging/sdk_log.h"
#include "session/dispatch_queue.h"
#include "session/link_state.h"
#include "session/monitor_map.h"
#include "session/ticket_mutex.h"
#include "session/wakeup.h"
#include "values/ua_types.h"

namespace velk::quarlink {

namespace internal {
struct SessionSecurity;
class ClientLock;
class TypeCache;
}  // namespace internal

struct ReconnectPolicy {
  bool enabled = true;
  uint32_t intervalMs = 5000;
  uint32_t maxAttempts = 0;    // 0: no limit
  uint32_t maxDurationMs = 0;  // 0: no limit
  bool waitForServerReady = true;
  std::string serverStatusNode = "ns=0;i=2259";
  uint32_t connectivityCheckIntervalMs = 2000;  // 0: the stack's default (no check)
};

// One per Client, embedded in its Impl; the session points at it while attached.
struct StateObserver {
  Client::Impl* owner = nullptr;
  tessel::fnd::defs::ConnectionStateHandler handler;
  tessel::fnd::defs::ConnectionState lastState = tessel::fnd::defs::ConnectionState::Disconnected;
};

// Items per request the server accepts, by service; 0 where it advertises none.
struct OperationLimits {
  uint32_t read = 0;
  uint32_t write = 0;
  uint32_t monitoredItems = 0;
  uint32_t browse = 0;
};

// Everything the session lock guards; reachable only through a held ClientLock.
struct GuardedSession {
  UA_Client* client = nullptr;
  // "password" of the Connect that created the stack client; the reconnect cycle
  // logs in with it again.
  std::string password;
  UA_Logger sdkLogger{};
  internal::SdkLogSettings sdkLog;
  // Certificate, trust list and the verdict on the server's certificate; the stack
  // client's verification plugin points at it. Null for an unsecured session.
  std::shared_ptr<internal::SessionSecurity> security;

  // Atomic, like subscriptionLost and unlike the rest: the stack's callbacks read
  // them on the iterator without the session lock (see StateForCallbacks).
  std::atomic<uint32_t> subscriptionId{0};
  double publishingIntervalMs = kDefaultIntervalMs;  // of the subscription
  // Set by the stack's callbacks when the server or the stack dropped the
  // subscription; the iterator (or the next Subscribe) creates it anew.
  std::atomic<bool> subscriptionLost{false};
  // The subscription could not be re-created with the items of the map: tried
  // again from nextResumeAt on, each failure doubling the wait.
  bool resumePending = false;
  std::chrono::steady_clock::time_point nextResumeAt;
  std::chrono::milliseconds resumeBackoff{0};
  internal::MonitorMap monitors;  // locks itself: the stack's callbacks use it too
  // The server's token of the session the monitor map was created in. The stack
  // may replace a lost session by itself while it restores a link; a new token
  // tells the iterator that the subscriptions went with the old one.
  internal::UaNodeId sessionToken;

  // Written when the stack client is created, before the iterator starts (it runs
  // on a copy).
  ReconnectPolicy reconnectPolicy;
  // "max_items_per_request" of the Connect that created the stack client: 1 sends
  // every item alone, 0 as many as the server allows.
  uint32_t maxItemsPerRequest = 1;
  OperationLimits operationLimits;             // of the current server session
  std::shared_ptr<internal::TypeCache> types;  // "typed_values": see TypesOf (type_cache.h)
};

class OpcuaConnection {
 public:
  OpcuaConnection(std::string endpointUrl, std::string user, std::string key);
  ~OpcuaConnection();
  OpcuaConnection(const OpcuaConnection&) = delete;
  OpcuaConnection& operator=(const OpcuaConnection&) = delete;

  // Creates a session whose last reference may be dropped on any thread: on the
  // session's own iterator thread (a handler holding the last Client, released by
  // the stack) the teardown moves to a thread of its own, since it joins that thread.
  static std::shared_ptr<OpcuaConnection> Create(std::string endpointUrl, std::string user, std::string key);

  const std::string& endpoint() const { return endpoint_; }
  const std::string& username() const { return username_; }
  const std::string& registryKey() const { return registryKey_; }

  internal::Link& link() { return link_; }
  const internal::Link& link() const { return link_; }
  internal::DispatchQueue& dispatch() { return dispatch_; }

  // --- Connection state and the observers of the attached Clients ---
  // Attaching cancels a close: a session with attached Clients never closes.
  void AttachObserver(StateObserver& observer);
  // Returns how many Clients were attached before. With CloseIfLast::Yes (Disconnect)
  // detaching the last one marks the session as closing, under the same lock.
  enum class CloseIfLast { No, Yes };
  size_t DetachObserver(StateObserver& observer, CloseIfLast closeIfLast = CloseIfLast::No);
  // Swaps the observer's handler with the given one, under the observers' lock.
  void SwapHandler(StateObserver& observer, tessel::fnd::defs::ConnectionStateHandler& handler);
  tessel::fnd::defs::ConnectionState State() const;
  // Records the stack's newest state; returns the handlers to call (outside the
  // lock) with the state each observer had before.
  struct Delivery {
    tessel::fnd::defs::ConnectionStateHandler handler;
    tessel::fnd::defs::ConnectionState previous;
  };
  std::vector<Delivery> RecordState(tessel::fnd::defs::ConnectionState next);
  // Forgets the state of an earlier stack client.
  void ResetState();

  // --- The iterator thread ---
  // Starts it with the given loop unless it runs already; false when no thread
  // could be started.
  bool StartIterator(std::function<void()> loop);
  bool IteratorRunning() const { return iteratorRunning_; }
  bool OnIteratorThread() const { return iteratorId_.load() == std::this_thread::get_id(); }
  // Ends the iterator's current wait, in the event loop or in a Pause.
  void Wake();
  internal::Wakeup& wakeup() { return wakeup_; }

  // Work that must run on the iterator (it calls the stack synchronously), with the
  // session lock the iterator takes for it. Never asked for while holding the
  // session lock: the iterator may be waiting for it.
  using Task = std::function<void(internal::ClientLock&)>;
  void PostTask(Task task);
  // The oldest task not yet taken, or an empty one.
  Task TakeTask();
  bool TasksPending() const;
  enum class PauseWake { OnStop, OnStopOrClose };
  // Sleeps up to the given time; returns early (false) once the iterator is being
  // stopped (or, with OnStopOrClose, the session closed), so teardown never waits
  // out a long pause.
  bool Pause(std::chrono::milliseconds duration, PauseWake wake = PauseWake::OnStop);
  // Wakes every Pause; called after the iterator's stop or a close.
  void WakePauses();

  // The stack's callbacks run inside the event loop without the session lock; they
  // reach the members of the guarded state that need none: the atomics and the
  // monitor map, which locks itself.
  GuardedSession& StateForCallbacks() { return guarded_; }

 private:
  friend class internal::ClientLock;

  const std::string endpoint_;
  const std::string username_;
  const std::string registryKey_;

  TicketMutex mutex_;
  // Declared before guarded_: its worker outlives nothing of the stack client, and
  // the teardown deletes the stack client (whose callbacks reach the queue) first.
  internal::DispatchQueue dispatch_;
  GuardedSession guarded_;

  mutable std::mutex observersMutex_;
  std::vector<StateObserver*> observers_;  // guarded by observersMutex_
  tessel::fnd::defs::ConnectionState state_ = tessel::fnd::defs::ConnectionState::Disconnected;

  internal::Link link_;

  std::thread iteratorThread_;
  std::atomic<std::thread::id> iteratorId_{};
  std::atomic<bool> iteratorRunning_{false};
  mutable std::mutex pauseMutex_;
  std::condition_variable pauseCv_;
  std::deque<Task> tasks_;  // guarded by pauseMutex_
  // Outlives the stack client, whose event loop calls back into it until deleted.
  internal::Wakeup wakeup_;
};

namespace internal {

// Holds a session's lock for the lifetime of one request (or one slice of one),
// released on every path; the guarded state is reached through it.
class ClientLock {
 public:
  using Clock = std::chrono::steady_clock;

  explicit ClientLock(OpcuaConnection& session);
  ~ClientLock();
  ClientLock(const ClientLock&) = delete;
  ClientLock& operator=(const ClientLock&) = delete;

  GuardedSession* operator->() const { return &session_.guarded_; }
  GuardedSession& operator*() const { return session_.guarded_; }
  // The stack client, or null when the session has none.
  UA_Client* client() const { return session_.guarded_.client; }
  OpcuaConnection& session() const { return session_; }
  // Const: a request releases the lock while it waits for the server, whoever
  // handed it the lock.
  void unlock() const;
  void lock() const;
  // When the lock was asked for and when it was obtained (for timing lines).
  Clock::time_point requestedAt() const { return requestedAt_; }
  Clock::time_point acquiredAt() const { return acquiredAt_; }

 private:
  OpcuaConnection& session_;
  Clock::time_point requestedAt_;
  mutable bool held_ = false;
  Clock::time_point acquiredAt_;
};

}  // namespace internal
}  // namespace velk::quarlink
