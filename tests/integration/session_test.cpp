// Shared sessions: registry, connect and disconnect, state delivery, options, the
// iterator. One server for the whole program; none of these tests stops it.
#include <gtest/gtest.h>
#include <velk/quarlink/client.h>
#include <velk/quarlink/connection_registry.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "adapter_helpers.h"
#include "log_capture.h"
#include "state_recorder.h"
#include "subscription_probe.h"
#include "tcp_proxy.h"
#include "test_server.h"

namespace {

using namespace tessel::fnd::defs;
using namespace std::chrono_literals;
using ualib_test::ConnectedClient;
using ualib_test::LiveSession;
using ualib_test::Node;
using ualib_test::Options;
using ualib_test::StateRecorder;
using ualib_test::WaitFor;
using velk::quarlink::Client;

bool HasEntry(const std::string& key) {
  auto& registry = velk::quarlink::OpcuaConnectionRegistry::Instance();
  std::lock_guard<std::mutex> lock(registry.mutex);
  return registry.sessions.count(key) == 1;
}

class SessionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server = new ualib_test::TestServer(); }
  static void TearDownTestSuite() { delete server; }
  static int ServerSessions() { return ualib_test::ServerProbe(server->Endpoint()).Sessions(); }

  static inline ualib_test::TestServer* server = nullptr;
  const std::string endpoint = server->Endpoint();
  ualib_test::LogCapture log{10};
};

TEST_F(SessionTest, ClientsOfOneEndpointShareOneSessionUntilTheLastGoes) {
  auto first = ConnectedClient(endpoint);
  auto second = ConnectedClient(endpoint);
  auto third = ConnectedClient(endpoint);
  const std::string key = endpoint + "|";
  EXPECT_EQ(LiveSession(key).use_count(), 4);  // three Clients and this expression
  EXPECT_EQ(ServerSessions(), 1);
  const auto texts = log.Texts(20);
  ASSERT_GE(texts.size(), 2u);
  EXPECT_EQ(texts[0], "Connected to " + endpoint + " (anonymous)");
  EXPECT_EQ(texts[1], "Attached to shared OPC UA session for " + endpoint + " (anonymous)");

  third.reset();  // destroyed, not disconnected: the others keep the session
  EXPECT_EQ(first->Disconnect().code, ResultCode::Ok);
  EXPECT_TRUE(second->IsConnected());
  EXPECT_EQ(second->Disconnect().code, ResultCode::Ok);
  EXPECT_EQ(log.Count("Disconnect: detaching from " + endpoint + " (refs before = 2)"), 1u);
  EXPECT_EQ(log.Count("Disconnect: detaching from " + endpoint + " (refs before = 1)"), 1u);
  EXPECT_FALSE(LiveSession(key));
  EXPECT_TRUE(HasEntry(key));  // expired entries stay
  EXPECT_TRUE(WaitFor([] { return ServerSessions() == 0; }, 5s));
}

// A session is shared only with the same password: a wrong one never rides on the
// right one's session, and a rotated one works while the old one is attached.
TEST_F(SessionTest, UsersAndPasswordsGetTheirOwnSessions) {
  Client denied;
  denied.Configure(Options(endpoint, {{"username", "operator"}, {"password", "nope"}}));
  const Result result = denied.Connect();
  EXPECT_EQ(result.code, ResultCode::AccessDenied) << result.message;
  EXPECT_FALSE(ualib_test::LiveSessionWithDigest(endpoint + "|operator"));

  auto anonymous = ConnectedClient(endpoint);
  auto operator1 = ConnectedClient(endpoint, {{"username", "operator"}, {"password", "secret"}});
  auto operator2 = ConnectedClient(endpoint, {{"username", "operator"}, {"password", "secret"}});
  Client wrong;
  wrong.Configure(Options(endpoint, {{"username", "operator"}, {"password", "wrong"}}));
  EXPECT_EQ(wrong.Connect().code, ResultCode::AccessDenied);
  EXPECT_EQ(ServerSessions(), 2);
  EXPECT_EQ(log.Count("Connected to " + endpoint + " (username auth)"), 1u);
  EXPECT_EQ(log.Count("Attached to shared OPC UA session for " + endpoint + " (username auth)"), 1u);
  const auto session = ualib_test::LiveSessionWithDigest(endpoint + "|operator");
  ASSERT_TRUE(session);
  EXPECT_EQ(session->registryKey().find("secret"), std::string::npos);
}

