#include <velk/quarlink/client.h>

#include "client_impl.h"
#include "log.h"

namespace velk::quarlink {

using namespace tessel::fnd::defs;

Client::DataTypeInfo Client::ReadDataType(const Address& /*address*/) {
  UALIB_TRACE();
  return {ResultCode::NotImplemented, "ReadDataType is not implemented yet", {}};
}

}  // namespace velk::quarlink
