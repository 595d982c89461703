// The real main window on the offscreen platform, with the real logic and the MIDI double:
// QTest presses keys, clicks, drags and turns the wheel on the real widgets; the tests check
// the messages the logic received, the MIDI words it sent and what the window shows.
#include <QtCore/QCoreApplication>
#include <QtCore/QEventLoop>
#include <QtCore/QMimeData>
#include <QtCore/QTimer>
#include <QtCore/QUrl>
#include <QtGui/QDropEvent>
#include <QtGui/QIcon>
#include <QtGui/QImage>
#include <QtGui/QWheelEvent>
#include <QtTest/QTest>
#include <QtWidgets/QApplication>
#include <QtWidgets/QScrollBar>
#include <QtWidgets/QStyle>
#include <QtWidgets/QStyleOptionSlider>
#include <QtWidgets/QWidget>

#include <algorithm>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "app/c_midi.h"
#include "app/window.h"
#include "lcd/lcd.h"
#include "midi_double.h"
#include "platform/platform.h"
#include "platform/qt/canvas.h"
#include "platform/qt/host.h"
#include "surface/winui.h"

namespace {

struct Seen {
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
    int32_t scrollX; // the logic's offsets right after the message was handled
    int32_t scrollY;
};

std::vector<Seen>& Log()
{
    static std::vector<Seen> log;
    return log;
}

void Observe(uint32_t message, uintptr_t wParam, intptr_t lParam, intptr_t)
{
    Log().push_back({message, wParam, lParam, ScrollX, ScrollY});
}

std::vector<Seen> Messages(uint32_t message)
{
    std::vector<Seen> out;
    for (const Seen& s : Log()) {
        if (s.message == message) {
            out.push_back(s);
        }
    }
    return out;
}

std::vector<uint32_t> Strike(int note)
{
    return {0x007F0090u | static_cast<uint32_t>(note) << 8,
            0x00000090u | static_cast<uint32_t>(note) << 8};
}

std::vector<uint32_t> Sent()
{
    return midi_double::SentTo(0);
}

class MainWindow : public testing::Test {
  protected:
    void SetUp() override
    {
        midi_double::Reset();
        midi_double::SetOutputs({{"Synth A"}, {"Synth B"}});
        midi_double::SetInputs({{"Keys In"}});
        Log().clear();
        zm_qt::SetMessageObserver(Observe);
        PlatScreenSize(&CanvasWidth, &CanvasHeight);
        ASSERT_EQ(CanvasWidth, 800); // the offscreen platform's screen
        ASSERT_EQ(CanvasHeight, 600);
        ASSERT_TRUE(PlatCreateMainWindow("ZYN_MOUSE", "ZYN_MOUSE Ver1.02", 0, 0, CanvasWidth,
                                         CanvasHeight));
        PlatShowWindow();
        window_ = zm_qt::MainWindow();
        client_ = zm_qt::ClientArea();
        ASSERT_NE(window_, nullptr);
        ASSERT_NE(client_, nullptr);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window_));
        QTest::qWait(30); // a few UI cycles: the panel is drawn
        midi_double::ClearSent();
        Log().clear();
    }

    void TearDown() override
    {
        EXPECT_TRUE(zm_qt::CanvasGuardsIntact());
        if (QWidget* w = zm_qt::MainWindow()) {
            w->close();
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        zm_qt::SetMessageObserver(nullptr);
    }

    QScrollBar* Bar(int bar) const { return zm_qt::ScrollBar(bar); }

    QRect BarPart(QScrollBar* bar, QStyle::SubControl part) const
    {
        QStyleOptionSlider opt;
        opt.initFrom(bar);
        opt.subControls = QStyle::SC_All;
        opt.orientation = bar->orientation();
        opt.minimum = bar->minimum();
        opt.maximum = bar->maximum();
        opt.sliderPosition = bar->sliderPosition();
        opt.sliderValue = bar->value();
        opt.singleStep = bar->singleStep();
        opt.pageStep = bar->pageStep();
        opt.upsideDown = bar->invertedAppearance();
        if (bar->orientation() == Qt::Horizontal) {
            opt.state |= QStyle::State_Horizontal;
        }
        return bar->style()->subControlRect(QStyle::CC_ScrollBar, &opt, part, bar);
    }

    void SendWheel(QWidget* target, QPoint pos, QPoint angle, Qt::MouseButtons buttons)
    {
        QWheelEvent e(QPointF(pos), QPointF(target->mapToGlobal(pos)), QPoint(), angle, buttons,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(target, &e);
    }

    PlatScrollInfo Info(int bar) const
    {
        PlatScrollInfo i;
        PlatGetScrollInfo(bar, &i);
        return i;
    }

    QWidget* window_ = nullptr;
    QWidget* client_ = nullptr;
};

// ---------------------------------------------------------------------------------------
// The window itself.

TEST_F(MainWindow, TakesItsCaptionIconClassAndPlace)
{
    EXPECT_EQ(window_->windowTitle(), QStringLiteral("ZYN_MOUSE Ver1.02"));
    EXPECT_EQ(QCoreApplication::applicationName(), QStringLiteral("ZYN_MOUSE")); // WM_CLASS
    EXPECT_EQ(QGuiApplication::desktopFileName(), QStringLiteral("zyn_mouse"));
    const QIcon icon = window_->windowIcon();
    ASSERT_FALSE(icon.isNull());
    EXPECT_EQ(icon.pixmap(32, 32).size(), QSize(32, 32));
    EXPECT_EQ(window_->frameGeometry().topLeft(), QPoint(0, 0));
    EXPECT_EQ(window_->frameGeometry().size(), QSize(800, 600));
    EXPECT_TRUE(window_->acceptDrops()); // the creation sequence asked for file drops
}

TEST_F(MainWindow, ClientSizeExcludesTheBarsWhichShowWhileThePageIsSmaller)
{
    // Range 0 .. 600 has 601 positions: a client of the canvas size still shows both bars.
    ASSERT_TRUE(Bar(PSB_HORZ)->isVisible());
    ASSERT_TRUE(Bar(PSB_VERT)->isVisible());
    const int extent = Bar(PSB_VERT)->width();
    EXPECT_GT(extent, 0);
    EXPECT_EQ(ClientWidth, window_->width() - extent);
    EXPECT_EQ(ClientHeight, window_->height() - Bar(PSB_HORZ)->height());
    EXPECT_EQ(client_->geometry(), QRect(0, 0, ClientWidth, ClientHeight));
    EXPECT_EQ(Info(PSB_HORZ).max, 800);
    EXPECT_EQ(Info(PSB_VERT).max, 600);
    EXPECT_EQ(Info(PSB_HORZ).page, static_cast<unsigned>(ClientWidth));
    EXPECT_EQ(Info(PSB_VERT).page, static_cast<unsigned>(ClientHeight));

    // A window larger than the canvas needs no bars; the client is then the whole window.
    window_->resize(1000, 800);
    QCoreApplication::processEvents();
    EXPECT_FALSE(Bar(PSB_HORZ)->isVisible());
    EXPECT_FALSE(Bar(PSB_VERT)->isVisible());
    EXPECT_EQ(ClientWidth, 1000);
    EXPECT_EQ(ClientHeight, 800);
}

TEST_F(MainWindow, SizeSetsBothPagesAndLeavesTheOffsets)
{
    ScrollX = 30;
    ScrollY = 40;
    window_->resize(500, 400);
    QCoreApplication::processEvents();
    const std::vector<Seen> sizes = Messages(PM_SIZE);
    ASSERT_FALSE(sizes.empty());
    const uint32_t last = static_cast<uint32_t>(sizes.back().lParam);
    EXPECT_EQ(static_cast<int>(last & 0xFFFF), ClientWidth);
    EXPECT_EQ(static_cast<int>(last >> 16), ClientHeight);
    EXPECT_EQ(ClientWidth, 500 - Bar(PSB_VERT)->width());
    EXPECT_EQ(ClientHeight, 400 - Bar(PSB_HORZ)->height());
    EXPECT_EQ(Info(PSB_HORZ).page, static_cast<unsigned>(ClientWidth));
    EXPECT_EQ(Info(PSB_VERT).page, static_cast<unsigned>(ClientHeight));
    EXPECT_EQ(ScrollX, 30);
    EXPECT_EQ(ScrollY, 40);
}

TEST_F(MainWindow, ClientOriginShowsTheCanvasAtTheScrollOffset)
{
    ASSERT_NE(gLcd.bits, nullptr);
    ScrollX = 100;
    ScrollY = 50;
    const int w = CanvasWidth;
    gLcd.bits[(50 + 4) * w + (100 + 3)] = 0x123456;
    gLcd.bits[(50 + 0) * w + (100 + 0)] = 0x654321;
    const QImage shown = client_->grab().toImage();
    ASSERT_GE(shown.width(), 10);
    EXPECT_EQ(shown.pixel(3, 4) & 0xFFFFFF, 0x123456u);
    EXPECT_EQ(shown.pixel(0, 0) & 0xFFFFFF, 0x654321u);
    // Beyond the canvas the client shows nothing (black).
    ScrollX = 700;
    const QImage beyond = client_->grab().toImage();
    EXPECT_EQ(beyond.pixel(ClientWidth - 1, 0) & 0xFFFFFF, 0u);
    EXPECT_EQ(beyond.pixel(99, 0) & 0xFFFFFF, gLcd.bits[50 * w + 799] & 0xFFFFFF);
}

TEST_F(MainWindow, FocusInIsSetFocus)
{
    window_->clearFocus();
    Log().clear();
    window_->setFocus(Qt::OtherFocusReason);
    EXPECT_EQ(Messages(PM_SETFOCUS).size(), 1u);
    EXPECT_TRUE(window_->hasFocus()); // the window itself takes the keys, not a bar
}

TEST_F(MainWindow, PresentPaintsBeforeItReturns)
{
    const size_t before = Messages(PM_PAINT).size();
    PlatPresent();
    EXPECT_GT(Messages(PM_PAINT).size(), before);
}

TEST_F(MainWindow, WindowTimerDeliversItsIdUntilKilled)
{
    PlatSetTimer(7, 5);
    EXPECT_TRUE(QTest::qWaitFor(
        [] {
            for (const Seen& s : Messages(PM_TIMER)) {
                if (s.wParam == 7) {
                    return true;
                }
            }
            return false;
        },
        2000));
    // Never more often than every 10 ms, however short the request.
    Log().clear();
    QTest::qWait(200);
    size_t fires = 0;
    for (const Seen& s : Messages(PM_TIMER)) {
        fires += s.wParam == 7 ? 1 : 0;
    }
    EXPECT_GE(fires, 5u);
    EXPECT_LE(fires, 20u);
    PlatKillTimer(7);
    QCoreApplication::processEvents();
    Log().clear();
    QTest::qWait(40);
    for (const Seen& s : Messages(PM_TIMER)) {
        EXPECT_NE(s.wParam, 7u);
    }
    EXPECT_FALSE(Messages(PM_TIMER).empty()); // the logic's own window timer goes on
}

TEST_F(MainWindow, ReceivedMidiReachesTheLogicOnTheUiThread)
{
    const PlatMidiHandle in = midi_double::InputHandle(0);
    ASSERT_NE(in, kNoMidiDevice);
    midi_double::Receive(in, 0x00403C90);
    midi_double::Receive(in, 0x00003C80);
    EXPECT_TRUE(Messages(PM_MIM_DATA).empty()); // not inside Receive: on a posted event
    EXPECT_TRUE(QTest::qWaitFor([] { return Messages(PM_MIM_DATA).size() == 2; }, 2000));
    const std::vector<Seen> data = Messages(PM_MIM_DATA);
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data[0].wParam, in);
    EXPECT_EQ(static_cast<uint32_t>(data[0].lParam), 0x00403C90u);
    EXPECT_EQ(static_cast<uint32_t>(data[1].lParam), 0x00003C80u);
    // The thru sent them on to the selected output.
    EXPECT_EQ(Sent(), (std::vector<uint32_t>{0x00403C90, 0x00003C80}));
}

