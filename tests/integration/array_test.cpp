// Array values through a Client that asked for them, and not through one that did not.
#include <gtest/gtest.h>
#include <open62541/types.h>
#include <velk/quarlink/client.h>

#include <latch>
#include <thread>

#include "adapter_helpers.h"
#include "notification_recorder.h"
#include "tcp_proxy.h"
#include "test_server.h"

namespace {

using namespace tessel::fnd::defs;
using namespace std::chrono_literals;
using ualib_test::ConnectedClient;
using ualib_test::Node;

Value ReadValue(velk::quarlink::Client& client, const std::string& address) {
  const ReadResult result = ualib_test::ReadOne(client, address);
  EXPECT_EQ(result.items.at(0).code, ResultCode::Ok) << address;
  return result.items.at(0).value ? result.items.at(0).value->value : Value();
}

TEST(ArrayValuesTest, ArraysAreReadWrittenAndNotifiedOnlyForTheClientThatAsks) {
  ualib_test::TestServer server;
  auto arrays = ConnectedClient(server.Endpoint(), {{"array_values", "yes"}});
  auto plain = ConnectedClient(server.Endpoint());  // the same session
  const std::vector<std::pair<std::string, Value>> cases{
      {Node("Array.Int32.3"), std::vector<int32_t>{1, 2, 3}},
      {Node("Array.String"), std::vector<std::string>{"alpha", std::string("a\0b", 3)}},
  };
  for (const auto& [address, initial] : cases) {
    SCOPED_TRACE(address);
    EXPECT_EQ(ReadValue(*arrays, address), initial);
    EXPECT_EQ(ReadValue(*plain, address), Value());
  }
  WriteRequest write;
  write.items.resize(2);
  write.items[0].address = Node("Array.Int32.3");
  write.items[0].value = std::vector<int32_t>{7, 8, 9, 10};
  write.items[1].address = Node("Array.String");
  write.items[1].value = std::vector<std::string>{};
  for (const WriteItemResult& item : arrays->Write(write).items) EXPECT_EQ(item.code, ResultCode::Ok) << item.address;
  EXPECT_EQ(plain->Write(write).items.at(0).code, ResultCode::TypeMismatch);
  EXPECT_EQ(ReadValue(*arrays, Node("Array.Int32.3")), Value(std::vector<int32_t>{7, 8, 9, 10}));
  EXPECT_EQ(ReadValue(*arrays, Node("Array.String")), Value(std::vector<std::string>{}));

  ualib_test::NotificationRecorder values;
  ASSERT_EQ(arrays->Subscribe({Node("Array.Int32.3")}, values.Handler(), {}).code, ResultCode::Ok);
  ASSERT_TRUE(ualib_test::WaitFor([&] { return values.Count() > 0; }, 5s));
  EXPECT_EQ(values.All()[0].value.value, Value(std::vector<int32_t>{7, 8, 9, 10}));
}

namespace typed {

PropertyMap Pairs(std::initializer_list<std::pair<const char*, const char*>> pairs) {
  PropertyMap map;
  for (const auto& [key, value] : pairs) map.Set(key, value);
  return map;
}

const PropertyMap kBread = Pairs({{"name", "bread"},
                                  {"origin.x", "10"},
                                  {"origin.y", "-20.25"},
                                  {"batch", "7"},
                                  {"steps[0]", "1.5"},
                                  {"steps[1]", "2.5"},
                                  {"steps[2]", "-3"}});
const PropertyMap kCake = Pairs({{"name", "cake"}, {"origin.x", "0.5"}, {"origin.y", "1"}, {"steps[0]", "4"}});

struct TypedNode {
  std::string address;
  Value initial;
  std::pair<const char*, const char*> property;  // one property the read carries
  Value written;
  Value after;  // what a read gives after the write
};

std::vector<TypedNode> Nodes() {
  PropertyMap twoRecipes;
  for (const auto& [key, value] : kBread.Pairs()) twoRecipes.Set("[0]." + key, value);
  twoRecipes.Set("[1].name", "water");
  twoRecipes.Set("[1].origin.x", "0");
  twoRecipes.Set("[1].origin.y", "0");
  PropertyMap oneRecipe;
  for (const auto& [key, value] : kCake.Pairs()) oneRecipe.Set("[0]." + key, value);
  return {
      {Node("Scalar.DateTime"),
       int64_t{1'700'000'000'000'000'000},
       {"data_type", "DateTime"},
       int64_t{1'800'000'000'123'456'700},
       int64_t{1'800'000'000'123'456'700}},
      {Node("Scalar.ByteString"),
       std::vector<uint8_t>{1, 2, 0xfe, 0xff},
       {"data_type", "ByteString"},
       std::vector<uint8_t>{9, 8},
       std::vector<uint8_t>{9, 8}},
      {Node("Scalar.LocalizedText"),
       std::string("hello"),
       {"locale", "en-US"},
       std::string("bonjour"),
       std::string("bonjour")},
      {Node("Typed.Guid"),
       std::string("72962b91-fa75-4ae6-8d28-b404dc7daf63"),
       {"data_type", "Guid"},
       std::string("00000000-0000-0000-0000-00000000002a"),
       std::string("00000000-0000-0000-0000-00000000002a")},
      {Node("Typed.StatusCode"),
       uint32_t{UA_STATUSCODE_BADNODEIDUNKNOWN},
       {"status_name", "BadNodeIdUnknown"},
       uint32_t{0},
       uint32_t{0}},
      {Node("Enum"), int32_t{2}, {"enum_name", "NoConfiguration"}, std::string("Running"), int32_t{0}},
      {Node("Typed.Mode"), int32_t{1}, {"enum_name", "Auto"}, int32_t{2}, int32_t{2}},
      {Node("Typed.Recipe"), kBread, {"data_type", "Recipe"}, kCake, kCake},
      {Node("Typed.Recipes"), twoRecipes, {"data_type", "Recipe"}, oneRecipe, oneRecipe},
      {Node("Scalar.Int32"), int32_t{-123456}, {"data_type", "Int32"}, int32_t{5}, int32_t{5}},
  };
}

DataValue ReadTyped(velk::quarlink::Client& client, const std::string& address) {
  const ReadResult result = ualib_test::ReadOne(client, address);
  EXPECT_EQ(result.items.at(0).code, ResultCode::Ok) << address << ": " << result.items.at(0).message;
  return result.items.at(0).value.value_or(DataValue());
}

TEST(TypedValuesTest, EveryTypedNodeIsReadWrittenBackAndReadAgainOnlyByTheClientThatAsks) {
  ualib_test::TestServer server;
  auto typed = ConnectedClient(server.Endpoint(), {{"typed_values", "true"}});
  auto plain = ConnectedClient(server.Endpoint(), {{"array_values", "true"}});  // the same session
  for (const TypedNode& node : Nodes()) {
    SCOPED_TRACE(node.address);
    const DataValue before = ReadTyped(*typed, node.address);
    EXPECT_EQ(before.value, node.initial);
    ASSERT_NE(before.properties.Get(node.property.first), nullptr);
    EXPECT_EQ(*before.properties.Get(node.property.first), node.property.second);
    // Enumerations are Int32 on the wire: the other Client reads them as that.
    if (!std::holds_alternative<int32_t>(node.initial)) {
      EXPECT_EQ(ReadValue(*plain, node.address), Value());
    }

    WriteRequest write;
    write.items.push_back({node.address, node.written, {}});
    const WriteResult written = typed->Write(write);
    EXPECT_EQ(written.items.at(0).code, ResultCode::Ok) << written.items.at(0).message;
    EXPECT_EQ(ReadTyped(*typed, node.address).value, node.after);
  }

  // Refused before anything is sent: the node keeps its value.
  WriteRequest missing;
  missing.items.push_back({Node("Typed.Recipe"), Pairs({{"name", "x"}, {"origin.x", "1"}}), {}});
  const WriteResult refused = typed->Write(missing);
  EXPECT_EQ(refused.items.at(0).code, ResultCode::InvalidArgument);
  EXPECT_EQ(refused.items.at(0).message, "missing field 'origin.y'");
  EXPECT_EQ(ReadTyped(*typed, Node("Typed.Recipe")).value, Value(kCake));

  // A structure the stack decodes itself becomes the same kind of field map.
  const DataValue status = ReadTyped(*typed, "i=2256");
  ASSERT_TRUE(std::holds_alternative<PropertyMap>(status.value)) << status.value.index();
  EXPECT_EQ(status.properties.Pairs().at(0),
            std::make_pair(std::string("data_type"), std::string("ServerStatusDataType")));
  EXPECT_EQ(std::get<PropertyMap>(status.value).Pairs().at(2), std::make_pair(std::string("State"), std::string("0")));

  CallRequest call;
  call.method = Node("Typed.Echo");
  call.options.properties.Set("object", Node("Typed"));
  call.inputs.push_back({"recipe", kBread});
  const CallResult echoed = typed->Call(call);
  ASSERT_EQ(echoed.code, ResultCode::Ok) << echoed.message;
  EXPECT_EQ(echoed.outputs.at(0).value.value, Value(kBread));

  ualib_test::NotificationRecorder values;
  ASSERT_EQ(typed->Subscribe({Node("Typed.Recipe")}, values.Handler(), {}).code, ResultCode::Ok);
  ASSERT_TRUE(ualib_test::WaitFor([&] { return values.Count() > 0; }, 5s));
  EXPECT_EQ(values.All()[0].value.value, Value(kCake));
  EXPECT_EQ(*values.All()[0].value.properties.Get("data_type"), "Recipe");
}

// The session lock is free while a type's definition is on its way: a second
// thread resolving the same type meanwhile must not take it for one that contains
// itself, and cache its node as undecodable.
TEST(TypedValuesTest, TwoThreadsResolvingOneTypeAtOnceBothDecodeIt) {
  ualib_test::TestServer server;
  ualib_test::TcpProxy slow{server.Port(), 20ms};
  auto first = ConnectedClient(slow.Endpoint(), {{"typed_values", "true"}});
  auto second = ConnectedClient(slow.Endpoint(), {{"typed_values", "true"}});  // the same session
  std::latch start(2);
  DataValue recipes;
  std::thread other([&] {
    start.arrive_and_wait();
    recipes = ReadTyped(*second, Node("Typed.Recipes"));
  });
  start.arrive_and_wait();
  const DataValue recipe = ReadTyped(*first, Node("Typed.Recipe"));
  other.join();
  EXPECT_EQ(recipe.value, Value(kBread));
  ASSERT_NE(recipes.properties.Get("data_type"), nullptr);
  EXPECT_EQ(*recipes.properties.Get("data_type"), "Recipe");
}

}  // namespace typed
}  // namespace
