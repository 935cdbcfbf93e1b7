#include "bench_support.h"

#include <fcntl.h>
#include <open62541/client_config_default.h>
#include <open62541/plugin/log_stdout.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

extern char** environ;

namespace ualib_bench {
namespace {

// Spawns `args` with its stdout on the write end of a new pipe (and its stderr on
// /dev/null when `quiet`); returns the read end.
int Spawn(const std::vector<std::string>& args, pid_t& pid, bool quiet) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  std::vector<std::string> copies = args;
  std::vector<char*> argv;
  for (auto& arg : copies) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  if (quiet) posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (error != 0) {
    close(fds[0]);
    throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(error));
  }
  return fds[0];
}

// Three significant digits or more, never an exponent.
void Format(char* out, size_t size, double value, const std::string& unit) {
  const int decimals = value >= 100 ? 0 : value >= 10 ? 1 : value >= 1 ? 2 : 3;
  std::snprintf(out, size, "%.*f %s", decimals, value, unit.c_str());
}

}  // namespace

ServerProcess::ServerProcess(const std::vector<std::string>& options) {
  std::vector<std::string> args{UALIB_TEST_SERVER_PATH, "--port", "0", "--parent-pid", std::to_string(getpid())};
  args.insert(args.end(), options.begin(), options.end());
  // The server reports every connection a client drops while a response is on its
  // way as an error; the benchmark judges each request by its own result instead.
  readEnd_ = Spawn(args, pid_, true);
  port_ = static_cast<uint16_t>(ReadReadyPort());
}

ServerProcess::~ServerProcess() {
  kill(pid_, SIGTERM);
  int status = 0;
  waitpid(pid_, &status, 0);
  close(readEnd_);
}

// "READY <port>" on the server's stdout; the big address spaces take a while to build.
int ServerProcess::ReadReadyPort() {
  std::string line;
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (line.find('\n') == std::string::npos && Clock::now() < deadline) {
    pollfd entry{readEnd_, POLLIN, 0};
    if (poll(&entry, 1, 100) <= 0) continue;
    char buffer[64];
    const ssize_t n = read(readEnd_, buffer, sizeof buffer);
    if (n <= 0) break;
    line.append(buffer, static_cast<size_t>(n));
  }
  if (line.rfind("READY ", 0) != 0) throw std::runtime_error("the demo server did not report READY");
  return std::atoi(line.c_str() + 6);
}

RawClient ConnectRaw(const std::string& endpoint) {
  UA_ClientConfig config;
  std::memset(&config, 0, sizeof config);
  config.logging = UA_Log_Stdout_new(UA_LOGLEVEL_ERROR);
  UA_ClientConfig_setDefault(&config);
  RawClient client(UA_Client_newWithConfig(&config));
  if (!client || UA_Client_connect(client.get(), endpoint.c_str()) != UA_STATUSCODE_GOOD)
    throw std::runtime_error("raw client cannot connect to " + endpoint);
  return client;
}

double Millis(Clock::duration elapsed) {
  return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) / 1e6;
}

double Percentile(std::vector<double> samples, double fraction) {
  if (samples.empty()) return 0.0;
  std::sort(samples.begin(), samples.end());
  return samples[static_cast<size_t>(fraction * static_cast<double>(samples.size() - 1))];
}

double Median(const std::vector<double>& samples) { return Percentile(samples, 0.5); }

Run Timed(std::function<bool()> work) {
  return [work = std::move(work)] {
    const auto start = Clock::now();
    return work() ? Millis(Clock::now() - start) : -1.0;
  };
}

Samples Alternate(const Run& adapter, const Run& raw, Clock::duration budget, size_t minRounds, size_t maxRounds) {
  Samples samples;
  const auto timed = [](const Run& run, std::vector<double>& out) {
    const double ms = run();
    if (ms < 0) throw std::runtime_error("a request failed during the benchmark");
    out.push_back(ms);
  };
  const auto end = Clock::now() + budget;
  for (size_t round = 0; round < maxRounds && (round < minRounds || Clock::now() < end); ++round) {
    if (round % 2 == 0) {
      timed(adapter, samples.adapter);
      timed(raw, samples.raw);
    } else {
      timed(raw, samples.raw);
      timed(adapter, samples.adapter);
    }
  }
  return samples;
}

double ResidentMegabytes() {
  std::ifstream statm("/proc/self/statm");
  double size = 0;
  double resident = 0;
  statm >> size >> resident;
  return resident * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

double ProcessCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::string RunChild(const std::vector<std::string>& args) {
  std::vector<std::string> full{"/proc/self/exe"};
  full.insert(full.end(), args.begin(), args.end());
  pid_t pid = -1;
  const int readEnd = Spawn(full, pid, false);
  std::string output;
  char buffer[256];
  for (ssize_t n; (n = read(readEnd, buffer, sizeof buffer)) != 0;) {
    if (n > 0) output.append(buffer, static_cast<size_t>(n));
    if (n < 0 && errno != EINTR) break;
  }
  close(readEnd);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("a measuring child process failed");
  return output;
}

void Table::Add(const std::string& figure, const std::string& link, double adapter, double raw,
                const std::string& unit) {
  rows_.push_back({figure, link, adapter, raw, unit});
}

void Table::Print() const {
  std::vector<std::string> figures;
  for (const Row& row : rows_)
    if (std::find(figures.begin(), figures.end(), row.figure) == figures.end()) figures.push_back(row.figure);
  std::printf("%-46s %-9s %16s %16s %9s\n", "figure", "link", "adapter", "raw", "ratio");
  for (const std::string& figure : figures) {
    for (const Row& row : rows_) {
      if (row.figure != figure) continue;
      char adapter[32];
      char raw[32];
      char ratio[16] = "-";
      Format(adapter, sizeof adapter, row.adapter, row.unit);
      Format(raw, sizeof raw, row.raw, row.unit);
      if (row.raw != 0.0 && row.adapter != 0.0) std::snprintf(ratio, sizeof ratio, "%.2fx", row.adapter / row.raw);
      std::printf("%-46s %-9s %16s %16s %9s\n", row.figure.c_str(), row.link.c_str(), adapter, raw, ratio);
    }
  }
  std::fflush(stdout);
}

}  // namespace ualib_bench
