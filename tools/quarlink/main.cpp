// quarlink: a command-line OPC UA client on the library's public API.
//
// Exit codes: 0 every item succeeded, 1 some item failed (the failures are printed),
// 2 usage error, 3 no connection, 130 interrupted (except subscribe, which ends
// cleanly on SIGINT/SIGTERM with 0).
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "commands.h"
#include "errors.h"
#include "help_export.h"
#include "interrupt.h"
#include "output.h"
#include "session.h"

namespace quarlink {
namespace {

constexpr auto kTimeoutSlack = std::chrono::milliseconds(250);

// A subcommand, once its arguments are checked: what it does with the session.
using Command = std::function<int(Context&)>;

struct Arguments {
  GlobalOptions global;
  unsigned timeoutMs = 0;
  BrowseOptions browse;
  std::optional<std::string> browseRoot;
  std::vector<std::string> nodes;
  ReadOptions read;
  std::vector<std::string> assignments;
  CallOptions call;
  SubscribeOptions subscribe;
  Command command;
  bool connect = true;  // false: the command asks the server without a session
  // A command that needs no server at all, instead of command.
  std::function<int(const GlobalOptions&)> offline;
};

void AddGlobalOptions(CLI::App& app, Arguments& args) {
  app.add_option("-e,--endpoint", args.global.endpoint, "Server URL (opc.tcp://HOST:PORT)");
  app.add_flag("--demo", args.global.demo, "Start the bundled demo server for this command and work on it");
  app.add_option("-u,--user", args.global.user,
                 "User name; the password comes from QUARLINK_PASSWORD or a prompt, never from an argument");
  app.add_option("-o,--option", args.global.options, "Connection property KEY=VALUE (repeatable)")
      ->allow_extra_args(false);
  app.add_flag("--json", args.global.json, "One JSON object per line");
  app.add_option("--log-level", args.global.logLevel, "The library's own log lines on stderr")
      ->check(CLI::IsMember(LogLevelNames()));
  app.add_option("--sdk-log", args.global.sdkLog, "The OPC UA stack's log lines on stderr (trace ... fatal, none)");
  app.add_option("--timeout", args.timeoutMs,
                 "Milliseconds the connect, and then the command, may take (0: no limit but the library's)");
}

void AddBrowse(CLI::App& app, Arguments& args) {
  CLI::App* browse = app.add_subcommand("browse", "List the nodes below NODE (default: the Objects folder)");
  browse->add_option("node", args.browseRoot, "Start node");
  browse->add_flag("-r,--recursive", args.browse.recursive, "The whole subtree, not one level");
  browse->add_option("--depth", args.browse.depth, "Levels below NODE to list (implies -r; 0: all)");
  browse->add_flag("--values", args.browse.values, "Add the value of every variable");
  browse->add_flag("--paths", args.browse.paths, "Print each node with its browse path from NODE instead of indented");
  browse->callback([&args] {
    args.browse.root = args.browseRoot;
    args.command = [&args](Context& context) { return RunBrowse(context, args.browse); };
  });
}

void AddNodeCommands(CLI::App& app, Arguments& args) {
  CLI::App* read = app.add_subcommand("read", "Read the values (or another attribute) of nodes");
  read->add_option("node", args.read.nodes, "Nodes, as NodeIds like ns=1;s=Counter")->required();
  read->add_option("--attribute", args.read.attribute,
                   "The attribute to read instead of the Value, by its OPC UA name: DisplayName, DataType, "
                   "AccessLevel ...");
  read->add_flag("--timestamps", args.read.timestamps, "Add the source and the server time of each value");
  read->callback([&args] { args.command = [&args](Context& context) { return RunRead(context, args.read); }; });

  CLI::App* datatype = app.add_subcommand("datatype", "Show the data types of nodes");
  datatype->add_option("node", args.nodes, "Nodes")->required();
  datatype->callback(
      [&args] { args.command = [&args](Context& context) { return RunDataType(context, args.nodes); }; });

  CLI::App* status = app.add_subcommand("status", "Show the connection status and the capabilities");
  status->callback([&args] { args.command = [](Context& context) { return RunStatus(context); }; });
}

void AddDiscovery(CLI::App& app, Arguments& args) {
  CLI::App* endpoints = app.add_subcommand(
      "endpoints", "List the server's endpoints: security mode, policy, user tokens, certificate (no session)");
  endpoints->callback([&args] {
    args.connect = false;
    args.command = [](Context& context) { return RunEndpoints(context); };
  });
  CLI::App* servers = app.add_subcommand("servers", "List the servers a discovery server knows (no session)");
  servers->callback([&args] {
    args.connect = false;
    args.command = [](Context& context) { return RunServers(context); };
  });
}

void AddCertificate(CLI::App& app, Arguments& args) {
  CLI::App* cert = app.add_subcommand("cert", "The client certificate (no server)");
  cert->require_subcommand(1);
  CLI::App* show = cert->add_subcommand(
      "show",
      "Print the client certificate's SHA-1 thumbprint, validity, subject and application URI, to trust it on "
      "the server; with -o certificate=PATH -o private_key=PATH, created there when neither file exists");
  show->callback([&args] { args.offline = RunCertShow; });
}

void AddWrite(CLI::App& app, Arguments& args) {
  CLI::App* write = app.add_subcommand("write", "Write values: NODE=VALUE, typed by the node's data type");
  write
      ->add_option("assignment", args.assignments,
                   "NODE=VALUE: bare text, a JSON string or a JSON array; NODE=TYPE:VALUE only for a node "
                   "whose data type is not built-in")
      ->required();
  write->callback([&args] {
    std::vector<Assignment> assignments = ParseAssignments(args.assignments);
    args.command = [assignments](Context& context) { return RunWrite(context, assignments); };
  });
}

void AddCall(CLI::App& app, Arguments& args) {
  CLI::App* call = app.add_subcommand("call", "Call a method with TYPE:VALUE arguments and print its outputs");
  call->add_option("method", args.call.method, "Method node")->required();
  call->add_option("argument", args.call.arguments, "Input arguments as TYPE:VALUE, for example Double:2.5");
  call->add_option("--object", args.call.object, "Object to call the method on (default: the method's parent name)");
  call->callback([&args] {
    std::vector<tessel::fnd::defs::CallArgument> inputs = ParseCallArguments(args.call.arguments);
    args.command = [&args, inputs](Context& context) { return RunCall(context, args.call, inputs); };
  });
}

void AddSubscribe(CLI::App& app, Arguments& args) {
  CLI::App* subscribe = app.add_subcommand("subscribe", "Print value changes until the time is up or Ctrl-C");
  subscribe->add_option("node", args.subscribe.nodes, "Nodes")->required();
  subscribe->add_option("--for", args.subscribe.seconds, "Seconds to run (default and 0: until Ctrl-C)")
      ->check(CLI::Validator(
          [](const std::string& text) {
            double seconds = -1;
            try {
              seconds = std::stod(text);
            } catch (const std::exception&) {
            }
            return seconds >= 0 ? std::string() : "takes seconds, 0 or more (0: until Ctrl-C), not '" + text + "'";
          },
          "SECONDS"));
  subscribe->add_option("--sampling", args.subscribe.samplingMs, "Sampling interval in milliseconds");
  subscribe->add_option("--publishing", args.subscribe.publishingMs, "Publishing interval in milliseconds");
  subscribe->callback(
      [&args] { args.command = [&args](Context& context) { return RunSubscribe(context, args.subscribe); }; });
}

int Run(Arguments& args, InterruptWatcher& interrupts) {
  if (args.offline) {
    ValidateOptions(args.global, false);
    return args.offline(args.global);
  }
  ValidateOptions(args.global);
  args.global.timeout = std::chrono::milliseconds(args.timeoutMs);
  Session session(args.global, interrupts, args.connect);
  Context context{session, interrupts, args.global.json};
  if (args.timeoutMs > 0) {
    // Requests the library bounds itself report Timeout first; this ends the others.
    interrupts.ExitAt(std::chrono::steady_clock::now() + args.global.timeout + kTimeoutSlack, kExitItemFailed,
                      "quarlink: no answer within --timeout " + std::to_string(args.timeoutMs) + " ms");
  }
  const int exitCode = args.command(context);
  interrupts.Disarm();
  if (context.unresponsive) {
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(exitCode);
  }
  return exitCode;
}

}  // namespace
}  // namespace quarlink

