// host_quickstart [ENDPOINT]: connect, read two nodes, watch a third, disconnect.
#include <velk/quarlink/client.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <variant>

using namespace tessel::fnd::defs;

// Values arrive as a std::variant; this host only shows the types it reads.
std::string Text(const Value& value) {
  if (const auto* number = std::get_if<double>(&value)) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", *number);
    return text;
  }
  if (const auto* number = std::get_if<int32_t>(&value)) return std::to_string(*number);
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  return "(type " + std::to_string(value.index()) + ")";
}

int main(int argc, char** argv) {
  ConnectionOptions options;
  options.endpoint = argc > 1 ? argv[1] : "opc.tcp://127.0.0.1:4840";
  options.properties.Set("reconnect_interval_ms", "1000");

  velk::quarlink::Client client;
  client.Configure(options);
  if (Result connected = client.Connect(); connected.code != ResultCode::Ok) {
    std::fprintf(stderr, "connect failed: %s\n", connected.message.c_str());
    return 1;
  }

  // One result per item, in request order; a failed item does not fail the batch.
  ReadRequest read;
  read.items = {{"ns=1;s=Scalar.Double", ""}, {"ns=1;s=Scalar.String", ""}};
  for (const ReadItemResult& item : client.Read(read).items) {
    std::printf("%s = %s\n", item.address.c_str(), item.value ? Text(item.value->value).c_str() : item.message.c_str());
  }

  // The handler runs on the session's dispatch thread, possibly after Unsubscribe
  // returns: it shares ownership of what it touches instead of borrowing locals.
  auto updates = std::make_shared<std::atomic<int>>(0);
  SubscribeOpts subscribeOptions;
  subscribeOptions.properties.Set("sampling_interval_ms", "100");
  SubscribeResult subscribed = client.Subscribe(
      {"ns=1;s=Counter"},
      [updates](const Notification& change) {
        if (++*updates <= 3)
          std::printf("%s changed to %s\n", change.address.c_str(), Text(change.value.value).c_str());
      },
      subscribeOptions);
  if (subscribed.code != ResultCode::Ok || subscribed.items.at(0).code != ResultCode::Ok) {
    std::fprintf(stderr, "subscribe failed: %s\n",
                 subscribed.items.empty() ? subscribed.message.c_str() : subscribed.items[0].message.c_str());
    return 1;
  }

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (*updates < 3 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  client.Unsubscribe({"ns=1;s=Counter"});
  client.Disconnect();
  return *updates >= 3 ? 0 : 1;
}
