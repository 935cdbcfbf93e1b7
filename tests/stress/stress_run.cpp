// The mixed-load run: 16 threads drive 8 Clients (four sessions on two servers) with
// a random mix of every operation while one server is restarted and the link to the
// other freezes and thaws. It passes when it ends with no deadlock (a watchdog dumps
// every thread's stack and fails after 30 s without a completed operation), every
// subscription that is surely still wanted delivers again, no session or thread
// outlives the last Disconnect, and resident memory stays flat (without sanitizers).
// STRESS_SECONDS sets the load phase (default 60); STRESS_SEED the random seed.
#include <dirent.h>
#include <sys/prctl.h>
#include <tessel/fnd/log.h>
#include <unistd.h>
#include <velk/quarlink/client.h>
#include <velk/quarlink/connection_registry.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "tcp_proxy.h"
#include "test_server.h"

namespace {

using namespace tessel::fnd::defs;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

constexpr int kThreads = 16;
constexpr int kClients = 8;
constexpr int kSessions = 4;  // clients 2s and 2s+1 share session s
constexpr int kFastNodes = 8;
constexpr auto kStallLimit = 30s;
// Resident memory may grow this much from warm-up to the end: allocator noise, not a leak.
constexpr long kRssToleranceKiB = 32 * 1024;
constexpr long kRssToleranceDivisor = 4;  // a quarter of the warm size

enum Op {
  kConnect,
  kDisconnect,
  kRead,
  kWrite,
  kBrowse,
  kCall,
  kSubscribe,
  kUnsubscribe,
  kUnsubscribeAll,
  kHandler,
  kOpCount
};
constexpr std::array<const char*, kOpCount> kOpNames{"Connect",        "Disconnect",  "Read",      "Write",
                                                     "Browse",         "Call",        "Subscribe", "Unsubscribe",
                                                     "UnsubscribeAll", "StateHandler"};
// Relative weights: data operations dominate, as in a host; sessions close and
// subscriptions go wholesale seldom enough that some items live through outages.
constexpr std::array<int, kOpCount> kOpWeights{3, 1, 20, 10, 6, 6, 10, 4, 1, 4};

std::string Node(const std::string& name) { return "ns=1;s=" + name; }

std::vector<std::string> Watchable() {
  std::vector<std::string> nodes{Node("Counter")};
  for (int i = 0; i < kFastNodes; ++i) nodes.push_back(Node("Fast." + std::to_string(i)));
  return nodes;
}

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

int ThreadCount() {
  int count = 0;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(tasks)) count += entry->d_name[0] != '.';
    closedir(tasks);
  }
  return count;
}

int64_t Now() { return Clock::now().time_since_epoch().count(); }

std::weak_ptr<velk::quarlink::OpcuaConnection> RegisteredSession(const std::string& keyPrefix) {
  auto& registry = velk::quarlink::OpcuaConnectionRegistry::Instance();
  std::lock_guard<std::mutex> lock(registry.mutex);
  for (const auto& [key, session] : registry.sessions)
    if (key == keyPrefix || key.rfind(keyPrefix + "|", 0) == 0) return session;
  return {};
}

// The load makes thousands of expected rejections; only errors are worth reading.
class ErrorsOnly : public tessel::fnd::Logger {
 public:
  void Emit(int severity, const std::string& line) override {
    if (severity >= kError) std::fprintf(stderr, "%s\n", line.c_str());
  }

 private:
  static constexpr int kError = 40;
};

// Whether a session's monitored item is surely wanted. Subscription changes of one
// session are counted as they start and finish; an item counts as wanted only when
// its Subscribe succeeded with no other change of the session running at any time
// meanwhile, so the run never asks for an item whose fate a race decided.
struct SessionBook {
  std::mutex mutex;
  int changesStarted = 0;                                                 // guarded by mutex
  int changesFinished = 0;                                                // guarded by mutex
  int attached = 0;                                                       // Clients connected, guarded by mutex
  std::map<std::string, bool> wanted;                                     // address -> surely wanted, guarded by mutex
  std::map<std::string, std::shared_ptr<std::atomic<int64_t>>> arrivals;  // address -> last delivery
  // For the report of an item that stopped delivering: the session it was made in.
  std::string registryKey;                                                       // set before the load
  std::map<std::string, std::weak_ptr<velk::quarlink::OpcuaConnection>> madeIn;  // guarded by mutex
  std::mutex arrivalsMutex;

