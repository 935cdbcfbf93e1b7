// ReadDataType: names the data type of a variable when it is one of the built-in
// scalar types the value conversion handles.
#include <open62541/client_highlevel.h>
#include <velk/quarlink/client.h>

#include <array>
#include <string_view>

#include "logging/log.h"
#include "session/await.h"
#include "session/client_impl.h"
#include "session/link.h"
#include "values/status.h"
#include "values/ua_types.h"

namespace velk::quarlink {

using namespace tessel::fnd::defs;

namespace {

// Indexed by the numeric id (namespace 0) of the built-in data type; 0 has no name.
constexpr std::array<std::string_view, 13> kBuiltInTypeNames{
    "",       "Boolean", "SByte",  "Byte",  "Int16",  "UInt16", "Int32",
    "UInt32", "Int64",   "UInt64", "Float", "Double", "String",
};

// Empty for every type outside the table: other namespaces, non-numeric ids,
// DateTime and the other built-ins, enumerations, structures.
std::string_view BuiltInTypeName(const UA_NodeId& dataType) {
  if (dataType.namespaceIndex != 0 || dataType.identifierType != UA_NODEIDTYPE_NUMERIC) return {};
  const UA_UInt32 id = dataType.identifier.numeric;
  return id < kBuiltInTypeNames.size() ? kBuiltInTypeNames[id] : std::string_view();
}

Client::DataTypeInfo RejectReadDataType(const Address& address) {
  UALIB_LOG(internal::kWarning, "ReadDataType rejected: not connected (node={})", address);
  return {ResultCode::NotConnected, "not connected", {}};
}

Client::DataTypeInfo ReadDataTypeOf(const internal::ClientLock& lock, const Address& address) {
  internal::UaNodeId node;
  if (!internal::ParseNodeId(address, *node)) {
    UALIB_LOG(internal::kDebug, "ReadDataType: could not parse NodeId '{}'", address);
    return {ResultCode::InvalidArgument, "could not parse NodeId", {}};
  }
  internal::UaNodeId dataType;
  const UA_StatusCode status = internal::SendIfLinkUp(lock, [&] {
    return internal::AwaitAttribute(lock, *node, UA_ATTRIBUTEID_DATATYPE, dataType.get(), UA_TYPES[UA_TYPES_NODEID]);
  });
  if (status != UA_STATUSCODE_GOOD) {
    auto failure = internal::StatusFromUa(status);
    UALIB_LOG(internal::kDebug, "ReadDataType '{}' failed: {}", address, failure.message);
    return {failure.code, std::move(failure.message), {}};
  }
  return {ResultCode::Ok, {}, std::string(BuiltInTypeName(*dataType))};
}

}  // namespace

Client::DataTypeInfo Client::ReadDataType(const Address& address) {
  UALIB_TRACE();
  return internal::RunOnSession(
      *impl, [&] { return RejectReadDataType(address); },
      [&](internal::ClientLock& lock) { return ReadDataTypeOf(lock, address); });
}

}  // namespace velk::quarlink
