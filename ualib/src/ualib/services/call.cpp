// Call: one method on the server, with the caller's inputs, returning its outputs.
#include <open62541/client_highlevel.h>
#include <velk/quarlink/client.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "logging/log.h"
#include "services/requests.h"
#include "session/await.h"
#include "session/client_impl.h"
#include "session/link.h"
#include "session/type_cache.h"
#include "values/convert.h"
#include "values/status.h"
#include "values/timing.h"
#include "values/ua_types.h"

namespace velk::quarlink {

using namespace tessel::fnd::defs;

namespace {

using Clock = std::chrono::steady_clock;

// A value as read or returned: good quality, no time stamp, no properties.
DataValue GoodValue(Value value) {
  DataValue out;
  out.value = std::move(value);
  return out;
}

CallResult Failure(ResultCode code, std::string message) { return {code, std::move(message), {}}; }

CallResult RejectCall(const Address& method) {
  UALIB_LOG(internal::kWarning, "Call rejected: not connected (method={})", method);
  return Failure(ResultCode::NotConnected, "not connected");
}

// The object the method is called on: the "object" option when present (even when
// empty), otherwise the one derived from the method's address.
std::optional<std::string> ObjectTextFor(const CallRequest& request) {
  if (const std::string* object = request.options.properties.Get("object")) return *object;
  return internal::MethodObjectText(request.method);
}

// The caller's timeout for one call, or nothing for the session's own: 0 and negative
// mean that, and above 32 bits cannot be expressed.
std::optional<UA_UInt32> CallTimeout(std::chrono::milliseconds requested) {
  if (requested.count() < 1 || requested.count() > std::numeric_limits<UA_UInt32>::max()) return std::nullopt;
  return static_cast<UA_UInt32>(requested.count());
}

struct MethodOutcome {
  UA_StatusCode status = UA_STATUSCODE_GOOD;
  internal::UaArray outputs;
};

// One method call, its output arguments moved out as the stack's UA_Client_call
// hands them over.
UA_StatusCode CallOne(const internal::ClientLock& lock, const UA_NodeId& object, const UA_NodeId& method,
                      const internal::UaArray& inputs, UA_UInt32 timeout, size_t& outputCount, UA_Variant*& outputs) {
  UA_CallMethodRequest item;
  UA_CallMethodRequest_init(&item);
  item.methodId = method;
  item.objectId = object;
  item.inputArguments = const_cast<UA_Variant*>(inputs.As<UA_Variant>());  // a view, never cleared
  item.inputArgumentsSize = inputs.size();
  UA_CallRequest request;
  UA_CallRequest_init(&request);
  request.methodsToCall = &item;
  request.methodsToCallSize = 1;
  internal::UaOwned<UA_CallResponse> response;
  UA_StatusCode status = internal::AwaitService(lock, &request, UA_TYPES[UA_TYPES_CALLREQUEST], response.get(),
                                                UA_TYPES[UA_TYPES_CALLRESPONSE], timeout);
  if (status == UA_STATUSCODE_GOOD)
    status = response->resultsSize == 1 ? response->results[0].statusCode : UA_STATUSCODE_BADUNEXPECTEDERROR;
  if (UA_StatusCode_isBad(status)) return status;
  outputs = std::exchange(response->results[0].outputArguments, nullptr);
  outputCount = std::exchange(response->results[0].outputArgumentsSize, 0);
  return status;
}

MethodOutcome InvokeMethod(const internal::ClientLock& lock, const CallRequest& request, const UA_NodeId& object,
                           const UA_NodeId& method, const internal::UaArray& inputs) {
  UA_UInt32 timeout = internal::kClientTimeout;
  if (const std::optional<UA_UInt32> requested = CallTimeout(request.options.timeout)) {
    timeout = *requested;
    UALIB_LOG(internal::kDebug, "Call: bumping client timeout {}ms -> {}ms",
              UA_Client_getConfig(lock.client())->timeout, *requested);
  }
  size_t outputCount = 0;
  UA_Variant* outputs = nullptr;
  const auto start = Clock::now();
  // A method may legitimately run longer than the timeout the caller gave it; that
  // alone says nothing about the link.
  const UA_StatusCode status = internal::SendIfLinkUp(
      lock, [&] { return CallOne(lock, object, method, inputs, timeout, outputCount, outputs); },
      internal::OnTimeout::Accept);
  UALIB_LOG(internal::kDebug, "Call timing [{}]: sdk_call={:.1f}ms", request.method,
            internal::ToMillis(Clock::now() - start));
  return {status, internal::UaArray(outputs, outputCount, &UA_TYPES[UA_TYPES_VARIANT])};
}

// Parses the object and method texts into the given ids, or returns the refusal.
std::optional<CallResult> ParseTargets(const CallRequest& request, UA_NodeId& object, UA_NodeId& method) {
  const std::optional<std::string> objectText = ObjectTextFor(request);
  if (!objectText) {
    return Failure(ResultCode::InvalidArgument, "could not derive object NodeId from method '" + request.method +
                                                    "'; pass it explicitly via options.properties[\"object\"]");
  }
  if (!internal::ParseNodeId(*objectText, object))
    return Failure(ResultCode::InvalidArgument, "could not parse object NodeId: " + *objectText);
  if (!internal::ParseNodeId(request.method, method))
    return Failure(ResultCode::InvalidArgument, "could not parse method NodeId: " + request.method);
  return std::nullopt;
}

// Converts every input into the array, or returns the refusal naming the first
// input that has no stack counterpart.
std::optional<CallResult> ConvertInputs(const internal::ClientLock& lock, const UA_NodeId& method,
                                        const std::vector<CallArgument>& inputs, internal::Arrays arrays,
                                        internal::UaArray& array) {
  if (!array.allocated()) {
    auto failure = internal::StatusFromUa(UA_STATUSCODE_BADOUTOFMEMORY);
    return Failure(failure.code, std::move(failure.message));
  }
  if (arrays == internal::Arrays::Typed) {
    const auto types = internal::TypesOf(lock).ArgumentTypes(lock, method, "InputArguments");
    for (size_t i = 0; i < inputs.size(); ++i) {
      Result refusal;
      const internal::TypeInfo untyped;
      if (!internal::HostToTyped(inputs[i].value, i < types.size() ? *types[i] : untyped, array.As<UA_Variant>()[i],
                                 refusal))
        return Failure(refusal.code, "input argument " + std::to_string(i) + ": " + refusal.message);
    }
    return std::nullopt;
  }
  for (size_t i = 0; i < inputs.size(); ++i) {
    if (!internal::ValueToUaVariant(inputs[i].value, array.As<UA_Variant>()[i], arrays))
      return Failure(ResultCode::TypeMismatch,
                     "input argument " + std::to_string(i) + " has an unsupported Value type");
  }
  return std::nullopt;
}

CallResult TypedOutputsOf(const internal::ClientLock& lock, const UA_NodeId& method, const internal::UaArray& outputs) {
  const auto types = internal::TypesOf(lock).ArgumentTypes(lock, method, "OutputArguments");
  CallResult result;
  result.outputs.reserve(outputs.size());
  for (size_t i = 0; i < outputs.size(); ++i) {
    DataValue value;
    const UA_StatusCode status =
        internal::TypedToHost(outputs.As<UA_Variant>()[i], i < types.size() ? types[i].get() : nullptr, value);
    if (status != UA_STATUSCODE_GOOD) {  // this output alone is refused
      auto failure = internal::StatusFromUa(status);
      value = {};
      value.code = failure.code;
      value.message = std::move(failure.message);
    }
    result.outputs.push_back({std::string(), std::move(value)});
  }
  return result;
}

CallResult OutputsOf(const internal::UaArray& outputs, internal::Arrays arrays) {
  CallResult result;
  result.outputs.reserve(outputs.size());
  for (size_t i = 0; i < outputs.size(); ++i) {
    // Output arguments are positional; the server's argument names are not fetched.
    result.outputs.push_back(
        {std::string(), GoodValue(internal::UaVariantToValue(outputs.As<UA_Variant>()[i], arrays))});
  }
  return result;
}

CallResult CallOnSession(const internal::ClientLock& lock, const CallRequest& request, internal::Arrays arrays) {
  // The only cancellation point: a call that has started is not interrupted.
  if (internal::IsCancelled(request.options)) {
    UALIB_LOG(internal::kDebug, "Call cancelled before start (method={})", request.method);
    return Failure(ResultCode::Cancelled, "cancelled before start");
  }
  UALIB_LOG(internal::kDebug, "Call: method={} n_input_args={}", request.method, request.inputs.size());

  internal::UaNodeId object;
  internal::UaNodeId method;
  if (auto refusal = ParseTargets(request, *object, *method)) return std::move(*refusal);
  auto inputs = internal::UaArray::New(request.inputs.size(), &UA_TYPES[UA_TYPES_VARIANT]);
  if (auto refusal = ConvertInputs(lock, *method, request.inputs, arrays, inputs)) return std::move(*refusal);

  const MethodOutcome outcome = InvokeMethod(lock, request, *object, *method, inputs);
  if (outcome.status != UA_STATUSCODE_GOOD) {
    auto failure = internal::StatusFromUa(outcome.status);
    UALIB_LOG(internal::kDebug, "Call '{}' failed: {}", request.method, failure.message);
    return Failure(failure.code, std::move(failure.message));
  }
  if (arrays == internal::Arrays::Typed) return TypedOutputsOf(lock, *method, outcome.outputs);
  return OutputsOf(outcome.outputs, arrays);
}

}  // namespace

CallResult Client::Call(const CallRequest& request) {
  UALIB_TRACE();
  return internal::RunOnSession(
      *impl, [&] { return RejectCall(request.method); },
      [&](internal::ClientLock& lock) { return CallOnSession(lock, request, impl->arrays); });
}

}  // namespace velk::quarlink
