// The data path of the adapter against a raw open62541 client doing the same work
// on the same demo server in the same run, over loopback and through a proxy that
// adds 1 ms each way. Prints one table (figure, link, adapter, raw, ratio) and
// writes the Read batch times at 1 ms for the plot.
//
// ualib_bench [--plot-data FILE] [--only GROUP]
//   GROUP: read write subscribe browse latency throughput idle memory
// The idle and memory figures run in child processes of this program, started
// with `--child ...`.
#include <open62541/client.h>
#include <open62541/client_subscriptions.h>
#include <tcp_proxy.h>
#include <tessel/fnd/log.h>
#include <velk/quarlink/client.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <future>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "bench_support.h"
#include "raw_client.h"

namespace ualib_bench {
namespace {

using namespace tessel::fnd::defs;
using velk::quarlink::Client;
using namespace std::chrono_literals;

constexpr uint32_t kTreeNodes = 10'000;
constexpr uint32_t kFastNodes = 1'000;
constexpr size_t kBatch = 1'000;
constexpr size_t kLatencyItems = 10;
constexpr size_t kLatencyTree = 100;  // its last 10 nodes are variables
constexpr auto kLinkDelay = 1ms;
const char* const kRoot = "Plant";

struct Link {
  std::string name;
  std::string endpoint;
  bool delayed;
};

// A demo server with a proxy in front of it that delays each way.
class Rig {
 public:
  explicit Rig(const std::vector<std::string>& options) : server_(options), proxy_(server_.Port(), kLinkDelay) {}
  std::vector<Link> Links() const {
    return {{"loopback", "opc.tcp://127.0.0.1:" + std::to_string(server_.Port()), false},
            {"1 ms", proxy_.Endpoint(), true}};
  }

