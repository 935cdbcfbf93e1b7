#include "hostile_model.h"

#include <open62541/client.h>
#include <open62541/client_config_default.h>
#include <open62541/types.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace quarlink_demo {
namespace {

constexpr UA_UInt16 kNamespace = 1;
constexpr int kNestDepth = 1'000;
constexpr uint32_t kMillion = 1'000'000;
constexpr size_t kSixteenMiB = 16u << 20;
constexpr int kRingSize = 50;
constexpr int kChainLength = 50'000;
constexpr uint32_t kWideChildren = 100'000;
// Endless lists the Wide children and a few more: at the default page size of 10
// its paging goes on past 10,000 pages, further than a client should follow.
constexpr int kEndlessExtra = 10;
constexpr UA_UInt32 kNestTypeBase = 10'000;  // Nest.i is ns=1;i=10000+i
constexpr UA_UInt32 kNestEncodingBase = 20'000;
constexpr UA_UInt32 kClaimType = 30'000;
constexpr UA_UInt32 kClaimEncoding = 30'001;
constexpr auto kDropperPause = std::chrono::milliseconds(50);

void Check(UA_StatusCode status, const std::string& what) {
  if (status != UA_STATUSCODE_GOOD) throw std::runtime_error(what + ": " + UA_StatusCode_name(status));
}

// Non-owning views of `name`, which the server copies.
UA_NodeId Id(const char* name) { return UA_NODEID_STRING(kNamespace, const_cast<char*>(name)); }
UA_NodeId Id(const std::string& name) { return Id(name.c_str()); }
UA_NodeId Id(std::string&&) = delete;
UA_NodeId Ns0(UA_UInt32 id) { return UA_NODEID_NUMERIC(0, id); }
UA_LocalizedText Text(const std::string& text) {
  return UA_LOCALIZEDTEXT(const_cast<char*>(""), const_cast<char*>(text.c_str()));
}

void AddObject(UA_Server* server, const std::string& name, const std::string& parent) {
  UA_ObjectAttributes attributes = UA_ObjectAttributes_default;
  attributes.displayName = Text(name);
  Check(UA_Server_addObjectNode(server, Id(name), Id(parent), Ns0(UA_NS0ID_ORGANIZES),
                                UA_QUALIFIEDNAME(kNamespace, const_cast<char*>(name.c_str())),
                                Ns0(UA_NS0ID_BASEOBJECTTYPE), attributes, nullptr, nullptr),
        "adding " + name);
}

void Reference(UA_Server* server, const std::string& source, const std::string& target) {
  UA_ExpandedNodeId targetId;
  UA_ExpandedNodeId_init(&targetId);
  targetId.nodeId = Id(target);
  Check(UA_Server_addReference(server, Id(source), Ns0(UA_NS0ID_ORGANIZES), targetId, true),
        "referencing " + target + " from " + source);
}

void AddVariable(UA_Server* server, const std::string& name, const UA_Variant& value, const UA_NodeId& dataType) {
  UA_VariableAttributes attributes = UA_VariableAttributes_default;
  attributes.displayName = Text(name);
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
  attributes.accessLevel = attributes.userAccessLevel = UA_ACCESSLEVELMASK_READ;
  Check(UA_Server_addVariableNode(server, Id(name), Id("Hostile"), Ns0(UA_NS0ID_ORGANIZES),
                                  UA_QUALIFIEDNAME(kNamespace, const_cast<char*>(name.c_str())),
                                  Ns0(UA_NS0ID_BASEDATAVARIABLETYPE), attributes, nullptr, nullptr),
        "adding " + name);
}

template <typename T>
void AddScalar(UA_Server* server, const std::string& name, T value, const UA_DataType& type,
               UA_UInt32 dataType = UA_NS0ID_BASEDATATYPE) {
  UA_Variant variant;
  UA_Variant_setScalar(&variant, &value, &type);
  AddVariable(server, name, variant, Ns0(dataType));
}

// A structure body exactly as given, which the server could not encode itself.
struct RawStructure {
  UA_NodeId encodingId;
  std::vector<UA_Byte> body;
  const UA_DataType* type = nullptr;  // set by Build
};

// Until the server serves, the reads are its own type check when the node is added:
// they get a well-formed (zeroed) value of the node's type.
std::atomic<bool> g_serving{false};

UA_StatusCode ReadRawStructure(UA_Server*, const UA_NodeId*, void*, const UA_NodeId*, void* nodeContext, UA_Boolean,
                               const UA_NumericRange*, UA_DataValue* value) noexcept {
  const auto* raw = static_cast<const RawStructure*>(nodeContext);
  if (!g_serving) {
    void* zeroed = UA_new(raw->type);
    if (zeroed == nullptr) return UA_STATUSCODE_BADOUTOFMEMORY;
    UA_Variant_setScalar(&value->value, zeroed, raw->type);
    value->hasValue = true;
    return UA_STATUSCODE_GOOD;
  }
  UA_ExtensionObject object;
  UA_ExtensionObject_init(&object);
  object.encoding = UA_EXTENSIONOBJECT_ENCODED_BYTESTRING;
  object.content.encoded.typeId = raw->encodingId;
  object.content.encoded.body = {raw->body.size(), const_cast<UA_Byte*>(raw->body.data())};
  const UA_StatusCode status = UA_Variant_setScalarCopy(&value->value, &object, &UA_TYPES[UA_TYPES_EXTENSIONOBJECT]);
  value->hasValue = status == UA_STATUSCODE_GOOD;
  return status;
}

void AddRawStructure(UA_Server* server, const std::string& name, const UA_NodeId& dataType, RawStructure* raw) {
  UA_VariableAttributes attributes = UA_VariableAttributes_default;
  attributes.displayName = Text(name);
  attributes.dataType = dataType;
  attributes.valueRank = UA_VALUERANK_SCALAR;
  attributes.accessLevel = attributes.userAccessLevel = UA_ACCESSLEVELMASK_READ;
  UA_DataSource source{ReadRawStructure, nullptr};
  Check(UA_Server_addDataSourceVariableNode(server, Id(name), Id("Hostile"), Ns0(UA_NS0ID_ORGANIZES),
                                            UA_QUALIFIEDNAME(kNamespace, const_cast<char*>(name.c_str())),
                                            Ns0(UA_NS0ID_BASEDATAVARIABLETYPE), attributes, source, raw, nullptr),
        "adding " + name);
}

// The nodes' contexts: the server keeps pointers to them.
RawStructure g_deepBody{UA_NODEID_NUMERIC(kNamespace, kNestEncodingBase), {0, 0, 0, 0}};
// An Int32 array field that claims 2^31-1 elements and 2^31 (as the signed length
// it is on the wire), with no element behind either claim.
RawStructure g_claimMaxBody{UA_NODEID_NUMERIC(kNamespace, kClaimEncoding), {0xff, 0xff, 0xff, 0x7f}};
RawStructure g_claim2GBody{UA_NODEID_NUMERIC(kNamespace, kClaimEncoding), {0x00, 0x00, 0x00, 0x80}};

bool AllowAnyTransfer(UA_Server*, UA_AccessControl*, const UA_NodeId*, void*, const UA_NodeId*, void*) { return true; }

UA_StatusCode AnswerLater(UA_Server*, const UA_NodeId*, void*, const UA_NodeId*, void*, const UA_NodeId*, void*, size_t,
                          const UA_Variant*, size_t, UA_Variant*) noexcept {
  return UA_STATUSCODE_GOOD;  // never runs: the call is queued as an async operation instead
}

void SilentLog(void*, UA_LogLevel, UA_LogCategory, const char*, va_list) {}
UA_Logger g_silentLogger{SilentLog, nullptr, nullptr};

}  // namespace

