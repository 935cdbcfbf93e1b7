#include "log_capture.h"

#include <mutex>
#include <utility>

#include "test_server.h"

namespace ualib_test {

class LogCapture::Sink final : public tessel::fnd::Logger {
 public:
  explicit Sink(int threshold) { level = threshold; }
  void Emit(int lineLevel, const std::string& line) override {
    std::function<void()> fire;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!active) return;
      lines.push_back({lineLevel, line});
      if (action && line.find(trigger) != std::string::npos) fire = std::exchange(action, nullptr);
    }
    if (fire) fire();
  }
  mutable std::mutex mutex;
  std::vector<LogLine> lines;
  bool active = true;
  std::string trigger;
  std::function<void()> action;
};

// The time stamp holds two colons of its own, so the text starts after the first ": ".
std::string LogLine::Text() const {
  const size_t pos = line.find(": ");
  return pos == std::string::npos ? line : line.substr(pos + 2);
}

LogCapture::LogCapture(int level) : sink_(std::make_shared<Sink>(level)) { tessel::fnd::SetLogger(sink_); }

LogCapture::~LogCapture() {
  tessel::fnd::SetLogger(nullptr);
  std::lock_guard<std::mutex> lock(sink_->mutex);
  sink_->active = false;
}

std::vector<LogLine> LogCapture::Lines() const {
  std::lock_guard<std::mutex> lock(sink_->mutex);
  return sink_->lines;
}

std::vector<std::string> LogCapture::Texts(int level) const {
  std::vector<std::string> out;
  for (const LogLine& line : Lines())
    if (level < 0 || line.level == level) out.push_back(line.Text());
  return out;
}

size_t LogCapture::Count(const std::string& fragment) const {
  size_t n = 0;
  for (const LogLine& line : Lines()) n += line.Text().find(fragment) != std::string::npos ? 1 : 0;
  return n;
}

bool LogCapture::WaitFor(const std::string& fragment, std::chrono::milliseconds timeout) const {
  return ualib_test::WaitFor([&] { return Contains(fragment); }, timeout);
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> lock(sink_->mutex);
  sink_->lines.clear();
}

void LogCapture::OnLine(std::string fragment, std::function<void()> action) {
  std::lock_guard<std::mutex> lock(sink_->mutex);
  sink_->trigger = std::move(fragment);
  sink_->action = std::move(action);
}

}  // namespace ualib_test
