// quarlink-demo-server --port N [--state-delay-ms N] [--omit NAME]... [--parent-pid PID]
//                      [--wide N] [--page-size N] [--secure DIR] [--operation-limit N]
//                      [--tree N] [--fast N] [--sign-password-policy NAME]
//
// The demo server: serves the demo address space (test_model.h; the command-line
// tool and the integration tests use it) on 127.0.0.1 only, prints "READY <port>"
// once it accepts connections, and exits with 0 on SIGTERM/SIGINT or when the
// parent process is gone. Exit codes: 1 internal error, 2 bad usage,
// 3 the port cannot be listened on.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <open62541/plugin/accesscontrol_default.h>
#include <open62541/server.h>
#include <open62541/server_config_default.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "command_line.h"
#include "hostile_model.h"
#include "server_certificate.h"
#include "test_model.h"

namespace quarlink_demo {
namespace {

constexpr int kExitInternalError = 1;
constexpr int kExitUsage = 2;
constexpr int kExitPortBusy = 3;
constexpr int kFreePortAttempts = 5;
constexpr auto kParentPollInterval = std::chrono::milliseconds(100);

volatile std::sig_atomic_t g_stopRequested = 0;

extern "C" void RequestStop(int) { g_stopRequested = 1; }

void InstallSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = RequestStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

// Errors only by default: the stack warns about much that is deliberate here
// (passwords over SecurityPolicy None, the tiny reference limit, interrupted
// polls on stop). UALIB_TEST_SERVER_LOG=trace|debug|info|warning shows more.
// Never on stdout: stdout carries the READY line.
UA_LogLevel MinimumLogLevel() {
  const char* setting = std::getenv("UALIB_TEST_SERVER_LOG");
  const std::string level = setting != nullptr ? setting : "";
  if (level == "trace") return UA_LOGLEVEL_TRACE;
  if (level == "debug") return UA_LOGLEVEL_DEBUG;
  if (level == "info") return UA_LOGLEVEL_INFO;
  if (level == "warning") return UA_LOGLEVEL_WARNING;
  return UA_LOGLEVEL_ERROR;
}

const UA_LogLevel g_minimumLogLevel = MinimumLogLevel();

void LogToStderr(void*, UA_LogLevel level, UA_LogCategory, const char* message, va_list args) {
  if (level < g_minimumLogLevel) {
    return;
  }
  std::fputs("quarlink-demo-server: ", stderr);
  std::vfprintf(stderr, message, args);
  std::fputc('\n', stderr);
}

UA_Logger g_logger{LogToStderr, nullptr, nullptr};

struct ServerDeleter {
  void operator()(UA_Server* server) const { UA_Server_delete(server); }
};
using ServerPtr = std::unique_ptr<UA_Server, ServerDeleter>;

// Owns a config until the server takes it over.
class ConfigGuard {
 public:
  explicit ConfigGuard(UA_ServerConfig& config) : config_(&config) {}
  ~ConfigGuard() {
    if (config_ != nullptr) {
      UA_ServerConfig_clean(config_);
    }
  }
  ConfigGuard(const ConfigGuard&) = delete;
  ConfigGuard& operator=(const ConfigGuard&) = delete;
  void Release() { config_ = nullptr; }

