// Writing result lines: whole lines only, so lines of the notification thread and
// the main thread never interleave.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace quarlink {

// Writes the line and a newline in one piece and flushes, so a reader of a pipe sees
// each notification as it comes. Control characters are escaped (see Escaped).
void PrintLine(std::FILE* stream, const std::string& line);

// The text with every control character (C0, DEL, C1) as \u00XX and every byte that
// is not UTF-8 as \xNN: names, values and messages come from the server, and a
// terminal must not take them for commands. JSON text stays JSON.
std::string Escaped(std::string_view text);

// Rows of columns printed left-aligned, two blanks apart; the last column is not padded.
class Table {
 public:
  void Add(std::vector<std::string> row);
  void Print(std::FILE* stream) const;

 private:
  std::vector<std::vector<std::string>> rows_;
};

}  // namespace quarlink