 private:
  ServerProcess server_;
  ualib_test::TcpProxy proxy_;
};

// Counts the dispatch worker's drop reports and passes other warnings on.
class DropCounter final : public tessel::fnd::Logger {
 public:
  DropCounter() { level = 30; }
  void Emit(int, const std::string& line) override {
    const std::string marker = "Subscription dispatch dropped ";
    const auto at = line.find(marker);
    if (at == std::string::npos) {
      std::fprintf(stderr, "%s\n", line.c_str());
      return;
    }
    uint64_t count = 0;
    const char* begin = line.c_str() + at + marker.size();
    std::from_chars(begin, line.c_str() + line.size(), count);
    dropped += count;
  }
  std::atomic<uint64_t> dropped{0};
};

std::shared_ptr<DropCounter> g_drops;

// --- Adapter helpers ---

// A Client on its own session, so the session takes this Client's batching setting.
std::unique_ptr<Client> ConnectAdapter(const std::string& endpoint, const std::string& maxItems) {
  auto client = std::make_unique<Client>();
  ConnectionOptions options;
  options.endpoint = endpoint;
  options.properties.Set("max_items_per_request", maxItems);
  if (client->Configure(options).code != ResultCode::Ok || client->Connect().code != ResultCode::Ok)
    throw std::runtime_error("the adapter cannot connect to " + endpoint);
  return client;
}

std::vector<std::string> Names(const std::string& prefix, size_t first, size_t count) {
  std::vector<std::string> names;
  for (size_t i = 0; i < count; ++i) names.push_back(prefix + std::to_string(first + i));
  return names;
}

std::vector<std::string> Addresses(const std::vector<std::string>& names) {
  std::vector<std::string> addresses;
  for (const auto& name : names) addresses.push_back("ns=1;s=" + name);
  return addresses;
}

// The last variables of a tree of `tree` nodes.
std::vector<std::string> PlantVariables(size_t count, size_t tree = kTreeNodes) {
  return Names("Plant.", tree - count, count);
}

template <typename Items>
bool AllOk(ResultCode code, const Items& items, size_t expected) {
  if (code != ResultCode::Ok || items.size() != expected) return false;
  for (const auto& item : items)
    if (item.code != ResultCode::Ok) return false;
  return true;
}

SubscribeOpts OptsOf(const MonitorParams& params) {
  SubscribeOpts opts;
  opts.queue_size = params.queueSize;
  opts.discard_oldest = params.discardOldest;
  opts.properties.Set("publishing_interval_ms", std::to_string(params.publishingMs));
  opts.properties.Set("sampling_interval_ms", std::to_string(params.samplingMs));
  return opts;
}

// Feeds a collector from the adapter's notifications of Fast.<index> nodes.
SubscriptionHandler CollectInto(Collector& collector) {
  return [&collector](const Notification& notification) {
    const auto dot = notification.address.rfind('.');
    size_t index = 0;
    std::from_chars(notification.address.data() + dot + 1, notification.address.data() + notification.address.size(),
                    index);
    int64_t value = 0;
    if (const auto* asInt = std::get_if<int32_t>(&notification.value.value)) value = *asInt;
    if (const auto* asDouble = std::get_if<double>(&notification.value.value)) value = static_cast<int64_t>(*asDouble);
    if (notification.value.timestamp) collector.Add(index, value, *notification.value.timestamp);
  };
}

std::string Setting(const std::string& value) { return ", setting " + value; }

// --- Request figures (the Plant server) ---

void ReadSingle(Table& table, const Link& link, UA_Client* raw) {
  auto adapter = ConnectAdapter(link.endpoint, "1");
  const std::vector<std::string> names = PlantVariables(1);
  const auto nodes = NodeIds(names);
  ReadRequest request;
  request.items.push_back({Addresses(names)[0], {}});
  const Run adapterRun = Timed([&] {
    const ReadResult result = adapter->Read(request);
    return AllOk(result.code, result.items, 1);
  });
  const Run rawRun = Timed([&] { return RawReadOne(raw, nodes[0]); });
  Alternate(adapterRun, rawRun, 0s, 20, 20);
  const Samples samples = Alternate(adapterRun, rawRun, 2s, 100, 5000);
  table.Add("Read, 1 item (p50)", link.name, Median(samples.adapter), Median(samples.raw), "ms");
}

// Eight host threads, each with its own Client on the one shared session, read one
// item in a loop; the raw side keeps eight reads in flight on one stack client.
void ReadThreads(Table& table, const Link& link, UA_Client* raw) {
  constexpr size_t kThreads = 8;
  constexpr double kSeconds = 2.0;
  std::vector<std::unique_ptr<Client>> adapters;
  for (size_t i = 0; i < kThreads; ++i) adapters.push_back(ConnectAdapter(link.endpoint, "1"));
  const std::vector<std::string> names = PlantVariables(1);
  ReadRequest request;
  request.items.push_back({Addresses(names)[0], {}});
  std::atomic<uint64_t> reads{0};
  std::atomic<bool> failed{false};
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(kSeconds));
  {
    std::vector<std::jthread> threads;
    for (const auto& adapter : adapters)
      threads.emplace_back([&, client = adapter.get()] {
        while (!failed && Clock::now() < deadline) {
          const ReadResult result = client->Read(request);
          if (!AllOk(result.code, result.items, 1)) failed = true;
          ++reads;
        }
      });
  }
  const std::chrono::duration<double> elapsed = Clock::now() - start;
  if (failed) throw std::runtime_error("a read of the threaded figure failed");
  const auto nodes = NodeIds(names);
  const double rawRate = RawPipelinedReadRate(raw, nodes[0], kThreads, kSeconds);
  if (rawRate < 0) throw std::runtime_error("a raw pipelined read failed");
  table.Add("Read, 8 threads, one session (reads/s)", link.name, static_cast<double>(reads) / elapsed.count(), rawRate,
            "/s");
}

Samples ReadBatch(const Link& link, UA_Client* raw, const std::string& setting, size_t items, Clock::duration budget) {
  auto adapter = ConnectAdapter(link.endpoint, setting);
  const std::vector<std::string> names = PlantVariables(items);
  const auto nodes = NodeIds(names);
  ReadRequest request;
  for (const auto& address : Addresses(names)) request.items.push_back({address, {}});
  const Run adapterRun = Timed([&] {
    const ReadResult result = adapter->Read(request);
    return AllOk(result.code, result.items, items);
  });
  const Run rawRun = Timed([&] { return RawRead(raw, nodes); });
  Alternate(adapterRun, rawRun, 0s, 1, 1);
  return Alternate(adapterRun, rawRun, budget, 2, 200);
}

void WriteBatch(Table& table, const Link& link, UA_Client* raw, const std::string& setting) {
  auto adapter = ConnectAdapter(link.endpoint, setting);
  const std::vector<std::string> names = PlantVariables(kBatch);
  const auto nodes = NodeIds(names);
  WriteRequest request;
  for (const auto& address : Addresses(names)) request.items.push_back({address, int32_t{7}, {}});
  const Run adapterRun = Timed([&] {
    const WriteResult result = adapter->Write(request);
    return AllOk(result.code, result.items, kBatch);
  });
  const Run rawRun = Timed([&] { return RawWrite(raw, nodes, 7); });
  Alternate(adapterRun, rawRun, 0s, 1, 1);
  const Samples samples = Alternate(adapterRun, rawRun, 2s, 2, 200);
  table.Add("Write, 1,000 items" + Setting(setting) + " (p50)", link.name, Median(samples.adapter), Median(samples.raw),
            "ms");
}

// Times the creation of the items only; the subscription exists beforehand on both
// sides and the items are deleted again untimed.
void SubscribeBatch(Table& table, const Link& link, UA_Client* raw, const std::string& setting) {
  auto adapter = ConnectAdapter(link.endpoint, setting);
  const std::vector<std::string> names = PlantVariables(kBatch);
  const std::vector<std::string> addresses = Addresses(names);
  const auto nodes = NodeIds(names);
  const MonitorParams params;
  const SubscribeOpts opts = OptsOf(params);
  adapter->Subscribe({}, nullptr, opts);
  const Run adapterRun = [&] {
    const auto start = Clock::now();
    const SubscribeResult result = adapter->Subscribe(
        addresses, [](const Notification&) {}, opts);
    const double ms = Millis(Clock::now() - start);
    const bool removed = adapter->Unsubscribe(addresses).code == ResultCode::Ok;
    return AllOk(result.code, result.items, kBatch) && removed ? ms : -1.0;
  };
  const UA_UInt32 subscription = RawCreateSubscription(raw, params.publishingMs, nullptr);
  const Run rawRun = [&] {
    std::vector<UA_UInt32> ids;
    const auto start = Clock::now();
    const bool created = RawCreateItems(raw, subscription, nodes, params, ids);
    const double ms = Millis(Clock::now() - start);
    return RawDeleteItems(raw, subscription, ids) && created ? ms : -1.0;
  };
  const Samples samples = Alternate(adapterRun, rawRun, 2s, 2, 100);
  UA_Client_Subscriptions_deleteSingle(raw, subscription);
  table.Add("Subscribe, 1,000 items" + Setting(setting) + " (p50)", link.name, Median(samples.adapter),
            Median(samples.raw), "ms");
}

void BrowseTree(Table& table, const Link& link, UA_Client* raw, const std::string& setting) {
  auto adapter = ConnectAdapter(link.endpoint, setting);
  BrowseRequest request;
  request.root = std::string("ns=1;s=") + kRoot;
  request.recursive = true;
  const UA_NodeId root = UA_NODEID_STRING(1, const_cast<char*>(kRoot));
  const Run adapterRun = Timed([&] {
    const BrowseResult result = adapter->Browse(request);
    return result.code == ResultCode::Ok && result.nodes.size() == kTreeNodes;
  });
  const Run rawRun = Timed([&] { return RawBrowseTree(raw, root) == kTreeNodes; });
  const Samples samples = Alternate(adapterRun, rawRun, 2s, 1, 50);
  table.Add("Browse, 10,000 nodes" + Setting(setting) + " (p50)", link.name, Median(samples.adapter),
            Median(samples.raw), "ms");
}

// Read batch times at 1 ms for the plot: items, setting 1, setting 0, raw.
struct PlotPoint {
  size_t items;
  double one;
  double zero;
  double raw;
};

PlotPoint ReadPoint(Table& table, const Link& link, UA_Client* raw, size_t items) {
  const auto budget = items == kBatch ? 2s : 1s;
  const Samples one = ReadBatch(link, raw, "1", items, budget);
  const Samples zero = ReadBatch(link, raw, "0", items, budget);
  if (items == kBatch) {
    table.Add("Read, 1,000 items" + Setting("1") + " (p50)", link.name, Median(one.adapter), Median(one.raw), "ms");
    table.Add("Read, 1,000 items" + Setting("0") + " (p50)", link.name, Median(zero.adapter), Median(zero.raw), "ms");
  }
  std::vector<double> rawAll = one.raw;
  rawAll.insert(rawAll.end(), zero.raw.begin(), zero.raw.end());
  return {items, Median(one.adapter), Median(zero.adapter), Median(rawAll)};
}

void WritePlotData(const std::string& path, const std::vector<PlotPoint>& points) {
  if (path.empty() || points.empty()) return;
  std::ofstream out(path);
  out << "# Read batch, p50 ms, 1 ms each way: items, adapter setting 1, adapter setting 0, raw\n";
  for (const PlotPoint& p : points) out << p.items << ' ' << p.one << ' ' << p.zero << ' ' << p.raw << '\n';
}

bool Wanted(const std::string& only, const char* group) { return only.empty() || only == group; }

void RequestFigures(Table& table, const std::string& only, const std::string& plotData) {
  Rig rig({"--tree", std::to_string(kTreeNodes), "--page-size", "1000"});
  std::vector<PlotPoint> points;
  for (const Link& link : rig.Links()) {
    RawClient raw = ConnectRaw(link.endpoint);
    if (Wanted(only, "read")) {
      ReadSingle(table, link, raw.get());
      ReadThreads(table, link, raw.get());
      for (size_t items : link.delayed ? std::vector<size_t>{10, 100, kBatch} : std::vector<size_t>{kBatch}) {
        const PlotPoint point = ReadPoint(table, link, raw.get(), items);
        if (link.delayed) points.push_back(point);
      }
    }
    const std::vector<std::string> settings{"1", "0"};
    for (const std::string& setting : settings)
      if (Wanted(only, "write")) WriteBatch(table, link, raw.get(), setting);
    for (const std::string& setting : settings)
      if (Wanted(only, "subscribe")) SubscribeBatch(table, link, raw.get(), setting);
    for (const std::string& setting : settings)
      if (Wanted(only, "browse")) BrowseTree(table, link, raw.get(), setting);
  }
  WritePlotData(plotData, points);
}

// --- Notification figures (the Fast servers) ---

// Writes the latency nodes at random moments, so that the changes fall on every
// phase of both sides' publishing cycles: a periodic change would meet each cycle
// at one fixed phase, and that phase would decide the latency.
class RandomWriter {
 public:
  RandomWriter(const std::string& endpoint, const std::vector<std::string>& names)
      : names_(names), client_(ConnectRaw(endpoint)), thread_([this] { Run(); }) {}
  ~RandomWriter() { Stop(); }
  // True when every write went through.
  bool Stop() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
    return !failed_;
  }

