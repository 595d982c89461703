#include "lcd/lcd.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

int CanvasWidth = 0;
int CanvasHeight = 0;

C_Lcd gLcd;

namespace {

// Shift-JIS name of the Japanese gothic face.
const char kGothicFace[] = "\x82\x6C\x82\x72\x81\x40\x83\x53\x83\x56\x83\x62\x83\x4E";

struct FontSpec {
    int height;
    int width;
    int charset;
    const char* face;
};

const FontSpec kCreatedFonts[9] = {
    {14, 0, 0, "arial"},  {16, 0, 0, "arial"},       {18, 0, 0, "arial"},
    {21, 7, 0, "arial"},  {22, 8, 0, "arial"},       {28, 10, 0, "arial"},
    {35, 15, 0, "arial"}, {16, 0, 128, kGothicFace}, {12, 0, 128, kGothicFace},
};

} // namespace

C_Lcd::C_Lcd()
{
    textColorIndex = 255;
    for (int i = 0; i < 5; ++i)
        fonts[i] = PlatStockFont(i);
    for (int i = 0; i < 9; ++i) {
        const FontSpec& f = kCreatedFonts[i];
        fonts[5 + i] = PlatCreateFont(f.height, f.width, 700, f.charset, f.face);
    }
}

C_Lcd::~C_Lcd()
{
    for (PlatFont f : fonts)
        PlatDeleteFont(f);
}

bool C_Lcd::SetUpCanvas()
{
    bits = PlatCanvasCreate(CanvasWidth, CanvasHeight);
    return bits != nullptr;
}

void C_Lcd::ReleaseCanvas()
{
    if (!bits)
        return;
    bits = nullptr;
    changedX0_ = changedY0_ = changedX1_ = changedY1_ = 0;
    PlatCanvasRelease();
}

// The callers have clipped: (x, y) is the start pixel, the area runs columns / rows
// pixels in the direction of colStep / rowStep (+1 or -1), all inside the canvas.
void C_Lcd::Paint(int x, int y, int columns, int rows, int colStep, int rowStep, uint32_t pixel)
{
    if (!bits || columns <= 0 || rows <= 0)
        return;
    const int left = colStep > 0 ? x : x - columns + 1;
    const int top = rowStep > 0 ? y : y - rows + 1;
    MarkChanged(left, top, static_cast<long long>(left) + columns,
                static_cast<long long>(top) + rows);
    for (int r = 0; r < rows; ++r) {
        uint32_t* row = bits + static_cast<size_t>(top + r) * CanvasWidth + left;
        // Where wchar_t is a 32-bit word, the C library's wmemset stores it with the widest
        // vector stores the machine has: several times what std::fill compiles to.
        if constexpr (sizeof(wchar_t) == sizeof(uint32_t))
            std::wmemset(reinterpret_cast<wchar_t*>(row), static_cast<wchar_t>(pixel),
                         static_cast<size_t>(columns));
        else
            std::fill(row, row + columns, pixel);
    }
}

// Sizes are worked out in 64 bits: callers may pass any int, and x + width must not wrap.
void C_Lcd::FillRect(int x, int y, int width, int height, int colour)
{
    const long long W = CanvasWidth, H = CanvasHeight;
    if (x < 0 || y < 0 || W <= 0 || H <= 0)
        return;
    if (x >= W)
        x = static_cast<int>(W - 1);
    if (y >= H)
        y = static_cast<int>(H - 1);
    long long w = width, h = height;
    if (w == 0 || h == 0)
        return;
    if (w > 0) {
        if (x + w >= W)
            w = W - x;
    } else if (x + w < 0) {
        w = -static_cast<long long>(x);
    }
    if (h > 0) {
        if (y + h > H)
            h = H - y;
    } else if (y + h < 0) {
        h = -static_cast<long long>(y);
    }
    Paint(x, y, static_cast<int>(w < 0 ? -w : w), static_cast<int>(h < 0 ? -h : h), w > 0 ? 1 : -1,
          h > 0 ? 1 : -1, Palette[colour & 0xFF]);
}

void C_Lcd::HLine(int x, int y, int length, int thickness, int colour)
{
    const long long W = CanvasWidth, H = CanvasHeight;
    if (x < 0 || y < 0 || length < 0 || thickness < 0 || W <= 0 || H <= 0)
        return;
    if (x >= W)
        x = static_cast<int>(W - 1);
    if (y >= H)
        y = static_cast<int>(H - 1);
    long long len = length, th = thickness;
    if (x + len >= W)
        len = W - x;
    if (y + th > H)
        th = H - y;
    Paint(x, y, static_cast<int>(len), static_cast<int>(th), 1, 1, Palette[colour & 0xFF]);
}

void C_Lcd::VLine(int x, int y, int length, int thickness, int colour)
{
    const long long W = CanvasWidth, H = CanvasHeight;
    if (x < 0 || y < 0 || thickness <= 0 || W <= 0 || H <= 0)
        return;
    if (x >= W)
        x = static_cast<int>(W - 1);
    if (y >= H)
        y = static_cast<int>(H - 1);
    long long th = thickness, len = length;
    if (x + th >= W)
        th = W - x;
    if (y + len > H)
        len = H - y;
    if (y + len < 0)
        len = -static_cast<long long>(y);
    Paint(x, y, static_cast<int>(th), static_cast<int>(len < 0 ? -len : len), 1, len > 0 ? 1 : -1,
          Palette[colour & 0xFF]);
}

