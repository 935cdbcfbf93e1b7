// Writing result lines: whole lines only, so lines of the notification thread and
// the main thread never interleave.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace quarlink {

// Writes the line and a newline in one piece and flushes, so a reader of a pipe sees
// each notification as it comes.
void PrintLine(std::FILE* stream, const std::string& line);

// Rows of columns printed left-aligned, two blanks apart; the last column is not padded.
class Table {
 public:
  void Add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
  void Print(std::FILE* stream) const;

 private:
  std::vector<std::vector<std::string>> rows_;
};

}  // namespace quarlink