TEST_F(MainWindow, TheCloseBoxClosesTheWindow)
{
    window_->close(); // what the window manager's close box does
    ASSERT_FALSE(Messages(PM_CLOSE).empty());
    ASSERT_FALSE(Messages(PM_DESTROY).empty());
    EXPECT_EQ(zm_qt::MainWindow(), nullptr);
    EXPECT_FALSE(window_->isVisible());
    EXPECT_EQ(gLcd.bits, nullptr);      // the destruction sequence ran
    EXPECT_EQ(PlatRunMessageLoop(), 0); // the quit it posted ends the loop at once
}

TEST(MainWindowCreation, RefusedCreationDestroysTheWindowAndAnswersFalse)
{
    midi_double::Reset();
    Log().clear();
    zm_qt::SetMessageObserver(Observe);
    CanvasWidth = 0; // no canvas can be made: the logic refuses PM_CREATE
    CanvasHeight = 600;
    EXPECT_FALSE(PlatCreateMainWindow("ZYN_MOUSE", "ZYN_MOUSE Ver1.02", 0, 0, 800, 600));
    EXPECT_EQ(zm_qt::MainWindow(), nullptr);
    EXPECT_EQ(Messages(PM_CREATE).size(), 1u);
    EXPECT_EQ(Messages(PM_DESTROY).size(), 1u);
    EXPECT_TRUE(Messages(PM_SIZE).empty());
    for (QWidget* w : QApplication::topLevelWidgets()) {
        EXPECT_NE(w->objectName(), QString::fromLatin1(zm_qt::kMainWindowName));
    }
    zm_qt::SetMessageObserver(nullptr);
}

