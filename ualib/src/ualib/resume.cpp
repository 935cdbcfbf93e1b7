// Resuming subscriptions: after a reconnect, or once the server or the stack dropped
// the subscription, the session gets a new subscription and the monitored items of
// the map again, each with the handler and the parameters it was subscribed with.
#include <string>
#include <utility>
#include <vector>

#include "link.h"
#include "log.h"
#include "session.h"
#include "status.h"
#include "subscriptions.h"
#include "ua_types.h"

namespace velk::quarlink::internal {
namespace {

std::vector<std::string> KeysOf(const std::map<std::string, MonitorEntry>& monitors) {
  std::vector<std::string> keys;
  keys.reserve(monitors.size());
  for (const auto& [address, entry] : monitors) keys.push_back(address);
  return keys;
}

void ResumeItem(OpcuaConnection& conn, const std::string& address) {
  const auto entry = conn.monitors.find(address);
  if (entry == conn.monitors.end()) return;
  UaNodeId node;
  if (!ParseNodeId(address, *node)) {
    UALIB_LOG(kWarning, "Reconnect: cannot re-parse NodeId '{}'", address);
    conn.monitors.erase(entry);
    return;
  }
  // Copies: a successful creation replaces the map entry they come from.
  const MonitorParams params = entry->second.params;
  const tessel::fnd::defs::SubscriptionHandler handler = entry->second.handler;
  uint32_t monitoredItemId = 0;
  if (CreateMonitoredItem(conn, address, *node, params, handler, monitoredItemId) != UA_STATUSCODE_GOOD) {
    // Kept with its handler: a node that is missing now may be back after the next reconnect.
    UALIB_LOG(kWarning, "Reconnect: failed to re-create monitor for '{}'", address);
    entry->second.monitoredItemId = 0;
    return;
  }
  UALIB_LOG(kDebug, "Reconnect: re-subscribed '{}' (monitor_id={})", address, monitoredItemId);
}

}  // namespace

void ResumeSubscriptions(OpcuaConnection& conn) {
  conn.subscriptionLost = false;
  if (conn.monitors.empty()) {
    conn.subscriptionId = 0;  // the next Subscribe creates one
    return;
  }
  if (CreateServerSubscription(conn, conn.publishingIntervalMs) != UA_STATUSCODE_GOOD) {
    UALIB_LOG(kError, "Reconnect: CreateSubscription failed");
    return;
  }
  for (const std::string& address : KeysOf(conn.monitors)) ResumeItem(conn, address);
}

void RecoverLostSubscription(OpcuaConnection& conn) {
  if (!conn.subscriptionLost.exchange(false) || conn.subscriptionId == 0) return;
  const uint32_t lost = std::exchange(conn.subscriptionId, 0);
  UALIB_LOG(kWarning, "Subscription {} of {} was dropped; re-creating it with {} monitored item(s)", lost,
            conn.endpoint, conn.monitors.size());
  // The stack may still hold its record of it (when the server ended it); deleting
  // that frees the items' contexts. The server's answer changes nothing.
  SendIfLinkUp(conn, [&] { return UA_Client_Subscriptions_deleteSingle(conn.client, lost); });
  ResumeSubscriptions(conn);
}

}  // namespace velk::quarlink::internal