 private:
  void Run() {
    const auto nodes = NodeIds(names_);
    std::mt19937 random(7);
    std::uniform_int_distribution<int> pauseUs(1000, 9000);
    for (int32_t value = 1; running_; ++value) {
      if (!RawWrite(client_.get(), nodes, value)) failed_ = true;
      std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(random)));
    }
  }

  const std::vector<std::string> names_;
  RawClient client_;
  std::atomic<bool> running_{true};
  std::atomic<bool> failed_{false};
  std::thread thread_;  // last: starts after everything above exists
};

// Both sides subscribed at once to the same nodes, each change timed from its
// source time stamp to the handler or callback.
void Latency(Table& table, const Link& link, const std::string& direct, double publishingMs) {
  const std::vector<std::string> names = PlantVariables(kLatencyItems, kLatencyTree);
  const auto nodes = NodeIds(names);
  MonitorParams params;
  params.publishingMs = publishingMs;
  params.samplingMs = 0.0;  // every change, as it is written
  params.queueSize = 100;
  params.discardOldest = true;
  Collector adapterSeen(kLatencyTree);
  Collector rawSeen(kLatencyItems);
  auto adapter = ConnectAdapter(link.endpoint, "0");
  const SubscribeResult subscribed = adapter->Subscribe(Addresses(names), CollectInto(adapterSeen), OptsOf(params));
  if (!AllOk(subscribed.code, subscribed.items, kLatencyItems))
    throw std::runtime_error("the adapter cannot subscribe");
  RawClient raw = ConnectRaw(link.endpoint);
  RawSubscription subscription(raw.get(), nodes, params, &rawSeen);
  if (!subscription.Ok()) throw std::runtime_error("the raw client cannot subscribe");
  subscription.Start();
  RandomWriter writer(direct, names);
  std::this_thread::sleep_for(500ms);
  adapterSeen.Record(true);
  rawSeen.Record(true);
  std::this_thread::sleep_for(publishingMs < 100 ? 2s : 4s);
  adapterSeen.Record(false);
  rawSeen.Record(false);
  subscription.Stop();
  if (!writer.Stop()) throw std::runtime_error("writing the latency nodes failed");
  const std::string interval = std::to_string(static_cast<int>(publishingMs)) + " ms publishing";
  for (const double fraction : {0.5, 0.99}) {
    table.Add(std::string("Notification latency ") + (fraction < 0.9 ? "p50, " : "p99, ") + interval, link.name,
              Percentile(adapterSeen.LatenciesMs(), fraction), Percentile(rawSeen.LatenciesMs(), fraction), "ms");
  }
}

