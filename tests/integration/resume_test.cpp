// Resuming subscriptions: directly on a live session, and through the reconnect
// cycle after the server went away and came back on the same port.
#include <gtest/gtest.h>
#include <velk/quarlink/client.h>

#include <algorithm>
#include <string>
#include <vector>

#include "adapter_helpers.h"
#include "connection.h"
#include "log_capture.h"
#include "notification_recorder.h"
#include "subscription_probe.h"
#include "subscriptions.h"
#include "test_server.h"

namespace {

using namespace tessel::fnd::defs;
using namespace std::chrono_literals;
using ualib_test::ConnectedClient;
using ualib_test::CopyCounter;
using ualib_test::Counted;
using ualib_test::LogCapture;
using ualib_test::Node;
using ualib_test::NotificationRecorder;
using ualib_test::ServerOptions;
using ualib_test::SessionOf;
using ualib_test::StateOf;
using ualib_test::TestServer;
using ualib_test::WaitFor;

// The typical difference between consecutive Counter values from `from` on: Counter
// counts up every 10 ms, so this is about the sampling interval divided by 10 when
// the item's queue keeps every sample.
int32_t MedianStep(const std::vector<Notification>& notifications, size_t from) {
  std::vector<int32_t> steps;
  for (size_t i = from + 1; i < notifications.size(); ++i)
    steps.push_back(std::get<int32_t>(notifications[i].value.value) -
                    std::get<int32_t>(notifications[i - 1].value.value));
  if (steps.empty()) return -1;
  std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
  return steps[steps.size() / 2];
}

class ResumeTest : public ::testing::Test {
 protected:
  TestServer server;
  LogCapture log{10};
};

TEST_F(ResumeTest, WithNoItemsTheSubscriptionIsForgotten) {
  NotificationRecorder recorder;
  auto client = ConnectedClient(server.Endpoint());
  auto session = SessionOf(server.Endpoint());
  ASSERT_EQ(client->Subscribe({Node("Counter")}, recorder.Handler(), {}).code, ResultCode::Ok);
  ASSERT_EQ(client->Unsubscribe({Node("Counter")}).code, ResultCode::Ok);
  ASSERT_NE(StateOf(*session).subscriptionId, 0u);  // Unsubscribe keeps it
  const size_t linesBefore = log.Lines().size();
  {
    std::lock_guard<velk::quarlink::TicketMutex> lock(session->clientMutex);
    velk::quarlink::internal::ResumeSubscriptions(*session);
  }
  EXPECT_EQ(StateOf(*session).subscriptionId, 0u);
  EXPECT_EQ(log.Lines().size(), linesBefore);
  ASSERT_EQ(client->Subscribe({}, {}, {}).code, ResultCode::Ok);
  EXPECT_EQ(log.Count("Subscribe: server-side subscription created"), 2u);
}

TEST_F(ResumeTest, AfterARestartItemsComeBackAsSubscribedAndTheOldContextsGo) {
  const int base = CopyCounter::Live();
  NotificationRecorder counter;
  auto client = ConnectedClient(server.Endpoint(), {{"reconnect_interval_ms", "200"}});
  auto session = SessionOf(server.Endpoint());
  const SubscriptionHandler handler = Counted(counter.Handler());
  const int held = base + 1;
  SubscribeOpts opts;
  opts.queue_size = 100;
  opts.discard_oldest = false;
  opts.properties.Set("sampling_interval_ms", "50");
  opts.properties.Set("publishing_interval_ms", "1000");
  const std::string gone = Node("Scalar.Int32");
  ASSERT_EQ(client->Subscribe({Node("Counter")}, handler, opts).code, ResultCode::Ok);
  ASSERT_EQ(client->Subscribe({gone}, Counted(nullptr), opts).code, ResultCode::Ok);
  ASSERT_TRUE(WaitFor([&] { return counter.Count() >= 8; }, 20s));
  EXPECT_LE(MedianStep(counter.All(), 1), 12);
  const auto before = StateOf(*session);

  server.Stop();
  ASSERT_TRUE(log.WaitFor("Reconnect: starting", 10s));
  server.Start(ServerOptions{.stateDelayMs = 0, .omit = {"Scalar.Int32"}, .extraArgs = {}});
  ASSERT_TRUE(log.WaitFor("Reconnect: successful after", 20s));
  const size_t resumedAt = counter.Count();

  EXPECT_TRUE(log.Contains("Reconnect: failed to re-create monitor for '" + gone + "'"));
  EXPECT_EQ(log.Count("Reconnect: re-subscribed '" + Node("Counter") + "' (monitor_id="), 1u);
  const auto after = StateOf(*session);
  EXPECT_NE(after.subscriptionId, 0u);
  EXPECT_EQ(before.items.size(), 2u);
  ASSERT_EQ(after.items.size(), 2u);  // the missing node is kept for the next reconnect
  EXPECT_NE(after.items.at(Node("Counter")), 0u);
  EXPECT_EQ(after.items.at(gone), 0u);
  EXPECT_EQ(client->Unsubscribe({gone}).items.at(0).code, ResultCode::Ok);

  // The old contexts went with the old OPC UA session, the failed one at once: the
  // map entry and the new context of Counter are left (plus `handler` itself).
  EXPECT_TRUE(WaitFor([&] { return CopyCounter::Live() == held + 2; }, 10s));
  // Back with the caller's 50 ms sampling, queue and 1 s publishing interval.
  ASSERT_TRUE(WaitFor([&] { return counter.Count() >= resumedAt + 6; }, 20s));
  EXPECT_LE(MedianStep(counter.All(), resumedAt + 1), 12);
  const auto subscription = ualib_test::ServerProbe(server.Endpoint()).Subscription(after.subscriptionId);
  ASSERT_TRUE(subscription);
  EXPECT_EQ(subscription->publishingInterval, 1000.0);
}

}  // namespace
