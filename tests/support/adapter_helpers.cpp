#include "adapter_helpers.h"

#include <gtest/gtest.h>

#include <mutex>

namespace ualib_test {

using tessel::fnd::defs::ResultCode;

std::unique_ptr<velk::quarlink::Client> ConnectedClient(const std::string& endpoint, Properties properties) {
  auto client = std::make_unique<velk::quarlink::Client>();
  EXPECT_EQ(client->Configure(Options(endpoint, properties)).code, ResultCode::Ok);
  const auto result = client->Connect();
  EXPECT_EQ(result.code, ResultCode::Ok) << result.message;
  return client;
}

std::shared_ptr<velk::quarlink::OpcuaConnection> LiveSession(const std::string& key) {
  auto& registry = velk::quarlink::OpcuaConnectionRegistry::Instance();
  std::lock_guard<std::mutex> lock(registry.mutex);
  const auto it = registry.sessions.find(key);
  return it == registry.sessions.end() ? nullptr : it->second.lock();
}

std::shared_ptr<velk::quarlink::OpcuaConnection> LiveSessionWithDigest(const std::string& prefix) {
  auto& registry = velk::quarlink::OpcuaConnectionRegistry::Instance();
  std::lock_guard<std::mutex> lock(registry.mutex);
  for (const auto& [key, session] : registry.sessions) {
    if (key.rfind(prefix + "|#", 0) == 0 && key.find('|', prefix.size() + 1) == std::string::npos) {
      if (auto live = session.lock()) return live;
    }
  }
  return nullptr;
}

SubscriptionState StateOf(velk::quarlink::OpcuaConnection& conn) {
  std::lock_guard<velk::quarlink::TicketMutex> lock(conn.clientMutex);
  SubscriptionState state{conn.subscriptionId, {}};
  for (const auto& [address, entry] : conn.monitors) state.items[address] = entry.monitoredItemId;
  return state;
}

size_t QueueDepth(velk::quarlink::OpcuaConnection& conn) {
  std::lock_guard<std::mutex> lock(conn.dispatchMutex);
  return conn.dispatchQueue.size();
}

tessel::fnd::defs::ReadResult ReadOne(velk::quarlink::Client& client, const std::string& address) {
  tessel::fnd::defs::ReadRequest request;
  request.items.push_back({address, {}});
  return client.Read(request);
}

bool ReadsOk(velk::quarlink::Client& client, const std::string& address) {
  const auto result = ReadOne(client, address);
  return result.code == ResultCode::Ok && result.items.size() == 1 && result.items[0].code == ResultCode::Ok;
}

}  // namespace ualib_test
