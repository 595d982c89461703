#include "platform/linux_midi/names.h"

#include "platform/loopback.h"

namespace zm_midi {

size_t CopyDeviceName(std::string_view name, char* dest, size_t size)
{
    if (dest == nullptr || size == 0)
        return 0;
    size_t n = name.size();
    if (n > 32)
        n = 32;
    if (n > size - 1)
        n = size - 1;
    if (n < name.size()) {
        // Step back over continuation bytes to the lead byte that was cut off.
        while (n > 0 && (static_cast<unsigned char>(name[n]) & 0xC0) == 0x80)
            --n;
    }
    for (size_t i = 0; i < n; ++i)
        dest[i] = name[i];
    dest[n] = '\0';
    return n;
}

std::string TrimCutCharacter(std::string_view name)
{
    size_t end = name.size();
    // Find the lead byte of the last sequence and check that all of it is there.
    size_t lead = end;
    while (lead > 0 && end - lead < 4 &&
           (static_cast<unsigned char>(name[lead - 1]) & 0xC0) == 0x80)
        --lead;
    if (lead > 0) {
        const auto b = static_cast<unsigned char>(name[lead - 1]);
        const size_t want = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
        if (b >= 0xC0 && end - (lead - 1) < want)
            end = lead - 1;
    }
    return std::string(name.substr(0, end));
}

bool IsLoopback(const PortRef& port)
{
    if (MentionsMidiThrough(port.client) || MentionsMidiThrough(port.key) ||
        MentionsMidiThrough(port.shown))
        return true;
    for (const std::string& alias : port.aliases) {
        if (MentionsMidiThrough(alias))
            return true;
    }
    return false;
}

uint64_t PortId(const PortRef& port)
{
    uint64_t h = 1469598103934665603ull; // FNV-1a
    auto mix = [&h](unsigned char c) {
        h ^= c;
        h *= 1099511628211ull;
    };
    for (char c : port.key)
        mix(static_cast<unsigned char>(c));
    for (int i = 0; i < 8; ++i)
        mix(static_cast<unsigned char>(port.incarnation >> (8 * i)));
    return h == 0 ? 1 : h;
}

} // namespace zm_midi