// ---------------------------------------------------------------------------------------
// Keys.

TEST_F(MainWindow, KeypadFiveAndMainRowFiveBothStrikeNote25)
{
    QTest::keyClick(window_, Qt::Key_5, Qt::KeypadModifier);
    EXPECT_EQ(Sent(), Strike(25));
    ASSERT_FALSE(Messages(PM_KEYDOWN).empty());
    EXPECT_EQ(Messages(PM_KEYDOWN).back().wParam, 0x65u);
    midi_double::ClearSent();
    QTest::keyClick(window_, Qt::Key_5);
    EXPECT_EQ(Sent(), Strike(25));
    EXPECT_EQ(Messages(PM_KEYDOWN).back().wParam, 0x35u);
    EXPECT_EQ(Messages(PM_KEYUP).size(), 2u);
}

TEST_F(MainWindow, F10AndAltChordsStrikeNothing)
{
    QTest::keyClick(window_, Qt::Key_F10);
    QTest::keyClick(window_, Qt::Key_F1, Qt::AltModifier);
    QTest::keyClick(window_, Qt::Key_5, Qt::AltModifier);
    EXPECT_TRUE(Sent().empty());
    EXPECT_TRUE(Messages(PM_KEYDOWN).empty());
    int systemKeys = 0;
    for (const Seen& m : Messages(PM_SYSKEYDOWN)) {
        systemKeys += m.wParam != 0x12; // QTest presses Alt itself first: VK_MENU
    }
    EXPECT_EQ(systemKeys, 3);
    QTest::keyClick(window_, Qt::Key_F1); // without Alt F1 plays note 9
    EXPECT_EQ(Sent(), Strike(9));
}

