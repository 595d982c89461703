// The MIDI systems the front can choose from. The ALSA opener runs on the service thread,
// the JACK one on the probe thread (libjack may wait for good); each answers quickly when
// its system is not there, and sets why when it returns nothing.
#pragma once

#include <memory>
#include <string>

#include "platform/linux_midi/system.h"

namespace zm_midi {

std::unique_ptr<System> OpenJackSystem(const Shared& shared, std::string* why);
std::unique_ptr<System> OpenAlsaSystem(const Shared& shared, std::string* why);

// Waits until the service and probe threads have done everything asked of them so far.
// For tests that open libjack clients of their own: libjack must not open one while ours
// of a dead server is still being closed.
bool WaitServiceIdle(int timeoutMs);
// UI thread: waits until every connection the opens so far asked for is made. For tests
// whose peers play at once.
bool WaitConnected(int timeoutMs);

} // namespace zm_midi
