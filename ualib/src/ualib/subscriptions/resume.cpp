// Resuming subscriptions: after a reconnect, or once the server or the stack dropped
// the subscription, the session gets a new subscription and the monitored items of
// the map again, each with the handler and the parameters it was subscribed with.
#include <algorithm>
#include <chrono>
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

constexpr std::chrono::milliseconds kFirstRetry{500};
constexpr std::chrono::milliseconds kLongestRetry{30'000};

std::vector<std::string> KeysOf(const MonitorMap& monitors) {
  std::vector<std::string> keys;
  keys.reserve(monitors.Size());
  for (const auto& [address, entry] : monitors.Current()) keys.push_back(address);
  return keys;
}

// Re-creates the items of one request; an item that fails is kept with its handler
// (a node that is missing now may be back after the next reconnect).
void ResumeGathered(ClientLock& lock, const std::vector<std::string>& addresses, const std::vector<UaNodeId>& nodes,
                    const std::vector<size_t>& indices) {
  std::vector<ItemToCreate> items;
  items.reserve(indices.size());
  for (size_t i : indices) {
    // Copies: a successful creation replaces the map entry they come from.
    const MonitorEntry& entry = *lock->monitors.Find(addresses[i]);
    items.push_back({&addresses[i], nodes[i].get(), entry.params, entry.handler});
  }
  const std::vector<CreatedItem> created = CreateMonitoredItems(lock, items);
  for (size_t k = 0; k < indices.size(); ++k) {
    const std::string& address = addresses[indices[k]];
    if (created[k].status != UA_STATUSCODE_GOOD) {
      UALIB_LOG(kWarning, "Reconnect: failed to re-create monitor for '{}'", address);
      lock->monitors.MarkNotCreated(address);
      continue;
    }
    UALIB_LOG(kDebug, "Reconnect: re-subscribed '{}' (monitor_id={})", address, created[k].monitoredItemId);
  }
}

void ResumeItems(ClientLock& lock) {
  const std::vector<std::string> addresses = KeysOf(lock->monitors);
  std::vector<UaNodeId> nodes(addresses.size());
  const auto join = [&](size_t i) {
    if (ParseNodeId(addresses[i], *nodes[i])) return true;
    UALIB_LOG(kWarning, "Reconnect: cannot re-parse NodeId '{}'", addresses[i]);
    lock->monitors.Erase(addresses[i]);
    return false;
  };
  GatherRequests(
      addresses.size(), ItemsPerRequest(lock, Service::MonitoredItems), false,
      [&](size_t i) -> const std::string& { return addresses[i]; }, [](size_t) { return false; }, join,
      [&](const std::vector<size_t>& indices) { ResumeGathered(lock, addresses, nodes, indices); });
}

// Until it succeeds or the session closes: the map keeps its items, the
// subscription id none, so nothing else takes it for a live one.
void ScheduleRetry(ClientLock& lock, UA_StatusCode status) {
  using std::chrono::milliseconds;
  lock->subscriptionId = 0;
  lock->resumePending = true;
  lock->resumeBackoff = std::clamp(lock->resumeBackoff * 2, kFirstRetry, kLongestRetry);
  lock->nextResumeAt = std::chrono::steady_clock::now() + lock->resumeBackoff;
  UALIB_LOG(kWarning, "Reconnect: the subscription of {} could not be re-created ({}); trying again in {}ms",
            lock.session().endpoint(), UA_StatusCode_name(status), lock->resumeBackoff.count());
}

}  // namespace

UA_StatusCode ResumeSubscriptions(ClientLock& lock) {
  lock->subscriptionLost = false;
  if (lock->monitors.Empty()) {
    lock->subscriptionId = 0;  // the next Subscribe creates one
    lock->resumePending = false;
    return UA_STATUSCODE_GOOD;
  }
  const UA_StatusCode status = CreateServerSubscription(lock, lock->publishingIntervalMs);
  if (status != UA_STATUSCODE_GOOD) {
    UALIB_LOG(kError, "Reconnect: CreateSubscription failed");
    ScheduleRetry(lock, status);
    return status;
  }
  lock->resumePending = false;
  lock->resumeBackoff = std::chrono::milliseconds{0};
  ResumeItems(lock);
  return status;
}

void RetryPendingResume(ClientLock& lock) {
  if (!lock->resumePending || std::chrono::steady_clock::now() < lock->nextResumeAt) return;
  UALIB_LOG(kInfo, "Reconnect: re-creating the subscription of {} again ({} monitored item(s))",
            lock.session().endpoint(), lock->monitors.Size());
  ResumeSubscriptions(lock);
}

void RecoverLostSubscription(ClientLock& lock) {
  if (!lock->subscriptionLost.exchange(false) || lock->subscriptionId.load() == 0) return;
  const uint32_t lost = lock->subscriptionId.exchange(0);
  UALIB_LOG(kWarning, "Subscription {} of {} was dropped; re-creating it with {} monitored item(s)", lost,
            lock.session().endpoint(), lock->monitors.Size());
  // The stack may still hold its record of it (when the server ended it); deleting
  // that frees the items' contexts. The server's answer changes nothing.
  SendIfLinkUp(lock, [&] { return UA_Client_Subscriptions_deleteSingle(lock.client(), lost); });
  ResumeSubscriptions(lock);
}

}  // namespace velk::quarlink::internal
