// The option parsers a host's text reaches: switches, numbers, the stack's log level
// words and the security words.
#include <string>

#include "fuzz_support.h"
#include "logging/sdk_log.h"
#include "security/security.h"
#include "values/options.h"

using namespace velk::quarlink::internal;
using tessel::fnd::defs::PropertyMap;
using tessel::fnd::defs::ResultCode;

namespace {

constexpr const char* kSecurityKeys[] = {"security_mode",
                                         "security_policy",
                                         "accept_untrusted_server_certificate",
                                         "accept_expired_server_certificate",
                                         "certificate",
                                         "private_key",
                                         "application_uri",
                                         "trust_list",
                                         "rejected_certificates_dir",
                                         "revocation_list"};

// Plain decimal text within 32 bits reads as its number; anything else may only
// fall back or wrap, never fail.
void CheckNumber(const std::string& text) {
  PropertyMap properties;
  properties.Set("n", text);
  const uint32_t parsed = ParseNumberOption(properties, "n", 7);
  uint64_t exact = 0;
  const bool decimal = !text.empty() && text.size() <= 10 &&
                       text.find_first_not_of("0123456789") == std::string::npos &&
                       (exact = std::stoull(text)) <= UINT32_MAX;
  if (decimal) FUZZ_CHECK(parsed == exact);
  FUZZ_CHECK(ParseNumberOption(PropertyMap{}, "n", 9) == 9);
}

void CheckBool(const std::string& text) {
  PropertyMap properties;
  properties.Set("b", text);
  // The answer does not depend on the fallback once the key is present.
  FUZZ_CHECK(ParseBoolOption(properties, "b", true) == ParseBoolOption(properties, "b", false));
}

void CheckLogLevel(const std::string& text) {
  UA_LogLevel level = UA_LOGLEVEL_INFO;
  bool off = true;
  if (!ParseSdkLogLevel(text, level, off)) FUZZ_CHECK(level == UA_LOGLEVEL_INFO && !off);
}

// A mask picks which keys get which parts of the input.
void CheckSecurity(fuzz::Input& input) {
  PropertyMap properties;
  const uint16_t mask = static_cast<uint16_t>(input.Byte() | input.Byte() << 8);
  for (size_t i = 0; i < std::size(kSecurityKeys); ++i) {
    if (mask & (1u << i)) properties.Set(kSecurityKeys[i], input.Part());
  }
  SecuritySettings settings;
  settings.policyName = "untouched";
  const tessel::fnd::defs::Result result = ParseSecuritySettings(properties, settings);
  if (result.code != ResultCode::Ok) {
    FUZZ_CHECK(result.code == ResultCode::InvalidArgument && settings.policyName == "untouched");
    return;
  }
  // Secured settings always name a policy; plain ones never carry secured material.
  FUZZ_CHECK(settings.Secure() != settings.policyName.empty());
  if (!settings.Secure()) FUZZ_CHECK(settings.certificatePath.empty() && !settings.acceptUntrusted);
  const std::string key = RegistryKey("opc.tcp://127.0.0.1:4840", "user", "", settings);
  FUZZ_CHECK(key.starts_with("opc.tcp://127.0.0.1:4840|user"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  const std::string word = input.Part();
  CheckNumber(word);
  CheckBool(word);
  CheckLogLevel(word);
  CheckSecurity(input);
  return 0;
}
