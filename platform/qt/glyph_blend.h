// Internal to the glyph cache: Qt's raster blend of a solid pen over an RGB32 pixel, for
// one coverage value, reproduced byte for byte (see glyph_cache.cpp).
#pragma once

#include <cstdint>

namespace zm_qt {

// Each byte of px times a / 255, rounded as Qt's raster engine rounds it.
inline uint32_t Scale(uint32_t px, uint32_t a)
{
    uint32_t rb = (px & 0x00FF00FFu) * a;
    rb = (rb + ((rb >> 8) & 0x00FF00FFu) + 0x00800080u) >> 8;
    uint32_t ag = ((px >> 8) & 0x00FF00FFu) * a;
    ag = ag + ((ag >> 8) & 0x00FF00FFu) + 0x00800080u;
    return (rb & 0x00FF00FFu) | (ag & 0xFF00FF00u);
}

// Texts mostly lie on a plain ground, so most blends repeat: per colour and ground, the
// result of every coverage, worked out once (direct-mapped, 64 pairs, 66 KiB).
struct Blends {
    uint32_t src = 0;
    uint32_t ground = 0;
    bool used = false;
    uint32_t out[256] = {};
};

class Blender {
  public:
    Blender(Blends* table, uint32_t src, uint32_t ground) : src_(src), ground_(ground)
    {
        Blends* b = &table[((src * 0x9E3779B1u) ^ (ground * 0x85EBCA77u)) >> 26];
        if (!b->used || b->src != src || b->ground != ground) {
            b->used = true;
            b->src = src;
            b->ground = ground;
            for (uint32_t c = 0; c < 256; ++c) {
                b->out[c] = c == 255 ? src : Scale(src, c) + Scale(ground, 255 - c);
            }
        }
        out_ = b->out;
    }
    void operator()(uint32_t* px, uint32_t c)
    {
        const uint32_t d = *px;
        *px = d == ground_ ? out_[c] : (c == 255 ? src_ : Scale(src_, c) + Scale(d, 255 - c));
    }

  private:
    uint32_t src_;
    uint32_t ground_;
    const uint32_t* out_;
};

} // namespace zm_qt
