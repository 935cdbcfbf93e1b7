// Client object: construction, destruction, configuration, capabilities.
#include <velk/quarlink/client.h>

#include "logging/log.h"
#include "session/client_impl.h"
#include "values/options.h"

namespace velk::quarlink {

using namespace tessel::fnd::defs;

Client::Client() : impl(std::make_unique<Impl>()) { UALIB_TRACE(); }

Client::~Client() {
  UALIB_TRACE();
  if (impl->session) {
    // Not a Disconnect: no close request, no log line, nothing unsubscribed. The
    // session lives on for the other Clients, or dies here with the last share.
    impl->session->DetachObserver(impl->observer);
    impl->attachment->store(false);
    impl->session.reset();
  }
}

Result Client::Configure(const ConnectionOptions& options) {
  UALIB_TRACE();
  if (impl->session) {
    UALIB_LOG(internal::kWarning, "Configure rejected: client is currently connected (endpoint={})",
              impl->options.endpoint);
    return {ResultCode::InvalidState, "Configure called while Connected — Disconnect first."};
  }
  const char* auth = options.properties.Get("username") ? "username" : "anonymous";
  UALIB_LOG(internal::kDebug, "Configure: endpoint={} auth={}", options.endpoint, auth);
  impl->options.endpoint = options.endpoint;
  impl->options.properties = options.properties;
  impl->arrays = internal::ParseBoolOption(options.properties, "array_values", false) ? internal::Arrays::Convert
                                                                                      : internal::Arrays::Empty;
  // Every other type the host can hold; implies the arrays.
  if (internal::ParseBoolOption(options.properties, "typed_values", false)) impl->arrays = internal::Arrays::Typed;
  impl->configured = true;
  return {};
}

Capabilities Client::GetCapabilities() const {
  UALIB_TRACE();
  Capabilities caps{};
  caps.supports_discovery = true;
  caps.supports_browse = true;
  caps.supports_read = true;
  caps.supports_write = true;
  caps.supports_call = true;
  caps.supports_subscribe = true;
  caps.supports_unsubscribe = true;
  caps.supports_connection_state = true;
  caps.supports_cancellation = true;
  return caps;
}

}  // namespace velk::quarlink