TEST_F(SessionTest, ConnectAndConfigureRefuseTheWrongMoment) {
  Client client;
  Result result = client.Connect();
  EXPECT_EQ(result.code, ResultCode::InvalidState);
  EXPECT_EQ(result.message, "Connect called before Configure.");
  client.Configure(Options(endpoint));
  ASSERT_EQ(client.Connect().code, ResultCode::Ok);
  result = client.Connect();
  EXPECT_EQ(result.code, ResultCode::AlreadyConnected);
  EXPECT_EQ(result.message, "already connected");
  result = client.Configure(Options("opc.tcp://elsewhere:4840"));
  EXPECT_EQ(result.code, ResultCode::InvalidState);
  EXPECT_EQ(result.message, "Configure called while Connected — Disconnect first.");
  client.Disconnect();
  EXPECT_EQ(client.Disconnect().code, ResultCode::Ok);
  EXPECT_TRUE(log.Contains("Disconnect: already disconnected (no-op)"));
}

TEST_F(SessionTest, AFailedConnectLeavesNothingAliveAndTheNextStartsAfresh) {
  const std::string unreachable = "opc.tcp://127.0.0.1:" + std::to_string(ualib_test::FreeLoopbackPort());
  for (const std::string& target : {unreachable, unreachable, std::string("not a url")}) {
    Client client;
    StateRecorder states;
    client.SetConnectionStateHandler(states.Handler());
    client.Configure(Options(target));
    const Result result = client.Connect();
    EXPECT_NE(result.code, ResultCode::Ok);
    EXPECT_TRUE(log.Contains("Connect to " + target + " failed: " + result.message));
    EXPECT_TRUE(states.Saw(ConnectionState::Error));  // delivered before Connect returned
    EXPECT_FALSE(client.IsConnected());
    EXPECT_FALSE(LiveSession(target + "|"));
  }
  EXPECT_EQ(log.Count("Connect: opening NEW shared session to " + unreachable), 2u);
}

TEST_F(SessionTest, HandlerSeesEachStateOnceWithItsPredecessorUntilReleased) {
  Client client;
  StateRecorder states;
  RegistrationToken token = client.SetConnectionStateHandler(states.Handler());
  client.Configure(Options(endpoint));
  ASSERT_EQ(client.Connect().code, ResultCode::Ok);
  const auto changes = states.Changes();
  ASSERT_GE(changes.size(), 2u);
  EXPECT_EQ(changes.front().current, ConnectionState::Connecting);
  EXPECT_EQ(changes.front().previous, ConnectionState::Disconnected);
  EXPECT_EQ(changes.back().current, ConnectionState::Connected);
  for (size_t i = 1; i < changes.size(); ++i) {
    EXPECT_NE(changes[i].current, changes[i - 1].current);  // repeats are not delivered
    EXPECT_EQ(changes[i].previous, changes[i - 1].current);
  }
  // One after the other on the session's dispatch thread, never on the caller's.
  for (auto id : states.Threads()) EXPECT_EQ(id, states.Threads().front());
  EXPECT_NE(states.Threads().front(), std::this_thread::get_id());

  // Released: the next session's states reach nobody.
  token.release();
  client.Disconnect();
  states.Clear();
  ASSERT_EQ(client.Connect().code, ResultCode::Ok);
  EXPECT_TRUE(states.Changes().empty());
}

// State handlers run with no lock held: one may call its own Client, even on the
// changes of that Client's own Connect.
TEST_F(SessionTest, AStateHandlerMayCallItsOwnClient) {
  Client client;
  std::atomic<int> readsInHandler{0};
  client.SetConnectionStateHandler([&](const ConnectionStateChange& change) {
    if (change.current == ConnectionState::Connected && ualib_test::ReadsOk(client, Node("Scalar.Int32")))
      ++readsInHandler;
  });
  client.Configure(Options(endpoint));
  ASSERT_EQ(client.Connect().code, ResultCode::Ok);
  EXPECT_EQ(readsInHandler.load(), 1);
}

// Requests of different threads on one session are in flight together: over a link
// with latency, eight threads finish well before one thread doing the same reads.
TEST_F(SessionTest, ThreadsOfOneSessionHaveTheirRequestsInFlightTogether) {
  ualib_test::TcpProxy proxy{server->Port(), 10ms};
  auto client = ConnectedClient(proxy.Endpoint());
  constexpr int kThreads = 8;
  constexpr int kReadsEach = 5;
  std::atomic<int> failed{0};
  const auto reads = [&](int count) {
    for (int i = 0; i < count; ++i)
      if (!ualib_test::ReadsOk(*client, Node("Scalar.Int32"))) ++failed;
  };
  const auto timed = [](const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::steady_clock::now() - start;
  };
  const auto serial = timed([&] { reads(kThreads * kReadsEach); });
  const auto together = timed([&] {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(reads, kReadsEach);
    for (std::thread& thread : threads) thread.join();
  });
  EXPECT_EQ(failed.load(), 0);
  EXPECT_LT(together, serial / 2);
}

