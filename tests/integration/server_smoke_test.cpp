// The test server, its fixture and the TCP proxy, checked with a raw open62541 client and raw
// sockets: the contract the other integration tests build on (they cover the nodes themselves).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <open62541/client_config_default.h>
#include <open62541/client_highlevel.h>
#include <open62541/plugin/log_stdout.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <cerrno>
#include <memory>
#include <string>
#include <string_view>

#include "tcp_proxy.h"
#include "test_server.h"
#include "unique_fd.h"

namespace ualib_test {
namespace {

using namespace std::chrono_literals;

using ClientPtr = std::unique_ptr<UA_Client, decltype(&UA_Client_delete)>;

ClientPtr NewClient() {
  UA_ClientConfig config{};
  config.logging = UA_Log_Stdout_new(UA_LOGLEVEL_ERROR);
  UA_ClientConfig_setDefault(&config);
  return {UA_Client_newWithConfig(&config), &UA_Client_delete};
}

// An open62541 value that is cleared when it goes out of scope.
template <typename T>
struct Owned {
  Owned(T initial, const UA_DataType* dataType) : value(initial), type(dataType) {}
  ~Owned() { UA_clear(&value, type); }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  T value;
  const UA_DataType* type;
};

bool ReadsScalarInt32(UA_Client* client) {
  Owned<UA_Variant> value({}, &UA_TYPES[UA_TYPES_VARIANT]);
  UA_NodeId node = UA_NODEID_STRING(1, const_cast<char*>("Scalar.Int32"));
  return UA_Client_readValueAttribute(client, node, &value.value) == UA_STATUSCODE_GOOD &&
         UA_Variant_hasScalarType(&value.value, &UA_TYPES[UA_TYPES_INT32]);
}

// True when this process has no child left, neither running nor unreaped.
bool NoChildProcess() {
  siginfo_t info{};
  return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 && errno == ECHILD;
}

sockaddr_in Loopback(uint16_t port) {
  return {.sin_family = AF_INET, .sin_port = htons(port), .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
}

sockaddr* AsSockaddr(sockaddr_in& address) { return reinterpret_cast<sockaddr*>(&address); }

bool Readable(int fd, std::chrono::milliseconds timeout) {
  pollfd entry{fd, POLLIN, 0};
  return poll(&entry, 1, static_cast<int>(timeout.count())) == 1;
}

// Reads until `size` bytes arrived, the peer closed, or 5 s passed.
std::string Receive(int fd, size_t size) {
  std::string text;
  char byte = 0;
  while (text.size() < size && Readable(fd, 5s) && recv(fd, &byte, 1, 0) == 1) {
    text += byte;
  }
  return text;
}

bool Send(int fd, std::string_view text) {
  return send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

TEST(ServerSmokeTest, AcceptsValidLoginsDirectlyAndThroughTheProxy) {
  TestServer server;
  TcpProxy proxy(server.Port());
  struct LoginCase {
    const char* name;
    const char* user;  // nullptr: anonymous
    const char* password;
    bool viaProxy;
    bool accepted;
  };
  const LoginCase cases[] = {
      {"anonymous", nullptr, nullptr, false, true},
      {"operator", "operator", "secret", false, true},
      {"wrong password", "operator", "wrong", false, false},
      {"anonymous through the proxy", nullptr, nullptr, true, true},
  };
  for (const LoginCase& login : cases) {
    SCOPED_TRACE(login.name);
    const std::string endpoint = login.viaProxy ? proxy.Endpoint() : server.Endpoint();
    ClientPtr client = NewClient();
    UA_StatusCode status = login.user == nullptr
                               ? UA_Client_connect(client.get(), endpoint.c_str())
                               : UA_Client_connectUsername(client.get(), endpoint.c_str(), login.user, login.password);
    ASSERT_EQ(status == UA_STATUSCODE_GOOD, login.accepted) << UA_StatusCode_name(status);
    if (login.accepted) {
      EXPECT_TRUE(ReadsScalarInt32(client.get()));
    }
  }
  // The proxy drops a link once one side has closed it.
  EXPECT_TRUE(WaitFor([&] { return proxy.Connections() == 0; }, 5s));
}

TEST(ServerSmokeTest, RestartsOnTheSamePortAndStopLeavesNoProcess) {
  TestServer server;
  const uint16_t port = server.Port();
  ClientPtr client = NewClient();
  ASSERT_EQ(UA_Client_connect(client.get(), server.Endpoint().c_str()), UA_STATUSCODE_GOOD);

  // The open session leaves the old server's end in TIME_WAIT: the restart has to get past that.
  server.Restart();
  EXPECT_EQ(server.Port(), port);
  UA_Client_disconnect(client.get());
  ASSERT_EQ(UA_Client_connect(client.get(), server.Endpoint().c_str()), UA_STATUSCODE_GOOD);
  EXPECT_TRUE(ReadsScalarInt32(client.get()));

  EXPECT_FALSE(NoChildProcess());  // the check does see a running server
  server.Stop();                   // what the destructor does, too
  EXPECT_FALSE(server.Running());
  EXPECT_TRUE(NoChildProcess());
}

// Paged has more children than the server returns for one node in one Browse.
TEST(ServerSmokeTest, BrowseOfPagedNeedsAContinuationPoint) {
  TestServer server;
  ClientPtr client = NewClient();
  ASSERT_EQ(UA_Client_connect(client.get(), server.Endpoint().c_str()), UA_STATUSCODE_GOOD);

  UA_BrowseDescription description{};
  description.nodeId = UA_NODEID_STRING(1, const_cast<char*>("Paged"));
  UA_BrowseRequest request{};
  request.nodesToBrowse = &description;
  request.nodesToBrowseSize = 1;
  Owned<UA_BrowseResponse> response(UA_Client_Service_browse(client.get(), request),
                                    &UA_TYPES[UA_TYPES_BROWSERESPONSE]);
  ASSERT_EQ(response.value.responseHeader.serviceResult, UA_STATUSCODE_GOOD);
  ASSERT_EQ(response.value.resultsSize, 1u);
  EXPECT_GT(response.value.results[0].continuationPoint.length, 0u);
}

TEST(TcpProxyTest, ForwardsHoldsWhileFrozenDeliversAfterThawAndCuts) {
  UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof(address);
  ASSERT_EQ(bind(listener.Get(), AsSockaddr(address), length), 0);
  ASSERT_EQ(listen(listener.Get(), 1), 0);
  ASSERT_EQ(getsockname(listener.Get(), AsSockaddr(address), &length), 0);
  TcpProxy proxy(ntohs(address.sin_port));
  UniqueFd client(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  address = Loopback(proxy.Port());
  ASSERT_EQ(connect(client.Get(), AsSockaddr(address), length), 0);
  ASSERT_TRUE(Readable(listener.Get(), 5s));
  UniqueFd target(accept(listener.Get(), nullptr, nullptr));
  ASSERT_TRUE(target.Valid());

  ASSERT_TRUE(Send(client.Get(), "ping"));
  EXPECT_EQ(Receive(target.Get(), 4), "ping");

  proxy.Freeze();
  ASSERT_TRUE(Send(client.Get(), "held"));
  ASSERT_TRUE(Send(target.Get(), "back"));
  // Proving that nothing arrives needs a short window; neither data nor FIN/RST may show.
  EXPECT_FALSE(Readable(target.Get(), 100ms));
  EXPECT_FALSE(Readable(client.Get(), 100ms));
  EXPECT_EQ(proxy.Connections(), 1u);

  proxy.Thaw();
  EXPECT_EQ(Receive(target.Get(), 4), "held");
  EXPECT_EQ(Receive(client.Get(), 4), "back");

  proxy.Cut();
  EXPECT_EQ(proxy.Connections(), 0u);
  EXPECT_EQ(Receive(client.Get(), 1), "");
  EXPECT_EQ(Receive(target.Get(), 1), "");
}

}  // namespace
}  // namespace ualib_test
