#include "values/options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
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

uint32_t ParseNumberOption(const tessel::fnd::defs::PropertyMap& properties, std::string_view key, uint32_t fallback) {
  const std::string* text = properties.Get(key);
  if (!text) return fallback;
  errno = 0;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text->c_str(), &end, 10);
  if (end == text->c_str() || errno == ERANGE) return fallback;
  return static_cast<uint32_t>(value);
}

}  // namespace velk::quarlink::internal
