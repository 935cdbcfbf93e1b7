// Call against the test server's Robot methods: object derivation, argument
// conversion, outputs, failures and the per-call timeout.
#include <gtest/gtest.h>
#include <velk/quarlink/client.h>
#include <velk/quarlink/connection_registry.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "adapter_helpers.h"
#include "client_impl.h"
#include "connection.h"
#include "log_capture.h"
#include "test_server.h"

namespace {

using namespace tessel::fnd::defs;
using namespace std::chrono_literals;
using ualib_test::ConnectedClient;
using ualib_test::LogCapture;
using ualib_test::Node;
using ualib_test::TestServer;

CallRequest CallOf(const std::string& method, const std::vector<Value>& inputs = {}) {
  CallRequest request;
  request.method = method;
  for (const auto& value : inputs) request.inputs.push_back({"ignored", value});
  return request;
}

void ExpectFailure(const CallResult& result, ResultCode code, const std::string& message) {
  EXPECT_EQ(result.code, code) << result.message;
  EXPECT_EQ(result.message, message);
  EXPECT_TRUE(result.outputs.empty());
}

// The request timeout the session's stack client is configured with.
UA_UInt32 ConfiguredTimeout(const std::string& endpoint) {
  auto& registry = velk::quarlink::OpcuaConnectionRegistry::Instance();
  std::shared_ptr<velk::quarlink::OpcuaConnection> session;
  {
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.sessions.find(endpoint + "|");
    if (it != registry.sessions.end()) session = it->second.lock();
  }
  if (!session) return 0;
  velk::quarlink::internal::ClientLock lock(*session);
  return lock.client() ? UA_Client_getConfig(lock.client())->timeout : 0;
}

class CallTest : public ::testing::Test {
 protected:
  TestServer server;
  std::unique_ptr<velk::quarlink::Client> client = ConnectedClient(server.Endpoint());
  LogCapture log;
};

TEST_F(CallTest, AddReturnsTheSumAsAnUnnamedOutput) {
  const CallResult result = client->Call(CallOf(Node("Robot.Add"), {1.5, 2.25}));
  ASSERT_EQ(result.code, ResultCode::Ok) << result.message;
  EXPECT_EQ(result.message, "");
  ASSERT_EQ(result.outputs.size(), 1u);
  EXPECT_EQ(result.outputs[0].name, "");
  EXPECT_EQ(result.outputs[0].value.value, Value(3.75));
  EXPECT_EQ(result.outputs[0].value.code, ResultCode::Ok);
  EXPECT_FALSE(result.outputs[0].value.timestamp.has_value());
  EXPECT_EQ(log.Count("Call: method=" + Node("Robot.Add") + " n_input_args=2"), 1u);
  EXPECT_EQ(log.Count("Call timing [" + Node("Robot.Add") + "]: sdk_call="), 1u);
}

TEST_F(CallTest, ObjectIsDerivedFromTheMethodOrTakenFromTheOption) {
  const CallResult derived = client->Call(CallOf(Node("Robot.Home")));
  EXPECT_EQ(derived.code, ResultCode::Ok) << derived.message;
  EXPECT_TRUE(derived.outputs.empty());

  // The option wins over the derivation: Home is no method of the Objects folder.
  CallRequest explicitObject = CallOf(Node("Robot.Home"));
  explicitObject.options.properties.Set("object", "ns=0;i=85");
  const CallResult refused = client->Call(explicitObject);
  EXPECT_EQ(refused.code, ResultCode::NotFound) << refused.message;
  EXPECT_EQ(refused.message, "BadMethodInvalid");
  EXPECT_EQ(log.Count("Call '" + Node("Robot.Home") + "' failed: BadMethodInvalid"), 1u);

  CallRequest numeric = CallOf("ns=1;i=7001");
  numeric.options.properties.Set("object", Node("Robot"));
  const CallResult numericResult = client->Call(numeric);
  EXPECT_EQ(numericResult.code, ResultCode::NotFound);  // reached the server: no such method there
  EXPECT_EQ(numericResult.message, "BadMethodInvalid");
}

TEST_F(CallTest, UnusableMethodOrObjectTextIsRefusedBeforeAnythingIsSent) {
  ExpectFailure(client->Call(CallOf("ns=1;i=7001")), ResultCode::InvalidArgument,
                "could not derive object NodeId from method 'ns=1;i=7001'; pass it explicitly via "
                "options.properties[\"object\"]");
  CallRequest emptyObject = CallOf(Node("Robot.Home"));
  emptyObject.options.properties.Set("object", "");
  ExpectFailure(client->Call(emptyObject), ResultCode::InvalidArgument, "could not parse object NodeId: ");
  ExpectFailure(client->Call(CallOf("ns=1;q=Robot.Home")), ResultCode::InvalidArgument,
                "could not parse object NodeId: ns=1;q=Robot");
  CallRequest badMethod = CallOf("nonsense");
  badMethod.options.properties.Set("object", Node("Robot"));
  ExpectFailure(client->Call(badMethod), ResultCode::InvalidArgument, "could not parse method NodeId: nonsense");
  EXPECT_EQ(log.Count("Call timing"), 0u);
}

TEST_F(CallTest, UnsupportedInputIsNamedByItsIndex) {
  ExpectFailure(client->Call(CallOf(Node("Robot.Add"), {1.0, std::vector<double>{2.0}})), ResultCode::TypeMismatch,
                "input argument 1 has an unsupported Value type");
  ExpectFailure(client->Call(CallOf(Node("Robot.Add"), {Value{}, 1.0, 2.0})), ResultCode::TypeMismatch,
                "input argument 0 has an unsupported Value type");
  EXPECT_EQ(log.Count("Call timing"), 0u);
}

TEST_F(CallTest, ArrayOutputArrivesAsEmptyValue) {
  const CallResult result = client->Call(CallOf(Node("Robot.Array")));
  ASSERT_EQ(result.code, ResultCode::Ok) << result.message;
  ASSERT_EQ(result.outputs.size(), 1u);
  EXPECT_EQ(result.outputs[0].value.value.index(), 0u);
}

TEST_F(CallTest, ServerFailuresAreMapped) {
  ExpectFailure(client->Call(CallOf(Node("Robot.Add"), {1.0})), ResultCode::InvalidArgument, "BadArgumentsMissing");
  ExpectFailure(client->Call(CallOf(Node("Robot.Add"), {1.0, int32_t{2}})), ResultCode::InvalidArgument,
                "BadInvalidArgument");
  const CallResult unknown = client->Call(CallOf(Node("Robot.Missing")));
  EXPECT_NE(unknown.code, ResultCode::Ok);
  EXPECT_TRUE(unknown.outputs.empty());
}

TEST_F(CallTest, CancelledBeforeStartIsNotSent) {
  CallRequest request = CallOf(Node("Robot.Home"));
  request.options.cancel = CancellationToken{std::make_shared<std::atomic<bool>>(true)};
  ExpectFailure(client->Call(request), ResultCode::Cancelled, "cancelled before start");
  EXPECT_EQ(log.Count("Call cancelled before start (method=" + Node("Robot.Home") + ")"), 1u);
  EXPECT_EQ(log.Count("Call timing"), 0u);
}

TEST_F(CallTest, ShorterTimeoutAppliesToOneCallOnly) {
  const UA_UInt32 configured = ConfiguredTimeout(server.Endpoint());
  ASSERT_GT(configured, 1500u);

  CallRequest hurried = CallOf(Node("Robot.Sleep"), {uint32_t{1000}});
  hurried.options.timeout = 200ms;
  ExpectFailure(client->Call(hurried), ResultCode::Timeout, "BadTimeout");
  EXPECT_EQ(log.Count("Call: bumping client timeout " + std::to_string(configured) + "ms -> 200ms"), 1u);
  EXPECT_EQ(ConfiguredTimeout(server.Endpoint()), configured);

  // Longer than the shortened timeout: succeeds only under the configured one.
  const auto start = std::chrono::steady_clock::now();
  const CallResult patient = client->Call(CallOf(Node("Robot.Sleep"), {uint32_t{1500}}));
  EXPECT_EQ(patient.code, ResultCode::Ok) << patient.message;
  EXPECT_LT(std::chrono::steady_clock::now() - start, 60s);
  EXPECT_EQ(log.Count("bumping"), 1u);
}

TEST_F(CallTest, TimeoutsOutsideTheStackRangeLeaveTheConfigurationAlone) {
  const UA_UInt32 configured = ConfiguredTimeout(server.Endpoint());
  for (const auto timeout : {0ms, -5ms, std::chrono::milliseconds(4294967296LL)}) {
    CallRequest request = CallOf(Node("Robot.Home"));
    request.options.timeout = timeout;
    EXPECT_EQ(client->Call(request).code, ResultCode::Ok);
  }
  CallRequest longest = CallOf(Node("Robot.Home"));
  longest.options.timeout = std::chrono::milliseconds(4294967295LL);
  EXPECT_EQ(client->Call(longest).code, ResultCode::Ok);
  EXPECT_EQ(log.Count("bumping"), 1u);
  EXPECT_EQ(log.Count("Call: bumping client timeout " + std::to_string(configured) + "ms -> 4294967295ms"), 1u);
  EXPECT_EQ(ConfiguredTimeout(server.Endpoint()), configured);
}

TEST_F(CallTest, EveryValueAlternativeAsInputNeitherCrashesNorHangs) {
  PropertyMap map;
  map.Set("k", "v");
  const std::vector<Value> alternatives = {Value{},
                                           true,
                                           int32_t{1},
                                           uint32_t{1},
                                           int64_t{1},
                                           uint64_t{1},
                                           1.f,
                                           1.0,
                                           std::string("x"),
                                           std::vector<uint8_t>{1},
                                           std::vector<bool>{true},
                                           std::vector<int32_t>{1},
                                           std::vector<uint32_t>{1},
                                           std::vector<int64_t>{1},
                                           std::vector<uint64_t>{1},
                                           std::vector<float>{1.f},
                                           std::vector<double>{1.0},
                                           std::vector<std::string>{"x"},
                                           map,
                                           int16_t{1},
                                           uint16_t{1},
                                           int8_t{1},
                                           uint8_t{1},
                                           std::vector<int16_t>{1},
                                           std::vector<uint16_t>{1},
                                           std::vector<int8_t>{1}};
  ASSERT_EQ(alternatives.size(), std::variant_size_v<Value>);
  for (const auto& value : alternatives) {
    SCOPED_TRACE("alternative " + std::to_string(value.index()));
    const CallResult result = client->Call(CallOf(Node("Robot.Add"), {2.0, value}));
    if (value.index() == 7) {
      ASSERT_EQ(result.code, ResultCode::Ok) << result.message;
      ASSERT_EQ(result.outputs.size(), 1u);
      EXPECT_EQ(result.outputs[0].value.value, Value(3.0));
    } else if (value.index() == 0 || (value.index() >= 9 && value.index() <= 18) || value.index() >= 23) {
      ExpectFailure(result, ResultCode::TypeMismatch, "input argument 1 has an unsupported Value type");
    } else {
      ExpectFailure(result, ResultCode::InvalidArgument, "BadInvalidArgument");
    }
  }
}

TEST_F(CallTest, HostileMethodTextsAndManyInputsNeitherCrashNorHang) {
  const std::string huge = "ns=1;s=Robot." + std::string(1 << 20, 'x');
  EXPECT_NE(client->Call(CallOf(huge)).code, ResultCode::Ok);
  EXPECT_NE(client->Call(CallOf(std::string("ns=1;s=Robot.Home\0x", 19))).code, ResultCode::Ok);
  EXPECT_NE(client->Call(CallOf(std::string("\0.\0", 3))).code, ResultCode::Ok);
  EXPECT_NE(client->Call(CallOf(Node("Robot.Add"), std::vector<Value>(10000, Value(1.0)))).code, ResultCode::Ok);
  EXPECT_TRUE(
      ualib_test::WaitFor([&] { return client->Call(CallOf(Node("Robot.Home"))).code == ResultCode::Ok; }, 30s, 50ms));
}

}  // namespace
