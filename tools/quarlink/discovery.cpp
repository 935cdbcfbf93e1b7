// endpoints and servers: what a discovery URL offers, asked without opening a session.
#include <velk/quarlink/client.h>

#include <string>
#include <vector>

#include "commands.h"
#include "errors.h"
#include "output.h"
#include "values.h"

namespace quarlink {
namespace {

using tessel::fnd::defs::DiscoverResult;
using tessel::fnd::defs::ResultCode;

std::string Property(const DiscoverResult& result, const std::string& key) {
  const std::string* value = result.properties.Get(key);
  return value ? *value : "";
}

std::vector<std::string> Split(const std::string& list) {
  std::vector<std::string> items;
  for (size_t start = 0; start < list.size();) {
    size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    items.push_back(list.substr(start, comma - start));
    start = comma + 1;
  }
  return items;
}

Json Or(const std::string& text) { return text.empty() ? Json() : Json(text); }

DiscoverResult Ask(Context& context, const char* service) {
  tessel::fnd::defs::DiscoverRequest request;
  request.filter = context.session.Endpoint();
  request.options = context.session.Request();
  request.options.properties.Set("discover", service);
  return context.session.Client().Discover(request);
}

}  // namespace

int RunEndpoints(Context& context) {
  const DiscoverResult result = Ask(context, "endpoints");
  if (result.code != ResultCode::Ok) return RequestFailed(context, "endpoints", result.code, result.message);
  Table table;
  if (!context.json) table.Add({"ENDPOINT", "MODE", "POLICY", "USER TOKENS", "CERTIFICATE SHA-1", "VALID"});
  for (size_t i = 0; i < result.endpoints.size(); ++i) {
    const std::string key = "endpoint." + std::to_string(i) + ".";
    const auto get = [&](const char* name) { return Property(result, key + name); };
    if (context.json) {
      Json line = {{"endpoint", result.endpoints[i]},
                   {"security_mode", get("security_mode")},
                   {"security_policy", get("security_policy")},
                   {"security_policy_uri", get("security_policy_uri")},
                   {"security_level", std::stoi("0" + get("security_level"))},
                   {"user_tokens", Split(get("user_tokens"))},
                   {"application_uri", get("application_uri")}};
      line["certificate"] = get("certificate_thumbprint").empty()
                                ? Json()
                                : Json{{"sha1_thumbprint", get("certificate_thumbprint")},
                                       {"subject", get("certificate_subject")},
                                       {"not_before", get("certificate_not_before")},
                                       {"not_after", get("certificate_not_after")}};
      PrintLine(stdout, DumpJson(line));
      continue;
    }
    const std::string thumbprint = get("certificate_thumbprint");
    table.Add({result.endpoints[i], get("security_mode"), get("security_policy"), get("user_tokens"),
               thumbprint.empty() ? "-" : thumbprint,
               thumbprint.empty() ? "-" : get("certificate_not_before") + " .. " + get("certificate_not_after")});
  }
  table.Print(stdout);
  return kExitOk;
}

int RunServers(Context& context) {
  const DiscoverResult result = Ask(context, "servers");
  if (result.code != ResultCode::Ok) return RequestFailed(context, "servers", result.code, result.message);
  Table table;
  if (!context.json) table.Add({"DISCOVERY URL", "TYPE", "NAME", "APPLICATION URI"});
  for (size_t i = 0; i < result.endpoints.size(); ++i) {
    const std::string key = "server." + std::to_string(i) + ".";
    const auto get = [&](const char* name) { return Property(result, key + name); };
    if (context.json) {
      PrintLine(stdout, DumpJson({{"application_uri", get("application_uri")},
                                  {"application_name", get("application_name")},
                                  {"application_type", get("application_type")},
                                  {"product_uri", Or(get("product_uri"))},
                                  {"discovery_urls", Split(get("discovery_urls"))}}));
      continue;
    }
    table.Add({result.endpoints[i].empty() ? "-" : result.endpoints[i], get("application_type"),
               get("application_name"), get("application_uri")});
  }
  table.Print(stdout);
  return kExitOk;
}

}  // namespace quarlink
