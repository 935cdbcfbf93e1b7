#include "security/channel_info.h"

#include <string_view>

namespace velk::quarlink::internal {

namespace {

constexpr std::string_view kPolicyPrefix = "http://opcfoundation.org/UA/SecurityPolicy#";

}  // namespace

const char* SecurityModeName(UA_MessageSecurityMode mode) {
  switch (mode) {
    case UA_MESSAGESECURITYMODE_NONE:
      return "None";
    case UA_MESSAGESECURITYMODE_SIGN:
      return "Sign";
    case UA_MESSAGESECURITYMODE_SIGNANDENCRYPT:
      return "SignAndEncrypt";
    default:
      return "Invalid";
  }
}

std::string ShortPolicyName(std::string uri) {
  if (uri.starts_with(kPolicyPrefix)) uri.erase(0, kPolicyPrefix.size());
  return uri;
}

void DescribeChannel(UA_Client* client, tessel::fnd::defs::PropertyMap& out) {
  UA_MessageSecurityMode mode = UA_MESSAGESECURITYMODE_INVALID;
  UA_String policy = UA_STRING_NULL;
  if (UA_Client_getConnectionAttribute_scalar(client, UA_QUALIFIEDNAME(0, const_cast<char*>("securityMode")),
                                              &UA_TYPES[UA_TYPES_MESSAGESECURITYMODE], &mode) != UA_STATUSCODE_GOOD ||
      UA_Client_getConnectionAttribute_scalar(client, UA_QUALIFIEDNAME(0, const_cast<char*>("securityPolicyUri")),
                                              &UA_TYPES[UA_TYPES_STRING], &policy) != UA_STATUSCODE_GOOD) {
    return;
  }
  out.Set("security_mode", SecurityModeName(mode));
  out.Set("security_policy", ShortPolicyName(std::string(reinterpret_cast<const char*>(policy.data), policy.length)));
}

}  // namespace velk::quarlink::internal
