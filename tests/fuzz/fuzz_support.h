// What the fuzz targets share: a check that stops the run with the failed
// condition, a reader that splits the fuzzer's bytes into parts, and an equality of
// host values that tells NaN payloads and signed zeros apart.
#pragma once

#include <tessel/fnd/defs/comm_adapter.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)

namespace fuzz {

// Consumes the fuzzer's bytes from the front: single bytes for choices, and parts
// prefixed by their length (the last part takes whatever is left).
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint8_t Byte() {
    if (size_ == 0) return 0;
    --size_;
    return *data_++;
  }
  std::string Part() { return Take(std::min<size_t>(Byte(), size_)); }
  // With a two-byte length, little-endian.
  std::string LongPart() {
    const size_t low = Byte();
    return Take(std::min<size_t>(low | size_t{Byte()} << 8, size_));
  }
  std::string Rest() { return Take(size_); }
  bool empty() const { return size_ == 0; }

 private:
  std::string Take(size_t length) {
    std::string out(reinterpret_cast<const char*>(data_), length);
    data_ += length;
    size_ -= length;
    return out;
  }
  const uint8_t* data_;
  size_t size_;
};

template <typename T>
bool SameBits(const T& a, const T& b) {
  if constexpr (std::is_floating_point_v<T>) {
    return std::memcmp(&a, &b, sizeof(T)) == 0;
  } else {
    return a == b;
  }
}

template <typename T>
bool SameBits(const std::vector<T>& a, const std::vector<T>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (!SameBits<T>(a[i], b[i])) return false;
  }
  return true;
}

// Equal alternatives holding bit-identical contents.
inline bool SameValue(const tessel::fnd::defs::Value& a, const tessel::fnd::defs::Value& b) {
  if (a.index() != b.index()) return false;
  return std::visit(
      [&](const auto& left) {
        using T = std::decay_t<decltype(left)>;
        return SameBits(left, std::get<T>(b));
      },
      a);
}

}  // namespace fuzz
