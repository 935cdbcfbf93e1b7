// The session's monitored items by node address, and the owner of every callback
// context the stack holds for them. Changed only under the session lock; the
// stack's callbacks, which run inside the event loop without it, use it too, so it
// also takes a leaf lock of its own in every member.
#pragma once

#include <tessel/fnd/defs/comm_adapter.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "values/convert.h"
#include "values/typed_values.h"

namespace velk::quarlink {

class OpcuaConnection;

inline constexpr double kDefaultIntervalMs = 250.0;

// What the caller asked of a monitored item; a resumed item gets the same again.
struct MonitorParams {
  double samplingIntervalMs = kDefaultIntervalMs;
  uint32_t queueSize = 1;
  bool discardOldest = true;
  internal::Arrays arrays = internal::Arrays::Empty;  // of the Client that subscribed it
  // With Arrays::Typed, the node's data type, read when the item was made.
  std::shared_ptr<const internal::TypeInfo> type;
};

// One monitored item and the stack's callback context for it. An item id of 0
// marks an item that could not be re-created after a reconnect: it keeps its
// handler and is tried again at the next resume.
struct MonitorEntry {
  uint32_t monitoredItemId = 0;
  std::string nodeAddress;
  OpcuaConnection* session = nullptr;
  tessel::fnd::defs::SubscriptionHandler handler;
  MonitorParams params;
  bool inserted = false;  // the stack accepted it as the context of a created item
  bool stale = false;     // the stack let go of it (its delete callback ran)
};

namespace internal {

class MonitorMap {
 public:
  using Items = std::map<std::string, std::unique_ptr<MonitorEntry>>;

  // The current item of each address; the caller holds the session lock (the
  // callbacks never change it).
  const Items& Current() const { return current_; }
  const MonitorEntry* Find(const std::string& address) const;
  bool Empty() const;
  size_t Size() const;
  // The stack let go of the context while it was being created.
  bool Stale(const MonitorEntry* context) const;

  // A context for an item about to be created; until Settle the map keeps it and
  // the stack may call back with it (a first notification, a delete).
  MonitorEntry* Prepare(MonitorEntry entry);
  // The creation ended. Created (and still held by the stack), the context becomes
  // the current item of its address and the item it replaces is retired; otherwise
  // it is freed, the stack holds nothing of a failed creation.
  void Settle(MonitorEntry* context, bool created);
  // The address's item is not on the server any more: kept with id 0, its handler
  // and parameters, for the next resume.
  void MarkNotCreated(const std::string& address);
  // Takes an address's item out of the map. A context the stack still holds stays
  // owned, without a voice, until the stack lets go of it.
  void Erase(const std::string& address);
  void Clear();

  // The stack's delete callback: the stack let go of the context.
  void Released(MonitorEntry* context);
  // True for the current item of an address and for a context being created: its
  // notifications reach the handler. Retired contexts stay silent.
  bool Delivers(const MonitorEntry* context) const;

 private:
  void Retire(std::unique_ptr<MonitorEntry> entry);

  mutable std::mutex mutex_;
  Items current_;
  // Contexts being created and retired contexts the stack still holds, by address:
  // a batch of a thousand items settles a thousand of them in turn.
  std::unordered_map<const MonitorEntry*, std::unique_ptr<MonitorEntry>> held_;
};

}  // namespace internal
}  // namespace velk::quarlink
