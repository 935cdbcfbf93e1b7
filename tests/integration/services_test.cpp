// Read, Write, Call and ReadDataType against the test server: value types,
// per-item results and messages, cancellation, refusals without a session and
// hostile input. One server for the whole program.
#include <gtest/gtest.h>
#include <velk/quarlink/client.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "adapter_helpers.h"
#include "log_capture.h"
#include "test_server.h"

namespace {

using namespace tessel::fnd::defs;
using namespace std::chrono_literals;
using ualib_test::LogCapture;
using ualib_test::Node;
using velk::quarlink::Client;

ReadRequest ReadOf(const std::vector<std::string>& addresses) {
  ReadRequest request;
  for (const auto& address : addresses) request.items.push_back({address, {}});
  return request;
}

WriteRequest WriteOf(const std::vector<std::pair<std::string, Value>>& items) {
  WriteRequest request;
  for (const auto& [address, value] : items) request.items.push_back({address, value, {}});
  return request;
}

CallRequest CallOf(const std::string& method, const std::vector<Value>& inputs = {}) {
  CallRequest request;
  request.method = method;
  for (const auto& value : inputs) request.inputs.push_back({"ignored", value});
  return request;
}

std::shared_ptr<std::atomic<bool>> CancelFlag(RequestOptions& options, bool set) {
  auto flag = std::make_shared<std::atomic<bool>>(set);
  options.cancel = CancellationToken{flag};
  return flag;
}

// code and message of every item, "Ok" items with their value (or "-" when none).
template <typename Item>
std::string Describe(const Item& item) {
  std::string text = std::to_string(static_cast<int>(item.code)) + " " + item.message;
  if constexpr (requires { item.value; }) {
    if (item.value) text += " value#" + std::to_string(item.value->value.index());
  }
  return text;
}

class ServicesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server = new ualib_test::TestServer(); }
  static void TearDownTestSuite() { delete server; }

  Value ValueOf(const std::string& address) {
    const ReadResult result = client->Read(ReadOf({address}));
    return result.items.size() == 1 && result.items[0].value ? result.items[0].value->value : Value{};
  }

  static inline ualib_test::TestServer* server = nullptr;
  std::unique_ptr<Client> client = ualib_test::ConnectedClient(server->Endpoint());
};

TEST_F(ServicesTest, EveryScalarTypeRoundTripsWithItsExactAlternativeAndName) {
  const struct {
    std::string type;
    Value initial;  // as the server holds it at start
    Value written;
  } cases[] = {
      {"Boolean", true, false},
      {"SByte", int8_t{-5}, int8_t{-128}},
      {"Byte", uint8_t{200}, uint8_t{255}},
      {"Int16", int16_t{-1234}, int16_t{32767}},
      {"UInt16", uint16_t{54321}, uint16_t{1}},
      {"Int32", int32_t{-123456}, int32_t{-2147483647 - 1}},
      {"UInt32", uint32_t{3000000000U}, uint32_t{4294967295U}},
      {"Int64", int64_t{-9000000000000LL}, int64_t{9223372036854775807LL}},
      {"UInt64", uint64_t{18000000000000000000ULL}, uint64_t{18446744073709551615ULL}},
      {"Float", 3.5f, -0.125f},
      {"Double", -2.25, 1e300},
      {"String", std::string("hello"), std::string("a\0b", 3)},  // every byte is sent
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    const std::string node = Node("Scalar." + c.type);
    const ReadResult read = client->Read(ReadOf({node}));
    ASSERT_EQ(read.items.size(), 1u);
    ASSERT_TRUE(read.items[0].value) << read.items[0].message;
    EXPECT_EQ(read.items[0].address, node);
    EXPECT_EQ(read.items[0].value->value, c.initial);
    EXPECT_FALSE(read.items[0].value->timestamp);
    EXPECT_EQ(Describe(client->Write(WriteOf({{node, c.written}})).items.at(0)), "0 ");
    EXPECT_EQ(ValueOf(node), c.written);
    client->Write(WriteOf({{node, c.initial}}));
    const Client::DataTypeInfo info = client->ReadDataType(node);
    EXPECT_EQ(info.code, ResultCode::Ok);
    EXPECT_EQ(info.type_name, c.type);
  }
}

