// Unsubscribe and UnsubscribeAll, and the rejection of every subscription
// operation without a session.
#include <gtest/gtest.h>
#include <velk/quarlink/client.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "adapter_helpers.h"
#include "connection.h"
#include "log_capture.h"
#include "notification_recorder.h"
#include "subscription_probe.h"
#include "test_server.h"

namespace {

using namespace tessel::fnd::defs;
using namespace std::chrono_literals;
using ualib_test::ConnectedClient;
using ualib_test::LogCapture;
using ualib_test::Node;
using ualib_test::NotificationRecorder;
using ualib_test::QueueDepth;
using ualib_test::ServerProbe;
using ualib_test::SessionOf;
using ualib_test::StateOf;
using ualib_test::TestServer;
using ualib_test::WaitFor;

const std::string kLinkDownMessage = "connection lost; monitor dropped locally without server-side delete";

struct ItemCase {
  std::string address;
  ResultCode code;
  std::string message;
};

void ExpectItems(const UnsubscribeResult& result, const std::vector<ItemCase>& expected) {
  ASSERT_EQ(result.code, ResultCode::Ok) << result.message;
  ASSERT_EQ(result.items.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE("item " + std::to_string(i));
    EXPECT_EQ(result.items[i].address, expected[i].address);
    EXPECT_EQ(result.items[i].code, expected[i].code);
    EXPECT_EQ(result.items[i].message, expected[i].message);
  }
}

// The stack client gave up by itself: its connect status is a failure other than
// a closed connection, which it would retry.
bool FinallyDown(velk::quarlink::OpcuaConnection& conn) {
  std::lock_guard<velk::quarlink::TicketMutex> lock(conn.clientMutex);
  UA_StatusCode connectStatus = UA_STATUSCODE_GOOD;
  UA_Client_getState(conn.client, nullptr, nullptr, &connectStatus);
  return connectStatus != UA_STATUSCODE_GOOD && connectStatus != UA_STATUSCODE_BADCONNECTIONCLOSED;
}

class UnsubscribeTest : public ::testing::Test {
 protected:
  TestServer server;
  LogCapture log{10};
};

TEST_F(UnsubscribeTest, UnknownAndRepeatedAddressesAreOkAndTheSubscriptionStays) {
  NotificationRecorder recorder;  // outlives the session that delivers to it
  auto client = ConnectedClient(server.Endpoint());
  auto session = SessionOf(server.Endpoint());
  ServerProbe probe(server.Endpoint());
  const std::string counter = Node("Counter"), never = Node("Scalar.Int32");
  ASSERT_EQ(client->Subscribe({counter}, recorder.Handler(), {}).code, ResultCode::Ok);
  const uint32_t subscriptionId = StateOf(*session).subscriptionId;

  ExpectItems(client->Unsubscribe({never, counter, counter}),
              {{never, ResultCode::Ok, ""}, {counter, ResultCode::Ok, ""}, {counter, ResultCode::Ok, ""}});
  EXPECT_TRUE(log.Contains("Unsubscribe: 3 nodes"));
  EXPECT_FALSE(log.Contains("Unsubscribe '"));
  EXPECT_FALSE(log.Contains("link down"));
  const auto state = StateOf(*session);
  EXPECT_TRUE(state.items.empty());
  EXPECT_EQ(state.subscriptionId, subscriptionId);
  const auto onServer = probe.Subscription(subscriptionId);
  ASSERT_TRUE(onServer);
  EXPECT_EQ(onServer->monitoredItemCount, 0u);

  // The empty subscription is reused.
  ASSERT_EQ(client->Subscribe({counter}, recorder.Handler(), {}).code, ResultCode::Ok);
  EXPECT_EQ(StateOf(*session).subscriptionId, subscriptionId);
  EXPECT_EQ(log.Count("Subscribe: server-side subscription created"), 1u);
}

TEST_F(UnsubscribeTest, WithTheLinkDownItemsAreDroppedLocallyWithoutAStackCall) {
  std::mutex mutex;
  std::vector<ConnectionState> states;
  NotificationRecorder recorder;
  auto client = ConnectedClient(server.Endpoint(), {{"auto_reconnect", "false"}});
  auto session = SessionOf(server.Endpoint());
  client->SetConnectionStateHandler([&](const ConnectionStateChange& change) {
    std::lock_guard<std::mutex> lock(mutex);
    states.push_back(change.current);
  });
  const std::string monitored = Node("Counter"), other = Node("Scalar.Int32"), never = Node("Scalar.Double");
  ASSERT_EQ(client->Subscribe({monitored}, recorder.Handler(), {}).code, ResultCode::Ok);

  server.Stop();
  // The stack tries once more by itself; a refused connection is final for it, so
  // from then on the state stays Error.
  ASSERT_TRUE(WaitFor(
      [&] {
        // Not under `mutex`: the state handler takes it while the stack is locked.
        if (!FinallyDown(*session)) return false;
        std::lock_guard<std::mutex> lock(mutex);
        return !states.empty() && states.back() == ConnectionState::Error;
      },
      10s));
  const auto start = std::chrono::steady_clock::now();
  ExpectItems(client->Unsubscribe({other, monitored, never}), {{other, ResultCode::Ok, ""},
                                                               {monitored, ResultCode::NotConnected, kLinkDownMessage},
                                                               {never, ResultCode::Ok, ""}});
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  const auto debug = log.Texts(10);
  EXPECT_NE(std::find(debug.begin(), debug.end(),
                      "Unsubscribe: link down — dropped 3 monitor(s) locally, skipped server-side deletes"),
            debug.end());
  // A stack call would have failed and been logged with the server's status.
  EXPECT_FALSE(log.Contains("Unsubscribe '"));
  EXPECT_TRUE(StateOf(*session).items.empty());

  // UnsubscribeAll still asks the stack, ignores the failure and clears everything.
  ASSERT_EQ(client->Subscribe({}, {}, {}).code, ResultCode::Ok);
  EXPECT_EQ(client->UnsubscribeAll().code, ResultCode::Ok);
  EXPECT_EQ(StateOf(*session).subscriptionId, 0u);
}

TEST_F(UnsubscribeTest, OneClientUnsubscribingStopsAnothersNotifications) {
  NotificationRecorder stopped, witness;
  auto subscriber = ConnectedClient(server.Endpoint());
  auto other = ConnectedClient(server.Endpoint());
  auto session = SessionOf(server.Endpoint());
  const std::string counter = Node("Counter");
  ASSERT_EQ(subscriber->Subscribe({counter}, stopped.Handler(), {}).code, ResultCode::Ok);
  ASSERT_TRUE(WaitFor([&] { return stopped.Count() > 1; }, 10s));

  ExpectItems(other->Unsubscribe({counter}), {{counter, ResultCode::Ok, ""}});
  // What was in flight arrived before the delete was answered and is queued now.
  ASSERT_TRUE(WaitFor([&] { return QueueDepth(*session) == 0; }, 10s));
  const size_t total = stopped.Count();
  // A new item on the same node proves that Counter kept changing meanwhile.
  ASSERT_EQ(other->Subscribe({counter}, witness.Handler(), {}).code, ResultCode::Ok);
  ASSERT_TRUE(WaitFor([&] { return witness.Count() > 3; }, 10s));
  EXPECT_EQ(stopped.Count(), total);
}

TEST_F(UnsubscribeTest, UnsubscribeAllDropsTheSubscriptionAndTheNextSubscribeMakesANewOne) {
  NotificationRecorder recorder;
  auto client = ConnectedClient(server.Endpoint());
  auto session = SessionOf(server.Endpoint());
  ServerProbe probe(server.Endpoint());

  // Never subscribed: nothing to delete.
  EXPECT_EQ(client->UnsubscribeAll().code, ResultCode::Ok);
  EXPECT_TRUE(log.Contains("UnsubscribeAll: cleared 0 monitored items"));
  EXPECT_EQ(StateOf(*session).subscriptionId, 0u);
  EXPECT_TRUE(probe.Subscriptions().empty());

  ASSERT_EQ(client->Subscribe({Node("Counter"), Node("Scalar.Int32")}, recorder.Handler(), {}).code, ResultCode::Ok);
  const uint32_t first = StateOf(*session).subscriptionId;
  ASSERT_EQ(probe.Subscriptions().size(), 1u);
  const Result all = client->UnsubscribeAll();
  EXPECT_EQ(all.code, ResultCode::Ok);
  EXPECT_TRUE(all.message.empty());
  EXPECT_TRUE(log.Contains("UnsubscribeAll: cleared 2 monitored items"));
  const auto cleared = StateOf(*session);
  EXPECT_EQ(cleared.subscriptionId, 0u);
  EXPECT_TRUE(cleared.items.empty());
  EXPECT_TRUE(probe.Subscriptions().empty());

  ASSERT_EQ(client->Subscribe({Node("Counter")}, recorder.Handler(), {}).code, ResultCode::Ok);
  const uint32_t second = StateOf(*session).subscriptionId;
  EXPECT_NE(second, 0u);
  EXPECT_NE(second, first);
  EXPECT_EQ(log.Count("Subscribe: server-side subscription created"), 2u);
}

TEST_F(UnsubscribeTest, EveryOperationIsRejectedWithoutASession) {
  velk::quarlink::Client unconnected;
  velk::quarlink::Client failed;
  failed.Configure(ualib_test::Options("opc.tcp://127.0.0.1:" + std::to_string(ualib_test::FreeLoopbackPort())));
  EXPECT_NE(failed.Connect().code, ResultCode::Ok);
  for (velk::quarlink::Client* client : {&unconnected, &failed}) {
    log.Clear();
    const SubscribeResult subscribed = client->Subscribe({"a", "b"}, SubscriptionHandler(), {});
    EXPECT_EQ(subscribed.code, ResultCode::NotConnected);
    EXPECT_EQ(subscribed.message, "not connected");
    EXPECT_TRUE(subscribed.items.empty());
    const UnsubscribeResult unsubscribed = client->Unsubscribe({"a", "b", "c"});
    EXPECT_EQ(unsubscribed.code, ResultCode::NotConnected);
    EXPECT_EQ(unsubscribed.message, "not connected");
    EXPECT_TRUE(unsubscribed.items.empty());
    const Result all = client->UnsubscribeAll();
    EXPECT_EQ(all.code, ResultCode::NotConnected);
    EXPECT_EQ(all.message, "not connected");
    EXPECT_EQ(log.Texts(30), (std::vector<std::string>{"Subscribe rejected: not connected (2 nodes)",
                                                       "Unsubscribe rejected: not connected (3 nodes)",
                                                       "UnsubscribeAll rejected: not connected"}));
  }
}

}  // namespace
