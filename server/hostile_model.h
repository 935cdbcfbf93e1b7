#pragma once

#include <open62541/server.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace quarlink_demo {

// What the hostile mode does with time; the address space itself is fixed.
struct HostileTiming {
  std::chrono::milliseconds slowCall{30'000};  // Hostile.SlowCall answers this long after it was called
  std::chrono::milliseconds dropSubscriptions{
      3'000};  // every subscription of the server is deleted this often; 0: never
};

// The --hostile address space below ns=1;s=Hostile: values at the edges of what the
// protocol allows, hierarchies too wide, too deep or cyclic for a naive walk, data
// types no decoder should follow to the end, a method that answers late and
// subscriptions that vanish. It must outlive the server.
class HostileModel {
 public:
  explicit HostileModel(HostileTiming timing) : timing_(timing) {}
  ~HostileModel();
  HostileModel(const HostileModel&) = delete;
  HostileModel& operator=(const HostileModel&) = delete;

  // Before the server is created from it: lets any session take over any subscription.
  void Configure(UA_ServerConfig& config);
  // Adds the nodes. Throws std::runtime_error on failure.
  void Build(UA_Server* server);
  // Once the server listens: starts the thread that deletes subscriptions.
  void Start(uint16_t port);
  // Called by the server loop after every iteration: answers the late calls that are due.
  void Poll(UA_Server* server);
  // Before the server shuts down: stops the thread, serving its last request meanwhile.
  void Stop(UA_Server* server);

 private:
  struct PendingCall {
    void* context;
    std::chrono::steady_clock::time_point due;
  };

  void BuildTypes();
  void AddValues(UA_Server* server);
  void AddHierarchies(UA_Server* server);
  void AddStructures(UA_Server* server);
  void AddSlowCall(UA_Server* server);
  void DropSubscriptions(uint16_t port);

  const HostileTiming timing_;
  // The custom data types: Nest.0 .. Nest.999 (each holding the next), then Claim.
  std::vector<UA_DataType> types_;
  std::vector<UA_DataTypeMember> members_;
  std::vector<std::string> typeNames_;
  std::unique_ptr<UA_DataTypeArray> typeArray_;  // chained before the server's other custom types
  std::deque<PendingCall> pending_;              // only touched by the server's thread
  std::atomic<bool> stop_{false};
  std::atomic<bool> dropperDone_{false};
  std::thread dropper_;
};

}  // namespace quarlink_demo
