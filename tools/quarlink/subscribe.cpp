// subscribe: one line per notification until the time is up or SIGINT/SIGTERM.
#include <tessel/fnd/log.h>
#include <velk/quarlink/client.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "errors.h"
#include "output.h"
#include "values.h"

namespace quarlink {
namespace {

using tessel::fnd::defs::Notification;
using tessel::fnd::defs::ResultCode;

// UTC with milliseconds, always three digits, so the lines stay aligned.
std::optional<std::string> SourceTime(const tessel::fnd::defs::DataValue& value) {
  if (!value.timestamp) return std::nullopt;
  constexpr int64_t kNanosPerSecond = 1'000'000'000;
  int64_t seconds = *value.timestamp / kNanosPerSecond;
  int64_t nanos = *value.timestamp % kNanosPerSecond;
  if (nanos < 0) {  // before 1970: the fraction counts forward from the earlier second
    --seconds;
    nanos += kNanosPerSecond;
  }
  char millis[8];
  std::snprintf(millis, sizeof millis, ".%03d", static_cast<int>(nanos / 1'000'000));
  return tessel::fnd::IsoTime(static_cast<double>(seconds), 0) + millis + "Z";
}

std::string NotificationJson(const Notification& notification) {
  const tessel::fnd::defs::DataValue& value = notification.value;
  const std::string type = DataValueTypeName(value);
  const std::optional<std::string> time = SourceTime(value);
  return DumpJson({{"address", notification.address},
                   {"value", DataValueToJson(value)},
                   {"type", type.empty() ? Json() : Json(type)},
                   {"quality", ResultCodeName(value.code)},
                   {"message", value.message},
                   {"source_time", time ? Json(*time) : Json()}});
}

// Columns as read prints them, then the quality and the source time.
std::string NotificationText(const Notification& notification, size_t addressWidth) {
  const tessel::fnd::defs::DataValue& value = notification.value;
  const std::string type = DataValueTypeName(value);
  std::string line = notification.address;
  line.resize(std::max(addressWidth, line.size()), ' ');
  return line + "  " + DataValueToText(value) + "  " + (type.empty() ? "-" : type) + "  " +
         ResultText(value.code, value.message) + "  " + SourceTime(value).value_or("-");
}

tessel::fnd::defs::SubscribeOpts Intervals(const SubscribeOptions& options) {
  tessel::fnd::defs::SubscribeOpts opts;
  if (options.samplingMs) opts.properties.Set("sampling_interval_ms", std::to_string(*options.samplingMs));
  if (options.publishingMs) opts.properties.Set("publishing_interval_ms", std::to_string(*options.publishingMs));
  return opts;
}

void PrintStateChange(const tessel::fnd::defs::ConnectionStateChange& change) {
  std::string line = "quarlink: connection " + StateName(change.previous) + " -> " + StateName(change.current);
  if (change.code != ResultCode::Ok) line += ": " + ResultText(change.code, change.message);
  PrintLine(stderr, line);
}

}  // namespace

int RunSubscribe(Context& context, const SubscribeOptions& options) {
  context.interrupts.ExitOnInterrupt(false);  // Ctrl-C is the normal end: unsubscribe and close
  velk::quarlink::Client& client = context.session.Client();
  size_t addressWidth = 0;
  for (const std::string& node : options.nodes) addressWidth = std::max(addressWidth, node.size());
  const bool json = context.json;
  // Runs on the library's dispatch thread; it captures only copies.
  auto print = [json, addressWidth](const Notification& notification) {
    PrintLine(stdout, json ? NotificationJson(notification) : NotificationText(notification, addressWidth));
  };
  tessel::fnd::defs::RegistrationToken stateHandler = client.SetConnectionStateHandler(PrintStateChange);
  const tessel::fnd::defs::SubscribeResult result = client.Subscribe(options.nodes, print, Intervals(options));
  context.interrupts.Disarm();  // --timeout bounds the subscribing, not the watching

  std::vector<std::string> subscribed;
  for (const auto& item : result.items) {
    if (item.code == ResultCode::Ok) {
      subscribed.push_back(item.address);
    } else {
      PrintLine(stderr, "quarlink: cannot subscribe to " + item.address + ": " + ResultText(item.code, item.message));
    }
  }
  if (result.code == ResultCode::Ok && !subscribed.empty()) {
    std::optional<std::chrono::steady_clock::time_point> deadline;
    if (options.seconds > 0) {
      deadline = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                        std::chrono::duration<double>(options.seconds));
    }
    context.interrupts.WaitUntil(deadline);
  }
  // The session's own teardown is not news to the person watching.
  if (stateHandler.release) stateHandler.release();
  // The tool's session is its own, so this ends the server-side subscription too.
  client.UnsubscribeAll();
  if (result.code != ResultCode::Ok) return RequestFailed(context, "subscribe", result.code, result.message);
  return subscribed.size() == result.items.size() ? kExitOk : kExitItemFailed;
}

}  // namespace quarlink