// Any attribute by its OPC UA name (letter case aside), each item its own, converted
// by the attribute's own type although this Client converts no typed values.
TEST_F(ServicesTest, ReadNamesAnyAttributeAndConvertsItByItsType) {
  const struct {
    const char* attribute;
    Value value;
    ResultCode code;
  } cases[] = {
      {"", int32_t{-123456}, ResultCode::Ok},
      {"Value", int32_t{-123456}, ResultCode::Ok},
      {"NodeId", std::string("ns=1;s=Scalar.Int32"), ResultCode::Ok},
      {"NodeClass", int32_t{2}, ResultCode::Ok},
      {"BrowseName", std::string("1:Scalar.Int32"), ResultCode::Ok},
      {"DisplayName", std::string("Scalar.Int32"), ResultCode::Ok},
      {"dataType", std::string("i=6"), ResultCode::Ok},
      {"ValueRank", int32_t{-1}, ResultCode::Ok},
      {"ACCESSLEVEL", uint8_t{3}, ResultCode::Ok},
      {"MinimumSamplingInterval", 0.0, ResultCode::Ok},
      {"Historizing", false, ResultCode::Ok},
      {"AccessLevelEx", uint32_t{3}, ResultCode::Ok},
      {"EventNotifier", Value{}, ResultCode::InvalidArgument},  // no attribute of a variable
      {"Colour", Value{}, ResultCode::InvalidArgument},
  };
  ReadRequest request;
  for (const auto& c : cases) request.items.push_back({Node("Scalar.Int32"), c.attribute});
  const ReadResult read = client->Read(request);
  ASSERT_EQ(read.items.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].attribute);
    EXPECT_EQ(read.items[i].code, cases[i].code) << read.items[i].message;
    EXPECT_EQ(read.items[i].value ? read.items[i].value->value : Value{}, cases[i].value);
  }
  EXPECT_EQ(read.items.back().message.rfind("unknown attribute 'Colour' (one of NodeId NodeClass BrowseName", 0), 0u);
  const std::string* nodeClass = read.items[3].value->properties.Get("enum_name");
  EXPECT_EQ(nodeClass ? *nodeClass : "", "Variable");
}

// Time stamps only as asked for (a Read that does not ask gets none, above).
TEST_F(ServicesTest, ReadReturnsTheTimestampsItAsksFor) {
  const int64_t now =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  const auto plausible = [&](int64_t nanos) { return std::abs(nanos - now) < 3'600'000'000'000; };
  const struct {
    const char* timestamps;
    bool source;
    bool server;
  } cases[] = {{"both", true, true}, {"server", false, true}, {"SOURCE", true, false}, {"none", false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.timestamps);
    ReadRequest request = ReadOf({Node("Scalar.Int32")});
    request.options.properties.Set("timestamps", c.timestamps);
    const ReadResult read = client->Read(request);
    ASSERT_EQ(read.items.size(), 1u);
    ASSERT_TRUE(read.items[0].value);
    const DataValue& value = *read.items[0].value;
    EXPECT_EQ(value.value, Value(int32_t{-123456}));
    EXPECT_EQ(value.timestamp.has_value(), c.source);
    EXPECT_TRUE(!value.timestamp || plausible(*value.timestamp)) << *value.timestamp;
    const std::string* serverTime = value.properties.Get("server_timestamp");
    EXPECT_EQ(serverTime != nullptr, c.server);
    EXPECT_TRUE(!serverTime || plausible(std::stoll(*serverTime))) << *serverTime;
  }
  ReadRequest unknown = ReadOf({Node("Scalar.Int32")});
  unknown.options.properties.Set("timestamps", "sometimes");
  const ReadResult refused = client->Read(unknown);
  EXPECT_EQ(refused.code, ResultCode::InvalidArgument);
  EXPECT_TRUE(refused.items.empty());
}

