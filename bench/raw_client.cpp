#include "raw_client.h"

#include <open62541/client_highlevel.h>
#include <open62541/client_highlevel_async.h>
#include <open62541/client_subscriptions.h>

#include <chrono>
#include <cstring>
#include <memory>

namespace ualib_bench {
namespace {

// Owns the NodeIds it holds.
struct OwnedNodeIds {
  std::vector<UA_NodeId> ids;
  OwnedNodeIds() = default;
  OwnedNodeIds(const OwnedNodeIds&) = delete;
  OwnedNodeIds& operator=(const OwnedNodeIds&) = delete;
  ~OwnedNodeIds() {
    for (UA_NodeId& id : ids) UA_NodeId_clear(&id);
  }
  void Add(const UA_NodeId& id) {
    UA_NodeId copy;
    UA_NodeId_copy(&id, &copy);
    ids.push_back(copy);
  }
};

bool Good(UA_StatusCode status) { return status == UA_STATUSCODE_GOOD; }

int64_t ValueOf(const UA_DataValue& value) {
  if (UA_Variant_hasScalarType(&value.value, &UA_TYPES[UA_TYPES_INT32]))
    return *static_cast<const UA_Int32*>(value.value.data);
  if (UA_Variant_hasScalarType(&value.value, &UA_TYPES[UA_TYPES_DOUBLE]))
    return static_cast<int64_t>(*static_cast<const UA_Double*>(value.value.data));
  return 0;
}

void OnDataChange(UA_Client*, UA_UInt32, void* subscriptionContext, UA_UInt32, void* itemContext, UA_DataValue* value) {
  auto* collector = static_cast<Collector*>(subscriptionContext);
  if (collector == nullptr || value == nullptr || !value->hasSourceTimestamp) return;
  const int64_t sourceNs = (value->sourceTimestamp - UA_DATETIME_UNIX_EPOCH) * 100;
  collector->Add(reinterpret_cast<uintptr_t>(itemContext), ValueOf(*value), sourceNs);
}

// Appends the browse result's children to `found`, and those worth descending into to `next`.
void TakeChildren(const UA_BrowseResult& result, size_t& found, OwnedNodeIds& next) {
  for (size_t i = 0; i < result.referencesSize; ++i) {
    const UA_ReferenceDescription& reference = result.references[i];
    ++found;
    if (reference.nodeClass == UA_NODECLASS_OBJECT || reference.nodeClass == UA_NODECLASS_VARIABLE ||
        reference.nodeClass == UA_NODECLASS_VIEW)
      next.Add(reference.nodeId.nodeId);
  }
}

// Follows one continuation point to its end.
bool BrowseRest(UA_Client* client, UA_ByteString point, size_t& found, OwnedNodeIds& next) {
  UA_ByteString current;
  UA_ByteString_copy(&point, &current);
  bool ok = true;
  while (ok && current.length > 0) {
    UA_BrowseNextRequest request;
    UA_BrowseNextRequest_init(&request);
    request.continuationPoints = &current;
    request.continuationPointsSize = 1;
    UA_BrowseNextResponse response = UA_Client_Service_browseNext(client, request);
    ok = Good(response.responseHeader.serviceResult) && response.resultsSize == 1 &&
         Good(response.results[0].statusCode);
    UA_ByteString_clear(&current);
    if (ok) {
      TakeChildren(response.results[0], found, next);
      UA_ByteString_copy(&response.results[0].continuationPoint, &current);
    }
    UA_BrowseNextResponse_clear(&response);
  }
  UA_ByteString_clear(&current);
  return ok;
}

}  // namespace

std::vector<UA_NodeId> NodeIds(const std::vector<std::string>& names) {
  std::vector<UA_NodeId> ids;
  ids.reserve(names.size());
  for (const std::string& name : names) ids.push_back(UA_NODEID_STRING(1, const_cast<char*>(name.c_str())));
  return ids;
}

namespace {

// Sends the next read from each answer until the deadline passes.
struct Pipeline {
  UA_NodeId node;
  std::chrono::steady_clock::time_point deadline;
  size_t outstanding = 0;
  uint64_t done = 0;
  bool failed = false;
};

void OnPipelinedRead(UA_Client* client, void* userdata, UA_UInt32, UA_StatusCode status, UA_DataValue*) {
  auto& pipeline = *static_cast<Pipeline*>(userdata);
  --pipeline.outstanding;
  if (!Good(status)) pipeline.failed = true;
  ++pipeline.done;
  if (pipeline.failed || std::chrono::steady_clock::now() >= pipeline.deadline) return;
  if (Good(UA_Client_readValueAttribute_async(client, pipeline.node, OnPipelinedRead, &pipeline, nullptr)))
    ++pipeline.outstanding;
  else
    pipeline.failed = true;
}

}  // namespace

double RawPipelinedReadRate(UA_Client* client, const UA_NodeId& node, size_t inFlight, double seconds) {
  const auto start = std::chrono::steady_clock::now();
  Pipeline pipeline{node, start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                      std::chrono::duration<double>(seconds))};
  for (size_t i = 0; i < inFlight; ++i) {
    if (!Good(UA_Client_readValueAttribute_async(client, node, OnPipelinedRead, &pipeline, nullptr))) return -1.0;
    ++pipeline.outstanding;
  }
  while (pipeline.outstanding > 0)
    if (!Good(UA_Client_run_iterate(client, 10))) return -1.0;
  if (pipeline.failed) return -1.0;
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  return static_cast<double>(pipeline.done) / elapsed.count();
}

