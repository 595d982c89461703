// Byte-level rules of MIDI short messages, shared by the JACK and ALSA back ends.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zm_midi {

// Bytes a short message with this status byte takes on the wire; 0 when it is no short
// message (a data byte, or the SysEx frame bytes 0xF0 / 0xF7).
constexpr int ShortMsgLength(uint8_t status)
{
    if (status < 0x80 || status == 0xF0 || status == 0xF7)
        return 0;
    if (status < 0xC0)
        return 3;
    if (status < 0xE0)
        return 2;
    if (status < 0xF0)
        return 3;
    if (status == 0xF1 || status == 0xF3)
        return 2;
    if (status == 0xF2)
        return 3;
    return 1;
}

// Unpacks a word into its wire bytes; 0 when it must not be sent (no short message, or a
// data byte with the top bit set, which would read as a status byte downstream).
inline int UnpackShort(uint32_t word, uint8_t out[3])
{
    const int n = ShortMsgLength(static_cast<uint8_t>(word));
    for (int i = 0; i < n; ++i) {
        out[i] = static_cast<uint8_t>(word >> (8 * i));
        if (i > 0 && out[i] >= 0x80)
            return 0;
    }
    return n;
}

constexpr uint32_t PackBytes(uint8_t status, uint8_t d1 = 0, uint8_t d2 = 0)
{
    return status | static_cast<uint32_t>(d1) << 8 | static_cast<uint32_t>(d2) << 16;
}

// Splits one received event into short messages and calls emit(word) for each. Running
// status inside the event is honoured; real-time bytes may stand anywhere; SysEx, stray
// data bytes and a message cut short at the end are skipped, never completed, since that
// would invent data.
// An event that is exactly one message goes up as it is, data bytes included: the thru
// and the monitor cut those to 7 bits themselves.
template <typename Emit> void SplitShortMessages(const uint8_t* bytes, size_t size, Emit&& emit)
{
    if (size > 0 && size <= 3 && ShortMsgLength(bytes[0]) == static_cast<int>(size)) {
        emit(PackBytes(bytes[0], size > 1 ? bytes[1] : 0, size > 2 ? bytes[2] : 0));
        return;
    }
    uint8_t status = 0; // running status; 0 = none
    uint8_t data[2] = {};
    int need = 0, have = 0;
    bool inSysEx = false;
    for (size_t i = 0; i < size; ++i) {
        const uint8_t b = bytes[i];
        if (b >= 0xF8) {
            emit(static_cast<uint32_t>(b));
            continue;
        }
        if (b >= 0x80) {
            inSysEx = b == 0xF0;
            status = (b == 0xF0 || b == 0xF7) ? 0 : b;
            need = status ? ShortMsgLength(status) - 1 : 0;
            have = 0;
            if (status && need == 0) { // tune request and the undefined one-byte messages
                emit(static_cast<uint32_t>(status));
                status = 0;
            }
            continue;
        }
        if (inSysEx || status == 0)
            continue;
        data[have++] = b;
        if (have < need)
            continue;
        emit(PackBytes(status, data[0], need > 1 ? data[1] : 0));
        have = 0;
        // System common messages end running status; channel messages keep it.
        if (status >= 0xF0)
            status = 0;
    }
}

} // namespace zm_midi
