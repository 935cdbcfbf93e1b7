// Reading the string properties a host configures the adapter with.
#pragma once

#include <tessel/fnd/defs/comm_adapter.h>

#include <cstdint>
#include <string_view>

namespace velk::quarlink::internal {

// False only for "", "0", "false", "no", "off" and "none", in any letter case; an
// absent key keeps the fallback.
bool ParseBoolOption(const tessel::fnd::defs::PropertyMap& properties, std::string_view key, bool fallback);

// As std::stoul in base 10, kept to the low 32 bits; no leading digits or out of
// range keeps the fallback.
uint32_t ParseNumberOption(const tessel::fnd::defs::PropertyMap& properties, std::string_view key, uint32_t fallback);

}  // namespace velk::quarlink::internal