TEST_F(MainWindow, AltF4AsAKeyLeavesTheWindowOpen)
{
    QTest::keyClick(window_, Qt::Key_F4, Qt::AltModifier);
    QCoreApplication::processEvents();
    EXPECT_EQ(zm_qt::MainWindow(), window_);
    EXPECT_TRUE(window_->isVisible());
    EXPECT_TRUE(Messages(PM_CLOSE).empty());
    EXPECT_TRUE(Sent().empty());
}

TEST_F(MainWindow, AutoRepeatIsAFreshKeyDown)
{
    QTest::keyPress(window_, Qt::Key_F3);
    QKeyEvent repeatUp(QEvent::KeyRelease, Qt::Key_F3, Qt::NoModifier, QString(), true);
    QApplication::sendEvent(window_, &repeatUp);
    QKeyEvent repeatDown(QEvent::KeyPress, Qt::Key_F3, Qt::NoModifier, QString(), true);
    QApplication::sendEvent(window_, &repeatDown);
    QTest::keyRelease(window_, Qt::Key_F3);
    std::vector<uint32_t> twice = Strike(11);
    twice.insert(twice.end(), twice.begin(), twice.end());
    EXPECT_EQ(Sent(), twice);
    EXPECT_EQ(Messages(PM_KEYDOWN).size(), 2u);
    EXPECT_EQ(Messages(PM_KEYUP).size(), 1u); // the repeat's release is not a key-up
}

TEST_F(MainWindow, HeldShiftRepeatsNote38UntilReleasedOrTheFocusGoes)
{
    const auto strikes = [] {
        const std::vector<uint32_t> sent = Sent();
        return std::count(sent.begin(), sent.end(), Strike(38).front());
    };
    const auto run = [](int ms) { // a plain event loop: qWait sleeps between its turns
        QEventLoop loop;
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        loop.exec();
    };
    // The offscreen platform has no repeat settings: 500 ms, then 30 a second.
    QTest::keyPress(window_, Qt::Key_Shift);
    run(500 + 10 * 33 + 15);
    EXPECT_NEAR(strikes(), 12, 2); // the press, the first repeat at 500 ms and ten more
    EXPECT_NE(Messages(PM_KEYDOWN).back().lParam & (1 << 30), 0); // marked as repeats
    QTest::keyRelease(window_, Qt::Key_Shift);
    midi_double::ClearSent();
    run(100);
    EXPECT_EQ(strikes(), 0);

    QTest::keyPress(window_, Qt::Key_Shift);
    window_->clearFocus();
    run(600);
    EXPECT_EQ(strikes(), 1);
    QTest::keyRelease(window_, Qt::Key_Shift);
}

