// Shared sessions: registry, connect and disconnect, state delivery, the iterator.
#include <gtest/gtest.h>
#include <open62541/client.h>
#include <open62541/client_config_default.h>
#include <open62541/client_highlevel.h>
#include <velk/quarlink/client.h>
#include <velk/quarlink/connection_registry.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "adapter_helpers.h"
#include "connection.h"
#include "log_capture.h"
#include "state_recorder.h"
#include "stderr_capture.h"
#include "test_server.h"

namespace {

using namespace tessel::fnd::defs;
using namespace std::chrono_literals;
using ualib_test::ConnectedClient;
using ualib_test::LiveSession;
using ualib_test::LogCapture;
using ualib_test::Options;
using ualib_test::StateRecorder;
using ualib_test::TestServer;
using ualib_test::WaitFor;
using velk::quarlink::Client;
using velk::quarlink::OpcuaConnection;
using velk::quarlink::OpcuaConnectionRegistry;

// Sessions the server has, counted by a raw stack client that leaves its own out.
int ServerSessions(const std::string& endpoint) {
  UA_Client* raw = UA_Client_new();
  UA_ClientConfig_setDefault(UA_Client_getConfig(raw));
  UA_Client_getConfig(raw)->logging->log = nullptr;  // quiet
  int count = -1;
  if (UA_Client_connect(raw, endpoint.c_str()) == UA_STATUSCODE_GOOD) {
    UA_Variant value;
    UA_Variant_init(&value);
    if (UA_Client_readValueAttribute(raw, UA_NODEID_STRING(1, const_cast<char*>("SessionCount")), &value) ==
            UA_STATUSCODE_GOOD &&
        value.type == &UA_TYPES[UA_TYPES_UINT32])
      count = static_cast<int>(*static_cast<UA_UInt32*>(value.data)) - 1;
    UA_Variant_clear(&value);
    UA_Client_disconnect(raw);
  }
  UA_Client_delete(raw);
  return count;
}

bool HasEntry(const std::string& key) {
  auto& registry = OpcuaConnectionRegistry::Instance();
  std::lock_guard<std::mutex> lock(registry.mutex);
  return registry.sessions.count(key) == 1;
}

class SessionTest : public ::testing::Test {
 protected:
  TestServer server;
  LogCapture log{10};
};

TEST_F(SessionTest, ClientsOfOneEndpointShareOneSession) {
  auto first = ConnectedClient(server.Endpoint());
  auto second = ConnectedClient(server.Endpoint());
  const std::string key = server.Endpoint() + "|";
  auto session = LiveSession(key);
  ASSERT_TRUE(session);
  EXPECT_EQ(session.use_count(), 3);  // two Clients and this test
  session.reset();
  EXPECT_EQ(ServerSessions(server.Endpoint()), 1);

  const auto texts = log.Texts(20);
  ASSERT_GE(texts.size(), 2u);
  EXPECT_EQ(texts[0], "Connected to " + server.Endpoint() + " (anonymous)");
  EXPECT_EQ(texts[1], "Attached to shared OPC UA session for " + server.Endpoint() + " (anonymous)");

  EXPECT_EQ(first->Disconnect().code, ResultCode::Ok);
  EXPECT_TRUE(second->IsConnected());
  EXPECT_EQ(second->Disconnect().code, ResultCode::Ok);
  EXPECT_EQ(log.Count("Disconnect: detaching from " + server.Endpoint() + " (refs before = 2)"), 1u);
  EXPECT_EQ(log.Count("Disconnect: detaching from " + server.Endpoint() + " (refs before = 1)"), 1u);
  EXPECT_FALSE(LiveSession(key));
  EXPECT_TRUE(HasEntry(key));  // expired entries stay
}

TEST_F(SessionTest, UsersGetTheirOwnSessionAndTheFirstPasswordWins) {
  auto anonymous = ConnectedClient(server.Endpoint());
  auto operator1 = ConnectedClient(server.Endpoint(), {{"username", "operator"}, {"password", "secret"}});
  // Same user, wrong password: attaches to the session the first one opened.
  auto operator2 = ConnectedClient(server.Endpoint(), {{"username", "operator"}, {"password", "wrong"}});
  EXPECT_TRUE(operator2->IsConnected());
  EXPECT_EQ(ServerSessions(server.Endpoint()), 2);
  EXPECT_TRUE(LiveSession(server.Endpoint() + "|operator"));
  EXPECT_EQ(log.Count("Connected to " + server.Endpoint() + " (username auth)"), 1u);
  EXPECT_EQ(log.Count("Attached to shared OPC UA session for " + server.Endpoint() + " (username auth)"), 1u);
}

TEST_F(SessionTest, WrongPasswordIsAccessDeniedAndLeavesNothingAlive) {
  Client client;
  client.Configure(Options(server.Endpoint(), {{"username", "operator"}, {"password", "nope"}}));
  const Result result = client.Connect();
  EXPECT_EQ(result.code, ResultCode::AccessDenied) << result.message;
  EXPECT_FALSE(client.IsConnected());
  EXPECT_FALSE(LiveSession(server.Endpoint() + "|operator"));
}

TEST_F(SessionTest, ConnectRejectsMissingConfigureAndSecondConnect) {
  Client client;
  Result result = client.Connect();
  EXPECT_EQ(result.code, ResultCode::InvalidState);
  EXPECT_EQ(result.message, "Connect called before Configure.");
  EXPECT_TRUE(log.Contains("Connect rejected: Configure has not been called"));

  client.Configure(Options(server.Endpoint()));
  ASSERT_EQ(client.Connect().code, ResultCode::Ok);
  result = client.Connect();
  EXPECT_EQ(result.code, ResultCode::AlreadyConnected);
  EXPECT_EQ(result.message, "already connected");
  result = client.Configure(Options("opc.tcp://elsewhere:4840"));
  EXPECT_EQ(result.code, ResultCode::InvalidState);
  EXPECT_EQ(result.message, "Configure called while Connected — Disconnect first.");
  EXPECT_TRUE(log.Contains("Configure rejected: client is currently connected (endpoint=" + server.Endpoint() + ")"));
}

TEST_F(SessionTest, UnreachableEndpointFailsCleanlyAndTheNextConnectStartsAfresh) {
  const std::string endpoint = "opc.tcp://127.0.0.1:" + std::to_string(ualib_test::FreeLoopbackPort());
  Client client;
  StateRecorder states;
  client.SetConnectionStateHandler(states.Handler());
  client.Configure(Options(endpoint));
  const Result result = client.Connect();
  EXPECT_NE(result.code, ResultCode::Ok);
  EXPECT_FALSE(result.message.empty());
  EXPECT_TRUE(log.Contains("Connect to " + endpoint + " failed: " + result.message));
  EXPECT_TRUE(states.Saw(ConnectionState::Error));  // delivered before Connect returned
  EXPECT_FALSE(LiveSession(endpoint + "|"));
  EXPECT_TRUE(HasEntry(endpoint + "|"));

  // The same key now reaches the real server through a fresh session in the old entry.
  Client again;
  again.Configure(Options(endpoint));
  EXPECT_NE(again.Connect().code, ResultCode::Ok);
  EXPECT_EQ(log.Count("Connect: opening NEW shared session to " + endpoint), 2u);
}

TEST_F(SessionTest, EndpointsThatAreNoUrlsFailWithoutCrashing) {
  for (const std::string& endpoint :
       std::vector<std::string>{"", "not a url", "opc.tcp://", "http://127.0.0.1:1", std::string(100000, 'x')}) {
    Client client;
    client.Configure(Options(endpoint));
    const Result result = client.Connect();
    EXPECT_NE(result.code, ResultCode::Ok) << endpoint.substr(0, 40);
    EXPECT_FALSE(client.IsConnected());
  }
}

TEST_F(SessionTest, HandlerSeesConnectingThenConnectedOnTheConnectingThread) {
  Client client;
  StateRecorder states;
  client.SetConnectionStateHandler(states.Handler());
  client.Configure(Options(server.Endpoint()));
  ASSERT_EQ(client.Connect().code, ResultCode::Ok);
  const auto changes = states.Changes();
  ASSERT_GE(changes.size(), 2u);
  EXPECT_EQ(changes.front().current, ConnectionState::Connecting);
  EXPECT_EQ(changes.front().previous, ConnectionState::Disconnected);
  EXPECT_EQ(changes.back().current, ConnectionState::Connected);
  EXPECT_EQ(changes.back().previous, ConnectionState::Connecting);
  for (size_t i = 1; i < changes.size(); ++i) {
    EXPECT_NE(changes[i].current, changes[i - 1].current);  // repeats are not delivered
    EXPECT_EQ(changes[i].previous, changes[i - 1].current);
  }
  for (auto id : states.Threads()) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST_F(SessionTest, ServerStopReachesEveryAttachedHandlerAndLaterAttachSeesNothing) {
  auto first = ConnectedClient(server.Endpoint(), {{"auto_reconnect", "false"}});
  StateRecorder firstStates, secondStates;
  first->SetConnectionStateHandler(firstStates.Handler());
  auto second = std::make_unique<Client>();
  second->SetConnectionStateHandler(secondStates.Handler());
  second->Configure(Options(server.Endpoint()));
  ASSERT_EQ(second->Connect().code, ResultCode::Ok);
  EXPECT_TRUE(secondStates.Currents().empty());

  server.Stop();
  EXPECT_TRUE(WaitFor([&] { return firstStates.Saw(ConnectionState::Error); }, 10s));
  EXPECT_TRUE(WaitFor([&] { return secondStates.Saw(ConnectionState::Error); }, 10s));
  EXPECT_EQ(secondStates.Changes().front().previous, ConnectionState::Connected);
  // The stack client still exists, so the Clients still count as connected.
  EXPECT_TRUE(first->IsConnected());
  EXPECT_EQ(first->GetConnectionStatus().state, ConnectionState::Connected);
}

TEST_F(SessionTest, TokensAndThrowingHandlersAreHarmless) {
  auto token = std::make_unique<RegistrationToken>();
  {
    Client client;
    *token = client.SetConnectionStateHandler([](const ConnectionStateChange&) { throw std::runtime_error("boom"); });
    client.Configure(Options(server.Endpoint()));
    EXPECT_EQ(client.Connect().code, ResultCode::Ok);
    EXPECT_TRUE(log.Contains("ConnectionStateHandler threw: boom"));
    token->release();
    token->release();
    EXPECT_TRUE(log.Contains("SetConnectionStateHandler installed (active=true)"));
    client.SetConnectionStateHandler(nullptr);
    EXPECT_TRUE(log.Contains("SetConnectionStateHandler installed (active=false)"));
  }
  token->release();  // its Client is gone: nothing happens
}

TEST_F(SessionTest, ConnectionStatusReportsOnlyWhileAttached) {
  Client client;
  EXPECT_FALSE(client.IsConnected());
  ConnectionStatus status = client.GetConnectionStatus();
  EXPECT_EQ(status.state, ConnectionState::Disconnected);
  EXPECT_FALSE(status.info);
  client.Configure(Options(server.Endpoint()));
  ASSERT_EQ(client.Connect().code, ResultCode::Ok);
  status = client.GetConnectionStatus();
  EXPECT_EQ(status.state, ConnectionState::Connected);
  ASSERT_TRUE(status.info);
  EXPECT_EQ(status.info->endpoint, server.Endpoint());
  EXPECT_EQ(status.info->protocol, "opc.tcp");
  EXPECT_EQ(status.info->adapter, "velk::quarlink::Client");
  EXPECT_EQ(status.info->adapter_version, "1.0.0-pre1");
  EXPECT_EQ(status.info->contract_version, 1);
  client.Disconnect();
  EXPECT_FALSE(client.IsConnected());
  EXPECT_EQ(client.Disconnect().code, ResultCode::Ok);
  EXPECT_TRUE(log.Contains("Disconnect: already disconnected (no-op)"));
}

struct PolicyCase {
  std::vector<std::pair<std::string, std::string>> properties;
  std::string expected;  // the policy part of the "Reconnect policy for" line
};

TEST_F(SessionTest, ReconnectOptionsFollowTheBooleanAndNumberRules) {
  const std::vector<PolicyCase> cases = {
      {{}, "enabled=true interval=5000ms max_attempts=0 max_duration=0ms"},
      {{{"auto_reconnect", "OFF"}}, "enabled=false"},
      {{{"auto_reconnect", "No"}}, "enabled=false"},
      {{{"auto_reconnect", ""}}, "enabled=false"},
      {{{"auto_reconnect", "disabled"}}, "enabled=true"},
      {{{"reconnect_interval_ms", "abc"}}, "interval=5000ms"},
      {{{"reconnect_interval_ms", "100ms"}}, "interval=100ms"},
      {{{"reconnect_interval_ms", "-1"}}, "interval=4294967295ms"},
      {{{"reconnect_max_attempts", " 7"}, {"reconnect_max_duration_ms", "99999999999999999999999"}},
       "max_attempts=7 max_duration=0ms"},
  };
  for (const PolicyCase& c : cases) {
    log.Clear();
    Client client;
    auto options = Options(server.Endpoint());
    for (const auto& [k, v] : c.properties) options.properties.Set(k, v);
    client.Configure(options);
    ASSERT_EQ(client.Connect().code, ResultCode::Ok);
    EXPECT_TRUE(log.Contains("Reconnect policy for " + server.Endpoint() + ": ")) << c.expected;
    EXPECT_TRUE(log.Contains(c.expected)) << c.expected;
    client.Disconnect();
  }
}

TEST_F(SessionTest, SdkLogLevelSwitchesTheStackOutput) {
  const std::vector<std::pair<std::optional<std::string>, bool>> cases = {
      {std::nullopt, false}, {"off", false}, {"silent", false}, {"Info", true}, {"trace", true}};
  for (const auto& [level, printsInfo] : cases) {
    ualib_test::StderrCapture err;
    Client client;
    auto options = Options(server.Endpoint());
    if (level) options.properties.Set("sdk_log_level", *level);
    client.Configure(options);
    ASSERT_EQ(client.Connect().code, ResultCode::Ok);
    client.Disconnect();
    const std::string text = err.Text();
    EXPECT_EQ(text.find("[info/") != std::string::npos, printsInfo) << level.value_or("(absent)") << text;
    if (!printsInfo) {
      EXPECT_EQ(text.find("/client]"), std::string::npos) << text;
    }
  }
}

TEST_F(SessionTest, DestroyingOneClientLeavesTheOtherConnected) {
  auto keep = ConnectedClient(server.Endpoint());
  auto drop = ConnectedClient(server.Endpoint());
  drop.reset();
  EXPECT_TRUE(keep->IsConnected());
  EXPECT_EQ(ServerSessions(server.Endpoint()), 1);
}

TEST_F(SessionTest, LastDisconnectStopsTheIteratorAndReturnsPromptly) {
  auto client = ConnectedClient(server.Endpoint());
  ASSERT_TRUE(log.Contains("Starting background iterator thread for " + server.Endpoint()));
  const auto start = std::chrono::steady_clock::now();
  client->Disconnect();
  // Generous bound: the iterator never sleeps longer than a few ms outside a cycle.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_TRUE(WaitFor([&] { return ServerSessions(server.Endpoint()) == 0; }, 5s));
}

TEST_F(SessionTest, AHealthySessionIsNeverReconnected) {
  auto client = ConnectedClient(server.Endpoint(), {{"reconnect_interval_ms", "0"}});
  std::this_thread::sleep_for(300ms);  // many iterator passes
  EXPECT_FALSE(log.Contains("Reconnect: starting"));
}

TEST_F(SessionTest, ALostSessionIsNotReconnectedWhenDisabled) {
  auto client = ConnectedClient(server.Endpoint(), {{"auto_reconnect", "no"}});
  StateRecorder states;
  client->SetConnectionStateHandler(states.Handler());
  server.Stop();
  ASSERT_TRUE(WaitFor([&] { return states.Saw(ConnectionState::Error); }, 10s));
  server.Start();
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(log.Contains("Reconnect: starting"));
  EXPECT_TRUE(client->IsConnected());
  // The stack does not try on its own either.
  EXPECT_FALSE(states.Saw(ConnectionState::Connecting));
}

// Eight threads connect and disconnect their own Clients to one endpoint while
// querying the state; at the end nothing is alive and the entry is reused.
TEST_F(SessionTest, ManyThreadsConnectAndDisconnectConcurrently) {
  const std::string key = server.Endpoint() + "|";
  std::atomic<bool> failed{false};
  std::vector<std::thread> threads;
  const auto until = std::chrono::steady_clock::now() + 2s;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      Client client;
      client.Configure(Options(server.Endpoint()));
      while (std::chrono::steady_clock::now() < until) {
        if (client.Connect().code != ResultCode::Ok) failed = true;
        client.IsConnected();
        client.GetConnectionStatus();
        client.Disconnect();
        client.GetConnectionStatus();
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_FALSE(failed);
  EXPECT_FALSE(LiveSession(key));
  auto again = ConnectedClient(server.Endpoint());
  EXPECT_TRUE(LiveSession(key));
  auto& registry = OpcuaConnectionRegistry::Instance();
  std::lock_guard<std::mutex> lock(registry.mutex);
  EXPECT_EQ(registry.sessions.count(key), 1u);
}

}  // namespace
