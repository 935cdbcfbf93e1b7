// Owning wrappers for open62541 values, so that every stack resource is released
// on every path by a destructor instead of a UA_clear call written by hand.
#pragma once

#include <open62541/types.h>

#include <cstddef>
#include <utility>

namespace velk::quarlink::internal {

template <typename T>
struct UaTypeOf;

#define UALIB_UA_TYPE(T, INDEX)                                  \
  template <>                                                    \
  struct UaTypeOf<T> {                                           \
    static const UA_DataType* Get() { return &UA_TYPES[INDEX]; } \
  }

UALIB_UA_TYPE(UA_NodeId, UA_TYPES_NODEID);
UALIB_UA_TYPE(UA_Variant, UA_TYPES_VARIANT);
UALIB_UA_TYPE(UA_String, UA_TYPES_STRING);
UALIB_UA_TYPE(UA_BrowseRequest, UA_TYPES_BROWSEREQUEST);
UALIB_UA_TYPE(UA_BrowseResponse, UA_TYPES_BROWSERESPONSE);
UALIB_UA_TYPE(UA_BrowseNextRequest, UA_TYPES_BROWSENEXTREQUEST);
UALIB_UA_TYPE(UA_BrowseNextResponse, UA_TYPES_BROWSENEXTRESPONSE);
UALIB_UA_TYPE(UA_CreateSubscriptionResponse, UA_TYPES_CREATESUBSCRIPTIONRESPONSE);
UALIB_UA_TYPE(UA_MonitoredItemCreateRequest, UA_TYPES_MONITOREDITEMCREATEREQUEST);
UALIB_UA_TYPE(UA_MonitoredItemCreateResult, UA_TYPES_MONITOREDITEMCREATERESULT);
UALIB_UA_TYPE(UA_UserNameIdentityToken, UA_TYPES_USERNAMEIDENTITYTOKEN);
UALIB_UA_TYPE(UA_DataValue, UA_TYPES_DATAVALUE);
UALIB_UA_TYPE(UA_ReadResponse, UA_TYPES_READRESPONSE);
UALIB_UA_TYPE(UA_WriteResponse, UA_TYPES_WRITERESPONSE);
UALIB_UA_TYPE(UA_CallResponse, UA_TYPES_CALLRESPONSE);
UALIB_UA_TYPE(UA_CreateMonitoredItemsResponse, UA_TYPES_CREATEMONITOREDITEMSRESPONSE);
UALIB_UA_TYPE(UA_DeleteMonitoredItemsResponse, UA_TYPES_DELETEMONITOREDITEMSRESPONSE);
UALIB_UA_TYPE(UA_TranslateBrowsePathsToNodeIdsResponse, UA_TYPES_TRANSLATEBROWSEPATHSTONODEIDSRESPONSE);

#undef UALIB_UA_TYPE

// Owns one stack value: default-constructed zeroed, cleared on destruction, and a
// moved-from wrapper is zeroed again so it owns nothing.
template <typename T>
class UaOwned {
 public:
  UaOwned() { UA_init(&value_, Type()); }
  // Takes over a value the stack returned by value (a response, a parsed id).
  static UaOwned Adopt(T raw) {
    UaOwned owned;
    owned.value_ = raw;
    return owned;
  }
  ~UaOwned() { UA_clear(&value_, Type()); }

  UaOwned(UaOwned&& other) noexcept : value_(other.value_) { UA_init(&other.value_, Type()); }
  UaOwned& operator=(UaOwned&& other) noexcept {
    if (this != &other) {
      UA_clear(&value_, Type());
      value_ = other.value_;
      UA_init(&other.value_, Type());
    }
    return *this;
  }
  UaOwned(const UaOwned& other) { UA_copy(&other.value_, &value_, Type()); }
  UaOwned& operator=(const UaOwned& other) {
    if (this != &other) {
      UaOwned copy(other);
      *this = std::move(copy);
    }
    return *this;
  }

  T* get() { return &value_; }
  const T* get() const { return &value_; }
  T& operator*() { return value_; }
  const T& operator*() const { return value_; }
  T* operator->() { return &value_; }
  const T* operator->() const { return &value_; }

  // Hands ownership to the caller; the wrapper is zeroed afterwards.
  T Release() {
    T out = value_;
    UA_init(&value_, Type());
    return out;
  }

  static const UA_DataType* Type() { return UaTypeOf<T>::Get(); }

 private:
  T value_;
};

using UaNodeId = UaOwned<UA_NodeId>;
using UaVariant = UaOwned<UA_Variant>;

// Owns an array allocated by the stack (UA_Array_new or a service's out-array).
class UaArray {
 public:
  UaArray() = default;
  UaArray(void* data, size_t size, const UA_DataType* type) : data_(data), size_(size), type_(type) {}
  static UaArray New(size_t size, const UA_DataType* type) {
    return size == 0 ? UaArray(nullptr, 0, type) : UaArray(UA_Array_new(size, type), size, type);
  }
  ~UaArray() { Reset(); }
  UaArray(UaArray&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)), type_(other.type_) {}
  UaArray& operator=(UaArray&& other) noexcept {
    if (this != &other) {
      Reset();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      type_ = other.type_;
    }
    return *this;
  }
  UaArray(const UaArray&) = delete;
  UaArray& operator=(const UaArray&) = delete;

  template <typename T>
  T* As() const {
    return static_cast<T*>(data_);
  }
  size_t size() const { return size_; }
  bool allocated() const { return size_ == 0 || data_ != nullptr; }

 private:
  void Reset() {
    if (data_ && type_) UA_Array_delete(data_, size_, type_);
    data_ = nullptr;
    size_ = 0;
  }
  void* data_ = nullptr;
  size_t size_ = 0;
  const UA_DataType* type_ = nullptr;
};

}  // namespace velk::quarlink::internal
