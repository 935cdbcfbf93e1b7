// Closed-loop Read latency through Client::Read, against a raw open62541 client
// reading the same nodes from the same server, the two interleaved so that both see
// the same machine load. Prints p50 and p99 of each and the ratio of the medians.
//
// ualib_bench [--single N] [--batch N]
#include <fcntl.h>
#include <open62541/client.h>
#include <open62541/client_config_default.h>
#include <open62541/client_highlevel.h>
#include <open62541/plugin/log_stdout.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <velk/quarlink/client.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace {

using namespace tessel::fnd::defs;
using Clock = std::chrono::steady_clock;

constexpr double kSingleTarget = 1.25;
constexpr double kBatchTarget = 1.10;
constexpr size_t kBatchSize = 100;

// The project's test server on a free loopback port, stopped on destruction. It
// also exits by itself when this process is gone.
class ServerProcess {
 public:
  ServerProcess() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    readEnd_ = fds[0];
    const std::string parent = std::to_string(getpid());
    std::vector<std::string> args{UALIB_TEST_SERVER_PATH, "--port", "0", "--parent-pid", parent};
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    const int error = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (error != 0) throw std::runtime_error(std::string("cannot start the test server: ") + std::strerror(error));
    port_ = ReadReadyPort();
  }
  ~ServerProcess() {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    close(readEnd_);
  }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  std::string Endpoint() const { return "opc.tcp://127.0.0.1:" + std::to_string(port_); }

 private:
  // "READY <port>" on the server's stdout, within 10 s.
  int ReadReadyPort() {
    std::string line;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (line.find('\n') == std::string::npos && Clock::now() < deadline) {
      pollfd entry{readEnd_, POLLIN, 0};
      if (poll(&entry, 1, 100) <= 0) continue;
      char buffer[64];
      const ssize_t n = read(readEnd_, buffer, sizeof buffer);
      if (n <= 0) break;
      line.append(buffer, static_cast<size_t>(n));
    }
    if (line.rfind("READY ", 0) != 0) throw std::runtime_error("the test server did not report READY");
    return std::atoi(line.c_str() + 6);
  }

  pid_t pid_ = -1;
  int readEnd_ = -1;
  int port_ = 0;
};

struct RawClientDeleter {
  void operator()(UA_Client* client) const { UA_Client_delete(client); }
};
using RawClient = std::unique_ptr<UA_Client, RawClientDeleter>;

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

// One synchronous read, as an application using the stack directly would make it.
bool RawRead(UA_Client* client, const std::string& address) {
  UA_NodeId node = UA_NODEID_STRING(1, const_cast<char*>(address.c_str()));
  UA_Variant value;
  UA_Variant_init(&value);
  const bool ok = UA_Client_readValueAttribute(client, node, &value) == UA_STATUSCODE_GOOD;
  UA_Variant_clear(&value);
  return ok;
}

std::vector<std::string> ScalarNames() {
  return {"Scalar.Boolean", "Scalar.SByte", "Scalar.Byte",   "Scalar.Int16", "Scalar.UInt16", "Scalar.Int32",
          "Scalar.UInt32",  "Scalar.Int64", "Scalar.UInt64", "Scalar.Float", "Scalar.Double", "Scalar.String"};
}

ReadRequest RequestOf(const std::vector<std::string>& names) {
  ReadRequest request;
  for (const auto& name : names) request.items.push_back({"ns=1;s=" + name, {}});
  return request;
}

bool AllOk(const ReadResult& result, size_t expected) {
  if (result.code != ResultCode::Ok || result.items.size() != expected) return false;
  return std::all_of(result.items.begin(), result.items.end(),
                     [](const ReadItemResult& item) { return item.code == ResultCode::Ok; });
}

double Micros(Clock::duration elapsed) {
  return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) / 1000.0;
}

double Percentile(std::vector<double> samples, double fraction) {
  std::sort(samples.begin(), samples.end());
  const auto index = static_cast<size_t>(fraction * static_cast<double>(samples.size() - 1));
  return samples[index];
}

