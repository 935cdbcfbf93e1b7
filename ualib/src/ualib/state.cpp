// Connection state: the stack's state callback, the observers of the attached
// Clients, and the state queries of the Client.
#include <algorithm>
#include <exception>
#include <utility>

#include "client_impl.h"
#include "discover.h"
#include "log.h"
#include "session.h"
#include "status.h"

namespace velk::quarlink {

using namespace tessel::fnd::defs;

namespace internal {
namespace {

constexpr UA_StatusCode kConnectionClosed = UA_STATUSCODE_BADCONNECTIONCLOSED;

ConnectionState MapStackState(UA_SecureChannelState channel, UA_SessionState session, UA_StatusCode connectStatus,
                              bool closeRequested) {
  if (connectStatus != UA_STATUSCODE_GOOD && connectStatus != kConnectionClosed) return ConnectionState::Error;
  if (channel == UA_SECURECHANNELSTATE_OPEN && session == UA_SESSIONSTATE_ACTIVATED) return ConnectionState::Connected;
  if (channel == UA_SECURECHANNELSTATE_CLOSED)
    return closeRequested ? ConnectionState::Disconnected : ConnectionState::Error;
  if (channel == UA_SECURECHANNELSTATE_CLOSING)
    return closeRequested ? ConnectionState::Disconnecting : ConnectionState::Error;
  return ConnectionState::Connecting;
}

struct Delivery {
  ConnectionStateHandler handler;
  ConnectionState previous;
};

// Records the new state for every observer under observersMutex and returns the
// handlers to call, so that they run after the lock is released.
std::vector<Delivery> CollectDeliveries(OpcuaConnection& conn, ConnectionState next) {
  std::vector<Delivery> deliveries;
  std::lock_guard<std::mutex> lock(conn.observersMutex);
  if (next == conn.state) return deliveries;
  if (next != ConnectionState::Connected) conn.linkDisturbed = true;
  conn.state = next;
  deliveries.reserve(conn.observers.size());
  for (StateObserver* observer : conn.observers) {
    if (!observer || observer->lastState == next) continue;
    // Followed also without a handler, so one installed later names the state it left.
    const ConnectionState previous = std::exchange(observer->lastState, next);
    if (observer->handler) deliveries.push_back({observer->handler, previous});
  }
  return deliveries;
}

// A handler that throws has broken its contract; the stack thread and the other
// handlers go on regardless.
void CallHandler(const Delivery& delivery, ConnectionStateChange& change) {
  change.previous = delivery.previous;
  try {
    delivery.handler(change);
  } catch (const std::exception& e) {
    UALIB_LOG(kWarning, "ConnectionStateHandler threw: {}", e.what());
  } catch (...) {
    UALIB_LOG(kWarning, "ConnectionStateHandler threw non-std exception");
  }
}

}  // namespace

void SdkStateCallback(UA_Client* client, UA_SecureChannelState channelState, UA_SessionState sessionState,
                      UA_StatusCode connectStatus) {
  auto* conn = static_cast<OpcuaConnection*>(UA_Client_getConfig(client)->clientContext);
  if (!conn) return;
  const ConnectionState next = MapStackState(channelState, sessionState, connectStatus, conn->closeRequested);
  if (next == ConnectionState::Connected) conn->linkSilent = false;
  const std::vector<Delivery> deliveries = CollectDeliveries(*conn, next);
  if (deliveries.empty()) return;
  ConnectionStateChange change;
  change.current = next;
  if (connectStatus != UA_STATUSCODE_GOOD && connectStatus != kConnectionClosed) {
    const Result mapped = StatusFromUa(connectStatus);
    change.code = mapped.code;
    change.message = mapped.message;
  }
  for (const Delivery& delivery : deliveries) CallHandler(delivery, change);
}

void AttachObserver(OpcuaConnection& conn, StateObserver& observer) {
  std::lock_guard<std::mutex> lock(conn.observersMutex);
  observer.lastState = conn.state;
  conn.observers.push_back(&observer);
  // A session with an attached Client is never closing, even when the last Client
  // before this one has just marked it so on its way out.
  conn.closeRequested = false;
}

size_t DetachObserver(OpcuaConnection& conn, StateObserver& observer, CloseIfLast closeIfLast) {
  std::lock_guard<std::mutex> lock(conn.observersMutex);
  const size_t attached = conn.observers.size();
  std::erase(conn.observers, &observer);
  if (closeIfLast == CloseIfLast::Yes && conn.observers.empty()) conn.closeRequested = true;
  return attached;
}

}  // namespace internal

namespace {

// The observer's fields are shared with the stack thread only while attached.
void ReplaceHandler(Client::Impl& impl, ConnectionStateHandler handler) {
  if (impl.conn) {
    std::lock_guard<std::mutex> lock(impl.conn->observersMutex);
    std::swap(impl.observer.handler, handler);
  } else {
    std::swap(impl.observer.handler, handler);
  }
  // The previous handler is destroyed here, outside the lock: its captures may
  // run arbitrary destructors.
}

}  // namespace

RegistrationToken Client::SetConnectionStateHandler(ConnectionStateHandler handler) {
  UALIB_TRACE();
  const bool active = static_cast<bool>(handler);
  ReplaceHandler(*impl, std::move(handler));
  UALIB_LOG(internal::kDebug, "SetConnectionStateHandler installed (active={})", active);
  std::weak_ptr<Impl*> weak = impl->liveness;
  return RegistrationToken{[weak] {
    if (auto alive = weak.lock()) ReplaceHandler(**alive, nullptr);
  }};
}

bool Client::IsConnected() const {
  UALIB_TRACE();
  if (!impl->conn) return false;
  internal::ClientLock lock(*impl->conn);
  return lock.client() != nullptr;
}

ConnectionStatus Client::GetConnectionStatus() const {
  UALIB_TRACE();
  ConnectionStatus status;
  if (!impl->conn) return status;
  internal::ClientLock lock(*impl->conn);
  if (!lock.client()) return status;
  status.state = ConnectionState::Connected;
  status.info = ConnectionInfo{impl->conn->endpoint, "opc.tcp", "velk::quarlink::Client", UALIB_VERSION_LABEL, 1, {}};
  internal::DescribeChannel(lock.client(), status.info->properties);
  return status;
}

}  // namespace velk::quarlink
