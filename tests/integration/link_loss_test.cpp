// A link that dies without a reset: a loopback proxy stops forwarding while both
// sockets stay open, as a pulled cable or a frozen peer would.
#include <gtest/gtest.h>
#include <velk/quarlink/client.h>

#include <mutex>
#include <thread>

#include "adapter_helpers.h"
#include "log_capture.h"
#include "notification_recorder.h"
#include "state_recorder.h"
#include "tcp_proxy.h"
#include "test_server.h"

namespace {

using namespace tessel::fnd::defs;
using namespace std::chrono_literals;
using ualib_test::ConnectedClient;
using ualib_test::LogCapture;
using ualib_test::Node;
using ualib_test::NotificationRecorder;
using ualib_test::ReadOne;
using ualib_test::StateRecorder;
using ualib_test::TcpProxy;
using ualib_test::TestServer;
using ualib_test::WaitFor;
using velk::quarlink::Client;

class LinkLossTest : public ::testing::Test {
 protected:
  TestServer server;
  TcpProxy proxy{server.Port()};
  LogCapture log{10};
};

TEST_F(LinkLossTest, AFrozenLinkIsDetectedClosedAndRecovered) {
  auto first = ConnectedClient(proxy.Endpoint(), {{"reconnect_interval_ms", "500"}});
  auto second = ConnectedClient(proxy.Endpoint());
  StateRecorder firstStates, secondStates;
  first->SetConnectionStateHandler(firstStates.Handler());
  second->SetConnectionStateHandler(secondStates.Handler());
  NotificationRecorder values;
  ASSERT_EQ(first->Subscribe({Node("Counter")}, values.Handler(), {}).code, ResultCode::Ok);
  ASSERT_TRUE(WaitFor([&] { return values.Count() > 0; }, 5s));
  ASSERT_TRUE(log.Contains("Connectivity check for " + proxy.Endpoint() + ": interval=2000ms"));

  proxy.Freeze();
  const auto frozenAt = std::chrono::steady_clock::now();
  // Check interval (2 s) + the stack's request timeout (5 s) + slack for a loaded machine.
  ASSERT_TRUE(WaitFor([&] { return firstStates.Saw(ConnectionState::Error); }, 15s));
  const auto detected = std::chrono::steady_clock::now() - frozenAt;
  ASSERT_TRUE(WaitFor([&] { return secondStates.Saw(ConnectionState::Error); }, 2s));
  std::cout << "silent link loss detected after "
            << std::chrono::duration_cast<std::chrono::milliseconds>(detected).count() << " ms\n";
  EXPECT_TRUE(log.Contains("Link to " + proxy.Endpoint() + " stopped answering; closing the connection to recover"));
  EXPECT_EQ(second->GetConnectionStatus().state, ConnectionState::Connected);  // the stack client still exists

  // Requests fail with a mapped status within the stack's timeout (5 s) instead of hanging.
  const auto start = std::chrono::steady_clock::now();
  const ReadResult failed = ReadOne(*second, Node("Scalar.Int32"));
  ASSERT_EQ(failed.items.size(), 1u);
  EXPECT_NE(failed.items[0].code, ResultCode::Ok);
  EXPECT_FALSE(failed.items[0].message.empty());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 7s);
  EXPECT_TRUE(log.WaitFor("Reconnect: starting", 5s));

  firstStates.Clear();
  proxy.Thaw();
  ASSERT_TRUE(log.WaitFor("Reconnect: successful after", 20s));
  EXPECT_TRUE(firstStates.Saw(ConnectionState::Connecting));
  EXPECT_TRUE(firstStates.Saw(ConnectionState::Connected));
  const size_t before = values.Count();
  EXPECT_TRUE(WaitFor([&] { return values.Count() > before; }, 5s));
  EXPECT_EQ(ReadOne(*second, Node("Scalar.Int32")).items.at(0).code, ResultCode::Ok);
}

TEST_F(LinkLossTest, ACutLinkIsRecovered) {
  auto client = ConnectedClient(proxy.Endpoint(), {{"reconnect_interval_ms", "200"}});
  NotificationRecorder values;
  ASSERT_EQ(client->Subscribe({Node("Counter")}, values.Handler(), {}).code, ResultCode::Ok);
  ASSERT_TRUE(WaitFor([&] { return values.Count() > 0; }, 5s));
  proxy.Cut();
  const size_t before = values.Count();
  EXPECT_TRUE(WaitFor([&] { return values.Count() > before + 10; }, 15s));
  EXPECT_EQ(ReadOne(*client, Node("Scalar.Int32")).items.at(0).code, ResultCode::Ok);
}

TEST_F(LinkLossTest, WithTheCheckDisabledAFreezeGoesUnnoticed) {
  auto client = ConnectedClient(proxy.Endpoint(), {{"connectivity_check_interval_ms", "0"}});
  StateRecorder states;
  client->SetConnectionStateHandler(states.Handler());
  proxy.Freeze();
  std::this_thread::sleep_for(15s);
  EXPECT_FALSE(states.Saw(ConnectionState::Error));
  EXPECT_FALSE(log.Contains("stopped answering"));
  proxy.Thaw();
}

TEST_F(LinkLossTest, AHealthyLinkIsLeftAlone) {
  auto client = ConnectedClient(proxy.Endpoint(), {{"connectivity_check_interval_ms", "500"}});
  NotificationRecorder values;
  ASSERT_EQ(client->Subscribe({Node("Counter")}, values.Handler(), {}).code, ResultCode::Ok);
  std::this_thread::sleep_for(10s);  // twenty checks
  EXPECT_FALSE(log.Contains("stopped answering"));
  EXPECT_FALSE(log.Contains("Reconnect: starting"));
  EXPECT_EQ(log.Count("Connectivity check for"), 1u);
  EXPECT_GT(values.Count(), 20u);  // the default 250 ms sampling of a 10 ms counter
}

}  // namespace