TEST_F(MainWindow, TheOtherKeysOfTheTable)
{
    const struct {
        Qt::Key key;
        Qt::KeyboardModifiers mods;
        int note;
    } keys[] = {
        {Qt::Key_Plus, Qt::KeypadModifier, 31},  {Qt::Key_Minus, Qt::KeypadModifier, 32},
        {Qt::Key_Enter, Qt::KeypadModifier, 33}, {Qt::Key_Return, Qt::NoModifier, 33},
        {Qt::Key_Left, Qt::NoModifier, 34},      {Qt::Key_Right, Qt::NoModifier, 35},
        {Qt::Key_Up, Qt::NoModifier, 36},        {Qt::Key_Down, Qt::NoModifier, 37},
        {Qt::Key_Shift, Qt::NoModifier, 38},     {Qt::Key_0, Qt::KeypadModifier, 30},
        {Qt::Key_F12, Qt::NoModifier, 20},       {Qt::Key_9, Qt::NoModifier, 29},
    };
    for (const auto& k : keys) {
        midi_double::ClearSent();
        QTest::keyClick(window_, k.key, k.mods);
        EXPECT_EQ(Sent(), Strike(k.note)) << "key " << k.key;
    }
    midi_double::ClearSent();
    QTest::keyClick(window_, Qt::Key_Plus); // main-row plus is not keypad plus
    QTest::keyClick(window_, Qt::Key_Tab);
    EXPECT_TRUE(Sent().empty());
}

TEST(KeyMap, QtKeysBecomeWindowsVirtualKeys)
{
    using zm_qt::VirtualKeyFor;
    const unsigned keypad = Qt::KeypadModifier;
    EXPECT_EQ(VirtualKeyFor(Qt::Key_F1, 0, 0, false), 0x70u);
    EXPECT_EQ(VirtualKeyFor(Qt::Key_F12, 0, 0, false), 0x7Bu);
    EXPECT_EQ(VirtualKeyFor(Qt::Key_0, 0, 0, false), 0x30u);
    EXPECT_EQ(VirtualKeyFor(Qt::Key_9, 0, 0, false), 0x39u);
    EXPECT_EQ(VirtualKeyFor(Qt::Key_0, keypad, 0, false), 0x60u);
    EXPECT_EQ(VirtualKeyFor(Qt::Key_9, keypad, 0, false), 0x69u);
    EXPECT_EQ(VirtualKeyFor(Qt::Key_Plus, keypad, 0, false), 0x6Bu);
    EXPECT_EQ(VirtualKeyFor(Qt::Key_Minus, keypad, 0, false), 0x6Du);
    EXPECT_EQ(VirtualKeyFor(Qt::Key_Enter, keypad, 0, false), 0x0Du);
    EXPECT_EQ(VirtualKeyFor(Qt::Key_Return, 0, 0, false), 0x0Du);
    EXPECT_EQ(VirtualKeyFor(Qt::Key_Shift, 0, 0, false), 0x10u);
    EXPECT_EQ(VirtualKeyFor(Qt::Key_Left, 0, 0, false), 0x25u);
    EXPECT_EQ(VirtualKeyFor(Qt::Key_Up, 0, 0, false), 0x26u);
    EXPECT_EQ(VirtualKeyFor(Qt::Key_Right, 0, 0, false), 0x27u);
    EXPECT_EQ(VirtualKeyFor(Qt::Key_Down, keypad, 0, false), 0x28u); // keypad 2, NumLock off
    EXPECT_EQ(VirtualKeyFor(Qt::Key_Alt, 0, 0, false), 0x12u);
    // Keys the logic does not read give no message.
    EXPECT_EQ(VirtualKeyFor(Qt::Key_A, 0, 0, false), 0u);
    EXPECT_EQ(VirtualKeyFor(Qt::Key_Plus, 0, 0, false), 0u);
    EXPECT_EQ(VirtualKeyFor(Qt::Key_Asterisk, keypad, 0, false), 0u);
    // Shift+5 on a US layout is "%": by position (X11 key code 14) it is still the 5 key.
    EXPECT_EQ(VirtualKeyFor(Qt::Key_Percent, Qt::ShiftModifier, 14, true), 0x35u);
    EXPECT_EQ(VirtualKeyFor(Qt::Key_Ampersand, 0, 10, true), 0x31u); // AZERTY "1" key
    EXPECT_EQ(VirtualKeyFor(Qt::Key_Agrave, 0, 19, true), 0x30u);    // AZERTY "0" key
    EXPECT_EQ(VirtualKeyFor(Qt::Key_Percent, Qt::ShiftModifier, 14, false), 0u);
    EXPECT_EQ(VirtualKeyFor(Qt::Key_unknown, 0, 0, false), 0u);
    // Wayland sets no KeypadModifier: the keysym (KP_Add, KP_Subtract, KP_5) tells.
    EXPECT_EQ(VirtualKeyFor(Qt::Key_Plus, 0, 86, true, 0xFFAB), 0x6Bu);
    EXPECT_EQ(VirtualKeyFor(Qt::Key_Minus, 0, 82, true, 0xFFAD), 0x6Du);
    EXPECT_EQ(VirtualKeyFor(Qt::Key_5, 0, 84, true, 0xFFB5), 0x65u);
    EXPECT_EQ(VirtualKeyFor(Qt::Key_Minus, 0, 20, true, 0x2D), 0u); // main-row minus
}

