#include "host_double.h"

#include <map>
#include <new>

#include "app/c_midi.h"
#include "app/clock.h"
#include "app/window.h"
#include "lcd/lcd.h"
#include "surface/winui.h"

namespace host_double {
namespace {

constexpr int kGuard = 64;
constexpr uint32_t kGuardWord = 0xDEADBEEF;

struct State {
    std::vector<Text> texts;
    int colorSets = 0;
    uint32_t color = 0;
    int font = -1;
    std::vector<int> fontSelections;
    std::vector<uint32_t> canvas; // guard, W*H pixels, guard
    int w = 0, h = 0;
    bool failNextCanvas = false;
    PlatScrollInfo bars[2];
    int presents = 0;
    int paints = 0;
    PaintCall lastPaint{};
    PaintCall lastPresent{};
    int capture = 0;
    std::map<uint32_t, uint32_t> timers;
    bool tick = false;
    bool quit = false;
    int quitCode = 0;
    bool drops = false;
    std::map<uint32_t, int> defCalls;
    int screenW = 800, screenH = 600;
    bool otherInstance = false;
    std::vector<std::string> boxes;
    bool created = false;
    std::string caption;
    uint32_t time = 0;
};

State& S()
{
    static State s;
    return s;
}

// Font handles are slot + 1; stock and created fonts are made in slot order.
int& FontsMade()
{
    static int n = 0;
    return n;
}

} // namespace

const std::vector<Text>& Texts()
{
    return S().texts;
}
void ClearTexts()
{
    S().texts.clear();
}
int ColorSets()
{
    return S().colorSets;
}
int SelectedFont()
{
    return S().font;
}
const std::vector<int>& FontSelections()
{
    return S().fontSelections;
}

uint32_t Pixel(int x, int y)
{
    return S().canvas.at(kGuard + static_cast<size_t>(y) * S().w + x) & 0xFFFFFF;
}

bool GuardsIntact()
{
    const auto& c = S().canvas;
    if (c.empty())
        return true;
    for (int i = 0; i < kGuard; ++i)
        if (c[i] != kGuardWord || c[c.size() - 1 - i] != kGuardWord)
            return false;
    return true;
}

bool CanvasExists()
{
    return !S().canvas.empty();
}
void FailNextCanvas()
{
    S().failNextCanvas = true;
}
PlatScrollInfo& Bar(int bar)
{
    return S().bars[bar];
}
int Presents()
{
    return S().presents;
}
int Paints()
{
    return S().paints;
}
const PaintCall& LastPaint()
{
    return S().lastPaint;
}
const PaintCall& LastPresent()
{
    return S().lastPresent;
}
int CaptureDepth()
{
    return S().capture;
}
bool TimerRunning(uint32_t id)
{
    return S().timers.count(id) != 0;
}
uint32_t TimerInterval(uint32_t id)
{
    return S().timers.count(id) ? S().timers[id] : 0;
}
bool TickRunning()
{
    return S().tick;
}
bool DropsAccepted()
{
    return S().drops;
}
int DefWindowProcCalls(uint32_t message)
{
    return S().defCalls[message];
}
void SetScreen(int width, int height)
{
    S().screenW = width, S().screenH = height;
}
void SetOtherInstance(bool running)
{
    S().otherInstance = running;
}
const std::vector<std::string>& MessageBoxes()
{
    return S().boxes;
}
bool WindowCreated()
{
    return S().created;
}
std::string Caption()
{
    return S().caption;
}
void SetTime(uint32_t ms)
{
    S().time = ms;
}

bool Quit(int* code)
{
    if (code)
        *code = S().quitCode;
    return S().quit;
}

void Reset()
{
    S() = State{};
}

} // namespace host_double

using namespace host_double;

void ResetProgramState(int w, int h)
{
    gLcd.ReleaseCanvas();
    gLcd.~C_Lcd();
    host_double::Reset();
    new (&gLcd) C_Lcd();
    gMidi.~C_Midi();
    new (&gMidi) C_Midi();
    gWinUI = C_WinUI{};
    gClock = ClockState{};
    GestureRefX = GestureRefY = 0;
    ClientWidth = ClientHeight = ScrollX = ScrollY = MouseX = MouseY = 0;
    WheelStep = 1;
    CanvasWidth = w;
    CanvasHeight = h;
    gLcd.SetUpCanvas();
}

