#include "platform/alsa/codec.h"

#include "platform/linux_midi/short_msg.h"

namespace zm_alsa {
namespace {

using zm_midi::PackBytes;
using zm_midi::UnpackShort;

uint8_t Clamp7(int v)
{
    return static_cast<uint8_t>(v < 0 ? 0 : v > 127 ? 127 : v);
}
int Clamp14(int v)
{
    return v < 0 ? 0 : v > 16383 ? 16383 : v;
}
uint8_t Msb(int v14)
{
    return static_cast<uint8_t>(v14 >> 7);
}
uint8_t Lsb(int v14)
{
    return static_cast<uint8_t>(v14 & 0x7F);
}

int One(uint32_t out[], uint32_t word)
{
    out[0] = word;
    return 1;
}

// The one-byte system messages that have an event type of their own, both ways.
struct OneByte {
    snd_seq_event_type_t type;
    uint8_t status;
};
constexpr OneByte kOneByte[] = {
    {SND_SEQ_EVENT_TUNE_REQUEST, 0xF6}, {SND_SEQ_EVENT_CLOCK, 0xF8}, {SND_SEQ_EVENT_START, 0xFA},
    {SND_SEQ_EVENT_CONTINUE, 0xFB},     {SND_SEQ_EVENT_STOP, 0xFC},  {SND_SEQ_EVENT_SENSING, 0xFE},
    {SND_SEQ_EVENT_RESET, 0xFF},
};

// Four controllers: parameter number MSB/LSB, then data entry MSB/LSB.
int Parameter(uint8_t cc, uint8_t paramMsb, uint8_t paramLsb, const snd_seq_ev_ctrl_t& c,
              uint32_t out[])
{
    if (c.param > 16383)
        return 0;
    const int param = static_cast<int>(c.param);
    const int value = Clamp14(c.value);
    out[0] = PackBytes(cc, paramMsb, Msb(param));
    out[1] = PackBytes(cc, paramLsb, Lsb(param));
    out[2] = PackBytes(cc, 6, Msb(value));
    out[3] = PackBytes(cc, 38, Lsb(value));
    return 4;
}

} // namespace

int DecodeEvent(const snd_seq_event_t& ev, uint32_t out[kMaxDecoded])
{
    const snd_seq_ev_note_t& n = ev.data.note;
    const snd_seq_ev_ctrl_t& c = ev.data.control;
    switch (ev.type) {
    case SND_SEQ_EVENT_NOTEON:
    case SND_SEQ_EVENT_NOTEOFF:
    case SND_SEQ_EVENT_KEYPRESS: {
        if (n.channel > 15 || n.note > 127)
            return 0;
        const uint8_t kind = ev.type == SND_SEQ_EVENT_NOTEON    ? 0x90
                             : ev.type == SND_SEQ_EVENT_NOTEOFF ? 0x80
                                                                : 0xA0;
        return One(out, PackBytes(kind | n.channel, n.note, Clamp7(n.velocity)));
    }
    default:
        break;
    }

    switch (ev.type) {
    case SND_SEQ_EVENT_CONTROLLER:
    case SND_SEQ_EVENT_PGMCHANGE:
    case SND_SEQ_EVENT_CHANPRESS:
    case SND_SEQ_EVENT_PITCHBEND:
    case SND_SEQ_EVENT_CONTROL14:
    case SND_SEQ_EVENT_NONREGPARAM:
    case SND_SEQ_EVENT_REGPARAM:
        if (c.channel > 15)
            return 0;
        break;
    default:
        break;
    }
    const uint8_t cc = static_cast<uint8_t>(0xB0 | (c.channel & 0x0F));
    switch (ev.type) {
    case SND_SEQ_EVENT_CONTROLLER:
        if (c.param > 127)
            return 0;
        return One(out, PackBytes(cc, static_cast<uint8_t>(c.param), Clamp7(c.value)));
    case SND_SEQ_EVENT_PGMCHANGE:
        if (c.value < 0 || c.value > 127)
            return 0;
        return One(out, PackBytes(0xC0 | c.channel, static_cast<uint8_t>(c.value)));
    case SND_SEQ_EVENT_CHANPRESS:
        return One(out, PackBytes(0xD0 | c.channel, Clamp7(c.value)));
    case SND_SEQ_EVENT_PITCHBEND: {
        const int v = Clamp14(c.value + 8192);
        return One(out, PackBytes(0xE0 | c.channel, Lsb(v), Msb(v)));
    }
    case SND_SEQ_EVENT_CONTROL14: {
        if (c.param > 127)
            return 0;
        const auto param = static_cast<uint8_t>(c.param);
        // Only controllers 0..31 have a fine partner (n + 32); the rest are 7-bit.
        if (param >= 32)
            return One(out, PackBytes(cc, param, Clamp7(c.value)));
        const int v = Clamp14(c.value);
        out[0] = PackBytes(cc, param, Msb(v));
        out[1] = PackBytes(cc, static_cast<uint8_t>(param + 32), Lsb(v));
        return 2;
    }
    case SND_SEQ_EVENT_NONREGPARAM:
        return Parameter(cc, 99, 98, c, out);
    case SND_SEQ_EVENT_REGPARAM:
        return Parameter(cc, 101, 100, c, out);
    case SND_SEQ_EVENT_SONGPOS: {
        const int v = Clamp14(c.value);
        return One(out, PackBytes(0xF2, Lsb(v), Msb(v)));
    }
    case SND_SEQ_EVENT_SONGSEL:
        if (c.value < 0 || c.value > 127)
            return 0;
        return One(out, PackBytes(0xF3, static_cast<uint8_t>(c.value)));
    case SND_SEQ_EVENT_QFRAME:
        if (c.value < 0 || c.value > 127)
            return 0;
        return One(out, PackBytes(0xF1, static_cast<uint8_t>(c.value)));
    default:
        break;
    }
    for (const OneByte& one : kOneByte) {
        if (one.type == ev.type)
            return One(out, one.status);
    }
    return 0; // SysEx, notifications, queue control, and whatever else carries no short message
}

bool EncodeEvent(uint32_t word, snd_seq_event_t* ev, uint8_t raw[1])
{
    uint8_t b[3] = {};
    if (UnpackShort(word, b) == 0)
        return false;
    const int ch = b[0] & 0x0F;
    switch (b[0] & 0xF0) {
    case 0x80:
        snd_seq_ev_set_noteoff(ev, ch, b[1], b[2]);
        return true;
    case 0x90:
        snd_seq_ev_set_noteon(ev, ch, b[1], b[2]);
        return true;
    case 0xA0:
        snd_seq_ev_set_keypress(ev, ch, b[1], b[2]);
        return true;
    case 0xB0:
        snd_seq_ev_set_controller(ev, ch, b[1], b[2]);
        return true;
    case 0xC0:
        snd_seq_ev_set_pgmchange(ev, ch, b[1]);
        return true;
    case 0xD0:
        snd_seq_ev_set_chanpress(ev, ch, b[1]);
        return true;
    case 0xE0:
        snd_seq_ev_set_pitchbend(ev, ch, (b[2] << 7 | b[1]) - 8192);
        return true;
    default:
        break;
    }
    auto fixed = [ev](snd_seq_event_type_t type, int value) {
        ev->type = type;
        snd_seq_ev_set_fixed(ev);
        ev->data.control.value = value;
        return true;
    };
    switch (b[0]) {
    case 0xF1:
        return fixed(SND_SEQ_EVENT_QFRAME, b[1]);
    case 0xF2:
        return fixed(SND_SEQ_EVENT_SONGPOS, b[2] << 7 | b[1]);
    case 0xF3:
        return fixed(SND_SEQ_EVENT_SONGSEL, b[1]);
    default:
        break;
    }
    for (const OneByte& one : kOneByte) {
        if (one.status == b[0])
            return fixed(one.type, 0);
    }
    // MIDI leaves these undefined: they travel as their raw byte.
    raw[0] = b[0];
    snd_seq_ev_set_sysex(ev, 1, raw);
    return true;
}

} // namespace zm_alsa
