// Stand-in for the host framework's closed logger and tracer library.
#include <tessel/fnd/log.h>

#include <atomic>
#include <iostream>
#include <mutex>
#include <vector>

namespace tessel::fnd {
namespace {

class StderrLogger final : public Logger {
 public:
  StderrLogger() { level = 30; }
  void Emit(int lineLevel, const std::string& line) override {
    // One write per line, so lines of different threads do not interleave.
    std::string out = line;
    out += '\n';
    (void)lineLevel;
    std::fwrite(out.data(), 1, out.size(), stderr);
  }
};

struct Registry {
  std::mutex mutex;
  std::vector<std::shared_ptr<Logger>> retired;  // kept alive: see SetLogger
  std::atomic<Logger*> current{nullptr};
};

Registry& GetRegistry() {
  static Registry* registry = new Registry;  // never destroyed: threads may log during exit
  return *registry;
}

Logger& DefaultLogger() {
  static StderrLogger* logger = new StderrLogger;
  return *logger;
}

std::atomic<uint64_t> tracersConstructed{0};
std::atomic<uint64_t> tracersDestroyed{0};

}  // namespace

Logger::~Logger() = default;

void SetLogger(std::shared_ptr<Logger> logger) {
  auto& registry = GetRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.current.store(logger.get());
  if (logger) registry.retired.push_back(std::move(logger));
}

bool HasLogger() { return GetRegistry().current.load() != nullptr; }

Logger& Log() {
  Logger* current = GetRegistry().current.load();
  return current ? *current : DefaultLogger();
}

ScopedTracer::ScopedTracer(std::string entry, std::string scope) : entry_(std::move(entry)), scope_(std::move(scope)) {
  tracersConstructed.fetch_add(1);
  if (!entry_.empty()) Log().Emit(0, entry_);
}

ScopedTracer::~ScopedTracer() { tracersDestroyed.fetch_add(1); }

uint64_t ScopedTracer::Constructed() { return tracersConstructed.load(); }
uint64_t ScopedTracer::Destroyed() { return tracersDestroyed.load(); }

}  // namespace tessel::fnd
