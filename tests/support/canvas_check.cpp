#include "canvas_check.h"

#include <cstdio>

#include "host_double.h"

CanvasDiff CompareCanvas(int w, int h, const std::function<uint32_t(int, int)>& expected)
{
    CanvasDiff d;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const uint32_t want = expected(x, y) & 0xFFFFFF;
            const uint32_t got = host_double::Pixel(x, y);
            if (want == got)
                continue;
            if (++d.mismatches <= 5) {
                char line[96];
                std::snprintf(line, sizeof line, "(%d,%d) got %06X want %06X; ", x, y, got, want);
                d.first += line;
            }
        }
    }
    return d;
}

long CountColour(int w, int h, uint32_t colour)
{
    long n = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            n += host_double::Pixel(x, y) == colour ? 1 : 0;
    return n;
}
