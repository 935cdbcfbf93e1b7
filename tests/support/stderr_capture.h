// Redirects the process's standard error into a temporary file while alive.
#pragma once

#include <string>

namespace ualib_test {

class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  // Everything written to stderr since construction.
  std::string Text() const;

 private:
  int savedFd_ = -1;
  int fileFd_ = -1;
};

}  // namespace ualib_test
