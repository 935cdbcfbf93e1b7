#include <velk/quarlink/client.h>

#include "client_impl.h"
#include "log.h"

namespace velk::quarlink {

using namespace tessel::fnd::defs;

CallResult Client::Call(const CallRequest& /*request*/) {
  UALIB_TRACE();
  CallResult result{};
  result.code = ResultCode::NotImplemented;
  result.message = "Call is not implemented yet";
  return result;
}

}  // namespace velk::quarlink
