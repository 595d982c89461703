// Setting up: our client, what it lets in, and its two private ports.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "platform/alsa/alsa_system.h"
#include "platform/alsa/codec.h"
#include "platform/linux_midi/backends.h"

namespace zm_alsa {

AlsaSystem::AlsaSystem(snd_seq_t* seq, int inPort, int outPort, const zm_midi::Shared& shared)
    : seq_(seq), self_(snd_seq_client_id(seq)), inPort_(inPort), outPort_(outPort), shared_(shared)
{
    pollfd p{};
    if (snd_seq_poll_descriptors(seq, &p, 1, POLLIN) == 1)
        fd_ = p.fd;
}

} // namespace zm_alsa

namespace zm_midi {
namespace {

// The largest event the sequencer carries (its data stays under 64 KiB): an input buffer
// this big takes any event, and with room to spare our whole kernel FIFO at once.
constexpr size_t kInputBufferBytes = sizeof(snd_seq_event_t) + 0x10000;

} // namespace

std::unique_ptr<System> OpenAlsaSystem(const Shared& shared, std::string* why)
{
    // Checked first so that alsa-lib has nothing to complain about on machines without it.
    if (access("/dev/snd/seq", R_OK | W_OK) != 0) {
        *why =
            std::string(
                "no JACK server answers and the ALSA sequencer is not available (/dev/snd/seq: ") +
            std::strerror(errno) + ")";
        return nullptr;
    }
    snd_seq_t* seq = nullptr;
    int err = snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK);
    if (err < 0) {
        *why = std::string("no JACK server answers and the ALSA sequencer could not be opened (") +
               snd_strerror(err) + ")";
        return nullptr;
    }
    snd_seq_set_client_name(seq, "ZYN_MOUSE");
    // Only what we decode, and the announcements, reach our FIFO: a bank dump never fills
    // it, and every event we read has a fixed size.
    snd_seq_client_info_t* info;
    snd_seq_client_info_alloca(&info);
    err = snd_seq_get_client_info(seq, info);
    if (err >= 0) {
        for (snd_seq_event_type_t type : zm_alsa::kDecodedTypes)
            snd_seq_client_info_event_filter_add(info, type);
        for (int type : {SND_SEQ_EVENT_CLIENT_START, SND_SEQ_EVENT_CLIENT_EXIT,
                         SND_SEQ_EVENT_PORT_START, SND_SEQ_EVENT_PORT_EXIT}) {
            snd_seq_client_info_event_filter_add(info, type);
        }
        err = snd_seq_set_client_info(seq, info);
    }
    if (err >= 0)
        err = snd_seq_set_input_buffer_size(seq, kInputBufferBytes);
    if (err < 0) {
        *why = std::string("the ALSA sequencer refused our client's settings (") +
               snd_strerror(err) + ")";
        snd_seq_close(seq);
        return nullptr;
    }
    // A deeper FIFO rides out longer stalls of the service thread before the kernel drops.
    if (snd_seq_set_client_pool_input(seq, 2000) < 0)
        snd_seq_set_client_pool_input(seq, 1000);
    constexpr unsigned kPrivate = SND_SEQ_PORT_CAP_NO_EXPORT;
    const int in = snd_seq_create_simple_port(
        seq, "in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE | kPrivate,
        SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    const int out = snd_seq_create_simple_port(
        seq, "out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ | kPrivate,
        SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    err = in < 0 ? in : out < 0 ? out : 0;
    if (err == 0)
        err = snd_seq_connect_from(seq, in, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE);
    if (err < 0) {
        *why = std::string("the ALSA sequencer refused our ports (") + snd_strerror(err) + ")";
        snd_seq_close(seq);
        return nullptr;
    }
    return std::make_unique<zm_alsa::AlsaSystem>(seq, in, out, shared);
}

} // namespace zm_midi
