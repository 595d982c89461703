// Canvas and text renderer of the Win32 back end (contract: platform/platform.h).
//
// The canvas is a 32-bit top-down DIB section selected into a memory device context: the
// logic writes the pixel words itself, GDI draws the glyphs into the same memory, and the
// window is painted from the context with BitBlt. The renderer's font and colour outlive a
// canvas, so they are kept here and given to every new context.
#include "platform/platform.h"
#include "platform/win32/win32.h"

namespace {

struct Canvas {
    HBITMAP bitmap = nullptr;
    HBITMAP oldBitmap = nullptr;
    HDC dc = nullptr;
    int width = 0;
    int height = 0;
    PlatFont font = 0;
    HFONT oldFont = nullptr;
    COLORREF textColor = RGB(0, 0, 0); // a new device context starts with black text
};

Canvas& TheCanvas()
{
    static Canvas canvas;
    return canvas;
}

} // namespace

namespace zm_win32 {

bool CanvasSource(HDC* dc, int* width, int* height)
{
    const Canvas& c = TheCanvas();
    if (c.dc == nullptr) {
        return false;
    }
    *dc = c.dc;
    *width = c.width;
    *height = c.height;
    return true;
}

} // namespace zm_win32

// ---------------------------------------------------------------------------------------
// Contract: canvas.

uint32_t* PlatCanvasCreate(int width, int height)
{
    PlatCanvasRelease();
    if (width <= 0 || height <= 0) {
        return nullptr;
    }
    BITMAPINFO bmi{};
    bmi.bmiHeader.biSize = sizeof bmi.bmiHeader;
    bmi.bmiHeader.biWidth = width;
    bmi.bmiHeader.biHeight = -height; // top-down: the first row in memory is the top one
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    bmi.bmiHeader.biCompression = BI_RGB;

    HWND window = zm_win32::MainWindow();
    HDC windowDC = GetDC(window);
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(windowDC, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC dc = bitmap != nullptr ? CreateCompatibleDC(windowDC) : nullptr;
    ReleaseDC(window, windowDC);
    if (bitmap == nullptr || bits == nullptr || dc == nullptr) {
        if (dc != nullptr) {
            DeleteDC(dc);
        }
        if (bitmap != nullptr) {
            DeleteObject(bitmap);
        }
        return nullptr;
    }
    Canvas& c = TheCanvas();
    c.bitmap = bitmap;
    c.dc = dc;
    c.width = width;
    c.height = height;
    c.oldBitmap = static_cast<HBITMAP>(SelectObject(dc, bitmap));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, c.textColor);
    c.oldFont = c.font != 0 ? static_cast<HFONT>(SelectObject(dc, reinterpret_cast<HFONT>(c.font)))
                            : nullptr;
    return static_cast<uint32_t*>(bits);
}

void PlatCanvasRelease()
{
    Canvas& c = TheCanvas();
    if (c.dc != nullptr) {
        // Hand the context its own objects back, so that the bitmap and the font are free.
        if (c.oldFont != nullptr) {
            SelectObject(c.dc, c.oldFont);
        }
        SelectObject(c.dc, c.oldBitmap);
        DeleteDC(c.dc);
    }
    if (c.bitmap != nullptr) {
        DeleteObject(c.bitmap);
    }
    c.dc = nullptr;
    c.bitmap = nullptr;
    c.oldBitmap = nullptr;
    c.oldFont = nullptr;
    c.width = 0;
    c.height = 0;
}

// ---------------------------------------------------------------------------------------
// Contract: fonts and text.

PlatFont PlatStockFont(int which)
{
    static constexpr int kStock[] = {ANSI_FIXED_FONT, ANSI_VAR_FONT, DEVICE_DEFAULT_FONT,
                                     DEFAULT_GUI_FONT, SYSTEM_FONT};
    if (which < PSTOCK_ANSI_FIXED || which > PSTOCK_SYSTEM) {
        return 0;
    }
    return reinterpret_cast<PlatFont>(GetStockObject(kStock[which]));
}

PlatFont PlatCreateFont(int height, int width, int weight, int charset, const char* face)
{
    return reinterpret_cast<PlatFont>(CreateFontA(height, width, 0, 0, weight, FALSE, FALSE, FALSE,
                                                  static_cast<DWORD>(charset), 0, 0, 0, 0, face));
}

void PlatDeleteFont(PlatFont font)
{
    if (font == 0) {
        return;
    }
    Canvas& c = TheCanvas();
    if (c.font == font) {
        c.font = 0; // never hand a deleted font to a context made later
        if (c.dc != nullptr && c.oldFont != nullptr) {
            SelectObject(c.dc, c.oldFont);
            c.oldFont = nullptr;
        }
    }
    DeleteObject(reinterpret_cast<HFONT>(font)); // does nothing for a stock font
}

void PlatSelectFont(PlatFont font)
{
    if (font == 0) {
        return;
    }
    Canvas& c = TheCanvas();
    c.font = font;
    if (c.dc != nullptr) {
        HFONT previous = static_cast<HFONT>(SelectObject(c.dc, reinterpret_cast<HFONT>(font)));
        if (c.oldFont == nullptr) {
            c.oldFont = previous;
        }
    }
}

void PlatSetTextColor(uint32_t colorRef)
{
    Canvas& c = TheCanvas();
    c.textColor = colorRef & 0x00FFFFFF;
    if (c.dc != nullptr) {
        SetTextColor(c.dc, c.textColor);
    }
}

void PlatTextOut(int x, int y, const char* text, int len)
{
    Canvas& c = TheCanvas();
    if (c.dc == nullptr || text == nullptr || len <= 0) {
        return;
    }
    TextOutA(c.dc, x, y, text, len);
    // GDI may batch the call; the logic writes the same pixels right after.
    GdiFlush();
}
