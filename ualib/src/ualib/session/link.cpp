// Link state: the fail-fast check every request item passes, the probe that follows
// a timeout, and closing a link that stopped answering.
#include "session/link.h"

#include <open62541/client_highlevel.h>

#include "logging/log.h"
#include "values/ua_types.h"

namespace velk::quarlink::internal {
namespace {

// Long enough for any server that still answers, short enough that a batch on a
// frozen link ends within one request timeout plus this.
constexpr UA_UInt32 kProbeTimeoutMs = 500;

// The standard ServerStatus/State variable: every server has it and reads it fast.
constexpr UA_UInt32 kServerStateNode = UA_NS0ID_SERVER_SERVERSTATUS_STATE;

}  // namespace

bool LinkUp(const OpcuaConnection& conn) {
  if (conn.linkSilent) return false;
  UA_SecureChannelState channel = UA_SECURECHANNELSTATE_CLOSED;
  UA_SessionState session = UA_SESSIONSTATE_CLOSED;
  UA_Client_getState(conn.client, &channel, &session, nullptr);
  return channel == UA_SECURECHANNELSTATE_OPEN && session == UA_SESSIONSTATE_ACTIVATED;
}

void CloseSilentLink(OpcuaConnection& conn) {
  if (conn.closeRequested || conn.linkSilent.exchange(true)) return;
  UALIB_LOG(kWarning, "Link to {} stopped answering; closing the connection to recover", conn.endpoint);
  UA_Client_disconnectSecureChannelAsync(conn.client);
}

void ProbeAfterTimeout(OpcuaConnection& conn) {
  if (!LinkUp(conn)) return;
  const UA_NodeId node = UA_NODEID_NUMERIC(0, kServerStateNode);
  UaVariant value;
  UA_StatusCode status;
  {
    const ScopedRequestTimeout probeTimeout(conn.client, kProbeTimeoutMs);
    status =
        __UA_Client_readAttribute(conn.client, &node, UA_ATTRIBUTEID_VALUE, value.get(), &UA_TYPES[UA_TYPES_VARIANT]);
  }
  // Any answer, even a refusal, shows the link works; only silence condemns it.
  if (status != UA_STATUSCODE_BADTIMEOUT) return;
  UALIB_LOG(kDebug, "Link probe of {} after a timeout failed: {}", conn.endpoint, UA_StatusCode_name(status));
  CloseSilentLink(conn);
}

}  // namespace velk::quarlink::internal
