// What subscriptions hold on to: every handler copy the adapter keeps is released
// again, queued notifications survive their items and the session, and nothing
// grows with the number of Subscribe/Unsubscribe cycles.
#include <gtest/gtest.h>
#include <velk/quarlink/client.h>

#include <fstream>
#include <memory>
#include <mutex>
#include <numeric>
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
using ualib_test::CopyCounter;
using ualib_test::Counted;
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

constexpr int kCycles = 10'000;

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// Waits until exactly `expected` handler copies are alive (queued ones drain away).
bool CopiesSettleAt(int expected) {
  return WaitFor([&] { return CopyCounter::Live() == expected; }, 10s);
}

class SubscriptionLifetimeTest : public ::testing::Test {
 protected:
  TestServer server;
  LogCapture log{30};
};

// Each monitored item holds two copies of its handler: the map entry and the
// stack's callback context. Every way an item ends releases both, once.
TEST_F(SubscriptionLifetimeTest, EveryWayAnItemEndsReleasesItsHandlerCopies) {
  const int base = CopyCounter::Live();
  {
    auto client = ConnectedClient(server.Endpoint());
    auto session = SessionOf(server.Endpoint());
    const std::string a = Node("Scalar.Int32"), b = Node("Scalar.Double");
    const SubscriptionHandler handler = Counted(nullptr);
    const int held = base + 1;  // `handler` itself

    ASSERT_EQ(client->Subscribe({a}, handler, {}).code, ResultCode::Ok);
    EXPECT_TRUE(CopiesSettleAt(held + 2));
    // Replaced, also twice within one call.
    ASSERT_EQ(client->Subscribe({a, a}, handler, {}).code, ResultCode::Ok);
    EXPECT_TRUE(CopiesSettleAt(held + 2));
    // Refused by the server: the stack hands the context back through the delete
    // callback while the creation is still running.
    EXPECT_EQ(client->Subscribe({Node("NoSuchNode")}, handler, {}).items.at(0).code, ResultCode::NotFound);
    EXPECT_TRUE(CopiesSettleAt(held + 2));
    // Unsubscribed one by one.
    ASSERT_EQ(client->Subscribe({b}, handler, {}).code, ResultCode::Ok);
    EXPECT_TRUE(CopiesSettleAt(held + 4));
    ASSERT_EQ(client->Unsubscribe({b}).code, ResultCode::Ok);
    EXPECT_TRUE(CopiesSettleAt(held + 2));
    // Dropped with the subscription.
    ASSERT_EQ(client->UnsubscribeAll().code, ResultCode::Ok);
    EXPECT_TRUE(CopiesSettleAt(held));

    // A subscription the stack client does not know: the stack refuses the item
    // without calling back, so the creator frees the context itself.
    ASSERT_EQ(client->Subscribe({}, handler, {}).code, ResultCode::Ok);
    uint32_t real = 0;
    {
      std::lock_guard<velk::quarlink::TicketMutex> lock(session->clientMutex);
      real = session->subscriptionId;
      session->subscriptionId = real + 1000;
    }
    EXPECT_EQ(client->Subscribe({a}, handler, {}).items.at(0).code, ResultCode::Unknown);
    EXPECT_TRUE(CopiesSettleAt(held));
    {
      std::lock_guard<velk::quarlink::TicketMutex> lock(session->clientMutex);
      session->subscriptionId = real;
    }

    // Live items of a session that goes away with its last Client.
    ASSERT_EQ(client->Subscribe({a, b, Node("Counter")}, handler, {}).code, ResultCode::Ok);
    EXPECT_TRUE(WaitFor([&] { return CopyCounter::Live() >= held + 6; }, 10s));
  }
  EXPECT_TRUE(CopiesSettleAt(base));
}

