// Pretty names from JACK's metadata database, which a crashed client can leave locked: the
// probe thread reads them and hands them over whole; List takes them without waiting. The
// server threads tell of changes, so that a name fetched before one is not shown after it.
#include <jack/metadata.h>

#include "platform/jack/jack_system.h"

namespace zm_midi {

// Every port's pretty name: about a millisecond each, and for good if the database was
// left locked.
void JackSystem::FetchNames()
{
    if (!Alive())
        return;
    const uint64_t at = changes_.load(std::memory_order_acquire);
    std::map<jack_uuid_t, std::string> fresh;
    const char** names = jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE, 0);
    for (const char** n = names; n != nullptr && *n != nullptr; ++n) {
        jack_port_t* port = jack_port_by_name(client_, *n);
        if (port == nullptr || jack_port_is_mine(client_, port))
            continue;
        const jack_uuid_t uuid = jack_port_uuid(port);
        fresh.emplace(uuid, PrettyName(uuid));
    }
    if (names != nullptr)
        jack_free(names);
    std::lock_guard lock(namesMutex_);
    fetched_ = std::move(fresh);
    fetchedAt_ = at;
    fetchedFresh_ = true;
}

std::string JackSystem::PrettyName(jack_uuid_t uuid)
{
    std::string shown;
    char* value = nullptr;
    char* type = nullptr;
    if (jack_get_property(uuid, JACK_METADATA_PRETTY_NAME, &value, &type) == 0 &&
        value != nullptr) {
        shown = value;
    }
    if (value != nullptr)
        jack_free(value);
    if (type != nullptr)
        jack_free(type);
    return shown;
}

// Server threads: only counts and a wake; the probe thread reads the names of new ports
// before the next device check.
void JackSystem::OnRegistration(jack_port_id_t id, int, void* arg)
{
    static_cast<JackSystem*>(arg)->Changed(jack_port_uuid_generate(id));
}

void JackSystem::OnProperty(jack_uuid_t subject, const char*, jack_property_change_t, void* arg)
{
    static_cast<JackSystem*>(arg)->Changed(subject);
}

// A port registered again gets its old uuid back, without the old pretty name: what was
// fetched for that uuid before the change must not be shown.
void JackSystem::Changed(jack_uuid_t uuid)
{
    const uint64_t at = changes_.fetch_add(1, std::memory_order_acq_rel) + 1;
    changedAt_[NameBucketOf(uuid)].store(at, std::memory_order_release);
    shared_.askNames();
}

size_t JackSystem::NameBucketOf(jack_uuid_t uuid)
{
    return static_cast<size_t>(uuid ^ uuid >> 32) % kNameBuckets;
}

} // namespace zm_midi