struct Delivered {
  uint64_t count = 0;
  uint64_t lost = 0;
  uint64_t queueDrops = 0;  // the adapter's dispatch queue, as it logs them
  double seconds = 0;
};

// One window of 1,000 fast items on one side: subscribe, settle, count, remove.
void ThroughputWindow(bool useAdapter, const Link& link, Delivered& total) {
  const std::vector<std::string> names = Names("Fast.", 0, kFastNodes);
  const MonitorParams params{50.0, 10.0, 10, true};
  Collector seen(kFastNodes);
  std::unique_ptr<Client> adapter;
  RawClient raw;  // outlives its subscription
  std::unique_ptr<RawSubscription> subscription;
  if (useAdapter) {
    adapter = ConnectAdapter(link.endpoint, "0");
    const SubscribeResult result = adapter->Subscribe(Addresses(names), CollectInto(seen), OptsOf(params));
    if (!AllOk(result.code, result.items, kFastNodes)) throw std::runtime_error("the adapter cannot subscribe");
  } else {
    raw = ConnectRaw(link.endpoint);
    subscription = std::make_unique<RawSubscription>(raw.get(), NodeIds(names), params, &seen);
    if (!subscription->Ok()) throw std::runtime_error("the raw client cannot subscribe");
    subscription->Start();
  }
  std::this_thread::sleep_for(1s);  // the items' first values and the backlog of the setup pass
  const uint64_t dropsBefore = g_drops->dropped;
  const auto start = Clock::now();
  seen.Record(true);
  std::this_thread::sleep_for(5s);
  seen.Record(false);
  total.seconds += Millis(Clock::now() - start) / 1000.0;
  total.count += seen.Count();
  total.lost += seen.Lost();
  total.queueDrops += g_drops->dropped - dropsBefore;
}

