// Connection state: the stack's state callback, the observers of the attached
// Clients, and the state queries of the Client.
#include "session/state.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "logging/log.h"
#include "security/channel_info.h"
#include "session/client_impl.h"
#include "session/session.h"
#include "values/status.h"

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

// A handler that throws has broken its contract; the stack thread and the other
// handlers go on regardless.
void CallHandler(const OpcuaConnection::Delivery& delivery, ConnectionStateChange& change) {
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
  auto* session = static_cast<OpcuaConnection*>(UA_Client_getConfig(client)->clientContext);
  if (!session) return;
  const ConnectionState next = MapStackState(channelState, sessionState, connectStatus, session->link().Closing());
  if (next == ConnectionState::Connected) session->link().StackConnected();
  std::vector<OpcuaConnection::Delivery> deliveries = session->RecordState(next);
  if (deliveries.empty()) return;
  ConnectionStateChange change;
  change.current = next;
  if (connectStatus != UA_STATUSCODE_GOOD && connectStatus != kConnectionClosed) {
    const Result mapped = StatusFromUa(connectStatus);
    change.code = mapped.code;
    change.message = mapped.message;
  }
  // Handlers run on the dispatch worker, in order with the notifications and with
  // no lock held, so a handler may call its Client; Connect waits for them.
  auto deliver = [deliveries = std::move(deliveries), change = std::move(change)]() mutable {
    for (const OpcuaConnection::Delivery& delivery : deliveries) CallHandler(delivery, change);
  };
  if (!session->dispatch().Running()) {
    deliver();
    return;
  }
  try {
    session->dispatch().PushTask(std::move(deliver));
  } catch (...) {
    // Out of memory: the change is lost for the handlers, the state is recorded.
  }
}

}  // namespace internal

namespace {

// The observer's fields are shared with the stack thread only while attached.
void ReplaceHandler(Client::Impl& impl, ConnectionStateHandler handler) {
  if (impl.session) {
    impl.session->SwapHandler(impl.observer, handler);
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
  if (!impl->session) return false;
  internal::ClientLock lock(*impl->session);
  return lock.client() != nullptr;
}

ConnectionStatus Client::GetConnectionStatus() const {
  UALIB_TRACE();
  ConnectionStatus status;
  if (!impl->session) return status;
  internal::ClientLock lock(*impl->session);
  if (!lock.client()) return status;
  status.state = ConnectionState::Connected;
  status.info =
      ConnectionInfo{impl->session->endpoint(), "opc.tcp", "velk::quarlink::Client", UALIB_VERSION_LABEL, 1, {}};
  internal::DescribeChannel(lock.client(), status.info->properties);
  return status;
}

}  // namespace velk::quarlink