bool RawReadOne(UA_Client* client, const UA_NodeId& node) {
  UA_Variant value;
  UA_Variant_init(&value);
  const bool ok = Good(UA_Client_readValueAttribute(client, node, &value));
  UA_Variant_clear(&value);
  return ok;
}

bool RawRead(UA_Client* client, const std::vector<UA_NodeId>& nodes) {
  std::vector<UA_ReadValueId> items(nodes.size());
  for (size_t i = 0; i < nodes.size(); ++i) {
    UA_ReadValueId_init(&items[i]);
    items[i].nodeId = nodes[i];
    items[i].attributeId = UA_ATTRIBUTEID_VALUE;
  }
  UA_ReadRequest request;
  UA_ReadRequest_init(&request);
  request.nodesToRead = items.data();
  request.nodesToReadSize = items.size();
  UA_ReadResponse response = UA_Client_Service_read(client, request);
  bool ok = Good(response.responseHeader.serviceResult) && response.resultsSize == nodes.size();
  for (size_t i = 0; ok && i < response.resultsSize; ++i) ok = response.results[i].hasValue;
  UA_ReadResponse_clear(&response);
  return ok;
}

bool RawWrite(UA_Client* client, const std::vector<UA_NodeId>& nodes, int32_t value) {
  std::vector<UA_WriteValue> items(nodes.size());
  for (size_t i = 0; i < nodes.size(); ++i) {
    UA_WriteValue_init(&items[i]);
    items[i].nodeId = nodes[i];
    items[i].attributeId = UA_ATTRIBUTEID_VALUE;
    UA_Variant_setScalar(&items[i].value.value, &value, &UA_TYPES[UA_TYPES_INT32]);
    items[i].value.hasValue = true;
  }
  UA_WriteRequest request;
  UA_WriteRequest_init(&request);
  request.nodesToWrite = items.data();
  request.nodesToWriteSize = items.size();
  UA_WriteResponse response = UA_Client_Service_write(client, request);
  bool ok = Good(response.responseHeader.serviceResult) && response.resultsSize == nodes.size();
  for (size_t i = 0; ok && i < response.resultsSize; ++i) ok = Good(response.results[i]);
  UA_WriteResponse_clear(&response);
  return ok;
}

size_t RawBrowseTree(UA_Client* client, const UA_NodeId& root) {
  size_t found = 0;
  auto level = std::make_unique<OwnedNodeIds>();
  level->Add(root);
  while (!level->ids.empty()) {
    std::vector<UA_BrowseDescription> descriptions(level->ids.size());
    for (size_t i = 0; i < descriptions.size(); ++i) {
      UA_BrowseDescription_init(&descriptions[i]);
      descriptions[i].nodeId = level->ids[i];
      descriptions[i].browseDirection = UA_BROWSEDIRECTION_FORWARD;
      descriptions[i].referenceTypeId = UA_NODEID_NUMERIC(0, UA_NS0ID_HIERARCHICALREFERENCES);
      descriptions[i].includeSubtypes = true;
      descriptions[i].resultMask = UA_BROWSERESULTMASK_ALL;
    }
    UA_BrowseRequest request;
    UA_BrowseRequest_init(&request);
    request.nodesToBrowse = descriptions.data();
    request.nodesToBrowseSize = descriptions.size();
    UA_BrowseResponse response = UA_Client_Service_browse(client, request);
    bool ok = Good(response.responseHeader.serviceResult) && response.resultsSize == descriptions.size();
    auto next = std::make_unique<OwnedNodeIds>();
    for (size_t i = 0; ok && i < response.resultsSize; ++i) {
      const UA_BrowseResult& result = response.results[i];
      ok = Good(result.statusCode);
      if (ok) TakeChildren(result, found, *next);
      if (ok && result.continuationPoint.length > 0) ok = BrowseRest(client, result.continuationPoint, found, *next);
    }
    UA_BrowseResponse_clear(&response);
    if (!ok) return 0;
    level = std::move(next);
  }
  return found;
}