void Throughput(Table& table, const Link& link) {
  Delivered adapter;
  Delivered raw;
  for (const bool useAdapter : {true, false, false, true})
    ThroughputWindow(useAdapter, link, useAdapter ? adapter : raw);
  table.Add("Notifications per second, 1,000 items", link.name, static_cast<double>(adapter.count) / adapter.seconds,
            static_cast<double>(raw.count) / raw.seconds, "/s");
  // Gaps in the values count what was lost anywhere (also a sample the server missed);
  // the adapter's own dispatch queue reports its drops in the log.
  table.Add("Notification values lost in 10 s, 1,000 items", link.name, static_cast<double>(adapter.lost),
            static_cast<double>(raw.lost), "");
  table.Add("  of them in the adapter's dispatch queue", link.name, static_cast<double>(adapter.queueDrops), 0.0, "");
}

// "<cpu percent> <resident MB>" of a child: adapter first, raw second, run side by side.
std::pair<std::vector<double>, std::vector<double>> ChildPair(const std::vector<std::string>& adapterArgs,
                                                              const std::vector<std::string>& rawArgs) {
  auto adapter = std::async(std::launch::async, RunChild, adapterArgs);
  auto raw = std::async(std::launch::async, RunChild, rawArgs);
  const auto parse = [](const std::string& text) {
    std::istringstream in(text);
    double cpu = 0;
    double rss = 0;
    in >> cpu >> rss;
    return std::vector<double>{cpu, rss};
  };
  std::vector<double> adapterOut = parse(adapter.get());
  return {adapterOut, parse(raw.get())};
}

