// Resuming subscriptions: after a reconnect, or once the server or the stack dropped
// the subscription, the session gets a new subscription and the monitored items of
// the map again, each with the handler and the parameters it was subscribed with.
#include <string>
#include <utility>
#include <vector>

#include "logging/log.h"
#include "session/batching.h"
#include "session/link.h"
#include "subscriptions/subscriptions.h"
#include "values/status.h"
#include "values/ua_types.h"

namespace velk::quarlink::internal {
namespace {

std::vector<std::string> KeysOf(const std::map<std::string, MonitorEntry>& monitors) {
  std::vector<std::string> keys;
  keys.reserve(monitors.size());
  for (const auto& [address, entry] : monitors) keys.push_back(address);
  return keys;
}

// Re-creates the items of one request; an item that fails is kept with its handler
// (a node that is missing now may be back after the next reconnect).
void ResumeGathered(OpcuaConnection& conn, const std::vector<std::string>& addresses,
                    const std::vector<UaNodeId>& nodes, const std::vector<size_t>& indices) {
  std::vector<ItemToCreate> items;
  items.reserve(indices.size());
  for (size_t i : indices) {
    // Copies: a successful creation replaces the map entry they come from.
    const MonitorEntry& entry = conn.monitors.at(addresses[i]);
    items.push_back({&addresses[i], nodes[i].get(), entry.params, entry.handler});
  }
  const std::vector<CreatedItem> created = CreateMonitoredItems(conn, items);
  for (size_t k = 0; k < indices.size(); ++k) {
    const std::string& address = addresses[indices[k]];
    if (created[k].status != UA_STATUSCODE_GOOD) {
      UALIB_LOG(kWarning, "Reconnect: failed to re-create monitor for '{}'", address);
      conn.monitors.at(address).monitoredItemId = 0;
      continue;
    }
    UALIB_LOG(kDebug, "Reconnect: re-subscribed '{}' (monitor_id={})", address, created[k].monitoredItemId);
  }
}

void ResumeItems(OpcuaConnection& conn) {
  const std::vector<std::string> addresses = KeysOf(conn.monitors);
  std::vector<UaNodeId> nodes(addresses.size());
  const auto join = [&](size_t i) {
    if (ParseNodeId(addresses[i], *nodes[i])) return true;
    UALIB_LOG(kWarning, "Reconnect: cannot re-parse NodeId '{}'", addresses[i]);
    conn.monitors.erase(addresses[i]);
    return false;
  };
  GatherRequests(
      addresses.size(), ItemsPerRequest(conn, Service::MonitoredItems), false,
      [&](size_t i) -> const std::string& { return addresses[i]; }, [](size_t) { return false; }, join,
      [&](const std::vector<size_t>& indices) { ResumeGathered(conn, addresses, nodes, indices); });
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
  ResumeItems(conn);
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
