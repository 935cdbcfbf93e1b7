// Subscribe and the delivery of notifications, against the test server.
#include <gtest/gtest.h>
#include <velk/quarlink/client.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <numeric>
#include <stdexcept>
#include <string>
#include <thread>
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
using ualib_test::Latch;
using ualib_test::LogCapture;
using ualib_test::Node;
using ualib_test::NotificationRecorder;
using ualib_test::OpenAtExit;
using ualib_test::QueueDepth;
using ualib_test::ServerProbe;
using ualib_test::SessionOf;
using ualib_test::StateOf;
using ualib_test::TestServer;
using ualib_test::WaitFor;

constexpr size_t kCap = velk::quarlink::kDispatchQueueCap;

SubscribeOpts Opts(std::initializer_list<std::pair<std::string, std::string>> properties, uint32_t queueSize = 0) {
  SubscribeOpts opts;
  opts.queue_size = queueSize;
  for (const auto& [key, value] : properties) opts.properties.Set(key, value);
  return opts;
}

int32_t Int32Of(const Notification& n) { return std::get<int32_t>(n.value.value); }

std::vector<int32_t> ValuesOf(const NotificationRecorder& recorder, const std::string& address) {
  std::vector<int32_t> out;
  for (const Notification& n : recorder.All())
    if (n.address == address && std::holds_alternative<int32_t>(n.value.value)) out.push_back(Int32Of(n));
  return out;
}

int64_t NowNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Items the server counts in the subscription; -1 when it has no such subscription.
int64_t ItemsOnServer(ServerProbe& probe, uint32_t subscriptionId) {
  const auto subscription = probe.Subscription(subscriptionId);
  return subscription ? subscription->monitoredItemCount : -1;
}

void ExpectAllOk(const SubscribeResult& result, const std::vector<std::string>& addresses) {
  ASSERT_EQ(result.code, ResultCode::Ok) << result.message;
  ASSERT_EQ(result.items.size(), addresses.size());
  for (size_t i = 0; i < addresses.size(); ++i) {
    EXPECT_EQ(result.items[i].address, addresses[i]);
    EXPECT_EQ(result.items[i].code, ResultCode::Ok) << addresses[i] << ": " << result.items[i].message;
  }
}

class SubscribeTest : public ::testing::Test {
 protected:
  TestServer server;
  LogCapture log{10};
};

