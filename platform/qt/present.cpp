// The present of the Qt back end (contract: platform/platform.h): a repaint of the client
// area, and within its paint the canvas copied into the backing store, made opaque.
#include <QtGui/QImage>
#include <QtGui/QPaintEngine>
#include <QtGui/QPainter>
#include <QtGui/QRegion>
#include <QtGui/QTransform>
#include <QtWidgets/QWidget>

#include <cmath>
#include <cstring>

#include "platform/platform.h"
#include "platform/qt/canvas.h"
#include "platform/qt/host_state.h"

using namespace zm_qt;

void PlatPresent()
{
    Host& h = TheHost();
    if (h.client != nullptr && h.client->isVisible() && h.paintPainter == nullptr &&
        !h.paintDirect) {
        h.client->repaint();
        PanelFollow(h.client->rect());
    }
}

void PlatPresentRect(int x, int y, int width, int height)
{
    Host& h = TheHost();
    if (h.client != nullptr && h.client->isVisible() && h.paintPainter == nullptr &&
        !h.paintDirect && width > 0 && height > 0) {
        const QRect rect(x, y, width, height);
        if (DirectOn()) {
            DirectPut(rect, h.canvasOrigin);
        } else if (!PanelPresent(rect)) {
            h.client->repaint(rect);
            PanelFollow(rect);
        }
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
    if ((p == nullptr && !h.paintDirect) || width <= 0 || height <= 0) {
        return;
    }
    h.painted = true;
    h.canvasOrigin = QPoint(srcX, srcY);
    if (h.paintDirect) {
        DirectPut(QRect(0, 0, width, height).intersected(h.paintRect), QPoint(srcX, srcY));
        return;
    }
    // Only the part the paint was asked for: a small present must stay cheap.
    zm_qt::PaintCanvas(p, QRect(0, 0, width, height).intersected(h.paintRect), QPoint(srcX, srcY),
                       QPoint(0, 0));
}

namespace zm_qt {

void PaintCanvas(QPainter* p, const QRect& wanted, const QPoint& origin, const QPoint& at)
{
    if (wanted.isEmpty()) {
        return;
    }
    const int srcX = origin.x();
    const int srcY = origin.y();
    QRegion rest(wanted.translated(-at));
    const uint32_t* bits = nullptr;
    int cw = 0;
    int ch = 0;
    if (zm_qt::CanvasPixels(&bits, &cw, &ch)) {
        const QRect src = wanted.translated(srcX, srcY).intersected(QRect(0, 0, cw, ch));
        if (!src.isEmpty()) {
            const QRect dst = src.translated(-srcX - at.x(), -srcY - at.y());
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

} // namespace zm_qt