void C_Lcd::DrawFrame(int x, int y, int width, int height, int colour)
{
    const long long W = CanvasWidth, H = CanvasHeight;
    if (x < 0 || y < 0 || width <= 0 || height <= 0 || W <= 0 || H <= 0)
        return;
    if (x >= W)
        x = static_cast<int>(W - 1);
    if (y >= H)
        y = static_cast<int>(H - 1);
    if (x + static_cast<long long>(width) >= W)
        width = static_cast<int>(W - x);
    if (y + static_cast<long long>(height) > H)
        height = static_cast<int>(H - y);
    HLine(x, y, width, 1, colour);
    HLine(x, y + height - 1, width, 1, colour);
    VLine(x, y, height, 1, colour);
    VLine(x + width - 1, y, height, 1, colour);
}

void C_Lcd::DrawRoundFrame(int x, int y, int width, int height, int colour)
{
    // Each stroke clips itself; only the height is cut here. Extreme arguments are
    // saturated so the stroke arithmetic cannot overflow.
    auto sat = [](long long v) {
        return static_cast<int>(std::clamp<long long>(v, INT32_MIN, INT32_MAX));
    };
    long long h = height;
    if (y + h > CanvasHeight)
        h = static_cast<long long>(CanvasHeight) - y;
    const long long X = x, Y = y, w = width;
    HLine(sat(X + 1), y, sat(w - 2), 1, colour);
    HLine(sat(X + 1), sat(Y + h - 1), sat(w - 2), 1, colour);
    VLine(x, sat(Y + 1), sat(h - 2), 1, colour);
    VLine(sat(X + w - 1), sat(Y + 1), sat(h - 2), 1, colour);
}

void C_Lcd::MoveUp(int x, int y, int width, int height, int dy)
{
    const long long x0 = std::max(x, 0), y0 = std::max(y, 0);
    const long long x1 =
        std::min(static_cast<long long>(x) + width, static_cast<long long>(CanvasWidth));
    const long long y1 =
        std::min(static_cast<long long>(y) + height, static_cast<long long>(CanvasHeight));
    if (!bits || dy <= 0 || x0 >= x1 || y0 + dy >= y1)
        return;
    for (long long r = y0; r + dy < y1; ++r)
        std::memcpy(bits + r * CanvasWidth + x0, bits + (r + dy) * CanvasWidth + x0,
                    sizeof(uint32_t) * static_cast<size_t>(x1 - x0));
    MarkChanged(x0, y0, x1, y1 - dy);
}

void C_Lcd::UseFont(int slot)
{
    if (slot >= 0 && slot < 14)
        PlatSelectFont(fonts[slot]);
}

void C_Lcd::SetTextColorIndex(int colour)
{
    textColorIndex = colour;
    const uint32_t p = Palette[colour & 0xFF];
    PlatSetTextColor((p & 0xFF) << 16 | (p & 0xFF00) | (p >> 16 & 0xFF));
}

void C_Lcd::PutText(int x, int y, const char* text, int colour)
{
    if (colour != textColorIndex)
        SetTextColorIndex(colour);
    if (!bits || !text)
        return;
    const int len = static_cast<int>(std::strlen(text));
    if (len <= 0)
        return;
    PlatTextOut(x, y, text, len);
    // The glyphs' extent is the renderer's business; no cell of our fonts is larger.
    constexpr long long kMaxGlyph = 40;
    MarkChanged(x, y, x + kMaxGlyph * len, y + kMaxGlyph);
}

void C_Lcd::MarkChanged(long long x0, long long y0, long long x1, long long y1)
{
    x0 = std::max(x0, 0LL);
    y0 = std::max(y0, 0LL);
    x1 = std::min(x1, static_cast<long long>(CanvasWidth));
    y1 = std::min(y1, static_cast<long long>(CanvasHeight));
    if (x0 >= x1 || y0 >= y1)
        return;
    if (changedX0_ >= changedX1_) {
        changedX0_ = x0, changedY0_ = y0, changedX1_ = x1, changedY1_ = y1;
        return;
    }
    changedX0_ = std::min(changedX0_, x0);
    changedY0_ = std::min(changedY0_, y0);
    changedX1_ = std::max(changedX1_, x1);
    changedY1_ = std::max(changedY1_, y1);
}

bool C_Lcd::TakeChanged(int* x, int* y, int* width, int* height)
{
    if (changedX0_ >= changedX1_)
        return false;
    *x = static_cast<int>(changedX0_);
    *y = static_cast<int>(changedY0_);
    *width = static_cast<int>(changedX1_ - changedX0_);
    *height = static_cast<int>(changedY1_ - changedY0_);
    changedX0_ = changedY0_ = changedX1_ = changedY1_ = 0;
    return true;
}

int C_Lcd::DigitCount(int value)
{
    int n = 1;
    for (long long limit = 10; n < 9 && value >= limit; limit *= 10)
        ++n;
    return n;
}

void C_Lcd::PutNumber(int x, int y, int value, int max, int colour)
{
    if (value < 0) {
        PutText(x, y, "???", 255);
        return;
    }
    int v = std::max(0, std::min(value, max));
    const int n = DigitCount(max);
    char text[10];
    text[n] = '\0';
    int i = n - 1;
    do {
        text[i--] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v > 0 && i >= 0);
    while (i >= 0)
        text[i--] = ' ';
    PutText(x, y, text, colour);
}

void C_Lcd::PutNote(int x, int y, int note, int colour)
{
    static const char* const kNames[12] = {"C_", "C#", "D_", "D#", "E_", "F_",
                                           "F#", "G_", "G#", "A_", "A#", "B_"};
    static const char* const kOctaves[11] = {"-2", "-1", "0", "1", "2", "3",
                                             "4",  "5",  "6", "7", "8"};
    PutNumber(x, y, note, 999, colour);
    const int n = std::clamp(note, 0, 127);
    PutText(x + 25, y, kNames[n % 12], colour);
    PutText(x + 41, y, kOctaves[n / 12], colour);
}
