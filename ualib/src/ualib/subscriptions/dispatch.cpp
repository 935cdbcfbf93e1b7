// Notification delivery: the stack's data-change callback converts each
// notification and queues it for the session's dispatch worker.
#include <utility>

#include "logging/log.h"
#include "subscriptions/subscriptions.h"
#include "values/typed_values.h"

namespace velk::quarlink::internal {
namespace {

using tessel::fnd::defs::Notification;

Notification ToNotification(const MonitorEntry& entry, const UA_DataValue& value) {
  Notification notification;
  notification.address = entry.nodeAddress;
  notification.value = NotificationValue(value, entry.params.arrays, entry.params.type.get());
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
