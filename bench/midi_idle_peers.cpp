// Three JACK clients, each with one MIDI input and one MIDI output: the peers the program
// opens while its cost under JACK is measured. Idle, or with an argument N the first one
// plays a MIDI clock of N timing clocks a second (48: 120 bpm), as a DAW left running does;
// with a second argument, only that many, then it is silent.
// Runs until it is signalled.
#include <jack/jack.h>
#include <jack/midiport.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

double clockPerFrame = 0; // timing clocks a frame; 0: idle
double clockDue = 0;      // frames until the next one, of the first peer
long clocksLeft = -1;     // then silence; -1: no end

// Every JACK program with ports has one: without it, jackd leaves the clients after these
// in the graph unrun (the program would be measured never woken by its period).
int Process(jack_nframes_t frames, void* arg)
{
    jack_midi_clear_buffer(jack_port_get_buffer(static_cast<jack_port_t*>(arg), frames));
    return 0;
}

int ProcessClock(jack_nframes_t frames, void* arg)
{
    auto* port = static_cast<jack_port_t*>(arg);
    void* buffer = jack_port_get_buffer(port, frames);
    jack_midi_clear_buffer(buffer);
    if (clocksLeft > 0 && jack_port_connected(port) == 0)
        return 0; // a counted clock starts once someone listens
    for (; clockDue < frames && clocksLeft != 0; clockDue += 1 / clockPerFrame) {
        const jack_midi_data_t tick = 0xF8;
        jack_midi_event_write(buffer, static_cast<jack_nframes_t>(clockDue), &tick, 1);
        if (clocksLeft > 0)
            --clocksLeft;
    }
    clockDue -= frames;
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const double clockPerSecond = argc > 1 ? std::atof(argv[1]) : 0;
    clocksLeft = argc > 2 ? std::atol(argv[2]) : -1;
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    jack_client_t* clients[3] = {};
    for (int i = 0; i < 3; ++i) {
        const std::string name = "idlepeer" + std::to_string(i + 1);
        clients[i] = jack_client_open(name.c_str(), JackNoStartServer, nullptr);
        if (clients[i] == nullptr) {
            std::fprintf(stderr, "midi_idle_peers: no JACK server\n");
            return 1;
        }
        jack_port_t* out =
            jack_port_register(clients[i], "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        jack_port_register(clients[i], "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        if (i == 0 && clockPerSecond > 0) {
            clockPerFrame = clockPerSecond / jack_get_sample_rate(clients[i]);
            jack_set_process_callback(clients[i], ProcessClock, out);
        } else {
            jack_set_process_callback(clients[i], Process, out);
        }
        jack_activate(clients[i]);
    }
    int sig = 0;
    sigwait(&set, &sig);
    for (jack_client_t* c : clients)
        jack_client_close(c);
    return 0;
}
