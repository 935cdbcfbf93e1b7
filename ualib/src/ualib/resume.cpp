// Resuming subscriptions after a reconnect: the new OPC UA session gets a new
// subscription and the monitored items of the map again, each delivering to the
// handler it had before.
#include <string>
#include <vector>

#include "log.h"
#include "status.h"
#include "subscriptions.h"
#include "ua_types.h"

namespace velk::quarlink::internal {
namespace {

// The options of the original Subscribe calls are not kept, so every item comes
// back with the same fixed parameters.
constexpr MonitorParams kResumedItem{kDefaultIntervalMs, 1, true};

std::vector<std::string> KeysOf(const std::map<std::string, MonitorEntry>& monitors) {
  std::vector<std::string> keys;
  keys.reserve(monitors.size());
  for (const auto& [address, entry] : monitors) keys.push_back(address);
  return keys;
}

}  // namespace

void ResumeSubscriptions(OpcuaConnection& conn) {
  if (conn.monitors.empty()) {
    conn.subscriptionId = 0;  // the next Subscribe creates one
    return;
  }
  uint32_t created = 0;
  if (CreateServerSubscription(conn.client, kDefaultIntervalMs, created) != UA_STATUSCODE_GOOD) {
    UALIB_LOG(kError, "Reconnect: CreateSubscription failed");
    return;
  }
  conn.subscriptionId = created;

  for (const std::string& address : KeysOf(conn.monitors)) {
    const auto entry = conn.monitors.find(address);
    if (entry == conn.monitors.end()) continue;
    const tessel::fnd::defs::SubscriptionHandler handler = entry->second.handler;
    UaNodeId node;
    if (!ParseNodeId(address, *node)) {
      UALIB_LOG(kWarning, "Reconnect: cannot re-parse NodeId '{}'", address);
      conn.monitors.erase(entry);
      continue;
    }
    uint32_t monitoredItemId = 0;
    if (CreateMonitoredItem(conn, address, *node, kResumedItem, handler, monitoredItemId) != UA_STATUSCODE_GOOD) {
      UALIB_LOG(kWarning, "Reconnect: failed to re-create monitor for '{}'", address);
      conn.monitors.erase(address);
      continue;
    }
    UALIB_LOG(kDebug, "Reconnect: re-subscribed '{}' (monitor_id={})", address, monitoredItemId);
  }
}

}  // namespace velk::quarlink::internal
