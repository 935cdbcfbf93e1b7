#include "values/options.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace velk::quarlink::internal {

bool ParseBoolOption(const tessel::fnd::defs::PropertyMap& properties, std::string_view key, bool fallback) {
  const std::string* text = properties.Get(key);
  if (!text) return fallback;
  std::string word = *text;
  std::transform(word.begin(), word.end(), word.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return !(word.empty() || word == "0" || word == "false" || word == "no" || word == "off" || word == "none");
}

}  // namespace velk::quarlink::internal
