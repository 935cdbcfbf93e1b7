// With the "array_values" option, one-dimensional arrays of the twelve built-in types
// cross the value conversion in both directions; everything else stays out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "values/convert.h"
#include "values/ua_types.h"

namespace velk::quarlink::internal {
namespace {

using tessel::fnd::defs::Value;

struct ArrayCase {
  const char* name;
  Value vector;  // the vector alternative
  int uaType;    // the element type it is written as
};

// Several elements, one and none of every element type.
std::vector<ArrayCase> Cases() {
  std::vector<ArrayCase> cases;
  const auto add = [&](const char* name, int uaType, auto many, auto one) {
    using Vector = decltype(many);
    cases.push_back({name, many, uaType});
    cases.push_back({name, one, uaType});
    cases.push_back({name, Vector{}, uaType});
  };
  add("Boolean", UA_TYPES_BOOLEAN, std::vector<bool>{true, false, true}, std::vector<bool>{false});
  add("SByte", UA_TYPES_SBYTE, std::vector<int8_t>{-128, 0, 127}, std::vector<int8_t>{-5});
  add("Byte", UA_TYPES_BYTE, std::vector<uint8_t>{0, 200, 255}, std::vector<uint8_t>{1});
  add("Int16", UA_TYPES_INT16, std::vector<int16_t>{-32768, 1, 32767}, std::vector<int16_t>{7});
  add("UInt16", UA_TYPES_UINT16, std::vector<uint16_t>{0, 65535}, std::vector<uint16_t>{9});
  add("Int32", UA_TYPES_INT32, std::vector<int32_t>{-1, 2, 3}, std::vector<int32_t>{42});
  add("UInt32", UA_TYPES_UINT32, std::vector<uint32_t>{4294967295u, 0}, std::vector<uint32_t>{5});
  add("Int64", UA_TYPES_INT64, std::vector<int64_t>{-9, 1LL << 62}, std::vector<int64_t>{3});
  add("UInt64", UA_TYPES_UINT64, std::vector<uint64_t>{~0ULL, 1}, std::vector<uint64_t>{8});
  add("Float", UA_TYPES_FLOAT, std::vector<float>{-3.25f, 1e30f}, std::vector<float>{0.5f});
  add("Double", UA_TYPES_DOUBLE, std::vector<double>{2.5, -1e300}, std::vector<double>{4.0});
  add("String", UA_TYPES_STRING, std::vector<std::string>{"a", std::string("b\0c", 3), ""},
      std::vector<std::string>{"x"});
  return cases;
}

TEST(ArrayConversion, EveryElementTypeRoundTripsAsAOneDimensionalArray) {
  for (const ArrayCase& c : Cases()) {
    SCOPED_TRACE(std::string(c.name) + " with " +
                 std::to_string(std::visit(
                     [](const auto& v) -> size_t {
                       if constexpr (requires { v.size(); }) return v.size();
                       return 0;
                     },
                     c.vector)) +
                 " elements");
    UaVariant sent;
    ASSERT_TRUE(ValueToUaVariant(c.vector, *sent, Arrays::Convert));
    EXPECT_EQ(sent->type, &UA_TYPES[c.uaType]);
    EXPECT_FALSE(UA_Variant_isScalar(sent.get()));
    EXPECT_EQ(UaVariantToValue(*sent, Arrays::Convert), c.vector);
    EXPECT_EQ(UaVariantToValue(*sent), Value());  // the default keeps arrays out
    UaVariant refused;
    EXPECT_FALSE(ValueToUaVariant(c.vector, *refused));
  }
}

TEST(ArrayConversion, MatricesAndOtherElementTypesStayEmpty) {
  UaVariant matrix;
  const std::vector<UA_Int32> cells{1, 2, 3, 4};
  ASSERT_EQ(UA_Variant_setArrayCopy(matrix.get(), cells.data(), cells.size(), &UA_TYPES[UA_TYPES_INT32]),
            UA_STATUSCODE_GOOD);
  UA_UInt32 dimensions[] = {2, 2};
  matrix->arrayDimensions = static_cast<UA_UInt32*>(UA_Array_new(2, &UA_TYPES[UA_TYPES_UINT32]));
  std::copy(std::begin(dimensions), std::end(dimensions), matrix->arrayDimensions);
  matrix->arrayDimensionsSize = 2;
  EXPECT_EQ(UaVariantToValue(*matrix, Arrays::Convert), Value());

  UaVariant times;
  const std::vector<UA_DateTime> stamps{UA_DateTime_now()};
  ASSERT_EQ(UA_Variant_setArrayCopy(times.get(), stamps.data(), 1, &UA_TYPES[UA_TYPES_DATETIME]), UA_STATUSCODE_GOOD);
  EXPECT_EQ(UaVariantToValue(*times, Arrays::Convert), Value());

  UaVariant map;
  EXPECT_FALSE(ValueToUaVariant(tessel::fnd::defs::PropertyMap(), *map, Arrays::Convert));
  EXPECT_FALSE(ValueToUaVariant(Value(), *map, Arrays::Convert));
}

}  // namespace
}  // namespace velk::quarlink::internal
