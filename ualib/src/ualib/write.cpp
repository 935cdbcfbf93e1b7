// Write: a value to each node of a batch, one request per node, all under one hold
// of the session lock. The Value alternative alone decides the type that is sent.
#include <open62541/client_highlevel.h>
#include <velk/quarlink/client.h>

#include "client_impl.h"
#include "convert.h"
#include "link.h"
#include "log.h"
#include "requests.h"
#include "status.h"
#include "ua_types.h"

namespace velk::quarlink {

using namespace tessel::fnd::defs;

namespace {

WriteResult RejectWrite(size_t itemCount) {
  UALIB_LOG(internal::kWarning, "Write rejected: not connected ({} items)", itemCount);
  return {ResultCode::NotConnected, "not connected", {}};
}

// The address is checked before the value, so an item with both faults reports the
// address; an item whose value does not convert is never sent.
WriteItemResult WriteOne(OpcuaConnection& conn, const WriteItem& item, internal::Arrays arrays) {
  internal::UaNodeId node;
  if (!internal::ParseNodeId(item.address, *node)) {
    UALIB_LOG(internal::kDebug, "Write: could not parse NodeId '{}'", item.address);
    return {ResultCode::InvalidArgument, "could not parse NodeId", item.address};
  }
  internal::UaVariant value;
  if (!internal::ValueToUaVariant(item.value, *value, arrays)) {
    UALIB_LOG(internal::kDebug, "Write '{}': unsupported Value type", item.address);
    return {ResultCode::TypeMismatch, "value type not supported by current converter", item.address};
  }
  const UA_StatusCode status = internal::SendIfLinkUp(conn, [&] {
    return __UA_Client_writeAttribute(conn.client, node.get(), UA_ATTRIBUTEID_VALUE, value.get(),
                                      &UA_TYPES[UA_TYPES_VARIANT]);
  });
  if (status != UA_STATUSCODE_GOOD) {
    auto failure = internal::StatusFromUa(status);
    UALIB_LOG(internal::kDebug, "Write '{}' failed: {}", item.address, failure.message);
    return {failure.code, std::move(failure.message), item.address};
  }
  return {ResultCode::Ok, {}, item.address};
}

WriteResult WriteBatch(OpcuaConnection& conn, const WriteRequest& request, internal::Arrays arrays) {
  if (internal::IsCancelled(request.options)) {
    UALIB_LOG(internal::kDebug, "Write cancelled before start");
    return {ResultCode::Cancelled, "cancelled before start", {}};
  }
  UALIB_LOG(internal::kDebug, "Write: {} items", request.items.size());
  WriteResult result;
  result.items.reserve(request.items.size());
  for (const auto& item : request.items) {
    // Every remaining item is checked, so one that follows a reset flag is written.
    if (internal::IsCancelled(request.options)) {
      UALIB_LOG(internal::kDebug, "Write cancelled mid-batch at '{}'", item.address);
      result.items.push_back({ResultCode::Cancelled, "cancelled mid-batch", item.address});
      continue;
    }
    result.items.push_back(WriteOne(conn, item, arrays));
  }
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