// ---------------------------------------------------------------------------------------
// Mouse.

TEST_F(MainWindow, LeftPressStoresTheClientPointPlusTheScrollOffset)
{
    ScrollX = 100;
    ScrollY = 0;
    QTest::mousePress(client_, Qt::LeftButton, Qt::NoModifier, QPoint(5, 7));
    EXPECT_EQ(MouseX, 105);
    EXPECT_EQ(MouseY, 7);
    EXPECT_EQ(Sent(), Strike(7));
    ASSERT_FALSE(Messages(PM_LBUTTONDOWN).empty());
    EXPECT_EQ(static_cast<uint32_t>(Messages(PM_LBUTTONDOWN).back().lParam), 5u | 7u << 16);
    EXPECT_EQ(Messages(PM_LBUTTONDOWN).back().wParam & 0x1, 1u); // MK_LBUTTON
    EXPECT_EQ(QWidget::mouseGrabber(), client_);                 // held while the button is down
    QTest::mouseRelease(client_, Qt::LeftButton, Qt::NoModifier, QPoint(5, 7));
    EXPECT_EQ(QWidget::mouseGrabber(), nullptr);
    EXPECT_EQ(Messages(PM_LBUTTONUP).size(), 1u);
}

TEST_F(MainWindow, ADragPastTheLeftEdgeGivesZero)
{
    ScrollX = 0;
    ScrollY = 0;
    QTest::mousePress(client_, Qt::RightButton, Qt::NoModifier, QPoint(20, 30));
    EXPECT_EQ(MouseX, 20);
    QTest::mouseMove(client_, QPoint(-6, 30));
    const std::vector<Seen> moves = Messages(PM_MOUSEMOVE);
    ASSERT_FALSE(moves.empty());
    EXPECT_EQ(static_cast<uint32_t>(moves.back().lParam) & 0xFFFF, 0xFFFAu);
    EXPECT_EQ(MouseX, 0);
    EXPECT_EQ(MouseY, 30);
    QTest::mouseRelease(client_, Qt::RightButton, Qt::NoModifier, QPoint(-6, 30));
}

TEST_F(MainWindow, ADoubleClickIsTwoPresses)
{
    // What the platform delivers for a double click: press, release, double-click, release.
    QTest::mouseClick(client_, Qt::LeftButton, Qt::NoModifier, QPoint(300, 500));
    QTest::mouseDClick(client_, Qt::LeftButton, Qt::NoModifier, QPoint(300, 500));
    QTest::mouseRelease(client_, Qt::LeftButton, Qt::NoModifier, QPoint(300, 500));
    EXPECT_EQ(Messages(PM_LBUTTONDOWN).size(), 2u);
    EXPECT_EQ(Messages(PM_LBUTTONUP).size(), 2u);
}

