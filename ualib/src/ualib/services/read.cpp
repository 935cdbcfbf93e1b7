// Read: the Value (or the named attribute) of each node of a batch, all under one
// hold of the session lock; one request per node unless the session gathers several
// into one.
#include <open62541/client_highlevel.h>
#include <velk/quarlink/client.h>

#include "logging/log.h"
#include "services/requests.h"
#include "services/value_reads.h"
#include "session/await.h"
#include "session/batching.h"
#include "session/client_impl.h"
#include "session/link.h"
#include "session/type_cache.h"
#include "values/attributes.h"
#include "values/convert.h"
#include "values/status.h"
#include "values/timing.h"
#include "values/ua_types.h"

namespace velk::quarlink {

using namespace tessel::fnd::defs;

namespace internal {

void ValueReads::Target(size_t k, const UA_NodeId& node, const ReadTargets& targets, size_t index) {
  UA_ReadValueId_init(&items_[k]);
  items_[k].nodeId = node;
  items_[k].attributeId = targets.attributes.empty() ? UA_UInt32{UA_ATTRIBUTEID_VALUE} : targets.attributes[index];
}

void ValueReads::Send(const ClientLock& lock) {
  UA_ReadRequest request;
  UA_ReadRequest_init(&request);
  request.nodesToRead = items_.data();
  request.nodesToReadSize = items_.size();
  request.timestampsToReturn = timestamps_;
  sent_ = SendIfLinkUp(lock, [&] {
    return AwaitService(lock, &request, UA_TYPES[UA_TYPES_READREQUEST], response_.get(),
                        UA_TYPES[UA_TYPES_READRESPONSE]);
  });
}

UA_StatusCode ValueReads::Status(size_t k) const {
  return ItemStatus(sent_, response_->resultsSize, items_.size(), k, UA_STATUSCODE_BADUNEXPECTEDERROR, [&](size_t i) {
    const UA_DataValue& result = response_->results[i];
    if (result.status != UA_STATUSCODE_GOOD) return result.status;
    return result.hasValue ? UA_STATUSCODE_GOOD : UA_STATUSCODE_BADUNEXPECTEDERROR;
  });
}

UA_StatusCode ValueReads::ValueOf(size_t k, Arrays arrays, const ClientLock& lock, DataValue& out) const {
  const UA_DataValue& result = response_->results[k];
  CopyTimestamps(result, timestamps_, out);
  if (items_[k].attributeId != UA_ATTRIBUTEID_VALUE) return AttributeToHost(items_[k].attributeId, result.value, out);
  if (arrays == Arrays::Typed) return ConvertTyped(lock, items_[k].nodeId, result.value, out);
  out.value = UaVariantToValue(result.value, arrays);
  return UA_STATUSCODE_GOOD;
}

}  // namespace internal

namespace {

using internal::ClientLock;
using Clock = ClientLock::Clock;

ReadResult RejectRead(size_t itemCount) {
  UALIB_LOG(internal::kWarning, "Read rejected: not connected ({} items)", itemCount);
  return {ResultCode::NotConnected, "not connected", {}};
}

ReadItemResult ReadFailure(const std::string& address, UA_StatusCode status) {
  auto failure = internal::StatusFromUa(status);
  UALIB_LOG(internal::kDebug, "Read '{}' failed: {}", address, failure.message);
  return {failure.code, std::move(failure.message), address, std::nullopt};
}

// The items of one gathered request: read, answered in place, the time spent in the
// stack added to sdkTime.
void ReadGathered(const ClientLock& lock, const ReadRequest& request, const std::vector<internal::AddressNodeId>& nodes,
                  const internal::ReadTargets& targets, const std::vector<size_t>& indices, internal::Arrays arrays,
                  ReadResult& result, Clock::duration& sdkTime) {
  internal::ValueReads reads(nodes, indices, targets);
  const auto callStart = Clock::now();
  reads.Send(lock);
  sdkTime += Clock::now() - callStart;
  if (indices.size() > 1 && internal::RefusedAsTooLarge(reads.Sent())) {
    UALIB_LOG(internal::kDebug, "Read: the server refused {} items in one request ({}); sending them in halves",
              indices.size(), UA_StatusCode_name(reads.Sent()));
    const auto [first, second] = internal::Halves(indices);
    ReadGathered(lock, request, nodes, targets, first, arrays, result, sdkTime);
    ReadGathered(lock, request, nodes, targets, second, arrays, result, sdkTime);
    return;
  }
  for (size_t k = 0; k < indices.size(); ++k) {
    const std::string& address = request.items[indices[k]].address;
    UA_StatusCode status = reads.Status(k);
    // Time stamps only when asked for; never a quality of its own.
    DataValue value;
    if (status == UA_STATUSCODE_GOOD) status = reads.ValueOf(k, arrays, lock, value);
    result.items[indices[k]] = status == UA_STATUSCODE_GOOD
                                   ? ReadItemResult{ResultCode::Ok, {}, address, std::move(value)}
                                   : ReadFailure(address, status);
  }
}

ReadResult ReadBatch(const ClientLock& lock, const ReadRequest& request, internal::Arrays arrays) {
  const size_t itemCount = request.items.size();
  if (internal::IsCancelled(request.options)) {
    UALIB_LOG(internal::kDebug, "Read cancelled before start");
    return {ResultCode::Cancelled, "cancelled before start", {}};
  }
  internal::ReadTargets targets;
  if (const auto timestamps = internal::TimestampsOf(request.options.properties)) {
    targets.timestamps = *timestamps;
  } else {
    std::string message = fmt::format("timestamps: unknown value '{}' (none, source, server or both)",
                                      *request.options.properties.Get("timestamps"));
    UALIB_LOG(internal::kWarning, "Read rejected: {}", message);
    return {ResultCode::InvalidArgument, std::move(message), {}};
  }
  UALIB_LOG(internal::kDebug, "Read: {} items", itemCount);
  ReadResult result;
  result.items.resize(itemCount);
  std::vector<internal::AddressNodeId> nodes(itemCount);  // views of the request's addresses
  targets.attributes.resize(itemCount, UA_ATTRIBUTEID_VALUE);
  Clock::duration sdkTime{};
  const auto addressOf = [&](size_t i) -> const std::string& { return request.items[i].address; };
  // Every remaining item is checked, so one that follows a reset flag is read again.
  const auto cancelled = [&](size_t i) {
    if (!internal::IsCancelled(request.options)) return false;
    UALIB_LOG(internal::kDebug, "Read cancelled mid-batch at '{}'", addressOf(i));
    result.items[i] = {ResultCode::Cancelled, "cancelled mid-batch", addressOf(i), std::nullopt};
    return true;
  };
  const auto join = [&](size_t i) {
    if (!nodes[i].Parse(addressOf(i))) {
      UALIB_LOG(internal::kDebug, "Read: could not parse NodeId '{}'", addressOf(i));
      result.items[i] = {ResultCode::InvalidArgument, "could not parse NodeId", addressOf(i), std::nullopt};
      return false;
    }
    const std::string& attribute = request.items[i].attribute;
    if (const auto id = internal::AttributeIdOf(attribute)) {
      targets.attributes[i] = *id;
      return true;
    }
    UALIB_LOG(internal::kDebug, "Read: unknown attribute '{}' of '{}'", attribute, addressOf(i));
    result.items[i] = {ResultCode::InvalidArgument, internal::UnknownAttributeMessage(attribute), addressOf(i),
                       std::nullopt};
    return false;
  };
  const auto send = [&](const std::vector<size_t>& indices) {
    ReadGathered(lock, request, nodes, targets, indices, arrays, result, sdkTime);
  };
  internal::GatherRequests(itemCount, internal::ItemsPerRequest(lock, internal::Service::Read), false, addressOf,
                           cancelled, join, send);
  const auto end = Clock::now();
  UALIB_LOG(internal::kDebug, "Read timing [{} items]: mutex_wait={:.1f}ms sdk_call={:.1f}ms total={:.1f}ms", itemCount,
            internal::ToMillis(lock.acquiredAt() - lock.requestedAt()), internal::ToMillis(sdkTime),
            internal::ToMillis(end - lock.requestedAt()));
  return result;
}

}  // namespace

ReadResult Client::Read(const ReadRequest& request) {
  UALIB_TRACE();
  return internal::RunOnSession(
      *impl, [&] { return RejectRead(request.items.size()); },
      [&](ClientLock& lock) { return ReadBatch(lock, request, impl->arrays); });
}

}  // namespace velk::quarlink
