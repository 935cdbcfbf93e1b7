// Write: a value to each node of a batch, all under one hold of the session lock; one
// request per node unless the session gathers several into one. The Value
// alternative alone decides the type that is sent.
#include <open62541/client_highlevel.h>
#include <velk/quarlink/client.h>

#include "batching.h"
#include "client_impl.h"
#include "convert.h"
#include "link.h"
#include "log.h"
#include "requests.h"
#include "status.h"
#include "type_cache.h"
#include "ua_types.h"

namespace velk::quarlink {

using namespace tessel::fnd::defs;

namespace {

WriteResult RejectWrite(size_t itemCount) {
  UALIB_LOG(internal::kWarning, "Write rejected: not connected ({} items)", itemCount);
  return {ResultCode::NotConnected, "not connected", {}};
}

// One item ready to send: its node and its value, owned until the request is done.
struct PendingWrite {
  internal::UaNodeId node;
  internal::UaVariant value;
};

// What a write of the item alone reports: the service's failure, a missing result,
// or the item's own status.
UA_StatusCode ItemStatus(UA_StatusCode sent, const UA_WriteResponse& response, size_t k, size_t count) {
  if (sent != UA_STATUSCODE_GOOD) return sent;
  if (response.resultsSize != count) return UA_STATUSCODE_BADUNEXPECTEDERROR;
  return response.results[k];
}

void WriteGathered(OpcuaConnection& conn, const WriteRequest& request, const std::vector<PendingWrite>& pending,
                   const std::vector<size_t>& indices, WriteResult& result) {
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
  const UA_StatusCode sent = internal::SendIfLinkUp(conn, [&] {
    *response = UA_Client_Service_write(conn.client, writeRequest);
    return response->responseHeader.serviceResult;
  });
  for (size_t k = 0; k < indices.size(); ++k) {
    const std::string& address = request.items[indices[k]].address;
    const UA_StatusCode status = ItemStatus(sent, *response, k, indices.size());
    if (status == UA_STATUSCODE_GOOD) {
      result.items[indices[k]] = {ResultCode::Ok, {}, address};
      continue;
    }
    auto failure = internal::StatusFromUa(status);
    UALIB_LOG(internal::kDebug, "Write '{}' failed: {}", address, failure.message);
    result.items[indices[k]] = {failure.code, std::move(failure.message), address};
  }
}

WriteResult WriteBatch(OpcuaConnection& conn, const WriteRequest& request, internal::Arrays arrays) {
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
    if (!internal::ParseNodeId(addressOf(i), *pending[i].node)) {
      UALIB_LOG(internal::kDebug, "Write: could not parse NodeId '{}'", addressOf(i));
      result.items[i] = {ResultCode::InvalidArgument, "could not parse NodeId", addressOf(i)};
      return false;
    }
    if (arrays == internal::Arrays::Typed) {
      Result refusal;
      if (internal::TypedForNode(conn, *pending[i].node, request.items[i].value, *pending[i].value, refusal))
        return true;
      UALIB_LOG(internal::kDebug, "Write '{}': {}", addressOf(i), refusal.message);
      result.items[i] = {refusal.code, std::move(refusal.message), addressOf(i)};
      return false;
    }
    if (!internal::ValueToUaVariant(request.items[i].value, *pending[i].value, arrays)) {
      UALIB_LOG(internal::kDebug, "Write '{}': unsupported Value type", addressOf(i));
      result.items[i] = {ResultCode::TypeMismatch, "value type not supported by current converter", addressOf(i)};
      return false;
    }
    return true;
  };
  const auto send = [&](const std::vector<size_t>& indices) { WriteGathered(conn, request, pending, indices, result); };
  // Two writes to one node go in separate requests, so the later one always wins.
  internal::GatherRequests(itemCount, internal::ItemsPerRequest(conn, internal::Service::Write), true, addressOf,
                           cancelled, join, send);
  return result;
}

}  // namespace

WriteResult Client::Write(const WriteRequest& request) {
  UALIB_TRACE();
  return internal::RunOnSession(
      *impl, [&] { return RejectWrite(request.items.size()); },
      [&](internal::ClientLock& lock) { return WriteBatch(lock.connection(), request, impl->arrays); });
}

}  // namespace velk::quarlink
