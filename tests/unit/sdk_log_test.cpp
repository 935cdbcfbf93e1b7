#include "sdk_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace velk::quarlink::internal {
namespace {

struct LevelCase {
  std::string text;
  UA_LogLevel level;
  bool off;
};

TEST(ParseSdkLogLevel, AcceptsEveryNameInAnyCase) {
  const std::vector<LevelCase> cases = {
      {"trace", UA_LOGLEVEL_TRACE, false},     {"DEBUG", UA_LOGLEVEL_DEBUG, false},
      {"Info", UA_LOGLEVEL_INFO, false},       {"warn", UA_LOGLEVEL_WARNING, false},
      {"WARNING", UA_LOGLEVEL_WARNING, false}, {"error", UA_LOGLEVEL_ERROR, false},
      {"fatal", UA_LOGLEVEL_FATAL, false},     {"none", UA_LOGLEVEL_FATAL, true},
      {"OFF", UA_LOGLEVEL_FATAL, true},        {"Silent", UA_LOGLEVEL_FATAL, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    UA_LogLevel level = UA_LOGLEVEL_TRACE;
    bool off = !c.off;
    ASSERT_TRUE(ParseSdkLogLevel(c.text, level, off));
    EXPECT_EQ(level, c.level);
    EXPECT_EQ(off, c.off);
  }
}

TEST(ParseSdkLogLevel, RefusesAnythingElseAndKeepsTheLevel) {
  const std::vector<std::string> refused = {"",
                                            " info",
                                            "info ",
                                            "inf",
                                            "warnings",
                                            "300",
                                            "\xC4",
                                            "off\n",
                                            std::string("de\0bug", 6),
                                            std::string("info\0", 5)};
  for (const auto& text : refused) {
    SCOPED_TRACE(text);
    auto level = static_cast<UA_LogLevel>(123);
    bool off = true;
    EXPECT_FALSE(ParseSdkLogLevel(text, level, off));
    EXPECT_EQ(level, static_cast<UA_LogLevel>(123));
    EXPECT_FALSE(off);
  }
}

// Redirects file descriptor 2 into a temporary file for its lifetime.
class StderrCapture {
 public:
  StderrCapture() : file_(std::tmpfile()), saved_(dup(STDERR_FILENO)) {
    std::fflush(stderr);
    dup2(fileno(file_), STDERR_FILENO);
  }
  ~StderrCapture() {
    Restore();
    std::fclose(file_);
  }
  std::string Text() {
    Restore();
    std::rewind(file_);
    std::string out;
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file_)) > 0;) out.append(chunk, n);
    return out;
  }

 private:
  void Restore() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    saved_ = -1;
  }
  std::FILE* file_;
  int saved_;
};

__attribute__((format(printf, 4, 5))) void Log(const SdkLogSettings* settings, UA_LogLevel level,
                                               UA_LogCategory category, const char* msg, ...) {
  va_list args;
  va_start(args, msg);
  SdkLog(const_cast<SdkLogSettings*>(settings), level, category, msg, args);
  va_end(args);
}

std::string Logged(const SdkLogSettings* settings, UA_LogLevel level, UA_LogCategory category,
                   const std::string& text) {
  StderrCapture capture;
  Log(settings, level, category, "%s", text.c_str());
  return capture.Text();
}

TEST(SdkLog, SilentWhenOffBelowTheThresholdOrWithoutSettings) {
  const SdkLogSettings off{UA_LOGLEVEL_TRACE, true};
  const SdkLogSettings warnings{UA_LOGLEVEL_WARNING, false};
  EXPECT_EQ(Logged(&off, UA_LOGLEVEL_FATAL, UA_LOGCATEGORY_CLIENT, "x"), "");
  EXPECT_EQ(Logged(&warnings, UA_LOGLEVEL_INFO, UA_LOGCATEGORY_CLIENT, "x"), "");
  EXPECT_EQ(Logged(nullptr, UA_LOGLEVEL_FATAL, UA_LOGCATEGORY_CLIENT, "x"), "");
  const SdkLogSettings defaults;  // silent by default
  EXPECT_EQ(Logged(&defaults, UA_LOGLEVEL_FATAL, UA_LOGCATEGORY_CLIENT, "x"), "");
}

TEST(SdkLog, WritesOneFormattedLineAtOrAboveTheThreshold) {
  const SdkLogSettings warnings{UA_LOGLEVEL_WARNING, false};
  {
    StderrCapture capture;
    Log(&warnings, UA_LOGLEVEL_WARNING, UA_LOGCATEGORY_SECURECHANNEL, "Connection %d closed (%s) 100%%", 7, "eof");
    EXPECT_EQ(capture.Text(), "[warning/channel] Connection 7 closed (eof) 100%\n");
  }
  EXPECT_EQ(Logged(&warnings, UA_LOGLEVEL_FATAL, UA_LOGCATEGORY_EVENTLOOP, "t"), "[fatal/eventloop] t\n");
  EXPECT_EQ(Logged(&warnings, static_cast<UA_LogLevel>(450), static_cast<UA_LogCategory>(8), "t"), "[?/?] t\n");
  EXPECT_EQ(Logged(&warnings, UA_LOGLEVEL_ERROR, UA_LOGCATEGORY_DISCOVERY, "t"), "[error/?] t\n");
}

TEST(SdkLog, LongMessagesAreCutAt1023Characters) {
  const SdkLogSettings all{UA_LOGLEVEL_TRACE, false};
  const std::string text = Logged(&all, UA_LOGLEVEL_TRACE, UA_LOGCATEGORY_NETWORK, std::string(2000, 'm'));
  EXPECT_EQ(text, "[trace/network] " + std::string(1023, 'm') + "\n");
}

TEST(SdkLog, LinesOfConcurrentThreadsStayWhole) {
  const SdkLogSettings all{UA_LOGLEVEL_TRACE, false};
  constexpr int kThreads = 4;
  constexpr int kLines = 200;
  StderrCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&all, t] {
      const std::string body(900, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) Log(&all, UA_LOGLEVEL_INFO, UA_LOGCATEGORY_CLIENT, "%d %s", t, body.c_str());
    });
  }
  for (auto& thread : threads) thread.join();
  std::istringstream lines(capture.Text());
  const std::string prefix = "[info/client] ";
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    ASSERT_EQ(line.size(), prefix.size() + 2 + 900) << line.substr(0, 80);
    ASSERT_EQ(line.compare(0, prefix.size(), prefix), 0) << line.substr(0, 80);
    const char thread = line[prefix.size()];
    ASSERT_TRUE(thread >= '0' && thread < '0' + kThreads);
    EXPECT_EQ(line.substr(prefix.size() + 2), std::string(900, static_cast<char>('a' + (thread - '0'))));
  }
  EXPECT_EQ(count, kThreads * kLines);
}

}  // namespace
}  // namespace velk::quarlink::internal
