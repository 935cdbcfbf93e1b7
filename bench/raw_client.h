// What a good user of the stack does for each figure: one request for a whole
// batch where the service allows it, notifications taken in the stack's callback.
#pragma once

#include <open62541/client.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ualib_bench {

// String NodeIds of namespace 1 that view into `names`, which must outlive them.
std::vector<UA_NodeId> NodeIds(const std::vector<std::string>& names);

bool RawReadOne(UA_Client* client, const UA_NodeId& node);
bool RawRead(UA_Client* client, const std::vector<UA_NodeId>& nodes);  // one Read request
// Reads `node` for `seconds`, keeping `inFlight` requests outstanding on the one
// client, as a pipelining application does; returns the reads per second, or a
// negative number when a read failed.
double RawPipelinedReadRate(UA_Client* client, const UA_NodeId& node, size_t inFlight, double seconds);
// One Write request; the server stamps the values with the time it takes them.
bool RawWrite(UA_Client* client, const std::vector<UA_NodeId>& nodes, int32_t value);
// Breadth first below `root`, all parents of a level in one Browse request, each
// continuation followed; descends into objects, variables and views. Returns the
// number of nodes found, 0 on failure.
size_t RawBrowseTree(UA_Client* client, const UA_NodeId& root);

struct MonitorParams {
  double publishingMs = 250.0;
  double samplingMs = 250.0;
  uint32_t queueSize = 0;
  bool discardOldest = false;
};

// What arrives for the items of one subscription: how many values, the time from
// the source time stamp to arrival, and values lost. Each item's value counts the
// server's ticks, so a step of more than one is a lost value.
class Collector {
 public:
  explicit Collector(size_t items) : last_(items, 0) {}
  void Record(bool on) { recording_ = on; }
  void Add(size_t item, int64_t value, int64_t sourceNs);

  uint64_t Count() const;
  uint64_t Lost() const;
  std::vector<double> LatenciesMs() const;

 private:
  std::atomic<bool> recording_{false};
  mutable std::mutex mutex_;
  std::vector<int64_t> last_;  // guarded by mutex_, as are the members below
  uint64_t count_ = 0;
  uint64_t lost_ = 0;
  std::vector<double> latenciesMs_;
};

// The subscription's parameters are the adapter's; its context is the collector (or null).
UA_UInt32 RawCreateSubscription(UA_Client* client, double publishingMs, Collector* collector);  // 0 on failure
// One CreateMonitoredItems request; fills `ids` and returns true when every item was created.
bool RawCreateItems(UA_Client* client, UA_UInt32 subscriptionId, const std::vector<UA_NodeId>& nodes,
                    const MonitorParams& params, std::vector<UA_UInt32>& ids);
bool RawDeleteItems(UA_Client* client, UA_UInt32 subscriptionId, std::vector<UA_UInt32>& ids);  // one request

// A subscription of a raw client to `nodes`, created in one CreateMonitoredItems
// request. Start() hands the client to a thread blocked in the stack's run loop
// (100 ms timeout), as an application waiting for notifications does; Stop() takes
// it back. Deletes its items and subscription when destroyed.
class RawSubscription {
 public:
  RawSubscription(UA_Client* client, const std::vector<UA_NodeId>& nodes, const MonitorParams& params,
                  Collector* collector);
  ~RawSubscription();
  RawSubscription(const RawSubscription&) = delete;
  RawSubscription& operator=(const RawSubscription&) = delete;

  bool Ok() const { return ok_; }
  void Start();
  void Stop();

 private:
  UA_Client* client_;
  UA_UInt32 subscriptionId_ = 0;
  std::vector<UA_UInt32> itemIds_;
  bool ok_ = false;
  std::atomic<bool> running_{false};
  std::thread thread_;
};

int64_t NowNs();  // system clock, as the server stamps its values

}  // namespace ualib_bench
