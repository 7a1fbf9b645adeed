// The part of a new file's unique name that does not depend on the system.
#pragma once

#include <cstdint>
#include <string>

namespace quillon {

// Twelve characters of [a-z0-9] that differ at every call, for the name of a
// file created exclusively beside another, so that a name planted in advance
// is unlikely to be met. uiClock and uiProcessId are what the system offers
// that differs between moments and processes; a call counter and the stack's
// place are mixed in, and splitmix64 spreads every input bit over the suffix.
std::string UniqueNameSuffix(uint64_t uiClock, uint64_t uiProcessId);

} // namespace quillon
