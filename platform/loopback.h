// The kernel's "Midi Through" port echoes everything written to it back to its readers.
// Bridged into JACK or PipeWire, or listed by Wine's winmm, it keeps that name, spelt with
// blanks, hyphens or underscores in any case. A thru that reads it and writes it feeds
// itself, so every back end lists it as an output only, after the others.
#pragma once

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>
#include <vector>

inline bool MentionsMidiThrough(std::string_view text)
{
    std::string folded;
    folded.reserve(text.size());
    for (char c : text) {
        const char l = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        folded.push_back(l == '-' || l == '_' ? ' ' : l);
    }
    return folded.find("midi through") != std::string::npos;
}

// The loopback rule on a system's lists: the loopback is never an input, whatever the thru
// sends to it would return; it is the last output, so the default output is a real device.
// Both lists keep their order otherwise.
template <typename Device, typename IsLoopback>
void ApplyLoopbackRule(std::vector<Device>* inputs, std::vector<Device>* outputs,
                       IsLoopback isLoopback)
{
    inputs->erase(std::remove_if(inputs->begin(), inputs->end(), isLoopback), inputs->end());
    std::stable_partition(outputs->begin(), outputs->end(),
                          [&](const Device& d) { return !isLoopback(d); });
}
