// The main window's widgets (window host of the Qt back end, contract: platform/platform.h).
//
// One top-level QWidget plays the Win32 main window: its client area is a child widget that
// shows the canvas, with standard scroll bars at the right and bottom edges that belong to
// the frame (they take no wheel, no keys and no button messages of their own). Their Qt
// events become MainWndProc calls with the Win32-style message codes and parameters; the
// host decides nothing the logic decides (where the view is, what a key plays). The
// present, from the canvas into the paint these widgets ask for, is in present.cpp.
#include <QtCore/QMimeData>
#include <QtGui/QCloseEvent>
#include <QtGui/QDragEnterEvent>
#include <QtGui/QDropEvent>
#include <QtGui/QGuiApplication>
#include <QtGui/QKeyEvent>
#include <QtGui/QMouseEvent>
#include <QtGui/QPainter>
#include <QtGui/QWheelEvent>
#include <QtWidgets/QWidget>

#include <algorithm>

#include "platform/platform.h"
#include "platform/qt/host_state.h"

namespace zm_qt {
namespace {

constexpr intptr_t kHtClient = 1; // WM_SETCURSOR hit-test code of the client area

void SetCursorMessage(uint32_t mouseMessage)
{
    Send(PM_SETCURSOR, 1, kHtClient | static_cast<intptr_t>(mouseMessage << 16));
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
        return; // horizontal only, or a phase event: not a notch
    }
    if (e->inverted()) {
        dy = -dy; // follow the wheel itself, not a "natural scrolling" setting
    }
    dy = std::clamp(dy, -32768, 32767);
    const uint32_t wParam = (static_cast<uint32_t>(static_cast<uint16_t>(dy)) << 16) |
                            KeyState(e->buttons(), e->modifiers());
    Send(PM_MOUSEWHEEL, wParam, PackPoint(e->globalPosition()));
}

class ClientView : public QWidget {
  public:
    explicit ClientView(QWidget* parent) : QWidget(parent)
    {
        setObjectName(QLatin1String(kClientAreaName));
        setAttribute(Qt::WA_OpaquePaintEvent);
        setAttribute(Qt::WA_NoSystemBackground);
        setMouseTracking(true);
        setFocusPolicy(Qt::NoFocus);
        DirectSetUp(this);
    }

    // Painting on screen, Qt paints nothing of ours: the paint puts the canvas itself.
    QPaintEngine* paintEngine() const override
    {
        return testAttribute(Qt::WA_PaintOnScreen) ? nullptr : QWidget::paintEngine();
    }

  protected:
    void paintEvent(QPaintEvent* e) override
    {
        Host& h = TheHost();
        if (DirectOn()) {
            h.paintDirect = true;
            h.paintRect = e->rect();
            h.painted = false;
            Send(PM_PAINT, 0, 0);
            h.paintDirect = false;
            if (!h.painted) {
                DirectPut(e->rect(), QPoint(-1 << 20, -1 << 20)); // all of it off the canvas
            }
            return;
        }
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
        setObjectName(QLatin1String(kMainWindowName));
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
            DeliverKey(static_cast<QKeyEvent*>(e), true);
            return true; // Tab and Backtab too: no focus traversal in this window
        case QEvent::KeyRelease:
            DeliverKey(static_cast<QKeyEvent*>(e), false);
            return true;
        case QEvent::ShortcutOverride:
            e->accept(); // every key is the window's own
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

    // A key held while the focus goes is not released to this window: stop its repeat.
    void focusOutEvent(QFocusEvent*) override { StopShiftRepeat(); }

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
    void AdjustForFrame()
    {
        Host& h = TheHost();
        if (h.frameAdjusted || !isVisible() || isMaximized() || isFullScreen()) {
            return;
        }
        const QRect frame = frameGeometry();
        const QSize margins = frame.size() - size();
        if (margins.isEmpty() || (margins.width() <= 0 && margins.height() <= 0)) {
            return; // no frame known (yet), or none at all
        }
        h.frameAdjusted = true;
        resize(std::max(1, h.outerSize.width() - margins.width()),
               std::max(1, h.outerSize.height() - margins.height()));
        move(h.outerPos);
    }
};

} // namespace

QWidget* NewHostWindow()
{
    return new HostWindow;
}

QWidget* NewClientView(QWidget* window)
{
    return new ClientView(window);
}

} // namespace zm_qt
