#pragma once

#include <open62541/server.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace quarlink_demo {

// The address space the integration tests rely on (namespace 1, string NodeIds)
// and the state behind its dynamic nodes. The server's callbacks point at this
// object, so it must outlive the server.
// Nodes for load measurements, none by default.
struct LoadNodes {
  uint32_t tree = 0;  // Plant.0 .. Plant.<tree-1> below Plant, ten children per object
  uint32_t fast = 0;  // Fast.0 .. Fast.<fast-1> below Fast, all changed on every tick, and Fast.Seconds
};

class TestModel {
 public:
  TestModel(std::chrono::milliseconds stateDelay, std::set<std::string> omit, uint32_t wideChildren = 0,
            LoadNodes load = {});

  // Adds every node that was not omitted. Throws std::runtime_error on failure.
  void Build(UA_Server* server);

  // Starts the 10 ms tick behind Counter and ServerState; the ServerState delay
  // counts from here.
  UA_StatusCode StartTicking(UA_Server* server);

 private:
  bool Omitted(const std::string& name) const { return omit_.contains(name); }
  bool AddObject(const std::string& name, const UA_NodeId& parent, const UA_NodeId& referenceType,
                 UA_UInt32 typeDefinition);
  bool AddVariable(const std::string& name, const UA_NodeId& parent, const UA_NodeId& referenceType,
                   const UA_Variant& value, const UA_NodeId& dataType, UA_Byte accessLevel);
  template <typename T>
  bool AddScalar(const std::string& name, const UA_NodeId& parent, T value, const UA_DataType* type);
  bool AddDataSource(const std::string& name, const UA_NodeId& parent, const UA_DataType* type, UA_DataSource source,
                     void* context);
  bool AddMethod(const std::string& name, const UA_NodeId& parent, UA_MethodCallback callback, size_t inputCount,
                 const UA_Argument* inputs, size_t outputCount, const UA_Argument* outputs);
  void AddReference(const std::string& source, const std::string& target);

  void AddScalars();
  void AddRobot();
  void AddTree();
  void AddPaged();
  void AddWide();
  void AddPlant();
  void AddFast();
  void TickFast(UA_Server* server);
  void AddSharedAndCycle();
  void AddStatusVariables();

  // Context of a Slow.<index> data source.
  struct SlowNode {
    const TestModel* model;
    UA_Int32 index;
  };
  static UA_StatusCode ReadSlow(UA_Server* server, const UA_NodeId* sessionId, void* sessionContext,
                                const UA_NodeId* nodeId, void* nodeContext, UA_Boolean withSourceTimestamp,
                                const UA_NumericRange* range, UA_DataValue* value) noexcept;
  static void OnTick(UA_Server* server, void* model) noexcept;
  static UA_StatusCode OnBurst(UA_Server* server, const UA_NodeId* sessionId, void* sessionContext,
                               const UA_NodeId* methodId, void* methodContext, const UA_NodeId* objectId,
                               void* objectContext, size_t inputSize, const UA_Variant* input, size_t outputSize,
                               UA_Variant* output) noexcept;

  const std::chrono::milliseconds stateDelay_;
  const std::set<std::string> omit_;
  const uint32_t wideChildren_;
  const LoadNodes load_;
  std::vector<std::string> fastNames_;  // the Fast.<i> that exist, set by Build
  UA_Server* server_ = nullptr;         // set by Build, used to add nodes
  // Only touched from the server's own thread (callbacks and methods).
  UA_Int32 counter_ = 0;
  UA_Int32 burstValue_ = 0;
  UA_Int32 fastValue_ = 0;
  bool stateSettled_ = false;
  bool serving_ = false;  // reads made while the nodes are added are not slowed down
  std::array<SlowNode, 5> slowNodes_{};
  std::chrono::steady_clock::time_point stateSettlesAt_{};
};

}  // namespace quarlink_demo
