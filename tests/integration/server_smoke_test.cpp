// The test server, its fixture and the TCP proxy, exercised with a raw
// open62541 client: the contract the other integration tests build on.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <open62541/client.h>
#include <open62541/client_config_default.h>
#include <open62541/client_highlevel.h>
#include <open62541/client_subscriptions.h>
#include <open62541/plugin/log_stdout.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <numeric>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tcp_proxy.h"
#include "test_server.h"
#include "unique_fd.h"

namespace ualib_test {
namespace {

using namespace std::chrono_literals;

// --- Raw client helpers ---

struct ClientDeleter {
  void operator()(UA_Client* client) const { UA_Client_delete(client); }
};
using ClientPtr = std::unique_ptr<UA_Client, ClientDeleter>;

ClientPtr NewClient(UA_UInt32 timeoutMs = 5000, bool reconnect = true) {
  UA_ClientConfig config;
  std::memset(&config, 0, sizeof(config));
  config.logging = UA_Log_Stdout_new(UA_LOGLEVEL_ERROR);
  UA_ClientConfig_setDefault(&config);
  config.timeout = timeoutMs;
  config.noReconnect = !reconnect;
  return ClientPtr(UA_Client_newWithConfig(&config));
}

// An open62541 value that is cleared when it goes out of scope.
template <typename T>
class Owned {
 public:
  explicit Owned(const UA_DataType* type) : type_(type) { UA_init(&value_, type_); }
  Owned(T value, const UA_DataType* type) : type_(type), value_(value) {}
  ~Owned() { UA_clear(&value_, type_); }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  T* Get() { return &value_; }
  T* operator->() { return &value_; }
  const T& operator*() const { return value_; }

 private:
  const UA_DataType* type_;
  T value_;
};

UA_NodeId Node(const char* id) { return UA_NODEID_STRING(1, const_cast<char*>(id)); }

UA_StatusCode Read(UA_Client* client, const char* id, Owned<UA_Variant>& value) {
  return UA_Client_readValueAttribute(client, Node(id), value.Get());
}

std::optional<UA_Int32> ReadInt32(UA_Client* client, const char* id) {
  Owned<UA_Variant> value(&UA_TYPES[UA_TYPES_VARIANT]);
  if (Read(client, id, value) != UA_STATUSCODE_GOOD ||
      !UA_Variant_hasScalarType(value.Get(), &UA_TYPES[UA_TYPES_INT32])) {
    return std::nullopt;
  }
  return *static_cast<UA_Int32*>(value->data);
}

UA_StatusCode WriteInt32(UA_Client* client, const char* id, UA_Int32 number) {
  UA_Variant value;
  UA_Variant_setScalar(&value, &number, &UA_TYPES[UA_TYPES_INT32]);
  return UA_Client_writeValueAttribute(client, Node(id), &value);
}

struct CallResult {
  UA_StatusCode status = UA_STATUSCODE_GOOD;
  size_t size = 0;
  UA_Variant* outputs = nullptr;
  ~CallResult() { UA_Array_delete(outputs, size, &UA_TYPES[UA_TYPES_VARIANT]); }
};

void Call(UA_Client* client, const char* method, std::vector<UA_Variant> inputs, CallResult& result) {
  result.status =
      UA_Client_call(client, Node("Robot"), Node(method), inputs.size(), inputs.data(), &result.size, &result.outputs);
}

template <typename T>
UA_Variant Scalar(T& value, const UA_DataType* type) {
  UA_Variant variant;
  UA_Variant_setScalar(&variant, &value, type);
  return variant;
}

UA_SecureChannelState ChannelState(UA_Client* client) {
  UA_SecureChannelState channel;
  UA_Client_getState(client, &channel, nullptr, nullptr);
  return channel;
}

// --- Raw socket helpers ---

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

UniqueFd ConnectTcp(uint16_t port) {
  UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address = Loopback(port);
  if (connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    fd.Reset();
  }
  return fd;
}

bool AcceptsTcp(uint16_t port) { return ConnectTcp(port).Valid(); }

UniqueFd ListenTcp(uint16_t& port) {
  UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof(address);
  if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd.Get(), 4) != 0 ||
      getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    fd.Reset();
  }
  port = ntohs(address.sin_port);
  return fd;
}

bool Readable(int fd, std::chrono::milliseconds timeout) {
  pollfd entry{fd, POLLIN, 0};
  return poll(&entry, 1, static_cast<int>(timeout.count())) == 1;
}

