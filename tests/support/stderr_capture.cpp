#include "stderr_capture.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace ualib_test {

StderrCapture::StderrCapture() {
  std::fflush(stderr);
  char path[] = "/tmp/ualib-stderr-XXXXXX";
  fileFd_ = mkstemp(path);
  if (fileFd_ < 0) return;
  unlink(path);
  savedFd_ = dup(STDERR_FILENO);
  dup2(fileFd_, STDERR_FILENO);
}

StderrCapture::~StderrCapture() {
  std::fflush(stderr);
  if (savedFd_ >= 0) {
    dup2(savedFd_, STDERR_FILENO);
    close(savedFd_);
  }
  if (fileFd_ >= 0) close(fileFd_);
}

std::string StderrCapture::Text() const {
  std::fflush(stderr);
  std::string out;
  if (fileFd_ < 0) return out;
  char buffer[4096];
  off_t offset = 0;
  ssize_t n;
  while ((n = pread(fileFd_, buffer, sizeof buffer, offset)) > 0) {
    out.append(buffer, static_cast<size_t>(n));
    offset += n;
  }
  return out;
}

}  // namespace ualib_test
