// How a run of the tool ends: the exit codes and the failures that end it early.
#pragma once

#include <stdexcept>
#include <string>

namespace quarlink {

enum ExitCode : int {
  kExitOk = 0,
  kExitItemFailed = 1,  // some item failed; the failures were printed
  kExitUsage = 2,
  kExitNoConnection = 3,
  kExitInterrupted = 130,  // a command other than subscribe was stopped by SIGINT/SIGTERM
};

// A command line that cannot be carried out as given; nothing was sent.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// No session to the server could be opened.
struct ConnectError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// SIGINT or SIGTERM arrived while a command that cannot end cleanly on it was running.
struct Interrupted : std::runtime_error {
  Interrupted() : std::runtime_error("interrupted") {}
};

}  // namespace quarlink
