// Host framework contract: the communication-adapter interface and every record
// that crosses it. Plain value types; the adapter compiles their inline members.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#if defined(__GNUC__)
#define TESSEL_FND_API __attribute__((visibility("default")))
#else
#define TESSEL_FND_API
#endif

namespace tessel::fnd::defs {

using Address = std::string;

// Ordered (key, value) pairs in insertion order; keys compare byte for byte.
class PropertyMap {
 public:
  void Set(std::string key, std::string value) {
    for (auto& pair : pairs_) {
      if (pair.first == key) {
        pair.second = std::move(value);
        return;
      }
    }
    pairs_.emplace_back(std::move(key), std::move(value));
  }

  // The first value stored under key, or null. Valid until the map is next modified.
  const std::string* Get(std::string_view key) const {
    for (const auto& pair : pairs_) {
      if (pair.first == key) return &pair.second;
    }
    return nullptr;
  }

  const std::vector<std::pair<std::string, std::string>>& Pairs() const { return pairs_; }
  bool operator==(const PropertyMap& other) const { return pairs_ == other.pairs_; }

 private:
  std::vector<std::pair<std::string, std::string>> pairs_;
};

// The alternative index is observable: converters dispatch on it.
using Value = std::variant<std::monostate,            // 0
                           bool,                      // 1
                           int32_t,                   // 2
                           uint32_t,                  // 3
                           int64_t,                   // 4
                           uint64_t,                  // 5
                           float,                     // 6
                           double,                    // 7
                           std::string,               // 8
                           std::vector<uint8_t>,      // 9
                           std::vector<bool>,         // 10
                           std::vector<int32_t>,      // 11
                           std::vector<uint32_t>,     // 12
                           std::vector<int64_t>,      // 13
                           std::vector<uint64_t>,     // 14
                           std::vector<float>,        // 15
                           std::vector<double>,       // 16
                           std::vector<std::string>,  // 17
                           PropertyMap,               // 18
                           int16_t,                   // 19
                           uint16_t,                  // 20
                           int8_t,                    // 21
                           uint8_t,                   // 22
                           std::vector<int16_t>,      // 23
                           std::vector<uint16_t>,     // 24
                           std::vector<int8_t>>;      // 25

enum class ResultCode : int32_t {
  Ok = 0,
  Timeout = 1,
  NotConnected = 2,
  AlreadyConnected = 3,
  InvalidState = 4,
  InvalidArgument = 5,
  NotFound = 6,
  AccessDenied = 7,
  TypeMismatch = 8,
  NotImplemented = 9,
  Cancelled = 10,
  Unknown = 11,
  CommunicationError = 12,
  InternalError = 13,
};

struct Result {
  ResultCode code = ResultCode::Ok;
  std::string message;
};

struct DataValue {
  Value value;
  ResultCode code = ResultCode::Ok;
  std::string message;
  std::optional<int64_t> timestamp;  // source time, ns since 1970-01-01T00:00:00Z
  PropertyMap properties;
};

struct Capabilities {
  bool supports_discovery = false;
  bool supports_browse = false;
  bool supports_read = false;
  bool supports_write = false;
  bool supports_call = false;
  bool supports_subscribe = false;
  bool supports_unsubscribe = false;
  bool supports_connection_state = false;
  bool supports_cancellation = false;
  uint32_t max_batch_size = 0;
  PropertyMap properties;
};

struct ConnectionOptions {
  std::string endpoint;
  PropertyMap properties;
};

enum class ConnectionState : int32_t {
  Disconnected = 0,
  Connecting = 1,
  Connected = 2,
  Disconnecting = 3,
  Error = 4,
};

struct ConnectionInfo {
  std::string endpoint;
  std::string protocol;
  std::string adapter;
  std::string adapter_version;
  int32_t contract_version = 0;
  PropertyMap properties;
};

struct ConnectionStatus {
  ResultCode code = ResultCode::Ok;
  std::string message;
  ConnectionState state = ConnectionState::Disconnected;
  std::optional<ConnectionInfo> info;
};

struct ConnectionStateChange {
  ConnectionState previous = ConnectionState::Disconnected;
  ConnectionState current = ConnectionState::Disconnected;
  ResultCode code = ResultCode::Ok;
  std::string message;
};

using ConnectionStateHandler = std::function<void(const ConnectionStateChange&)>;

// Releasing is explicit: destroying the token leaves the handler installed.
struct RegistrationToken {
  std::function<void()> release;
};

struct CancellationToken {
  std::shared_ptr<std::atomic<bool>> flag;
};

struct RequestOptions {
  std::chrono::milliseconds timeout{0};  // 0: the session's own timeout
  uint32_t priority = 0;
  std::string correlation_id;
  std::optional<CancellationToken> cancel;
  PropertyMap properties;
};

struct ReadItem {
  Address address;
  std::string attribute;
};

struct ReadRequest {
  std::vector<ReadItem> items;
  RequestOptions options;
};

struct ReadItemResult {
  ResultCode code = ResultCode::Ok;
  std::string message;
  Address address;
  std::optional<DataValue> value;
};

struct ReadResult {
  ResultCode code = ResultCode::Ok;
  std::string message;
  std::vector<ReadItemResult> items;
};

struct WriteItem {
  Address address;
  Value value;
  std::string attribute;
};

struct WriteRequest {
  std::vector<WriteItem> items;
  RequestOptions options;
};

struct WriteItemResult {
  ResultCode code = ResultCode::Ok;
  std::string message;
  Address address;
};

struct WriteResult {
  ResultCode code = ResultCode::Ok;
  std::string message;
  std::vector<WriteItemResult> items;
};

struct BrowseRequest {
  std::optional<Address> root;
  bool recursive = false;
  bool include_values = false;
  uint32_t max_depth = 0;
  RequestOptions options;
};

struct NodeDescriptor {
  std::string address;
  std::string display_name;
  std::optional<std::string> parent;
  bool expandable = false;
  std::optional<DataValue> value;
  PropertyMap properties;
};

struct BrowseResult {
  ResultCode code = ResultCode::Ok;
  std::string message;
  std::vector<NodeDescriptor> nodes;
  bool truncated = false;
  std::string continuation;
};

struct CallArgument {
  std::string name;
  Value value;
};

struct CallRequest {
  Address method;
  std::vector<CallArgument> inputs;
  RequestOptions options;
};

struct CallArgumentResult {
  std::string name;
  DataValue value;
};

struct CallResult {
  ResultCode code = ResultCode::Ok;
  std::string message;
  std::vector<CallArgumentResult> outputs;
};

struct DiscoverRequest {
  std::string filter;
  RequestOptions options;
};

struct DiscoverResult {
  ResultCode code = ResultCode::Ok;
  std::string message;
  std::vector<std::string> endpoints;
  PropertyMap properties;
};

struct Notification {
  std::string address;
  DataValue value;
};

using SubscriptionHandler = std::function<void(const Notification&)>;

struct SubscribeOpts {
  uint32_t queue_size = 0;
  bool discard_oldest = false;
  PropertyMap properties;
};

struct SubscribeItemResult {
  ResultCode code = ResultCode::Ok;
  std::string message;
  Address address;
};

struct SubscribeResult {
  ResultCode code = ResultCode::Ok;
  std::string message;
  std::vector<SubscribeItemResult> items;
};

struct UnsubscribeItemResult {
  ResultCode code = ResultCode::Ok;
  std::string message;
  Address address;
};

struct UnsubscribeResult {
  ResultCode code = ResultCode::Ok;
  std::string message;
  std::vector<UnsubscribeItemResult> items;
};

// The operations' order is part of the binary contract with the host.
class TESSEL_FND_API ICommAdapter {
 public:
  virtual ~ICommAdapter() = default;
  virtual int GetContractVersion() const { return 1; }
  virtual Capabilities GetCapabilities() const = 0;
  virtual Result Configure(const ConnectionOptions& options) = 0;
  virtual Result Connect() = 0;
  virtual Result Disconnect() = 0;
  virtual ConnectionStatus GetConnectionStatus() const = 0;
  virtual bool IsConnected() const = 0;
  virtual RegistrationToken SetConnectionStateHandler(ConnectionStateHandler handler) = 0;
  virtual DiscoverResult Discover(const DiscoverRequest& request) = 0;
  virtual BrowseResult Browse(const BrowseRequest& request) = 0;
  virtual ReadResult Read(const ReadRequest& request) = 0;
  virtual WriteResult Write(const WriteRequest& request) = 0;
  virtual CallResult Call(const CallRequest& request) = 0;
  virtual SubscribeResult Subscribe(const std::vector<std::string>& addresses, SubscriptionHandler handler,
                                    const SubscribeOpts& opts) = 0;
  virtual UnsubscribeResult Unsubscribe(const std::vector<std::string>& addresses) = 0;
  virtual Result UnsubscribeAll() = 0;
};

}  // namespace tessel::fnd::defs
