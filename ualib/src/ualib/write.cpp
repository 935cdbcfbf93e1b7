#include <velk/quarlink/client.h>

#include "client_impl.h"
#include "log.h"

namespace velk::quarlink {

using namespace tessel::fnd::defs;

WriteResult Client::Write(const WriteRequest& /*request*/) {
  UALIB_TRACE();
  WriteResult result{};
  result.code = ResultCode::NotImplemented;
  result.message = "Write is not implemented yet";
  return result;
}

}  // namespace velk::quarlink