TEST_F(SubscribeTest, NotificationsCarryAddressValueQualityAndSourceTime) {
  NotificationRecorder recorder;  // outlives the session that delivers to it
  auto client = ConnectedClient(server.Endpoint());
  const std::string counter = Node("Counter"), fault = Node("Fault");
  ExpectAllOk(client->Subscribe({counter, fault}, recorder.Handler(), {}), {counter, fault});
  ASSERT_TRUE(WaitFor([&] { return recorder.CountFor(counter) >= 3 && recorder.CountFor(fault) >= 1; }, 10s));

  int32_t previous = -1;
  for (const Notification& n : recorder.All()) {
    if (n.address == fault) {
      EXPECT_EQ(n.value.code, ResultCode::InternalError);
      EXPECT_EQ(n.value.message, "BadInternalError");
      EXPECT_EQ(n.value.value.index(), 0u);
      continue;
    }
    ASSERT_EQ(n.address, counter);
    EXPECT_EQ(n.value.code, ResultCode::Ok);
    EXPECT_TRUE(n.value.message.empty());
    ASSERT_TRUE(std::holds_alternative<int32_t>(n.value.value));
    EXPECT_GT(Int32Of(n), previous);
    previous = Int32Of(n);
    ASSERT_TRUE(n.value.timestamp.has_value());
    EXPECT_EQ(*n.value.timestamp % 1000, 0);
    EXPECT_LT(std::abs(*n.value.timestamp - NowNanos()), int64_t{60'000'000'000});
  }
  EXPECT_TRUE(log.Contains("Subscribe '" + counter + "' OK (monitor_id="));
}

TEST_F(SubscribeTest, EmptyListCreatesTheSubscriptionAndStartsBothThreadsOnce) {
  NotificationRecorder recorder;
  auto client = ConnectedClient(server.Endpoint());
  auto session = SessionOf(server.Endpoint());
  ASSERT_TRUE(session);
  const SubscribeResult result = client->Subscribe({}, recorder.Handler(), {});
  EXPECT_EQ(result.code, ResultCode::Ok);
  EXPECT_TRUE(result.items.empty());
  EXPECT_TRUE(log.Contains("Subscribe: 0 nodes queue_size=0 discard_oldest=false"));
  EXPECT_EQ(log.Count("Subscribe: server-side subscription created (id="), 1u);
  EXPECT_EQ(log.Count("Subscribe: starting notification dispatch worker"), 1u);
  EXPECT_TRUE(session->iteratorRunning);
  EXPECT_TRUE(session->dispatchRunning);
  const uint32_t id = StateOf(*session).subscriptionId;
  ASSERT_NE(id, 0u);
  ServerProbe probe(server.Endpoint());
  EXPECT_EQ(ItemsOnServer(probe, id), 0);

  EXPECT_EQ(client->Subscribe({}, {}, Opts({{"publishing_interval_ms", "100"}}, 5)).code, ResultCode::Ok);
  EXPECT_TRUE(log.Contains("Subscribe: 0 nodes queue_size=5 discard_oldest=false"));
  EXPECT_EQ(log.Count("Subscribe: server-side subscription created (id="), 1u);
  EXPECT_EQ(log.Count("Subscribe: starting notification dispatch worker"), 1u);
  EXPECT_EQ(StateOf(*session).subscriptionId, id);
}

TEST_F(SubscribeTest, AFullQueueDropsTheOldestAndReportsOnceWithTheCap) {
  constexpr UA_UInt32 kBurst = 6000;
  Latch latch;
  NotificationRecorder delivered;
  auto client = ConnectedClient(server.Endpoint());
  OpenAtExit opener(latch);
  auto session = SessionOf(server.Endpoint());
  ASSERT_TRUE(session);
  ServerProbe probe(server.Endpoint());
  auto record = delivered.Handler();
  auto handler = [&](const Notification& n) {
    record(n);
    latch.Wait();
  };
  const std::string burst = Node("BurstValue");
  // Sampling on every write and a server queue that holds the whole burst: every
  // write becomes one notification.
  ExpectAllOk(client->Subscribe({burst}, handler, Opts({{"sampling_interval_ms", "0"}}, kBurst + 100)), {burst});
  ASSERT_TRUE(WaitFor([&] { return latch.Waiting() == 1; }, 10s));
  const int32_t first = Int32Of(delivered.All().front());

  ASSERT_EQ(probe.Burst(kBurst), UA_STATUSCODE_GOOD);
  const int32_t last = first + static_cast<int32_t>(kBurst);
  size_t deepest = 0;
  ASSERT_TRUE(WaitFor(
      [&] {
        std::lock_guard<std::mutex> lock(session->dispatchMutex);
        deepest = std::max(deepest, session->dispatchQueue.size());
        return !session->dispatchQueue.empty() && Int32Of(session->dispatchQueue.back().first) == last;
      },
      30s, 1ms));
  EXPECT_LE(deepest, kCap);
  EXPECT_EQ(QueueDepth(*session), kCap);
  EXPECT_EQ(session->droppedNotifications.load(), kBurst - kCap);

  latch.Open();
  ASSERT_TRUE(WaitFor([&] { return delivered.Count() == 1 + kCap; }, 30s));
  std::vector<int32_t> expected(kCap);
  std::iota(expected.begin(), expected.end(), last - static_cast<int32_t>(kCap) + 1);
  std::vector<int32_t> values = ValuesOf(delivered, burst);
  values.erase(values.begin());
  EXPECT_EQ(values, expected);
  const std::string warning = "Subscription dispatch dropped " + std::to_string(kBurst - kCap) +
                              " oldest notification(s) due to queue overflow (cap=4096)";
  EXPECT_EQ(log.Count("Subscription dispatch dropped"), 1u);
  const auto warnings = log.Texts(30);
  EXPECT_NE(std::find(warnings.begin(), warnings.end(), warning), warnings.end());
}

TEST_F(SubscribeTest, ThrowingHandlersAreLoggedAndDeliveryGoesOn) {
  std::atomic<int> calls{0};
  auto client = ConnectedClient(server.Endpoint());
  auto handler = [&](const Notification&) {
    const int call = ++calls;
    if (call == 1) throw std::runtime_error("first call fails");
    if (call == 2) throw 42;
  };
  ExpectAllOk(client->Subscribe({Node("Counter")}, handler, {}), {Node("Counter")});
  ASSERT_TRUE(WaitFor([&] { return calls >= 4; }, 10s));
  const auto warnings = log.Texts(30);
  EXPECT_NE(std::find(warnings.begin(), warnings.end(), "SubscriptionHandler threw: first call fails"), warnings.end());
  EXPECT_NE(std::find(warnings.begin(), warnings.end(), "SubscriptionHandler threw non-std exception"), warnings.end());
  for (const auto& line : log.Lines())
    if (line.Text().rfind("SubscriptionHandler threw", 0) == 0) {
      EXPECT_EQ(line.Function(), "operator()");
    }
}

TEST_F(SubscribeTest, AnEmptyHandlerCreatesItemsWhoseNotificationsAreDiscarded) {
  Latch latch;
  NotificationRecorder recorder;
  auto client = ConnectedClient(server.Endpoint());
  OpenAtExit opener(latch);
  auto session = SessionOf(server.Endpoint());
  ServerProbe probe(server.Endpoint());
  auto record = recorder.Handler();
  const std::string burst = Node("BurstValue"), counter = Node("Counter");
  ExpectAllOk(client->Subscribe(
                  {burst},
                  [&](const Notification& n) {
                    record(n);
                    latch.Wait();
                  },
                  Opts({{"sampling_interval_ms", "0"}}, 100)),
              {burst});
  ASSERT_TRUE(WaitFor([&] { return latch.Waiting() == 1; }, 10s));

  ExpectAllOk(client->Subscribe({counter}, SubscriptionHandler(), {}), {counter});
  EXPECT_NE(StateOf(*session).items.at(counter), 0u);
  // The burst is published after Counter's first values: once it is queued, they
  // were processed too.
  ASSERT_EQ(probe.Burst(3), UA_STATUSCODE_GOOD);
  ASSERT_TRUE(WaitFor([&] { return QueueDepth(*session) == 3; }, 10s));
  {
    std::lock_guard<std::mutex> lock(session->dispatchMutex);
    for (const auto& entry : session->dispatchQueue) EXPECT_EQ(entry.first.address, burst);
  }
  latch.Open();
  ASSERT_TRUE(WaitFor([&] { return recorder.Count() == 4; }, 10s));
  EXPECT_EQ(recorder.CountFor(counter), 0u);
}

TEST_F(SubscribeTest, SubscribingAnAddressAgainReplacesItsItem) {
  NotificationRecorder old, replacement;
  auto first = ConnectedClient(server.Endpoint());
  auto second = ConnectedClient(server.Endpoint());
  auto session = SessionOf(server.Endpoint());
  ServerProbe probe(server.Endpoint());
  const std::string counter = Node("Counter"), scalar = Node("Scalar.Int32");
  ExpectAllOk(first->Subscribe({counter}, old.Handler(), {}), {counter});
  ASSERT_TRUE(WaitFor([&] { return old.Count() > 0; }, 10s));
  const auto before = StateOf(*session);

  // Another Client of the same session takes the address over.
  ExpectAllOk(second->Subscribe({counter}, replacement.Handler(), {}), {counter});
  const auto after = StateOf(*session);
  EXPECT_NE(after.items.at(counter), before.items.at(counter));
  EXPECT_EQ(after.subscriptionId, before.subscriptionId);
  EXPECT_EQ(ItemsOnServer(probe, after.subscriptionId), 1);
  // What the old item delivered was sent before it was deleted, so it is all
  // queued ahead of the replacement's first notification.
  ASSERT_TRUE(WaitFor([&] { return replacement.Count() > 0; }, 10s));
  const size_t oldTotal = old.Count();
  ASSERT_TRUE(WaitFor([&] { return replacement.Count() > 3; }, 10s));
  EXPECT_EQ(old.Count(), oldTotal);
  const auto oldValues = ValuesOf(old, counter), newValues = ValuesOf(replacement, counter);
  EXPECT_LE(*std::max_element(oldValues.begin(), oldValues.end()), newValues.front());

  // Twice in one call: both items succeed and the second one stays.
  ExpectAllOk(first->Subscribe({scalar, scalar}, old.Handler(), {}), {scalar, scalar});
  EXPECT_EQ(StateOf(*session).items.size(), 2u);
  EXPECT_EQ(ItemsOnServer(probe, after.subscriptionId), 2);
  EXPECT_EQ(log.Count("Subscribe '" + scalar + "' OK (monitor_id="), 2u);
}

TEST_F(SubscribeTest, PublishingIntervalAppliesOnlyWhenTheSubscriptionIsCreated) {
  auto client = ConnectedClient(server.Endpoint());
  auto session = SessionOf(server.Endpoint());
  ServerProbe probe(server.Endpoint());
  struct Case {
    std::string text;
    double interval;
  };
  // The server's lower limit is 10 ms, so every interval here is kept as asked.
  const std::vector<Case> cases = {{"100", 100.0},   {" 75.5ms", 75.5}, {"40e0", 40.0},  {"abc", 250.0}, {"", 250.0},
                                   {"1e999", 250.0}, {"nan", 250.0},    {"-inf", 250.0}, {"0x20", 32.0}};
  for (const Case& c : cases) {
    SCOPED_TRACE("publishing_interval_ms=\"" + c.text + "\"");
    ASSERT_EQ(client->Subscribe({}, {}, Opts({{"publishing_interval_ms", c.text}})).code, ResultCode::Ok);
    const uint32_t id = StateOf(*session).subscriptionId;
    ASSERT_TRUE(probe.Subscription(id));
    EXPECT_DOUBLE_EQ(probe.Subscription(id)->publishingInterval, c.interval);
    // An existing subscription keeps its interval.
    ASSERT_EQ(client->Subscribe({}, {}, Opts({{"publishing_interval_ms", "500"}})).code, ResultCode::Ok);
    EXPECT_EQ(StateOf(*session).subscriptionId, id);
    EXPECT_DOUBLE_EQ(probe.Subscription(id)->publishingInterval, c.interval);
    ASSERT_EQ(client->UnsubscribeAll().code, ResultCode::Ok);
  }
}

// The sampling interval is seen in the values: Counter counts up every 10 ms, so
// with a queue that keeps every sample, consecutive values differ by about the
// sampling interval divided by 10.
TEST_F(SubscribeTest, SamplingIntervalIsReadFromTheLeadingNumber) {
  struct Case {
    std::string text;
    bool fast;  // 50 ms rather than the default 250 ms
  };
  const std::vector<Case> cases = {{"50ms", true}, {" 50", true}, {"fifty", false}, {"", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE("sampling_interval_ms=\"" + c.text + "\"");
    NotificationRecorder recorder;
    auto client = ConnectedClient(server.Endpoint());
    const std::string counter = Node("Counter");
    ExpectAllOk(client->Subscribe({counter}, recorder.Handler(), Opts({{"sampling_interval_ms", c.text}}, 100)),
                {counter});
    ASSERT_TRUE(WaitFor([&] { return recorder.Count() >= 9; }, 20s));
    client.reset();
    std::vector<int32_t> values = ValuesOf(recorder, counter);
    std::vector<int32_t> steps;
    for (size_t i = 2; i < values.size(); ++i) steps.push_back(values[i] - values[i - 1]);  // [0]: initial value
    std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
    const int32_t median = steps[steps.size() / 2];
    if (c.fast) {
      EXPECT_LE(median, 12);
    } else {
      EXPECT_GE(median, 15);
    }
  }
}

TEST_F(SubscribeTest, HostileInputNeitherCrashesNorHangsNorGrowsWithoutBound) {
  NotificationRecorder recorder;
  Latch latch;
  auto client = ConnectedClient(server.Endpoint());
  OpenAtExit opener(latch);
  auto session = SessionOf(server.Endpoint());

  // Malformed addresses fail one by one; the rest of the call goes on.
  const std::vector<std::string> malformed = {"", "ns=1;", "garbage", "i=abc", "ns=99999999;i=1", "ns=1;x=2", "b=!!"};
  std::vector<std::string> batch = malformed;
  batch.push_back(Node("Counter"));
  batch.push_back(Node("NoSuchNode"));
  const SubscribeResult result = client->Subscribe(batch, recorder.Handler(), {});
  ASSERT_EQ(result.code, ResultCode::Ok);
  ASSERT_EQ(result.items.size(), batch.size());
  for (size_t i = 0; i < malformed.size(); ++i) {
    EXPECT_EQ(result.items[i].code, ResultCode::InvalidArgument) << malformed[i];
    EXPECT_EQ(result.items[i].message, "could not parse NodeId");
    EXPECT_TRUE(log.Contains("Subscribe: could not parse NodeId '" + malformed[i] + "'"));
  }
  EXPECT_EQ(result.items[malformed.size()].code, ResultCode::Ok);
  EXPECT_EQ(result.items.back().code, ResultCode::NotFound);
  EXPECT_EQ(result.items.back().message, "BadNodeIdUnknown");
  EXPECT_TRUE(log.Contains("Subscribe '" + Node("NoSuchNode") + "' failed to create monitored item (subscription_id="));
  EXPECT_EQ(StateOf(*session).items.count(Node("NoSuchNode")), 0u);

  // 10,000 addresses in one call: mostly malformed, a few hundred real items with
  // duplicates among them.
  std::vector<std::string> many;
  for (int i = 0; i < 10'000; ++i) {
    if (i % 40 == 0) {
      many.push_back(Node("Tree.F" + std::to_string(i / 40 % 10) + ".N" + std::to_string(i / 400 % 15) + ".V"));
    } else {
      many.push_back("not a node id " + std::to_string(i));
    }
  }
  const auto start = std::chrono::steady_clock::now();
  const SubscribeResult big = client->Subscribe(many, recorder.Handler(), Opts({{"sampling_interval_ms", "x"}}));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 120s);
  ASSERT_EQ(big.items.size(), many.size());
  EXPECT_EQ(std::count_if(big.items.begin(), big.items.end(),
                          [](const SubscribeItemResult& item) { return item.code == ResultCode::Ok; }),
            250);
  EXPECT_EQ(StateOf(*session).items.size(), 1u + 150u);  // Counter and the distinct tree nodes

  // A handler that blocks for seconds stalls only the delivery: requests go on
  // and the queue stays within its cap.
  ExpectAllOk(
      client->Subscribe(
          {Node("Counter")}, [&](const Notification&) { latch.Wait(); }, Opts({{"sampling_interval_ms", "0"}}, 1000)),
      {Node("Counter")});
  ASSERT_TRUE(WaitFor([&] { return latch.Waiting() == 1; }, 10s));
  const auto requestStart = std::chrono::steady_clock::now();
  EXPECT_EQ(client->Unsubscribe({Node("Tree.F0.N0.V")}).code, ResultCode::Ok);
  ExpectAllOk(client->Subscribe({Node("Tree.F0.N0.V")}, recorder.Handler(), {}), {Node("Tree.F0.N0.V")});
  EXPECT_LT(std::chrono::steady_clock::now() - requestStart, 10s);
  ASSERT_TRUE(WaitFor([&] { return QueueDepth(*session) > 100; }, 10s));
  EXPECT_LE(QueueDepth(*session), kCap);
  latch.Open();
  EXPECT_EQ(client->UnsubscribeAll().code, ResultCode::Ok);
}

}  // namespace
