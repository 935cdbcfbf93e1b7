// Helpers of the subscription tests: handlers that count their own copies or wait
// for a latch, and a plain stack client that sees the server's side.
#pragma once

#include <open62541/client.h>
#include <open62541/client_config_default.h>
#include <open62541/client_highlevel.h>
#include <velk/quarlink/client.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ualib_test {

// Counts the live copies of the handlers that carry one: every copy the adapter
// keeps (map entry, stack context, queued notification) holds one.
class CopyCounter {
 public:
  CopyCounter() { ++live_; }
  CopyCounter(const CopyCounter&) { ++live_; }
  CopyCounter& operator=(const CopyCounter&) = default;
  ~CopyCounter() { --live_; }
  static int Live() { return live_; }

 private:
  static inline std::atomic<int> live_{0};
};

inline tessel::fnd::defs::SubscriptionHandler Counted(tessel::fnd::defs::SubscriptionHandler inner) {
  return [inner = std::move(inner), counter = CopyCounter()](const tessel::fnd::defs::Notification& n) {
    if (inner) inner(n);
  };
}

// Blocks every Wait until opened; counts the calls that have started.
class Latch {
 public:
  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++waiting_;
    cv_.wait(lock, [this] { return open_; });
  }
  void Open() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      open_ = true;
    }
    cv_.notify_all();
  }
  int Waiting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return waiting_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
  int waiting_ = 0;
};

// Opens a latch when it goes out of scope. Declared after the Client, it keeps a
// test that stops early from leaving the session's teardown waiting on a handler.
class OpenAtExit {
 public:
  explicit OpenAtExit(Latch& latch) : latch_(latch) {}
  ~OpenAtExit() { latch_.Open(); }
  OpenAtExit(const OpenAtExit&) = delete;
  OpenAtExit& operator=(const OpenAtExit&) = delete;

 private:
  Latch& latch_;
};

struct ServerSubscription {
  uint32_t subscriptionId = 0;
  double publishingInterval = 0;
  uint32_t monitoredItemCount = 0;
};

// The server's side, through a plain stack client of its own.
class ServerProbe {
 public:
  // Anonymous, or as the server's "operator" user.
  explicit ServerProbe(const std::string& endpoint, bool asOperator = false) : client_(UA_Client_new()) {
    UA_ClientConfig* config = UA_Client_getConfig(client_);
    UA_ClientConfig_setDefault(config);
    config->logging->log = nullptr;  // quiet
    const UA_StatusCode status = asOperator ? UA_Client_connectUsername(client_, endpoint.c_str(), "operator", "secret")
                                            : UA_Client_connect(client_, endpoint.c_str());
    connected_ = status == UA_STATUSCODE_GOOD;
  }

  // Moves a subscription of another session to this one (TransferSubscriptions).
  UA_StatusCode TakeOver(uint32_t subscriptionId) {
    UA_TransferSubscriptionsRequest request;
    UA_TransferSubscriptionsRequest_init(&request);
    request.subscriptionIds = &subscriptionId;
    request.subscriptionIdsSize = 1;
    UA_TransferSubscriptionsResponse response;
    __UA_Client_Service(client_, &request, &UA_TYPES[UA_TYPES_TRANSFERSUBSCRIPTIONSREQUEST], &response,
                        &UA_TYPES[UA_TYPES_TRANSFERSUBSCRIPTIONSRESPONSE]);
    UA_StatusCode status = response.responseHeader.serviceResult;
    if (status == UA_STATUSCODE_GOOD)
      status = response.resultsSize == 1 ? response.results[0].statusCode : UA_STATUSCODE_BADINTERNALERROR;
    UA_TransferSubscriptionsResponse_clear(&response);
    return status;
  }
  ~ServerProbe() { UA_Client_delete(client_); }
  ServerProbe(const ServerProbe&) = delete;
  ServerProbe& operator=(const ServerProbe&) = delete;

  // Robot.Burst: the server writes count successive values to BurstValue.
  UA_StatusCode Burst(UA_UInt32 count) {
    UA_Variant input;
    UA_Variant_setScalar(&input, &count, &UA_TYPES[UA_TYPES_UINT32]);
    size_t outputSize = 0;
    UA_Variant* outputs = nullptr;
    const UA_StatusCode status =
        UA_Client_call(client_, UA_NODEID_STRING(1, const_cast<char*>("Robot")),
                       UA_NODEID_STRING(1, const_cast<char*>("Robot.Burst")), 1, &input, &outputSize, &outputs);
    UA_Array_delete(outputs, outputSize, &UA_TYPES[UA_TYPES_VARIANT]);
    return status;
  }

  // Sessions on the server other than the probe's own; -1 when unknown.
  int Sessions() {
    UA_Variant value;
    UA_Variant_init(&value);
    int count = -1;
    if (connected_ &&
        UA_Client_readValueAttribute(client_, UA_NODEID_STRING(1, const_cast<char*>("SessionCount")), &value) ==
            UA_STATUSCODE_GOOD &&
        value.type == &UA_TYPES[UA_TYPES_UINT32])
      count = static_cast<int>(*static_cast<UA_UInt32*>(value.data)) - 1;
    UA_Variant_clear(&value);
    return count;
  }

  // Every subscription the server has, from its diagnostics.
  std::vector<ServerSubscription> Subscriptions() {
    UA_Variant value;
    UA_Variant_init(&value);
    std::vector<ServerSubscription> out;
    const UA_NodeId diagnostics = UA_NODEID_NUMERIC(0, UA_NS0ID_SERVER_SERVERDIAGNOSTICS_SUBSCRIPTIONDIAGNOSTICSARRAY);
    if (UA_Client_readValueAttribute(client_, diagnostics, &value) == UA_STATUSCODE_GOOD) {
      const UA_DataType* type = &UA_TYPES[UA_TYPES_SUBSCRIPTIONDIAGNOSTICSDATATYPE];
      const auto* entries = static_cast<const UA_SubscriptionDiagnosticsDataType*>(value.data);
      for (size_t i = 0; value.type == type && i < value.arrayLength; ++i)
        out.push_back({entries[i].subscriptionId, entries[i].publishingInterval, entries[i].monitoredItemCount});
    }
    UA_Variant_clear(&value);
    return out;
  }

  std::optional<ServerSubscription> Subscription(uint32_t id) {
    for (const ServerSubscription& s : Subscriptions())
      if (s.subscriptionId == id) return s;
    return std::nullopt;
  }

 private:
  UA_Client* client_;
  bool connected_ = false;
};

}  // namespace ualib_test
