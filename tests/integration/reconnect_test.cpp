// The reconnect cycle against a test server that really goes away and comes back:
// limits, readiness, resumed subscriptions and the handlers of every Client. Each
// test stops its server, so each starts its own.
#include <gtest/gtest.h>
#include <velk/quarlink/client.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "adapter_helpers.h"
#include "log_capture.h"
#include "notification_recorder.h"
#include "state_recorder.h"
#include "subscription_probe.h"
#include "test_server.h"

namespace {

using namespace tessel::fnd::defs;
using namespace std::chrono_literals;
using ualib_test::ConnectedClient;
using ualib_test::Node;
using ualib_test::NotificationRecorder;
using ualib_test::ServerOptions;
using ualib_test::StateOf;
using ualib_test::StateRecorder;
using ualib_test::WaitFor;

class ReconnectTest : public ::testing::Test {
 protected:
  ualib_test::TestServer server;
  const std::string endpoint = server.Endpoint();
  ualib_test::LogCapture log{10};
};

TEST_F(ReconnectTest, RestartResumesEveryMonitoredItemForEveryClient) {
  auto subscriber = ConnectedClient(endpoint, {{"reconnect_interval_ms", "300"}});
  ConnectedClient(endpoint)->Disconnect();  // a Client that leaves does not close the others' session
  auto other = ConnectedClient(endpoint);
  StateRecorder subscriberStates, otherStates;
  subscriber->SetConnectionStateHandler(subscriberStates.Handler());
  other->SetConnectionStateHandler(otherStates.Handler());
  NotificationRecorder counter, scalar;
  ASSERT_EQ(subscriber->Subscribe({Node("Counter")}, counter.Handler(), {}).code, ResultCode::Ok);
  ASSERT_EQ(other->Subscribe({Node("Scalar.Int32")}, scalar.Handler(), {}).code, ResultCode::Ok);
  // The restarted server numbers from 1 again: a second subscription and replaced
  // items draw new ids, so that "new" can be told from "old".
  ASSERT_EQ(subscriber->UnsubscribeAll().code, ResultCode::Ok);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(subscriber->Subscribe({Node("Counter")}, counter.Handler(), {}).code, ResultCode::Ok);
    ASSERT_EQ(other->Subscribe({Node("Scalar.Int32")}, scalar.Handler(), {}).code, ResultCode::Ok);
  }
  ASSERT_TRUE(WaitFor([&] { return counter.Count() > 0 && scalar.Count() > 0; }, 5s));
  auto session = ualib_test::SessionOf(endpoint);
  const auto before = StateOf(*session);

  std::atomic<bool> alwaysConnected{true}, watching{true};
  std::thread watcher([&] {
    for (; watching; std::this_thread::sleep_for(10ms))
      if (!subscriber->IsConnected()) alwaysConnected = false;
  });
  server.Stop();
  ASSERT_TRUE(log.WaitFor(
      "Reconnect: starting (endpoint=" + endpoint + " interval=300ms max_attempts=0 max_duration=0ms)", 10s));
  // At least one attempt fails while the server is away.
  ASSERT_TRUE(log.WaitFor("Reconnect attempt 1 failed", 10s));
  server.Start();
  EXPECT_TRUE(log.WaitFor("Reconnect: successful after", 15s));
  const size_t counterBefore = counter.Count();
  EXPECT_TRUE(WaitFor([&] { return counter.Count() > counterBefore + 1; }, 10s));
  watching = false;
  watcher.join();
  EXPECT_TRUE(alwaysConnected);  // the stack client stays throughout
  EXPECT_TRUE(ualib_test::ReadsOk(*other, Node("Scalar.Int32")));

  const auto after = StateOf(*session);
  EXPECT_NE(after.subscriptionId, before.subscriptionId);
  ASSERT_EQ(after.items.size(), 2u);
  for (const auto& [address, id] : after.items) EXPECT_NE(id, before.items.at(address)) << address;
  for (auto* states : {&subscriberStates, &otherStates}) {
    const auto seen = states->Currents();
    auto error = std::find(seen.begin(), seen.end(), ConnectionState::Error);
    ASSERT_NE(error, seen.end());
    auto connecting = std::find(error, seen.end(), ConnectionState::Connecting);
    ASSERT_NE(connecting, seen.end());
    EXPECT_NE(std::find(connecting, seen.end(), ConnectionState::Connected), seen.end());
  }
}

