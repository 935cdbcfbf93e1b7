#include <velk/quarlink/client.h>

#include "client_impl.h"
#include "log.h"

namespace velk::quarlink {

using namespace tessel::fnd::defs;

ReadResult Client::Read(const ReadRequest& /*request*/) {
  UALIB_TRACE();
  ReadResult result{};
  result.code = ResultCode::NotImplemented;
  result.message = "Read is not implemented yet";
  return result;
}

}  // namespace velk::quarlink
