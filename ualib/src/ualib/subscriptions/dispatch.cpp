// Notification delivery: the stack's data-change callback converts each
// notification and queues it for the session's dispatch worker.
#include <utility>

#include "logging/log.h"
#include "subscriptions/subscriptions.h"
#include "values/convert.h"
#include "values/status.h"
#include "values/typed_values.h"

namespace velk::quarlink::internal {
namespace {

using tessel::fnd::defs::Notification;
using tessel::fnd::defs::ResultCode;

Notification ToNotification(const MonitorEntry& entry, const UA_DataValue& value) {
  Notification notification;
  notification.address = entry.nodeAddress;
  tessel::fnd::defs::DataValue& out = notification.value;
  if (value.hasStatus && value.status != UA_STATUSCODE_GOOD) {
    // Any status but Good drops the value, even an Uncertain one.
    tessel::fnd::defs::Result mapped = StatusFromUa(value.status);
    out.code = mapped.code;
    out.message = std::move(mapped.message);
  } else if (value.hasValue && entry.params.arrays == Arrays::Typed) {
    const UA_StatusCode status = TypedToHost(value.value, entry.params.type.get(), out);
    if (status != UA_STATUSCODE_GOOD) {
      tessel::fnd::defs::Result mapped = StatusFromUa(status);
      out = {};
      out.code = mapped.code;
      out.message = std::move(mapped.message);
    }
  } else if (value.hasValue) {
    out.value = UaVariantToValue(value.value, entry.params.arrays);
  } else {
    out.code = ResultCode::InvalidState;
    out.message = "monitored item update carried no value";
  }
  if (value.hasSourceTimestamp) out.timestamp = UaDateTimeToUnixNanos(value.sourceTimestamp);
  return notification;
}

}  // namespace

void DataChangeCallback(UA_Client* /*client*/, UA_UInt32 /*subId*/, void* /*subContext*/, UA_UInt32 /*monId*/,
                        void* monContext, UA_DataValue* value) noexcept {
  const auto* entry = static_cast<const MonitorEntry*>(monContext);
  if (!entry || !entry->session || !value) return;
  if (!entry->handler) return;  // nobody would receive it
  // An item the map no longer holds was unsubscribed while the link was down; the
  // stack keeps it until that session is cleaned up.
  if (!entry->session->StateForCallbacks().monitors.Delivers(entry)) return;
  entry->session->link().NoteArrival();
  try {
    entry->session->dispatch().Push(QueuedNotification(ToNotification(*entry, *value), entry->handler));
  } catch (...) {
    // Out of memory: this notification is lost, the stack's thread goes on.
  }
}

void DeleteMonitorContext(UA_Client* /*client*/, UA_UInt32 /*subId*/, void* /*subContext*/, UA_UInt32 /*monId*/,
                          void* monContext) noexcept {
  auto* entry = static_cast<MonitorEntry*>(monContext);
  if (!entry || !entry->session) return;
  entry->session->StateForCallbacks().monitors.Released(entry);
}

}  // namespace velk::quarlink::internal
