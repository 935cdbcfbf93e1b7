// Connect and Disconnect: attaching a Client to the shared session for its endpoint
// and user, creating and configuring the stack client when the session has none.
#include <open62541/client_config_default.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "lifecycle/lifecycle.h"
#include "logging/log.h"
#include "security/security.h"
#include "session/batching.h"
#include "session/client_impl.h"
#include "session/link.h"
#include "session/send_bound.h"
#include "session/state.h"
#include "subscriptions/subscriptions.h"
#include "values/options.h"
#include "values/status.h"
#include "values/ua_types.h"

namespace velk::quarlink {

using namespace tessel::fnd::defs;

namespace internal {
namespace {

ReconnectPolicy ParseReconnectPolicy(const PropertyMap& properties) {
  ReconnectPolicy policy;
  policy.enabled = ParseBoolOption(properties, "auto_reconnect", policy.enabled);
  policy.intervalMs = ParseNumberOption(properties, "reconnect_interval_ms", policy.intervalMs);
  policy.maxAttempts = ParseNumberOption(properties, "reconnect_max_attempts", policy.maxAttempts);
  policy.maxDurationMs = ParseNumberOption(properties, "reconnect_max_duration_ms", policy.maxDurationMs);
  policy.waitForServerReady = ParseBoolOption(properties, "wait_for_server_ready", policy.waitForServerReady);
  if (const std::string* node = properties.Get("server_status_node")) policy.serverStatusNode = *node;
  policy.connectivityCheckIntervalMs =
      ParseNumberOption(properties, "connectivity_check_interval_ms", policy.connectivityCheckIntervalMs);
  return policy;
}

std::string_view AuthLabel(const std::string& username) { return username.empty() ? "anonymous" : "username auth"; }

std::string PropertyOrEmpty(const PropertyMap& properties, std::string_view key) {
  const std::string* value = properties.Get(key);
  return value ? *value : std::string();
}

OpcuaConnection* SessionOf(UA_Client* client) {
  return static_cast<OpcuaConnection*>(UA_Client_getConfig(client)->clientContext);
}

// A link that dies without a reset (a pulled cable, a frozen peer) leaves the
// channel open forever unless the stack's periodic check gets no answer and we
// close the channel ourselves. Runs inside the event loop, without the session lock.
void LinkInactivityCallback(UA_Client* client) {
  if (OpcuaConnection* session = SessionOf(client)) CloseSilentLink(*session, client);
}

// No publish response for longer than the subscription's keep-alive: the server may
// have dropped the subscription without a word. Re-creating it also tells a dead
// link apart: the requests time out and the probe closes it.
void SubscriptionInactivityCallback(UA_Client* client, UA_UInt32 subscriptionId, void* /*context*/) {
  OpcuaConnection* session = SessionOf(client);
  if (!session || session->link().Closing()) return;
  GuardedSession& shared = session->StateForCallbacks();
  if (subscriptionId != shared.subscriptionId.load()) return;
  UALIB_LOG(kWarning, "Subscription {} of {} stopped delivering; re-creating it", subscriptionId, session->endpoint());
  shared.subscriptionLost = true;
}

void ConfigureConnectivityCheck(const ClientLock& lock, UA_ClientConfig* config) {
  const uint32_t interval = lock->reconnectPolicy.connectivityCheckIntervalMs;
  UALIB_LOG(kDebug, "Connectivity check for {}: interval={}ms", lock.session().endpoint(), interval);
  if (interval == 0) return;
  config->connectivityCheckInterval = interval;
  config->inactivityCallback = LinkInactivityCallback;
  config->subscriptionInactivityCallback = SubscriptionInactivityCallback;
}

// The stack's default configuration already handed its logger object to the event
// loop, the security policies and the certificate check. Repointing that one object
// routes all of them through the bridge, and its own clear function still frees it
// when the stack client is deleted; replacing the pointer would leak it and leave
// the others pointing at it.
void InstallSdkLogger(ClientLock& lock, UA_ClientConfig* config) {
  if (config->logging) {
    config->logging->log = SdkLog;
    config->logging->context = &lock->sdkLog;
    return;
  }
  lock->sdkLogger = UA_Logger{SdkLog, &lock->sdkLog, nullptr};
  config->logging = &lock->sdkLogger;
  if (config->eventLoop) config->eventLoop->logger = &lock->sdkLogger;
}

SecuredSession SecurityOf(ClientLock& lock) { return {lock->security, lock.session().endpoint(), lock->sdkLog}; }

// Stack defaults, the session's log bridge and state callback, and the policy and
// security of the Client whose Connect creates the stack client.
Result ConfigureStackClient(ClientLock& lock, UA_Client* client, const PropertyMap& properties,
                            const SecuritySettings& security) {
  OpcuaConnection& session = lock.session();
  UA_ClientConfig* config = UA_Client_getConfig(client);
  UA_ClientConfig_setDefault(config);

  lock->sdkLog = SdkLogSettings{};
  if (const std::string* level = properties.Get("sdk_log_level"))
    ParseSdkLogLevel(*level, lock->sdkLog.sdkLogLevel, lock->sdkLog.sdkLogOff);
  InstallSdkLogger(lock, config);
  // First: the stack's encryption setup resets much of the configuration to its
  // defaults again.
  const bool sendsPassword = !session.username().empty() && !PropertyOrEmpty(properties, "password").empty();
  if (Result refused = ApplySecurity(SecurityOf(lock), config, security, sendsPassword); refused.code != ResultCode::Ok)
    return refused;

  config->clientContext = &session;
  config->stateCallback = SdkStateCallback;
  session.ResetState();
  session.link().Reset();
  lock->reconnectPolicy = ParseReconnectPolicy(properties);
  // Without automatic reconnection the stack must not restore a lost link on its
  // own either; with it, the reconnect cycle and the stack's quick retry coexist.
  config->noReconnect = !lock->reconnectPolicy.enabled;
  lock->maxItemsPerRequest = ParseNumberOption(properties, "max_items_per_request", 1);
  lock->password = PropertyOrEmpty(properties, "password");
  const ReconnectPolicy& policy = lock->reconnectPolicy;
  UALIB_LOG(kDebug, "Reconnect policy for {}: enabled={} interval={}ms max_attempts={} max_duration={}ms",
            session.endpoint(), policy.enabled, policy.intervalMs, policy.maxAttempts, policy.maxDurationMs);
  ConfigureConnectivityCheck(lock, config);
  return {};
}

std::shared_ptr<OpcuaConnection> LookUpSession(const std::string& endpoint, const std::string& username,
                                               const std::string& password, const SecuritySettings& security) {
  std::string key = RegistryKey(endpoint, username, password, security);
  auto& registry = OpcuaConnectionRegistry::Instance();
  std::lock_guard<std::mutex> lock(registry.mutex);
  std::weak_ptr<OpcuaConnection>& entry = registry.sessions[key];
  if (auto live = entry.lock()) return live;
  auto created = OpcuaConnection::Create(endpoint, username, key);
  entry = created;
  return created;
}

// The Client's share of the session, and a fresh attachment flag that a browse
// running on this connection watches.
void Adopt(Client::Impl& impl, std::shared_ptr<OpcuaConnection> session) {
  impl.session = std::move(session);
  impl.attachment = std::make_shared<std::atomic<bool>>(true);
}

void Release(Client::Impl& impl) {
  impl.attachment->store(false);
  impl.session.reset();
}

// The session's reconnect cycle gave up, and a Client asks for it again: its stack
// client connects afresh, with what it was created with, and gets its subscriptions
// back; a failure leaves it given up.
Result ConnectAfresh(ClientLock& lock) {
  OpcuaConnection& session = lock.session();
  UALIB_LOG(kInfo, "Connect: the session to {} had given up reconnecting; connecting it again", session.endpoint());
  UA_Client_disconnect(lock.client());
  session.link().Reset();
  const UA_StatusCode status = ConnectStackClient(lock, lock.client());
  if (status != UA_STATUSCODE_GOOD) {
    session.link().GiveUp();
    return ExplainConnectFailure(SecurityOf(lock), status);
  }
  ReadOperationLimits(lock);
  ResumeSubscriptions(lock);
  RememberSessionToken(lock);
  session.link().TakeDisturbance();
  return {};
}

bool GaveUp(OpcuaConnection& session) {
  ClientLock lock(session);
  return lock.client() && session.link().GaveUp();
}

// On the iterator: another Client may have connected the session afresh meanwhile.
Result ConnectAfreshIfGaveUp(ClientLock& lock) {
  if (!lock.client() || !lock.session().link().GaveUp()) return {};
  return ConnectAfresh(lock);
}

}  // namespace

UA_StatusCode ConnectStackClient(ClientLock& lock, UA_Client* client) {
  const std::string& username = lock.session().username();
  const std::string& password = lock->password;
  if (!username.empty()) {
    UA_UserNameIdentityToken* token = UA_UserNameIdentityToken_new();
    if (!token) return UA_STATUSCODE_BADOUTOFMEMORY;
    token->userName = UA_String_fromChars(username.c_str());
    token->password = UA_String_fromChars(password.c_str());
    UA_ClientConfig* config = UA_Client_getConfig(client);
    UA_ExtensionObject_clear(&config->userIdentityToken);
    UA_ExtensionObject_setValue(&config->userIdentityToken, token, &UA_TYPES[UA_TYPES_USERNAMEIDENTITYTOKEN]);
  }
  return UA_Client_connect(client, lock.session().endpoint().c_str());
}

// Attaches the Client to the session, connecting its stack client when it has none
// or its reconnect cycle gave up; connecting says whether it did (and so changed the
// connection state).
Result ConnectSession(Client::Impl& impl, const std::shared_ptr<OpcuaConnection>& session,
                      const PropertyMap& properties, const SecuritySettings& security, bool& connecting) {
  const std::string& endpoint = session->endpoint();
  const std::string& username = session->username();
  if (GaveUp(*session)) {
    connecting = true;
    Result failed = OnIterator(*session, [](ClientLock& lock) { return ConnectAfreshIfGaveUp(lock); });
    if (failed.code != ResultCode::Ok) {
      session->DetachObserver(impl.observer);
      UALIB_LOG(kError, "Connect to {} failed: {}", endpoint, failed.message);
      return failed;
    }
    UALIB_LOG(kInfo, "Connected to {} ({})", endpoint, AuthLabel(username));
    return {};
  }
  ClientLock lock(*session);
  if (lock.client()) {
    UALIB_LOG(kInfo, "Attached to shared OPC UA session for {} ({})", endpoint, AuthLabel(username));
    return {};
  }
  lock.unlock();
  UALIB_LOG(kDebug, "Connect: opening NEW shared session to {} ({})", endpoint, AuthLabel(username));
  lock.lock();
  if (lock.client()) {
    UALIB_LOG(kDebug, "Connect: lost race, attaching to existing session");
    return {};
  }

  UA_Client* client = UA_Client_new();
  if (!client) {
    session->DetachObserver(impl.observer);
    UALIB_LOG(kError, "Connect: UA_Client_new returned null");
    return {ResultCode::InternalError, "UA_Client_new returned null"};
  }
  if (Result refused = ConfigureStackClient(lock, client, properties, security); refused.code != ResultCode::Ok) {
    UA_Client_delete(client);
    session->DetachObserver(impl.observer);
    UALIB_LOG(kError, "Connect to {} failed: {}", endpoint, refused.message);
    return refused;
  }
  BoundSends(client);
  // State changes go to the handlers through the worker from the first one on.
  if (!session->dispatch().Running()) {
    UALIB_LOG(kDebug, "Connect: starting notification dispatch worker");
    if (!session->dispatch().Start()) UALIB_LOG(kError, "Connect: could not start notification dispatch worker");
  }
  connecting = true;
  const UA_StatusCode status = ConnectStackClient(lock, client);
  if (status != UA_STATUSCODE_GOOD) {
    Result mapped = ExplainConnectFailure(SecurityOf(lock), status);
    UA_Client_delete(client);
    session->DetachObserver(impl.observer);
    UALIB_LOG(kError, "Connect to {} failed: {}", endpoint, mapped.message);
    return mapped;
  }
  lock->client = client;
  CheckServerApplicationUri(SecurityOf(lock), client);
  RememberSessionToken(lock);
  ReadOperationLimits(lock);
  session->link().TakeDisturbance();
  if (!EnsureIteratorThread(lock)) {
    lock->client = nullptr;
    UA_Client_disconnect(client);
    UA_Client_delete(client);
    session->DetachObserver(impl.observer);
    UALIB_LOG(kError, "Connect to {} failed: could not start the session's iterator thread", endpoint);
    return {ResultCode::InternalError, "could not start the session's iterator thread"};
  }
  UALIB_LOG(kInfo, "Connected to {} ({})", endpoint, AuthLabel(username));
  return {};
}

}  // namespace internal

Result Client::Connect() {
  UALIB_TRACE();
  if (!impl->configured) {
    UALIB_LOG(internal::kWarning, "Connect rejected: Configure has not been called");
    return {ResultCode::InvalidState, "Connect called before Configure."};
  }
  const std::string& endpoint = impl->options.endpoint;
  if (impl->session) {
    UALIB_LOG(internal::kDebug, "Connect: already connected to {}", endpoint);
    return {ResultCode::AlreadyConnected, "already connected"};
  }
  const PropertyMap& properties = impl->options.properties;
  const std::string username = internal::PropertyOrEmpty(properties, "username");
  internal::SecuritySettings security;
  if (Result invalid = internal::ParseSecuritySettings(properties, security); invalid.code != ResultCode::Ok) {
    UALIB_LOG(internal::kError, "Connect to {} failed: {}", endpoint, invalid.message);
    return invalid;
  }
  internal::WarnAboutSecurity(security, endpoint);

  // Only sent with a user name, so only then a reason for a session of its own.
  const std::string password = username.empty() ? "" : internal::PropertyOrEmpty(properties, "password");
  std::shared_ptr<OpcuaConnection> session = internal::LookUpSession(endpoint, username, password, security);
  session->AttachObserver(impl->observer);
  // Attached first, so a handler that this Connect's state changes reach may call
  // its Client; they reach it before Connect returns.
  internal::Adopt(*impl, session);
  bool connecting = false;
  Result result = internal::ConnectSession(*impl, session, properties, security, connecting);
  // A Client that only attached changed no state: it does not wait for the queue.
  if (connecting) session->dispatch().Flush();
  if (result.code != ResultCode::Ok) internal::Release(*impl);
  return result;
}

Result Client::Disconnect() {
  UALIB_TRACE();
  if (!impl->session) {
    UALIB_LOG(internal::kDebug, "Disconnect: already disconnected (no-op)");
    return {};
  }
  const std::string endpoint = impl->session->endpoint();
  // The last Client's detach marks the teardown that follows as an orderly close:
  // reported as such, and never answered with a reconnect.
  const size_t refs = impl->session->DetachObserver(impl->observer, OpcuaConnection::CloseIfLast::Yes);
  if (refs == 1) impl->session->Wake();
  impl->attachment->store(false);
  UALIB_LOG(internal::kDebug, "Disconnect: detaching from {} (refs before = {})", endpoint, refs);
  impl->session.reset();
  UALIB_LOG(internal::kInfo, "Disconnected from {}", endpoint);
  return {};
}

}  // namespace velk::quarlink