intptr_t PlatDefWindowProc(uint32_t message, uintptr_t, intptr_t)
{
    ++S().defCalls[message];
    if (message == PM_CLOSE)
        MainWndProc(PM_DESTROY, 0, 0);
    return 0;
}

void PlatGetScrollInfo(int bar, PlatScrollInfo* info)
{
    *info = S().bars[bar];
}

void PlatSetScrollInfo(int bar, uint32_t mask, const PlatScrollInfo& info, bool)
{
    PlatScrollInfo& b = S().bars[bar];
    if (mask & PSIF_RANGE)
        b.min = info.min, b.max = info.max;
    if (mask & PSIF_PAGE)
        b.page = info.page;
    if (mask & PSIF_POS)
        b.pos = info.pos;
    const int top = b.page ? b.max - static_cast<int>(b.page) + 1 : b.max;
    if (b.pos > top)
        b.pos = top;
    if (b.pos < b.min)
        b.pos = b.min;
}

void PlatSetCapture()
{
    ++S().capture;
}
void PlatReleaseCapture()
{
    S().capture = 0;
}
void PlatSetArrowCursor() {}
void PlatAcceptFiles(bool accept)
{
    S().drops = accept;
}
void PlatSetTimer(uint32_t id, uint32_t ms)
{
    S().timers[id] = ms;
}
void PlatKillTimer(uint32_t id)
{
    S().timers.erase(id);
}
void PlatPresent()
{
    ++S().presents;
}
void PlatPresentRect(int x, int y, int w, int h)
{
    ++S().presents;
    S().lastPresent = {x, y, w, h};
}

void PlatPaintFromCanvas(int x, int y, int w, int h)
{
    ++S().paints;
    S().lastPaint = {x, y, w, h};
}

void PlatPostQuit(int code)
{
    S().quit = true;
    S().quitCode = code;
}

void PlatScreenSize(int* width, int* height)
{
    *width = S().screenW;
    *height = S().screenH;
}

bool PlatTakeInstanceLock(const char*)
{
    return !S().otherInstance;
}
void PlatMessageBox(const char* text, const char* caption)
{
    S().boxes.push_back(std::string(caption) + ": " + text);
}

bool PlatCreateMainWindow(const char*, const char* caption, int, int, int, int)
{
    S().caption = caption;
    if (MainWndProc(PM_CREATE, 0, 0) != 0)
        return false;
    S().created = true;
    return true;
}

void PlatShowWindow() {}
int PlatRunMessageLoop()
{
    return S().quitCode;
}

uint32_t* PlatCanvasCreate(int width, int height)
{
    if (S().failNextCanvas || width <= 0 || height <= 0) {
        S().failNextCanvas = false;
        return nullptr;
    }
    S().w = width;
    S().h = height;
    S().canvas.assign(static_cast<size_t>(width) * height + 2 * kGuard, 0);
    std::fill(S().canvas.begin(), S().canvas.begin() + kGuard, kGuardWord);
    std::fill(S().canvas.end() - kGuard, S().canvas.end(), kGuardWord);
    return S().canvas.data() + kGuard;
}

void PlatCanvasRelease()
{
    S().canvas.clear();
    S().w = S().h = 0;
}

PlatFont PlatStockFont(int)
{
    return static_cast<PlatFont>(++FontsMade() % 14 == 0 ? 14 : FontsMade() % 14);
}
PlatFont PlatCreateFont(int, int, int, int, const char*)
{
    return PlatStockFont(0);
}
void PlatDeleteFont(PlatFont) {}

void PlatSelectFont(PlatFont font)
{
    if (font == 0)
        return;
    S().font = static_cast<int>(font) - 1;
    S().fontSelections.push_back(S().font);
}

void PlatSetTextColor(uint32_t colorRef)
{
    ++S().colorSets;
    S().color = colorRef;
}

void PlatTextOut(int x, int y, const char* text, int len)
{
    S().texts.push_back({S().font, S().color, x, y, std::string(text, static_cast<size_t>(len))});
}

uint32_t PlatTimeMs()
{
    return S().time;
}
bool PlatStartTick(void (*)())
{
    S().tick = true;
    return true;
}
void PlatStopTick()
{
    S().tick = false;
}
