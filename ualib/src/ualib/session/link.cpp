// The link's state and every transition of it; the fail-fast check every request
// item passes, the probe that follows a timeout, and closing a link that stopped
// answering.
#include "session/link.h"

#include <open62541/client_highlevel.h>

#include <algorithm>

#include "logging/log.h"
#include "session/await.h"
#include "values/ua_types.h"

namespace velk::quarlink::internal {

// --- The state ---

LinkState& Link::Underlying() { return state_ == LinkState::Closing ? beforeClose_ : state_; }

LinkState Link::UnderlyingState() const { return state_ == LinkState::Closing ? beforeClose_ : state_; }

bool Link::Closing() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_ == LinkState::Closing;
}

bool Link::Silent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return UnderlyingState() == LinkState::Silent;
}

bool Link::GaveUp() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return UnderlyingState() == LinkState::GaveUp;
}

void Link::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  state_ = beforeClose_ = LinkState::Up;
}

void Link::StackConnected() {
  std::lock_guard<std::mutex> lock(mutex_);
  // A silent link that came back was disturbed on its way: its session is checked.
  if (LinkState& state = Underlying(); state == LinkState::Silent) state = LinkState::Disturbed;
}

void Link::StackLeftConnected() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (LinkState& state = Underlying(); state == LinkState::Up) state = LinkState::Disturbed;
}

bool Link::TakeDisturbance() {
  std::lock_guard<std::mutex> lock(mutex_);
  LinkState& state = Underlying();
  if (state != LinkState::Disturbed) return false;
  state = LinkState::Up;
  return true;
}

bool Link::Condemn() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_ == LinkState::Closing || state_ == LinkState::Silent) return false;
  // After the cycle gave up the channel is closed all the same, and it stays given up.
  if (state_ != LinkState::GaveUp) state_ = LinkState::Silent;
  return true;
}

void Link::GiveUp() {
  std::lock_guard<std::mutex> lock(mutex_);
  Underlying() = LinkState::GaveUp;
}

void Link::RequestClose() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_ == LinkState::Closing) return;
  beforeClose_ = state_;
  state_ = LinkState::Closing;
}

void Link::CancelClose() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_ == LinkState::Closing) state_ = beforeClose_;
}

void Link::NoteArrival() { lastArrival_.store(std::chrono::steady_clock::now().time_since_epoch().count()); }

std::chrono::steady_clock::time_point Link::LastArrival() const {
  return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(lastArrival_.load()));
}

// --- What requests see ---

namespace {

// The shortest probe window. A probe waits as long as a request may: a server that
// is busy with a slow request (a single-threaded one answers nothing meanwhile) gets
// as long again to finish it, and its late answer shows the link is alive.
constexpr UA_UInt32 kShortestProbeMs = 500;

// The standard ServerStatus/State variable: every server has it and reads it fast.
constexpr UA_UInt32 kServerStateNode = UA_NS0ID_SERVER_SERVERSTATUS_STATE;

}  // namespace

bool LinkUp(const ClientLock& lock) {
  if (lock.session().link().Silent()) return false;
  UA_SecureChannelState channel = UA_SECURECHANNELSTATE_CLOSED;
  UA_SessionState session = UA_SESSIONSTATE_CLOSED;
  UA_Client_getState(lock.client(), &channel, &session, nullptr);
  return channel == UA_SECURECHANNELSTATE_OPEN && session == UA_SESSIONSTATE_ACTIVATED;
}

void CloseSilentLink(OpcuaConnection& session, UA_Client* client) {
  if (!session.link().Condemn()) return;
  UALIB_LOG(kWarning, "Link to {} stopped answering; closing the connection to recover", session.endpoint());
  UA_Client_disconnectSecureChannelAsync(client);
  session.Wake();
}

void CloseSilentLink(const ClientLock& lock) { CloseSilentLink(lock.session(), lock.client()); }

void ProbeAfterTimeout(const ClientLock& lock) {
  if (!LinkUp(lock)) return;
  const UA_NodeId node = UA_NODEID_NUMERIC(0, kServerStateNode);
  UaVariant value;
  const auto sentAt = std::chrono::steady_clock::now();
  const UA_UInt32 window = std::max(kShortestProbeMs, UA_Client_getConfig(lock.client())->timeout);
  const UA_StatusCode status =
      AwaitAttribute(lock, node, UA_ATTRIBUTEID_VALUE, value.get(), UA_TYPES[UA_TYPES_VARIANT], window);
  // Any answer, even a refusal, shows the link works; only silence condemns it.
  if (status != UA_STATUSCODE_BADTIMEOUT || lock.session().link().LastArrival() >= sentAt) return;
  UALIB_LOG(kDebug, "Link probe of {} after a timeout failed: {}", lock.session().endpoint(),
            UA_StatusCode_name(status));
  CloseSilentLink(lock);
}

}  // namespace velk::quarlink::internal
