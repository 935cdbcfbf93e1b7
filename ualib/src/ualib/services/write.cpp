// Write: a value to each node of a batch, all under one hold of the session lock; one
// request per node unless the session gathers several into one. The Value
// alternative alone decides the type that is sent.
#include <open62541/client_highlevel.h>
#include <velk/quarlink/client.h>

#include "logging/log.h"
#include "services/requests.h"
#include "session/await.h"
#include "session/batching.h"
#include "session/client_impl.h"
#include "session/link.h"
#include "session/type_cache.h"
#include "values/convert.h"
#include "values/status.h"
#include "values/ua_types.h"

namespace velk::quarlink {

using namespace tessel::fnd::defs;

namespace {

WriteResult RejectWrite(size_t itemCount) {
  UALIB_LOG(internal::kWarning, "Write rejected: not connected ({} items)", itemCount);
  return {ResultCode::NotConnected, "not connected", {}};
}

// One item ready to send: its node and its value, owned or viewed in the caller's
// request until the request is done.
struct PendingWrite {
  internal::AddressNodeId node;
  internal::UaVariant value;
};

void WriteGathered(const internal::ClientLock& lock, const WriteRequest& request,
                   const std::vector<PendingWrite>& pending, const std::vector<size_t>& indices, WriteResult& result) {
  std::vector<UA_WriteValue> values(indices.size());
  for (size_t k = 0; k < indices.size(); ++k) {
    UA_WriteValue_init(&values[k]);
    values[k].nodeId = *pending[indices[k]].node;  // views: the request is never cleared
    values[k].attributeId = UA_ATTRIBUTEID_VALUE;
    values[k].value.value = *pending[indices[k]].value;
    values[k].value.hasValue = true;
  }
  UA_WriteRequest writeRequest;
  UA_WriteRequest_init(&writeRequest);
  writeRequest.nodesToWrite = values.data();
  writeRequest.nodesToWriteSize = values.size();
  internal::UaOwned<UA_WriteResponse> response;
  const UA_StatusCode sent = internal::SendIfLinkUp(lock, [&] {
    return internal::AwaitService(lock, &writeRequest, UA_TYPES[UA_TYPES_WRITEREQUEST], response.get(),
                                  UA_TYPES[UA_TYPES_WRITERESPONSE]);
  });
  if (indices.size() > 1 && internal::RefusedAsTooLarge(sent)) {
    UALIB_LOG(internal::kDebug, "Write: the server refused {} items in one request ({}); sending them in halves",
              indices.size(), UA_StatusCode_name(sent));
    const auto [first, second] = internal::Halves(indices);
    WriteGathered(lock, request, pending, first, result);
    WriteGathered(lock, request, pending, second, result);
    return;
  }
  for (size_t k = 0; k < indices.size(); ++k) {
    const std::string& address = request.items[indices[k]].address;
    const UA_StatusCode status =
        internal::ItemStatus(sent, response->resultsSize, indices.size(), k, UA_STATUSCODE_BADUNEXPECTEDERROR,
                             [&](size_t i) { return response->results[i]; });
    if (status == UA_STATUSCODE_GOOD) {
      result.items[indices[k]] = {ResultCode::Ok, {}, address};
      continue;
    }
    auto failure = internal::StatusFromUa(status);
    UALIB_LOG(internal::kDebug, "Write '{}' failed: {}", address, failure.message);
    result.items[indices[k]] = {failure.code, std::move(failure.message), address};
  }
}

WriteResult WriteBatch(const internal::ClientLock& lock, const WriteRequest& request, internal::Arrays arrays) {
  if (internal::IsCancelled(request.options)) {
    UALIB_LOG(internal::kDebug, "Write cancelled before start");
    return {ResultCode::Cancelled, "cancelled before start", {}};
  }
  const size_t itemCount = request.items.size();
  UALIB_LOG(internal::kDebug, "Write: {} items", itemCount);
  WriteResult result;
  result.items.resize(itemCount);
  std::vector<PendingWrite> pending(itemCount);
  const auto addressOf = [&](size_t i) -> const std::string& { return request.items[i].address; };
  // Every remaining item is checked, so one that follows a reset flag is written.
  const auto cancelled = [&](size_t i) {
    if (!internal::IsCancelled(request.options)) return false;
    UALIB_LOG(internal::kDebug, "Write cancelled mid-batch at '{}'", addressOf(i));
    result.items[i] = {ResultCode::Cancelled, "cancelled mid-batch", addressOf(i)};
    return true;
  };
  // The address is checked before the value, so an item with both faults reports the
  // address; an item whose value does not convert is never sent.
  const auto join = [&](size_t i) {
    if (!pending[i].node.Parse(addressOf(i))) {
      UALIB_LOG(internal::kDebug, "Write: could not parse NodeId '{}'", addressOf(i));
      result.items[i] = {ResultCode::InvalidArgument, "could not parse NodeId", addressOf(i)};
      return false;
    }
    if (arrays == internal::Arrays::Typed) {
      Result refusal;
      if (internal::TypedForNode(lock, *pending[i].node, request.items[i].value, *pending[i].value, refusal))
        return true;
      UALIB_LOG(internal::kDebug, "Write '{}': {}", addressOf(i), refusal.message);
      result.items[i] = {refusal.code, std::move(refusal.message), addressOf(i)};
      return false;
    }
    if (!internal::ValueToUaVariantView(request.items[i].value, *pending[i].value, arrays)) {
      UALIB_LOG(internal::kDebug, "Write '{}': unsupported Value type", addressOf(i));
      result.items[i] = {ResultCode::TypeMismatch, "value type not supported by current converter", addressOf(i)};
      return false;
    }
    return true;
  };
  const auto send = [&](const std::vector<size_t>& indices) { WriteGathered(lock, request, pending, indices, result); };
  // Two writes to one node go in separate requests, so the later one always wins.
  internal::GatherRequests(itemCount, internal::ItemsPerRequest(lock, internal::Service::Write), true, addressOf,
                           cancelled, join, send);
  return result;
}

}  // namespace

WriteResult Client::Write(const WriteRequest& request) {
  UALIB_TRACE();
  return internal::RunOnSession(
      *impl, [&] { return RejectWrite(request.items.size()); },
      [&](internal::ClientLock& lock) { return WriteBatch(lock, request, impl->arrays); });
}

}  // namespace velk::quarlink
