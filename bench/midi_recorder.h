// A MIDI back end for the benchmarks that need no MIDI system: one input and one output
// device; every word sent is kept with the moment it was handed over.
#pragma once

#include <cstdint>

#include "bench/bench_util.h"
#include "platform/platform.h"

namespace zm_bench::recorder {

struct Word {
    uint32_t word;
    Clock::time_point at;
};

// Words kept since the last Clear (at most Capacity; later ones are counted, not kept).
size_t Count();
size_t Capacity();
const Word& At(size_t i);
void Clear();

PlatMidiHandle InputHandle();

} // namespace zm_bench::recorder
