// ReadDataType against the test server, and how every data service answers
// without a session.
#include <gtest/gtest.h>
#include <velk/quarlink/client.h>

#include <memory>
#include <string>
#include <vector>

#include "adapter_helpers.h"
#include "log_capture.h"
#include "test_server.h"

namespace {

using namespace tessel::fnd::defs;
using ualib_test::ConnectedClient;
using ualib_test::LogCapture;
using ualib_test::Node;
using ualib_test::TestServer;
using velk::quarlink::Client;

void ExpectInfo(const Client::DataTypeInfo& info, ResultCode code, const std::string& message,
                const std::string& typeName) {
  EXPECT_EQ(info.code, code) << info.message;
  EXPECT_EQ(info.message, message);
  EXPECT_EQ(info.type_name, typeName);
}

class DataTypeTest : public ::testing::Test {
 protected:
  TestServer server;
  std::unique_ptr<Client> client = ConnectedClient(server.Endpoint());
};

TEST_F(DataTypeTest, TheTwelveConvertibleTypesAreNamed) {
  for (const std::string type : {"Boolean", "SByte", "Byte", "Int16", "UInt16", "Int32", "UInt32", "Int64", "UInt64",
                                 "Float", "Double", "String"}) {
    ExpectInfo(client->ReadDataType(Node("Scalar." + type)), ResultCode::Ok, "", type);
  }
}

TEST_F(DataTypeTest, OtherTypesAreUnnamedWithoutFailing) {
  for (const std::string node : {"Scalar.DateTime", "Scalar.ByteString", "Scalar.LocalizedText", "Enum"})
    ExpectInfo(client->ReadDataType(Node(node)), ResultCode::Ok, "", "");
  // An Int32 array still has the Int32 data type.
  ExpectInfo(client->ReadDataType(Node("Array.Int32.3")), ResultCode::Ok, "", "Int32");
}

TEST_F(DataTypeTest, FailuresAreMappedAndLogged) {
  LogCapture log;
  ExpectInfo(client->ReadDataType(Node("Robot")), ResultCode::InvalidArgument, "BadAttributeIdInvalid", "");
  ExpectInfo(client->ReadDataType(Node("DoesNotExist")), ResultCode::NotFound, "BadNodeIdUnknown", "");
  ExpectInfo(client->ReadDataType("ns=1;q=x"), ResultCode::InvalidArgument, "could not parse NodeId", "");
  ExpectInfo(client->ReadDataType(std::string("ns=1;s=Scalar.Int32\0", 20)), ResultCode::NotFound, "BadNodeIdUnknown",
             "");
  EXPECT_NE(client->ReadDataType("ns=1;s=" + std::string(1 << 20, 'x')).code, ResultCode::Ok);
  EXPECT_EQ(log.Count("ReadDataType '" + Node("Robot") + "' failed: BadAttributeIdInvalid"), 1u);
  EXPECT_EQ(log.Count("ReadDataType: could not parse NodeId 'ns=1;q=x'"), 1u);
  ExpectInfo(client->ReadDataType(Node("Scalar.Double")), ResultCode::Ok, "", "Double");
}

// Every data service, called on a Client that has no session.
void ExpectAllRejected(Client& client, LogCapture& log) {
  log.Clear();
  ReadRequest read;
  read.items = {{Node("Scalar.Int32"), {}}, {Node("Scalar.Int16"), {}}, {"x", {}}};
  const ReadResult readResult = client.Read(read);
  EXPECT_EQ(readResult.code, ResultCode::NotConnected);
  EXPECT_EQ(readResult.message, "not connected");
  EXPECT_TRUE(readResult.items.empty());

  WriteRequest write;
  write.items = {{Node("Scalar.Int32"), int32_t{1}, {}}, {Node("Scalar.Int16"), int16_t{2}, {}}};
  const WriteResult writeResult = client.Write(write);
  EXPECT_EQ(writeResult.code, ResultCode::NotConnected);
  EXPECT_EQ(writeResult.message, "not connected");
  EXPECT_TRUE(writeResult.items.empty());

  CallRequest call;
  call.method = Node("Robot.Home");
  const CallResult callResult = client.Call(call);
  EXPECT_EQ(callResult.code, ResultCode::NotConnected);
  EXPECT_EQ(callResult.message, "not connected");

  ExpectInfo(client.ReadDataType(Node("Scalar.Int32")), ResultCode::NotConnected, "not connected", "");

  EXPECT_EQ(log.Texts(30), (std::vector<std::string>{
                               "Read rejected: not connected (3 items)",
                               "Write rejected: not connected (2 items)",
                               "Call rejected: not connected (method=" + Node("Robot.Home") + ")",
                               "ReadDataType rejected: not connected (node=" + Node("Scalar.Int32") + ")",
                           }));
  // Each operation opened its entry tracer with its signature.
  std::vector<std::string> traces = log.Texts(0);
  ASSERT_EQ(traces.size(), 4u);
  EXPECT_NE(traces[0].find("velk::quarlink::Client::Read("), std::string::npos) << traces[0];
  EXPECT_NE(traces[1].find("velk::quarlink::Client::Write("), std::string::npos) << traces[1];
  EXPECT_NE(traces[2].find("velk::quarlink::Client::Call("), std::string::npos) << traces[2];
  EXPECT_NE(traces[3].find("velk::quarlink::Client::ReadDataType("), std::string::npos) << traces[3];
}

TEST(DataServicesWithoutSession, AnswerNotConnectedBeforeConnectAndAfterDisconnect) {
  TestServer server;
  LogCapture log(0);
  Client unconfigured;
  ExpectAllRejected(unconfigured, log);

  Client client;
  ASSERT_EQ(client.Configure(ualib_test::Options(server.Endpoint())).code, ResultCode::Ok);
  ExpectAllRejected(client, log);
  ASSERT_EQ(client.Connect().code, ResultCode::Ok);
  EXPECT_EQ(client.ReadDataType(Node("Scalar.Int32")).type_name, "Int32");
  ASSERT_EQ(client.Disconnect().code, ResultCode::Ok);
  ExpectAllRejected(client, log);
}

}  // namespace
