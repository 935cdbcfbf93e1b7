#include "values/attributes.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string>
#include <utility>
#include <variant>

#include "values/convert.h"
#include "values/typed_values.h"

namespace velk::quarlink::internal {
namespace {

using Named = std::pair<std::string_view, UA_UInt32>;

constexpr std::array kAttributes{
    Named{"NodeId", UA_ATTRIBUTEID_NODEID},
    Named{"NodeClass", UA_ATTRIBUTEID_NODECLASS},
    Named{"BrowseName", UA_ATTRIBUTEID_BROWSENAME},
    Named{"DisplayName", UA_ATTRIBUTEID_DISPLAYNAME},
    Named{"Description", UA_ATTRIBUTEID_DESCRIPTION},
    Named{"WriteMask", UA_ATTRIBUTEID_WRITEMASK},
    Named{"UserWriteMask", UA_ATTRIBUTEID_USERWRITEMASK},
    Named{"IsAbstract", UA_ATTRIBUTEID_ISABSTRACT},
    Named{"Symmetric", UA_ATTRIBUTEID_SYMMETRIC},
    Named{"InverseName", UA_ATTRIBUTEID_INVERSENAME},
    Named{"ContainsNoLoops", UA_ATTRIBUTEID_CONTAINSNOLOOPS},
    Named{"EventNotifier", UA_ATTRIBUTEID_EVENTNOTIFIER},
    Named{"Value", UA_ATTRIBUTEID_VALUE},
    Named{"DataType", UA_ATTRIBUTEID_DATATYPE},
    Named{"ValueRank", UA_ATTRIBUTEID_VALUERANK},
    Named{"ArrayDimensions", UA_ATTRIBUTEID_ARRAYDIMENSIONS},
    Named{"AccessLevel", UA_ATTRIBUTEID_ACCESSLEVEL},
    Named{"UserAccessLevel", UA_ATTRIBUTEID_USERACCESSLEVEL},
    Named{"MinimumSamplingInterval", UA_ATTRIBUTEID_MINIMUMSAMPLINGINTERVAL},
    Named{"Historizing", UA_ATTRIBUTEID_HISTORIZING},
    Named{"Executable", UA_ATTRIBUTEID_EXECUTABLE},
    Named{"UserExecutable", UA_ATTRIBUTEID_USEREXECUTABLE},
    Named{"DataTypeDefinition", UA_ATTRIBUTEID_DATATYPEDEFINITION},
    Named{"RolePermissions", UA_ATTRIBUTEID_ROLEPERMISSIONS},
    Named{"UserRolePermissions", UA_ATTRIBUTEID_USERROLEPERMISSIONS},
    Named{"AccessRestrictions", UA_ATTRIBUTEID_ACCESSRESTRICTIONS},
    Named{"AccessLevelEx", UA_ATTRIBUTEID_ACCESSLEVELEX},
};

constexpr std::array kNodeClasses{
    Named{"Object", UA_NODECLASS_OBJECT},
    Named{"Variable", UA_NODECLASS_VARIABLE},
    Named{"Method", UA_NODECLASS_METHOD},
    Named{"ObjectType", UA_NODECLASS_OBJECTTYPE},
    Named{"VariableType", UA_NODECLASS_VARIABLETYPE},
    Named{"ReferenceType", UA_NODECLASS_REFERENCETYPE},
    Named{"DataType", UA_NODECLASS_DATATYPE},
    Named{"View", UA_NODECLASS_VIEW},
};

bool SameLetters(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](unsigned char x, unsigned char y) { return std::tolower(x) == std::tolower(y); });
}

bool Asks(UA_TimestampsToReturn asked, UA_TimestampsToReturn which) {
  return asked == which || asked == UA_TIMESTAMPSTORETURN_BOTH;
}

}  // namespace

std::optional<UA_UInt32> AttributeIdOf(std::string_view name) {
  if (name.empty()) return UA_ATTRIBUTEID_VALUE;
  for (const auto& [known, id] : kAttributes) {
    if (SameLetters(name, known)) return id;
  }
  return std::nullopt;
}

UA_StatusCode AttributeToHost(UA_UInt32 attributeId, const UA_Variant& v, tessel::fnd::defs::DataValue& out) {
  const UA_StatusCode status = TypedToHost(v, nullptr, out);
  // A NodeClass travels as a plain Int32; its name tells more.
  const auto* number = std::get_if<int32_t>(&out.value);
  if (status != UA_STATUSCODE_GOOD || attributeId != UA_ATTRIBUTEID_NODECLASS || !number) return status;
  out.properties.Set("data_type", "NodeClass");
  for (const auto& [name, id] : kNodeClasses) {
    if (static_cast<int32_t>(id) == *number) out.properties.Set("enum_name", std::string(name));
  }
  return status;
}

std::string UnknownAttributeMessage(std::string_view name) {
  std::string message = "unknown attribute '" + std::string(name) + "' (one of";
  for (const auto& [known, id] : kAttributes) message += " " + std::string(known);
  return message + ")";
}

std::optional<UA_TimestampsToReturn> TimestampsOf(const tessel::fnd::defs::PropertyMap& properties) {
  const std::string* word = properties.Get("timestamps");
  if (!word || word->empty() || SameLetters(*word, "none")) return UA_TIMESTAMPSTORETURN_NEITHER;
  if (SameLetters(*word, "source")) return UA_TIMESTAMPSTORETURN_SOURCE;
  if (SameLetters(*word, "server")) return UA_TIMESTAMPSTORETURN_SERVER;
  if (SameLetters(*word, "both")) return UA_TIMESTAMPSTORETURN_BOTH;
  return std::nullopt;
}

void CopyTimestamps(const UA_DataValue& in, UA_TimestampsToReturn asked, tessel::fnd::defs::DataValue& out) {
  if (in.hasSourceTimestamp && Asks(asked, UA_TIMESTAMPSTORETURN_SOURCE))
    out.timestamp = UaDateTimeToUnixNanos(in.sourceTimestamp);
  if (in.hasServerTimestamp && Asks(asked, UA_TIMESTAMPSTORETURN_SERVER))
    out.properties.Set(kServerTimestampKey, std::to_string(UaDateTimeToUnixNanos(in.serverTimestamp)));
}

}  // namespace velk::quarlink::internal
