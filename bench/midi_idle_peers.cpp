// Three idle JACK clients, each with one MIDI input and one MIDI output: the peers the
// program opens while its idle cost under JACK is measured. Runs until it is signalled.
#include <jack/jack.h>
#include <jack/midiport.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

// Every JACK program with ports has one: without it, jackd leaves the clients after these
// in the graph unrun (the program would be measured never woken by its period).
int Process(jack_nframes_t frames, void* arg)
{
    jack_midi_clear_buffer(jack_port_get_buffer(static_cast<jack_port_t*>(arg), frames));
    return 0;
}

} // namespace

int main()
{
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
        jack_set_process_callback(clients[i], Process, out);
        jack_activate(clients[i]);
    }
    int sig = 0;
    sigwait(&set, &sig);
    for (jack_client_t* c : clients)
        jack_client_close(c);
    return 0;
}
