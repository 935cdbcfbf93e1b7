// Discover: the endpoints (GetEndpoints) or the servers (FindServers) a discovery URL
// names, asked on a stack client of its own, so no session is needed or disturbed.
#include <fmt/format.h>
#include <open62541/client.h>
#include <open62541/client_config_default.h>
#include <velk/quarlink/client.h>

#include <chrono>
#include <set>
#include <string>

#include "logging/log.h"
#include "logging/sdk_log.h"
#include "security/certificate_info.h"
#include "security/channel_info.h"
#include "services/requests.h"
#include "session/client_impl.h"
#include "values/status.h"
#include "values/ua_types.h"

namespace velk::quarlink {

using namespace tessel::fnd::defs;

namespace {

constexpr uint32_t kDefaultTimeoutMs = 5000;

std::string Text(const UA_String& s) { return std::string(reinterpret_cast<const char*>(s.data), s.length); }

const char* TokenName(UA_UserTokenType type) {
  switch (type) {
    case UA_USERTOKENTYPE_ANONYMOUS:
      return "Anonymous";
    case UA_USERTOKENTYPE_USERNAME:
      return "UserName";
    case UA_USERTOKENTYPE_CERTIFICATE:
      return "Certificate";
    case UA_USERTOKENTYPE_ISSUEDTOKEN:
      return "IssuedToken";
    default:
      return "Unknown";
  }
}

const char* ApplicationTypeName(UA_ApplicationType type) {
  switch (type) {
    case UA_APPLICATIONTYPE_SERVER:
      return "Server";
    case UA_APPLICATIONTYPE_CLIENT:
      return "Client";
    case UA_APPLICATIONTYPE_CLIENTANDSERVER:
      return "ClientAndServer";
    case UA_APPLICATIONTYPE_DISCOVERYSERVER:
      return "DiscoveryServer";
    default:
      return "Unknown";
  }
}

// Token types in the order the endpoint lists them, each once.
std::string UserTokens(const UA_EndpointDescription& endpoint) {
  std::string tokens;
  std::set<std::string> seen;
  for (size_t i = 0; i < endpoint.userIdentityTokensSize; ++i) {
    const std::string name = TokenName(endpoint.userIdentityTokens[i].tokenType);
    if (seen.insert(name).second) tokens += (tokens.empty() ? "" : ",") + name;
  }
  return tokens;
}

void DescribeEndpoint(const UA_EndpointDescription& endpoint, size_t index, DiscoverResult& result) {
  const std::string prefix = fmt::format("endpoint.{}.", index);
  PropertyMap& p = result.properties;
  const std::string policyUri = Text(endpoint.securityPolicyUri);
  const std::string policy = internal::ShortPolicyName(policyUri);
  result.endpoints.push_back(Text(endpoint.endpointUrl));
  p.Set(prefix + "security_mode", internal::SecurityModeName(endpoint.securityMode));
  p.Set(prefix + "security_policy", policy);
  p.Set(prefix + "security_policy_uri", policyUri);
  p.Set(prefix + "security_level", std::to_string(endpoint.securityLevel));
  p.Set(prefix + "user_tokens", UserTokens(endpoint));
  p.Set(prefix + "application_uri", Text(endpoint.server.applicationUri));
  p.Set(prefix + "application_name", Text(endpoint.server.applicationName.text));
  const std::string der(reinterpret_cast<const char*>(endpoint.serverCertificate.data),
                        endpoint.serverCertificate.length);
  if (const auto certificate = internal::DescribeCertificate(der)) {
    p.Set(prefix + "certificate_thumbprint", certificate->thumbprint);
    p.Set(prefix + "certificate_subject", certificate->subject);
    p.Set(prefix + "certificate_not_before", certificate->notBefore);
    p.Set(prefix + "certificate_not_after", certificate->notAfter);
  }
}

void DescribeServer(const UA_ApplicationDescription& server, size_t index, DiscoverResult& result) {
  const std::string prefix = fmt::format("server.{}.", index);
  PropertyMap& p = result.properties;
  std::string urls;
  for (size_t i = 0; i < server.discoveryUrlsSize; ++i) urls += (i == 0 ? "" : ",") + Text(server.discoveryUrls[i]);
  result.endpoints.push_back(server.discoveryUrlsSize > 0 ? Text(server.discoveryUrls[0]) : "");
  p.Set(prefix + "application_uri", Text(server.applicationUri));
  p.Set(prefix + "application_name", Text(server.applicationName.text));
  p.Set(prefix + "application_type", ApplicationTypeName(server.applicationType));
  p.Set(prefix + "product_uri", Text(server.productUri));
  p.Set(prefix + "discovery_urls", urls);
}

// A stack client used for one discovery request and deleted with this object.
class DiscoveryClient {
 public:
  DiscoveryClient(uint32_t timeoutMs, const PropertyMap& properties) : client_(UA_Client_new()) {
    if (!client_) return;
    UA_ClientConfig* config = UA_Client_getConfig(client_);
    UA_ClientConfig_setDefault(config);
    config->timeout = timeoutMs;
    if (const std::string* level = properties.Get("sdk_log_level")) {
      internal::ParseSdkLogLevel(*level, sdkLog_.sdkLogLevel, sdkLog_.sdkLogOff);
    }
    if (config->logging) {
      config->logging->log = internal::SdkLog;
      config->logging->context = &sdkLog_;
    }
  }
  ~DiscoveryClient() {
    if (client_) UA_Client_delete(client_);
  }
  DiscoveryClient(const DiscoveryClient&) = delete;
  DiscoveryClient& operator=(const DiscoveryClient&) = delete;
  UA_Client* Get() const { return client_; }

