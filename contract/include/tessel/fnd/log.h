// Host logger and tracer as adapters see them, plus the inline time and
// thread-name helpers that adapters build their log lines with.
#pragma once

#include <pthread.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#if defined(__GNUC__)
#define TESSEL_FND_LOG_API __attribute__((visibility("default")))
#else
#define TESSEL_FND_LOG_API
#endif

namespace tessel::fnd {

// Levels: 0 trace, 10 debug, 20 info, 30 warning, 40 error. A line at level L is
// emitted when level <= L.
class TESSEL_FND_LOG_API Logger {
 public:
  int level = 20;
  virtual ~Logger();
  virtual void Emit(int level, const std::string& line) = 0;
};

// Installs a logger for the whole process; null removes it. Loggers that were
// installed once stay alive until exit, because Log() hands out plain references
// that other threads may still be using.
TESSEL_FND_LOG_API void SetLogger(std::shared_ptr<Logger> logger);
TESSEL_FND_LOG_API bool HasLogger();
// The installed logger, or a built-in one that writes warnings and errors to stderr.
TESSEL_FND_LOG_API Logger& Log();

class TESSEL_FND_LOG_API ScopedTracer {
 public:
  // Emits entry at level 0 through Log() when it is non-empty.
  ScopedTracer(std::string entry, std::string scope);
  ~ScopedTracer();
  ScopedTracer(const ScopedTracer&) = delete;
  ScopedTracer& operator=(const ScopedTracer&) = delete;

  // Counters for tests: tracers constructed and destroyed since process start.
  static uint64_t Constructed();
  static uint64_t Destroyed();

 private:
  std::string entry_;
  std::string scope_;
};

// "YYYY-MM-DDTHH:MM:SS" in UTC, followed by the fraction of the second with at
// most `precision` significant digits and no trailing zeros.
inline std::string IsoTime(double seconds, uint8_t precision) {
  const auto whole = static_cast<time_t>(std::floor(seconds));  // floor: times before 1970 count back
  std::tm parts{};
  gmtime_r(&whole, &parts);
  char head[40];
  const size_t n = std::strftime(head, sizeof head, "%Y-%m-%dT%H:%M:", &parts);
  char sec[8];
  std::snprintf(sec, sizeof sec, "%02d", parts.tm_sec);
  std::string out(head, n);
  out += sec;
  if (precision == 0) return out;
  const double fraction = seconds - static_cast<double>(whole);
  char frac[64];
  // %.*g may switch to exponent notation for tiny fractions; %f with enough
  // decimals to hold the significant digits never does.
  if (fraction == 0.0) return out;
  const int leadingZeros = fraction > 0.0 ? static_cast<int>(std::floor(-std::log10(fraction))) : 0;
  const int decimals = leadingZeros + static_cast<int>(precision);
  std::snprintf(frac, sizeof frac, "%.*f", decimals < 60 ? decimals : 60, fraction);
  std::string text(frac);
  // A fraction that rounded up to 1 carries into the seconds.
  if (text[0] == '1') return IsoTime(static_cast<double>(whole) + 1.0, precision);
  while (!text.empty() && text.back() == '0') text.pop_back();
  if (!text.empty() && text.back() == '.') text.pop_back();
  const auto dot = text.find('.');
  if (dot != std::string::npos) out += text.substr(dot);
  return out;
}

inline std::string IsoTimeNow(int8_t precision) {
  const auto ticks = std::chrono::system_clock::now().time_since_epoch();
  const double now = static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(ticks).count()) / 1e9;
  return IsoTime(now, static_cast<uint8_t>(precision < 0 ? 0 : precision));
}

inline std::string ThreadName() {
  char name[32];
  std::memset(name, 0, sizeof name);
  if (pthread_getname_np(pthread_self(), name, sizeof name) != 0) return {};
  return std::string(name);
}

}  // namespace tessel::fnd