void IdleAndMemory(Table& table, const Link& link, const std::string& only) {
  for (const int sessions : {1, 20}) {
    const std::string count = std::to_string(sessions);
    const auto [adapter, raw] =
        ChildPair({"--child", "idle-adapter", link.endpoint, count}, {"--child", "idle-raw", link.endpoint, count});
    const std::string what = sessions == 1 ? "1 session" : count + " sessions";
    if (Wanted(only, "idle")) table.Add("Idle CPU, " + what, link.name, adapter[0], raw[0], "%");
    if (sessions > 1 && Wanted(only, "memory")) table.Add("Memory, " + what, link.name, adapter[1], raw[1], "MB");
  }
  if (!Wanted(only, "memory")) return;
  const auto [adapter, raw] = ChildPair({"--child", "clients-adapter", link.endpoint, "1000"},
                                        {"--child", "clients-raw", link.endpoint, "1000"});
  table.Add("Memory, 1,000 Clients on one session", link.name, adapter[1], raw[1], "MB");
}

void NotificationFigures(Table& table, const std::string& only) {
  if (Wanted(only, "latency") || Wanted(only, "idle") || Wanted(only, "memory")) {
    // Fast.Seconds for the idle sessions, a small tree for the latency nodes.
    Rig rig({"--fast", "1", "--tree", std::to_string(kLatencyTree)});
    const std::string direct = rig.Links()[0].endpoint;
    for (const Link& link : rig.Links()) {
      if (Wanted(only, "latency"))
        for (const double publishingMs : {20.0, 250.0}) Latency(table, link, direct, publishingMs);
      if (Wanted(only, "idle") || Wanted(only, "memory")) IdleAndMemory(table, link, only);
    }
  }
  if (Wanted(only, "throughput")) {
    Rig rig({"--fast", std::to_string(kFastNodes)});
    for (const Link& link : rig.Links()) Throughput(table, link);
  }
}

// --- Child processes: idle cost and memory ---

// Sessions of the adapter differ by endpoint, which the server does not check.
std::string SessionEndpoint(const std::string& endpoint, int index) {
  return index == 0 ? endpoint : endpoint + "/session" + std::to_string(index);
}

void Settle() { std::this_thread::sleep_for(1s); }

// Prints the CPU share of this process over 3 s and the memory grown since `baseMb`.
void ReportIdle(double baseMb) {
  Settle();
  const double cpu = ProcessCpuSeconds();
  const auto start = Clock::now();
  std::this_thread::sleep_for(3s);
  const double share = (ProcessCpuSeconds() - cpu) / (Millis(Clock::now() - start) / 1000.0) * 100.0;
  std::printf("%.4f %.3f\n", share, ResidentMegabytes() - baseMb);
}

