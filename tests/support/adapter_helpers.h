// Small helpers for integration tests that drive the adapter's Client.
#pragma once

#include <velk/quarlink/client.h>
#include <velk/quarlink/connection_registry.h>

#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "connection.h"

namespace ualib_test {

using Properties = std::initializer_list<std::pair<std::string, std::string>>;

inline tessel::fnd::defs::ConnectionOptions Options(const std::string& endpoint, Properties properties = {}) {
  tessel::fnd::defs::ConnectionOptions options;
  options.endpoint = endpoint;
  for (const auto& [key, value] : properties) options.properties.Set(key, value);
  return options;
}

// A configured and connected Client; fails the calling test when Connect fails.
std::unique_ptr<velk::quarlink::Client> ConnectedClient(const std::string& endpoint, Properties properties = {});

// The live session the registry holds under key (endpoint + "|" + user), or null.
std::shared_ptr<velk::quarlink::OpcuaConnection> LiveSession(const std::string& key);
// The live session whose key is prefix + "|#" + the digest of its password and
// security settings, or null.
std::shared_ptr<velk::quarlink::OpcuaConnection> LiveSessionWithDigest(const std::string& prefix);
// The anonymous session of an endpoint.
inline std::shared_ptr<velk::quarlink::OpcuaConnection> SessionOf(const std::string& endpoint) {
  return LiveSession(endpoint + "|");
}

struct SubscriptionState {
  uint32_t subscriptionId = 0;
  std::map<std::string, uint32_t> items;  // address -> monitored item id
};
SubscriptionState StateOf(velk::quarlink::OpcuaConnection& conn);
size_t QueueDepth(velk::quarlink::OpcuaConnection& conn);

// Reads one node's value through the Client.
tessel::fnd::defs::ReadResult ReadOne(velk::quarlink::Client& client, const std::string& address);

// True when that read succeeded for its item.
bool ReadsOk(velk::quarlink::Client& client, const std::string& address);

// "ns=1;s=<name>": the test server's nodes.
inline std::string Node(const std::string& name) { return "ns=1;s=" + name; }

}  // namespace ualib_test
