#include "test_model.h"

#include <open62541/types.h>

#include <array>
#include <stdexcept>
#include <thread>
#include <utility>

#include "typed_model.h"

namespace quarlink_demo {
namespace {

constexpr UA_UInt16 kNamespace = 1;
constexpr UA_Byte kReadOnly = UA_ACCESSLEVELMASK_READ;
constexpr UA_Byte kReadWrite = UA_ACCESSLEVELMASK_READ | UA_ACCESSLEVELMASK_WRITE;
constexpr double kTickIntervalMs = 10.0;
constexpr auto kSlowReadDuration = std::chrono::milliseconds(50);
// Sleep and Burst block the server's only thread; bounded so a wrong argument
// cannot make the server unresponsive for the rest of a test run.
constexpr UA_UInt32 kMaxSleepMs = 60'000;
constexpr UA_UInt32 kMaxBurst = 100'000;

// Non-owning views of `name`, which the server copies. Temporaries are refused:
// their view would dangle once the statement ends.
UA_NodeId Id(const char* name) { return UA_NODEID_STRING(kNamespace, const_cast<char*>(name)); }
UA_NodeId Id(const std::string& name) { return Id(name.c_str()); }
UA_NodeId Id(std::string&&) = delete;
UA_QualifiedName BrowseName(const std::string& name) {
  return UA_QUALIFIEDNAME(kNamespace, const_cast<char*>(name.c_str()));
}
UA_QualifiedName BrowseName(std::string&&) = delete;
UA_LocalizedText DisplayName(const std::string& name) {
  return UA_LOCALIZEDTEXT(const_cast<char*>(""), const_cast<char*>(name.c_str()));
}
UA_LocalizedText DisplayName(std::string&&) = delete;
UA_NodeId Ns0(UA_UInt32 id) { return UA_NODEID_NUMERIC(0, id); }

void Check(UA_StatusCode status, const std::string& what) {
  if (status != UA_STATUSCODE_GOOD) {
    throw std::runtime_error(what + ": " + UA_StatusCode_name(status));
  }
}

UA_StatusCode WriteInt32(UA_Server* server, const char* name, UA_Int32 value) {
  UA_Variant variant;
  UA_Variant_setScalar(&variant, &value, &UA_TYPES[UA_TYPES_INT32]);
  return UA_Server_writeValue(server, UA_NODEID_STRING(kNamespace, const_cast<char*>(name)), variant);
}

template <typename T>
UA_StatusCode SetValue(UA_DataValue* out, T value, const UA_DataType* type, bool withSourceTimestamp) {
  UA_StatusCode status = UA_Variant_setScalarCopy(&out->value, &value, type);
  if (status != UA_STATUSCODE_GOOD) {
    return status;
  }
  out->hasValue = true;
  if (withSourceTimestamp) {
    out->sourceTimestamp = UA_DateTime_now();
    out->hasSourceTimestamp = true;
  }
  return UA_STATUSCODE_GOOD;
}

UA_Argument Argument(const char* name, const UA_DataType* type, UA_Int32 valueRank, UA_UInt32* dimensions = nullptr) {
  UA_Argument argument;
  UA_Argument_init(&argument);
  argument.name = UA_STRING(const_cast<char*>(name));
  argument.dataType = type->typeId;
  argument.valueRank = valueRank;
  if (dimensions != nullptr) {
    argument.arrayDimensionsSize = 1;
    argument.arrayDimensions = dimensions;
  }
  return argument;
}

template <typename T>
const T* ScalarInput(size_t inputSize, const UA_Variant* input, size_t index, const UA_DataType* type) {
  if (index >= inputSize || !UA_Variant_hasScalarType(&input[index], type)) {
    return nullptr;
  }
  return static_cast<const T*>(input[index].data);
}

// --- Data sources (read-only; no write callback) ---

UA_StatusCode ReadFault(UA_Server*, const UA_NodeId*, void*, const UA_NodeId*, void*, UA_Boolean withSourceTimestamp,
                        const UA_NumericRange*, UA_DataValue* value) noexcept {
  // The status goes into the value so that reads and monitored items both see
  // it. A value comes along because the stack replaces the status of an empty
  // DataValue with BadWaitingForInitialData.
  UA_StatusCode status = SetValue(value, UA_Int32{0}, &UA_TYPES[UA_TYPES_INT32], withSourceTimestamp);
  value->status = UA_STATUSCODE_BADINTERNALERROR;
  value->hasStatus = true;
  return status;
}

UA_StatusCode ReadSessionCount(UA_Server* server, const UA_NodeId*, void*, const UA_NodeId*, void*,
                               UA_Boolean withSourceTimestamp, const UA_NumericRange*, UA_DataValue* value) noexcept {
  UA_ServerStatistics statistics = UA_Server_getStatistics(server);
  auto sessions = static_cast<UA_UInt32>(statistics.ss.currentSessionCount);
  return SetValue(value, sessions, &UA_TYPES[UA_TYPES_UINT32], withSourceTimestamp);
}

// --- Robot methods ---

UA_StatusCode OnHome(UA_Server*, const UA_NodeId*, void*, const UA_NodeId*, void*, const UA_NodeId*, void*, size_t,
                     const UA_Variant*, size_t, UA_Variant*) noexcept {
  return UA_STATUSCODE_GOOD;
}

UA_StatusCode OnAdd(UA_Server*, const UA_NodeId*, void*, const UA_NodeId*, void*, const UA_NodeId*, void*,
                    size_t inputSize, const UA_Variant* input, size_t outputSize, UA_Variant* output) noexcept {
  const auto* a = ScalarInput<UA_Double>(inputSize, input, 0, &UA_TYPES[UA_TYPES_DOUBLE]);
  const auto* b = ScalarInput<UA_Double>(inputSize, input, 1, &UA_TYPES[UA_TYPES_DOUBLE]);
  if (a == nullptr || b == nullptr || outputSize < 1) {
    return UA_STATUSCODE_BADINVALIDARGUMENT;
  }
  UA_Double sum = *a + *b;
  return UA_Variant_setScalarCopy(&output[0], &sum, &UA_TYPES[UA_TYPES_DOUBLE]);
}

UA_StatusCode OnSleep(UA_Server*, const UA_NodeId*, void*, const UA_NodeId*, void*, const UA_NodeId*, void*,
                      size_t inputSize, const UA_Variant* input, size_t, UA_Variant*) noexcept {
  const auto* ms = ScalarInput<UA_UInt32>(inputSize, input, 0, &UA_TYPES[UA_TYPES_UINT32]);
  if (ms == nullptr) {
    return UA_STATUSCODE_BADINVALIDARGUMENT;
  }
  if (*ms > kMaxSleepMs) {
    return UA_STATUSCODE_BADOUTOFRANGE;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(*ms));
  return UA_STATUSCODE_GOOD;
}

UA_StatusCode OnArray(UA_Server*, const UA_NodeId*, void*, const UA_NodeId*, void*, const UA_NodeId*, void*, size_t,
                      const UA_Variant*, size_t outputSize, UA_Variant* output) noexcept {
  if (outputSize < 1) {
    return UA_STATUSCODE_BADINTERNALERROR;
  }
  std::array<UA_Int32, 3> values{10, 20, 30};
  return UA_Variant_setArrayCopy(&output[0], values.data(), values.size(), &UA_TYPES[UA_TYPES_INT32]);
}

}  // namespace

TestModel::TestModel(std::chrono::milliseconds stateDelay, std::set<std::string> omit, uint32_t wideChildren,
                     LoadNodes load)
    : stateDelay_(stateDelay), omit_(std::move(omit)), wideChildren_(wideChildren), load_(load) {}

void TestModel::Build(UA_Server* server) {
  server_ = server;
  AddScalars();
  AddRobot();
  AddTree();
  AddPaged();
  AddWide();
  AddPlant();
  AddFast();
  AddSharedAndCycle();
  AddStatusVariables();
  if (!Omitted("Typed")) AddTypedModel(server);
}

UA_StatusCode TestModel::StartTicking(UA_Server* server) {
  serving_ = true;
  stateSettlesAt_ = std::chrono::steady_clock::now() + stateDelay_;
  return UA_Server_addRepeatedCallback(server, &TestModel::OnTick, this, kTickIntervalMs, nullptr);
}

// --- Node helpers: each returns false when the node is omitted ---

bool TestModel::AddObject(const std::string& name, const UA_NodeId& parent, const UA_NodeId& referenceType,
                          UA_UInt32 typeDefinition) {
  if (Omitted(name)) {
    return false;
  }
  UA_ObjectAttributes attributes = UA_ObjectAttributes_default;
  attributes.displayName = DisplayName(name);
  Check(UA_Server_addObjectNode(server_, Id(name), parent, referenceType, BrowseName(name), Ns0(typeDefinition),
                                attributes, nullptr, nullptr),
        "adding " + name);
  return true;
}

bool TestModel::AddVariable(const std::string& name, const UA_NodeId& parent, const UA_NodeId& referenceType,
                            const UA_Variant& value, const UA_NodeId& dataType, UA_Byte accessLevel) {
  if (Omitted(name)) {
    return false;
  }
  UA_VariableAttributes attributes = UA_VariableAttributes_default;
  attributes.displayName = DisplayName(name);
  attributes.value = value;  // shallow: the server copies it
  attributes.dataType = dataType;
  UA_UInt32 anyLength = 0;
  if (UA_Variant_isScalar(&value)) {
    attributes.valueRank = UA_VALUERANK_SCALAR;
  } else {
    attributes.valueRank = UA_VALUERANK_ONE_DIMENSION;
    attributes.arrayDimensionsSize = 1;
    attributes.arrayDimensions = &anyLength;
  }
  attributes.accessLevel = accessLevel;
  attributes.userAccessLevel = accessLevel;
  Check(UA_Server_addVariableNode(server_, Id(name), parent, referenceType, BrowseName(name),
                                  Ns0(UA_NS0ID_BASEDATAVARIABLETYPE), attributes, nullptr, nullptr),
        "adding " + name);
  return true;
}

template <typename T>
bool TestModel::AddScalar(const std::string& name, const UA_NodeId& parent, T value, const UA_DataType* type) {
  UA_Variant variant;
  UA_Variant_setScalar(&variant, &value, type);
  return AddVariable(name, parent, Ns0(UA_NS0ID_ORGANIZES), variant, type->typeId, kReadWrite);
}

bool TestModel::AddDataSource(const std::string& name, const UA_NodeId& parent, const UA_DataType* type,
                              UA_DataSource source, void* context) {
  if (Omitted(name)) {
    return false;
  }
  UA_VariableAttributes attributes = UA_VariableAttributes_default;
  attributes.displayName = DisplayName(name);
  attributes.dataType = type->typeId;
  attributes.valueRank = UA_VALUERANK_SCALAR;
  attributes.accessLevel = kReadOnly;
  attributes.userAccessLevel = kReadOnly;
  Check(UA_Server_addDataSourceVariableNode(server_, Id(name), parent, Ns0(UA_NS0ID_ORGANIZES), BrowseName(name),
                                            Ns0(UA_NS0ID_BASEDATAVARIABLETYPE), attributes, source, context, nullptr),
        "adding " + name);
  return true;
}

bool TestModel::AddMethod(const std::string& name, const UA_NodeId& parent, UA_MethodCallback callback,
                          size_t inputCount, const UA_Argument* inputs, size_t outputCount,
                          const UA_Argument* outputs) {
  if (Omitted(name)) {
    return false;
  }
  UA_MethodAttributes attributes = UA_MethodAttributes_default;
  attributes.displayName = DisplayName(name);
  attributes.executable = true;
  attributes.userExecutable = true;
  Check(UA_Server_addMethodNode(server_, Id(name), parent, Ns0(UA_NS0ID_HASCOMPONENT), BrowseName(name), attributes,
                                callback, inputCount, inputs, outputCount, outputs, this, nullptr),
        "adding " + name);
  return true;
}

void TestModel::AddReference(const std::string& source, const std::string& target) {
  UA_ExpandedNodeId targetId;
  UA_ExpandedNodeId_init(&targetId);
  targetId.nodeId = Id(target);
  Check(UA_Server_addReference(server_, Id(source), Ns0(UA_NS0ID_ORGANIZES), targetId, true),
        "referencing " + target + " from " + source);
}

// --- The address space ---

void TestModel::AddScalars() {
  const std::string folder = "Scalars";
  if (!AddObject(folder, Ns0(UA_NS0ID_OBJECTSFOLDER), Ns0(UA_NS0ID_ORGANIZES), UA_NS0ID_FOLDERTYPE)) {
    return;
  }
  const UA_NodeId parent = Id(folder);
  AddScalar<UA_Boolean>("Scalar.Boolean", parent, true, &UA_TYPES[UA_TYPES_BOOLEAN]);
  AddScalar<UA_SByte>("Scalar.SByte", parent, -5, &UA_TYPES[UA_TYPES_SBYTE]);
  AddScalar<UA_Byte>("Scalar.Byte", parent, 200, &UA_TYPES[UA_TYPES_BYTE]);
  AddScalar<UA_Int16>("Scalar.Int16", parent, -1234, &UA_TYPES[UA_TYPES_INT16]);
  AddScalar<UA_UInt16>("Scalar.UInt16", parent, 54321, &UA_TYPES[UA_TYPES_UINT16]);
  AddScalar<UA_Int32>("Scalar.Int32", parent, -123456, &UA_TYPES[UA_TYPES_INT32]);
  AddScalar<UA_UInt32>("Scalar.UInt32", parent, 3'000'000'000U, &UA_TYPES[UA_TYPES_UINT32]);
  AddScalar<UA_Int64>("Scalar.Int64", parent, -9'000'000'000'000LL, &UA_TYPES[UA_TYPES_INT64]);
  AddScalar<UA_UInt64>("Scalar.UInt64", parent, 18'000'000'000'000'000'000ULL, &UA_TYPES[UA_TYPES_UINT64]);
  AddScalar<UA_Float>("Scalar.Float", parent, 3.5F, &UA_TYPES[UA_TYPES_FLOAT]);
  AddScalar<UA_Double>("Scalar.Double", parent, -2.25, &UA_TYPES[UA_TYPES_DOUBLE]);
  AddScalar<UA_String>("Scalar.String", parent, UA_STRING(const_cast<char*>("hello")), &UA_TYPES[UA_TYPES_STRING]);
  // 2023-11-14T22:13:20Z
  AddScalar<UA_DateTime>("Scalar.DateTime", parent, UA_DateTime_fromUnixTime(1'700'000'000),
                         &UA_TYPES[UA_TYPES_DATETIME]);
  AddScalar<UA_LocalizedText>("Scalar.LocalizedText", parent,
                              UA_LOCALIZEDTEXT(const_cast<char*>("en-US"), const_cast<char*>("hello")),
                              &UA_TYPES[UA_TYPES_LOCALIZEDTEXT]);
  std::array<UA_Byte, 4> bytes{0x01, 0x02, 0xFE, 0xFF};
  AddScalar<UA_ByteString>("Scalar.ByteString", parent, UA_ByteString{bytes.size(), bytes.data()},
                           &UA_TYPES[UA_TYPES_BYTESTRING]);
  std::array<UA_Byte, 3> withNul{'a', '\0', 'b'};
  AddScalar<UA_String>("Scalar.StringWithNul", parent, UA_String{withNul.size(), withNul.data()},
                       &UA_TYPES[UA_TYPES_STRING]);

  std::array<UA_Int32, 3> three{1, 2, 3};
  std::array<UA_Int32, 1> one{42};
  const std::array<std::pair<const char*, std::pair<UA_Int32*, size_t>>, 3> arrays{{
      {"Array.Int32.3", {three.data(), three.size()}},
      {"Array.Int32.1", {one.data(), one.size()}},
      {"Array.Int32.0", {static_cast<UA_Int32*>(UA_EMPTY_ARRAY_SENTINEL), 0}},
  }};
  for (const auto& [name, data] : arrays) {
    UA_Variant variant;
    UA_Variant_setArray(&variant, data.first, data.second, &UA_TYPES[UA_TYPES_INT32]);
    AddVariable(name, parent, Ns0(UA_NS0ID_ORGANIZES), variant, UA_TYPES[UA_TYPES_INT32].typeId, kReadWrite);
  }

  std::array<UA_String, 2> texts{UA_STRING(const_cast<char*>("alpha")), UA_String{withNul.size(), withNul.data()}};
  UA_Variant textArray;
  UA_Variant_setArray(&textArray, texts.data(), texts.size(), &UA_TYPES[UA_TYPES_STRING]);
  AddVariable("Array.String", parent, Ns0(UA_NS0ID_ORGANIZES), textArray, UA_TYPES[UA_TYPES_STRING].typeId, kReadWrite);

  UA_Int32 readOnly = 7;
  UA_Variant readOnlyValue;
  UA_Variant_setScalar(&readOnlyValue, &readOnly, &UA_TYPES[UA_TYPES_INT32]);
  AddVariable("ReadOnly", parent, Ns0(UA_NS0ID_ORGANIZES), readOnlyValue, UA_TYPES[UA_TYPES_INT32].typeId, kReadOnly);

  AddDataSource("Fault", parent, &UA_TYPES[UA_TYPES_INT32], UA_DataSource{ReadFault, nullptr}, nullptr);
  for (size_t i = 0; i < slowNodes_.size(); ++i) {
    slowNodes_[i] = SlowNode{this, static_cast<UA_Int32>(i + 1)};
    AddDataSource("Slow." + std::to_string(i + 1), parent, &UA_TYPES[UA_TYPES_INT32],
                  UA_DataSource{&TestModel::ReadSlow, nullptr}, &slowNodes_[i]);
  }

  // An enumeration DataType holding its Int32 encoding (2 = NoConfiguration).
  UA_Int32 enumValue = 2;
  UA_Variant enumVariant;
  UA_Variant_setScalar(&enumVariant, &enumValue, &UA_TYPES[UA_TYPES_INT32]);
  AddVariable("Enum", parent, Ns0(UA_NS0ID_ORGANIZES), enumVariant, Ns0(UA_NS0ID_SERVERSTATE), kReadWrite);
}

void TestModel::AddRobot() {
  const std::string robot = "Robot";
  if (!AddObject(robot, Ns0(UA_NS0ID_OBJECTSFOLDER), Ns0(UA_NS0ID_ORGANIZES), UA_NS0ID_BASEOBJECTTYPE)) {
    return;
  }
  const UA_NodeId parent = Id(robot);
  const UA_DataType* dbl = &UA_TYPES[UA_TYPES_DOUBLE];
  const UA_DataType* uint32 = &UA_TYPES[UA_TYPES_UINT32];
  std::array<UA_Argument, 2> addInputs{Argument("a", dbl, UA_VALUERANK_SCALAR),
                                       Argument("b", dbl, UA_VALUERANK_SCALAR)};
  UA_Argument addOutput = Argument("sum", dbl, UA_VALUERANK_SCALAR);
  UA_Argument sleepInput = Argument("milliseconds", uint32, UA_VALUERANK_SCALAR);
  UA_UInt32 arrayLength = 3;
  UA_Argument arrayOutput = Argument("values", &UA_TYPES[UA_TYPES_INT32], UA_VALUERANK_ONE_DIMENSION, &arrayLength);
  UA_Argument burstInput = Argument("count", uint32, UA_VALUERANK_SCALAR);

  AddMethod("Robot.Home", parent, OnHome, 0, nullptr, 0, nullptr);
  AddMethod("Robot.Add", parent, OnAdd, addInputs.size(), addInputs.data(), 1, &addOutput);
  AddMethod("Robot.Sleep", parent, OnSleep, 1, &sleepInput, 0, nullptr);
  AddMethod("Robot.Array", parent, OnArray, 0, nullptr, 1, &arrayOutput);
  AddMethod("Robot.Burst", parent, &TestModel::OnBurst, 1, &burstInput, 0, nullptr);

  UA_Variant burstValue;
  UA_Variant_setScalar(&burstValue, &burstValue_, &UA_TYPES[UA_TYPES_INT32]);
  AddVariable("BurstValue", parent, Ns0(UA_NS0ID_HASCOMPONENT), burstValue, UA_TYPES[UA_TYPES_INT32].typeId,
              kReadWrite);
}

void TestModel::AddTree() {
  if (!AddObject("Tree", Ns0(UA_NS0ID_OBJECTSFOLDER), Ns0(UA_NS0ID_ORGANIZES), UA_NS0ID_BASEOBJECTTYPE)) {
    return;
  }
  for (int f = 0; f < 10; ++f) {
    const std::string folder = "Tree.F" + std::to_string(f);
    if (!AddObject(folder, Id("Tree"), Ns0(UA_NS0ID_ORGANIZES), UA_NS0ID_BASEOBJECTTYPE)) {
      continue;
    }
    for (int n = 0; n < 15; ++n) {
      const std::string node = folder + ".N" + std::to_string(n);
      if (!AddObject(node, Id(folder), Ns0(UA_NS0ID_ORGANIZES), UA_NS0ID_BASEOBJECTTYPE)) {
        continue;
      }
      UA_Int32 value = f * 100 + n;
      UA_Variant variant;
      UA_Variant_setScalar(&variant, &value, &UA_TYPES[UA_TYPES_INT32]);
      AddVariable(node + ".V", Id(node), Ns0(UA_NS0ID_HASCOMPONENT), variant, UA_TYPES[UA_TYPES_INT32].typeId,
                  kReadWrite);
    }
  }
}

void TestModel::AddPaged() {
  if (!AddObject("Paged", Ns0(UA_NS0ID_OBJECTSFOLDER), Ns0(UA_NS0ID_ORGANIZES), UA_NS0ID_BASEOBJECTTYPE)) {
    return;
  }
  for (UA_Int32 i = 0; i < 25; ++i) {
    const std::string name = (i < 10 ? "Paged.C0" : "Paged.C") + std::to_string(i);
    UA_Variant variant;
    UA_Variant_setScalar(&variant, &i, &UA_TYPES[UA_TYPES_INT32]);
    AddVariable(name, Id("Paged"), Ns0(UA_NS0ID_HASCOMPONENT), variant, UA_TYPES[UA_TYPES_INT32].typeId, kReadWrite);
  }
}

// Wide (only with --wide N): N object children, Wide.0 .. Wide.<N-1>. With a small
// --page-size its Browse takes more pages than a client should ever follow.
void TestModel::AddWide() {
  if (wideChildren_ == 0 ||
      !AddObject("Wide", Ns0(UA_NS0ID_OBJECTSFOLDER), Ns0(UA_NS0ID_ORGANIZES), UA_NS0ID_BASEOBJECTTYPE)) {
    return;
  }
  for (uint32_t i = 0; i < wideChildren_; ++i) {
    AddObject("Wide." + std::to_string(i), Id("Wide"), Ns0(UA_NS0ID_ORGANIZES), UA_NS0ID_BASEOBJECTTYPE);
  }
}

// Plant (only with --tree N): a complete tree of N nodes, ten children per object.
// Node i has the children 10i+10 .. 10i+19; nodes without children are writable
// Int32 variables holding their index.
void TestModel::AddPlant() {
  if (load_.tree == 0 ||
      !AddObject("Plant", Ns0(UA_NS0ID_OBJECTSFOLDER), Ns0(UA_NS0ID_ORGANIZES), UA_NS0ID_BASEOBJECTTYPE)) {
    return;
  }
  const auto name = [](uint32_t i) { return "Plant." + std::to_string(i); };
  for (uint32_t i = 0; i < load_.tree; ++i) {
    const std::string parent = i < 10 ? "Plant" : name(i / 10 - 1);
    const std::string node = name(i);
    if (10ULL * i + 10 < load_.tree) {
      AddObject(node, Id(parent), Ns0(UA_NS0ID_ORGANIZES), UA_NS0ID_BASEOBJECTTYPE);
    } else {
      AddScalar<UA_Int32>(node, Id(parent), static_cast<UA_Int32>(i), &UA_TYPES[UA_TYPES_INT32]);
    }
  }
}

// Fast (only with --fast N): Int32 (even index) and Double (odd index) variables
// that every tick sets to the tick count, so a subscriber sees each change as the
// next number, and Fast.Seconds, which counts whole seconds.
void TestModel::AddFast() {
  if (load_.fast == 0 ||
      !AddObject("Fast", Ns0(UA_NS0ID_OBJECTSFOLDER), Ns0(UA_NS0ID_ORGANIZES), UA_NS0ID_BASEOBJECTTYPE)) {
    return;
  }
  for (uint32_t i = 0; i < load_.fast; ++i) {
    const std::string& node = fastNames_.emplace_back("Fast." + std::to_string(i));
    if (i % 2 == 0) {
      AddScalar<UA_Int32>(node, Id("Fast"), 0, &UA_TYPES[UA_TYPES_INT32]);
    } else {
      AddScalar<UA_Double>(node, Id("Fast"), 0.0, &UA_TYPES[UA_TYPES_DOUBLE]);
    }
  }
  AddScalar<UA_Int32>("Fast.Seconds", Id("Fast"), 0, &UA_TYPES[UA_TYPES_INT32]);
}

// The source time stamp is the moment of the change, so that subscribers can
// measure how long a change takes to reach them.
void TestModel::TickFast(UA_Server* server) {
  ++fastValue_;
  const auto write = [server](const std::string& name, UA_Variant value) {
    UA_DataValue data;
    UA_DataValue_init(&data);
    data.value = value;  // shallow: the server copies it
    data.hasValue = true;
    data.sourceTimestamp = UA_DateTime_now();
    data.hasSourceTimestamp = true;
    UA_Server_writeDataValue(server, Id(name), data);
  };
  UA_Int32 asInt = fastValue_;
  UA_Double asDouble = fastValue_;
  for (size_t i = 0; i < fastNames_.size(); ++i) {
    UA_Variant value;
    if (i % 2 == 0) {
      UA_Variant_setScalar(&value, &asInt, &UA_TYPES[UA_TYPES_INT32]);
    } else {
      UA_Variant_setScalar(&value, &asDouble, &UA_TYPES[UA_TYPES_DOUBLE]);
    }
    write(fastNames_[i], value);
  }
  if (fastValue_ % 100 == 0) {
    UA_Int32 seconds = fastValue_ / 100;
    UA_Variant value;
    UA_Variant_setScalar(&value, &seconds, &UA_TYPES[UA_TYPES_INT32]);
    write("Fast.Seconds", value);
  }
}

void TestModel::AddSharedAndCycle() {
  const UA_NodeId objects = Ns0(UA_NS0ID_OBJECTSFOLDER);
  const UA_NodeId organizes = Ns0(UA_NS0ID_ORGANIZES);
  const bool haveA = AddObject("ParentA", objects, organizes, UA_NS0ID_BASEOBJECTTYPE);
  const bool haveB = AddObject("ParentB", objects, organizes, UA_NS0ID_BASEOBJECTTYPE);
  if (haveA || haveB) {
    const bool haveShared = AddObject("Shared", Id(haveA ? "ParentA" : "ParentB"), organizes, UA_NS0ID_BASEOBJECTTYPE);
    if (haveShared && haveA && haveB) {
      AddReference("ParentB", "Shared");
    }
  }

  if (AddObject("Cycle.A", objects, organizes, UA_NS0ID_BASEOBJECTTYPE) &&
      AddObject("Cycle.B", Id("Cycle.A"), organizes, UA_NS0ID_BASEOBJECTTYPE)) {
    AddReference("Cycle.B", "Cycle.A");
  }
}

void TestModel::AddStatusVariables() {
  const UA_NodeId objects = Ns0(UA_NS0ID_OBJECTSFOLDER);
  const UA_NodeId organizes = Ns0(UA_NS0ID_ORGANIZES);
  const UA_NodeId int32 = UA_TYPES[UA_TYPES_INT32].typeId;

  UA_Variant counter;
  UA_Variant_setScalar(&counter, &counter_, &UA_TYPES[UA_TYPES_INT32]);
  AddVariable("Counter", objects, organizes, counter, int32, kReadWrite);

  UA_Int32 state = stateDelay_.count() > 0 ? 1 : 0;
  UA_Variant stateValue;
  UA_Variant_setScalar(&stateValue, &state, &UA_TYPES[UA_TYPES_INT32]);
  AddVariable("ServerState", objects, organizes, stateValue, int32, kReadWrite);
  stateSettled_ = state == 0;

  const std::string sessionCount = "SessionCount";
  if (!Omitted(sessionCount)) {
    UA_VariableAttributes attributes = UA_VariableAttributes_default;
    attributes.displayName = DisplayName(sessionCount);
    attributes.dataType = UA_TYPES[UA_TYPES_UINT32].typeId;
    attributes.valueRank = UA_VALUERANK_SCALAR;
    attributes.accessLevel = kReadOnly;
    attributes.userAccessLevel = kReadOnly;
    Check(UA_Server_addDataSourceVariableNode(server_, Id(sessionCount), objects, organizes, BrowseName(sessionCount),
                                              Ns0(UA_NS0ID_BASEDATAVARIABLETYPE), attributes,
                                              UA_DataSource{ReadSessionCount, nullptr}, nullptr, nullptr),
          "adding SessionCount");
  }
}

// --- Callbacks that need the model's state ---

UA_StatusCode TestModel::ReadSlow(UA_Server*, const UA_NodeId*, void*, const UA_NodeId*, void* nodeContext,
                                  UA_Boolean withSourceTimestamp, const UA_NumericRange*,
                                  UA_DataValue* value) noexcept {
  const auto* node = static_cast<const SlowNode*>(nodeContext);
  if (node == nullptr || node->model == nullptr) {
    return UA_STATUSCODE_BADINTERNALERROR;
  }
  if (node->model->serving_) {
    std::this_thread::sleep_for(kSlowReadDuration);
  }
  return SetValue(value, node->index, &UA_TYPES[UA_TYPES_INT32], withSourceTimestamp);
}

void TestModel::OnTick(UA_Server* server, void* model) noexcept {
  auto* self = static_cast<TestModel*>(model);
  if (self == nullptr) {
    return;
  }
  // Writes fail harmlessly when the node was omitted.
  WriteInt32(server, "Counter", ++self->counter_);
  if (!self->fastNames_.empty()) {
    self->TickFast(server);
  }
  if (!self->stateSettled_ && std::chrono::steady_clock::now() >= self->stateSettlesAt_) {
    self->stateSettled_ = true;
    WriteInt32(server, "ServerState", 0);
  }
}

UA_StatusCode TestModel::OnBurst(UA_Server* server, const UA_NodeId*, void*, const UA_NodeId*, void* methodContext,
                                 const UA_NodeId*, void*, size_t inputSize, const UA_Variant* input, size_t,
                                 UA_Variant*) noexcept {
  auto* self = static_cast<TestModel*>(methodContext);
  const auto* count = ScalarInput<UA_UInt32>(inputSize, input, 0, &UA_TYPES[UA_TYPES_UINT32]);
  if (self == nullptr || count == nullptr) {
    return UA_STATUSCODE_BADINVALIDARGUMENT;
  }
  if (*count > kMaxBurst) {
    return UA_STATUSCODE_BADOUTOFRANGE;
  }
  // Successive distinct values, so every write is a data change.
  for (UA_UInt32 i = 0; i < *count; ++i) {
    UA_StatusCode status = WriteInt32(server, "BurstValue", ++self->burstValue_);
    if (status != UA_STATUSCODE_GOOD) {
      return status;
    }
  }
  return UA_STATUSCODE_GOOD;
}

}  // namespace quarlink_demo
