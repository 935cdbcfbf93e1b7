// Values as a server sends them: bytes decoded by the stack's binary decoder as a
// variant or a data value, converted as reads and notifications convert them, and
// what converted sent back through the conversion to the stack.
#include <string>

#include "fuzz_support.h"
#include "values/convert.h"
#include "values/typed_values.h"
#include "values/ua_types.h"

using namespace velk::quarlink::internal;
using tessel::fnd::defs::DataValue;
using tessel::fnd::defs::Value;

namespace {

constexpr Arrays kModes[] = {Arrays::Empty, Arrays::Convert, Arrays::Typed};

// A host value converted to the stack and back is the same value.
void CheckRoundTrip(const Value& value, Arrays arrays) {
  if (std::holds_alternative<std::monostate>(value)) return;
  UaVariant variant;
  FUZZ_CHECK(ValueToUaVariant(value, *variant, arrays));
  FUZZ_CHECK(fuzz::SameValue(UaVariantToValue(*variant, arrays), value));
}

// An enumeration of the node's type names the Int32 values it knows.
TypeInfo Enumeration() {
  TypeInfo type;
  type.kind = TypeInfo::Kind::Enumeration;
  type.name = "Mode";
  type.enumNames = {{0, "Off"}, {1, "On"}, {-1, "Unknown"}};
  return type;
}

void CheckVariant(const UA_Variant& variant, Arrays arrays) {
  const Value value = UaVariantToValue(variant, arrays);
  CheckRoundTrip(value, arrays == Arrays::Empty ? Arrays::Empty : Arrays::Convert);
  DataValue typed;
  static const TypeInfo enumeration = Enumeration();
  static const TypeInfo opaque;
  for (const TypeInfo* type : {static_cast<const TypeInfo*>(nullptr), &enumeration}) {
    typed = {};
    if (TypedToHost(variant, type, typed) != UA_STATUSCODE_GOOD) continue;
    UaVariant back;
    tessel::fnd::defs::Result error;
    if (HostToTyped(typed.value, opaque, *back, error)) {
      DataValue again;
      FUZZ_CHECK(TypedToHost(*back, nullptr, again) == UA_STATUSCODE_GOOD);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  const uint8_t choice = input.Byte();
  const Arrays arrays = kModes[choice % 3];
  const std::string bytes = input.Rest();
  UA_ByteString encoded{bytes.size(), reinterpret_cast<UA_Byte*>(const_cast<char*>(bytes.data()))};
  if (choice & 0x10) {
    UaOwned<UA_DataValue> value;
    if (UA_decodeBinary(&encoded, value.get(), &UA_TYPES[UA_TYPES_DATAVALUE], nullptr) != UA_STATUSCODE_GOOD) return 0;
    const DataValue notified = NotificationValue(*value, arrays, nullptr);
    // A status but Good reaches the handler as a failure without a value.
    if (value->hasStatus && value->status != UA_STATUSCODE_GOOD)
      FUZZ_CHECK(notified.code != tessel::fnd::defs::ResultCode::Ok &&
                 std::holds_alternative<std::monostate>(notified.value));
    FUZZ_CHECK(notified.timestamp.has_value() == value->hasSourceTimestamp);
    if (value->hasValue) CheckVariant(value->value, arrays);
  } else {
    UaVariant variant;
    if (UA_decodeBinary(&encoded, variant.get(), &UA_TYPES[UA_TYPES_VARIANT], nullptr) != UA_STATUSCODE_GOOD) return 0;
    CheckVariant(*variant, arrays);
  }
  return 0;
}