 private:
  UA_ServerConfig* config_;
};

struct Socket {
  int fd = -1;
  ~Socket() {
    if (fd >= 0) {
      close(fd);
    }
  }
};

sockaddr_in LoopbackAddress(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

// Binding decides whether the port is available: with SO_REUSEADDR (as the
// server uses it) only a listening socket blocks it, lingering closed ones do not.
bool CanBind(uint16_t port, uint16_t* boundPort = nullptr) {
  Socket probe{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  if (probe.fd < 0) {
    return false;
  }
  int on = 1;
  setsockopt(probe.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in address = LoopbackAddress(port);
  if (bind(probe.fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(probe.fd, 1) != 0) {
    return false;
  }
  socklen_t length = sizeof(address);
  if (boundPort != nullptr && getsockname(probe.fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    *boundPort = ntohs(address.sin_port);
  }
  return true;
}

UA_StatusCode ListenOnlyOnLoopback(UA_ServerConfig& config, uint16_t port) {
  UA_Array_delete(config.serverUrls, config.serverUrlsSize, &UA_TYPES[UA_TYPES_STRING]);
  config.serverUrls = nullptr;
  config.serverUrlsSize = 0;
  std::string url = "opc.tcp://127.0.0.1:" + std::to_string(port);
  UA_String urlString = UA_STRING(url.data());
  return UA_Array_appendCopy(reinterpret_cast<void**>(&config.serverUrls), &config.serverUrlsSize, &urlString,
                             &UA_TYPES[UA_TYPES_STRING]);
}

// Lets a test see what a client does when a server asks for the password on a
// sign endpoint under another policy than the channel's (None: in clear).
UA_StatusCode NamePasswordPolicyOnSignEndpoints(UA_ServerConfig& config, const std::string& policy) {
  const std::string uri = "http://opcfoundation.org/UA/SecurityPolicy#" + policy;
  UA_StatusCode status = UA_STATUSCODE_GOOD;
  for (size_t i = 0; i < config.endpointsSize; ++i) {
    UA_EndpointDescription& endpoint = config.endpoints[i];
    if (endpoint.securityMode != UA_MESSAGESECURITYMODE_SIGN) {
      continue;
    }
    status |=
        UA_Array_copy(config.accessControl.userTokenPolicies, config.accessControl.userTokenPoliciesSize,
                      reinterpret_cast<void**>(&endpoint.userIdentityTokens), &UA_TYPES[UA_TYPES_USERTOKENPOLICY]);
    endpoint.userIdentityTokensSize = config.accessControl.userTokenPoliciesSize;
    for (size_t j = 0; status == UA_STATUSCODE_GOOD && j < endpoint.userIdentityTokensSize; ++j) {
      UA_UserTokenPolicy& token = endpoint.userIdentityTokens[j];
      if (token.tokenType == UA_USERTOKENTYPE_USERNAME) {
        UA_String_clear(&token.securityPolicyUri);
        token.securityPolicyUri = UA_String_fromChars(uri.c_str());
      }
    }
  }
  return status;
}

UA_StatusCode ConfigureServer(UA_ServerConfig& config, uint16_t port, const std::string& secureDir,
                              uint32_t operationLimit, uint32_t maxSubscriptions,
                              const std::string& signPasswordPolicy) {
  config.logging = &g_logger;
  UA_StatusCode status = secureDir.empty() ? UA_ServerConfig_setMinimal(&config, port, nullptr)
                                           : ConfigureSecureServer(config, port, secureDir);
  if (status != UA_STATUSCODE_GOOD) {
    return status;
  }
  status = ListenOnlyOnLoopback(config, port);
  if (status != UA_STATUSCODE_GOOD) {
    return status;
  }
  // Restarting on the same port right after a stop must not wait for TIME_WAIT.
  config.tcpReuseAddr = true;
  // Sampling interval 0 means "sample on every write" (see the Burst method);
  // the stock lower limit of 50 ms would revise it away.
  config.samplingIntervalLimits.min = 0.0;
  config.publishingIntervalLimits.min = 10.0;
  config.queueSizeLimits.max = 100'000;
  // Advertised in the server's OperationLimits; a larger request is refused whole.
  config.maxNodesPerRead = config.maxNodesPerWrite = config.maxNodesPerBrowse = operationLimit;
  config.maxMonitoredItemsPerCall = operationLimit;
  config.maxSubscriptions = maxSubscriptions;  // 0: no limit

  // The test suites log in anonymously and as operator; the server has only
  // SecurityPolicy None, so the password has to be allowed in plain text.
  config.allowNonePolicyPassword = true;
  UA_UsernamePasswordLogin login{UA_STRING(const_cast<char*>("operator")), UA_STRING(const_cast<char*>("secret"))};
  status = UA_AccessControl_default(&config, true, nullptr, 1, &login);
  if (status != UA_STATUSCODE_GOOD || signPasswordPolicy.empty()) {
    return status;
  }
  return NamePasswordPolicyOnSignEndpoints(config, signPasswordPolicy);
}

// A server that enforces limits it does not tell: clients learn them only from refusals.
void HideOperationLimits(UA_Server* server) {
  for (const UA_UInt32 id : {UA_NS0ID_SERVER_SERVERCAPABILITIES_OPERATIONLIMITS_MAXNODESPERREAD,
                             UA_NS0ID_SERVER_SERVERCAPABILITIES_OPERATIONLIMITS_MAXNODESPERWRITE,
                             UA_NS0ID_SERVER_SERVERCAPABILITIES_OPERATIONLIMITS_MAXMONITOREDITEMSPERCALL,
                             UA_NS0ID_SERVER_SERVERCAPABILITIES_OPERATIONLIMITS_MAXNODESPERBROWSE})
    UA_Server_deleteNode(server, UA_NODEID_NUMERIC(0, id), true);
}

ServerPtr CreateServer(uint16_t port, uint32_t pageSize, const std::string& secureDir, uint32_t operationLimit,
                       uint32_t maxSubscriptions, const std::string& signPasswordPolicy, HostileModel* hostile) {
  UA_ServerConfig config;
  std::memset(&config, 0, sizeof(config));
  ConfigGuard guard(config);
  UA_StatusCode status = ConfigureServer(config, port, secureDir, operationLimit, maxSubscriptions, signPasswordPolicy);
  if (status != UA_STATUSCODE_GOOD) {
    std::fprintf(stderr, "quarlink-demo-server: configuration failed: %s\n", UA_StatusCode_name(status));
    return nullptr;
  }
  if (hostile != nullptr) hostile->Configure(config);
  ServerPtr server(UA_Server_newWithConfig(&config));
  if (!server) {
    return nullptr;
  }
  guard.Release();
  // Small, so that Browse of a node with many children needs BrowseNext. Set
  // only now: building namespace 0 browses internally and fails with the limit.
  UA_Server_getConfig(server.get())->maxReferencesPerNode = pageSize;
  return server;
}

bool ParentGone(pid_t parent, pid_t originalParent) {
  // A child is re-parented as soon as its parent exits, even before it is reaped.
  if (parent == originalParent && getppid() != parent) {
    return true;
  }
  return kill(parent, 0) != 0 && errno == ESRCH;
}

void ServeUntilStopped(UA_Server* server, std::optional<pid_t> parent, HostileModel* hostile) {
  const pid_t originalParent = getppid();
  auto nextParentCheck = std::chrono::steady_clock::now();
  while (g_stopRequested == 0) {
    UA_Server_run_iterate(server, true);
    if (hostile != nullptr) hostile->Poll(server);
    if (parent && std::chrono::steady_clock::now() >= nextParentCheck) {
      if (ParentGone(*parent, originalParent)) {
        return;
      }
      nextParentCheck = std::chrono::steady_clock::now() + kParentPollInterval;
    }
  }
}

int Run(const CommandLine& commandLine) {
  // Outlives the server.
  TestModel model(commandLine.stateDelay, commandLine.omit, commandLine.wideChildren,
                  {commandLine.treeNodes, commandLine.fastCount});
  std::unique_ptr<HostileModel> hostile;
  if (commandLine.hostile)
    hostile = std::make_unique<HostileModel>(HostileTiming{commandLine.slowCall, commandLine.dropSubscriptions});
  for (int attempt = 1;; ++attempt) {
    uint16_t port = commandLine.port;
    if (!CanBind(port, &port)) {
      std::fprintf(stderr, "quarlink-demo-server: port %u is busy\n", commandLine.port);
      return kExitPortBusy;
    }
    ServerPtr server = CreateServer(port, commandLine.pageSize, commandLine.secureDir, commandLine.operationLimit,
                                    commandLine.maxSubscriptions, commandLine.signPasswordPolicy, hostile.get());
    if (!server) {
      return kExitInternalError;
    }
    model.Build(server.get());
    if (hostile) hostile->Build(server.get());
    if (!commandLine.limitsAdvertised) HideOperationLimits(server.get());
    if (UA_Server_run_startup(server.get()) != UA_STATUSCODE_GOOD) {
      // With port 0 another process may have taken the chosen port meanwhile.
      if (commandLine.port == 0 && attempt < kFreePortAttempts) {
        continue;
      }
      std::fprintf(stderr, "quarlink-demo-server: cannot listen on port %u\n", port);
      return kExitPortBusy;
    }
    if (model.StartTicking(server.get()) != UA_STATUSCODE_GOOD) {
      UA_Server_run_shutdown(server.get());
      return kExitInternalError;
    }
    if (hostile) hostile->Start(port);
    std::printf("READY %u\n", port);
    std::fflush(stdout);
    ServeUntilStopped(server.get(), commandLine.parentPid, hostile.get());
    if (hostile) hostile->Stop(server.get());
    UA_Server_run_shutdown(server.get());
    return 0;
  }
}

}  // namespace
}  // namespace quarlink_demo

constexpr const char* kUsage =
    "usage: quarlink-demo-server --port N [--state-delay-ms N] [--omit NAME]... [--parent-pid PID] [--wide N]\n"
    "                            [--page-size N] [--secure DIR] [--operation-limit N] [--tree N] [--fast N]\n"
    "                            [--sign-password-policy NAME] [--hostile [--slow-call-ms N]\n"
    "                            [--drop-subscriptions-ms N]]\n";

int main(int argc, char** argv) {
  using namespace quarlink_demo;
  std::string error;
  std::optional<CommandLine> commandLine = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), error);
  if (!commandLine) {
    std::fprintf(stderr, "quarlink-demo-server: %s\n%s", error.c_str(), kUsage);
    return kExitUsage;
  }
  if (commandLine->help) {
    std::fputs(kUsage, stdout);
    std::fputs(
        "A demo OPC UA server on 127.0.0.1 (port 0: a free one); prints READY <port> once it accepts\n"
        "connections and stops on SIGINT/SIGTERM or when the --parent-pid process is gone.\n",
        stdout);
    return 0;
  }
  InstallSignalHandlers();
  try {
    return Run(*commandLine);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quarlink-demo-server: %s\n", e.what());
    return kExitInternalError;
  }
}