TEST_F(ReconnectTest, GivesUpAtTheAttemptOrDurationLimitAndStartsNoFurtherCycle) {
  const struct {
    ualib_test::Properties properties;
    std::string givingUp;
  } cases[] = {
      {{{"reconnect_interval_ms", "100"}, {"reconnect_max_attempts", "3"}}, "Reconnect: giving up after 3 attempts"},
      {{{"reconnect_interval_ms", "300"}, {"reconnect_max_duration_ms", "1000"}}, "ms (max_duration_ms reached)"},
  };
  for (const auto& c : cases) {
    log.Clear();
    auto client = ConnectedClient(endpoint, c.properties);
    server.Stop();
    ASSERT_TRUE(log.WaitFor(c.givingUp, 20s)) << c.givingUp;
    const size_t attempts = log.Count("Reconnect attempt ");
    EXPECT_GE(attempts, 1u);
    for (const std::string& text : log.Texts(40)) {
      if (text.find("max_duration_ms") == std::string::npos) continue;
      EXPECT_GT(std::stol(text.substr(std::string("Reconnect: giving up after ").size())), 1000);
    }
    if (c.givingUp.find("3 attempts") != std::string::npos) {
      EXPECT_EQ(attempts, 3u);
    }
    server.Start();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(log.Count("Reconnect: starting"), 1u);
    EXPECT_TRUE(client->IsConnected());
    // A Connect to the session that gave up connects it again, for all its Clients.
    auto late = ConnectedClient(endpoint, c.properties);
    EXPECT_TRUE(ualib_test::ReadsOk(*late, Node("Scalar.Int32")));
    EXPECT_TRUE(ualib_test::ReadsOk(*client, Node("Scalar.Int32")));
  }
}

TEST_F(ReconnectTest, ResumesOnlyOnceTheServerReportsRunningUnlessToldOtherwise) {
  const struct {
    ualib_test::Properties properties;
    bool deferred;
  } cases[] = {
      {{{"reconnect_interval_ms", "200"}, {"server_status_node", Node("ServerState")}}, true},
      {{{"reconnect_interval_ms", "200"}, {"server_status_node", Node("ServerState")}, {"wait_for_server_ready", "0"}},
       false},
  };
  for (const auto& c : cases) {
    log.Clear();
    auto client = ConnectedClient(endpoint, c.properties);
    NotificationRecorder values;
    ASSERT_EQ(client->Subscribe({Node("Counter")}, values.Handler(), {}).code, ResultCode::Ok);
    server.Stop();
    ASSERT_TRUE(log.WaitFor("Reconnect: starting", 10s));
    server.Start(ServerOptions{.stateDelayMs = 1500, .omit = {}, .extraArgs = {}});
    ASSERT_TRUE(log.WaitFor("Reconnect: successful after", 20s));
    EXPECT_EQ(log.Count("Reconnect: server not yet RUNNING, deferring resubscription") >= 2, c.deferred);
    const size_t before = values.Count();
    EXPECT_TRUE(WaitFor([&] { return values.Count() > before; }, 5s));
  }
}

// The typical difference between consecutive Counter values from `from` on: Counter
// counts up every 10 ms, so about the sampling interval divided by 10.
int32_t MedianStep(const std::vector<Notification>& notifications, size_t from) {
  std::vector<int32_t> steps;
  for (size_t i = from + 1; i < notifications.size(); ++i)
    steps.push_back(std::get<int32_t>(notifications[i].value.value) -
                    std::get<int32_t>(notifications[i - 1].value.value));
  if (steps.empty()) return -1;
  std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
  return steps[steps.size() / 2];
}

// Items come back, gathered into one request, with their handlers and the parameters
// they were subscribed with; one whose node is gone after the restart is kept for the
// next reconnect, and the old stack contexts go with the old session.
TEST_F(ReconnectTest, ResumedItemsKeepHandlersAndParametersAndAGoneNodeIsKept) {
  const int base = ualib_test::CopyCounter::Live();
  NotificationRecorder counter;
  auto client = ConnectedClient(endpoint, {{"reconnect_interval_ms", "200"}, {"max_items_per_request", "0"}});
  const SubscriptionHandler handler = ualib_test::Counted(counter.Handler());
  const std::string gone = Node("Scalar.Double");
  SubscribeOpts opts;
  opts.queue_size = 100;
  opts.properties.Set("sampling_interval_ms", "50");
  opts.properties.Set("publishing_interval_ms", "1000");
  ASSERT_EQ(client->Subscribe({Node("Counter"), gone}, handler, opts).code, ResultCode::Ok);
  ASSERT_TRUE(WaitFor([&] { return counter.CountFor(Node("Counter")) > 0; }, 10s));

  server.Stop();
  ASSERT_TRUE(log.WaitFor("Reconnect: starting", 10s));
  server.Start(ServerOptions{.stateDelayMs = 0, .omit = {"Scalar.Double"}, .extraArgs = {}});
  ASSERT_TRUE(log.WaitFor("Reconnect: successful after", 20s));
  const size_t resumedAt = counter.Count();
  EXPECT_TRUE(log.Contains("Reconnect: failed to re-create monitor for '" + gone + "'"));
  EXPECT_EQ(log.Count("Reconnect: re-subscribed '" + Node("Counter") + "' (monitor_id="), 1u);
  const auto state = StateOf(*ualib_test::SessionOf(endpoint));
  EXPECT_EQ(state.items.at(gone), 0u);  // kept, with its handler
  // Back with the caller's 50 ms sampling and 1 s publishing interval.
  ASSERT_TRUE(WaitFor([&] { return counter.Count() >= resumedAt + 6; }, 20s));
  EXPECT_LE(MedianStep(counter.All(), resumedAt + 1), 12);
  const auto subscription = ualib_test::ServerProbe(endpoint).Subscription(state.subscriptionId);
  ASSERT_TRUE(subscription);
  EXPECT_EQ(subscription->publishingInterval, 1000.0);
  // `handler`, Counter's new context, and the kept entry of the gone node: the map
  // owns the contexts, so nothing holds a second copy.
  EXPECT_TRUE(WaitFor([&] { return ualib_test::CopyCounter::Live() == base + 3; }, 10s));
  const UnsubscribeResult result = client->Unsubscribe({gone});
  ASSERT_EQ(result.items.size(), 1u);
  EXPECT_EQ(result.items[0].code, ResultCode::Ok);
  EXPECT_EQ(ualib_test::CopyCounter::Live(), base + 2);
}

