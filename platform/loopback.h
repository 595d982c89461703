// The kernel's "Midi Through" port echoes everything written to it back to its readers.
// Bridged into JACK or PipeWire, or listed by Wine's winmm, it keeps that name, spelt with
// blanks, hyphens or underscores in any case. A thru that reads it and writes it feeds
// itself, so every back end lists it as an output only, after the others.
#pragma once

#include <cctype>
#include <string>
#include <string_view>

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
