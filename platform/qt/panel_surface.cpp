// A surface of its own for a rectangle the logic presents again and again (the MIDI IN
// MONITOR while a clock streams in, 48 times a second).
//
// On Wayland, Qt before 6.8 paints each repaint into a buffer the compositor is not
// holding and first copies the whole previous buffer into it; wlroots' pixman renderer
// holds the shown buffer until the next commit, so every present copied the whole window
// (8 MB at 1916x1053), however small the rectangle. A child window with a backing store of
// its own is a subsurface with buffers of the panel's size: a present there copies those.
// A native child widget would not do: those Qt versions flush it into the top level's
// buffer. Elsewhere (X11, newer Qt) nothing is copied, and the client area presents alone.
#include <QtCore/QLibraryInfo>
#include <QtCore/QPointer>
#include <QtCore/QVersionNumber>
#include <QtGui/QBackingStore>
#include <QtGui/QGuiApplication>
#include <QtGui/QPainter>
#include <QtGui/QRegion>
#include <QtGui/QWindow>

#include "platform/qt/host_state.h"

namespace zm_qt {
namespace {

// Presents of one rectangle in a row before it gets its surface, and the most of the
// client area it may cover.
constexpr int kRepeatsBeforeSurface = 8;
constexpr int kLargestShare = 8; // an eighth

bool SurfaceSavesCopies()
{
    static const bool saves = QGuiApplication::platformName() == QLatin1String("wayland") &&
                              QLibraryInfo::version() < QVersionNumber(6, 8);
    return saves;
}

// Passes all input to the window below: the pointer plays there as anywhere else.
class PanelWindow : public QWindow {
  public:
    explicit PanelWindow(QWindow* parent) : QWindow(parent), store_(this)
    {
        setFlags(Qt::WindowTransparentForInput | Qt::WindowDoesNotAcceptFocus);
    }
    QBackingStore& Store() { return store_; }

  private:
    QBackingStore store_;
};

struct Panel {
    QPointer<PanelWindow> window;
    QRect rect; // client coordinates
    QRect candidate;
    int repeats = 0;
};

Panel& ThePanel()
{
    static Panel panel;
    return panel;
}

// dirty: client coordinates, within the panel.
void Paint(Panel& panel, const QRect& dirty)
{
    Host& h = TheHost();
    QWindow* top = h.client->window()->windowHandle();
    const QPoint at = h.client->mapTo(h.client->window(), panel.rect.topLeft());
    if (top == nullptr || panel.window->parent() != top) {
        PanelDrop();
        return;
    }
    if (panel.window->position() != at) {
        panel.window->setPosition(at);
    }
    QBackingStore& store = panel.window->Store();
    const QRegion region(dirty.translated(-panel.rect.topLeft()));
    store.beginPaint(region);
    {
        QPainter p(store.paintDevice());
        PaintCanvas(&p, dirty, h.canvasOrigin, panel.rect.topLeft());
    }
    store.endPaint();
    store.flush(region);
}

void Open(Panel& panel, const QRect& rect)
{
    Host& h = TheHost();
    QWindow* top = h.client->window()->windowHandle();
    if (top == nullptr) {
        return;
    }
    panel.rect = rect;
    panel.window = new PanelWindow(top); // goes with its parent, the top level's window
    panel.window->setGeometry(
        QRect(h.client->mapTo(h.client->window(), rect.topLeft()), rect.size()));
    panel.window->Store().resize(rect.size());
    panel.window->show();
    Paint(panel, rect);
}

} // namespace

bool PanelPresent(const QRect& rect)
{
    Panel& panel = ThePanel();
    if (!SurfaceSavesCopies()) {
        return false;
    }
    if (!panel.window) {
        const QWidget* client = TheHost().client;
        panel.repeats = rect == panel.candidate ? panel.repeats + 1 : 0;
        panel.candidate = rect;
        const long long area = static_cast<long long>(rect.width()) * rect.height();
        const long long whole = static_cast<long long>(client->width()) * client->height();
        if (panel.repeats < kRepeatsBeforeSurface || area * kLargestShare > whole ||
            !client->rect().contains(rect)) {
            return false;
        }
        Open(panel, rect);
        // A new subsurface shows from its parent's next commit on: the client presents too.
        return false;
    }
    if (!panel.rect.contains(rect)) {
        return false;
    }
    Paint(panel, rect);
    return true;
}

void PanelFollow(const QRect& rect)
{
    Panel& panel = ThePanel();
    if (panel.window && rect.intersects(panel.rect)) {
        Paint(panel, rect.intersected(panel.rect));
    }
}

void PanelDrop()
{
    Panel& panel = ThePanel();
    delete panel.window.data();
    panel.window = nullptr;
    panel.repeats = 0;
    panel.candidate = QRect();
}

} // namespace zm_qt
