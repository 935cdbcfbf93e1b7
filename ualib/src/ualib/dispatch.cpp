// Notification delivery: the stack's data-change callback converts and queues each
// notification; one worker per session calls the handlers in order, outside every
// lock, so user code never runs on the thread that drives the stack.
#include <deque>
#include <exception>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "convert.h"
#include "log.h"
#include "status.h"
#include "subscriptions.h"
#include "typed_values.h"

namespace velk::quarlink::internal {
namespace {

using tessel::fnd::defs::Notification;
using tessel::fnd::defs::ResultCode;
using QueueEntry = std::pair<Notification, tessel::fnd::defs::SubscriptionHandler>;

// --- Producer side (the stack's thread) ---

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

// An item the map no longer holds was unsubscribed while the link was down; the
// stack keeps it until that session is cleaned up. An item still being created is
// not in the map yet. The stack calls back under clientMutex, which guards the map.
bool IsCurrentItem(const MonitorEntry& entry, UA_UInt32 monId) {
  if (IsBeingCreated(&entry)) return true;
  const auto& monitors = entry.connection->monitors;
  const auto current = monitors.find(entry.nodeAddress);
  return current != monitors.end() && current->second.monitoredItemId == monId;
}

// At the cap the oldest entry makes room and is counted; the worker reports it.
void Enqueue(OpcuaConnection& conn, QueueEntry entry) {
  std::optional<QueueEntry> dropped;  // destroyed after the lock is released
  {
    std::lock_guard<std::mutex> lock(conn.dispatchMutex);
    if (conn.dispatchQueue.size() >= kDispatchQueueCap) {
      dropped.emplace(std::move(conn.dispatchQueue.front()));
      conn.dispatchQueue.pop_front();
      ++conn.droppedNotifications;
    }
    conn.dispatchQueue.push_back(std::move(entry));
  }
  conn.dispatchCv.notify_one();
}

// --- Consumer side (the worker) ---

// Waits for the next entry; false once the queue is empty and the worker is told to stop.
bool TakeNext(OpcuaConnection& conn, QueueEntry& out) {
  std::unique_lock<std::mutex> lock(conn.dispatchMutex);
  conn.dispatchCv.wait(lock, [&conn] { return !conn.dispatchQueue.empty() || !conn.dispatchRunning; });
  if (conn.dispatchQueue.empty()) return false;
  out = std::move(conn.dispatchQueue.front());
  conn.dispatchQueue.pop_front();
  return true;
}

// Set on the worker's own thread when a handler (or the destruction of a handler
// copy) released the last reference to the session there: joining would wait for
// itself. The session hands over what is still queued and the worker, which must
// not touch the session again, delivers it and ends.
thread_local std::optional<std::deque<QueueEntry>> tOrphanedEntries;

}  // namespace

void DataChangeCallback(UA_Client* /*client*/, UA_UInt32 /*subId*/, void* /*subContext*/, UA_UInt32 monId,
                        void* monContext, UA_DataValue* value) noexcept {
  const auto* entry = static_cast<const MonitorEntry*>(monContext);
  if (!entry || !entry->connection || !value) return;
  if (!entry->handler) return;  // nobody would receive it
  if (!IsCurrentItem(*entry, monId)) return;
  try {
    Enqueue(*entry->connection, QueueEntry(ToNotification(*entry, *value), entry->handler));
  } catch (...) {
    // Out of memory: this notification is lost, the stack's thread goes on.
  }
}

bool StartDispatchWorker(OpcuaConnection& conn) {
  conn.dispatchRunning = true;
  try {
    conn.dispatchThread = std::thread([session = &conn] {
      const auto deliver = [](const QueueEntry& entry) {
        if (!entry.second) return;
        try {
          entry.second(entry.first);
        } catch (const std::exception& e) {
          UALIB_LOG(kWarning, "SubscriptionHandler threw: {}", e.what());
        } catch (...) {
          UALIB_LOG(kWarning, "SubscriptionHandler threw non-std exception");
        }
      };
      uint64_t lastReported = 0;
      for (;;) {
        {
          QueueEntry entry;
          if (!TakeNext(*session, entry)) return;
          const uint64_t dropped = session->droppedNotifications.load();
          if (dropped > lastReported) {
            UALIB_LOG(kWarning,
                      "Subscription dispatch dropped {} oldest notification(s) due to queue overflow (cap={})",
                      dropped - lastReported, kDispatchQueueCap);
            lastReported = dropped;
          }
          deliver(entry);
        }  // the entry's handler copy goes here, which may release the session
        if (tOrphanedEntries) {
          for (; !tOrphanedEntries->empty(); tOrphanedEntries->pop_front()) deliver(tOrphanedEntries->front());
          tOrphanedEntries.reset();
          return;
        }
      }
    });
  } catch (const std::system_error&) {
    conn.dispatchRunning = false;
    return false;
  }
  return true;
}

void StopDispatchWorker(OpcuaConnection& conn) {
  if (!conn.dispatchRunning) return;
  if (conn.dispatchThread.get_id() == std::this_thread::get_id()) {
    // Released from one of its own handlers: hand over and let the worker finish.
    std::lock_guard<std::mutex> lock(conn.dispatchMutex);
    conn.dispatchRunning = false;
    tOrphanedEntries.emplace(std::move(conn.dispatchQueue));
    conn.dispatchThread.detach();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(conn.dispatchMutex);
    conn.dispatchRunning = false;
  }
  conn.dispatchCv.notify_all();
  if (conn.dispatchThread.joinable()) conn.dispatchThread.join();
}

}  // namespace velk::quarlink::internal