 private:
  internal::SdkLogSettings sdkLog_;  // before the client: its logger points here
  UA_Client* client_;
};

Result Failed(const char* service, const std::string& url, UA_StatusCode status) {
  Result result = internal::StatusFromUa(status);
  result.message = fmt::format("{} at {} failed: {}", service, url, UA_StatusCode_name(status));
  return result;
}

}  // namespace

DiscoverResult Client::Discover(const DiscoverRequest& request) {
  UALIB_TRACE();
  DiscoverResult result{};
  const std::string url = request.filter.empty() ? impl->options.endpoint : request.filter;
  if (url.empty()) {
    result.code = ResultCode::InvalidArgument;
    result.message = "Discover needs a discovery URL: give it as the filter or Configure an endpoint";
    return result;
  }
  const std::string* service = request.options.properties.Get("discover");
  const bool servers = service && *service == "servers";
  if (service && !servers && *service != "endpoints") {
    result.code = ResultCode::InvalidArgument;
    result.message = fmt::format("discover: '{}' is neither endpoints nor servers", *service);
    return result;
  }
  if (internal::IsCancelled(request.options)) {
    result.code = ResultCode::Cancelled;
    result.message = "cancelled before the request was sent";
    return result;
  }
  const auto timeoutMs =
      request.options.timeout.count() > 0 ? static_cast<uint32_t>(request.options.timeout.count()) : kDefaultTimeoutMs;
  DiscoveryClient client(timeoutMs, impl->options.properties);
  if (!client.Get()) {
    result.code = ResultCode::InternalError;
    result.message = "UA_Client_new returned null";
    return result;
  }
  UALIB_LOG(internal::kDebug, "Discover: {} at {}", servers ? "FindServers" : "GetEndpoints", url);
  if (servers) {
    size_t count = 0;
    UA_ApplicationDescription* found = nullptr;
    const UA_StatusCode status =
        UA_Client_findServers(client.Get(), url.c_str(), 0, nullptr, 0, nullptr, &count, &found);
    internal::UaArray owned(found, count, &UA_TYPES[UA_TYPES_APPLICATIONDESCRIPTION]);
    if (status != UA_STATUSCODE_GOOD) {
      const Result failed = Failed("FindServers", url, status);
      result.code = failed.code;
      result.message = failed.message;
      return result;
    }
    for (size_t i = 0; i < count; ++i) DescribeServer(found[i], i, result);
    return result;
  }
  size_t count = 0;
  UA_EndpointDescription* endpoints = nullptr;
  const UA_StatusCode status = UA_Client_getEndpoints(client.Get(), url.c_str(), &count, &endpoints);
  internal::UaArray owned(endpoints, count, &UA_TYPES[UA_TYPES_ENDPOINTDESCRIPTION]);
  if (status != UA_STATUSCODE_GOOD) {
    const Result failed = Failed("GetEndpoints", url, status);
    result.code = failed.code;
    result.message = failed.message;
    return result;
  }
  for (size_t i = 0; i < count; ++i) DescribeEndpoint(endpoints[i], i, result);
  return result;
}

}  // namespace velk::quarlink
