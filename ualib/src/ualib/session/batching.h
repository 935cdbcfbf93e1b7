// Several items in one request: how many a request of each service may carry on a
// session, and the walk that gathers a batch into such requests in request order.
// With "max_items_per_request" at its default of 1 every item is a request of its
// own, exactly as when nothing is gathered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "session/session.h"

namespace velk::quarlink::internal {

enum class Service { Read, Write, MonitoredItems, Browse };

// Items per request the session's own setting and the server's limit allow.
size_t ItemsPerRequest(const ClientLock& lock, Service service);

// Reads the server's operation limits for a session that gathers items, once it is
// connected; a session that sends one item per request asks nothing. The session
// has a stack client.
void ReadOperationLimits(ClientLock& lock);

// What item k of a request of count items reports, as a request of the item alone
// would: the service's failure, `missing` when the response does not hold one result
// per item, or the item's own status, statusOf(k).
template <typename StatusOf>
UA_StatusCode ItemStatus(UA_StatusCode sent, size_t resultsSize, size_t count, size_t k, UA_StatusCode missing,
                         StatusOf&& statusOf) {
  if (sent != UA_STATUSCODE_GOOD) return sent;
  if (resultsSize != count) return missing;
  return statusOf(k);
}

// True for the answers of a server that found a request too large as a whole; its
// items are then sent again in smaller requests.
bool RefusedAsTooLarge(UA_StatusCode status);

// The two halves of a request's items, in order.
std::pair<std::vector<size_t>, std::vector<size_t>> Halves(const std::vector<size_t>& indices);

// The addresses of the request being gathered, so that a repeat can start a new
// one: open addressing over their hashes, with no allocation per item as a
// node-based set would make for every item of a large batch.
class RequestAddresses {
 public:
  // Room for `most` addresses between two clears.
  explicit RequestAddresses(size_t most);
  static size_t Hash(std::string_view address) { return std::hash<std::string_view>{}(address); }
  bool Contains(std::string_view address, size_t hash) const;
  void Insert(std::string_view address, size_t hash);
  void Clear();

 private:
  struct Slot {
    std::string_view address;
    size_t hash = 0;
    bool used = false;
  };
  size_t Mask() const { return slots_.size() - 1; }

  std::vector<Slot> slots_;   // a power of two long, at most half full
  std::vector<size_t> used_;  // which slots to empty at the next Clear
};

// Walks the items [0, count) in order and gathers them into requests of at most
// perRequest items, each handed to send() as the items' indices:
// - cancelled(i) is asked before an item that would start a new request, so a
//   cancellation is seen between requests; when it answers the item it returns true;
// - join(i) answers an item that cannot be sent (an address that does not parse)
//   and returns false;
// - with repeats split, an item whose address the request already holds starts a
//   new request, so the operations on one node keep their order.
template <typename AddressOf, typename Cancelled, typename Join, typename Send>
void GatherRequests(size_t count, size_t perRequest, bool splitRepeats, AddressOf&& addressOf, Cancelled&& cancelled,
                    Join&& join, Send&& send) {
  std::vector<size_t> request;
  request.reserve(perRequest < count ? perRequest : count);
  const bool trackAddresses = splitRepeats && perRequest > 1;
  RequestAddresses addresses(trackAddresses ? request.capacity() : 0);
  const auto flush = [&] {
    if (!request.empty()) send(request);
    request.clear();
    addresses.Clear();
  };
  for (size_t i = 0; i < count; ++i) {
    const size_t hash = trackAddresses ? RequestAddresses::Hash(addressOf(i)) : 0;
    if (trackAddresses && !request.empty() && addresses.Contains(addressOf(i), hash)) flush();
    if (request.empty() && cancelled(i)) continue;
    if (!join(i)) continue;
    request.push_back(i);
    if (trackAddresses) addresses.Insert(addressOf(i), hash);
    if (request.size() >= perRequest) flush();
  }
  flush();
}

}  // namespace velk::quarlink::internal
