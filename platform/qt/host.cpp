// Window host of the Qt back end (contract: platform/platform.h): the host's state, the
// main window's life (creation, showing, destruction, the message loop) and the services
// the logic asks of it (capture, cursor, file drops, screen size).
//
// Where the rest lives: window.cpp (the widgets and their events, painting), timers.cpp
// (window timers), scrollbars.cpp (the bars and the layout), keymap.cpp (keys),
// key_repeat.cpp and wayland_repeat.cpp (repeat rates), midi_wake.cpp (received MIDI),
// present.cpp (the present) and panel_surface.cpp (a surface of its own for a panel).
#include "platform/qt/host.h"

#include <QtCore/QCoreApplication>
#include <QtGui/QGuiApplication>
#include <QtGui/QIcon>
#include <QtGui/QScreen>
#include <QtWidgets/QApplication>
#include <QtWidgets/QScrollBar>
#include <QtWidgets/QWidget>

#include <algorithm>
#include <cmath>

#include "platform/platform.h"
#include "platform/qt/host_state.h"

namespace zm_qt {
namespace {

// Win32 mouse key-state flags (low word of wParam of the mouse messages).
constexpr uint32_t kMkLButton = 0x0001;
constexpr uint32_t kMkRButton = 0x0002;
constexpr uint32_t kMkShift = 0x0004;
constexpr uint32_t kMkControl = 0x0008;
constexpr uint32_t kMkMButton = 0x0010;

} // namespace

Host& TheHost()
{
    static Host* host = new Host; // never destroyed: no static-destruction order to mind
    return *host;
}

intptr_t Send(uint32_t message, uintptr_t wParam, intptr_t lParam)
{
    Host& h = TheHost();
    if (!h.alive) {
        return 0;
    }
    const intptr_t result = MainWndProc(message, wParam, lParam);
    if (h.observer != nullptr) {
        h.observer(message, wParam, lParam, result);
    }
    return result;
}

intptr_t PackPoint(int x, int y)
{
    const uint32_t packed = static_cast<uint32_t>(static_cast<uint16_t>(x)) |
                            (static_cast<uint32_t>(static_cast<uint16_t>(y)) << 16);
    return static_cast<intptr_t>(packed);
}

intptr_t PackPoint(const QPointF& p)
{
    return PackPoint(static_cast<int>(std::floor(p.x())), static_cast<int>(std::floor(p.y())));
}

uint32_t KeyState(Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers)
{
    uint32_t state = 0;
    if (buttons & Qt::LeftButton) {
        state |= kMkLButton;
    }
    if (buttons & Qt::RightButton) {
        state |= kMkRButton;
    }
    if (buttons & Qt::MiddleButton) {
        state |= kMkMButton;
    }
    if (modifiers & Qt::ShiftModifier) {
        state |= kMkShift;
    }
    if (modifiers & Qt::ControlModifier) {
        state |= kMkControl;
    }
    return state;
}

namespace {

QIcon AppIcon()
{
    // data/zyn_mouse_32.png (32 x 32, 24-bit colour), embedded by platform/qt/CMakeLists.txt.
    return QIcon(QStringLiteral(":/zyn_mouse/zyn_mouse_32.png"));
}

} // namespace

// Win32 DestroyWindow: PM_DESTROY, then the window goes. From inside one of the window's
// own event handlers it is deleted later; otherwise (refused creation) at once.
void DestroyMainWindow(bool deleteNow)
{
    Host& h = TheHost();
    if (!h.alive || h.destroying) {
        return;
    }
    h.destroying = true;
    Send(PM_DESTROY, 0, 0);
    h.alive = false;
    StopMidiWake();
    StopShiftRepeat();
    KillAllTimers();
    PlatReleaseCapture();
    PanelDrop();
    DirectDrop();
    for (QScrollBar* bar : h.bars) {
        if (bar != nullptr && bar->isWindow()) {
            delete bar; // a window of its own inside the top level: not its child to delete
        }
    }
    if (h.window) {
        h.window->hide();
        if (deleteNow) {
            delete h.window.data();
        } else {
            h.window->deleteLater();
        }
    }
    h.window = nullptr;
    h.client = nullptr;
    h.bars[0] = h.bars[1] = nullptr;
    h.corner = nullptr;
    h.destroying = false;
}

QWidget* MainWindow()
{
    return TheHost().window.data();
}

QWidget* ClientArea()
{
    return TheHost().client;
}

void SetMessageObserver(MessageObserver observer)
{
    TheHost().observer = observer;
}

} // namespace zm_qt

using namespace zm_qt;

// ---------------------------------------------------------------------------------------
// Contract: window host.

intptr_t PlatDefWindowProc(uint32_t message, uintptr_t, intptr_t)
{
    switch (message) {
    case PM_CLOSE:
        DestroyMainWindow();
        return 0;
    case PM_SETCURSOR:
        PlatSetArrowCursor();
        return 1;
    default:
        return 0;
    }
}

