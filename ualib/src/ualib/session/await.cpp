#include "session/await.h"

#include <chrono>
#include <cstring>
#include <semaphore>

#include "values/ua_types.h"

namespace velk::quarlink::internal {
namespace {

// What the waiting thread and the response callback share; it lives on the waiting
// thread's stack, so the callback is detached before the waiter gives up on it.
struct Waiter {
  OpcuaConnection* session;
  void* response;
  const UA_DataType* responseType;
  std::binary_semaphore done{0};
};

// Runs on the thread that drives the event loop, under the stack's lock.
void OnResponse(UA_Client* /*client*/, void* userdata, UA_UInt32 /*requestId*/, void* response) noexcept {
  auto* waiter = static_cast<Waiter*>(userdata);
  if (!waiter) return;
  // Moved, not copied: the stack clears what is left of its own.
  std::memcpy(waiter->response, response, waiter->responseType->memSize);
  UA_init(response, waiter->responseType);
  const UA_StatusCode result = static_cast<UA_ResponseHeader*>(waiter->response)->serviceResult;
  if (result != UA_STATUSCODE_BADTIMEOUT && result != UA_STATUSCODE_BADSECURECHANNELCLOSED &&
      result != UA_STATUSCODE_BADCONNECTIONCLOSED && result != UA_STATUSCODE_BADSHUTDOWN)
    waiter->session->link().NoteArrival();
  waiter->done.release();
}

// A response its waiter gave up on still shows that the server answers.
void OnLateResponse(UA_Client* /*client*/, void* userdata, UA_UInt32 /*requestId*/, void* response) noexcept {
  const UA_StatusCode result = static_cast<UA_ResponseHeader*>(response)->serviceResult;
  if (userdata && result != UA_STATUSCODE_BADTIMEOUT && result != UA_STATUSCODE_BADSECURECHANNELCLOSED &&
      result != UA_STATUSCODE_BADCONNECTIONCLOSED && result != UA_STATUSCODE_BADSHUTDOWN)
    static_cast<OpcuaConnection*>(userdata)->link().NoteArrival();
}

UA_UInt32 EffectiveTimeout(UA_Client* client, UA_UInt32 timeoutMs) {
  return timeoutMs != kClientTimeout ? timeoutMs : UA_Client_getConfig(client)->timeout;
}

// Without an iterator driving the event loop, or on the iterator itself, the
// stack's synchronous service drives it.
bool AnswersArriveByThemselves(const ClientLock& lock) {
  return lock.session().IteratorRunning() && !lock.session().OnIteratorThread();
}

}  // namespace

UA_StatusCode AwaitService(const ClientLock& lock, void* request, const UA_DataType& requestType, void* response,
                           const UA_DataType& responseType, UA_UInt32 timeoutMs) {
  UA_Client* client = lock.client();
  const UA_UInt32 timeout = EffectiveTimeout(client, timeoutMs);
  static_cast<UA_RequestHeader*>(request)->timeoutHint = timeout;
  auto* header = static_cast<UA_ResponseHeader*>(response);
  if (!AnswersArriveByThemselves(lock)) {
    __UA_Client_Service(client, request, &requestType, response, &responseType);
    return header->serviceResult;
  }
  Waiter waiter{&lock.session(), response, &responseType};
  UA_UInt32 requestId = 0;
  const UA_StatusCode sent =
      __UA_Client_AsyncService(client, request, &requestType, OnResponse, &responseType, &waiter, &requestId);
  if (sent != UA_STATUSCODE_GOOD) {
    header->serviceResult = sent;
    return sent;
  }
  lock.unlock();
  if (!waiter.done.try_acquire_for(std::chrono::milliseconds(timeout))) {
    // Detached, the callback will never run; not found, it has run already.
    if (UA_Client_modifyAsyncCallback(client, requestId, &lock.session(), OnLateResponse) == UA_STATUSCODE_GOOD) {
      UA_clear(response, &responseType);
      header->serviceResult = UA_STATUSCODE_BADTIMEOUT;
    } else {
      waiter.done.acquire();
    }
  }
  lock.lock();
  return header->serviceResult;
}

UA_StatusCode AwaitAttribute(const ClientLock& lock, const UA_NodeId& node, UA_AttributeId attribute, void* out,
                             const UA_DataType& outType, UA_UInt32 timeoutMs) {
  UA_ReadValueId item;
  UA_ReadValueId_init(&item);
  item.nodeId = node;
  item.attributeId = attribute;
  UA_ReadRequest request;
  UA_ReadRequest_init(&request);
  request.nodesToRead = &item;
  request.nodesToReadSize = 1;
  UaOwned<UA_ReadResponse> response;
  UA_StatusCode status = AwaitService(lock, &request, UA_TYPES[UA_TYPES_READREQUEST], response.get(),
                                      UA_TYPES[UA_TYPES_READRESPONSE], timeoutMs);
  if (status == UA_STATUSCODE_GOOD)
    status = response->resultsSize == 1 ? response->results[0].status : UA_STATUSCODE_BADUNEXPECTEDERROR;
  if (!UA_StatusCode_isEqualTop(status, UA_STATUSCODE_GOOD)) return status;
  UA_DataValue& result = response->results[0];
  if (result.hasStatus) status = result.status;
  if (!result.hasValue) return UA_STATUSCODE_BADUNEXPECTEDERROR;
  if (attribute == UA_ATTRIBUTEID_VALUE) {
    std::memcpy(out, &result.value, sizeof(UA_Variant));
    UA_Variant_init(&result.value);
    return status;
  }
  if (!UA_Variant_isScalar(&result.value) || result.value.type != &outType) return UA_STATUSCODE_BADUNEXPECTEDERROR;
  std::memcpy(out, result.value.data, outType.memSize);
  UA_free(result.value.data);
  result.value.data = nullptr;
  return status;
}

}  // namespace velk::quarlink::internal
