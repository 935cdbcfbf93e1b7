// A link that dies without a reset: a loopback proxy stops forwarding while both
// sockets stay open, as a pulled cable or a frozen peer would.
#include <gtest/gtest.h>
#include <velk/quarlink/client.h>

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
using ualib_test::Node;
using ualib_test::StateRecorder;
using ualib_test::WaitFor;

TEST(LinkLossTest, AFrozenLinkIsDetectedClosedAndRecovered) {
  ualib_test::TestServer server;
  ualib_test::TcpProxy proxy{server.Port()};
  ualib_test::LogCapture log{10};
  auto first = ConnectedClient(proxy.Endpoint(), {{"reconnect_interval_ms", "500"}});
  auto second = ConnectedClient(proxy.Endpoint());
  StateRecorder firstStates, secondStates;
  first->SetConnectionStateHandler(firstStates.Handler());
  second->SetConnectionStateHandler(secondStates.Handler());
  ualib_test::NotificationRecorder values;
  // A slow publishing interval keeps the stack's own subscription watchdog (fifty
  // missed publishes) out of it: only the connectivity check can notice in time.
  tessel::fnd::defs::SubscribeOpts slow;
  slow.properties.Set("publishing_interval_ms", "2000");
  ASSERT_EQ(first->Subscribe({Node("Counter")}, values.Handler(), slow).code, ResultCode::Ok);
  ASSERT_TRUE(WaitFor([&] { return values.Count() > 0; }, 5s));
  ASSERT_TRUE(log.Contains("Connectivity check for " + proxy.Endpoint() + ": interval=2000ms"));

  proxy.Freeze();
  // Check interval (2 s) + the stack's request timeout (5 s) + slack for a loaded machine.
  ASSERT_TRUE(WaitFor([&] { return firstStates.Saw(ConnectionState::Error); }, 20s));
  ASSERT_TRUE(WaitFor([&] { return secondStates.Saw(ConnectionState::Error); }, 5s));
  // Both handlers were installed after Connect: the loss still names the state it left.
  EXPECT_EQ(firstStates.Changes().front().previous, ConnectionState::Connected);
  EXPECT_EQ(secondStates.Changes().front().previous, ConnectionState::Connected);
  EXPECT_TRUE(log.Contains("Link to " + proxy.Endpoint() + " stopped answering; closing the connection to recover"));
  const ReadResult failed = ualib_test::ReadOne(*second, Node("Scalar.Int32"));
  ASSERT_EQ(failed.items.size(), 1u);
  EXPECT_NE(failed.items[0].code, ResultCode::Ok);
  EXPECT_FALSE(failed.items[0].message.empty());
  EXPECT_TRUE(log.WaitFor("Reconnect: starting", 10s));

  firstStates.Clear();
  proxy.Thaw();
  ASSERT_TRUE(log.WaitFor("Reconnect: successful after", 20s));
  EXPECT_TRUE(firstStates.Saw(ConnectionState::Connected));
  const size_t before = values.Count();
  EXPECT_TRUE(WaitFor([&] { return values.Count() > before; }, 10s));
  EXPECT_TRUE(ualib_test::ReadsOk(*second, Node("Scalar.Int32")));
}

}  // namespace