void PlatSetCapture()
{
    Host& h = TheHost();
    // On Wayland the pressed button already holds the pointer (the compositor's implicit
    // grab) and Qt grabs for popups only, with a warning at every try.
    if (QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
        return;
    }
    if (h.client != nullptr && h.client->isVisible()) {
        h.client->grabMouse();
    }
}

void PlatReleaseCapture()
{
    Host& h = TheHost();
    if (h.client != nullptr && QWidget::mouseGrabber() == h.client) {
        h.client->releaseMouse();
    }
}

void PlatSetArrowCursor()
{
    Host& h = TheHost();
    if (h.client != nullptr && !h.arrowSet) {
        h.client->setCursor(Qt::ArrowCursor);
        h.arrowSet = true;
    }
}

void PlatAcceptFiles(bool accept)
{
    Host& h = TheHost();
    if (h.window) {
        h.window->setAcceptDrops(accept);
    }
}

void PlatPostQuit(int code)
{
    Host& h = TheHost();
    h.quitPending = true;
    h.quitCode = code;
    if (QCoreApplication::instance() != nullptr) {
        QCoreApplication::exit(code); // ends a running loop once this message is handled
    }
}

void PlatScreenSize(int* width, int* height)
{
    int w = 800;
    int hgt = 600;
    if (QGuiApplication::instance() != nullptr) {
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            // In the screen's own pixels: at an output scale of 2 the desktop's units would
            // give a canvas of a quarter of them, too small for the whole panel.
            const QRect r = screen->availableGeometry();
            const double scale = screen->devicePixelRatio();
            if (r.width() > 0 && r.height() > 0) {
                w = static_cast<int>(std::lround(r.width() * scale));
                hgt = static_cast<int>(std::lround(r.height() * scale));
            }
        }
    }
    if (width != nullptr) {
        *width = w;
    }
    if (height != nullptr) {
        *height = hgt;
    }
}

bool PlatCreateMainWindow(const char* className, const char* caption, int x, int y, int w, int h)
{
    Host& host = TheHost();
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr || host.window) {
        return false;
    }
    QApplication::setQuitOnLastWindowClosed(false); // the logic ends the loop itself
    if (className != nullptr && *className != '\0') {
        // The class name becomes the class part of the X11 WM_CLASS ("zyn_mouse", "ZYN_MOUSE",
        // matching StartupWMClass of data/zyn_mouse.desktop); on Wayland the app id names
        // the desktop file, whose name is the class name in lower case.
        QCoreApplication::setApplicationName(QString::fromLatin1(className));
        QGuiApplication::setDesktopFileName(QString::fromLatin1(className).toLower());
    }
    const QIcon icon = AppIcon();
    QApplication::setWindowIcon(icon);

    StartMidiWake();
    WatchWaylandRepeat();

    QWidget* window = NewHostWindow();
    window->setWindowTitle(QString::fromLatin1(caption != nullptr ? caption : ""));
    window->setWindowIcon(icon);
    host.window = window;
    host.client = NewClientView(window);
    for (int bar : {PSB_HORZ, PSB_VERT}) {
        host.bars[bar] = NewScrollBar(bar, window);
        host.models[bar] = ScrollBarModel();
        SyncBar(bar);
    }
    host.corner = new QWidget(window);
    host.corner->setAutoFillBackground(true);
    host.corner->hide();

    // The logic gives the screen's pixels; the window is placed in the desktop's units,
    // where the panel shows one canvas pixel per unit.
    const QScreen* screen = QGuiApplication::primaryScreen();
    const double scale =
        screen != nullptr && screen->devicePixelRatio() > 0 ? screen->devicePixelRatio() : 1.0;
    host.outerPos =
        QPoint(static_cast<int>(std::lround(x / scale)), static_cast<int>(std::lround(y / scale)));
    host.outerSize = QSize(std::max(1, static_cast<int>(std::lround(w / scale))),
                           std::max(1, static_cast<int>(std::lround(h / scale))));
    host.frameAdjusted = false;
    host.sentWidth = host.sentHeight = -1;
    host.arrowSet = false;
    host.quitPending = false;
    window->move(host.outerPos);
    window->resize(host.outerSize);

    host.alive = true;
    if (Send(PM_CREATE, 0, 0) == -1) {
        DestroyMainWindow(true); // Win32 destroys a window whose creation was refused
        return false;
    }
    if (host.alive) {
        Relayout(); // the first PM_SIZE, with the client size
    }
    return host.alive;
}

void PlatShowWindow()
{
    Host& h = TheHost();
    if (!h.window) {
        return;
    }
    h.window->show();
    h.window->raise();
    h.window->activateWindow();
    h.window->setFocus(Qt::ActiveWindowFocusReason);
    PlatPresent();
}

int PlatRunMessageLoop()
{
    Host& h = TheHost();
    int code = 0;
    if (h.quitPending) {
        code = h.quitCode; // quit posted before the loop ran: the loop ends at once
    } else if (QCoreApplication::instance() != nullptr) {
        code = QCoreApplication::exec();
    }
    h.quitPending = false;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return code;
}
