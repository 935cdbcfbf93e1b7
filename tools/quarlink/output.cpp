#include "output.h"

#include <algorithm>
#include <cstdint>
#include <mutex>

namespace quarlink {
namespace {

constexpr char kHex[] = "0123456789abcdef";

// The length of the well-formed UTF-8 sequence at text[i], 0 when there is none.
size_t SequenceLength(std::string_view text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
  const uint8_t lead = byte(i);
  size_t length = 0;
  uint32_t point = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF)
    length = 2, point = lead & 0x1Fu;
  else if (lead >= 0xE0 && lead <= 0xEF)
    length = 3, point = lead & 0x0Fu;
  else if (lead >= 0xF0 && lead <= 0xF4)
    length = 4, point = lead & 0x07u;
  else
    return 0;
  if (i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0u) != 0x80u) return 0;
    point = (point << 6) | (byte(i + k) & 0x3Fu);
  }
  const bool overlong = (length == 3 && point < 0x800) || (length == 4 && point < 0x10000);
  const bool surrogate = point >= 0xD800 && point <= 0xDFFF;
  return overlong || surrogate || point > 0x10FFFF ? 0 : length;
}

void AppendEscape(std::string& out, const char* prefix, uint8_t value) {
  out += prefix;
  out += kHex[value >> 4];
  out += kHex[value & 0x0F];
}

}  // namespace

std::string Escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const size_t length = SequenceLength(text, i);
    const auto lead = static_cast<uint8_t>(text[i]);
    if (length == 0) {
      AppendEscape(out, "\\x", lead);
      ++i;
      continue;
    }
    if (lead < 0x20 || lead == 0x7F) {
      AppendEscape(out, "\\u00", lead);
    } else if (length == 2 && lead == 0xC2 && static_cast<uint8_t>(text[i + 1]) < 0xA0) {
      AppendEscape(out, "\\u00", static_cast<uint8_t>(text[i + 1]));  // C1: U+0080..U+009F
    } else {
      out.append(text.substr(i, length));
    }
    i += length;
  }
  return out;
}

void PrintLine(std::FILE* stream, const std::string& line) {
  static std::mutex mutex;
  const std::string printable = Escaped(line);
  std::lock_guard<std::mutex> lock(mutex);
  std::fwrite(printable.data(), 1, printable.size(), stream);
  std::fputc('\n', stream);
  std::fflush(stream);
}

void Table::Add(std::vector<std::string> row) {
  for (std::string& cell : row) cell = Escaped(cell);  // widths count what is printed
  rows_.push_back(std::move(row));
}

void Table::Print(std::FILE* stream) const {
  std::vector<size_t> widths;
  for (const auto& row : rows_) {
    widths.resize(std::max(widths.size(), row.size()), 0);
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  for (const auto& row : rows_) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
    }
    PrintLine(stream, line);
  }
}

}  // namespace quarlink
