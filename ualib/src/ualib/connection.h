// The shared OPC UA session: one stack client, one iterator thread, one server-side
// subscription and one dispatch worker for every Client that names the same endpoint
// and user.
//
// Locks, in the only order in which they nest: clientMutex, then observersMutex.
// dispatchMutex and pauseMutex are taken alone; the registry's mutex is taken
// alone and nothing is called under it.
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
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "convert.h"
#include "sdk_log.h"
#include "ticket_mutex.h"
#include "ua_types.h"

namespace velk::quarlink {

namespace internal {
struct SessionSecurity;
class TypeCache;
struct TypeInfo;
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

inline constexpr double kDefaultIntervalMs = 250.0;

// Items per request the server accepts, by service; 0 where it advertises none.
struct OperationLimits {
  uint32_t read = 0;
  uint32_t write = 0;
  uint32_t monitoredItems = 0;
  uint32_t browse = 0;
};

// What the caller asked of a monitored item; a resumed item gets the same again.
struct MonitorParams {
  double samplingIntervalMs = kDefaultIntervalMs;
  uint32_t queueSize = 1;
  bool discardOldest = true;
  internal::Arrays arrays = internal::Arrays::Empty;  // of the Client that subscribed it
  // With Arrays::Typed, the node's data type, read when the item was made.
  std::shared_ptr<const internal::TypeInfo> type;
};

// One monitored item. The heap copy is the stack's callback context; the map
// holds a copy by value. An item id of 0 marks an item that could not be re-created
// after a reconnect: it keeps its handler and is tried again at the next resume.
struct MonitorEntry {
  uint32_t monitoredItemId = 0;
  std::string nodeAddress;
  OpcuaConnection* connection = nullptr;
  tessel::fnd::defs::SubscriptionHandler handler;
  MonitorParams params;
};

inline constexpr size_t kDispatchQueueCap = 4096;

class OpcuaConnection {
 public:
  OpcuaConnection(std::string endpointUrl, std::string user, std::string key)
      : endpoint(std::move(endpointUrl)), username(std::move(user)), registryKey(std::move(key)) {}
  ~OpcuaConnection();
  OpcuaConnection(const OpcuaConnection&) = delete;
  OpcuaConnection& operator=(const OpcuaConnection&) = delete;

  // Creates a session whose last reference may be dropped on any thread: on the
  // session's own iterator thread (a handler holding the last Client, released by
  // the stack) the teardown moves to a thread of its own, since it joins that thread.
  static std::shared_ptr<OpcuaConnection> Create(std::string endpointUrl, std::string user, std::string key);

  enum class PauseWake { OnStop, OnStopOrClose };
  // Sleeps up to the given time; returns early (false) once the iterator is being
  // stopped (or, with OnStopOrClose, the session closed), so teardown never waits
  // out a long pause.
  bool Pause(std::chrono::milliseconds duration, PauseWake wake = PauseWake::OnStop);
  // Wakes every Pause; called after iteratorRunning or closeRequested changed.
  void WakePauses();

  const std::string endpoint;
  const std::string username;
  std::string password;
  const std::string registryKey;

  TicketMutex clientMutex;
  UA_Client* client = nullptr;  // guarded by clientMutex

  UA_Logger sdkLogger{};
  internal::SdkLogSettings sdkLog;
  // Certificate, trust list and the verdict on the server's certificate; the stack
  // client's verification plugin points at it. Null for an unsecured session.
  std::shared_ptr<internal::SessionSecurity> security;  // guarded by clientMutex

  uint32_t subscriptionId = 0;                       // guarded by clientMutex
  double publishingIntervalMs = kDefaultIntervalMs;  // of the subscription; guarded by clientMutex
  std::map<std::string, MonitorEntry> monitors;      // guarded by clientMutex
  // Set by the stack's callbacks when the server or the stack dropped the
  // subscription; the iterator (or the next Subscribe) creates it anew.
  std::atomic<bool> subscriptionLost{false};

  std::mutex observersMutex;
  std::vector<StateObserver*> observers;  // guarded by observersMutex
  tessel::fnd::defs::ConnectionState state = tessel::fnd::defs::ConnectionState::Disconnected;

  // An orderly close: set by the last Disconnect (under observersMutex, with its
  // detach) and by the teardown; cleared by every attach.
  std::atomic<bool> closeRequested{false};
  // Set when the link stopped answering and its channel is being closed; requests
  // fail at once until the stack reports the session connected again.
  std::atomic<bool> linkSilent{false};

  std::thread iteratorThread;
  std::atomic<bool> iteratorRunning{false};

  std::mutex dispatchMutex;
  std::condition_variable dispatchCv;
  std::deque<std::pair<tessel::fnd::defs::Notification, tessel::fnd::defs::SubscriptionHandler>> dispatchQueue;
  std::thread dispatchThread;
  std::atomic<bool> dispatchRunning{false};
  std::atomic<uint64_t> droppedNotifications{0};

  // The server's token of the session the monitor map was created in. The stack
  // may replace a lost session by itself while it restores a link; a new token
  // tells the iterator that the subscriptions went with the old one.
  internal::UaNodeId sessionToken;  // guarded by clientMutex
  // Set by the state callback whenever the state leaves Connected; tells the
  // iterator to compare the session token once the session is back.
  std::atomic<bool> linkDisturbed{false};

  ReconnectPolicy reconnectPolicy;  // written under clientMutex before the iterator starts
  // "max_items_per_request" of the Connect that created the stack client: 1 sends
  // every item alone, 0 as many as the server allows. Guarded by clientMutex.
  uint32_t maxItemsPerRequest = 1;
  OperationLimits operationLimits;             // of the current server session; guarded by clientMutex
  std::shared_ptr<internal::TypeCache> types;  // "typed_values": see TypesOf; guarded by clientMutex
  std::atomic<bool> reconnectGaveUp{false};

 private:
  std::mutex pauseMutex;
  std::condition_variable pauseCv;
};

}  // namespace velk::quarlink
