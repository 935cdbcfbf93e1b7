#include "session/monitor_map.h"

#include <utility>

namespace velk::quarlink::internal {
namespace {

// Takes the context out of the held ones, or nothing when it is not there.
std::unique_ptr<MonitorEntry> TakeFrom(std::unordered_map<const MonitorEntry*, std::unique_ptr<MonitorEntry>>& held,
                                       const MonitorEntry* context) {
  const auto found = held.find(context);
  if (found == held.end()) return nullptr;
  std::unique_ptr<MonitorEntry> taken = std::move(found->second);
  held.erase(found);
  return taken;
}

}  // namespace

const MonitorEntry* MonitorMap::Find(const std::string& address) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = current_.find(address);
  return found == current_.end() ? nullptr : found->second.get();
}

MonitorEntry* MonitorMap::Prepare(MonitorEntry entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  entry.inserted = false;
  entry.stale = false;
  auto owned = std::make_unique<MonitorEntry>(std::move(entry));
  MonitorEntry* context = owned.get();
  held_.emplace(context, std::move(owned));
  return context;
}

void MonitorMap::Settle(MonitorEntry* context, bool created) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::unique_ptr<MonitorEntry> entry = TakeFrom(held_, context);
  if (!entry || !created || entry->stale) return;  // the stack holds nothing of it
  entry->inserted = true;
  std::unique_ptr<MonitorEntry>& slot = current_[entry->nodeAddress];
  Retire(std::exchange(slot, std::move(entry)));
}

void MonitorMap::MarkNotCreated(const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = current_.find(address);
  if (found == current_.end()) return;
  const MonitorEntry& old = *found->second;
  auto placeholder =
      std::make_unique<MonitorEntry>(MonitorEntry{0, old.nodeAddress, old.session, old.handler, old.params});
  Retire(std::exchange(found->second, std::move(placeholder)));
}

void MonitorMap::Erase(const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = current_.find(address);
  if (found == current_.end()) return;
  Retire(std::move(found->second));
  current_.erase(found);
}

void MonitorMap::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& [address, entry] : current_) Retire(std::move(entry));
  current_.clear();
}

void MonitorMap::Released(MonitorEntry* context) {
  std::lock_guard<std::mutex> lock(mutex_);
  context->stale = true;
  // Being created: Settle decides. Current: kept for the next resume.
  if (context->inserted) TakeFrom(held_, context);
}

bool MonitorMap::Delivers(const MonitorEntry* context) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!context->inserted) return true;
  const auto found = current_.find(context->nodeAddress);
  return found != current_.end() && found->second.get() == context;
}

bool MonitorMap::Empty() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return current_.empty();
}

size_t MonitorMap::Size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return current_.size();
}

bool MonitorMap::Stale(const MonitorEntry* context) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return context->stale;
}

void MonitorMap::Retire(std::unique_ptr<MonitorEntry> entry) {
  if (!entry || !entry->inserted || entry->stale) return;
  const MonitorEntry* context = entry.get();
  held_.emplace(context, std::move(entry));
}

}  // namespace velk::quarlink::internal