TEST_F(MainWindow, MovingWithoutAButtonAsksForTheCursorFirst)
{
    QTest::mouseMove(client_, QPoint(400, 500));
    ASSERT_GE(Log().size(), 2u);
    size_t move = Log().size();
    for (size_t i = 0; i < Log().size(); ++i) {
        if (Log()[i].message == PM_MOUSEMOVE) {
            move = i;
            break;
        }
    }
    ASSERT_LT(move, Log().size());
    ASSERT_GT(move, 0u);
    EXPECT_EQ(Log()[move - 1].message, PM_SETCURSOR);
    EXPECT_EQ(client_->cursor().shape(), Qt::ArrowCursor);
}

TEST_F(MainWindow, WheelAwayWithTheMiddleButtonHeldIsStepMinusTen)
{
    QTest::mouseMove(client_, QPoint(107, 222)); // over the speed box
    ASSERT_EQ(MouseX, 107);
    ASSERT_EQ(gWinUI.speed, kDefaultSpeed);
    QTest::mousePress(client_, Qt::MiddleButton, Qt::NoModifier, QPoint(107, 222));
    EXPECT_EQ(WheelStep, 10);
    midi_double::ClearSent();
    SendWheel(client_, QPoint(107, 222), QPoint(0, 120), Qt::MiddleButton);
    EXPECT_EQ(Sent(), Strike(6));
    EXPECT_EQ(gWinUI.speed, 0); // 4 - 10, clamped: the step was -10
    const std::vector<Seen> wheels = Messages(PM_MOUSEWHEEL);
    ASSERT_EQ(wheels.size(), 1u);
    EXPECT_EQ(static_cast<int16_t>(wheels[0].wParam >> 16), 120);
    EXPECT_EQ(wheels[0].wParam & 0x10, 0x10u); // MK_MBUTTON
    QTest::mouseRelease(client_, Qt::MiddleButton, Qt::NoModifier, QPoint(107, 222));
    EXPECT_EQ(WheelStep, 1);
}

TEST_F(MainWindow, WheelTowardTheUserAndHorizontalWheels)
{
    SendWheel(client_, QPoint(400, 400), QPoint(0, -120), Qt::NoButton);
    EXPECT_EQ(Sent(), Strike(5));
    midi_double::ClearSent();
    SendWheel(client_, QPoint(400, 400), QPoint(120, 0), Qt::NoButton); // no vertical part
    SendWheel(client_, QPoint(400, 400), QPoint(0, 0), Qt::NoButton);
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(Messages(PM_MOUSEWHEEL).size(), 1u);
}

// ---------------------------------------------------------------------------------------
// Scroll bars.

TEST_F(MainWindow, AOneLineScrollShowsZeroFirstAndTenAfterTheEndScroll)
{
    QScrollBar* bar = Bar(PSB_VERT);
    ASSERT_EQ(Info(PSB_VERT).pos, 0);
    const QRect down = BarPart(bar, QStyle::SC_ScrollBarAddLine);
    ASSERT_TRUE(down.isValid());
    QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier, down.center());
    const std::vector<Seen> v = Messages(PM_VSCROLL);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0].wParam & 0xFFFF, PSB_LINEDOWN);
    EXPECT_EQ(v[0].scrollY, 0); // the view follows the bar one message late
    EXPECT_EQ(v[1].wParam & 0xFFFF, PSB_ENDSCROLL);
    EXPECT_EQ(v[1].scrollY, 10);
    EXPECT_EQ(ScrollY, 10);
    EXPECT_EQ(Info(PSB_VERT).pos, 10);
    EXPECT_EQ(bar->value(), 10);
    EXPECT_TRUE(Messages(PM_LBUTTONDOWN).empty()); // a click on a bar is no button press
    EXPECT_TRUE(Sent().empty());

    const QRect up = BarPart(bar, QStyle::SC_ScrollBarSubLine);
    QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier, up.center());
    EXPECT_EQ(ScrollY, 0);
    EXPECT_EQ(bar->value(), 0);
}