// Reads until `size` bytes arrived, the peer closed, or 5 s passed.
std::string Receive(int fd, size_t size) {
  std::string text;
  while (text.size() < size && Readable(fd, 5s)) {
    char buffer[256];
    ssize_t count = recv(fd, buffer, std::min(sizeof(buffer), size - text.size()), 0);
    if (count <= 0) {
      break;
    }
    text.append(buffer, static_cast<size_t>(count));
  }
  return text;
}

bool Send(int fd, const std::string& text) {
  return send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

// --- Value checks for the address-space table ---

using ValueCheck = std::function<bool(const UA_Variant&)>;

template <typename T>
ValueCheck Is(T expected) {
  return [expected](const UA_Variant& v) { return UA_Variant_isScalar(&v) && *static_cast<T*>(v.data) == expected; };
}

ValueCheck IsBytes(std::string expected) {
  return [expected](const UA_Variant& v) {
    const auto* s = static_cast<const UA_String*>(v.data);  // String and ByteString alike
    return UA_Variant_isScalar(&v) && std::string(reinterpret_cast<char*>(s->data), s->length) == expected;
  };
}

ValueCheck IsInt32Array(std::vector<UA_Int32> expected) {
  return [expected](const UA_Variant& v) {
    if (UA_Variant_isScalar(&v) || v.arrayLength != expected.size()) {
      return false;
    }
    const auto* data = static_cast<const UA_Int32*>(v.data);
    return std::equal(expected.begin(), expected.end(), data);
  };
}

struct NodeCase {
  const char* id;
  const UA_DataType* type;
  ValueCheck check;
};

// --- Tests ---

TEST(ServerSmokeTest, AcceptsAnonymousAndOperatorAndCountsSessions) {
  TestServer server;
  struct LoginCase {
    const char* user;  // nullptr: anonymous
    const char* password;
    bool accepted;
  };
  const LoginCase cases[] = {
      {nullptr, nullptr, true},
      {"operator", "secret", true},
      {"operator", "wrong", false},
  };
  std::vector<ClientPtr> sessions;
  for (const LoginCase& login : cases) {
    SCOPED_TRACE(login.user != nullptr ? std::string(login.user) + "/" + login.password : "anonymous");
    ClientPtr client = NewClient();
    UA_StatusCode status = login.user == nullptr ? UA_Client_connect(client.get(), server.Endpoint().c_str())
                                                 : UA_Client_connectUsername(client.get(), server.Endpoint().c_str(),
                                                                             login.user, login.password);
    EXPECT_EQ(status == UA_STATUSCODE_GOOD, login.accepted) << UA_StatusCode_name(status);
    if (login.accepted) {
      EXPECT_EQ(ReadInt32(client.get(), "Scalar.Int32"), -123456);
      sessions.push_back(std::move(client));
    }
  }

  Owned<UA_Variant> count(&UA_TYPES[UA_TYPES_VARIANT]);
  ASSERT_EQ(Read(sessions.front().get(), "SessionCount", count), UA_STATUSCODE_GOOD);
  ASSERT_TRUE(UA_Variant_hasScalarType(count.Get(), &UA_TYPES[UA_TYPES_UINT32]));
  EXPECT_EQ(*static_cast<UA_UInt32*>(count->data), sessions.size());
}

TEST(ServerSmokeTest, NodesHoldTheirInitialValues) {
  TestServer server;
  ClientPtr client = NewClient();
  ASSERT_EQ(UA_Client_connect(client.get(), server.Endpoint().c_str()), UA_STATUSCODE_GOOD);

  const NodeCase cases[] = {
      {"Scalar.Boolean", &UA_TYPES[UA_TYPES_BOOLEAN], Is<UA_Boolean>(true)},
      {"Scalar.SByte", &UA_TYPES[UA_TYPES_SBYTE], Is<UA_SByte>(-5)},
      {"Scalar.Byte", &UA_TYPES[UA_TYPES_BYTE], Is<UA_Byte>(200)},
      {"Scalar.Int16", &UA_TYPES[UA_TYPES_INT16], Is<UA_Int16>(-1234)},
      {"Scalar.UInt16", &UA_TYPES[UA_TYPES_UINT16], Is<UA_UInt16>(54321)},
      {"Scalar.Int32", &UA_TYPES[UA_TYPES_INT32], Is<UA_Int32>(-123456)},
      {"Scalar.UInt32", &UA_TYPES[UA_TYPES_UINT32], Is<UA_UInt32>(3'000'000'000U)},
      {"Scalar.Int64", &UA_TYPES[UA_TYPES_INT64], Is<UA_Int64>(-9'000'000'000'000LL)},
      {"Scalar.UInt64", &UA_TYPES[UA_TYPES_UINT64], Is<UA_UInt64>(18'000'000'000'000'000'000ULL)},
      {"Scalar.Float", &UA_TYPES[UA_TYPES_FLOAT], Is<UA_Float>(3.5F)},
      {"Scalar.Double", &UA_TYPES[UA_TYPES_DOUBLE], Is<UA_Double>(-2.25)},
      {"Scalar.String", &UA_TYPES[UA_TYPES_STRING], IsBytes("hello")},
      {"Scalar.DateTime", &UA_TYPES[UA_TYPES_DATETIME], Is<UA_DateTime>(UA_DateTime_fromUnixTime(1'700'000'000))},
      {"Scalar.LocalizedText", &UA_TYPES[UA_TYPES_LOCALIZEDTEXT],
       [](const UA_Variant& v) {
         const auto* text = static_cast<const UA_LocalizedText*>(v.data);
         UA_String hello = UA_STRING(const_cast<char*>("hello"));
         return UA_String_equal(&text->text, &hello);
       }},
      {"Scalar.ByteString", &UA_TYPES[UA_TYPES_BYTESTRING], IsBytes("\x01\x02\xFE\xFF")},
      {"Scalar.StringWithNul", &UA_TYPES[UA_TYPES_STRING], IsBytes(std::string("a\0b", 3))},
      {"Array.Int32.3", &UA_TYPES[UA_TYPES_INT32], IsInt32Array({1, 2, 3})},
      {"Array.Int32.1", &UA_TYPES[UA_TYPES_INT32], IsInt32Array({42})},
      {"Array.Int32.0", &UA_TYPES[UA_TYPES_INT32], IsInt32Array({})},
      {"ReadOnly", &UA_TYPES[UA_TYPES_INT32], Is<UA_Int32>(7)},
      {"Slow.3", &UA_TYPES[UA_TYPES_INT32], Is<UA_Int32>(3)},
      {"Enum", &UA_TYPES[UA_TYPES_INT32], Is<UA_Int32>(2)},
      {"BurstValue", &UA_TYPES[UA_TYPES_INT32], Is<UA_Int32>(0)},
      {"Tree.F9.N14.V", &UA_TYPES[UA_TYPES_INT32], Is<UA_Int32>(914)},
      {"Paged.C07", &UA_TYPES[UA_TYPES_INT32], Is<UA_Int32>(7)},
      {"ServerState", &UA_TYPES[UA_TYPES_INT32], Is<UA_Int32>(0)},
  };
  for (const NodeCase& node : cases) {
    SCOPED_TRACE(node.id);
    Owned<UA_Variant> value(&UA_TYPES[UA_TYPES_VARIANT]);
    ASSERT_EQ(Read(client.get(), node.id, value), UA_STATUSCODE_GOOD);
    EXPECT_EQ(value->type, node.type);
    EXPECT_TRUE(node.check(*value));
  }

  Owned<UA_NodeId> enumType(&UA_TYPES[UA_TYPES_NODEID]);
  ASSERT_EQ(UA_Client_readDataTypeAttribute(client.get(), Node("Enum"), enumType.Get()), UA_STATUSCODE_GOOD);
  UA_NodeId serverStateType = UA_NODEID_NUMERIC(0, UA_NS0ID_SERVERSTATE);
  EXPECT_TRUE(UA_NodeId_equal(enumType.Get(), &serverStateType));

  std::optional<UA_Int32> first = ReadInt32(client.get(), "Counter");
  ASSERT_TRUE(first.has_value());
  EXPECT_TRUE(WaitFor([&] { return ReadInt32(client.get(), "Counter") > first; }, 5s));
}

TEST(ServerSmokeTest, WritesFaultsAndMethodsBehave) {
  TestServer server;
  ClientPtr client = NewClient();
  ASSERT_EQ(UA_Client_connect(client.get(), server.Endpoint().c_str()), UA_STATUSCODE_GOOD);

  EXPECT_EQ(WriteInt32(client.get(), "Scalar.Int32", 77), UA_STATUSCODE_GOOD);
  EXPECT_EQ(ReadInt32(client.get(), "Scalar.Int32"), 77);
  EXPECT_EQ(WriteInt32(client.get(), "ReadOnly", 8), UA_STATUSCODE_BADNOTWRITABLE);
  Owned<UA_Variant> fault(&UA_TYPES[UA_TYPES_VARIANT]);
  EXPECT_EQ(Read(client.get(), "Fault", fault), UA_STATUSCODE_BADINTERNALERROR);

  CallResult home;
  Call(client.get(), "Robot.Home", {}, home);
  EXPECT_EQ(home.status, UA_STATUSCODE_GOOD);

  UA_Double a = 1.5;
  UA_Double b = 2.25;
  CallResult add;
  Call(client.get(), "Robot.Add", {Scalar(a, &UA_TYPES[UA_TYPES_DOUBLE]), Scalar(b, &UA_TYPES[UA_TYPES_DOUBLE])}, add);
  ASSERT_EQ(add.status, UA_STATUSCODE_GOOD);
  ASSERT_EQ(add.size, 1u);
  EXPECT_TRUE(Is<UA_Double>(3.75)(add.outputs[0]));

  CallResult array;
  Call(client.get(), "Robot.Array", {}, array);
  ASSERT_EQ(array.status, UA_STATUSCODE_GOOD);
  ASSERT_EQ(array.size, 1u);
  EXPECT_TRUE(IsInt32Array({10, 20, 30})(array.outputs[0]));
}

TEST(ServerSmokeTest, BrowseOfPagedNeedsBrowseNext) {
  TestServer server;
  ClientPtr client = NewClient();
  ASSERT_EQ(UA_Client_connect(client.get(), server.Endpoint().c_str()), UA_STATUSCODE_GOOD);

  UA_BrowseDescription description;
  UA_BrowseDescription_init(&description);
  description.nodeId = Node("Paged");
  description.browseDirection = UA_BROWSEDIRECTION_FORWARD;
  description.referenceTypeId = UA_NODEID_NUMERIC(0, UA_NS0ID_HIERARCHICALREFERENCES);
  description.includeSubtypes = true;
  description.resultMask = UA_BROWSERESULTMASK_ALL;
  UA_BrowseRequest request;
  UA_BrowseRequest_init(&request);
  request.nodesToBrowse = &description;
  request.nodesToBrowseSize = 1;
  Owned<UA_BrowseResponse> first(UA_Client_Service_browse(client.get(), request), &UA_TYPES[UA_TYPES_BROWSERESPONSE]);
  ASSERT_EQ(first->responseHeader.serviceResult, UA_STATUSCODE_GOOD);
  ASSERT_EQ(first->resultsSize, 1u);
  size_t references = first->results[0].referencesSize;
  ASSERT_GT(first->results[0].continuationPoint.length, 0u);

  Owned<UA_ByteString> continuation(&UA_TYPES[UA_TYPES_BYTESTRING]);
  std::swap(*continuation.Get(), first->results[0].continuationPoint);
  int pages = 1;
  while (continuation->length > 0 && pages < 10) {
    UA_BrowseNextRequest next;
    UA_BrowseNextRequest_init(&next);
    next.continuationPoints = continuation.Get();
    next.continuationPointsSize = 1;
    Owned<UA_BrowseNextResponse> page(UA_Client_Service_browseNext(client.get(), next),
                                      &UA_TYPES[UA_TYPES_BROWSENEXTRESPONSE]);
    ASSERT_EQ(page->responseHeader.serviceResult, UA_STATUSCODE_GOOD);
    ASSERT_EQ(page->resultsSize, 1u);
    references += page->results[0].referencesSize;
    std::swap(*continuation.Get(), page->results[0].continuationPoint);  // the page clears the used one
    ++pages;
  }
  EXPECT_EQ(references, 25u);
  EXPECT_GE(pages, 3);
}

TEST(ServerSmokeTest, RestartKeepsThePortAndStopLeavesNothingRunning) {
  TestServer server;
  const uint16_t port = server.Port();
  ClientPtr client = NewClient();
  ASSERT_EQ(UA_Client_connect(client.get(), server.Endpoint().c_str()), UA_STATUSCODE_GOOD);
  ASSERT_TRUE(ReadInt32(client.get(), "Scalar.Int32").has_value());

  // The connected client leaves the old server's side of the connection in TIME_WAIT.
  server.Restart();
  EXPECT_TRUE(server.Running());
  EXPECT_EQ(server.Port(), port);
  UA_Client_disconnect(client.get());
  ASSERT_EQ(UA_Client_connect(client.get(), server.Endpoint().c_str()), UA_STATUSCODE_GOOD);
  EXPECT_EQ(ReadInt32(client.get(), "Scalar.Int32"), -123456);

  server.Stop();
  server.Stop();
  EXPECT_FALSE(server.Running());
  EXPECT_FALSE(AcceptsTcp(port));
}

TEST(ServerSmokeTest, OptionsOmitNodesAndDelayTheServerState) {
  TestServer server({.stateDelayMs = 500, .omit = {"Scalar.Double", "Robot"}});
  ClientPtr client = NewClient();
  ASSERT_EQ(UA_Client_connect(client.get(), server.Endpoint().c_str()), UA_STATUSCODE_GOOD);
  EXPECT_EQ(ReadInt32(client.get(), "ServerState"), 1);
  Owned<UA_Variant> value(&UA_TYPES[UA_TYPES_VARIANT]);
  EXPECT_EQ(Read(client.get(), "Scalar.Double", value), UA_STATUSCODE_BADNODEIDUNKNOWN);
  EXPECT_EQ(Read(client.get(), "BurstValue", value), UA_STATUSCODE_BADNODEIDUNKNOWN);  // under Robot
  EXPECT_TRUE(WaitFor([&] { return ReadInt32(client.get(), "ServerState") == 0; }, 5s));

  server.Restart();
  UA_Client_disconnect(client.get());
  ASSERT_EQ(UA_Client_connect(client.get(), server.Endpoint().c_str()), UA_STATUSCODE_GOOD);
  EXPECT_EQ(Read(client.get(), "Scalar.Double", value), UA_STATUSCODE_GOOD);
}

struct Notifications {
  std::vector<UA_Int32> values;
  std::vector<UA_StatusCode> statuses;
};

void Collect(UA_Client*, UA_UInt32, void*, UA_UInt32, void* context, UA_DataValue* value) {
  auto* notifications = static_cast<Notifications*>(context);
  notifications->statuses.push_back(value->hasStatus ? value->status : UA_STATUSCODE_GOOD);
  if (value->hasValue && UA_Variant_hasScalarType(&value->value, &UA_TYPES[UA_TYPES_INT32])) {
    notifications->values.push_back(*static_cast<UA_Int32*>(value->value.data));
  }
}

TEST(ServerSmokeTest, MonitoredItemsSampleEveryWriteAndReportTheFault) {
  TestServer server;
  ClientPtr client = NewClient();
  ASSERT_EQ(UA_Client_connect(client.get(), server.Endpoint().c_str()), UA_STATUSCODE_GOOD);

  UA_CreateSubscriptionRequest subscriptionRequest = UA_CreateSubscriptionRequest_default();
  subscriptionRequest.requestedPublishingInterval = 10.0;
  Owned<UA_CreateSubscriptionResponse> subscription(
      UA_Client_Subscriptions_create(client.get(), subscriptionRequest, nullptr, nullptr, nullptr),
      &UA_TYPES[UA_TYPES_CREATESUBSCRIPTIONRESPONSE]);
  ASSERT_EQ(subscription->responseHeader.serviceResult, UA_STATUSCODE_GOOD);
  const UA_UInt32 subscriptionId = subscription->subscriptionId;

  Notifications burst;
  UA_MonitoredItemCreateRequest item = UA_MonitoredItemCreateRequest_default(Node("BurstValue"));
  item.requestedParameters.samplingInterval = 0.0;
  item.requestedParameters.queueSize = 1000;
  Owned<UA_MonitoredItemCreateResult> burstItem(
      UA_Client_MonitoredItems_createDataChange(client.get(), subscriptionId, UA_TIMESTAMPSTORETURN_BOTH, item, &burst,
                                                Collect, nullptr),
      &UA_TYPES[UA_TYPES_MONITOREDITEMCREATERESULT]);
  ASSERT_EQ(burstItem->statusCode, UA_STATUSCODE_GOOD);
  EXPECT_EQ(burstItem->revisedSamplingInterval, 0.0);
  Notifications fault;
  Owned<UA_MonitoredItemCreateResult> faultItem(
      UA_Client_MonitoredItems_createDataChange(client.get(), subscriptionId, UA_TIMESTAMPSTORETURN_BOTH,
                                                UA_MonitoredItemCreateRequest_default(Node("Fault")), &fault, Collect,
                                                nullptr),
      &UA_TYPES[UA_TYPES_MONITOREDITEMCREATERESULT]);
  EXPECT_EQ(faultItem->statusCode, UA_STATUSCODE_GOOD) << UA_StatusCode_name(faultItem->statusCode);
  auto iterateUntil = [&](const std::function<bool()>& done) {
    return WaitFor([&] { return UA_Client_run_iterate(client.get(), 5) == UA_STATUSCODE_GOOD && done(); }, 5s);
  };
  ASSERT_TRUE(iterateUntil([&] { return !burst.values.empty(); }));

  constexpr UA_UInt32 kWrites = 200;
  UA_UInt32 count = kWrites;
  CallResult call;
  Call(client.get(), "Robot.Burst", {Scalar(count, &UA_TYPES[UA_TYPES_UINT32])}, call);
  ASSERT_EQ(call.status, UA_STATUSCODE_GOOD);
  EXPECT_TRUE(iterateUntil([&] { return burst.values.size() >= kWrites + 1 && !fault.statuses.empty(); }));
  std::vector<UA_Int32> expected(kWrites + 1);
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(burst.values, expected);
  ASSERT_FALSE(fault.statuses.empty());
  EXPECT_EQ(fault.statuses.front(), UA_STATUSCODE_BADINTERNALERROR);
}

TEST(TcpProxyTest, FreezeStallsThawRecoversCutCloses) {
  TestServer server;
  TcpProxy proxy(server.Port());
  ClientPtr client = NewClient(500, /*reconnect=*/false);
  ASSERT_EQ(UA_Client_connect(client.get(), proxy.Endpoint().c_str()), UA_STATUSCODE_GOOD);
  EXPECT_EQ(ReadInt32(client.get(), "Scalar.Int32"), -123456);
  EXPECT_EQ(proxy.Connections(), 1u);

  proxy.Freeze();
  Owned<UA_Variant> value(&UA_TYPES[UA_TYPES_VARIANT]);
  EXPECT_EQ(Read(client.get(), "Scalar.Int32", value), UA_STATUSCODE_BADTIMEOUT);
  EXPECT_EQ(proxy.Connections(), 1u);  // frozen, not closed

  proxy.Thaw();
  UA_Client_disconnect(client.get());
  ASSERT_EQ(UA_Client_connect(client.get(), proxy.Endpoint().c_str()), UA_STATUSCODE_GOOD);
  EXPECT_EQ(ReadInt32(client.get(), "Scalar.Int32"), -123456);

  proxy.Cut();
  EXPECT_EQ(proxy.Connections(), 0u);
  EXPECT_TRUE(WaitFor(
      [&] {
        UA_Client_run_iterate(client.get(), 5);
        return ChannelState(client.get()) == UA_SECURECHANNELSTATE_CLOSED;
      },
      5s));
}

TEST(TcpProxyTest, HoldsBytesWhileFrozenAndDeliversThemAfterThaw) {
  uint16_t targetPort = 0;
  UniqueFd listener = ListenTcp(targetPort);
  ASSERT_TRUE(listener.Valid());
  TcpProxy proxy(targetPort);
  UniqueFd client = ConnectTcp(proxy.Port());
  ASSERT_TRUE(client.Valid());
  ASSERT_TRUE(Readable(listener.Get(), 5s));
  UniqueFd target(accept(listener.Get(), nullptr, nullptr));
  ASSERT_TRUE(target.Valid());

  ASSERT_TRUE(Send(client.Get(), "ping"));
  EXPECT_EQ(Receive(target.Get(), 4), "ping");

  proxy.Freeze();
  ASSERT_TRUE(Send(client.Get(), "held"));
  ASSERT_TRUE(Send(target.Get(), "back"));
  EXPECT_FALSE(Readable(target.Get(), 100ms));
  EXPECT_FALSE(Readable(client.Get(), 100ms));  // neither data nor FIN/RST

  proxy.Thaw();
  EXPECT_EQ(Receive(target.Get(), 4), "held");
  EXPECT_EQ(Receive(client.Get(), 4), "back");

  proxy.Cut();
  EXPECT_EQ(proxy.Connections(), 0u);
  EXPECT_EQ(Receive(client.Get(), 1), "");  // closed
  EXPECT_EQ(Receive(target.Get(), 1), "");
}

}  // namespace
}  // namespace ualib_test