TEST_F(SessionTest, ThrowingHandlersAndTokensOutlivingTheirClientAreHarmless) {
  RegistrationToken token;
  {
    Client client;
    token = client.SetConnectionStateHandler([](const ConnectionStateChange&) { throw std::runtime_error("boom"); });
    client.Configure(Options(endpoint));
    EXPECT_EQ(client.Connect().code, ResultCode::Ok);
    EXPECT_TRUE(log.Contains("ConnectionStateHandler threw: boom"));
  }
  token.release();  // its Client is gone: nothing happens
}

TEST_F(SessionTest, StatusCapabilitiesAndDiscoverAnswerWithAndWithoutASession) {
  Client client;
  EXPECT_FALSE(client.GetConnectionStatus().info);
  EXPECT_TRUE(client.GetCapabilities().supports_discovery);
  EXPECT_EQ(client.Discover(DiscoverRequest{}).code, ResultCode::InvalidArgument);  // no URL anywhere

  // No session needed: the filter names the discovery URL.
  const DiscoverResult endpoints = client.Discover(DiscoverRequest{endpoint, {}});
  ASSERT_EQ(endpoints.code, ResultCode::Ok) << endpoints.message;
  ASSERT_EQ(endpoints.endpoints.size(), 1u);
  EXPECT_EQ(endpoints.endpoints[0], endpoint);
  EXPECT_EQ(*endpoints.properties.Get("endpoint.0.security_mode"), "None");
  EXPECT_EQ(*endpoints.properties.Get("endpoint.0.user_tokens"), "Anonymous,UserName");
  EXPECT_FALSE(endpoints.properties.Get("endpoint.0.certificate_thumbprint"));

  client.Configure(Options(endpoint));
  ASSERT_EQ(client.Connect().code, ResultCode::Ok);
  const ConnectionStatus status = client.GetConnectionStatus();
  EXPECT_EQ(status.state, ConnectionState::Connected);
  ASSERT_TRUE(status.info);
  EXPECT_EQ(status.info->endpoint, endpoint);
  EXPECT_EQ(*status.info->properties.Get("security_mode"), "None");
  DiscoverRequest findServers;  // the configured endpoint stands in for an empty filter
  findServers.options.properties.Set("discover", "servers");
  const DiscoverResult servers = client.Discover(findServers);
  ASSERT_EQ(servers.code, ResultCode::Ok) << servers.message;
  ASSERT_EQ(servers.endpoints.size(), 1u);
  EXPECT_TRUE(servers.properties.Get("server.0.application_uri"));

  const std::string unreachable = "opc.tcp://127.0.0.1:" + std::to_string(ualib_test::FreeLoopbackPort());
  const DiscoverResult refused = client.Discover(DiscoverRequest{unreachable, {}});
  EXPECT_NE(refused.code, ResultCode::Ok);
  EXPECT_NE(refused.message.find("GetEndpoints at " + unreachable + " failed"), std::string::npos) << refused.message;
}

TEST_F(SessionTest, ReconnectOptionsFollowTheBooleanAndNumberRules) {
  const struct {
    std::vector<std::pair<std::string, std::string>> properties;
    std::string expected;  // the policy part of the "Reconnect policy for" line
  } cases[] = {
      {{}, "enabled=true interval=5000ms max_attempts=0 max_duration=0ms"},
      {{{"auto_reconnect", "OFF"}}, "enabled=false"},
      {{{"auto_reconnect", "disabled"}}, "enabled=true"},
      {{{"reconnect_interval_ms", "100ms"}}, "interval=100ms"},
      {{{"reconnect_max_attempts", " 7"}, {"reconnect_max_duration_ms", "99999999999999999999999"}},
       "max_attempts=7 max_duration=0ms"},
  };
  for (const auto& c : cases) {
    log.Clear();
    Client client;
    auto options = Options(endpoint);
    for (const auto& [k, v] : c.properties) options.properties.Set(k, v);
    client.Configure(options);
    ASSERT_EQ(client.Connect().code, ResultCode::Ok);
    EXPECT_TRUE(log.Contains("Reconnect policy for " + endpoint + ": ")) << c.expected;
    EXPECT_TRUE(log.Contains(c.expected)) << c.expected;
  }
}

// Eight threads connect and disconnect their own Clients to one endpoint while
// querying the state; at the end nothing is alive and the entry is reused.
TEST_F(SessionTest, ManyThreadsConnectAndDisconnectConcurrently) {
  std::atomic<bool> failed{false};
  std::vector<std::thread> threads;
  const auto until = std::chrono::steady_clock::now() + 1s;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      Client client;
      client.Configure(Options(endpoint));
      while (std::chrono::steady_clock::now() < until) {
        if (client.Connect().code != ResultCode::Ok) failed = true;
        client.GetConnectionStatus();
        client.Disconnect();
        client.IsConnected();
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_FALSE(failed);
  EXPECT_FALSE(LiveSession(endpoint + "|"));
  auto again = ConnectedClient(endpoint);
  EXPECT_TRUE(LiveSession(endpoint + "|"));
}

}  // namespace