  std::shared_ptr<std::atomic<int64_t>> Arrival(const std::string& address) {
    std::lock_guard<std::mutex> lock(arrivalsMutex);
    auto& slot = arrivals[address];
    if (!slot) slot = std::make_shared<std::atomic<int64_t>>(0);
    return slot;
  }
};

struct Change {
  bool alone;  // no other change of the session overlapped it
};

class Run {
 public:
  Run(int seconds, unsigned seed) : seconds_(seconds), seed_(seed) {}

  int Execute() {
    prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0, 0);  // lets the watchdog's gdb attach
    tessel::fnd::SetLogger(std::make_shared<ErrorsOnly>());
    ualib_test::ServerOptions options{0, {}, {"--fast", std::to_string(kFastNodes)}};
    restarted_ = std::make_unique<ualib_test::TestServer>(options);
    frozenServer_ = std::make_unique<ualib_test::TestServer>(options);
    proxy_ = std::make_unique<ualib_test::TcpProxy>(frozenServer_->Port());
    const int baselineThreads = ThreadCount();
    CreateClients();
    std::thread watchdog([this] { Watch(); });
    std::thread outages([this] { Outages(); });
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) workers.emplace_back([this, t] { Work(t); });

    const auto start = Clock::now();
    const auto warmUp = start + std::chrono::seconds(std::max(5, seconds_ / 4));
    std::this_thread::sleep_until(warmUp);
    const long warmRss = ResidentKiB();
    std::this_thread::sleep_until(start + std::chrono::seconds(seconds_));
    const long endRss = ResidentKiB();
    loadOver_ = true;
    for (auto& worker : workers) worker.join();
    outagesOver_ = true;
    outages.join();

    bool ok = Settle();
    ok = CheckDeliveries() && ok;
    ok = DisconnectAll(baselineThreads) && ok;
    ok = CheckMemory(warmRss, endRss) && ok;
    done_ = true;
    watchdog.join();
    PrintCounts();
    std::printf("stress: %s\n", ok ? "PASSED" : "FAILED");
    return ok ? 0 : 1;
  }

 private:
  struct Slot {
    std::unique_ptr<velk::quarlink::Client> client;
    std::shared_mutex use;                     // Connect and Disconnect alone, every other operation shared
    bool connected = false;                    // guarded by use (exclusively held to change)
    std::optional<RegistrationToken> handler;  // guarded by use (exclusively)
  };

  int SessionOf(int client) const { return client / 2; }

  void CreateClients() {
    for (int c = 0; c < kClients; ++c) {
      const int session = SessionOf(c);
      ConnectionOptions options;
      // Sessions 0 and 1 on the server that restarts, 2 and 3 behind the proxy.
      options.endpoint = session < 2 ? restarted_->Endpoint() : proxy_->Endpoint();
      // Unsecured, so the registry keys by endpoint and user (and a digest after a password).
      books_[session].registryKey = options.endpoint + "|" + (session % 2 == 1 ? "operator" : "");
      if (session % 2 == 1) {
        options.properties.Set("username", "operator");
        options.properties.Set("password", "secret");
      }
      options.properties.Set("reconnect_interval_ms", "200");
      options.properties.Set("connectivity_check_interval_ms", "500");
      options.properties.Set("max_items_per_request", c % 2 == 0 ? "1" : "0");
      if (c % 4 == 3) options.properties.Set("array_values", "yes");
      slots_[c].client = std::make_unique<velk::quarlink::Client>();
      slots_[c].client->Configure(options);
    }
  }

  Op Pick(std::mt19937& random) {
    std::discrete_distribution<int> weights(kOpWeights.begin(), kOpWeights.end());
    return static_cast<Op>(weights(random));
  }

  void Work(int thread) {
    std::mt19937 random(seed_ * 7919u + static_cast<unsigned>(thread));
    const std::vector<std::string> watchable = Watchable();
    while (!loadOver_) {
      const int c = std::uniform_int_distribution<int>(0, kClients - 1)(random);
      const Op op = Pick(random);
      const std::string address = watchable[std::uniform_int_distribution<size_t>(0, watchable.size() - 1)(random)];
      const bool ok =
          (op == kConnect || op == kDisconnect || op == kHandler) ? Exclusive(c, op) : Shared(c, op, address, random);
      counts_[op].fetch_add(1);
      if (ok) succeeded_[op].fetch_add(1);
      lastCompletion_ = Now();
    }
  }

  bool Exclusive(int c, Op op) {
    Slot& slot = slots_[c];
    std::unique_lock<std::shared_mutex> use(slot.use);
    SessionBook& book = books_[SessionOf(c)];
    if (op == kHandler) {
      if (slot.handler) {
        slot.handler->release();
        slot.handler.reset();
      } else {
        slot.handler = slot.client->SetConnectionStateHandler(
            [this](const ConnectionStateChange&) { stateChanges_.fetch_add(1); });
      }
      return true;
    }
    if (op == kConnect) {
      if (slot.connected) return slot.client->Connect().code == ResultCode::AlreadyConnected;
      const bool ok = slot.client->Connect().code == ResultCode::Ok;
      if (ok) {
        std::lock_guard<std::mutex> lock(book.mutex);
        ++book.attached;
      }
      slot.connected = ok;
      return ok;
    }
    if (slot.connected) {
      // Counted off before it leaves: the last Client gone closes the session and
      // every item with it. Counted after, a Client of the same session could
      // connect in between, to a new session, and keep the old items "wanted".
      std::lock_guard<std::mutex> lock(book.mutex);
      if (--book.attached == 0) book.wanted.clear();
    }
    slot.connected = false;
    return slot.client->Disconnect().code == ResultCode::Ok;
  }

  bool Shared(int c, Op op, const std::string& address, std::mt19937& random) {
    Slot& slot = slots_[c];
    std::shared_lock<std::shared_mutex> use(slot.use);
    velk::quarlink::Client& client = *slot.client;
    switch (op) {
      case kRead: {
        ReadRequest request;
        request.items = {{address, ""}, {Node("Scalar.Int32"), ""}, {Node("Scalar.String"), ""}};
        return client.Read(request).code == ResultCode::Ok;
      }
      case kWrite: {
        WriteRequest request;
        request.items.resize(1);
        request.items[0].address = Node("Scalar.Int32");
        request.items[0].value = static_cast<int32_t>(random() % 1000);
        const WriteResult result = client.Write(request);
        return result.code == ResultCode::Ok && result.items.at(0).code == ResultCode::Ok;
      }
      case kBrowse: {
        BrowseRequest request;
        request.root = Node(random() % 2 == 0 ? "Fast" : "Robot");
        request.include_values = random() % 2 == 0;
        return client.Browse(request).code == ResultCode::Ok;
      }
      case kCall: {
        CallRequest request;
        request.method = Node("Robot.Home");
        return client.Call(request).code == ResultCode::Ok;
      }
      case kSubscribe:
        return Subscribe(c, client, address);
      case kUnsubscribe:
        return Remove(c, {address}, [&] { return client.Unsubscribe({address}).code == ResultCode::Ok; });
      default:
        return Remove(c, Watchable(), [&] { return client.UnsubscribeAll().code == ResultCode::Ok; });
    }
  }

  template <typename Action>
  bool Changing(SessionBook& book, Action action, Change& change) {
    int startedBefore = 0;
    {
      std::lock_guard<std::mutex> lock(book.mutex);
      change.alone = book.changesStarted == book.changesFinished;
      startedBefore = ++book.changesStarted;
    }
    const bool ok = action();
    std::lock_guard<std::mutex> lock(book.mutex);
    change.alone = change.alone && book.changesStarted == startedBefore;
    ++book.changesFinished;
    return ok;
  }

  bool Subscribe(int c, velk::quarlink::Client& client, const std::string& address) {
    SessionBook& book = books_[SessionOf(c)];
    auto arrival = book.Arrival(address);
    Change change{};
    SubscribeOpts options;
    options.properties.Set("publishing_interval_ms", "100");
    options.properties.Set("sampling_interval_ms", "50");
    bool itemOk = false;
    const bool ok = Changing(
        book,
        [&] {
          const SubscribeResult result = client.Subscribe(
              {address}, [arrival](const Notification&) { arrival->store(Now()); }, options);
          itemOk = result.code == ResultCode::Ok && result.items.size() == 1 && result.items[0].code == ResultCode::Ok;
          return result.code == ResultCode::Ok;
        },
        change);
    std::weak_ptr<velk::quarlink::OpcuaConnection> session = RegisteredSession(book.registryKey);
    std::lock_guard<std::mutex> lock(book.mutex);
    book.wanted[address] = itemOk && change.alone;
    book.madeIn[address] = std::move(session);
    return ok && itemOk;
  }

  template <typename Action>
  bool Remove(int c, const std::vector<std::string>& addresses, Action action) {
    SessionBook& book = books_[SessionOf(c)];
    Change change{};
    const bool ok = Changing(book, action, change);
    std::lock_guard<std::mutex> lock(book.mutex);
    for (const std::string& address : addresses) book.wanted[address] = false;
    return ok;
  }

  // The fixture's side: restarts one server and freezes the link to the other, in turn.
  void Outages() {
    std::mt19937 random(seed_);
    while (!outagesOver_) {
      Pause(std::chrono::milliseconds(1000 + random() % 2000));
      if (outagesOver_) break;
      restarted_->Stop();
      ++restarts_;
      Pause(std::chrono::milliseconds(200 + random() % 1000));
      restarted_->Start({0, {}, {"--fast", std::to_string(kFastNodes)}});
      Pause(std::chrono::milliseconds(1000 + random() % 2000));
      if (outagesOver_) break;
      proxy_->Freeze();
      ++freezes_;
      Pause(std::chrono::milliseconds(500 + random() % 3000));
      proxy_->Thaw();
    }
  }

  void Pause(std::chrono::milliseconds pause) {
    const auto until = Clock::now() + pause;
    while (!outagesOver_ && Clock::now() < until) std::this_thread::sleep_for(20ms);
  }

  // No operation completed for too long: every thread's stack, then the run fails.
  void Watch() {
    lastCompletion_ = Now();
    while (!done_) {
      std::this_thread::sleep_for(200ms);
      const auto idle = std::chrono::nanoseconds(Now() - lastCompletion_.load());
      if (done_ || idle < kStallLimit) continue;
      std::fprintf(stderr, "stress: no operation completed for %lld s; every thread's stack follows\n",
                   static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(idle).count()));
      const std::string command =
          "gdb -p " + std::to_string(getpid()) + " -batch -nx -ex 'set pagination off' -ex 'thread apply all bt' 1>&2";
      if (std::system(command.c_str()) != 0) std::fprintf(stderr, "stress: gdb could not print the stacks\n");
      PrintCounts();
      std::fprintf(stderr, "stress: FAILED (deadlock)\n");
      std::_Exit(2);
    }
  }

  // After the load: both links healed, and every Client attached again.
  bool Settle() {
    bool ok = true;
    for (int c = 0; c < kClients; ++c) {
      std::unique_lock<std::shared_mutex> use(slots_[c].use);
      if (slots_[c].connected) continue;
      // The restarted server may still be coming up; Connect is retried until it answers.
      ok = ualib_test::WaitFor([&] { return slots_[c].client->Connect().code == ResultCode::Ok; }, 30s, 200ms) && ok;
      slots_[c].connected = true;
      std::lock_guard<std::mutex> lock(books_[SessionOf(c)].mutex);
      ++books_[SessionOf(c)].attached;
      lastCompletion_ = Now();
    }
    if (!ok) std::fprintf(stderr, "stress: a Client could not connect again after the load\n");
    return ok;
  }

  bool CheckDeliveries() {
    const int64_t settled = Now();
    bool ok = true;
    int checked = 0;
    for (int s = 0; s < kSessions; ++s) {
      std::map<std::string, bool> wanted;
      {
        std::lock_guard<std::mutex> lock(books_[s].mutex);
        wanted = books_[s].wanted;
      }
      for (const auto& [address, surely] : wanted) {
        if (!surely) continue;
        ++checked;
        auto arrival = books_[s].Arrival(address);
        // Long enough for the reconnect cycle of a frozen link and the re-creation.
        if (!ualib_test::WaitFor([&] { return arrival->load() > settled; }, 30s, 20ms)) {
          std::lock_guard<std::mutex> lock(books_[s].mutex);
          std::fprintf(stderr, "stress: session %d: %s no longer delivers (the session it was made in %s)\n", s,
                       address.c_str(), books_[s].madeIn[address].expired() ? "is gone" : "still lives");
          ok = false;
        }
        lastCompletion_ = Now();
      }
    }
    std::printf("stress: %d subscription(s) surely wanted at the end, all checked for delivery\n", checked);
    return ok;
  }

  bool DisconnectAll(int baselineThreads) {
    for (int c = 0; c < kClients; ++c) {
      std::unique_lock<std::shared_mutex> use(slots_[c].use);
      if (slots_[c].handler) slots_[c].handler->release();
      slots_[c].client->Disconnect();
      slots_[c].connected = false;
    }
    lastCompletion_ = Now();
    bool ok = true;
    {
      auto& registry = velk::quarlink::OpcuaConnectionRegistry::Instance();
      std::lock_guard<std::mutex> lock(registry.mutex);
      for (const auto& [key, session] : registry.sessions) {
        if (!session.expired()) {
          std::fprintf(stderr, "stress: session %s outlives the last Disconnect\n", key.c_str());
          ok = false;
        }
      }
    }
    // The watchdog and the main thread are the only threads beyond the baseline.
    const int threads = ThreadCount();
    if (threads > baselineThreads + 1) {
      std::fprintf(stderr, "stress: %d thread(s) after the last Disconnect, %d before the first Connect\n", threads - 1,
                   baselineThreads);
      ok = false;
    }
    return ok;
  }

  bool CheckMemory(long warmRss, long endRss) const {
    std::printf("stress: resident memory %ld KiB after warm-up, %ld KiB at the end of the load\n", warmRss, endRss);
    if (kSanitized) return true;  // shadow memory and quarantine say nothing about leaks
    const long allowed = warmRss + std::max(kRssToleranceKiB, warmRss / kRssToleranceDivisor);
    if (endRss <= allowed) return true;
    std::fprintf(stderr, "stress: resident memory grew beyond %ld KiB\n", allowed);
    return false;
  }

  void PrintCounts() const {
    long total = 0;
    for (int op = 0; op < kOpCount; ++op) {
      std::printf("stress: %-14s %8ld (%ld ok)\n", kOpNames[op], counts_[op].load(), succeeded_[op].load());
      total += counts_[op].load();
    }
    std::printf("stress: %ld operations; %d server restart(s), %d link freeze(s), %ld state change(s) delivered\n",
                total, restarts_.load(), freezes_.load(), stateChanges_.load());
    std::fflush(stdout);
  }

  const int seconds_;
  const unsigned seed_;
  std::unique_ptr<ualib_test::TestServer> restarted_;
  std::unique_ptr<ualib_test::TestServer> frozenServer_;
  std::unique_ptr<ualib_test::TcpProxy> proxy_;
  std::array<Slot, kClients> slots_;
  std::array<SessionBook, kSessions> books_;
  std::array<std::atomic<long>, kOpCount> counts_{};
  std::array<std::atomic<long>, kOpCount> succeeded_{};
  std::atomic<long> stateChanges_{0};
  std::atomic<int> restarts_{0};
  std::atomic<int> freezes_{0};
  std::atomic<int64_t> lastCompletion_{0};
  std::atomic<bool> loadOver_{false};
  std::atomic<bool> outagesOver_{false};
  std::atomic<bool> done_{false};
};

int EnvInt(const char* name, int fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : fallback;
}

}  // namespace

int main() {
  const int seconds = EnvInt("STRESS_SECONDS", 60);
  const auto seed = static_cast<unsigned>(EnvInt("STRESS_SEED", static_cast<int>(std::random_device{}() & 0x7fffffff)));
  std::printf("stress: %d s, seed %u (STRESS_SEED repeats the run)\n", seconds, seed);
  std::fflush(stdout);
  return Run(seconds, seed).Execute();
}