TEST_F(SubscriptionLifetimeTest, SubscribeUnsubscribeCyclesLeaveNothingBehind) {
  auto client = ConnectedClient(server.Endpoint());
  auto session = SessionOf(server.Endpoint());
  const int base = CopyCounter::Live();
  // Every handler copy carries 4 KiB, so copies that stayed behind would show in
  // the resident size long before the end of the loop.
  const SubscriptionHandler handler = Counted([payload = std::string(4096, 'x')](const Notification&) {});
  const std::vector<std::string> address = {Node("Scalar.Int32")};
  const auto cycle = [&] {
    const SubscribeResult subscribed = client->Subscribe(address, handler, {});
    const UnsubscribeResult unsubscribed = client->Unsubscribe(address);
    return subscribed.items.size() == 1 && subscribed.items[0].code == ResultCode::Ok &&
           unsubscribed.items.size() == 1 && unsubscribed.items[0].code == ResultCode::Ok;
  };
  constexpr int kWarmUp = kCycles / 10;
  for (int i = 0; i < kWarmUp; ++i) ASSERT_TRUE(cycle()) << "cycle " << i;
  ASSERT_TRUE(CopiesSettleAt(base + 1));
  const long warmedUp = ResidentKiB();
  for (int i = kWarmUp; i < kCycles; ++i) ASSERT_TRUE(cycle()) << "cycle " << i;
  ASSERT_TRUE(CopiesSettleAt(base + 1));
  const long finished = ResidentKiB();
  EXPECT_TRUE(StateOf(*session).items.empty());
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizers' allocators keep freed memory (quarantine, shadow), so the resident
  // size says little there; the address sanitizer's leak check at exit stands in.
  (void)warmedUp, (void)finished;
#else
  // A leak of one copy per cycle would be far above this margin (about 4 KiB a cycle).
  EXPECT_LT(finished - warmedUp, 4 * 1024) << "RSS " << warmedUp << " KiB -> " << finished << " KiB";
#endif
}

TEST_F(SubscriptionLifetimeTest, DestroyingTheLastClientDeliversEverythingQueuedFirst) {
  constexpr UA_UInt32 kBurst = 500;
  Latch latch;
  NotificationRecorder recorder;
  auto client = ConnectedClient(server.Endpoint());
  OpenAtExit opener(latch);
  ServerProbe probe(server.Endpoint());
  auto record = recorder.Handler();
  SubscribeOpts opts;
  opts.queue_size = kBurst + 10;
  opts.properties.Set("sampling_interval_ms", "0");
  ASSERT_EQ(client
                ->Subscribe(
                    {Node("BurstValue")},
                    [&](const Notification& n) {
                      record(n);
                      latch.Wait();
                    },
                    opts)
                .code,
            ResultCode::Ok);
  ASSERT_TRUE(WaitFor([&] { return latch.Waiting() == 1; }, 10s));
  ASSERT_EQ(probe.Burst(kBurst), UA_STATUSCODE_GOOD);
  {
    auto session = SessionOf(server.Endpoint());
    ASSERT_TRUE(WaitFor([&] { return QueueDepth(*session) == kBurst; }, 10s));
  }

  std::thread destroyer([&] { client.reset(); });
  // The session is on its way out once the registry no longer hands it out.
  EXPECT_TRUE(WaitFor([&] { return SessionOf(server.Endpoint()) == nullptr; }, 10s));
  latch.Open();
  destroyer.join();
  std::vector<int32_t> expected(kBurst + 1);
  std::iota(expected.begin(), expected.end(), 0);
  std::vector<int32_t> values;
  for (const Notification& n : recorder.All()) values.push_back(std::get<int32_t>(n.value.value));
  EXPECT_EQ(values, expected);
}

// A handler may let go of the last Client, so the session ends on the worker's
// own thread: what is still queued is delivered all the same.
TEST_F(SubscriptionLifetimeTest, AHandlerMayReleaseTheLastClient) {
  struct Shared {
    std::mutex mutex;
    std::unique_ptr<velk::quarlink::Client> client;
    Latch latch;
    NotificationRecorder recorder;
  };
  // Owned by the handler copies too: the worker may still run them after the test
  // has seen the last notification.
  auto shared = std::make_shared<Shared>();
  shared->client = ConnectedClient(server.Endpoint());
  ServerProbe probe(server.Endpoint());
  SubscribeOpts opts;
  opts.queue_size = 100;
  opts.properties.Set("sampling_interval_ms", "0");
  auto handler = [shared, record = shared->recorder.Handler()](const Notification& n) {
    record(n);
    if (n.value.value == Value(int32_t{0})) {
      shared->latch.Wait();
      std::unique_ptr<velk::quarlink::Client> last;
      std::lock_guard<std::mutex> lock(shared->mutex);
      last = std::move(shared->client);
    }
  };
  {
    std::lock_guard<std::mutex> lock(shared->mutex);
    ASSERT_EQ(shared->client->Subscribe({Node("BurstValue")}, handler, opts).code, ResultCode::Ok);
  }
  ASSERT_TRUE(WaitFor([&] { return shared->latch.Waiting() == 1; }, 10s));
  ASSERT_EQ(probe.Burst(5), UA_STATUSCODE_GOOD);
  {
    auto session = SessionOf(server.Endpoint());
    ASSERT_TRUE(WaitFor([&] { return QueueDepth(*session) == 5; }, 10s));
  }
  shared->latch.Open();
  EXPECT_TRUE(WaitFor([&] { return shared->recorder.Count() == 6; }, 10s));
  EXPECT_TRUE(WaitFor([&] { return SessionOf(server.Endpoint()) == nullptr; }, 10s));
}

}  // namespace
