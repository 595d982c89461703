// Where a test may hold a thread up, to show that what the others do meanwhile stays safe
// (AddressSanitizer tells otherwise). Null in the program: a relaxed load each.
#pragma once

#include <atomic>

namespace zm_midi::hold {

// Connection thread: a closed output's queue has just gone off the air.
inline std::atomic<void (*)()> afterOffAir{nullptr};
// Real-time thread: it has just taken the queue it writes this period.
inline std::atomic<void (*)()> afterTaking{nullptr};

} // namespace zm_midi::hold
