// The connection properties -o KEY=VALUE may set, and the check of each value, so a
// misspelt key or word is a usage error instead of a setting silently ignored.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quarlink {

enum class PropertyKind {
  Flag,   // true/false, yes/no, on/off, 1/0 in any letter case
  Count,  // a non-negative decimal integer (a key ending in _ms also takes the suffix "ms")
  Words,  // one of the listed words in any letter case
  Text,   // any text: paths, URIs, NodeIds
};

struct PropertyKey {
  std::string_view key;
  PropertyKind kind;
  std::vector<std::string_view> words;  // Words only
};

// Every key the library reads from a connection's properties: the one list to extend.
const std::vector<PropertyKey>& ConnectionPropertyKeys();

// Throws UsageError naming the close matches of an unknown key, or the accepted
// forms of a value that does not fit its key.
void CheckProperty(const std::string& key, const std::string& value);

}  // namespace quarlink
