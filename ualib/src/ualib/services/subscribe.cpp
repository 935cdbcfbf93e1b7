// Subscribe: the session's one server-side subscription, one monitored item per
// node address (created one per request unless the session gathers several), and
// the start of the session's dispatch worker.
#include <velk/quarlink/client.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <optional>

#include "lifecycle/lifecycle.h"
#include "logging/log.h"
#include "session/batching.h"
#include "session/client_impl.h"
#include "session/link.h"
#include "session/type_cache.h"
#include "subscriptions/subscriptions.h"
#include "values/status.h"
#include "values/ua_types.h"

namespace velk::quarlink {

using namespace tessel::fnd::defs;

namespace internal {
namespace {

// Decimal text as std::stod reads it (leading blanks skipped, trailing text such as
// a unit ignored). No number, a number out of range, or one that is not finite
// keeps the fallback: an interval of NaN or infinity means nothing to a server.
double IntervalOption(const PropertyMap& properties, std::string_view key, double fallback) {
  const std::string* text = properties.Get(key);
  if (!text) return fallback;
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text->c_str(), &end);
  if (end == text->c_str() || errno == ERANGE || !std::isfinite(value)) return fallback;
  return value;
}

// Deletes the item an earlier Subscribe made for the address (from any Client of
// the session); the stack then frees its context. The outcome does not matter: the
// address is subscribed anew either way.
void DropExistingItem(ClientLock& lock, const std::string& address) {
  const MonitorEntry* existing = lock->monitors.Find(address);
  if (!existing) return;
  DeleteMonitoredItem(lock, existing->monitoredItemId);
  lock->monitors.Erase(address);
}

// Runs with a stack client. Named after the operation: the name
// is part of every log line written here.
SubscribeResult Subscribe(ClientLock& lock, const std::vector<std::string>& addresses,
                          const SubscriptionHandler& handler, const SubscribeOpts& opts, Arrays arrays) {
  UALIB_LOG(kDebug, "Subscribe: {} nodes queue_size={} discard_oldest={}", addresses.size(), opts.queue_size,
            opts.discard_oldest);
  RecoverLostSubscription(lock);
  if (lock->subscriptionId == 0) {
    const double publishingMs = IntervalOption(opts.properties, "publishing_interval_ms", kDefaultIntervalMs);
    // Items waiting to be resumed come back with the subscription they were made in.
    const UA_StatusCode status =
        lock->resumePending ? ResumeSubscriptions(lock) : CreateServerSubscription(lock, publishingMs);
    if (status != UA_STATUSCODE_GOOD) {
      Result mapped = StatusFromUa(status);
      UALIB_LOG(kError, "Subscribe: CreateSubscription failed: {}", mapped.message);
      return {mapped.code, std::move(mapped.message), {}};
    }
    UALIB_LOG(kDebug, "Subscribe: server-side subscription created (id={})", lock->subscriptionId.load());
  }

  const MonitorParams params{IntervalOption(opts.properties, "sampling_interval_ms", kDefaultIntervalMs),
                             opts.queue_size, opts.discard_oldest, arrays, nullptr};
  SubscribeResult result;
  result.items.reserve(addresses.size());
  for (const std::string& address : addresses) result.items.push_back({ResultCode::Ok, {}, address});
  std::vector<AddressNodeId> nodes(addresses.size());  // views of the addresses
  const auto fail = [&](size_t i, UA_StatusCode status) {
    Result mapped = StatusFromUa(status);
    result.items[i].code = mapped.code;
    result.items[i].message = std::move(mapped.message);
  };
  const auto join = [&](size_t i) {
    if (!LinkUp(lock)) {
      fail(i, kLinkDownStatus);  // an item the address already has stays: it comes back with the link
      return false;
    }
    DropExistingItem(lock, addresses[i]);
    if (nodes[i].Parse(addresses[i])) return true;
    UALIB_LOG(kDebug, "Subscribe: could not parse NodeId '{}'", addresses[i]);
    result.items[i].code = ResultCode::InvalidArgument;
    result.items[i].message = "could not parse NodeId";
    return false;
  };
  const auto send = [&](const std::vector<size_t>& indices) {
    std::vector<ItemToCreate> items;
    items.reserve(indices.size());
    for (size_t i : indices) {
      MonitorParams itemParams = params;
      // Notifications are converted on the stack's thread, which cannot ask the server.
      if (arrays == Arrays::Typed) itemParams.type = TypesOf(lock).NodeType(lock, *nodes[i]);
      items.push_back({&addresses[i], nodes[i].get(), std::move(itemParams), handler});
    }
    const std::vector<CreatedItem> created = CreateMonitoredItems(lock, items);
    for (size_t k = 0; k < indices.size(); ++k) {
      const std::string& address = addresses[indices[k]];
      if (created[k].status == UA_STATUSCODE_GOOD) {
        UALIB_LOG(kDebug, "Subscribe '{}' OK (monitor_id={})", address, created[k].monitoredItemId);
        continue;
      }
      fail(indices[k], created[k].status);
      UALIB_LOG(kWarning, "Subscribe '{}' failed to create monitored item (subscription_id={}): {}", address,
                lock->subscriptionId.load(), result.items[indices[k]].message);
    }
  };
  // Subscribing one address twice replaces the first item, so the two never share a request.
  GatherRequests(
      addresses.size(), ItemsPerRequest(lock, Service::MonitoredItems), true,
      [&](size_t i) -> const std::string& { return addresses[i]; }, [](size_t) { return false; }, join, send);

  if (!EnsureIteratorThread(lock)) UALIB_LOG(kError, "Subscribe: could not start the session's iterator thread");
  if (!lock.session().dispatch().Running()) {
    UALIB_LOG(kDebug, "Subscribe: starting notification dispatch worker");
    // Without a worker the queue still holds at most its cap; the next Subscribe
    // tries again.
    if (!lock.session().dispatch().Start())
      UALIB_LOG(kError, "Subscribe: could not start notification dispatch worker");
  }
  return result;
}

}  // namespace
}  // namespace internal

SubscribeResult Client::Subscribe(const std::vector<std::string>& addresses, SubscriptionHandler handler,
                                  const SubscribeOpts& opts) {
  UALIB_TRACE();
  std::optional<SubscribeResult> result = internal::RunOnIteratorSession(
      *impl, [] { return std::optional<SubscribeResult>(); },
      [&](internal::ClientLock& lock) {
        return std::optional(internal::Subscribe(lock, addresses, handler, opts, impl->arrays));
      });
  if (result) return std::move(*result);
  UALIB_LOG(internal::kWarning, "Subscribe rejected: not connected ({} nodes)", addresses.size());
  return {ResultCode::NotConnected, "not connected", {}};
}

}  // namespace velk::quarlink
