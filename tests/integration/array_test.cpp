// Array values through a Client that asked for them, and not through one that did not.
#include <gtest/gtest.h>
#include <velk/quarlink/client.h>

#include "adapter_helpers.h"
#include "notification_recorder.h"
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

}  // namespace