TEST_F(ServicesTest, EachItemGetsItsOwnResultAndMessage) {
  LogCapture log;
  const ReadResult read = client->Read(
      ReadOf({Node("Scalar.Int32"), "ns=1;x=nonsense", Node("DoesNotExist"), Node("Fault"), Node("Array.Int32.3")}));
  EXPECT_EQ(read.code, ResultCode::Ok);
  std::vector<std::string> described;
  for (const auto& item : read.items) described.push_back(Describe(item));
  EXPECT_EQ(described, (std::vector<std::string>{"0  value#2", "5 could not parse NodeId", "6 BadNodeIdUnknown",
                                                 "13 BadInternalError", "0  value#0"}));
  EXPECT_EQ(log.Count("Read '" + Node("Fault") + "' failed: BadInternalError"), 1u);
  const std::regex timing(R"(Read timing \[5 items\]: mutex_wait=\d+\.\dms sdk_call=\d+\.\dms total=\d+\.\dms)");
  const auto lines = log.Lines();
  EXPECT_EQ(
      std::count_if(lines.begin(), lines.end(), [&](const auto& l) { return std::regex_match(l.Text(), timing); }), 1);

  const WriteResult written = client->Write(WriteOf({
      {Node("Scalar.Int16"), int16_t{7}},
      {"not a node id", std::vector<double>{1.0}},  // the address is checked first
      {Node("DoesNotExist"), int32_t{1}},
      {Node("ReadOnly"), int32_t{8}},
      {Node("Scalar.Int32"), 1.5},  // a Double for an Int32 variable
      {Node("Scalar.Int32"), std::vector<double>{1.0}},
  }));
  EXPECT_EQ(written.code, ResultCode::Ok);
  described.clear();
  for (const auto& item : written.items) described.push_back(Describe(item));
  EXPECT_EQ(described,
            (std::vector<std::string>{"0 ", "5 could not parse NodeId", "6 BadNodeIdUnknown", "4 BadNotWritable",
                                      "8 BadTypeMismatch", "8 value type not supported by current converter"}));
  EXPECT_EQ(ValueOf(Node("Scalar.Int16")), Value(int16_t{7}));
  EXPECT_EQ(ValueOf(Node("ReadOnly")), Value(int32_t{7}));
  client->Write(WriteOf({{Node("Scalar.Int16"), int16_t{-1234}}}));

  const struct {
    std::string node;
    std::string result;  // code, message, type name
  } types[] = {{"Scalar.DateTime", "0  "},
               {"Array.Int32.3", "0  Int32"},
               {"Robot", "5 BadAttributeIdInvalid "},
               {"DoesNotExist", "6 BadNodeIdUnknown "}};
  for (const auto& c : types) {
    const Client::DataTypeInfo info = client->ReadDataType(Node(c.node));
    EXPECT_EQ(std::to_string(static_cast<int>(info.code)) + " " + info.message + " " + info.type_name, c.result);
  }
}

TEST_F(ServicesTest, CancellationStopsWhatHasNotStarted) {
  LogCapture log;
  ReadRequest read = ReadOf({Node("Scalar.Int32")});
  CancelFlag(read.options, true);
  const ReadResult readResult = client->Read(read);
  EXPECT_EQ(readResult.code, ResultCode::Cancelled);
  EXPECT_EQ(readResult.message, "cancelled before start");
  EXPECT_TRUE(readResult.items.empty());
  WriteRequest write;
  CancelFlag(write.options, true);
  EXPECT_EQ(client->Write(write).code, ResultCode::Cancelled);
  CallRequest call = CallOf(Node("Robot.Home"));
  CancelFlag(call.options, true);
  EXPECT_EQ(client->Call(call).code, ResultCode::Cancelled);
  EXPECT_EQ(log.Count("timing"), 0u);

  // Set while the second item's failure is logged: every remaining item is cancelled
  // and the cancelled writes are not sent.
  WriteRequest writes = WriteOf({{Node("Scalar.Int32"), int32_t{1}},
                                 {Node("ReadOnly"), int32_t{2}},
                                 {Node("Scalar.Int16"), int16_t{3}},
                                 {Node("Scalar.Byte"), uint8_t{4}}});
  auto writeFlag = CancelFlag(writes.options, false);
  log.OnLine("Write '" + Node("ReadOnly") + "' failed", [&] { writeFlag->store(true); });
  const WriteResult partWrite = client->Write(writes);
  std::vector<std::string> described;
  for (const auto& item : partWrite.items) described.push_back(Describe(item));
  EXPECT_EQ(described,
            (std::vector<std::string>{"0 ", "4 BadNotWritable", "10 cancelled mid-batch", "10 cancelled mid-batch"}));
  EXPECT_EQ(ValueOf(Node("Scalar.Int16")), Value(int16_t{-1234}));
  client->Write(WriteOf({{Node("Scalar.Int32"), int32_t{-123456}}}));

  // The same between the items of a Read.
  ReadRequest reads = ReadOf({Node("Scalar.Int32"), Node("DoesNotExist"), Node("Scalar.Int16"), Node("Scalar.Byte")});
  auto readFlag = CancelFlag(reads.options, false);
  log.OnLine("Read '" + Node("DoesNotExist") + "' failed", [&] { readFlag->store(true); });
  described.clear();
  for (const auto& item : client->Read(reads).items) described.push_back(Describe(item));
  EXPECT_EQ(described, (std::vector<std::string>{"0  value#2", "6 BadNodeIdUnknown", "10 cancelled mid-batch",
                                                 "10 cancelled mid-batch"}));
}

