// Unsubscribe and UnsubscribeAll: removing monitored items of the session, for
// every Client attached to it.
#include <velk/quarlink/client.h>

#include <algorithm>
#include <optional>
#include <utility>

#include "lifecycle/lifecycle.h"
#include "logging/log.h"
#include "session/batching.h"
#include "session/client_impl.h"
#include "session/link.h"
#include "subscriptions/subscriptions.h"
#include "values/status.h"

namespace velk::quarlink {

using namespace tessel::fnd::defs;

namespace internal {
namespace {

// With the link gone, a server-side delete could only fail after a timeout.
bool LinkDown(const ClientLock& lock) {
  if (!LinkUp(lock)) return true;
  const ConnectionState state = lock.session().State();
  return state == ConnectionState::Disconnected || state == ConnectionState::Error;
}

// The functions below run with a stack client; they are named
// after the operation because the name is part of every log line written there.

UnsubscribeResult Unsubscribe(ClientLock& lock, const std::vector<std::string>& addresses) {
  UALIB_LOG(kDebug, "Unsubscribe: {} nodes", addresses.size());
  const bool linkDown = LinkDown(lock);
  UnsubscribeResult result;
  result.items.reserve(addresses.size());
  std::vector<uint32_t> toDelete;
  std::vector<size_t> toReport;  // the result item of each id to delete
  for (size_t i = 0; i < addresses.size(); ++i) {
    const std::string& address = addresses[i];
    UnsubscribeItemResult& item = result.items.emplace_back(UnsubscribeItemResult{ResultCode::Ok, {}, address});
    const MonitorEntry* entry = lock->monitors.Find(address);
    if (!entry) continue;  // not monitored: nothing to do
    if (linkDown) {
      // The stack keeps its own record of the item until the session is cleaned
      // up on reconnect or teardown; the context goes with it then.
      lock->monitors.Erase(address);
      item.code = ResultCode::NotConnected;
      item.message = "connection lost; monitor dropped locally without server-side delete";
      continue;
    }
    toDelete.push_back(entry->monitoredItemId);
    lock->monitors.Erase(address);
    toReport.push_back(i);
  }
  // The items of the map are gone already; their deletes on the server go in
  // requests of as many as the session gathers.
  const size_t perRequest = ItemsPerRequest(lock, Service::MonitoredItems);
  for (size_t first = 0; first < toDelete.size(); first += perRequest) {
    const size_t last = std::min(toDelete.size(), first + perRequest);
    const std::vector<UA_StatusCode> statuses =
        DeleteMonitoredItems(lock, std::vector<uint32_t>(toDelete.begin() + first, toDelete.begin() + last));
    for (size_t k = first; k < last; ++k) {
      if (statuses[k - first] == UA_STATUSCODE_GOOD) continue;
      UnsubscribeItemResult& item = result.items[toReport[k]];
      Result mapped = StatusFromUa(statuses[k - first]);
      UALIB_LOG(kDebug, "Unsubscribe '{}' failed: {}", item.address, mapped.message);
      item.code = mapped.code;
      item.message = std::move(mapped.message);
    }
  }
  if (linkDown)
    UALIB_LOG(kDebug, "Unsubscribe: link down — dropped {} monitor(s) locally, skipped server-side deletes",
              addresses.size());
  return result;
}

Result UnsubscribeAll(ClientLock& lock) {
  const size_t cleared = lock->monitors.Size();
  if (const uint32_t subscription = lock->subscriptionId.exchange(0); subscription != 0) {
    // Deleting the subscription deletes its items with it, in the stack as well. With
    // the link down the stack keeps its record until the session is cleaned up, and
    // no notification of it reaches a handler: the items are gone from the map.
    SendIfLinkUp(lock, [&] { return UA_Client_Subscriptions_deleteSingle(lock.client(), subscription); });
  }
  lock->monitors.Clear();
  UALIB_LOG(kDebug, "UnsubscribeAll: cleared {} monitored items", cleared);
  return {};
}

}  // namespace
}  // namespace internal

UnsubscribeResult Client::Unsubscribe(const std::vector<std::string>& addresses) {
  UALIB_TRACE();
  std::optional<UnsubscribeResult> result = internal::RunOnIteratorSession(
      *impl, [] { return std::optional<UnsubscribeResult>(); },
      [&](internal::ClientLock& lock) { return std::optional(internal::Unsubscribe(lock, addresses)); });
  if (result) return std::move(*result);
  UALIB_LOG(internal::kWarning, "Unsubscribe rejected: not connected ({} nodes)", addresses.size());
  return {ResultCode::NotConnected, "not connected", {}};
}

Result Client::UnsubscribeAll() {
  UALIB_TRACE();
  std::optional<Result> result = internal::RunOnIteratorSession(
      *impl, [] { return std::optional<Result>(); },
      [](internal::ClientLock& lock) { return std::optional(internal::UnsubscribeAll(lock)); });
  if (result) return std::move(*result);
  UALIB_LOG(internal::kWarning, "UnsubscribeAll rejected: not connected");
  return {ResultCode::NotConnected, "not connected"};
}

}  // namespace velk::quarlink
