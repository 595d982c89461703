// What the tick thread last saw, for a window timer that wants to fire in step with it.
#pragma once

#include <cstdint>

namespace zm_posix {

// The platform time (PlatTimeMs) the tick thread read just before its latest callback;
// false while no tick thread runs.
bool LastTick(uint32_t* ms);

} // namespace zm_posix
