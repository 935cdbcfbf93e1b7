// Reading the string properties a host configures the adapter with.
#pragma once

#include <tessel/fnd/defs/comm_adapter.h>

#include <string_view>

namespace velk::quarlink::internal {

// False only for "", "0", "false", "no", "off" and "none", in any letter case; an
// absent key keeps the fallback.
bool ParseBoolOption(const tessel::fnd::defs::PropertyMap& properties, std::string_view key, bool fallback);

}  // namespace velk::quarlink::internal
