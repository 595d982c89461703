// The canvas and the fonts on GDI: the canvas is the DIB the window paints from, the stock
// fonts are the system's. What every back end must do is in contract_test.cpp, run here with
// the hooks at the end of this file.
#include <gtest/gtest.h>

#include <memory>

#include "platform/win32/win32.h"

#include "contract.h"
#include "test_wndproc.h"

namespace {

TEST(Win32Canvas, IsTheTopDownBitmapThePaintingCopiesFrom)
{
    constexpr int kW = 200, kH = 100;
    uint32_t* bits = PlatCanvasCreate(kW, kH);
    ASSERT_NE(bits, nullptr);
    bits[1 * kW + 3] = 0x00FF8000; // row 1 from the top, column 3
    HDC dc = nullptr;
    int w = 0, h = 0;
    ASSERT_TRUE(zm_win32::CanvasSource(&dc, &w, &h));
    EXPECT_EQ(w, kW);
    EXPECT_EQ(h, kH);
    EXPECT_EQ(GetPixel(dc, 3, 1), RGB(0xFF, 0x80, 0x00));
    EXPECT_EQ(GetPixel(dc, 3, kH - 2), RGB(0, 0, 0));
    EXPECT_EQ(PlatCanvasCreate(0, 10), nullptr);
    EXPECT_FALSE(zm_win32::CanvasSource(&dc, &w, &h));
}

TEST(Win32Fonts, StockSlotsAreTheSystems)
{
    EXPECT_EQ(PlatStockFont(PSTOCK_ANSI_FIXED),
              reinterpret_cast<PlatFont>(GetStockObject(ANSI_FIXED_FONT)));
    EXPECT_EQ(PlatStockFont(PSTOCK_ANSI_VAR),
              reinterpret_cast<PlatFont>(GetStockObject(ANSI_VAR_FONT)));
    EXPECT_EQ(PlatStockFont(PSTOCK_DEVICE_DEFAULT),
              reinterpret_cast<PlatFont>(GetStockObject(DEVICE_DEFAULT_FONT)));
    EXPECT_EQ(PlatStockFont(PSTOCK_DEFAULT_GUI),
              reinterpret_cast<PlatFont>(GetStockObject(DEFAULT_GUI_FONT)));
    EXPECT_EQ(PlatStockFont(PSTOCK_SYSTEM),
              reinterpret_cast<PlatFont>(GetStockObject(SYSTEM_FONT)));
}

std::unique_ptr<test_wndproc::Window> gContractWindow;

} // namespace

bool contract::OpenWindow()
{
    gContractWindow = std::make_unique<test_wndproc::Window>();
    return gContractWindow->created;
}

void contract::CloseWindow()
{
    gContractWindow.reset();
}

bool contract::CanvasIntact()
{
    return true; // a DIB section: GDI itself never writes outside it
}
