#include "session/batching.h"

#include <open62541/client.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "logging/log.h"
#include "session/await.h"
#include "session/link.h"
#include "values/ua_types.h"

namespace velk::quarlink::internal {
namespace {

// A server that advertises no limit of its own still gets requests of a size that
// every stack handles.
constexpr uint32_t kUnadvertisedLimit = 1000;

uint32_t ServerLimit(const OperationLimits& limits, Service service) {
  switch (service) {
    case Service::Read:
      return limits.read;
    case Service::Write:
      return limits.write;
    case Service::MonitoredItems:
      return limits.monitoredItems;
    case Service::Browse:
      return limits.browse;
  }
  return 0;
}

// The limit a result of the limits read gives: its UInt32 value, or none.
uint32_t LimitOf(const UA_DataValue& value) {
  if (value.status != UA_STATUSCODE_GOOD || !value.hasValue ||
      !UA_Variant_hasScalarType(&value.value, &UA_TYPES[UA_TYPES_UINT32]))
    return 0;
  return *static_cast<const UA_UInt32*>(value.value.data);
}

}  // namespace

size_t ItemsPerRequest(const ClientLock& lock, Service service) {
  if (lock->maxItemsPerRequest == 1) return 1;
  uint32_t limit = ServerLimit(lock->operationLimits, service);
  if (limit == 0) limit = kUnadvertisedLimit;
  if (lock->maxItemsPerRequest != 0) limit = std::min(limit, lock->maxItemsPerRequest);
  return limit;
}

bool RefusedAsTooLarge(UA_StatusCode status) {
  return status == UA_STATUSCODE_BADTOOMANYOPERATIONS || status == UA_STATUSCODE_BADRESPONSETOOLARGE ||
         status == UA_STATUSCODE_BADENCODINGLIMITSEXCEEDED;
}

RequestAddresses::RequestAddresses(size_t most) {
  if (most == 0) return;
  size_t size = 4;
  while (size < 2 * most) size *= 2;
  slots_.resize(size);
  used_.reserve(most);
}

bool RequestAddresses::Contains(std::string_view address, size_t hash) const {
  if (slots_.empty()) return false;
  for (size_t at = hash & Mask(); slots_[at].used; at = (at + 1) & Mask()) {
    if (slots_[at].hash == hash && slots_[at].address == address) return true;
  }
  return false;
}

// Only called for an address the request does not hold yet: a repeat starts a new
// request first.
void RequestAddresses::Insert(std::string_view address, size_t hash) {
  if (slots_.empty()) return;
  size_t at = hash & Mask();
  while (slots_[at].used) at = (at + 1) & Mask();
  slots_[at] = {address, hash, true};
  used_.push_back(at);
}

void RequestAddresses::Clear() {
  for (const size_t at : used_) slots_[at] = {};
  used_.clear();
}

std::pair<std::vector<size_t>, std::vector<size_t>> Halves(const std::vector<size_t>& indices) {
  const auto middle = indices.begin() + static_cast<std::ptrdiff_t>(indices.size() / 2);
  return {std::vector<size_t>(indices.begin(), middle), std::vector<size_t>(middle, indices.end())};
}

namespace {

// The current values of the given limit variables, 0 for each the server does not
// advertise; none when the read itself was refused.
std::optional<std::vector<uint32_t>> ReadLimits(const ClientLock& lock, const std::vector<UA_UInt32>& ids) {
  std::vector<UA_ReadValueId> items(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    UA_ReadValueId_init(&items[i]);
    items[i].nodeId = UA_NODEID_NUMERIC(0, ids[i]);
    items[i].attributeId = UA_ATTRIBUTEID_VALUE;
  }
  UA_ReadRequest request;
  UA_ReadRequest_init(&request);
  request.nodesToRead = items.data();
  request.nodesToReadSize = items.size();
  UaOwned<UA_ReadResponse> response;
  const UA_StatusCode status = SendIfLinkUp(lock, [&] {
    return AwaitService(lock, &request, UA_TYPES[UA_TYPES_READREQUEST], response.get(),
                        UA_TYPES[UA_TYPES_READRESPONSE]);
  });
  if (status != UA_STATUSCODE_GOOD || response->resultsSize != ids.size()) return std::nullopt;
  std::vector<uint32_t> limits(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) limits[i] = LimitOf(response->results[i]);
  return limits;
}

}  // namespace

void ReadOperationLimits(ClientLock& lock) {
  lock->operationLimits = {};
  if (lock->maxItemsPerRequest == 1) return;
  const std::vector<UA_UInt32> ids = {UA_NS0ID_SERVER_SERVERCAPABILITIES_OPERATIONLIMITS_MAXNODESPERREAD,
                                      UA_NS0ID_SERVER_SERVERCAPABILITIES_OPERATIONLIMITS_MAXNODESPERWRITE,
                                      UA_NS0ID_SERVER_SERVERCAPABILITIES_OPERATIONLIMITS_MAXMONITOREDITEMSPERCALL,
                                      UA_NS0ID_SERVER_SERVERCAPABILITIES_OPERATIONLIMITS_MAXNODESPERBROWSE};
  std::vector<uint32_t> limits = ReadLimits(lock, ids).value_or(std::vector<uint32_t>{});
  if (limits.empty()) {
    // A server that takes fewer than four nodes per read refuses the whole request.
    for (UA_UInt32 id : ids) limits.push_back(ReadLimits(lock, {id}).value_or(std::vector<uint32_t>{0}).front());
  }
  lock->operationLimits = {limits[0], limits[1], limits[2], limits[3]};
  UALIB_LOG(kDebug, "Items per request on {}: read={} write={} monitored_items={} browse={}", lock.session().endpoint(),
            ItemsPerRequest(lock, Service::Read), ItemsPerRequest(lock, Service::Write),
            ItemsPerRequest(lock, Service::MonitoredItems), ItemsPerRequest(lock, Service::Browse));
}

}  // namespace velk::quarlink::internal
