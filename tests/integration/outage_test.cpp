// Outages: a batch on a link that stopped answering, a subscription the server
// drops, a browse that never ends, and the last references to a session dropped
// where its teardown could not run.
#include <gtest/gtest.h>
#include <velk/quarlink/client.h>
#include <velk/quarlink/connection_registry.h>

#include <future>
#include <thread>

#include "adapter_helpers.h"
#include "log_capture.h"
#include "notification_recorder.h"
#include "subscription_probe.h"
#include "tcp_proxy.h"
#include "test_server.h"

namespace {

using namespace tessel::fnd::defs;
using namespace std::chrono_literals;
using ualib_test::ConnectedClient;
using ualib_test::LogCapture;
using ualib_test::Node;
using ualib_test::NotificationRecorder;
using ualib_test::Options;
using ualib_test::TcpProxy;
using ualib_test::TestServer;
using ualib_test::WaitFor;
using velk::quarlink::Client;

// Without taking a share of the session, which would move its teardown here.
bool SessionGone(const std::string& key) {
  auto& registry = velk::quarlink::OpcuaConnectionRegistry::Instance();
  std::lock_guard<std::mutex> lock(registry.mutex);
  const auto it = registry.sessions.find(key);
  return it == registry.sessions.end() || it->second.expired();
}

ReadRequest Batch(size_t count) {
  ReadRequest request;
  request.items.resize(count);
  for (ReadItem& item : request.items) item.address = Node("Scalar.Int32");
  return request;
}

class FrozenLinkTest : public ::testing::TestWithParam<bool> {
 protected:
  TestServer server;
  TcpProxy proxy{server.Port()};
  LogCapture log{10};
};

// The link check is off, so the batch itself finds out: its first item waits out the
// request timeout, a probe gets no answer either, and every later item fails at once
// instead of waiting (and reconnecting) on its own. Only the reconnect cycle, when
// allowed, opens the connection again.
TEST_P(FrozenLinkTest, ABatchWaitsOutOneTimeoutAndRequestsNeverReconnect) {
  const bool autoReconnect = GetParam();
  auto client = ConnectedClient(proxy.Endpoint(), {{"auto_reconnect", autoReconnect ? "true" : "false"},
                                                   {"reconnect_interval_ms", "200"},
                                                   {"connectivity_check_interval_ms", "0"}});
  NotificationRecorder values;
  ASSERT_EQ(client->Subscribe({Node("Counter")}, values.Handler(), {}).code, ResultCode::Ok);

  proxy.Freeze();
  const ReadResult frozen = client->Read(Batch(20));
  ASSERT_EQ(frozen.items.size(), 20u);
  EXPECT_EQ(frozen.items[0].code, ResultCode::Timeout);
  for (size_t i = 1; i < frozen.items.size(); ++i) {
    EXPECT_EQ(frozen.items[i].code, ResultCode::NotConnected) << i;
    EXPECT_EQ(frozen.items[i].message, "BadConnectionClosed") << i;
  }
  EXPECT_TRUE(log.Contains("Link to " + proxy.Endpoint() + " stopped answering"));
  const ReadResult down = client->Read(Batch(20));
  EXPECT_EQ(down.items.at(19).code, ResultCode::NotConnected);

  proxy.Thaw();
  if (autoReconnect) {
    EXPECT_TRUE(WaitFor([&] { return ualib_test::ReadsOk(*client, Node("Scalar.Int32")); }, 30s));
    const size_t before = values.Count();
    EXPECT_TRUE(WaitFor([&] { return values.Count() > before; }, 10s));
  } else {
    std::this_thread::sleep_for(1s);  // room for a reconnect that must not happen
    EXPECT_EQ(ualib_test::ReadOne(*client, Node("Scalar.Int32")).items.at(0).code, ResultCode::NotConnected);
    EXPECT_FALSE(log.Contains("Reconnect: starting"));
  }
}

INSTANTIATE_TEST_SUITE_P(AutoReconnect, FrozenLinkTest, ::testing::Bool());

// The single-threaded server answers nothing else while it works through one slow
// gathered read, which outlasts the request timeout: the probe after the timeout
// waits behind it, and the late answer shows that the link is alive.
TEST(OutageTest, ASlowGatheredReadIsNotTakenForADeadLink) {
  TestServer server;
  LogCapture log{10};
  auto client =
      ConnectedClient(server.Endpoint(), {{"max_items_per_request", "0"}, {"connectivity_check_interval_ms", "0"}});
  ReadRequest slow;
  slow.items.resize(120);  // 50 ms each: past the stack's 5 s request timeout, short of twice that
  for (ReadItem& item : slow.items) item.address = Node("Slow.1");
  EXPECT_EQ(client->Read(slow).items.at(0).code, ResultCode::Timeout);
  EXPECT_TRUE(ualib_test::ReadsOk(*client, Node("Scalar.Int32")));
  EXPECT_FALSE(log.Contains("stopped answering"));
}

TEST(OutageTest, ASubscriptionTheServerDropsIsCreatedAgain) {
  TestServer server;
  LogCapture log{30};
  auto client = ConnectedClient(server.Endpoint(), {{"username", "operator"}, {"password", "secret"}});
  NotificationRecorder values;
  ASSERT_EQ(client->Subscribe({Node("Counter")}, values.Handler(), {}).code, ResultCode::Ok);
  ASSERT_TRUE(WaitFor([&] { return values.Count() > 0; }, 5s));
  const auto session = ualib_test::LiveSessionWithDigest(server.Endpoint() + "|operator");
  const uint32_t dropped = ualib_test::StateOf(*session).subscriptionId;

  // Another session of the same user takes the subscription over: for this one it is gone.
  ualib_test::ServerProbe other(server.Endpoint(), true);
  ASSERT_EQ(other.TakeOver(dropped), UA_STATUSCODE_GOOD);
  ASSERT_TRUE(
      log.WaitFor("Subscription " + std::to_string(dropped) + " of " + server.Endpoint() + " was dropped", 30s));
  const size_t before = values.Count();
  EXPECT_TRUE(WaitFor([&] { return values.Count() > before + 2; }, 10s));
  EXPECT_NE(ualib_test::StateOf(*session).subscriptionId, dropped);
}

// A peer that stopped reading fills the socket's buffers: the send that finds no
// room gives up at the request timeout and closes the link, instead of holding the
// session (and the caller) forever.
TEST(OutageTest, ASendToAFrozenPeerEndsAtTheRequestTimeout) {
  TestServer server;
  TcpProxy proxy{server.Port()};
  auto client = ConnectedClient(proxy.Endpoint(), {{"connectivity_check_interval_ms", "0"}});
  proxy.Freeze();
  WriteRequest write;
  write.items.push_back({Node("Scalar.String"), Value(std::string(32u << 20, 'x')), {}});
  auto written = std::async(std::launch::async, [&] { return client->Write(write); });
  const bool ended = written.wait_for(30s) == std::future_status::ready;
  proxy.Thaw();  // lets a blocked send go on, so a failure ends too
  EXPECT_TRUE(ended) << "the send blocked";
  EXPECT_NE(written.get().items.at(0).code, ResultCode::Ok);
}

// Wide has 10,001 children and the server sends one reference per page.
ualib_test::ServerOptions WideServer() {
  ualib_test::ServerOptions options;
  options.extraArgs = {"--wide", "10001", "--page-size", "1"};
  return options;
}

class EndlessPagingTest : public ::testing::Test {
 protected:
  TestServer server{WideServer()};
  LogCapture log{10};
};

// The browse holds nothing across its round trips: another Client of the session
// reads while it pages.
TEST_F(EndlessPagingTest, PagingStopsAtItsBoundWithAFailureForTheNode) {
  auto client = ConnectedClient(server.Endpoint());
  auto reader = ConnectedClient(server.Endpoint());
  BrowseRequest request;
  request.root = Node("Wide");
  std::atomic<bool> browsing{true};
  auto browse = std::async(std::launch::async, [&] {
    BrowseResult paged = client->Browse(request);
    browsing = false;
    return paged;
  });
  ASSERT_TRUE(log.WaitFor("Browse: root=", 10s));
  EXPECT_TRUE(ualib_test::ReadsOk(*reader, Node("Scalar.Int32")));
  EXPECT_TRUE(browsing) << "the read waited for the browse";
  const BrowseResult result = browse.get();
  EXPECT_NE(result.code, ResultCode::Ok);
  EXPECT_TRUE(result.nodes.empty());
  EXPECT_TRUE(log.Contains("Browse of '" + Node("Wide") + "' stopped after 10000 pages"));
  EXPECT_EQ(ualib_test::ReadOne(*client, Node("Scalar.Int32")).items.at(0).code, ResultCode::Ok);
}

TEST_F(EndlessPagingTest, TheLastDisconnectEndsABrowseAndTheSessionWithIt) {
  auto client = ConnectedClient(server.Endpoint());
  BrowseRequest request;
  request.root = Node("Wide");
  auto browse = std::async(std::launch::async, [&] { return client->Browse(request); });
  ASSERT_TRUE(log.WaitFor("Browse: root=" + Node("Wide"), 5s));
  ASSERT_EQ(client->Disconnect().code, ResultCode::Ok);
  const BrowseResult result = browse.get();
  EXPECT_EQ(result.code, ResultCode::NotConnected);
  EXPECT_EQ(result.message, "connection lost during browse");
  EXPECT_TRUE(log.Contains("Disconnect: detaching from " + server.Endpoint() + " (refs before = 1)"));
  EXPECT_TRUE(SessionGone(server.Endpoint() + "|"));
}

TEST(OutageTest, AConnectRacingTheLastDisconnectKeepsTheSessionOpen) {
  TestServer server;
  const std::string key = server.Endpoint() + "|";
  {  // held past the last Disconnect, the closing session takes the next Client
    Client leaving, arriving;
    ASSERT_EQ(leaving.Configure(Options(server.Endpoint())).code, ResultCode::Ok);
    ASSERT_EQ(arriving.Configure(Options(server.Endpoint())).code, ResultCode::Ok);
    ASSERT_EQ(leaving.Connect().code, ResultCode::Ok);
    auto held = ualib_test::LiveSession(key);
    leaving.Disconnect();
    ASSERT_TRUE(held->link().Closing());
    ASSERT_EQ(arriving.Connect().code, ResultCode::Ok);
    EXPECT_FALSE(held->link().Closing());
  }
  for (int round = 0; round < 50; ++round) {
    Client leaving, arriving;
    ASSERT_EQ(leaving.Configure(Options(server.Endpoint())).code, ResultCode::Ok);
    ASSERT_EQ(arriving.Configure(Options(server.Endpoint())).code, ResultCode::Ok);
    ASSERT_EQ(leaving.Connect().code, ResultCode::Ok);
    std::thread disconnect([&] { leaving.Disconnect(); });
    ASSERT_EQ(arriving.Connect().code, ResultCode::Ok);
    disconnect.join();
    auto session = ualib_test::LiveSession(key);
    ASSERT_TRUE(session);
    EXPECT_FALSE(session->link().Closing()) << "round " << round;
  }
}

// A handler that keeps its own Client alive holds the last reference once the host
// lets go; the stack frees that handler on the session's iterator thread when the
// reconnect cycle cleans up the item an Unsubscribe could not delete.
TEST(OutageTest, AHandlerHoldingTheLastClientIsReleasedOnTheIterator) {
  TestServer server;
  TcpProxy proxy{server.Port()};
  LogCapture log{10};
  auto client = std::make_shared<Client>();
  ASSERT_EQ(client
                ->Configure(Options(proxy.Endpoint(),
                                    {{"reconnect_interval_ms", "200"}, {"connectivity_check_interval_ms", "0"}}))
                .code,
            ResultCode::Ok);
  ASSERT_EQ(client->Connect().code, ResultCode::Ok);
  ASSERT_EQ(client->Subscribe({Node("Counter")}, [client](const Notification&) {}, {}).code, ResultCode::Ok);

  proxy.Freeze();
  EXPECT_EQ(client->Unsubscribe({Node("Counter")}).items.at(0).code, ResultCode::Timeout);
  client.reset();
  proxy.Thaw();
  EXPECT_TRUE(log.WaitFor("Reconnect: starting", 10s));
  EXPECT_TRUE(WaitFor([&] { return SessionGone(proxy.Endpoint() + "|"); }, 20s));
}

}  // namespace