HostileModel::~HostileModel() {
  stop_ = true;
  if (dropper_.joinable()) dropper_.join();
}

void HostileModel::Configure(UA_ServerConfig& config) {
  config.accessControl.allowTransferSubscription = AllowAnyTransfer;
  // The late answer must not be discarded by the server's own deadline first.
  config.asyncOperationTimeout = static_cast<UA_Double>((timing_.slowCall + std::chrono::seconds(60)).count());
}

void HostileModel::BuildTypes() {
  // Reserved up front: the types point at each other and at their members.
  types_.resize(kNestDepth + 1);
  members_.resize(kNestDepth + 1);
  typeNames_.clear();
  typeNames_.reserve(kNestDepth + 1);
  for (int i = 0; i < kNestDepth; ++i) {
    typeNames_.push_back("Nest." + std::to_string(i));
    const bool last = i + 1 == kNestDepth;
    members_[i] = {"inner", last ? &UA_TYPES[UA_TYPES_INT32] : &types_[i + 1], 0, false, false};
    types_[i] = {typeNames_.back().c_str(),
                 UA_NODEID_NUMERIC(kNamespace, kNestTypeBase + i),
                 UA_NODEID_NUMERIC(kNamespace, kNestEncodingBase + i),
                 sizeof(UA_Int32),
                 UA_DATATYPEKIND_STRUCTURE,
                 true,
                 false,
                 1,
                 &members_[i]};
  }
  typeNames_.push_back("Claim");
  members_[kNestDepth] = {"values", &UA_TYPES[UA_TYPES_INT32], 0, true, false};
  types_[kNestDepth] = {typeNames_.back().c_str(),
                        UA_NODEID_NUMERIC(kNamespace, kClaimType),
                        UA_NODEID_NUMERIC(kNamespace, kClaimEncoding),
                        sizeof(size_t) + sizeof(void*),
                        UA_DATATYPEKIND_STRUCTURE,
                        false,
                        false,
                        1,
                        &members_[kNestDepth]};
}