// After the restart the server's only subscription is taken: the resume is refused,
// tried again, and succeeds once the subscription is free.
TEST_F(ReconnectTest, AFailedResumeIsRetriedUntilItSucceeds) {
  const ServerOptions one{.stateDelayMs = 0, .omit = {}, .extraArgs = {"--max-subscriptions", "1"}};
  server.Stop();
  server.Start(one);
  NotificationRecorder counter;
  auto client = ConnectedClient(endpoint, {{"reconnect_interval_ms", "1000"}});
  ASSERT_EQ(client->Subscribe({Node("Counter")}, counter.Handler(), {}).code, ResultCode::Ok);
  server.Stop();
  server.Start(one);
  auto other = ConnectedClient(endpoint, {{"username", "operator"}, {"password", "secret"}});
  ASSERT_EQ(other->Subscribe({Node("Scalar.Int32")}, {}, {}).code, ResultCode::Ok);
  ASSERT_TRUE(log.WaitFor("could not be re-created (BadTooManySubscriptions)", 20s));
  const size_t before = counter.Count();
  ASSERT_EQ(other->UnsubscribeAll().code, ResultCode::Ok);
  EXPECT_TRUE(WaitFor([&] { return counter.Count() > before + 2; }, 20s));
}

TEST_F(ReconnectTest, DisconnectDuringALongPauseReturns) {
  auto client = ConnectedClient(endpoint, {{"reconnect_interval_ms", "600000"}});
  server.Stop();
  ASSERT_TRUE(log.WaitFor("Reconnect: starting", 10s));
  client->Disconnect();  // a pause that is not woken would outlast the test's timeout
  EXPECT_FALSE(ualib_test::SessionOf(endpoint));
}

TEST_F(ReconnectTest, ALostSessionIsNotReconnectedWhenDisabledAndItemsAreDroppedLocally) {
  auto client = ConnectedClient(endpoint, {{"auto_reconnect", "no"}});
  StateRecorder states;
  client->SetConnectionStateHandler(states.Handler());
  NotificationRecorder recorder;
  ASSERT_EQ(client->Subscribe({Node("Counter")}, recorder.Handler(), {}).code, ResultCode::Ok);
  server.Stop();
  ASSERT_TRUE(WaitFor([&] { return states.Saw(ConnectionState::Error); }, 10s));
  EXPECT_FALSE(states.Saw(ConnectionState::Disconnected));  // a loss is never reported as an orderly close
  // With the link gone, a server-side delete could only fail after a timeout.
  const UnsubscribeResult result = client->Unsubscribe({Node("Scalar.Int32"), Node("Counter")});
  ASSERT_EQ(result.items.size(), 2u);
  EXPECT_EQ(result.items[0].code, ResultCode::Ok);
  EXPECT_EQ(result.items[1].code, ResultCode::NotConnected);
  EXPECT_EQ(result.items[1].message, "connection lost; monitor dropped locally without server-side delete");
  EXPECT_FALSE(log.Contains("Unsubscribe '"));
  EXPECT_TRUE(StateOf(*ualib_test::SessionOf(endpoint)).items.empty());

  server.Start();
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(log.Contains("Reconnect: starting"));
  EXPECT_TRUE(client->IsConnected());                     // the stack client still exists
  EXPECT_FALSE(states.Saw(ConnectionState::Connecting));  // the stack does not try on its own either
}

}  // namespace
