// Window host of the Qt back end (contract: platform/platform.h).
//
// One top-level QWidget plays the Win32 main window: its client area is a child widget that
// shows the canvas, with standard scroll bars at the right and bottom edges that belong to
// the frame (they take no wheel, no keys and no button messages of their own). Qt events are
// translated into MainWndProc calls with the Win32-style message codes and parameters; the
// host decides nothing the logic decides (where the view is, what a key plays).
//
// Scroll bars: the state (range, page, position, track position) lives in ScrollBarModel
// (platform/scrollbar.h) and is mirrored into the QScrollBar. A user action on a bar is
// turned into PM_HSCROLL / PM_VSCROLL with the request code, followed by PSB_ENDSCROLL; the
// QScrollBar's own step is undone (QAbstractSlider::actionTriggered + setSliderPosition), so
// the bar moves only when the logic writes a new position with PlatSetScrollInfo.
#include "platform/qt/host.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QMimeData>
#include <QtCore/QPointer>
#include <QtCore/QTimer>
#include <QtGui/QCloseEvent>
#include <QtGui/QDragEnterEvent>
#include <QtGui/QDropEvent>
#include <QtGui/QGuiApplication>
#include <QtGui/QIcon>
#include <QtGui/QImage>
#include <QtGui/QKeyEvent>
#include <QtGui/QMouseEvent>
#include <QtGui/QPainter>
#include <QtGui/QScreen>
#include <QtGui/QWheelEvent>
#include <QtWidgets/QApplication>
#include <QtWidgets/QScrollBar>
#include <QtWidgets/QStyle>
#include <QtWidgets/QWidget>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>

#include "platform/platform.h"
#include "platform/qt/canvas.h"
#include "platform/scrollbar.h"

namespace {

// Win32 mouse key-state flags (low word of wParam of the mouse messages).
constexpr uint32_t kMkLButton = 0x0001;
constexpr uint32_t kMkRButton = 0x0002;
constexpr uint32_t kMkShift = 0x0004;
constexpr uint32_t kMkControl = 0x0008;
constexpr uint32_t kMkMButton = 0x0010;
constexpr intptr_t kHtClient = 1;  // WM_SETCURSOR hit-test code of the client area

class HostWindow;
class ClientView;

struct Host {
    QPointer<HostWindow> window;
    ClientView* client = nullptr;
    QScrollBar* bars[2] = {nullptr, nullptr};
    QWidget* corner = nullptr;
    ScrollBarModel models[2];

    bool alive = false;       // between PM_CREATE and PM_DESTROY
    bool destroying = false;
    std::map<uint32_t, QTimer*> timers;

    QPainter* paintPainter = nullptr;  // during PM_PAINT only
    QRect paintRect;                   // what this paint must cover, client coordinates
    bool painted = false;

    int sentWidth = -1;       // client size last sent with PM_SIZE
    int sentHeight = -1;
    bool inLayout = false;
    bool layoutAgain = false;

    QSize outerSize;          // requested outer (frame) size
    QPoint outerPos;
    bool frameAdjusted = false;

    bool arrowSet = false;
    bool quitPending = false;
    int quitCode = 0;