void HostileModel::Build(UA_Server* server) {
  BuildTypes();
  UA_ServerConfig* config = UA_Server_getConfig(server);
  typeArray_.reset(new UA_DataTypeArray{config->customDataTypes, types_.size(), types_.data(), false});
  config->customDataTypes = typeArray_.get();

  UA_ObjectAttributes folder = UA_ObjectAttributes_default;
  folder.displayName = Text("Hostile");
  Check(UA_Server_addObjectNode(server, Id("Hostile"), Ns0(UA_NS0ID_OBJECTSFOLDER), Ns0(UA_NS0ID_ORGANIZES),
                                UA_QUALIFIEDNAME(kNamespace, const_cast<char*>("Hostile")), Ns0(UA_NS0ID_FOLDERTYPE),
                                folder, nullptr, nullptr),
        "adding Hostile");
  AddValues(server);
  AddHierarchies(server);
  AddStructures(server);
  AddSlowCall(server);
}

void HostileModel::AddValues(UA_Server* server) {
  std::vector<UA_Int32> million(kMillion);
  for (uint32_t i = 0; i < kMillion; ++i) million[i] = static_cast<UA_Int32>(i);
  UA_Variant array;
  UA_Variant_setArray(&array, million.data(), million.size(), &UA_TYPES[UA_TYPES_INT32]);
  AddVariable(server, "Hostile.MillionInt32", array, Ns0(UA_NS0ID_INT32));

  std::string text(kSixteenMiB, 'x');
  UA_String big{text.size(), reinterpret_cast<UA_Byte*>(text.data())};
  AddScalar(server, "Hostile.String16M", big, UA_TYPES[UA_TYPES_STRING], UA_NS0ID_STRING);

  AddScalar(server, "Hostile.NaN", std::numeric_limits<UA_Double>::quiet_NaN(), UA_TYPES[UA_TYPES_DOUBLE]);
  AddScalar(server, "Hostile.Infinity", std::numeric_limits<UA_Double>::infinity(), UA_TYPES[UA_TYPES_DOUBLE]);
  AddScalar(server, "Hostile.NegativeInfinity", -std::numeric_limits<UA_Double>::infinity(), UA_TYPES[UA_TYPES_DOUBLE]);
  AddScalar(server, "Hostile.FloatNaN", std::numeric_limits<UA_Float>::quiet_NaN(), UA_TYPES[UA_TYPES_FLOAT]);
  AddScalar(server, "Hostile.DateTimeMin", std::numeric_limits<UA_DateTime>::min(), UA_TYPES[UA_TYPES_DATETIME]);
  AddScalar(server, "Hostile.DateTimeMax", std::numeric_limits<UA_DateTime>::max(), UA_TYPES[UA_TYPES_DATETIME]);

  // Built-in types that have no host alternative.
  UA_DiagnosticInfo diagnostic;
  UA_DiagnosticInfo_init(&diagnostic);
  diagnostic.hasSymbolicId = true;
  diagnostic.symbolicId = 7;
  AddScalar(server, "Hostile.DiagnosticInfo", diagnostic, UA_TYPES[UA_TYPES_DIAGNOSTICINFO]);
  UA_Int32 inner = 42;
  UA_DataValue dataValue;
  UA_DataValue_init(&dataValue);
  UA_Variant_setScalar(&dataValue.value, &inner, &UA_TYPES[UA_TYPES_INT32]);
  dataValue.hasValue = true;
  AddScalar(server, "Hostile.DataValue", dataValue, UA_TYPES[UA_TYPES_DATAVALUE]);
  UA_Variant nested;
  UA_Variant_setScalar(&nested, &inner, &UA_TYPES[UA_TYPES_INT32]);
  UA_Variant variantArray;
  UA_Variant_setArray(&variantArray, &nested, 1, &UA_TYPES[UA_TYPES_VARIANT]);
  AddVariable(server, "Hostile.VariantArray", variantArray, Ns0(UA_NS0ID_BASEDATATYPE));
  UA_ExtensionObject unknown;
  UA_ExtensionObject_init(&unknown);
  unknown.encoding = UA_EXTENSIONOBJECT_ENCODED_BYTESTRING;
  unknown.content.encoded.typeId = UA_NODEID_NUMERIC(kNamespace, 99'999);
  UA_Byte junk[] = {1, 2, 3};
  unknown.content.encoded.body = {sizeof(junk), junk};
  AddScalar(server, "Hostile.UnknownStructure", unknown, UA_TYPES[UA_TYPES_EXTENSIONOBJECT]);
}

void HostileModel::AddHierarchies(UA_Server* server) {
  AddObject(server, "Hostile.Ring.0", "Hostile");
  for (int i = 1; i < kRingSize; ++i)
    AddObject(server, "Hostile.Ring." + std::to_string(i), "Hostile.Ring." + std::to_string(i - 1));
  Reference(server, "Hostile.Ring." + std::to_string(kRingSize - 1), "Hostile.Ring.0");

  AddObject(server, "Hostile.Chain.0", "Hostile");
  for (int i = 1; i < kChainLength; ++i)
    AddObject(server, "Hostile.Chain." + std::to_string(i), "Hostile.Chain." + std::to_string(i - 1));

  AddObject(server, "Hostile.Wide", "Hostile");
  AddObject(server, "Hostile.Endless", "Hostile");
  for (uint32_t i = 0; i < kWideChildren; ++i) {
    const std::string child = "Hostile.Wide." + std::to_string(i);
    AddObject(server, child, "Hostile.Wide");
    Reference(server, "Hostile.Endless", child);
  }
  for (int i = 0; i < kEndlessExtra; ++i) Reference(server, "Hostile.Endless", "Hostile.Ring." + std::to_string(i));
}

void HostileModel::AddStructures(UA_Server* server) {
  for (size_t i = 0; i < types_.size(); ++i) {
    UA_DataTypeAttributes attributes = UA_DataTypeAttributes_default;
    attributes.displayName = UA_LOCALIZEDTEXT(const_cast<char*>(""), const_cast<char*>(types_[i].typeName));
    Check(UA_Server_addDataTypeNode(server, types_[i].typeId, Ns0(UA_NS0ID_STRUCTURE), Ns0(UA_NS0ID_HASSUBTYPE),
                                    UA_QUALIFIEDNAME(kNamespace, const_cast<char*>(types_[i].typeName)), attributes,
                                    nullptr, nullptr),
          std::string("adding data type ") + types_[i].typeName);
  }
  g_deepBody.type = &types_[0];
  g_claimMaxBody.type = g_claim2GBody.type = &types_[kNestDepth];
  AddRawStructure(server, "Hostile.DeepStructure", types_[0].typeId, &g_deepBody);
  AddRawStructure(server, "Hostile.ClaimMax", types_[kNestDepth].typeId, &g_claimMaxBody);
  AddRawStructure(server, "Hostile.Claim2G", types_[kNestDepth].typeId, &g_claim2GBody);
}

void HostileModel::AddSlowCall(UA_Server* server) {
  UA_MethodAttributes attributes = UA_MethodAttributes_default;
  attributes.displayName = Text("Hostile.SlowCall");
  attributes.executable = attributes.userExecutable = true;
  Check(UA_Server_addMethodNode(server, Id("Hostile.SlowCall"), Id("Hostile"), Ns0(UA_NS0ID_HASCOMPONENT),
                                UA_QUALIFIEDNAME(kNamespace, const_cast<char*>("Hostile.SlowCall")), attributes,
                                AnswerLater, 0, nullptr, 0, nullptr, nullptr, nullptr),
        "adding Hostile.SlowCall");
  // Queued instead of run: the server loop answers it when it is due (Poll), and
  // serves every other request meanwhile.
  Check(UA_Server_setMethodNodeAsync(server, Id("Hostile.SlowCall"), true), "making Hostile.SlowCall late");
}

void HostileModel::Poll(UA_Server* server) {
  UA_AsyncOperationType type;
  const UA_AsyncOperationRequest* request = nullptr;
  void* context = nullptr;
  UA_DateTime timeout = 0;
  while (UA_Server_getAsyncOperationNonBlocking(server, &type, &request, &context, &timeout))
    pending_.push_back({context, std::chrono::steady_clock::now() + timing_.slowCall});
  while (!pending_.empty() && pending_.front().due <= std::chrono::steady_clock::now()) {
    UA_AsyncOperationResponse response;
    std::memset(&response, 0, sizeof(response));
    response.callMethodResult.statusCode = UA_STATUSCODE_GOOD;
    UA_Server_setAsyncOperationResult(server, &response, pending_.front().context);
    pending_.pop_front();
  }
}

void HostileModel::Start(uint16_t port) {
  g_serving = true;
  if (timing_.dropSubscriptions.count() == 0) return;
  dropper_ = std::thread([this, port] { DropSubscriptions(port); });
}

void HostileModel::Stop(UA_Server* server) {
  stop_ = true;
  if (!dropper_.joinable()) return;
  while (!dropperDone_) UA_Server_run_iterate(server, true);
  dropper_.join();
}

// A second session of the server's own takes every subscription over and deletes
// it: the sessions that created them see them vanish as after a server-side delete.
void HostileModel::DropSubscriptions(uint16_t port) {
  UA_Client* client = UA_Client_new();
  UA_ClientConfig* config = UA_Client_getConfig(client);
  config->logging = &g_silentLogger;
  UA_ClientConfig_setDefault(config);
  const std::string url = "opc.tcp://127.0.0.1:" + std::to_string(port);
  UA_UInt32 highest = 0;  // the highest subscription id dropped so far
  auto next = std::chrono::steady_clock::now() + timing_.dropSubscriptions;
  while (!stop_) {
    if (std::chrono::steady_clock::now() < next) {
      std::this_thread::sleep_for(kDropperPause);
      continue;
    }
    next = std::chrono::steady_clock::now() + timing_.dropSubscriptions;
    if (UA_Client_connect(client, url.c_str()) != UA_STATUSCODE_GOOD) {
      UA_Client_disconnect(client);
      continue;
    }
    // Ids count up server-wide; a window around the last one dropped finds the new ones.
    std::vector<UA_UInt32> ids;
    for (UA_UInt32 id = highest > 256 ? highest - 256 : 1; id <= highest + 64; ++id) ids.push_back(id);
    UA_TransferSubscriptionsRequest transfer;
    UA_TransferSubscriptionsRequest_init(&transfer);
    transfer.subscriptionIds = ids.data();
    transfer.subscriptionIdsSize = ids.size();
    UA_TransferSubscriptionsResponse transferred;
    __UA_Client_Service(client, &transfer, &UA_TYPES[UA_TYPES_TRANSFERSUBSCRIPTIONSREQUEST], &transferred,
                        &UA_TYPES[UA_TYPES_TRANSFERSUBSCRIPTIONSRESPONSE]);
    std::vector<UA_UInt32> taken;
    for (size_t i = 0; i < transferred.resultsSize && i < ids.size(); ++i)
      if (transferred.results[i].statusCode == UA_STATUSCODE_GOOD) taken.push_back(ids[i]);
    UA_TransferSubscriptionsResponse_clear(&transferred);
    if (taken.empty()) continue;
    highest = std::max(highest, taken.back());
    UA_DeleteSubscriptionsRequest remove;
    UA_DeleteSubscriptionsRequest_init(&remove);
    remove.subscriptionIds = taken.data();
    remove.subscriptionIdsSize = taken.size();
    UA_DeleteSubscriptionsResponse removed;
    __UA_Client_Service(client, &remove, &UA_TYPES[UA_TYPES_DELETESUBSCRIPTIONSREQUEST], &removed,
                        &UA_TYPES[UA_TYPES_DELETESUBSCRIPTIONSRESPONSE]);
    UA_DeleteSubscriptionsResponse_clear(&removed);
  }
  UA_Client_disconnect(client);
  UA_Client_delete(client);
  dropperDone_ = true;
}

}  // namespace quarlink_demo
