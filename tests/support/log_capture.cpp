#include "log_capture.h"

#include <thread>

namespace ualib_test {

class LogCapture::Sink final : public tessel::fnd::Logger {
 public:
  explicit Sink(int threshold) { level = threshold; }
  void Emit(int lineLevel, const std::string& line) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (active) lines.push_back({lineLevel, line});
  }
  mutable std::mutex mutex;
  std::vector<LogLine> lines;
  bool active = true;
};

namespace {
// Fields are separated by ':'; the time stamp itself holds two, so the text
// starts after the sixth ": " boundary ("time:file:line:function:thread: ").
size_t TextStart(const std::string& line) {
  const size_t pos = line.find(": ");
  return pos == std::string::npos ? 0 : pos + 2;
}
std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> out;
  const size_t end = line.find(": ");
  size_t start = 0;
  const std::string head = line.substr(0, end);
  while (true) {
    const size_t colon = head.find(':', start);
    out.push_back(head.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return out;
}
}  // namespace

std::string LogLine::Text() const { return line.substr(TextStart(line)); }

std::string LogLine::Function() const {
  // time has two colons: fields are date+hh, mm, ss, file, line, function, thread.
  const std::vector<std::string> fields = Fields(line);
  return fields.size() >= 2 ? fields[fields.size() - 2] : std::string();
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
  for (const LogLine& line : Lines())
    if (line.Text().find(fragment) != std::string::npos) ++n;
  return n;
}

bool LogCapture::WaitFor(const std::string& fragment, std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!Contains(fragment)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> lock(sink_->mutex);
  sink_->lines.clear();
}

}  // namespace ualib_test
