// The fixed 256-colour palette: every colour in the program is an index into it.
#pragma once

#include <array>
#include <cstdint>

using PaletteIndex = uint8_t;

namespace detail {

constexpr std::array<uint32_t, 256> MakePalette()
{
    // The 6x6x6 cube, brightest level first, red slowest; black (its last colour) is
    // entry 255 instead, and three entries near the start hold colours of their own.
    constexpr uint32_t cube[6] = {0xFF, 0xCC, 0x99, 0x66, 0x33, 0x00};
    // The multiples of 0x11 that are not cube levels, for four ramps.
    constexpr uint32_t ramp[10] = {0xEE, 0xDD, 0xBB, 0xAA, 0x88, 0x77, 0x55, 0x44, 0x22, 0x11};
    std::array<uint32_t, 256> p{};
    for (int i = 0; i < 215; ++i)
        p[i] = cube[i / 36] << 16 | cube[(i / 6) % 6] << 8 | cube[i % 6];
    p[6] = 0x77736A;
    p[7] = 0xEEE7D4;
    p[8] = 0xFFCCFF;
    for (int i = 0; i < 10; ++i) {
        p[215 + i] = ramp[i] << 16;
        p[225 + i] = ramp[i] << 8;
        p[235 + i] = ramp[i];
        p[245 + i] = ramp[i] << 16 | ramp[i] << 8 | ramp[i];
    }
    p[255] = 0x000000;
    return p;
}

} // namespace detail

inline constexpr std::array<uint32_t, 256> Palette = detail::MakePalette();