int main(int argc, char** argv) {
  using namespace quarlink;
  Arguments args;
  CLI::App app("quarlink: browse, read, write, call and subscribe on an OPC UA server", "quarlink");
  app.require_subcommand(1);
  app.set_version_flag("--version", "quarlink " QUARLINK_VERSION);
  app.fallthrough();  // global options may also follow the subcommand
  AddGlobalOptions(app, args);
  AddBrowse(app, args);
  AddNodeCommands(app, args);
  AddDiscovery(app, args);
  AddCertificate(app, args);
  AddWrite(app, args);
  AddCall(app, args);
  AddSubscribe(app, args);

  // Exports of the definition above, to stdout or a file (the build writes them).
  if ((argc == 2 || argc == 3) &&
      (std::string(argv[1]) == "--bash-completion" || std::string(argv[1]) == "--man-page")) {
    const std::string text = std::string(argv[1]) == "--man-page" ? ManPage(app) : BashCompletion(app);
    std::FILE* out = argc == 3 ? std::fopen(argv[2], "w") : stdout;
    const bool written = out != nullptr && std::fputs(text.c_str(), out) >= 0;
    return (out != nullptr && out != stdout ? std::fclose(out) == 0 : true) && written ? kExitOk : kExitItemFailed;
  }

  try {
    InterruptWatcher interrupts;  // first: every thread started later leaves the signals to it
    try {
      app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
      if (error.get_exit_code() == 0) return app.exit(error);  // --help
      throw UsageError(std::string(error.what()) + " (see quarlink --help)");
    }
    return Run(args, interrupts);
  } catch (const UsageError& error) {
    PrintLine(stderr, std::string("quarlink: ") + error.what());
    return kExitUsage;
  } catch (const ConnectError& error) {
    PrintLine(stderr, std::string("quarlink: ") + error.what());
    return kExitNoConnection;
  } catch (const Interrupted&) {
    PrintLine(stderr, "quarlink: interrupted");
    return kExitInterrupted;
  } catch (const std::exception& error) {
    PrintLine(stderr, std::string("quarlink: ") + error.what());
    return kExitItemFailed;
  }
}
