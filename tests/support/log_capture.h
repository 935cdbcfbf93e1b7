// Captures the adapter's log lines for assertions, installed as the process logger
// for the lifetime of the object.
#pragma once

#include <tessel/fnd/log.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ualib_test {

struct LogLine {
  int level;
  std::string line;
  // The text after "time:file:line:function:thread: ".
  std::string Text() const;
};

class LogCapture {
 public:
  explicit LogCapture(int level = 10);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<LogLine> Lines() const;
  // Texts of the lines at exactly this level (any level when level < 0).
  std::vector<std::string> Texts(int level = -1) const;
  // Number of lines whose text contains the fragment.
  size_t Count(const std::string& fragment) const;
  bool Contains(const std::string& fragment) const { return Count(fragment) > 0; }
  // Waits until a line containing the fragment was logged.
  bool WaitFor(const std::string& fragment, std::chrono::milliseconds timeout) const;
  void Clear();
  // Runs action once, on the logging thread, right after the first line that
  // contains the fragment: lets a test act at an exact point inside an operation.
  void OnLine(std::string fragment, std::function<void()> action);

 private:
  class Sink;
  std::shared_ptr<Sink> sink_;
};

}  // namespace ualib_test
