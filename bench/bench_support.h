// What every figure of the benchmark shares: the server process, raw stack
// clients, timing and percentiles, child processes, and the result table.
#pragma once

#include <open62541/client.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ualib_bench {

using Clock = std::chrono::steady_clock;

// The project's demo server on a free loopback port with the given extra options,
// stopped on destruction. It also exits by itself when this process is gone.
class ServerProcess {
 public:
  explicit ServerProcess(const std::vector<std::string>& options);
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  uint16_t Port() const { return port_; }

 private:
  int ReadReadyPort();

  pid_t pid_ = -1;
  int readEnd_ = -1;
  uint16_t port_ = 0;
};

struct RawClientDeleter {
  void operator()(UA_Client* client) const {
    UA_Client_disconnect(client);
    UA_Client_delete(client);
  }
};
using RawClient = std::unique_ptr<UA_Client, RawClientDeleter>;

// A stack client with the stack's default configuration, connected; throws otherwise.
RawClient ConnectRaw(const std::string& endpoint);

double Millis(Clock::duration elapsed);
double Percentile(std::vector<double> samples, double fraction);  // nearest rank below
double Median(const std::vector<double>& samples);

// One run of one side: its milliseconds, or a negative number when it failed.
using Run = std::function<double()>;
// A run timed from start to end.
Run Timed(std::function<bool()> work);

// Milliseconds of each run of both sides, which take turns (and turns at going
// first) so that both see the same machine load.
struct Samples {
  std::vector<double> adapter;
  std::vector<double> raw;
};
// Runs at least `minRounds` rounds and stops after `budget` or `maxRounds`. A
// failed run aborts the benchmark.
Samples Alternate(const Run& adapter, const Run& raw, Clock::duration budget, size_t minRounds, size_t maxRounds);

// Resident memory of this process, from /proc/self/statm.
double ResidentMegabytes();
// CPU time this process has used, all threads.
double ProcessCpuSeconds();

// Runs this program again with `args` and returns what it printed on stdout;
// throws when it fails.
std::string RunChild(const std::vector<std::string>& args);

// One table: a row per (figure, link), rows of one figure together, in the order
// in which figures were first added.
class Table {
 public:
  // `unit` is printed after both values; a ratio is printed when neither is zero.
  void Add(const std::string& figure, const std::string& link, double adapter, double raw, const std::string& unit);
  void Print() const;

 private:
  struct Row {
    std::string figure;
    std::string link;
    double adapter;
    double raw;
    std::string unit;
  };
  std::vector<Row> rows_;
};

}  // namespace ualib_bench
