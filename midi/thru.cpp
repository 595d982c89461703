#include "app/c_midi.h"
#include "surface/winui.h"

void C_Midi::OnMidiData(PlatMidiHandle handle, uint32_t message)
{
    message &= 0x00FFFFFF;
    // Without a status byte it is no MIDI message: forwarding it would invent one, and
    // logging it could read as an empty ring slot.
    if ((message & 0x80) == 0)
        return;

    int index = inCount;
    for (int i = 0; i < inCount; ++i) {
        if (handle != kNoMidiDevice && inHandle[i] == handle) {
            index = i;
            break;
        }
    }

    // Forward first: the thru must not wait for the log.
    SendShort(gWinUI.outSel, static_cast<int>(message & 0x0F), static_cast<int>(message & 0xF0),
              static_cast<int>(message >> 8 & 0x7F), static_cast<int>(message >> 16 & 0x7F));

    logHead = (logHead + 1) % 32;
    log[logHead] = message + (static_cast<uint32_t>(index) << 24);
    if (++logSerial > 9999)
        logSerial = 0;
    ++logWrites;
}
