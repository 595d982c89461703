// Sequencer events built by hand, for the decoder's tests and the VM's second client.
#pragma once

#include <alsa/asoundlib.h>

inline snd_seq_event_t Control(snd_seq_event_type_t type, int channel, unsigned param, int value)
{
    snd_seq_event_t ev;
    snd_seq_ev_clear(&ev);
    ev.type = type;
    ev.data.control.channel = static_cast<unsigned char>(channel);
    ev.data.control.param = param;
    ev.data.control.value = value;
    return ev;
}