TEST_F(ServicesTest, CallReturnsOutputsAndMapsEveryRefusal) {
  LogCapture log;
  const CallResult added = client->Call(CallOf(Node("Robot.Add"), {1.5, 2.25}));
  ASSERT_EQ(added.code, ResultCode::Ok) << added.message;
  ASSERT_EQ(added.outputs.size(), 1u);
  EXPECT_EQ(added.outputs[0].name, "");
  EXPECT_EQ(added.outputs[0].value.value, Value(3.75));
  EXPECT_EQ(client->Call(CallOf(Node("Robot.Home"))).code, ResultCode::Ok);  // on the derived object

  CallRequest explicitObject = CallOf(Node("Robot.Home"));  // the option wins over the derivation
  explicitObject.options.properties.Set("object", "ns=0;i=85");
  CallRequest emptyObject = CallOf(Node("Robot.Home"));
  emptyObject.options.properties.Set("object", "");
  CallRequest badMethod = CallOf("nonsense");
  badMethod.options.properties.Set("object", Node("Robot"));
  const struct {
    CallRequest request;
    ResultCode code;
    std::string message;
  } refusals[] = {
      {explicitObject, ResultCode::NotFound, "BadMethodInvalid"},
      {CallOf("ns=1;i=7001"), ResultCode::InvalidArgument,
       "could not derive object NodeId from method 'ns=1;i=7001'; pass it explicitly via "
       "options.properties[\"object\"]"},
      {emptyObject, ResultCode::InvalidArgument, "could not parse object NodeId: "},
      // A nested name is called on the object named up to its last dot.
      {CallOf("ns=1;q=Line.Pump.Start"), ResultCode::InvalidArgument,
       "could not parse object NodeId: ns=1;q=Line.Pump"},
      {badMethod, ResultCode::InvalidArgument, "could not parse method NodeId: nonsense"},
      {CallOf(Node("Robot.Add"), {1.0, std::vector<double>{2.0}}), ResultCode::TypeMismatch,
       "input argument 1 has an unsupported Value type"},
      {CallOf(Node("Robot.Add"), {Value{}, 1.0}), ResultCode::TypeMismatch,
       "input argument 0 has an unsupported Value type"},
      {CallOf(Node("Robot.Add"), {1.0}), ResultCode::InvalidArgument, "BadArgumentsMissing"},
      {CallOf(Node("Robot.Add"), {1.0, int32_t{2}}), ResultCode::InvalidArgument, "BadInvalidArgument"},
  };
  for (const auto& c : refusals) {
    SCOPED_TRACE(c.message);
    const CallResult result = client->Call(c.request);
    EXPECT_EQ(result.code, c.code) << result.message;
    EXPECT_EQ(result.message, c.message);
    EXPECT_TRUE(result.outputs.empty());
  }
  EXPECT_EQ(log.Count("Call timing"), 5u);  // only the calls that reached the server
}

