#include <velk/quarlink/client.h>

#include "client_impl.h"
#include "log.h"

namespace velk::quarlink {

using namespace tessel::fnd::defs;

BrowseResult Client::Browse(const BrowseRequest& /*request*/) {
  UALIB_TRACE();
  BrowseResult result{};
  result.code = ResultCode::NotImplemented;
  result.message = "Browse is not implemented yet";
  return result;
}

}  // namespace velk::quarlink
