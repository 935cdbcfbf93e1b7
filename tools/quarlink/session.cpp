#include "session.h"

#include <poll.h>
#include <termios.h>
#include <tessel/fnd/log.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "errors.h"
#include "output.h"
#include "properties.h"
#include "values.h"

namespace quarlink {
namespace {

using tessel::fnd::defs::ConnectionOptions;
using tessel::fnd::defs::ResultCode;

constexpr const char* kPasswordVariable = "QUARLINK_PASSWORD";

constexpr int kWarningLevel = 30;

// The library's lines on stderr, unchanged: they are already complete log lines.
// Its security warnings (a password in clear, an unchecked server) show whatever
// the chosen level.
class StderrLogger final : public tessel::fnd::Logger {
 public:
  explicit StderrLogger(int minimum) : minimum_(minimum) { level = std::min(minimum, kWarningLevel); }
  void Emit(int lineLevel, const std::string& line) override {
    const bool security = lineLevel == kWarningLevel && line.find(": Security warning for ") != std::string::npos;
    if (lineLevel >= minimum_ || security) PrintLine(stderr, line);
  }

 private:
  int minimum_;
};

int LogLevelValue(const std::string& name) {
  if (name == "trace") return 0;
  if (name == "debug") return 10;
  if (name == "info") return 20;
  if (name == "warning") return 30;
  if (name == "error") return 40;
  return INT_MAX;  // off: the tool reports failures itself, one line each
}

std::pair<std::string, std::string> SplitOption(const std::string& option) {
  const size_t equals = option.find('=');
  if (equals == std::string::npos || equals == 0) {
    throw UsageError("-o/--option takes KEY=VALUE, not '" + option + "'");
  }
  std::string key = option.substr(0, equals);
  if (key == "password") {
    throw UsageError("the password is never taken from the command line: set " + std::string(kPasswordVariable) +
                     " or let quarlink prompt for it");
  }
  if (key == "username") throw UsageError("give the user name with -u/--user");
  std::string value = option.substr(equals + 1);
  CheckProperty(key, value);
  return {std::move(key), std::move(value)};
}

// Echo stays off only while the password is typed, whatever ends the prompt.
class EchoOff {
 public:
  EchoOff() : active_(tcgetattr(STDIN_FILENO, &saved_) == 0) {
    if (!active_) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  ~EchoOff() {
    if (active_) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  termios saved_{};
  bool active_;
};

// Reads the line in small steps, so a Ctrl-C at the prompt ends it cleanly.
std::string PromptPassword(const std::string& user, const InterruptWatcher& interrupts) {
  std::fprintf(stderr, "Password for %s: ", user.c_str());
  std::fflush(stderr);
  std::string password;
  {
    EchoOff echoOff;
    while (true) {
      if (interrupts.Interrupted()) {
        std::fputc('\n', stderr);
        throw Interrupted();
      }
      pollfd input{STDIN_FILENO, POLLIN, 0};
      if (poll(&input, 1, 100) <= 0) continue;
      char c = 0;
      if (read(STDIN_FILENO, &c, 1) != 1 || c == '\n') break;
      password += c;
    }
  }
  std::fputc('\n', stderr);
  return password;
}

std::string Password(const std::string& user, const InterruptWatcher& interrupts) {
  if (const char* fromEnvironment = std::getenv(kPasswordVariable)) {
    std::string password = fromEnvironment;
    unsetenv(kPasswordVariable);  // the demo server started later need not see it
    return password;
  }
  if (isatty(STDIN_FILENO)) return PromptPassword(user, interrupts);
  throw UsageError("-u " + user + " needs a password: set " + std::string(kPasswordVariable) +
                   " (there is no terminal to ask on)");
}

bool Mentions(const std::string& text, std::initializer_list<const char*> words) {
  for (const char* word : words) {
    if (text.find(word) != std::string::npos) return true;
  }
  return false;
}

// Why Connect failed, in words that name only what can cause it.
std::string ConnectFailure(const std::string& endpoint, const std::string& reason, bool userGiven) {
  const std::string head = "cannot connect to " + endpoint + ": " + reason;
  if (Mentions(reason, {"BadTcpMessageTooLarge", "BadTcpMessageTypeInvalid", "BadTcpInternalError", "BadDecodingError",
                        "BadTcpNotEnoughResources", "BadSecureChannelIdInvalid"})) {
    return "not an OPC UA server at " + endpoint + " (something answered, but not in OPC UA: " + reason + ")";
  }
  if (Mentions(reason, {"ertificate"})) return head + " (a certificate problem)";
  if (Mentions(reason, {"BadUserAccessDenied", "BadIdentityToken"})) {
    return head + (userGiven ? " (check the user name and password)"
                             : " (the server refuses anonymous sessions: give -u USER)");
  }
  if (Mentions(reason, {"BadTimeout"})) return head + " (nothing answered in time: is it an OPC UA server?)";
  if (Mentions(reason, {"BadConnectionRejected", "BadConnectionClosed", "BadNotConnected", "BadCommunicationError"})) {
    return head + " (is the server running?)";
  }
  return head;
}

}  // namespace

const std::vector<std::string>& LogLevelNames() {
  static const std::vector<std::string> names{"off", "trace", "debug", "info", "warning", "error"};
  return names;
}

void ValidateOptions(const GlobalOptions& options, bool needsServer) {
  for (const std::string& option : options.options) SplitOption(option);
  if (!needsServer) return;
  // An empty -e is most often an unset variable in a script: never guess a server.
  if (options.demo) {
    if (!options.endpoint.empty()) throw UsageError("give either --endpoint or --demo, not both");
    return;
  }
  if (options.endpoint.empty()) {
    throw UsageError("no server given: -e opc.tcp://HOST:PORT (an empty -e is refused), or --demo for the demo server");
  }
  if (options.endpoint.rfind("opc.tcp://", 0) != 0) {
    throw UsageError("--endpoint takes an opc.tcp:// URL, not '" + options.endpoint + "'");
  }
}

void InstallLogger(const GlobalOptions& options) {
  // Installed even for "off": without a logger the library's warnings reach stderr.
  tessel::fnd::SetLogger(std::make_shared<StderrLogger>(LogLevelValue(options.logLevel)));
}

tessel::fnd::defs::PropertyMap ConnectionProperties(const GlobalOptions& options) {
  tessel::fnd::defs::PropertyMap properties;
  // Arrays and every other type are worth seeing in a tool; -o typed_values=false
  // (and -o array_values=false) turn them off again.
  properties.Set("array_values", "true");
  properties.Set("typed_values", "true");
  // A tool run is one burst of work: gather items into as few requests as the server
  // allows (-o max_items_per_request=1 sends them one by one again).
  properties.Set("max_items_per_request", "0");
  for (const std::string& option : options.options) {
    auto [key, value] = SplitOption(option);
    properties.Set(std::move(key), std::move(value));
  }
  if (!options.sdkLog.empty()) properties.Set("sdk_log_level", options.sdkLog);
  return properties;
}

Session::Session(const GlobalOptions& options, InterruptWatcher& interrupts, bool connect)
    : interrupts_(interrupts), timeout_(options.timeout), endpoint_(options.endpoint) {
  InstallLogger(options);
  ConnectionOptions connection;
  connection.properties = ConnectionProperties(options);
  if (!options.user.empty() && connect) {
    connection.properties.Set("username", options.user);
    connection.properties.Set("password", Password(options.user, interrupts));
  }
  if (options.demo) {
    demoServer_ = std::make_unique<DemoServer>();
    endpoint_ = demoServer_->Endpoint();
    PrintLine(stderr, "quarlink: started the demo server at " + endpoint_);
  }
  connection.endpoint = endpoint_;
  client_.Configure(connection);
  if (!connect) return;
  // Past the password prompt: nothing left that must be restored before exiting.
  interrupts.ExitOnInterrupt(true);
  if (timeout_.count() > 0) {
    interrupts.ExitAt(std::chrono::steady_clock::now() + timeout_, kExitNoConnection,
                      "quarlink: cannot connect to " + endpoint_ + ": no answer within --timeout " +
                          std::to_string(timeout_.count()) + " ms");
  }
  const tessel::fnd::defs::Result result = client_.Connect();
  interrupts.Disarm();
  if (result.code == ResultCode::InvalidArgument) {
    throw UsageError(endpoint_ + ": " + result.message);  // an option or the URL, not the server
  }
  if (result.code != ResultCode::Ok) {
    const std::string reason = result.message.empty() ? ResultCodeName(result.code) : result.message;
    throw ConnectError(ConnectFailure(endpoint_, reason, !options.user.empty()));
  }
}

Session::~Session() { client_.Disconnect(); }

tessel::fnd::defs::RequestOptions Session::Request() const {
  tessel::fnd::defs::RequestOptions request;
  request.timeout = timeout_;
  request.cancel = interrupts_.Token();
  return request;
}

}  // namespace quarlink
