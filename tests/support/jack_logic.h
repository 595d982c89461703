// The UI thread's part in tests that run the logic on a real JACK server: received
// messages go through the window procedure, device checks run until the counts settle.
#pragma once

#include <chrono>
#include <thread>

#include "app/c_midi.h"
#include "platform/linux_midi/backends.h"
#include "platform/platform.h"

namespace zm_test {

inline void DeliverToWindow(PlatMidiHandle handle, uint32_t message)
{
    MainWndProc(PM_MIM_DATA, handle, static_cast<intptr_t>(message));
}

// Device checks until the counts are as expected (the server may need a moment).
inline bool CheckDevicesUntil(int ins, int outs, int timeoutMs = 5000)
{
    using namespace std::chrono;
    const auto end = steady_clock::now() + milliseconds(timeoutMs);
    for (;;) {
        gMidi.CheckDevices();
        if (gMidi.inCount == ins && gMidi.outCount == outs)
            return zm_midi::WaitConnected(timeoutMs);
        if (steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(milliseconds(20));
    }
}

} // namespace zm_test