void Collector::Add(size_t item, int64_t value, int64_t sourceNs) {
  if (!recording_) return;
  const int64_t now = NowNs();
  std::lock_guard<std::mutex> lock(mutex_);
  ++count_;
  latenciesMs_.push_back(static_cast<double>(now - sourceNs) / 1e6);
  if (item < last_.size()) {
    if (last_[item] != 0 && value > last_[item] + 1) lost_ += static_cast<uint64_t>(value - last_[item] - 1);
    last_[item] = value;
  }
}

uint64_t Collector::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return count_;
}

uint64_t Collector::Lost() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lost_;
}

std::vector<double> Collector::LatenciesMs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return latenciesMs_;
}

UA_UInt32 RawCreateSubscription(UA_Client* client, double publishingMs, Collector* collector) {
  UA_CreateSubscriptionRequest request;
  UA_CreateSubscriptionRequest_init(&request);
  request.requestedPublishingInterval = publishingMs;
  request.requestedLifetimeCount = 100;
  request.requestedMaxKeepAliveCount = 50;
  request.maxNotificationsPerPublish = 1000;
  request.publishingEnabled = true;
  UA_CreateSubscriptionResponse response = UA_Client_Subscriptions_create(client, request, collector, nullptr, nullptr);
  const UA_UInt32 id = Good(response.responseHeader.serviceResult) ? response.subscriptionId : 0;
  UA_CreateSubscriptionResponse_clear(&response);
  return id;
}

bool RawCreateItems(UA_Client* client, UA_UInt32 subscriptionId, const std::vector<UA_NodeId>& nodes,
                    const MonitorParams& params, std::vector<UA_UInt32>& ids) {
  std::vector<UA_MonitoredItemCreateRequest> items(nodes.size());
  std::vector<void*> contexts(nodes.size());
  std::vector<UA_Client_DataChangeNotificationCallback> callbacks(nodes.size(), OnDataChange);
  std::vector<UA_Client_DeleteMonitoredItemCallback> deleteCallbacks(nodes.size(), nullptr);
  for (size_t i = 0; i < nodes.size(); ++i) {
    items[i] = UA_MonitoredItemCreateRequest_default(nodes[i]);
    items[i].requestedParameters.samplingInterval = params.samplingMs;
    items[i].requestedParameters.queueSize = params.queueSize;
    items[i].requestedParameters.discardOldest = params.discardOldest;
    contexts[i] = reinterpret_cast<void*>(static_cast<uintptr_t>(i));
  }
  UA_CreateMonitoredItemsRequest request;
  UA_CreateMonitoredItemsRequest_init(&request);
  request.subscriptionId = subscriptionId;
  request.timestampsToReturn = UA_TIMESTAMPSTORETURN_BOTH;
  request.itemsToCreate = items.data();
  request.itemsToCreateSize = items.size();
  UA_CreateMonitoredItemsResponse response = UA_Client_MonitoredItems_createDataChanges(
      client, request, contexts.data(), callbacks.data(), deleteCallbacks.data());
  bool ok = Good(response.responseHeader.serviceResult) && response.resultsSize == nodes.size();
  ids.clear();
  for (size_t i = 0; i < response.resultsSize; ++i) {
    ok = ok && Good(response.results[i].statusCode);
    if (Good(response.results[i].statusCode)) ids.push_back(response.results[i].monitoredItemId);
  }
  UA_CreateMonitoredItemsResponse_clear(&response);
  return ok;
}

bool RawDeleteItems(UA_Client* client, UA_UInt32 subscriptionId, std::vector<UA_UInt32>& ids) {
  if (ids.empty()) return true;
  UA_DeleteMonitoredItemsRequest request;
  UA_DeleteMonitoredItemsRequest_init(&request);
  request.subscriptionId = subscriptionId;
  request.monitoredItemIds = ids.data();
  request.monitoredItemIdsSize = ids.size();
  UA_DeleteMonitoredItemsResponse response = UA_Client_MonitoredItems_delete(client, request);
  const bool ok = Good(response.responseHeader.serviceResult);
  UA_DeleteMonitoredItemsResponse_clear(&response);
  ids.clear();
  return ok;
}

RawSubscription::RawSubscription(UA_Client* client, const std::vector<UA_NodeId>& nodes, const MonitorParams& params,
                                 Collector* collector)
    : client_(client) {
  subscriptionId_ = RawCreateSubscription(client, params.publishingMs, collector);
  ok_ = subscriptionId_ != 0 && RawCreateItems(client, subscriptionId_, nodes, params, itemIds_);
}

RawSubscription::~RawSubscription() {
  Stop();
  if (subscriptionId_ == 0) return;
  RawDeleteItems(client_, subscriptionId_, itemIds_);
  UA_Client_Subscriptions_deleteSingle(client_, subscriptionId_);
}

void RawSubscription::Start() {
  running_ = true;
  thread_ = std::thread([this] {
    while (running_) UA_Client_run_iterate(client_, 100);
  });
}

void RawSubscription::Stop() {
  running_ = false;
  if (thread_.joinable()) thread_.join();
}

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace ualib_bench