TEST_F(MainWindow, HorizontalLinesMoveScrollXAndTheShownCanvas)
{
    window_->resize(500, 400);
    QCoreApplication::processEvents();
    Log().clear();
    QScrollBar* bar = Bar(PSB_HORZ);
    const QRect right = BarPart(bar, QStyle::SC_ScrollBarAddLine);
    QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier, right.center());
    QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier, right.center());
    EXPECT_EQ(ScrollX, 20);
    EXPECT_EQ(bar->value(), 20);
    const std::vector<Seen> h = Messages(PM_HSCROLL);
    ASSERT_EQ(h.size(), 4u);
    EXPECT_EQ(h[2].scrollX, 10);
    gLcd.bits[0 * CanvasWidth + 20] = 0x0000AB;
    const QImage shown = client_->grab().toImage();
    EXPECT_EQ(shown.pixel(0, 0) & 0xFFFFFF, 0x0000ABu);
}

TEST_F(MainWindow, PageRequestsDoNotMoveTheView)
{
    QScrollBar* bar = Bar(PSB_VERT);
    bar->triggerAction(QAbstractSlider::SliderPageStepAdd);
    const QRect page = BarPart(bar, QStyle::SC_ScrollBarAddPage);
    if (page.isValid() &&
        !bar->style()->styleHint(QStyle::SH_ScrollBar_LeftClickAbsolutePosition, nullptr, bar)) {
        QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier, page.center());
    }
    const std::vector<Seen> v = Messages(PM_VSCROLL);
    ASSERT_GE(v.size(), 2u);
    for (size_t i = 0; i < v.size(); i += 2) {
        EXPECT_EQ(v[i].wParam & 0xFFFF, PSB_PAGEDOWN);
        EXPECT_EQ(v[i + 1].wParam & 0xFFFF, PSB_ENDSCROLL);
    }
    EXPECT_EQ(ScrollY, 0);
    EXPECT_EQ(Info(PSB_VERT).pos, 0);
    EXPECT_EQ(bar->value(), 0);
    EXPECT_EQ(bar->sliderPosition(), 0);
}

TEST_F(MainWindow, DraggingTheThumbTracksThenSettles)
{
    QScrollBar* bar = Bar(PSB_VERT);
    const QRect thumb = BarPart(bar, QStyle::SC_ScrollBarSlider);
    ASSERT_TRUE(thumb.isValid());
    const QPoint start = thumb.center();
    QTest::mousePress(bar, Qt::LeftButton, Qt::NoModifier, start);
    QTest::mouseMove(bar, start + QPoint(0, 20));
    QTest::mouseMove(bar, start + QPoint(0, 40));
    const std::vector<Seen> tracking = Messages(PM_VSCROLL);
    ASSERT_GE(tracking.size(), 2u);
    EXPECT_EQ(tracking[0].wParam & 0xFFFF, PSB_THUMBTRACK);
    const int track = static_cast<int>(tracking.back().wParam >> 16);
    (void)track;
    QTest::mouseRelease(bar, Qt::LeftButton, Qt::NoModifier, start + QPoint(0, 40));
    const std::vector<Seen> v = Messages(PM_VSCROLL);
    ASSERT_GE(v.size(), 4u);
    const Seen& position = v[v.size() - 2];
    EXPECT_EQ(position.wParam & 0xFFFF, PSB_THUMBPOSITION);
    EXPECT_EQ(v.back().wParam & 0xFFFF, PSB_ENDSCROLL);
    const int final = static_cast<int>(position.wParam >> 16);
    EXPECT_GT(final, 0);
    EXPECT_EQ(Info(PSB_VERT).pos, final);
    EXPECT_EQ(ScrollY, final);
    EXPECT_EQ(bar->value(), final);
    EXPECT_TRUE(Messages(PM_LBUTTONDOWN).empty());
}

TEST_F(MainWindow, TheWheelNeverScrollsEvenOverTheBars)
{
    QScrollBar* bar = Bar(PSB_VERT);
    SendWheel(bar, QPoint(bar->width() / 2, bar->height() / 2), QPoint(0, -120), Qt::NoButton);
    EXPECT_EQ(Messages(PM_MOUSEWHEEL).size(), 1u);
    EXPECT_TRUE(Messages(PM_VSCROLL).empty());
    EXPECT_EQ(bar->value(), 0);
    EXPECT_EQ(Sent(), Strike(5));
}

TEST_F(MainWindow, FilesDroppedOnTheWindowAreDelivered)
{
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QStringLiteral("/tmp/song.mid"))});
    QDragEnterEvent enter(QPoint(50, 50), Qt::CopyAction, &data, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(window_, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(50, 50), Qt::CopyAction, &data, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(window_, &drop);
    EXPECT_EQ(Messages(PM_DROPFILES).size(), 1u);
}

} // namespace
