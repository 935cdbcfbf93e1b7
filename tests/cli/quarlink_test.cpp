// The command-line tool end to end: the real quarlink binary against the demo server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_server.h"
#include "unique_fd.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using ualib_test::TestServer;
using ualib_test::UniqueFd;
using ualib_test::WaitFor;

// One run of the tool; stdout and stderr go to memory files that can be read while
// it runs (pread leaves the offset the tool writes at alone).
class Tool {
 public:
  explicit Tool(std::vector<std::string> args, const std::string& password = "")
      : out_(memfd_create("stdout", MFD_CLOEXEC)), err_(memfd_create("stderr", MFD_CLOEXEC)) {
    args.insert(args.begin(), QUARLINK_PATH);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      if (std::string(*entry).rfind("QUARLINK_PASSWORD=", 0) != 0) env.emplace_back(*entry);
    }
    if (!password.empty()) env.push_back("QUARLINK_PASSWORD=" + password);
    std::vector<char*> envp;
    for (std::string& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_.Get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err_.Get(), STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    if (posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Tool() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      Wait();
    }
  }

  // The exit code, or -1 when the tool did not end within a minute (it is killed).
  int Wait() {
    int status = 0;
    const bool ended = WaitFor([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, 60s, 10ms);
    if (!ended) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  void Signal(int signal) const { kill(pid_, signal); }
  std::string Out() const { return Read(out_); }
  std::string Err() const { return Read(err_); }

 private:
  static std::string Read(const UniqueFd& fd) {
    std::string text;
    char buffer[4096];
    ssize_t count = 0;
    while ((count = pread(fd.Get(), buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0) {
      text.append(buffer, static_cast<size_t>(count));
    }
    return text;
  }

  UniqueFd out_;
  UniqueFd err_;
  pid_t pid_ = -1;
};

bool Refuses(uint16_t port) {
  UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && errno == ECONNREFUSED;
}

// A loopback listener that is no OPC UA server: with an answer, every connection gets
// it and is closed; without, connections wait in the backlog and are never answered.
class Listener {
 public:
  explicit Listener(std::string answer) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd_.Get(), reinterpret_cast<sockaddr*>(&address), length);
    listen(fd_.Get(), 8);
    getsockname(fd_.Get(), reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    if (answer.empty()) return;
    thread_ = std::thread([this, answer] {
      for (;;) {
        UniqueFd peer(accept4(fd_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!peer.Valid()) return;  // shut down
        char request[256];
        if (read(peer.Get(), request, sizeof request) > 0) (void)!write(peer.Get(), answer.data(), answer.size());
      }
    });
  }
  ~Listener() {
    shutdown(fd_.Get(), SHUT_RDWR);  // wakes the accept
    if (thread_.joinable()) thread_.join();
  }
  std::string Endpoint() const { return "opc.tcp://127.0.0.1:" + std::to_string(port_); }

 private:
  UniqueFd fd_;
  uint16_t port_ = 0;
  std::thread thread_;
};

class QuarlinkTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server = std::make_unique<TestServer>(); }
  static void TearDownTestSuite() { server.reset(); }
  static std::unique_ptr<TestServer> server;
};
std::unique_ptr<TestServer> QuarlinkTest::server;

struct Case {
  const char* name;
  std::vector<std::string> args;  // "{E}" stands for the server's endpoint
  int exitCode;
  const char* out;  // regular expressions searched for; with --json in args, in each line re-dumped
  const char* err;
  const char* password = "";
};

// In order: a row may depend on what an earlier one wrote.
TEST_F(QuarlinkTest, SubcommandsExitCodesAndOutput) {
  const std::string unreachable = "opc.tcp://127.0.0.1:" + std::to_string(ualib_test::FreeLoopbackPort());
  const Case cases[] = {
      {"--demo starts the demo server beside the tool",
       {"--demo", "status"},
       0,
       "state +Connected\nadapter +velk::quarlink::Client",
       "started the demo server at opc.tcp://127.0.0.1:\\d+"},
      {"an empty endpoint never falls back to the demo server",
       {"-e", "", "write", "ns=1;s=Scalar.Int16=1"},
       2,
       "^$",
       "^quarlink: no server given: -e opc.tcp://HOST:PORT \\(an empty -e is refused\\), or --demo"},
      {"endpoints: one line per endpoint, without a session",
       {"-e", "{E}", "endpoints"},
       0,
       "\nopc.tcp://127.0.0.1:\\d+ +None +None +Anonymous,UserName +- +-\n$",
       "^$"},
      {"servers --json",
       {"-e", "{E}", "--json", "servers"},
       0,
       "^\\{\"application_uri\":\"urn:[^\"]+\",.*\"application_type\":\"Server\".*\"discovery_urls\":\\[\"opc",
       "^$"},
      {"server text reaches the terminal with its control characters escaped",
       {"-e", "{E}", "read",
        "ns=1;s=\x1b]0;title\x07\xc2\x9b"
        "2J"},
       1,
       "^ns=1;s=\\\\u001b\\]0;title\\\\u0007\\\\u009b2J +- +- +NotFound",
       "^$"},
      {"an unknown -o key is refused with the close matches",
       {"-e", "{E}", "-o", "reconect_interval_ms=100", "status"},
       2,
       "^$",
       "^quarlink: -o reconect_interval_ms: no such connection property \\(did you mean reconnect_interval_ms\\?\\)"},
      {"a bad option word is a usage error naming the accepted words",
       {"-e", "{E}", "-o", "security_mode=signandencrypt", "status"},
       2,
       "^$",
       "accepted are none, sign, sign_and_encrypt\n$"},
      {"browse prints the tree, a cycle shown once",
       {"-e", "{E}", "browse", "-r", "ns=1;s=Cycle.A"},
       0,
       "^Cycle.B  \\[Object\\]  ns=1;s=Cycle.B\n  Cycle.A  \\[Object\\]  ns=1;s=Cycle.A\n$",
       "^$"},
      {"browse --depth stops descending; --paths prints browse paths",
       {"-e", "{E}", "browse", "--depth", "2", "--paths", "ns=1;s=Tree"},
       0,
       "^(?![\\s\\S]*\\[Variable\\])/Tree.F0  \\[Object\\]  ns=1;s=Tree.F0\n/Tree.F0/Tree.F0.N0  \\[Object\\]  "
       "ns=1;s=Tree.F0.N0\n",
       "^$"},
      {"browse --json, one object per node",
       {"-e", "{E}", "--json", "browse", "ns=1;s=Robot", "--values"},
       0,
       "\\{\"address\":\"ns=1;s=BurstValue\".*\"node_class\":\"Variable\".*\"value\":0,\"type\":\"Int32\"\\}",
       "^$"},
      {"write takes the type from the node",
       {"-e", "{E}", "write", "ns=1;s=Scalar.Int16=-7", "ns=1;s=Scalar.String=a=b"},
       0,
       "ns=1;s=Scalar.Int16 +-7 +Int16 +Ok\nns=1;s=Scalar.String +\"a=b\" +String +Ok",
       "^$"},
      {"a value that does not fit is a usage error before anything is sent",
       {"-e", "{E}", "write", "ns=1;s=Scalar.Int16=5", "ns=1;s=Scalar.Byte=300"},
       2,
       "^$",
       "^quarlink: ns=1;s=Scalar.Byte: '300' is not a valid Byte \\(accepted: an integer from 0 to 255; an array: "
       "a JSON array such as \\[1, 2\\]\\)\n$"},
      {"where the node's type decides, a type prefix is refused, not stripped",
       {"-e", "{E}", "write", "ns=1;s=Scalar.String=String:hello"},
       2,
       "^$",
       "decides the type: .* \\(a string that starts with it is written as a JSON string: \"String:...\"\\)"},
      {"a text starting with [ is JSON: a broken array is refused, not written as a string",
       {"-e", "{E}", "write", "ns=1;s=Scalar.String=[a, b"},
       2,
       "^$",
       "'\\[a, b' is not a valid String: not valid JSON \\(accepted: "},
      {"JSON strings keep their commas and spaces; NaN and infinities are written by name",
       {"-e", "{E}", "write", "ns=1;s=Array.String=[\"a,b\", \" c \"]", "ns=1;s=Scalar.String=\"[x]\"",
        "ns=1;s=Scalar.Double=NaN", "ns=1;s=Scalar.Float=-Infinity"},
       0,
       "String +\\[\"a,b\", \" c \"\\] +String\\[\\] +Ok\n.*\"\\[x\\]\" +String +Ok\n.* NaN +Double +Ok\n"
       ".* -Infinity +Float +Ok",
       "^$"},
      {"arrays take JSON numbers and booleans of the node's type; an empty array is one",
       {"-e", "{E}", "write", "ns=1;s=Array.Int32.1=[-2147483648, 2147483647]", "ns=1;s=Array.String=[]",
        "ns=1;s=Scalar.String=  two spaces"},
       0,
       "\\[-2147483648, 2147483647\\] +Int32\\[\\] +Ok\n.*\\[\\] +String\\[\\] +Ok\n.*\"  two spaces\" +String +Ok",
       "^$"},
      {"a quoted number is a string, not a number",
       {"-e", "{E}", "write", "ns=1;s=Scalar.Int32=\"5\""},
       2,
       "^$",
       "'\"5\"' is not a valid Int32 \\(accepted: an integer"},
      {"an array element outside the type is refused",
       {"-e", "{E}", "write", "ns=1;s=Array.Int32.1=[1, 2147483648]"},
       2,
       "^$",
       "'\\[1, 2147483648\\]' is not a valid Int32 array"},
      {"status --json names the session's security",
       {"-e", "{E}", "--json", "status"},
       0,
       "\"security\":\\{\"mode\":\"None\",\"policy\":\"None\",\"server_certificate_sha1\":null\\}",
       "^$"},
      {"--json prints NaN and the infinities as strings",
       {"-e", "{E}", "--json", "read", "ns=1;s=Scalar.Double", "ns=1;s=Scalar.Float"},
       0,
       "\"value\":\"NaN\",\"type\":\"Double\".*\n.*\"value\":\"-Infinity\",\"type\":\"Float\"",
       "^$"},
      {"read: value, type, result; a failed item exits 1",
       {"-e", "{E}", "read", "ns=1;s=Scalar.Int16", "ns=1;s=Nope"},
       1,
       "ns=1;s=Scalar.Int16 +-7 +Int16 +Ok\nns=1;s=Nope +- +- +NotFound \\(BadNodeIdUnknown\\)",
       "^$"},
      {"read --json",
       {"-e", "{E}", "--json", "read", "ns=1;s=Scalar.UInt64"},
       0,
       "\"value\":18000000000000000000,\"type\":\"UInt64\",\"result\":\"Ok\"",
       "^$"},
      {"an array is written as a list of the node's type and read back as one",
       {"-e", "{E}", "write", "ns=1;s=Array.Int32.1=[4, 5]"},
       0,
       "ns=1;s=Array.Int32.1 +\\[4, 5\\] +Int32\\[\\] +Ok",
       "^$"},
      {"arrays read as lists", {"-e", "{E}", "read", "ns=1;s=Array.Int32.1"}, 0, "\\[4, 5\\] +Int32\\[\\]", "^$"},
      {"typed values read in their text forms",
       {"-e", "{E}", "read", "ns=1;s=Scalar.DateTime", "ns=1;s=Typed.Recipe"},
       0,
       "2023-11-14T22:13:20Z +DateTime +Ok\n.*\\{name: bread, origin\\.x: 10, origin\\.y: -20\\.25, batch: 7, "
       "steps\\[0\\]: 1\\.5, steps\\[1\\]: 2\\.5, steps\\[2\\]: -3\\} +Recipe +Ok",
       "^$"},
      {"call prints the outputs",
       {"-e", "{E}", "call", "ns=1;s=Robot.Add", "Double:1.5", "Double:2"},
       0,
       "output 0 +3.5 +Double",
       "^$"},
      {"call arguments need their type",
       {"-e", "{E}", "call", "ns=1;s=Robot.Add", "1.5"},
       2,
       "^$",
       "needs its type: TYPE:VALUE"},
      {"datatype",
       {"-e", "{E}", "datatype", "ns=1;s=Scalar.UInt16", "ns=1;s=Scalar.DateTime"},
       0,
       "ns=1;s=Scalar.UInt16 +UInt16 +Ok\nns=1;s=Scalar.DateTime +- +Ok",
       "^$"},
      {"subscribe --for delivers values and ends by itself",
       {"-e", "{E}", "subscribe", "ns=1;s=Counter", "--for", "2", "--sampling", "50", "--publishing", "50"},
       0,
       "ns=1;s=Counter +\\d+ +Int32 +Ok +\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z\n",
       "^$"},
      {"user and password from the environment; the warning shows without --log-level",
       {"-e", "{E}", "-u", "operator", "read", "ns=1;s=Scalar.Int16"},
       0,
       "Ok",
       "^[^\n]*Security warning for opc.tcp://[^ ]+: the password travels unencrypted \\(security_mode none\\)\n$",
       "secret"},
      {"a wrong password cannot connect",
       {"-e", "{E}", "-u", "operator", "--log-level", "error", "status"},
       3,
       "^$",
       "travels unencrypted(.|\n)*quarlink: cannot connect to .*: BadUserAccessDenied \\(check the user name and "
       "password\\)\n$",
       "wrong"},
      {"the password is never an argument",
       {"-e", "{E}", "-o", "password=secret", "status"},
       2,
       "^$",
       "never taken from the command line"},
      {"read --attribute takes OPC UA names in any case; --timestamps adds both times",
       {"-e", "{E}", "--json", "read", "--attribute", "displayname", "--timestamps", "ns=1;s=Scalar.Int16"},
       0,
       "^\\{\"address\":\"ns=1;s=Scalar.Int16\",\"value\":\"Scalar.Int16\",\"type\":\"LocalizedText\",\"result\":"
       "\"Ok\",\"message\":\"\",\"source_time\":(null|\"[^\"]+\"),\"server_time\":\"\\d{4}-\\d\\d-\\d\\dT[\\d:.]+Z\"\\}"
       "\n$",
       "^$"},
      {"read --timestamps: the source and the server time of each value",
       {"-e", "{E}", "read", "--timestamps", "ns=1;s=Scalar.Int16"},
       0,
       "^ns=1;s=Scalar.Int16 +-?\\d+ +Int16 +Ok +\\d{4}-\\d\\d-\\d\\dT[\\d:.]+Z +\\d{4}-\\d\\d-\\d\\dT[\\d:.]+Z\n$",
       "^$"},
      {"cert show creates the client certificate where none is, without a server",
       {"--json", "cert", "show", "-o", "certificate={T}/client.der", "-o", "private_key={T}/client.key", "-o",
        "application_uri=urn:test:quarlink"},
       0,
       "^\\{\"certificate\":\"[^\"]+/client.der\",\"created\":true,\"sha1_thumbprint\":\"[0-9A-F]{40}\",\"subject\":"
       "\"CN=quarlink@[^\"]+\",\"application_uri\":\"urn:test:quarlink\",\"not_before\":\"\\d{4}-[^\"]+Z\",\"not_"
       "after\""
       ":\"\\d{4}-[^\"]+Z\"\\}\n$",
       "^$"},
      {"cert show loads it again, its URI from the certificate",
       {"cert", "show", "-o", "certificate={T}/client.der", "-o", "private_key={T}/client.key"},
       0,
       "^certificate +[^\n]+/client.der\nSHA-1 thumbprint +[0-9A-F]{40}\n.*\napplication URI +urn:test:quarlink\n",
       "^$"},
      {"cert show without certificate files is a usage error",
       {"cert", "show"},
       2,
       "^$",
       "^quarlink: cert show needs -o certificate=PATH -o private_key=PATH"},
      {"a missing node is a usage error", {"read"}, 2, "^$", "^quarlink: node is required"},
      {"--version", {"--version"}, 0, "^quarlink \\d+\\.\\d+\\.\\d+", "^$"},
      {"the bash completion knows every subcommand and -o key",
       {"--bash-completion"},
       0,
       "case \\$word in browse\\|[^)]*\\|endpoints\\|servers\\|[\\s\\S]*reconnect_interval_ms= [\\s\\S]*\n    cert\\) "
       "words=\"\\$global [^\"]*show ",
       "^$"},
      {"the man page has a section per command, cert show included",
       {"--man-page"},
       0,
       "\n\\.SS read \\\\fInode\\\\fR\n[\\s\\S]*\n\\.SS cert show\n",
       "^$"},
      {"an unreachable endpoint: exit 3 and one line",
       {"-e", unreachable, "status"},
       3,
       "^$",
       "^quarlink: cannot connect to opc.tcp://127.0.0.1:\\d+: Bad\\w+ \\(is the server running\\?\\)\n$"},
  };
  std::string folder = (std::filesystem::temp_directory_path() / "quarlink-test-XXXXXX").string();
  ASSERT_NE(mkdtemp(folder.data()), nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = c.args;
    for (std::string& arg : args) {
      if (arg == "{E}") arg = server->Endpoint();
      if (const size_t at = arg.find("{T}"); at != std::string::npos) arg.replace(at, 3, folder);
    }
    Tool tool(args, c.password);
    EXPECT_EQ(tool.Wait(), c.exitCode);
    std::string out = tool.Out();
    if (std::find(args.begin(), args.end(), "--json") != args.end()) {
      std::istringstream lines(out);
      out.clear();
      for (std::string line; std::getline(lines, line);) out += nlohmann::ordered_json::parse(line).dump() + "\n";
    }
    EXPECT_TRUE(std::regex_search(out, std::regex(c.out))) << out;
    EXPECT_TRUE(std::regex_search(tool.Err(), std::regex(c.err))) << tool.Err();
  }
  std::filesystem::remove_all(folder);
}

TEST_F(QuarlinkTest, SigintEndsSubscribeCleanlyAndStopsTheDemoServer) {
  Tool tool({"--demo", "subscribe", "ns=1;s=Counter", "--sampling", "50"});
  ASSERT_TRUE(WaitFor([&] { return tool.Out().find("ns=1;s=Counter") != std::string::npos; }, 30s)) << tool.Err();
  tool.Signal(SIGINT);
  EXPECT_EQ(tool.Wait(), 0);
  std::smatch port;
  const std::string err = tool.Err();
  ASSERT_TRUE(std::regex_search(err, port, std::regex("started the demo server at opc.tcp://127.0.0.1:(\\d+)\n$")))
      << err;
  EXPECT_TRUE(Refuses(static_cast<uint16_t>(std::stoi(port[1]))));
}

TEST_F(QuarlinkTest, StepsThatCannotBeCancelledEndOnTimeoutOrSigint) {
  Listener http("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
  Listener silent("");
  const Case cases[] = {
      {"a port that answers something else",
       {"-e", http.Endpoint(), "status"},
       3,
       "^$",
       "^quarlink: not an OPC UA server at opc.tcp://127.0.0.1:\\d+ \\(something answered, but not in OPC UA"},
      {"--timeout bounds the connect",
       {"-e", silent.Endpoint(), "--timeout", "300", "status"},
       3,
       "^$",
       "^quarlink: cannot connect to opc.tcp://127.0.0.1:\\d+: no answer within --timeout 300 ms\n$"},
      {"--timeout bounds a call",
       {"-e", server->Endpoint(), "--timeout", "200", "call", "ns=1;s=Robot.Sleep", "UInt32:1000"},
       1,
       "^$",
       // Either bound may speak first on a loaded machine; both end the run at once.
       "^quarlink: (call ns=1;s=Robot.Sleep failed: Timeout|no answer within --timeout 200 ms)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Tool tool(c.args);
    EXPECT_EQ(tool.Wait(), c.exitCode);
    EXPECT_TRUE(std::regex_search(tool.Out(), std::regex(c.out))) << tool.Out();
    EXPECT_TRUE(std::regex_search(tool.Err(), std::regex(c.err))) << tool.Err();
  }

  Tool connecting({"-e", silent.Endpoint(), "--log-level", "debug", "status"});
  ASSERT_TRUE(WaitFor([&] { return connecting.Err().find("opening NEW shared session") != std::string::npos; }, 30s))
      << connecting.Err();
  connecting.Signal(SIGINT);
  EXPECT_EQ(connecting.Wait(), 130);
  // The connect goes on logging on its own thread until the process ends, so the
  // message need not be the last line.
  EXPECT_TRUE(std::regex_search(connecting.Err(), std::regex("(^|\n)quarlink: interrupted\n"))) << connecting.Err();
}

}  // namespace
