// Every fill, band and frame with random arguments on canvases of many sizes: nothing is
// written outside the canvas, and the result equals a slow per-pixel model of the rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <random>

#include "host_double.h"
#include "lcd/lcd.h"

namespace {

struct Span {
    long long lo = 1, hi = 0; // inclusive; empty when lo > hi
    bool Has(long long v) const { return v >= lo && v <= hi; }
};

// Rows or columns of an extent from a start that is already on the canvas (size n):
// forward extents stop at the edge, backward ones stop at 1.
Span Extent(long long start, long long size, long long n)
{
    if (size > 0)
        return {start, std::min(start + size - 1, n - 1)};
    if (size < 0)
        return {std::max(start + size + 1, 1LL), start};
    return {};
}

struct Model {
    long long W, H;
    std::vector<bool> ink;
    Model(int w, int h) : W(w), H(h), ink(static_cast<size_t>(w) * h) {}
    void Paint(Span cols, Span rows)
    {
        for (long long y = std::max(rows.lo, 0LL); y <= std::min(rows.hi, H - 1); ++y)
            for (long long x = std::max(cols.lo, 0LL); x <= std::min(cols.hi, W - 1); ++x)
                ink[static_cast<size_t>(y * W + x)] = true;
    }
    void Fill(long long x, long long y, long long w, long long h)
    {
        if (x < 0 || y < 0)
            return;
        x = std::min(x, W - 1);
        y = std::min(y, H - 1);
        Paint(Extent(x, w, W), Extent(y, h, H));
    }
    void HLine(long long x, long long y, long long len, long long th)
    {
        if (x < 0 || y < 0 || len < 0 || th < 0)
            return;
        Fill(x, y, len, th);
    }
    void VLine(long long x, long long y, long long len, long long th)
    {
        if (x < 0 || y < 0 || th <= 0)
            return;
        Fill(x, y, th, len);
    }
    void Frame(long long x, long long y, long long w, long long h)
    {
        if (x < 0 || y < 0 || w <= 0 || h <= 0)
            return;
        x = std::min(x, W - 1);
        y = std::min(y, H - 1);
        const Span cols = Extent(x, w, W), rows = Extent(y, h, H);
        Paint(cols, {rows.lo, rows.lo});
        Paint(cols, {rows.hi, rows.hi});
        Paint({cols.lo, cols.lo}, rows);
        Paint({cols.hi, cols.hi}, rows);
    }
    void RoundFrame(long long x, long long y, long long w, long long h)
    {
        if (y + h > H)
            h = H - y;
        HLine(x + 1, y, w - 2, 1);
        HLine(x + 1, y + h - 1, w - 2, 1);
        VLine(x, y + 1, h - 2, 1);
        VLine(x + w - 1, y + 1, h - 2, 1);
    }
};

class FillProperty : public ::testing::Test {
  protected:
    std::mt19937 rng{20261207};

    int Coord(int n)
    {
        switch (rng() % 8) {
        case 0:
            return static_cast<int>(rng() % 5) - 2; // around 0
        case 1:
            return n + static_cast<int>(rng() % 5) - 2; // around the far edge
        case 2:
            return (rng() % 2) ? INT_MAX - static_cast<int>(rng() % 3)
                               : INT_MIN + static_cast<int>(rng() % 3);
        case 3:
            return static_cast<int>(rng() % 4001) - 2000;
        default:
            return static_cast<int>(rng() % static_cast<unsigned>(n + 1));
        }
    }
    int Size(int n)
    {
        switch (rng() % 6) {
        case 0:
            return static_cast<int>(rng() % 5) - 2;
        case 1:
            return (rng() % 2) ? INT_MAX : INT_MIN;
        case 2:
            return -static_cast<int>(rng() % static_cast<unsigned>(n + 3));
        default:
            return static_cast<int>(rng() % static_cast<unsigned>(n + 3));
        }
    }

    void Run(int w, int h, int cases)
    {
        ResetProgramState(w, h);
        for (int c = 0; c < cases; ++c) {
            std::fill(gLcd.bits, gLcd.bits + static_cast<size_t>(w) * h,
                      0x123456u); // in no palette entry
            Model m(w, h);
            const int op = static_cast<int>(rng() % 5);
            const int x = Coord(w), y = Coord(h), a = Size(std::max(w, h)),
                      b = Size(std::max(w, h));
            const int colour = static_cast<int>(rng());
            switch (op) {
            case 0:
                gLcd.FillRect(x, y, a, b, colour), m.Fill(x, y, a, b);
                break;
            case 1:
                gLcd.HLine(x, y, a, b, colour), m.HLine(x, y, a, b);
                break;
            case 2:
                gLcd.VLine(x, y, a, b, colour), m.VLine(x, y, a, b);
                break;
            case 3:
                gLcd.DrawFrame(x, y, a, b, colour), m.Frame(x, y, a, b);
                break;
            default:
                gLcd.DrawRoundFrame(x, y, a, b, colour), m.RoundFrame(x, y, a, b);
                break;
            }
            ASSERT_TRUE(host_double::GuardsIntact()) << "op " << op << " (" << x << "," << y << ","
                                                     << a << "," << b << ") on " << w << "x" << h;
            const uint32_t ink = Palette[colour & 0xFF];
            for (int py = 0; py < h; ++py) {
                for (int px = 0; px < w; ++px) {
                    const uint32_t want = m.ink[static_cast<size_t>(py) * w + px] ? ink : 0x123456u;
                    ASSERT_EQ(gLcd.bits[static_cast<size_t>(py) * w + px], want)
                        << "op " << op << " (" << x << "," << y << "," << a << "," << b << ") on "
                        << w << "x" << h << " at " << px << "," << py;
                }
            }
        }
    }
};

TEST_F(FillProperty, SmallCanvasesAgreeWithTheModel)
{
    for (int i = 0; i < 120; ++i)
        Run(1 + static_cast<int>(rng() % 40), 1 + static_cast<int>(rng() % 40), 40);
}

TEST_F(FillProperty, LargeCanvasesAgreeWithTheModel)
{
    Run(1920, 1080, 12);
    Run(1, 1080, 40);
    Run(1920, 1, 40);
}

} // namespace
