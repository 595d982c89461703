// C_Lcd: the off-screen canvas, its palette, clipped fills, fonts and text.
#pragma once

#include <cstdint>

#include "lcd/palette.h"
#include "platform/platform.h"

// Canvas size, fixed at start from the screen.
extern int CanvasWidth;
extern int CanvasHeight;

class C_Lcd {
  public:
    C_Lcd();
    ~C_Lcd();
    C_Lcd(const C_Lcd&) = delete;
    C_Lcd& operator=(const C_Lcd&) = delete;

    // Canvas set-up and release, run with the main window's creation and destruction.
    // Set-up answers false when no canvas could be made; nothing draws then.
    bool SetUpCanvas();
    void ReleaseCanvas();

    void FillRect(int x, int y, int width, int height, int colour);
    void HLine(int x, int y, int length, int thickness, int colour);
    void VLine(int x, int y, int length, int thickness, int colour);
    void DrawFrame(int x, int y, int width, int height, int colour);
    void DrawRoundFrame(int x, int y, int width, int height, int colour);
    // The rectangle's rows from dy down move up by dy, as a list scrolls; the bottom dy
    // rows keep what they had.
    void MoveUp(int x, int y, int width, int height, int dy);

    void UseFont(int slot);
    void SetTextColorIndex(int colour);
    void PutText(int x, int y, const char* text, int colour);
    static int DigitCount(int value);
    void PutNumber(int x, int y, int value, int max, int colour);
    void PutNote(int x, int y, int note, int colour);

    // The canvas rectangle changed since the last call, if any; then it starts afresh.
    bool TakeChanged(int* x, int* y, int* width, int* height);

    uint32_t* bits = nullptr;
    int textColorIndex = 255;
    PlatFont fonts[14] = {};

  private:
    // Stores one pixel value into a clipped area.
    void Paint(int x, int y, int columns, int rows, int colStep, int rowStep, uint32_t pixel);
    void MarkChanged(long long x0, long long y0, long long x1, long long y1);

    // Bounding box of what was drawn since the last TakeChanged (x1, y1 exclusive).
    long long changedX0_ = 0, changedY0_ = 0, changedX1_ = 0, changedY1_ = 0;
};

extern C_Lcd gLcd;