    zm_qt::MessageObserver observer = nullptr;
};

Host& TheHost()
{
    static Host* host = new Host;  // never destroyed: no static-destruction order to mind
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
    const uint32_t packed =
        static_cast<uint32_t>(static_cast<uint16_t>(x)) |
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

void SetCursorMessage(uint32_t mouseMessage)
{
    Send(PM_SETCURSOR, 1, kHtClient | static_cast<intptr_t>(mouseMessage << 16));
}

void Relayout();
void OnBarAction(int bar, int action);
void OnBarPressed(int bar);
void OnBarReleased(int bar);
void DeliverWheel(QWheelEvent* e);

// ---------------------------------------------------------------------------------------
// MIDI input delivery: the back end calls Wake from its own threads; a posted event brings
// the UI thread to drain the queue. At most one wake event is pending at a time.

const QEvent::Type kMidiWakeEvent = static_cast<QEvent::Type>(QEvent::User + 0x3C3);

class MidiWakeTarget : public QObject {
public:
    std::atomic<bool> pending{false};
    std::atomic<bool> accepting{false};  // while the main window exists

protected:
    bool event(QEvent* e) override
    {
        if (e->type() == kMidiWakeEvent) {
            pending.store(false, std::memory_order_release);
            PlatMidiDrain(
                [](PlatMidiHandle handle, uint32_t message) {
                    Send(PM_MIM_DATA, handle, static_cast<intptr_t>(message));
                });
            return true;
        }
        return QObject::event(e);
    }
};

// Made once on the UI thread and never deleted, so a MIDI thread never posts to a dead object.
std::atomic<MidiWakeTarget*>& WakeTarget()
{
    static std::atomic<MidiWakeTarget*>* target = new std::atomic<MidiWakeTarget*>(nullptr);
    return *target;
}

void MidiWake()
{
    MidiWakeTarget* target = WakeTarget().load(std::memory_order_acquire);
    if (target == nullptr || !target->accepting.load(std::memory_order_acquire) ||
        target->pending.exchange(true, std::memory_order_acq_rel)) {
        return;
    }
    QCoreApplication::postEvent(target, new QEvent(kMidiWakeEvent));
}

// ---------------------------------------------------------------------------------------
// Key mapping.

bool PositionalScanCodes()
{
    const QString name = QGuiApplication::platformName();
    return name == QLatin1String("xcb") || name.startsWith(QLatin1String("wayland"));
}

// ---------------------------------------------------------------------------------------
// Widgets.

class ClientView : public QWidget {
public:
    explicit ClientView(QWidget* parent) : QWidget(parent)
    {
        setObjectName(QLatin1String(zm_qt::kClientAreaName));
        setAttribute(Qt::WA_OpaquePaintEvent);
        setAttribute(Qt::WA_NoSystemBackground);
        setMouseTracking(true);
        setFocusPolicy(Qt::NoFocus);
    }

protected:
    void paintEvent(QPaintEvent* e) override
    {
        Host& h = TheHost();
        QPainter painter(this);
        h.paintPainter = &painter;
        h.paintRect = e->rect();
        h.painted = false;
        Send(PM_PAINT, 0, 0);
        h.paintPainter = nullptr;
        if (!h.painted) {
            painter.fillRect(e->rect(), Qt::black);
        }
    }

    void enterEvent(QEnterEvent*) override
    {
        if (QGuiApplication::mouseButtons() == Qt::NoButton) {
            SetCursorMessage(PM_MOUSEMOVE);
        }
    }

    void mouseMoveEvent(QMouseEvent* e) override
    {
        // Win32 sends WM_SETCURSOR before each mouse message, except while captured.
        if (e->buttons() == Qt::NoButton) {
            SetCursorMessage(PM_MOUSEMOVE);
        }
        Send(PM_MOUSEMOVE, KeyState(e->buttons(), e->modifiers()), PackPoint(e->position()));
    }

    void mousePressEvent(QMouseEvent* e) override { Press(e); }
    // The window class has no double-click style: a second click is another press.
    void mouseDoubleClickEvent(QMouseEvent* e) override { Press(e); }

    void mouseReleaseEvent(QMouseEvent* e) override
    {
        uint32_t message = 0;
        switch (e->button()) {
        case Qt::LeftButton:
            message = PM_LBUTTONUP;
            break;
        case Qt::RightButton:
            message = PM_RBUTTONUP;
            break;
        case Qt::MiddleButton:
            message = PM_MBUTTONUP;
            break;
        default:
            return;
        }
        Send(message, KeyState(e->buttons(), e->modifiers()), PackPoint(e->position()));
    }

    void wheelEvent(QWheelEvent* e) override { DeliverWheel(e); }

private:
    void Press(QMouseEvent* e)
    {
        uint32_t message = 0;
        switch (e->button()) {
        case Qt::LeftButton:
            message = PM_LBUTTONDOWN;
            break;
        case Qt::RightButton:
            message = PM_RBUTTONDOWN;
            break;
        case Qt::MiddleButton:
            message = PM_MBUTTONDOWN;
            break;
        default:
            return;
        }
        if ((e->buttons() & ~e->button()) == Qt::NoButton) {
            SetCursorMessage(message);
        }
        Send(message, KeyState(e->buttons(), e->modifiers()), PackPoint(e->position()));
    }
};

class HostWindow : public QWidget {
public:
    HostWindow()
    {
        setObjectName(QLatin1String(zm_qt::kMainWindowName));
        setAttribute(Qt::WA_OpaquePaintEvent);
        setFocusPolicy(Qt::StrongFocus);
    }

    bool eventFilter(QObject* watched, QEvent* e) override
    {
        // The bars are part of the frame: the wheel over them is a wheel message of the
        // window, and they have no context menu (whose "Scroll here" would move them).
        if (e->type() == QEvent::Wheel) {
            DeliverWheel(static_cast<QWheelEvent*>(e));
            return true;
        }
        if (e->type() == QEvent::ContextMenu) {
            return true;
        }
        return QWidget::eventFilter(watched, e);
    }

protected:
    bool event(QEvent* e) override
    {
        switch (e->type()) {
        case QEvent::KeyPress:
            Key(static_cast<QKeyEvent*>(e), true);
            return true;  // Tab and Backtab too: no focus traversal in this window
        case QEvent::KeyRelease:
            Key(static_cast<QKeyEvent*>(e), false);
            return true;
        case QEvent::ShortcutOverride:
            e->accept();  // every key is the window's own
            return true;
        case QEvent::Move:
        case QEvent::Resize:
        case QEvent::Show:
            AdjustForFrame();
            break;
        default:
            break;
        }
        return QWidget::event(e);
    }

    void resizeEvent(QResizeEvent*) override { Relayout(); }

    void paintEvent(QPaintEvent*) override
    {
        // Only the corner between the bars can show here; the rest is covered by children.
    }

    void focusInEvent(QFocusEvent*) override { Send(PM_SETFOCUS, 0, 0); }

    void wheelEvent(QWheelEvent* e) override { DeliverWheel(e); }

    void closeEvent(QCloseEvent* e) override
    {
        // The close box: the logic decides (its default handling destroys the window).
        e->ignore();
        if (TheHost().alive) {
            Send(PM_CLOSE, 0, 0);
        }
    }

    void dragEnterEvent(QDragEnterEvent* e) override
    {
        if (e->mimeData() != nullptr && e->mimeData()->hasUrls()) {
            e->acceptProposedAction();
        }
    }

    void dragMoveEvent(QDragMoveEvent* e) override
    {
        if (e->mimeData() != nullptr && e->mimeData()->hasUrls()) {
            e->acceptProposedAction();
        }
    }

    void dropEvent(QDropEvent* e) override
    {
        e->acceptProposedAction();
        Send(PM_DROPFILES, 0, 0);
    }

private:
    void Key(QKeyEvent* e, bool down)
    {
        if (!down && e->isAutoRepeat()) {
            return;  // Win32 repeats key-down messages only
        }
        const uint32_t vk =
            zm_qt::VirtualKeyFor(e->key(), static_cast<unsigned>(e->modifiers()),
                                 e->nativeScanCode(), PositionalScanCodes());
        if (vk == 0) {
            return;
        }
        const bool alt = (e->modifiers() & Qt::AltModifier) != 0;
        const bool system = alt || vk == PVK_F10 || vk == 0x12 /* VK_MENU */;
        uint32_t message = 0;
        if (down) {
            message = system ? PM_SYSKEYDOWN : PM_KEYDOWN;
        } else {
            message = system ? PM_SYSKEYUP : PM_KEYUP;
        }
        uint32_t lParam = 1;  // repeat count
        const uint32_t scan = e->nativeScanCode();
        if (scan >= 8 && scan < 8 + 256 && PositionalScanCodes()) {
            lParam |= (scan - 8) << 16;
        }
        if (alt) {
            lParam |= 1u << 29;
        }
        if (!down || e->isAutoRepeat()) {
            lParam |= 1u << 30;
        }
        if (!down) {
            lParam |= 1u << 31;
        }
        Send(message, vk, static_cast<intptr_t>(lParam));
    }

    void AdjustForFrame()
    {
        Host& h = TheHost();
        if (h.frameAdjusted || !isVisible() || isMaximized() || isFullScreen()) {
            return;
        }
        const QRect frame = frameGeometry();
        const QSize margins = frame.size() - size();
        if (margins.isEmpty() || (margins.width() <= 0 && margins.height() <= 0)) {
            return;  // no frame known (yet), or none at all
        }
        h.frameAdjusted = true;
        resize(std::max(1, h.outerSize.width() - margins.width()),
               std::max(1, h.outerSize.height() - margins.height()));
        move(h.outerPos);
    }
};

// ---------------------------------------------------------------------------------------
// Layout: client area at (0, 0), vertical bar at the right, horizontal bar at the bottom,
// each shown only while its page is smaller than its range. A bar that appears or goes
// changes the client size, which is sent as another PM_SIZE (as Win32 does).

int BarExtent()
{
    Host& h = TheHost();
    QStyle* style = h.window ? h.window->style() : QApplication::style();
    return style ? style->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, h.window) : 16;
}

void Relayout()
{
    Host& h = TheHost();
    if (!h.window || h.client == nullptr) {
        return;
    }
    if (h.inLayout) {
        h.layoutAgain = true;
        return;
    }
    h.inLayout = true;
    for (int pass = 0; pass < 8; ++pass) {
        h.layoutAgain = false;
        const bool showH = h.models[PSB_HORZ].Visible();
        const bool showV = h.models[PSB_VERT].Visible();
        const int extent = BarExtent();
        const int width = h.window->width();
        const int height = h.window->height();
        const int cw = std::max(0, width - (showV ? extent : 0));
        const int ch = std::max(0, height - (showH ? extent : 0));
        h.client->setGeometry(0, 0, cw, ch);
        h.bars[PSB_HORZ]->setGeometry(0, ch, cw, extent);
        h.bars[PSB_VERT]->setGeometry(cw, 0, extent, ch);
        h.corner->setGeometry(cw, ch, extent, extent);
        h.bars[PSB_HORZ]->setVisible(showH);
        h.bars[PSB_VERT]->setVisible(showV);
        h.corner->setVisible(showH && showV);
        if (h.alive && (cw != h.sentWidth || ch != h.sentHeight)) {
            h.sentWidth = cw;
            h.sentHeight = ch;
            const uintptr_t kind = h.window->isMaximized() ? 2 : 0;  // SIZE_MAXIMIZED : RESTORED
            Send(PM_SIZE, kind, PackPoint(cw, ch));
        }
        if (!h.layoutAgain || !h.window) {
            break;
        }
    }
    h.inLayout = false;
}

void SyncBar(int bar)
{
    Host& h = TheHost();
    QScrollBar* b = h.bars[bar];
    if (b == nullptr) {
        return;
    }
    const ScrollBarModel& m = h.models[bar];
    // QScrollBar positions run min .. max - page + 1 with the page as page step, so its
    // thumb covers page / (max - min + 1) of the groove, as a Win32 bar's does.
    b->setRange(m.Min(), m.MaxPos());
    b->setPageStep(static_cast<int>(std::min<unsigned>(m.Page(), 0x7FFFFFFF)));
    b->setSingleStep(1);
    b->setValue(m.Pos());  // never triggers an action (setSliderPosition would)
}

// ---------------------------------------------------------------------------------------
// Scroll-bar actions.

uint32_t ScrollMessage(int bar)
{
    return bar == PSB_HORZ ? PM_HSCROLL : PM_VSCROLL;
}

void OnBarAction(int bar, int action)
{
    Host& h = TheHost();
    QScrollBar* b = h.bars[bar];
    if (b == nullptr || !h.alive) {
        return;
    }
    ScrollBarModel& m = h.models[bar];
    uint32_t code = 0;
    switch (action) {
    case QAbstractSlider::SliderSingleStepSub:
        code = PSB_LINEUP;
        break;
    case QAbstractSlider::SliderSingleStepAdd:
        code = PSB_LINEDOWN;
        break;
    case QAbstractSlider::SliderPageStepSub:
        code = PSB_PAGEUP;
        break;
    case QAbstractSlider::SliderPageStepAdd:
        code = PSB_PAGEDOWN;
        break;
    case QAbstractSlider::SliderToMinimum:
        code = PSB_TOP;
        break;
    case QAbstractSlider::SliderToMaximum:
        code = PSB_BOTTOM;
        break;
    case QAbstractSlider::SliderMove:
        code = PSB_THUMBTRACK;
        m.Track(b->sliderPosition());
        break;
    default:
        return;
    }
    // Undo Qt's own step: inside actionTriggered this does not trigger another action, and
    // the value Qt then commits is this position unless the logic writes a new one.
    b->setSliderPosition(m.Pos());
    uintptr_t wParam = code;
    if (code == PSB_THUMBTRACK) {
        wParam |= static_cast<uintptr_t>(static_cast<uint16_t>(m.Get().trackPos)) << 16;
    }
    Send(ScrollMessage(bar), wParam, 0);
    Send(ScrollMessage(bar), PSB_ENDSCROLL, 0);
}

void OnBarPressed(int bar)
{
    TheHost().models[bar].BeginTrack();
}

void OnBarReleased(int bar)
{
    Host& h = TheHost();
    ScrollBarModel& m = h.models[bar];
    if (!m.Tracking()) {
        return;
    }
    const uintptr_t wParam =
        PSB_THUMBPOSITION | (static_cast<uintptr_t>(static_cast<uint16_t>(m.Get().trackPos)) << 16);
    Send(ScrollMessage(bar), wParam, 0);
    m.EndTrack();
    Send(ScrollMessage(bar), PSB_ENDSCROLL, 0);
}

// ---------------------------------------------------------------------------------------
// Wheel: one PM_MOUSEWHEEL per event with a vertical part, positive = away from the user.

void DeliverWheel(QWheelEvent* e)
{
    e->accept();
    int dy = e->angleDelta().y();
    if (dy == 0) {
        dy = e->pixelDelta().y();
    }
    if (dy == 0) {
        return;  // horizontal only, or a phase event: not a notch
    }
    if (e->inverted()) {
        dy = -dy;  // follow the wheel itself, not a "natural scrolling" setting
    }
    dy = std::clamp(dy, -32768, 32767);
    const uint32_t wParam = (static_cast<uint32_t>(static_cast<uint16_t>(dy)) << 16) |
                            KeyState(e->buttons(), e->modifiers());
    Send(PM_MOUSEWHEEL, wParam, PackPoint(e->globalPosition()));
}

// ---------------------------------------------------------------------------------------
// Window creation and destruction.

QIcon AppIcon()
{
    // data/zyn_mouse_32.png (32 x 32, 24-bit colour), embedded by platform/qt/CMakeLists.txt.
    return QIcon(QStringLiteral(":/zyn_mouse/zyn_mouse_32.png"));
}

void KillAllTimers()
{
    Host& h = TheHost();
    for (auto& [id, timer] : h.timers) {
        timer->stop();
        timer->deleteLater();
    }
    h.timers.clear();
}

// Win32 DestroyWindow: PM_DESTROY, then the window goes. From inside one of the window's
// own event handlers it is deleted later; otherwise (refused creation) at once.
void DestroyMainWindow(bool deleteNow = false)
{
    Host& h = TheHost();
    if (!h.alive || h.destroying) {
        return;
    }
    h.destroying = true;
    Send(PM_DESTROY, 0, 0);
    h.alive = false;
    // No more MIDI deliveries: the window that took them is gone.
    PlatMidiSetWake(nullptr);
    if (MidiWakeTarget* target = WakeTarget().load()) {
        target->accepting.store(false, std::memory_order_release);
    }
    KillAllTimers();
    PlatReleaseCapture();
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

}  // namespace

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

void PlatGetScrollInfo(int bar, PlatScrollInfo* info)
{
    if (info == nullptr || (bar != PSB_HORZ && bar != PSB_VERT)) {
        return;
    }
    *info = TheHost().models[bar].Get();
}

void PlatSetScrollInfo(int bar, uint32_t mask, const PlatScrollInfo& info, bool)
{
    if (bar != PSB_HORZ && bar != PSB_VERT) {
        return;
    }
    Host& h = TheHost();
    ScrollBarModel& m = h.models[bar];
    const bool wasVisible = m.Visible();
    m.Set(mask, info);
    SyncBar(bar);
    if (m.Visible() != wasVisible) {
        Relayout();
    }
}

void PlatSetCapture()
{
    Host& h = TheHost();
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

void PlatSetTimer(uint32_t id, uint32_t intervalMs)
{
    Host& h = TheHost();
    if (!h.window) {
        return;
    }
    QTimer*& timer = h.timers[id];
    if (timer == nullptr) {
        timer = new QTimer(h.window);
        timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer, &QTimer::timeout, [id] { Send(PM_TIMER, id, 0); });
    }
    // 0 would fire at every turn of the event loop: take 1 ms, the finest a timer gets here.
    timer->start(static_cast<int>(std::clamp<uint32_t>(intervalMs, 1, 0x7FFFFFFF)));
}

void PlatKillTimer(uint32_t id)
{
    Host& h = TheHost();
    auto it = h.timers.find(id);
    if (it == h.timers.end()) {
        return;
    }
    it->second->stop();
    it->second->deleteLater();
    h.timers.erase(it);
}

void PlatPresent()
{
    Host& h = TheHost();
    if (h.client != nullptr && h.client->isVisible() && h.paintPainter == nullptr) {
        h.client->repaint();
    }
}

void PlatPresentRect(int x, int y, int width, int height)
{
    Host& h = TheHost();
    if (h.client != nullptr && h.client->isVisible() && h.paintPainter == nullptr && width > 0 &&
        height > 0) {
        h.client->repaint(x, y, width, height);
    }
}

void PlatPaintFromCanvas(int srcX, int srcY, int width, int height)
{
    Host& h = TheHost();
    QPainter* p = h.paintPainter;
    if (p == nullptr || width <= 0 || height <= 0) {
        return;
    }
    h.painted = true;
    // Only the part the paint was asked for: a small present must stay cheap.
    const QRect wanted = QRect(0, 0, width, height).intersected(h.paintRect);
    if (wanted.isEmpty()) {
        return;
    }
    QRegion rest(wanted);
    const uint32_t* bits = nullptr;
    int cw = 0;
    int ch = 0;
    if (zm_qt::CanvasPixels(&bits, &cw, &ch)) {
        const QRect src = wanted.translated(srcX, srcY).intersected(QRect(0, 0, cw, ch));
        if (!src.isEmpty()) {
            const QImage image(reinterpret_cast<const uchar*>(bits), cw, ch,
                               static_cast<qsizetype>(cw) * 4, QImage::Format_RGB32);
            const QRect dst = src.translated(-srcX, -srcY);
            p->drawImage(dst.topLeft(), image, src);
            rest -= dst;
        }
    }
    for (const QRect& r : rest) {
        p->fillRect(r, Qt::black);  // outside the canvas: nothing to show
    }
}

void PlatPostQuit(int code)
{
    Host& h = TheHost();
    h.quitPending = true;
    h.quitCode = code;
    if (QCoreApplication::instance() != nullptr) {
        QCoreApplication::exit(code);  // ends a running loop once this message is handled
    }
}

void PlatScreenSize(int* width, int* height)
{
    int w = 800;
    int hgt = 600;
    if (QGuiApplication::instance() != nullptr) {
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            const QRect r = screen->availableGeometry();
            if (r.width() > 0 && r.height() > 0) {
                w = r.width();
                hgt = r.height();
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
    QApplication::setQuitOnLastWindowClosed(false);  // the logic ends the loop itself
    if (className != nullptr && *className != '\0') {
        // The class name becomes the class part of the X11 WM_CLASS ("zyn_mouse", "ZYN_MOUSE",
        // matching StartupWMClass of data/zyn_mouse.desktop); on Wayland the app id names
        // the desktop file, whose name is the class name in lower case.
        QCoreApplication::setApplicationName(QString::fromLatin1(className));
        QGuiApplication::setDesktopFileName(QString::fromLatin1(className).toLower());
    }
    const QIcon icon = AppIcon();
    QApplication::setWindowIcon(icon);

    if (WakeTarget().load() == nullptr) {
        WakeTarget().store(new MidiWakeTarget, std::memory_order_release);
    }
    WakeTarget().load()->accepting.store(true, std::memory_order_release);
    PlatMidiSetWake(&MidiWake);

    auto* window = new HostWindow;
    window->setWindowTitle(QString::fromLatin1(caption != nullptr ? caption : ""));
    window->setWindowIcon(icon);
    host.window = window;
    host.client = new ClientView(window);
    for (int bar : {PSB_HORZ, PSB_VERT}) {
        auto* b = new QScrollBar(bar == PSB_HORZ ? Qt::Horizontal : Qt::Vertical, window);
        b->setObjectName(QLatin1String(bar == PSB_HORZ ? zm_qt::kHorzBarName
                                                       : zm_qt::kVertBarName));
        b->setFocusPolicy(Qt::NoFocus);
        b->setContextMenuPolicy(Qt::PreventContextMenu);
        b->installEventFilter(window);
        b->hide();
        QObject::connect(b, &QAbstractSlider::actionTriggered,
                         [bar](int action) { OnBarAction(bar, action); });
        QObject::connect(b, &QAbstractSlider::sliderPressed, [bar] { OnBarPressed(bar); });
        QObject::connect(b, &QAbstractSlider::sliderReleased, [bar] { OnBarReleased(bar); });
        host.bars[bar] = b;
        host.models[bar] = ScrollBarModel();
        SyncBar(bar);
    }
    host.corner = new QWidget(window);
    host.corner->setAutoFillBackground(true);
    host.corner->hide();

    host.outerPos = QPoint(x, y);
    host.outerSize = QSize(std::max(1, w), std::max(1, h));
    host.frameAdjusted = false;
    host.sentWidth = host.sentHeight = -1;
    host.arrowSet = false;
    host.quitPending = false;
    window->move(host.outerPos);
    window->resize(host.outerSize);

    host.alive = true;
    if (Send(PM_CREATE, 0, 0) == -1) {
        DestroyMainWindow(true);  // Win32 destroys a window whose creation was refused
        return false;
    }
    if (host.alive) {
        Relayout();  // the first PM_SIZE, with the client size
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
        code = h.quitCode;  // quit posted before the loop ran: the loop ends at once
    } else if (QCoreApplication::instance() != nullptr) {
        code = QCoreApplication::exec();
    }
    h.quitPending = false;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return code;
}

// ---------------------------------------------------------------------------------------
// Internal to the back end and its tests.

namespace zm_qt {

QWidget* MainWindow()
{
    return TheHost().window.data();
}

QWidget* ClientArea()
{
    return TheHost().client;
}

QScrollBar* ScrollBar(int bar)
{
    if (bar != PSB_HORZ && bar != PSB_VERT) {
        return nullptr;
    }
    return TheHost().bars[bar];
}

void SetMessageObserver(MessageObserver observer)
{
    TheHost().observer = observer;
}

uint32_t VirtualKeyFor(int qtKey, unsigned modifiers, uint32_t nativeScanCode, bool positional)
{
    const bool keypad = (modifiers & Qt::KeypadModifier) != 0;
    if (qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9) {
        return static_cast<uint32_t>(qtKey - Qt::Key_0) + (keypad ? PVK_NUMPAD0 : PVK_0);
    }
    if (qtKey >= Qt::Key_F1 && qtKey <= Qt::Key_F24) {
        return PVK_F1 + static_cast<uint32_t>(qtKey - Qt::Key_F1);
    }
    if (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z) {
        return static_cast<uint32_t>(qtKey);  // same codes as VK 'A'..'Z'
    }
    switch (qtKey) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return PVK_RETURN;
    case Qt::Key_Shift:
        return PVK_SHIFT;
    case Qt::Key_Control:
        return 0x11;
    case Qt::Key_Alt:
        return 0x12;
    case Qt::Key_Left:
        return PVK_LEFT;
    case Qt::Key_Up:
        return PVK_UP;
    case Qt::Key_Right:
        return PVK_RIGHT;
    case Qt::Key_Down:
        return PVK_DOWN;
    case Qt::Key_Backspace:
        return 0x08;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        return 0x09;
    case Qt::Key_Clear:
        return 0x0C;
    case Qt::Key_Pause:
        return 0x13;
    case Qt::Key_CapsLock:
        return 0x14;
    case Qt::Key_Escape:
        return 0x1B;
    case Qt::Key_Space:
        return 0x20;
    case Qt::Key_PageUp:
        return 0x21;
    case Qt::Key_PageDown:
        return 0x22;
    case Qt::Key_End:
        return 0x23;
    case Qt::Key_Home:
        return 0x24;
    case Qt::Key_Print:
        return 0x2C;
    case Qt::Key_Insert:
        return 0x2D;
    case Qt::Key_Delete:
        return 0x2E;
    case Qt::Key_Meta:
    case Qt::Key_Super_L:
        return 0x5B;
    case Qt::Key_Super_R:
        return 0x5C;
    case Qt::Key_Menu:
        return 0x5D;
    case Qt::Key_NumLock:
        return 0x90;
    case Qt::Key_ScrollLock:
        return 0x91;
    default:
        break;
    }
    if (keypad) {
        switch (qtKey) {
        case Qt::Key_Asterisk:
            return 0x6A;  // VK_MULTIPLY
        case Qt::Key_Plus:
            return PVK_ADD;
        case Qt::Key_Minus:
            return PVK_SUBTRACT;
        case Qt::Key_Period:
        case Qt::Key_Comma:
            return 0x6E;  // VK_DECIMAL
        case Qt::Key_Slash:
            return 0x6F;  // VK_DIVIDE
        default:
            return 0;
        }
    }
    // The main-row digit keys by position (evdev key codes 10..19 = "1".."9", "0"), so that
    // shifted digits and layouts whose digit row types other characters still give the digit
    // codes, as the Win32 virtual keys of those keys do.
    if (positional && nativeScanCode >= 10 && nativeScanCode <= 19) {
        return nativeScanCode == 19 ? PVK_0 : PVK_0 + (nativeScanCode - 9);
    }
    switch (qtKey) {
    case Qt::Key_Plus:
    case Qt::Key_Equal:
        return 0xBB;  // VK_OEM_PLUS
    case Qt::Key_Comma:
        return 0xBC;
    case Qt::Key_Minus:
        return 0xBD;
    case Qt::Key_Period:
        return 0xBE;
    default:
        return 0;
    }
}

}  // namespace zm_qt