// One table of hostile input across the services: each answers item by item
// without crashing or hanging, never reads the node named before an embedded NUL,
// and the session still serves ordinary requests afterwards.
TEST_F(ServicesTest, HostileInputIsRefusedItemByItem) {
  const std::string huge = "ns=1;s=" + std::string(1 << 20, 'x');
  const std::string nul("ns=1;s=Scalar.Int32\0tail", 24);
  const std::vector<std::string> addresses = {huge, nul, std::string(1, '\0'), "\xff\xfe",
                                              "ns=1;s=" + std::string(1, '\n')};
  ReadRequest read = ReadOf(addresses);
  for (int i = 0; i < 2000; ++i)
    read.items.push_back({i % 2 ? Node("Scalar.Int32") : "ns=1;s=" + std::to_string(i), {}});
  const ReadResult result = client->Read(read);
  ASSERT_EQ(result.items.size(), read.items.size());
  for (size_t i = 0; i < result.items.size(); ++i) {
    EXPECT_EQ(result.items[i].address, read.items[i].address);
    EXPECT_EQ(result.items[i].code == ResultCode::Ok, i >= addresses.size() && i % 2 == 0) << i;
  }
  std::vector<std::pair<std::string, Value>> writes;
  for (const auto& address : addresses) writes.emplace_back(address, int32_t{1});
  writes.emplace_back(Node("Scalar.String"), std::string(1 << 20, 'y'));
  const WriteResult written = client->Write(WriteOf(writes));
  ASSERT_EQ(written.items.size(), writes.size());
  for (size_t i = 0; i < addresses.size(); ++i) EXPECT_NE(written.items[i].code, ResultCode::Ok) << i;
  for (const auto& method : {huge, std::string("ns=1;s=Robot.Home\0x", 19), std::string("\0.\0", 3)})
    EXPECT_NE(client->Call(CallOf(method)).code, ResultCode::Ok);
  EXPECT_NE(client->ReadDataType(nul).code, ResultCode::Ok);
  EXPECT_TRUE(ualib_test::WaitFor([&] { return ualib_test::ReadsOk(*client, Node("Scalar.Int32")); }, 30s, 50ms));
  client->Write(WriteOf({{Node("Scalar.String"), std::string("hello")}}));
}

// Every operation of a Client without a session, before Connect and after Disconnect.
TEST_F(ServicesTest, EveryOperationIsRefusedWithoutASession) {
  Client unconfigured;
  client->Disconnect();
  for (Client* c : {&unconfigured, client.get()}) {
    LogCapture log(0);
    ReadRequest read = ReadOf({Node("Scalar.Int32"), "x"});
    const std::vector<std::string> answers = {
        Describe(c->Read(read)),
        Describe(c->Write(WriteOf({{Node("Scalar.Int32"), int32_t{1}}}))),
        Describe(c->Call(CallOf(Node("Robot.Home")))),
        Describe(c->ReadDataType(Node("Scalar.Int32"))),
        Describe(c->Browse(BrowseRequest{})),
        Describe(c->Subscribe({"a", "b"}, SubscriptionHandler(), {})),
        Describe(c->Unsubscribe({"a", "b", "c"})),
        Describe(c->UnsubscribeAll()),
    };
    EXPECT_EQ(answers, std::vector<std::string>(8, "2 not connected"));
    EXPECT_EQ(log.Texts(30), (std::vector<std::string>{
                                 "Read rejected: not connected (2 items)",
                                 "Write rejected: not connected (1 items)",
                                 "Call rejected: not connected (method=" + Node("Robot.Home") + ")",
                                 "ReadDataType rejected: not connected (node=" + Node("Scalar.Int32") + ")",
                                 "Browse rejected: not connected",
                                 "Subscribe rejected: not connected (2 nodes)",
                                 "Unsubscribe rejected: not connected (3 nodes)",
                                 "UnsubscribeAll rejected: not connected",
                             }));
    // Each operation opened its entry tracer with its signature.
    const std::vector<std::string> traces = log.Texts(0);
    ASSERT_EQ(traces.size(), 8u);
    EXPECT_NE(traces[0].find("velk::quarlink::Client::Read("), std::string::npos) << traces[0];
  }
}

}  // namespace