int IdleAdapter(const std::string& endpoint, int sessions) {
  const double base = ResidentMegabytes();
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < sessions; ++i) {
    clients.push_back(ConnectAdapter(SessionEndpoint(endpoint, i), "0"));
    const SubscribeResult result = clients.back()->Subscribe(
        {"ns=1;s=Fast.Seconds"}, [](const Notification&) {}, SubscribeOpts{});
    if (!AllOk(result.code, result.items, 1)) return 1;
  }
  ReportIdle(base);
  return 0;
}

int IdleRaw(const std::string& endpoint, int sessions) {
  const double base = ResidentMegabytes();
  const std::vector<std::string> names{"Fast.Seconds"};
  std::vector<RawClient> clients;
  std::vector<std::unique_ptr<RawSubscription>> subscriptions;
  for (int i = 0; i < sessions; ++i) {
    clients.push_back(ConnectRaw(endpoint));
    subscriptions.push_back(
        std::make_unique<RawSubscription>(clients.back().get(), NodeIds(names), MonitorParams{}, nullptr));
    if (!subscriptions.back()->Ok()) return 1;
    subscriptions.back()->Start();
  }
  ReportIdle(base);
  subscriptions.clear();
  return 0;
}

// 1,000 Clients on one session against one raw client: an application that uses
// the stack directly serves all its tags from one client.
int Clients(const std::string& endpoint, bool useAdapter, int count) {
  const double base = ResidentMegabytes();
  std::vector<std::unique_ptr<Client>> clients;
  RawClient raw;
  for (int i = 0; useAdapter && i < count; ++i) clients.push_back(ConnectAdapter(endpoint, "0"));
  if (!useAdapter) raw = ConnectRaw(endpoint);
  Settle();
  std::printf("0 %.3f\n", ResidentMegabytes() - base);
  return 0;
}

int Child(const std::vector<std::string>& args) {
  if (args.size() != 3) return 2;
  const int count = std::stoi(args[2]);
  if (args[0] == "idle-adapter") return IdleAdapter(args[1], count);
  if (args[0] == "idle-raw") return IdleRaw(args[1], count);
  if (args[0] == "clients-adapter") return Clients(args[1], true, count);
  if (args[0] == "clients-raw") return Clients(args[1], false, count);
  return 2;
}

std::string Option(int argc, char** argv, const char* name) {
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
  return {};
}

constexpr const char* kUsage =
    "usage: ualib_bench [--only GROUP] [--plot-data FILE]\n"
    "  GROUP: read write subscribe browse latency throughput idle memory (default: all, about 3 min)\n";

// Only the two options with their values: anything else would start a long run the
// caller did not ask for.
int CheckArguments(int argc, char** argv) {
  for (int i = 1; i < argc; i += 2) {
    const bool known = std::strcmp(argv[i], "--only") == 0 || std::strcmp(argv[i], "--plot-data") == 0;
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (!known || i + 1 >= argc) {
      std::fprintf(stderr, "ualib_bench: %s %s\n%s", known ? "missing value after" : "unknown option:", argv[i],
                   kUsage);
      return 2;
    }
  }
  return -1;
}

int Main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--child") == 0) {
    g_drops = std::make_shared<DropCounter>();
    tessel::fnd::SetLogger(g_drops);
    return Child({argv + 2, argv + argc});
  }
  if (const int exitCode = CheckArguments(argc, argv); exitCode >= 0) return exitCode;
  g_drops = std::make_shared<DropCounter>();
  tessel::fnd::SetLogger(g_drops);
  const std::string only = Option(argc, argv, "--only");
  std::printf("ualib_bench: %u cores; links: loopback and 1 ms each way through a proxy\n",
              std::thread::hardware_concurrency());
  std::fflush(stdout);
  Table table;
  RequestFigures(table, only, Option(argc, argv, "--plot-data"));
  NotificationFigures(table, only);
  table.Print();
  return 0;
}

}  // namespace
}  // namespace ualib_bench

int main(int argc, char** argv) {
  try {
    return ualib_bench::Main(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "ualib_bench: %s\n", error.what());
    return 1;
  }
}
