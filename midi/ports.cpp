#include <cstring>

#include "app/action.h"
#include "app/c_midi.h"

namespace {

constexpr int kMaxInputs = 4;
constexpr int kMaxOutputs = 5;

int Capped(int n, int cap)
{
    return n < 0 ? 0 : n > cap ? cap : n;
}

// Writes exactly the first 32 bytes of a slot: the name, then zeros. Bytes 32..39 stay
// zero forever, so every slot reads as a string of at most 32 characters.
void WriteName(char* slot, const char* name)
{
    const size_t len = strnlen(name, kNameBytes);
    std::memcpy(slot, name, len);
    std::memset(slot + len, 0, kNameBytes - len);
}

// True when a device at one of the first count indices is not the one opened there: a
// synth restarted between two checks leaves the count as it was.
bool Replaced(uint64_t (*idOf)(int), const uint64_t* ids, int count)
{
    for (int i = 0; i < count; ++i) {
        if (idOf(i) != ids[i])
            return true;
    }
    return false;
}

} // namespace

void C_Midi::OpenInputs()
{
    const int n = Capped(PlatMidiInCount(), kMaxInputs);
    inCount = n;
    for (int i = 0; i < n; ++i) {
        inId[i] = PlatMidiInId(i);
        char name[kNameBytes + 1] = {};
        if (!PlatMidiInName(i, name, sizeof name))
            name[0] = '\0'; // better no name than another device's old one
        PlatMidiHandle handle = kNoMidiDevice;
        const bool opened = PlatMidiInOpen(&handle, i) == 0 && handle != kNoMidiDevice;
        inHandle[i] = opened ? handle : kNoMidiDevice;
        // A slot that does not run shows no name, not the one of the device it had before.
        WriteName(inName[i], opened && PlatMidiInStart(handle) == 0 ? name : "");
    }
}

void C_Midi::OpenOutputs()
{
    const int n = Capped(PlatMidiOutCount(), kMaxOutputs);
    outCount = n;
    for (int i = 0; i < n; ++i) {
        outId[i] = PlatMidiOutId(i);
        char name[kNameBytes + 1] = {};
        if (!PlatMidiOutName(i, name, sizeof name))
            name[0] = '\0';
        PlatMidiHandle handle = kNoMidiDevice;
        const bool opened = PlatMidiOutOpen(&handle, i) == 0 && handle != kNoMidiDevice;
        outHandle[i] = opened ? handle : kNoMidiDevice;
        WriteName(outName[i], opened ? name : "");
    }
}

// Only slots that hold an open device are closed, and each is emptied at once, so no
// handle is ever closed twice or used after its close.
void C_Midi::CheckDevices()
{
    PlatMidiRescan();
    // When the MIDI system itself was lost and came back, every handle is dead even if
    // the counts look the same: reopen both sides.
    const uint32_t incarnation = PlatMidiIncarnation();
    const bool systemChanged = incarnation != midiIncarnation;
    midiIncarnation = incarnation;

    if (Capped(PlatMidiInCount(), kMaxInputs) != inCount || systemChanged ||
        Replaced(PlatMidiInId, inId, inCount)) {
        for (int i = 0; i < inCount; ++i) {
            if (inHandle[i] == kNoMidiDevice)
                continue;
            PlatMidiInStop(inHandle[i]);
            PlatMidiInClose(inHandle[i]);
            inHandle[i] = kNoMidiDevice;
        }
        RequestRedraw(REDRAW_FULL);
        OpenInputs();
    }
    if (Capped(PlatMidiOutCount(), kMaxOutputs) != outCount || systemChanged ||
        Replaced(PlatMidiOutId, outId, outCount)) {
        for (int i = 0; i < outCount; ++i) {
            if (outHandle[i] == kNoMidiDevice)
                continue;
            PlatMidiOutClose(outHandle[i]);
            outHandle[i] = kNoMidiDevice;
        }
        RequestRedraw(REDRAW_FULL);
        OpenOutputs();
    }
}
