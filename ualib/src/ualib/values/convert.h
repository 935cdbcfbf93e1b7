// Conversions between host values and stack variants, and of stack time stamps.
#pragma once

#include <open62541/types.h>
#include <tessel/fnd/defs/comm_adapter.h>

#include <cstdint>

namespace velk::quarlink::internal {

// Whether one-dimensional arrays of the twelve types cross the boundary (as the
// matching vector alternatives) or stay out of it, as by default. Typed converts
// arrays too, and every other type that has a host form (typed_values.h).
enum class Arrays { Empty, Convert, Typed };

// Scalars of the twelve supported built-in types convert, and with Arrays::Convert or Typed
// their one-dimensional arrays; everything else becomes the empty alternative.
tessel::fnd::defs::Value UaVariantToValue(const UA_Variant& v, Arrays arrays = Arrays::Empty);

// Fills out (passed in zeroed) with a scalar copy, or with Arrays::Convert or Typed an array
// copy of a vector alternative; false for unsupported alternatives.
bool ValueToUaVariant(const tessel::fnd::defs::Value& value, UA_Variant& out, Arrays arrays = Arrays::Empty);

// The same, except that a scalar number or flag is not copied: out points at it where
// value holds it and does not own it, so value must outlive out.
bool ValueToUaVariantView(const tessel::fnd::defs::Value& value, UA_Variant& out, Arrays arrays = Arrays::Empty);

// Stack time (100 ns ticks since 1601) to ns since the Unix epoch, truncated to
// whole microseconds. Saturates at the representable multiples of 1000 instead of
// overflowing for times before 1677 or after 2262.
int64_t UaDateTimeToUnixNanos(UA_DateTime ticks);

// The elements of an array variant; an empty array points at the stack's sentinel,
// which is never read.
struct Elements {
  const void* data;
  size_t count;
};
Elements ElementsOf(const UA_Variant& v);

}  // namespace velk::quarlink::internal
