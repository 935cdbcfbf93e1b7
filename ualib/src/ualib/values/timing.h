// Durations as the timing lines print them.
#pragma once

#include <chrono>

namespace velk::quarlink::internal {

// Milliseconds with microsecond resolution: the nanoseconds are truncated to whole
// microseconds first, so "{:.1f}" never rounds a sub-microsecond remainder up.
inline double ToMillis(std::chrono::steady_clock::duration elapsed) {
  return static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count()) / 1000.0;
}

}  // namespace velk::quarlink::internal
