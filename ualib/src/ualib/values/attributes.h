// What a Read item may ask for beyond a node's value: any attribute by its name,
// and the time stamps the server keeps with a value.
#pragma once

#include <open62541/types.h>
#include <tessel/fnd/defs/comm_adapter.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velk::quarlink::internal {

// The attribute id of a name as OPC UA spells it ("DisplayName", "AccessLevel"),
// letter case aside; "" is the Value attribute. Nothing for an unknown name.
std::optional<UA_UInt32> AttributeIdOf(std::string_view name);

// The message refusing an unknown attribute name, listing the known ones.
std::string UnknownAttributeMessage(std::string_view name);

// The "timestamps" key of a request's properties: "none" (also when absent),
// "source", "server" or "both". Nothing for any other word.
std::optional<UA_TimestampsToReturn> TimestampsOf(const tessel::fnd::defs::PropertyMap& properties);

// The attribute `attributeId` (not the Value), converted by its own type as
// "typed_values" converts values; a NodeClass is its Int32 with "enum_name".
// Returns Good or the status refusing the item.
UA_StatusCode AttributeToHost(UA_UInt32 attributeId, const UA_Variant& v, tessel::fnd::defs::DataValue& out);

// What the items of one Read ask for: attributes[i] of the i-th node (empty: the
// Value of every node) and the time stamps of each value.
struct ReadTargets {
  std::vector<UA_UInt32> attributes;
  UA_TimestampsToReturn timestamps = UA_TIMESTAMPSTORETURN_NEITHER;
};

// The property of a DataValue holding the server's time stamp, in ns since the
// Unix epoch as decimal text; the source time stamp goes into DataValue::timestamp.
inline constexpr const char* kServerTimestampKey = "server_timestamp";

// Copies the time stamps the caller asked for, as far as the server sent them;
// a read that asked for none leaves out untouched.
void CopyTimestamps(const UA_DataValue& in, UA_TimestampsToReturn asked, tessel::fnd::defs::DataValue& out);

}  // namespace velk::quarlink::internal
