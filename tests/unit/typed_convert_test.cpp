// With "typed_values", the built-in types beyond the twelve, enumerations and
// structures cross the value conversion both ways; without it they stay empty.
#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "values/convert.h"
#include "values/typed_values.h"
#include "values/ua_types.h"

namespace velk::quarlink::internal {
namespace {

using tessel::fnd::defs::DataValue;
using tessel::fnd::defs::PropertyMap;
using tessel::fnd::defs::Result;
using tessel::fnd::defs::ResultCode;
using tessel::fnd::defs::Value;

struct TypedCase {
  int uaType;
  const char* text;      // the text form, parsed into the stack value
  Value host;            // what a read gives
  const char* property;  // the extra property besides "data_type", or null
  const char* propertyValue;
};

std::vector<TypedCase> Cases() {
  return {
      {UA_TYPES_DATETIME, "2023-11-14T22:13:20.1234567Z", int64_t{1'700'000'000'123'456'700}, nullptr, nullptr},
      {UA_TYPES_DATETIME, "1601-01-01T00:00:00Z", std::numeric_limits<int64_t>::min() / 100 * 100, nullptr, nullptr},
      {UA_TYPES_BYTESTRING, "0102feff", std::vector<uint8_t>{1, 2, 0xfe, 0xff}, nullptr, nullptr},
      {UA_TYPES_BYTESTRING, "", std::vector<uint8_t>{}, nullptr, nullptr},
      {UA_TYPES_GUID, "72962b91-fa75-4ae6-8d28-b404dc7daf63", std::string("72962b91-fa75-4ae6-8d28-b404dc7daf63"),
       nullptr, nullptr},
      {UA_TYPES_NODEID, "ns=2;s=Line.Pump", std::string("ns=2;s=Line.Pump"), nullptr, nullptr},
      {UA_TYPES_EXPANDEDNODEID, "svr=1;ns=2;i=7", std::string("svr=1;ns=2;i=7"), nullptr, nullptr},
      {UA_TYPES_QUALIFIEDNAME, "3:Pump", std::string("3:Pump"), nullptr, nullptr},
      {UA_TYPES_QUALIFIEDNAME, "Pump", std::string("Pump"), nullptr, nullptr},
      {UA_TYPES_XMLELEMENT, "<a/>", std::string("<a/>"), nullptr, nullptr},
      {UA_TYPES_LOCALIZEDTEXT, "hello", std::string("hello"), "locale", ""},
      {UA_TYPES_STATUSCODE, "BadNodeIdUnknown", uint32_t{UA_STATUSCODE_BADNODEIDUNKNOWN}, "status_name",
       "BadNodeIdUnknown"},
      // Info bits and codes without a name keep every bit through the text form.
      {UA_TYPES_STATUSCODE, "0x800A0401", uint32_t{UA_STATUSCODE_BADTIMEOUT | 0x0401}, "status_name", "BadTimeout"},
      {UA_TYPES_STATUSCODE, "0x12340000", uint32_t{0x12340000}, "status_name", "Unknown StatusCode"},
      {UA_TYPES_INT32, "-7", int32_t{-7}, nullptr, nullptr},
      {UA_TYPES_DOUBLE, "0.1", 0.1, nullptr, nullptr},
  };
}

TypeInfo KnownType(int uaType) {
  TypeInfo type;
  type.kind = TypeInfo::Kind::Known;
  type.known = &UA_TYPES[uaType];
  return type;
}

TEST(TypedConversion, EveryBuiltInTypeCrossesBothWaysOnlyWithTheOption) {
  for (const TypedCase& c : Cases()) {
    const UA_DataType* type = &UA_TYPES[c.uaType];
    SCOPED_TRACE(std::string(type->typeName) + " '" + c.text + "'");
    UaVariant received;
    void* scalar = UA_new(type);
    ASSERT_TRUE(TextToScalar(c.text, type, scalar));
    UA_Variant_setScalar(received.get(), scalar, type);
    EXPECT_EQ(ScalarToText(scalar, type), c.text);

    DataValue read;
    ASSERT_EQ(TypedToHost(*received, nullptr, read), UA_STATUSCODE_GOOD);
    EXPECT_EQ(read.value, c.host);
    ASSERT_NE(read.properties.Get("data_type"), nullptr);
    EXPECT_EQ(*read.properties.Get("data_type"), type->typeName);
    if (c.property != nullptr) {
      EXPECT_EQ(*read.properties.Get(c.property), c.propertyValue);
    }
    if (c.uaType != UA_TYPES_INT32 && c.uaType != UA_TYPES_DOUBLE) {
      EXPECT_EQ(UaVariantToValue(*received, Arrays::Convert), Value());  // without the option
    }

    UaVariant sent;
    Result error;
    ASSERT_TRUE(HostToTyped(c.host, KnownType(c.uaType), *sent, error)) << error.message;
    EXPECT_EQ(sent->type, type);
    EXPECT_EQ(UA_order(sent->data, scalar, type), UA_ORDER_EQ);

    // An array of one arrives as the vector alternative, or as "[i]" pairs.
    UaVariant array;
    ASSERT_EQ(UA_Variant_setArrayCopy(array.get(), scalar, 1, type), UA_STATUSCODE_GOOD);
    DataValue readArray;
    ASSERT_EQ(TypedToHost(*array, nullptr, readArray), UA_STATUSCODE_GOOD);
    EXPECT_NE(readArray.value.index(), 0u);
    EXPECT_EQ(readArray.value.index() == 18, c.uaType == UA_TYPES_BYTESTRING);
  }
}

TEST(TypedConversion, TextsThatDoNotParseAreRefused) {
  const std::vector<std::pair<int, const char*>> bad{
      {UA_TYPES_DATETIME, "2023-11-14 22:13:20Z"},
      {UA_TYPES_DATETIME, "2023-13-01T00:00:00Z"},
      {UA_TYPES_BYTESTRING, "0g"},
      {UA_TYPES_BYTESTRING, "abc"},
      {UA_TYPES_GUID, "not-a-guid"},
      {UA_TYPES_STATUSCODE, "NoSuchCode"},
      {UA_TYPES_STATUSCODE, "Unknown StatusCode"},
      {UA_TYPES_DATETIME, "2023-11-14T22:13:20"},
      {UA_TYPES_NODEID, "ns=x;i=1"},
  };
  for (const auto& [uaType, text] : bad) {
    SCOPED_TRACE(text);
    UaVariant sent;
    Result error;
    EXPECT_FALSE(HostToTyped(std::string(text), KnownType(uaType), *sent, error));
    EXPECT_EQ(error.code, ResultCode::InvalidArgument);
  }
}

// The ends of the DateTime range have a text form too, though beyond four-digit years.
TEST(TypedConversion, DateTimesAtTheEndsOfTheRangePrint) {
  const std::vector<std::pair<UA_DateTime, const char*>> cases{
      {std::numeric_limits<int64_t>::min(), "-27627-04-19T21:11:54.5224192Z"},
      {std::numeric_limits<int64_t>::max(), "30828-09-14T02:48:05.4775807Z"},
      {-1, "1600-12-31T23:59:59.9999999Z"},
  };
  for (const auto& [ticks, text] : cases) {
    EXPECT_EQ(ScalarToText(&ticks, &UA_TYPES[UA_TYPES_DATETIME]), text);
  }
}

// --- Enumerations and structures from a definition ---

std::shared_ptr<TypeInfo> Known(int uaType) { return std::make_shared<TypeInfo>(KnownType(uaType)); }

std::shared_ptr<TypeInfo> ModeType() {
  auto mode = std::make_shared<TypeInfo>();
  mode->kind = TypeInfo::Kind::Enumeration;
  mode->name = "Mode";
  mode->enumNames = {{0, "Off"}, {1, "Auto"}};
  return mode;
}

// Recipe { name; origin: Point { x; y }; batch (optional); steps[]; mode }
std::shared_ptr<TypeInfo> RecipeType() {
  auto point = std::make_shared<TypeInfo>();
  point->kind = TypeInfo::Kind::Structure;
  point->name = "Point";
  point->fields = {{"x", Known(UA_TYPES_DOUBLE)}, {"y", Known(UA_TYPES_DOUBLE)}};
  auto recipe = std::make_shared<TypeInfo>();
  recipe->kind = TypeInfo::Kind::Structure;
  recipe->name = "Recipe";
  recipe->structureType = UA_STRUCTURETYPE_STRUCTUREWITHOPTIONALFIELDS;
  *recipe->encodingId = UA_NODEID_NUMERIC(1, 3102);
  recipe->fields = {{"name", Known(UA_TYPES_STRING)},
                    {"origin", point},
                    {"batch", Known(UA_TYPES_INT32), false, true},
                    {"steps", Known(UA_TYPES_DATETIME), true},
                    {"mode", ModeType()}};
  return recipe;
}

PropertyMap Pairs(std::initializer_list<std::pair<const char*, const char*>> pairs) {
  PropertyMap map;
  for (const auto& [key, value] : pairs) map.Set(key, value);
  return map;
}

TEST(TypedConversion, StructuresCrossByTheirDefinition) {
  const auto recipe = RecipeType();
  const std::vector<PropertyMap> values{
      Pairs({{"name", "bread"},
             {"origin.x", "1.5"},
             {"origin.y", "-2"},
             {"batch", "7"},
             {"steps[0]", "2023-11-14T22:13:20Z"},
             {"steps[1]", "1970-01-01T00:00:00.5Z"},
             {"mode", "1"}}),
      Pairs({{"name", ""}, {"origin.x", "0"}, {"origin.y", "0"}, {"mode", "0"}}),  // no batch, no steps
      Pairs({{"[0].name", "a"},
             {"[0].origin.x", "1"},
             {"[0].origin.y", "2"},
             {"[0].mode", "1"},
             {"[1].name", "b"},
             {"[1].origin.x", "3"},
             {"[1].origin.y", "4"},
             {"[1].mode", "0"}}),
  };
  for (const PropertyMap& fields : values) {
    SCOPED_TRACE(fields.Pairs().front().first);
    UaVariant sent;
    Result error;
    ASSERT_TRUE(HostToTyped(fields, *recipe, *sent, error)) << error.message;
    EXPECT_EQ(sent->type, &UA_TYPES[UA_TYPES_EXTENSIONOBJECT]);
    DataValue read;
    ASSERT_EQ(TypedToHost(*sent, recipe.get(), read), UA_STATUSCODE_GOOD);
    EXPECT_EQ(read.value, Value(fields));
    EXPECT_EQ(*read.properties.Get("data_type"), "Recipe");
    DataValue untyped;  // without the node's definition the value stays empty
    EXPECT_EQ(TypedToHost(*sent, nullptr, untyped), UA_STATUSCODE_GOOD);
    EXPECT_EQ(untyped.value, Value());
  }

  // A union carries the one field chosen, or none.
  auto setting = std::make_shared<TypeInfo>();
  setting->kind = TypeInfo::Kind::Structure;
  setting->name = "Setting";
  setting->structureType = UA_STRUCTURETYPE_UNION;
  setting->fields = {{"number", Known(UA_TYPES_DOUBLE)}, {"text", Known(UA_TYPES_STRING)}};
  for (const PropertyMap& fields : {Pairs({{"text", "hot"}}), Pairs({{"number", "2.5"}}), PropertyMap()}) {
    UaVariant sent;
    Result unionError;
    ASSERT_TRUE(HostToTyped(fields, *setting, *sent, unionError)) << unionError.message;
    DataValue read;
    ASSERT_EQ(TypedToHost(*sent, setting.get(), read), UA_STATUSCODE_GOOD);
    EXPECT_EQ(read.value, Value(fields));
  }
  UaVariant both;
  Result bothError;
  EXPECT_FALSE(HostToTyped(Pairs({{"number", "1"}, {"text", "x"}}), *setting, *both, bothError));

  // Subtyped fields have a layout of their own: neither read as another kind (here a
  // mask and two fields out of three plain Int32s) nor written.
  auto triple = std::make_shared<TypeInfo>();
  triple->kind = TypeInfo::Kind::Structure;
  triple->fields = {{"a", Known(UA_TYPES_INT32)}, {"b", Known(UA_TYPES_INT32)}, {"c", Known(UA_TYPES_INT32)}};
  UaVariant plain;
  Result plainError;
  ASSERT_TRUE(HostToTyped(Pairs({{"a", "1"}, {"b", "2"}, {"c", "3"}}), *triple, *plain, plainError));
  for (const UA_StructureType subtyped :
       {UA_STRUCTURETYPE_STRUCTUREWITHSUBTYPEDVALUES, UA_STRUCTURETYPE_UNIONWITHSUBTYPEDVALUES}) {
    auto pair = std::make_shared<TypeInfo>(*triple);
    pair->name = "Pair";
    pair->structureType = subtyped;
    pair->fields.pop_back();
    DataValue read;
    ASSERT_EQ(TypedToHost(*plain, pair.get(), read), UA_STATUSCODE_GOOD);
    EXPECT_EQ(read.value, Value());
    UaVariant refused;
    Result subtypedError;
    EXPECT_FALSE(HostToTyped(Pairs({{"a", "1"}, {"b", "2"}}), *pair, *refused, subtypedError));
    EXPECT_EQ(subtypedError.message, "Pair has subtyped or over 32 optional fields: it cannot be written");
  }
  // Nor can a mask of 32 bits tell a 33rd optional field apart.
  auto wide = std::make_shared<TypeInfo>();
  wide->kind = TypeInfo::Kind::Structure;
  wide->name = "Wide";
  wide->structureType = UA_STRUCTURETYPE_STRUCTUREWITHOPTIONALFIELDS;
  for (int i = 0; i < 33; ++i) wide->fields.push_back({"f" + std::to_string(i), Known(UA_TYPES_BYTE), false, true});
  UaVariant widest;
  Result wideError;
  EXPECT_FALSE(HostToTyped(Pairs({{"f32", "1"}}), *wide, *widest, wideError));
  EXPECT_EQ(wideError.code, ResultCode::TypeMismatch);

  // Enumeration names are accepted in writes and given with reads.
  UaVariant byName;
  Result error;
  ASSERT_TRUE(HostToTyped(std::string("Auto"), *ModeType(), *byName, error));
  DataValue mode;
  ASSERT_EQ(TypedToHost(*byName, ModeType().get(), mode), UA_STATUSCODE_GOOD);
  EXPECT_EQ(mode.value, Value(int32_t{1}));
  EXPECT_EQ(*mode.properties.Get("enum_name"), "Auto");

  // A text that is a number is that number, even where another value's name reads the
  // same, so a field read by number is written back unchanged.
  auto digits = ModeType();
  digits->enumNames = {{0, "1"}, {1, "0"}};
  UaVariant byNumber;
  ASSERT_TRUE(HostToTyped(std::string("1"), *digits, *byNumber, error));
  EXPECT_EQ(*static_cast<const UA_Int32*>(byNumber->data), 1);
}

TEST(TypedConversion, AStructureWithAMissingUnknownOrBadFieldIsRefusedNamingIt) {
  const auto recipe = RecipeType();
  const std::vector<std::pair<PropertyMap, std::string>> refused{
      {Pairs({{"name", "x"}, {"origin.x", "1"}, {"mode", "0"}}), "missing field 'origin.y'"},
      {Pairs({{"name", "x"}, {"origin.x", "1"}, {"origin.y", "2"}, {"mode", "0"}, {"colour", "red"}}),
       "unknown field 'colour' for Recipe"},
      {Pairs({{"name", "x"}, {"origin.x", "one"}, {"origin.y", "2"}, {"mode", "0"}}),
       "field 'origin.x': not a valid Double: 'one'"},
      {Pairs({{"name", "x"}, {"origin.x", "1"}, {"origin.y", "2"}, {"mode", "Sideways"}}),
       "field 'mode': 'Sideways' names no value of Mode"},
      // A key that only begins like a field is not that field; elements start at 0; the
      // first unknown pair in the caller's order is named.
      {Pairs({{"name", "x"}, {"origin.x", "1"}, {"origin.y", "2"}, {"mode", "0"}, {"steps[1]", "0"}, {"batchx", "1"}}),
       "unknown field 'steps[1]' for Recipe"},
      {Pairs({{"name", "x"}, {"origin.x", "1"}, {"origin.y", "2"}, {"mode", "0"}, {"batchx", "1"}}),
       "unknown field 'batchx' for Recipe"},
  };
  for (const auto& [fields, message] : refused) {
    UaVariant sent;
    Result error;
    EXPECT_FALSE(HostToTyped(fields, *recipe, *sent, error));
    EXPECT_EQ(error.code, ResultCode::InvalidArgument);
    EXPECT_EQ(error.message, message);
  }
}

TEST(TypedConversion, HostileBodiesAreRefusedAndBrokenOnesStayEmpty) {
  const auto recipe = RecipeType();
  const auto objectWith = [](std::vector<UA_Byte> body) {
    UaVariant v;
    UA_ExtensionObject object;
    UA_ExtensionObject_init(&object);
    object.encoding = UA_EXTENSIONOBJECT_ENCODED_BYTESTRING;
    object.content.encoded.typeId = UA_NODEID_NUMERIC(1, 3102);
    object.content.encoded.body = {body.size(), body.data()};
    UA_Variant_setScalarCopy(v.get(), &object, &UA_TYPES[UA_TYPES_EXTENSIONOBJECT]);
    return v;
  };
  // mask 0, name "", origin, then an array that claims a billion elements.
  std::vector<UA_Byte> lying{0, 0, 0, 0, 0, 0, 0, 0};
  lying.resize(lying.size() + 16, 0);
  for (const UA_Byte b : std::vector<UA_Byte>{0x00, 0xca, 0x9a, 0x3b}) lying.push_back(b);
  DataValue out;
  EXPECT_EQ(TypedToHost(*objectWith(lying), recipe.get(), out), UA_STATUSCODE_BADENCODINGLIMITSEXCEEDED);
  DataValue truncated;
  EXPECT_EQ(TypedToHost(*objectWith({0, 0, 0, 0, 3, 0}), recipe.get(), truncated), UA_STATUSCODE_GOOD);
  EXPECT_EQ(truncated.value, Value());

  // A definition nesting itself deeper than the limit.
  auto deepest = std::make_shared<TypeInfo>();
  deepest->kind = TypeInfo::Kind::Structure;
  deepest->fields = {{"v", Known(UA_TYPES_BYTE)}};
  for (int depth = 0; depth < kMaxTypeDepth; ++depth) {
    auto outer = std::make_shared<TypeInfo>();
    outer->kind = TypeInfo::Kind::Structure;
    outer->fields = {{"in", deepest}};
    deepest = outer;
  }
  DataValue deep;
  EXPECT_EQ(TypedToHost(*objectWith({1}), deepest.get(), deep), UA_STATUSCODE_BADENCODINGLIMITSEXCEEDED);

  // An array whose body is all there, but with more elements than a value may hold
  // (the name and the origin take three pairs before it).
  std::vector<UA_Byte> huge{0, 0, 0, 0, 0, 0, 0, 0};
  huge.resize(huge.size() + 16, 0);
  const auto count = static_cast<uint32_t>(kMaxStructurePairs - 3);
  for (int shift = 0; shift < 32; shift += 8) huge.push_back(static_cast<UA_Byte>(count >> shift));
  huge.resize(huge.size() + 8 * static_cast<size_t>(count) + 4, 0);  // the elements and the mode
  DataValue tooMany;
  EXPECT_EQ(TypedToHost(*objectWith(huge), recipe.get(), tooMany), UA_STATUSCODE_BADENCODINGLIMITSEXCEEDED);
}

}  // namespace
}  // namespace velk::quarlink::internal
