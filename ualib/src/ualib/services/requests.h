// Small pieces every request operation shares.
#pragma once

#include <tessel/fnd/defs/comm_adapter.h>

namespace velk::quarlink::internal {

// A request is cancelled when its token is present, holds a flag, and the flag is set.
inline bool IsCancelled(const tessel::fnd::defs::RequestOptions& options) {
  return options.cancel && options.cancel->flag && options.cancel->flag->load();
}

}  // namespace velk::quarlink::internal
