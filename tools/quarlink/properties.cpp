#include "properties.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "errors.h"

namespace quarlink {
namespace {

constexpr std::string_view kPolicyUriPrefix = "http://opcfoundation.org/UA/SecurityPolicy#";

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// Keys a few edits away or sharing a word part, the nearest first.
std::string CloseMatches(const std::string& key) {
  std::vector<std::pair<size_t, std::string_view>> matches;
  for (const PropertyKey& known : ConnectionPropertyKeys()) {
    const size_t distance = EditDistance(Lower(key), known.key);
    const bool contains = key.size() >= 4 && known.key.find(Lower(key)) != std::string_view::npos;
    if (distance <= std::max<size_t>(2, key.size() / 4) || contains) matches.emplace_back(distance, known.key);
  }
  std::sort(matches.begin(), matches.end());
  std::string text;
  for (size_t i = 0; i < matches.size() && i < 3; ++i) text += (i == 0 ? "" : ", ") + std::string(matches[i].second);
  return text;
}

bool IsFlag(const std::string& value) {
  static const std::vector<std::string_view> words{"true", "false", "yes", "no", "on", "off", "1", "0"};
  return std::find(words.begin(), words.end(), Lower(value)) != words.end();
}

bool IsCount(std::string_view key, std::string_view value) {
  if (key.ends_with("_ms") && value.ends_with("ms")) value.remove_suffix(2);
  return !value.empty() && value.size() <= 10 &&
         std::all_of(value.begin(), value.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

std::string Joined(const std::vector<std::string_view>& words) {
  std::string text;
  for (size_t i = 0; i < words.size(); ++i) text += (i == 0 ? "" : ", ") + std::string(words[i]);
  return text;
}

}  // namespace

const std::vector<PropertyKey>& ConnectionPropertyKeys() {
  using enum PropertyKind;
  static const std::vector<PropertyKey> keys{
      {"sdk_log_level",
       Words,
       {"trace", "debug", "info", "warn", "warning", "error", "fatal", "none", "off", "silent"}},
      {"auto_reconnect", Flag, {}},
      {"reconnect_interval_ms", Count, {}},
      {"reconnect_max_attempts", Count, {}},
      {"reconnect_max_duration_ms", Count, {}},
      {"wait_for_server_ready", Flag, {}},
      {"server_status_node", Text, {}},
      {"connectivity_check_interval_ms", Count, {}},
      {"max_items_per_request", Count, {}},
      {"max_message_size", Count, {}},
      {"array_values", Flag, {}},
      {"security_mode", Words, {"none", "sign", "sign_and_encrypt"}},
      {"security_policy",
       Words,
       {"Basic256Sha256", "Aes128_Sha256_RsaOaep", "Aes256_Sha256_RsaPss", "Basic256", "Basic128Rsa15"}},
      {"certificate", Text, {}},
      {"private_key", Text, {}},
      {"application_uri", Text, {}},
      {"trust_list", Text, {}},
      {"revocation_list", Text, {}},
      {"rejected_certificates_dir", Text, {}},
      {"accept_untrusted_server_certificate", Flag, {}},
      {"accept_expired_server_certificate", Flag, {}},
  };
  return keys;
}

void CheckProperty(const std::string& key, const std::string& value) {
  const auto& keys = ConnectionPropertyKeys();
  const auto known = std::find_if(keys.begin(), keys.end(), [&](const PropertyKey& k) { return k.key == key; });
  if (known == keys.end()) {
    const std::string matches = CloseMatches(key);
    throw UsageError("-o " + key + ": no such connection property" +
                     (matches.empty() ? "" : " (did you mean " + matches + "?)"));
  }
  switch (known->kind) {
    case PropertyKind::Flag:
      if (!IsFlag(value))
        throw UsageError("-o " + key + "=" + value + ": accepted are true or false (yes/no, on/off, 1/0)");
      return;
    case PropertyKind::Count:
      if (!IsCount(key, value))
        throw UsageError("-o " + key + "=" + value + ": accepted is a whole number of 0 or more");
      return;
    case PropertyKind::Words: {
      const bool listed = std::any_of(known->words.begin(), known->words.end(),
                                      [&](std::string_view word) { return Lower(word) == Lower(value); });
      const bool policyUri = key == "security_policy" && value.starts_with(kPolicyUriPrefix);
      if (!listed && !policyUri) {
        throw UsageError("-o " + key + "=" + value + ": accepted are " + Joined(known->words) +
                         (key == "security_policy" ? " or a full policy URI" : ""));
      }
      return;
    }
    case PropertyKind::Text:
      return;
  }
}

}  // namespace quarlink