struct Samples {
  std::vector<double> adapter;
  std::vector<double> raw;
};

// Runs both sides `rounds` times, alternating which goes first, and returns the
// wall-clock time of each run in microseconds. A failed run aborts the benchmark.
Samples Interleave(size_t rounds, const std::function<bool()>& adapter, const std::function<bool()>& raw) {
  Samples samples;
  samples.adapter.reserve(rounds);
  samples.raw.reserve(rounds);
  const auto timed = [](const std::function<bool()>& run, std::vector<double>& out) {
    const auto start = Clock::now();
    if (!run()) throw std::runtime_error("a read failed during the benchmark");
    out.push_back(Micros(Clock::now() - start));
  };
  for (size_t i = 0; i < rounds; ++i) {
    if (i % 2 == 0) {
      timed(adapter, samples.adapter);
      timed(raw, samples.raw);
    } else {
      timed(raw, samples.raw);
      timed(adapter, samples.adapter);
    }
  }
  return samples;
}

void Report(const char* title, size_t rounds, const Samples& samples, double target) {
  const double adapterP50 = Percentile(samples.adapter, 0.50);
  const double rawP50 = Percentile(samples.raw, 0.50);
  const double ratio = adapterP50 / rawP50;
  std::printf("%s (%zu rounds)\n", title, rounds);
  std::printf("  adapter  p50 %9.1f us   p99 %9.1f us\n", adapterP50, Percentile(samples.adapter, 0.99));
  std::printf("  raw      p50 %9.1f us   p99 %9.1f us\n", rawP50, Percentile(samples.raw, 0.99));
  std::printf("  adapter/raw p50 = %.3f (target <= %.2f: %s)\n\n", ratio, target, ratio <= target ? "met" : "MISSED");
}

size_t Option(int argc, char** argv, const char* name, size_t fallback) {
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) return static_cast<size_t>(std::strtoul(argv[i + 1], nullptr, 10));
  return fallback;
}

int Run(int argc, char** argv) {
  const size_t singleRounds = Option(argc, argv, "--single", 5000);
  const size_t batchRounds = Option(argc, argv, "--batch", 300);

  ServerProcess server;
  velk::quarlink::Client client;
  ConnectionOptions options;
  options.endpoint = server.Endpoint();
  if (client.Configure(options).code != ResultCode::Ok || client.Connect().code != ResultCode::Ok)
    throw std::runtime_error("the adapter cannot connect to " + options.endpoint);
  RawClient raw = ConnectRaw(server.Endpoint());

  const std::string single = "Scalar.Int32";
  const ReadRequest singleRequest = RequestOf({single});
  std::vector<std::string> batchNames;
  const std::vector<std::string> scalars = ScalarNames();
  for (size_t i = 0; i < kBatchSize; ++i) batchNames.push_back(scalars[i % scalars.size()]);
  const ReadRequest batchRequest = RequestOf(batchNames);

  const auto adapterSingle = [&] { return AllOk(client.Read(singleRequest), 1); };
  const auto rawSingle = [&] { return RawRead(raw.get(), single); };
  const auto adapterBatch = [&] { return AllOk(client.Read(batchRequest), kBatchSize); };
  const auto rawBatch = [&] {
    for (const auto& name : batchNames)
      if (!RawRead(raw.get(), name)) return false;
    return true;
  };

  std::printf("ualib_bench against %s\n\n", server.Endpoint().c_str());
  Interleave(std::max<size_t>(singleRounds / 10, 1), adapterSingle, rawSingle);  // warm-up
  Report("single-item Read", singleRounds, Interleave(singleRounds, adapterSingle, rawSingle), kSingleTarget);
  Interleave(std::max<size_t>(batchRounds / 10, 1), adapterBatch, rawBatch);  // warm-up
  Report("100-item Read batch vs 100 raw reads", batchRounds, Interleave(batchRounds, adapterBatch, rawBatch),
         kBatchTarget);

  UA_Client_disconnect(raw.get());
  client.Disconnect();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "ualib_bench: %s\n", error.what());
    return 1;
  }
}
