// Read: the Value attribute of each node of a batch, one request per node, all under
// one hold of the session lock.
#include <open62541/client_highlevel.h>
#include <velk/quarlink/client.h>

#include "client_impl.h"
#include "convert.h"
#include "link.h"
#include "log.h"
#include "requests.h"
#include "status.h"
#include "timing.h"
#include "ua_types.h"

namespace velk::quarlink {

using namespace tessel::fnd::defs;

namespace {

using internal::ClientLock;
using Clock = ClientLock::Clock;

// A value as read or returned: good quality, no time stamp, no properties.
DataValue GoodValue(Value value) {
  DataValue out;
  out.value = std::move(value);
  return out;
}

ReadResult RejectRead(size_t itemCount) {
  UALIB_LOG(internal::kWarning, "Read rejected: not connected ({} items)", itemCount);
  return {ResultCode::NotConnected, "not connected", {}};
}

// One stack read; the time spent in the stack is added to sdkTime.
ReadItemResult ReadOne(OpcuaConnection& conn, const Address& address, internal::Arrays arrays,
                       Clock::duration& sdkTime) {
  internal::UaNodeId node;
  if (!internal::ParseNodeId(address, *node)) {
    UALIB_LOG(internal::kDebug, "Read: could not parse NodeId '{}'", address);
    return {ResultCode::InvalidArgument, "could not parse NodeId", address, std::nullopt};
  }
  internal::UaVariant value;
  const auto callStart = Clock::now();
  const UA_StatusCode status = internal::SendIfLinkUp(conn, [&] {
    return __UA_Client_readAttribute(conn.client, node.get(), UA_ATTRIBUTEID_VALUE, value.get(),
                                     &UA_TYPES[UA_TYPES_VARIANT]);
  });
  sdkTime += Clock::now() - callStart;
  if (status != UA_STATUSCODE_GOOD) {
    auto failure = internal::StatusFromUa(status);
    UALIB_LOG(internal::kDebug, "Read '{}' failed: {}", address, failure.message);
    return {failure.code, std::move(failure.message), address, std::nullopt};
  }
  // A plain Value read carries neither time stamps nor a quality of its own.
  return {ResultCode::Ok, {}, address, GoodValue(internal::UaVariantToValue(*value, arrays))};
}

ReadResult ReadBatch(const ClientLock& lock, const ReadRequest& request, internal::Arrays arrays) {
  const size_t itemCount = request.items.size();
  if (internal::IsCancelled(request.options)) {
    UALIB_LOG(internal::kDebug, "Read cancelled before start");
    return {ResultCode::Cancelled, "cancelled before start", {}};
  }
  UALIB_LOG(internal::kDebug, "Read: {} items", itemCount);
  ReadResult result;
  result.items.reserve(itemCount);
  Clock::duration sdkTime{};
  for (const auto& item : request.items) {
    // Every remaining item is checked, so one that follows a reset flag is read again.
    if (internal::IsCancelled(request.options)) {
      UALIB_LOG(internal::kDebug, "Read cancelled mid-batch at '{}'", item.address);
      result.items.push_back({ResultCode::Cancelled, "cancelled mid-batch", item.address, std::nullopt});
      continue;
    }
    result.items.push_back(ReadOne(lock.connection(), item.address, arrays, sdkTime));
  }
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
