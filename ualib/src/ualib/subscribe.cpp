#include <velk/quarlink/client.h>

#include "client_impl.h"
#include "log.h"
#include "subscriptions.h"

namespace velk::quarlink {

using namespace tessel::fnd::defs;

SubscribeResult Client::Subscribe(const std::vector<std::string>& /*addresses*/, SubscriptionHandler /*handler*/,
                                  const SubscribeOpts& /*opts*/) {
  UALIB_TRACE();
  return {ResultCode::NotImplemented, "Subscribe is not implemented yet", {}};
}

UnsubscribeResult Client::Unsubscribe(const std::vector<std::string>& /*addresses*/) {
  UALIB_TRACE();
  return {ResultCode::NotImplemented, "Unsubscribe is not implemented yet", {}};
}

Result Client::UnsubscribeAll() {
  UALIB_TRACE();
  return {ResultCode::NotImplemented, "UnsubscribeAll is not implemented yet"};
}

namespace internal {

void ResumeSubscriptions(OpcuaConnection& /*conn*/) {}
void StopDispatchWorker(OpcuaConnection& /*conn*/) {}

}  // namespace internal
}  // namespace velk::quarlink
