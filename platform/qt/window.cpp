// The main window's widgets (window host of the Qt back end, contract: platform/platform.h).
//
// One top-level QWidget plays the Win32 main window: its client area is a child widget that
// shows the canvas, with standard scroll bars at the right and bottom edges that belong to
// the frame (they take no wheel, no keys and no button messages of their own). Their Qt
// events become MainWndProc calls with the Win32-style message codes and parameters; the
// host decides nothing the logic decides (where the view is, what a key plays).
#include <QtCore/QMimeData>
#include <QtGui/QCloseEvent>
#include <QtGui/QDragEnterEvent>
#include <QtGui/QDropEvent>
#include <QtGui/QGuiApplication>
#include <QtGui/QImage>
#include <QtGui/QKeyEvent>
#include <QtGui/QMouseEvent>
#include <QtGui/QPaintEngine>
#include <QtGui/QPainter>
#include <QtGui/QTransform>
#include <QtGui/QWheelEvent>
#include <QtWidgets/QWidget>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/platform.h"
#include "platform/qt/canvas.h"
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

using namespace zm_qt;

// ---------------------------------------------------------------------------------------
// Contract: painting from the canvas.

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

namespace {

constexpr uint32_t kOpaque = 0xFF000000u;

// Eight words a step in two 16-byte vectors (GCC and Clang vector extension: SSE2 on x86-64,
// NEON on arm64), as fast as a plain copy; at -O2 the compiler leaves the simple loop scalar.
void CopyRowOpaque(uint32_t* out, const uint32_t* in, int n)
{
    using Quad = uint32_t __attribute__((vector_size(16)));
    int x = 0;
    for (; x + 8 <= n; x += 8) {
        Quad a;
        Quad b;
        std::memcpy(&a, in + x, sizeof a);
        std::memcpy(&b, in + x + 4, sizeof b);
        a |= kOpaque;
        b |= kOpaque;
        std::memcpy(out + x, &a, sizeof a);
        std::memcpy(out + x + 4, &b, sizeof b);
    }
    for (; x < n; ++x) {
        out[x] = in[x] | kOpaque;
    }
}

// The canvas's words keep 0 in their top byte, but the backing stores of xcb, wayland and
// offscreen are 32-bit images that keep that byte (Qt's ARGB32_Premultiplied on xcb and
// wayland), and wayland hands it to the compositor as alpha: copied as it is, the panel is
// see-through. So the copy into the painter's image sets the byte on the way; it costs what
// the plain row copy of QPainter::drawImage did. The painter's image and its whole-number
// scale (a HiDPI output) come from the painter; false when they are anything else.
bool CopyOpaque(QPainter* p, const uint32_t* bits, int canvasWidth, const QRect& src,
                const QPoint& dst)
{
    QPaintEngine* engine = p->paintEngine();
    if (engine == nullptr || engine->type() != QPaintEngine::Raster || p->hasClipping()) {
        return false;
    }
    QPaintDevice* device = engine->paintDevice();
    if (device == nullptr || device->devType() != QInternal::Image) {
        return false;
    }
    auto* image = static_cast<QImage*>(device);
    const QImage::Format format = image->format();
    if (format != QImage::Format_RGB32 && format != QImage::Format_ARGB32 &&
        format != QImage::Format_ARGB32_Premultiplied) {
        return false;
    }
    const QTransform t = p->deviceTransform();
    const double scale = t.m11();
    const int k = static_cast<int>(scale);
    if (t.type() > QTransform::TxScale || k < 1 || k != scale || t.m22() != scale ||
        t.dx() != std::floor(t.dx()) || t.dy() != std::floor(t.dy())) {
        return false;
    }
    const QRect target(dst.x() * k + static_cast<int>(t.dx()),
                       dst.y() * k + static_cast<int>(t.dy()), src.width() * k, src.height() * k);
    QRect rows = target.intersected(image->rect());
    const QRegion clip = engine->systemClip();
    if (!clip.isEmpty()) {
        rows = rows.intersected(clip.boundingRect());
    }
    if (rows.isEmpty()) {
        return true;
    }
    // constBits: the painter already holds this image unshared; bits() could detach it.
    auto* base = const_cast<uchar*>(image->constBits());
    const qsizetype pitch = image->bytesPerLine();
    for (int y = rows.top(); y <= rows.bottom(); ++y) {
        const uint32_t* in =
            bits + static_cast<size_t>(src.y() + (y - target.y()) / k) * canvasWidth + src.x();
        auto* out = reinterpret_cast<uint32_t*>(base + y * pitch);
        if (k == 1) {
            CopyRowOpaque(out + rows.left(), in + (rows.left() - target.x()), rows.width());
        } else {
            for (int x = rows.left(); x <= rows.right(); ++x) {
                out[x] = in[(x - target.x()) / k] | kOpaque;
            }
        }
    }
    return true;
}

} // namespace

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
            const QRect dst = src.translated(-srcX, -srcY);
            if (!CopyOpaque(p, bits, cw, src, dst.topLeft())) {
                const QImage image(reinterpret_cast<const uchar*>(bits), cw, ch,
                                   static_cast<qsizetype>(cw) * 4, QImage::Format_RGB32);
                p->drawImage(dst.topLeft(), image, src);
                // Whatever the device does with the top byte, what shows is opaque.
                const QPainter::CompositionMode mode = p->compositionMode();
                p->setCompositionMode(QPainter::CompositionMode_DestinationOver);
                p->fillRect(dst, Qt::black);
                p->setCompositionMode(mode);
            }
            rest -= dst;
        }
    }
    for (const QRect& r : rest) {
        p->fillRect(r, Qt::black); // outside the canvas: nothing to show
    }
}
