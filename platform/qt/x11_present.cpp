// The client area on X11 without Qt's backing store: the canvas lives in memory the X server
// maps too, and a present is one request that has the server copy the rectangle from it
// into the client's own window.
//
// Through Qt, each present of the monitor repainted the client widget into the backing
// store (a copy), waited for the server to finish reading the previous flush (a round
// trip), and flushed; and the backing store held a second picture of the whole window,
// 8 MB at 1920x1080. Here nothing is copied and nothing waited for. The server reads the
// canvas when it runs the request: whatever is drawn before that can only show early, and
// it is put again by its own present.
//
// The client widget paints on screen (a native window Qt paints nothing into); exposes and
// resizes reach the logic as paints, as before. Where any of it is missing (another
// platform, a scaled screen, no shared memory by file descriptor, a visual other than 24-bit
// true colour) the client stays an ordinary widget. ZM_X11_VIA_QT=1 keeps it one, too.
#include <QtCore/QPointer>
#include <QtGui/QGuiApplication>
#include <QtGui/QRegion>
#include <QtGui/QScreen>
#include <QtGui/qguiapplication_platform.h>
#include <QtWidgets/QWidget>

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "platform/qt/canvas.h"
#include "platform/qt/host_state.h"

namespace zm_qt {
namespace {

struct Direct {
    QPointer<QWidget> client; // set while the client paints on screen
    xcb_connection_t* conn = nullptr;
    xcb_window_t window = 0;
    xcb_gcontext_t copy = 0;  // the puts: no exposure events
    xcb_gcontext_t black = 0; // what lies outside the canvas
    xcb_shm_seg_t seg = 0;
    uint64_t attached = 0; // the serial of the canvas the segment holds
    size_t offset = 0;     // where its pixels start
};

Direct& TheDirect()
{
    static Direct direct;
    return direct;
}

xcb_connection_t* QtConnection()
{
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 != nullptr ? x11->connection() : nullptr;
}

// The server can map our memory by descriptor and shows 24-bit true colour as the canvas
// holds it: 0x00RRGGBB in 32-bit little-endian words.
bool ServerTakesTheCanvas(xcb_connection_t* c)
{
    const xcb_query_extension_reply_t* shm = xcb_get_extension_data(c, &xcb_shm_id);
    if (shm == nullptr || !shm->present) {
        return false;
    }
    xcb_shm_query_version_reply_t* v =
        xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr);
    const bool byFd = v != nullptr && (v->major_version > 1 || v->minor_version >= 2);
    std::free(v);
    const xcb_setup_t* setup = xcb_get_setup(c);
    if (!byFd || setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) {
        return false;
    }
    bool format = false;
    for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem; xcb_format_next(&f)) {
        format |= f.data->depth == 24 && f.data->bits_per_pixel == 32;
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(setup).data;
    if (!format || screen == nullptr || screen->root_depth != 24) {
        return false;
    }
    for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem; xcb_depth_next(&d)) {
        for (auto vt = xcb_depth_visuals_iterator(d.data); vt.rem; xcb_visualtype_next(&vt)) {
            if (vt.data->visual_id == screen->root_visual) {
                return vt.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR &&
                       vt.data->red_mask == 0xFF0000 && vt.data->green_mask == 0xFF00 &&
                       vt.data->blue_mask == 0xFF;
            }
        }
    }
    return false;
}

void Release(Direct& d)
{
    if (d.conn != nullptr) {
        if (d.seg != 0) {
            xcb_shm_detach(d.conn, d.seg);
        }
        if (d.copy != 0) {
            xcb_free_gc(d.conn, d.copy);
            xcb_free_gc(d.conn, d.black);
        }
        xcb_flush(d.conn);
    }
    d.window = 0;
    d.copy = d.black = 0;
    d.seg = 0;
    d.attached = 0;
}

// Back to an ordinary widget, painted again whole through Qt.
void GiveUp(Direct& d, const char* why)
{
    std::fprintf(stderr, "ZYN_MOUSE: the window is drawn through Qt: %s\n", why);
    Release(d);
    if (QWidget* client = d.client) {
        d.client = nullptr;
        client->setAttribute(Qt::WA_PaintOnScreen, false);
        client->update();
    }
}

// The window's drawing contexts and the canvas's segment, made at the first put and again
// for a new window or canvas.
bool Ready(Direct& d)
{
    const auto window = static_cast<xcb_window_t>(d.client->winId());
    if (window != d.window) {
        Release(d);
        xcb_get_geometry_reply_t* g =
            xcb_get_geometry_reply(d.conn, xcb_get_geometry(d.conn, window), nullptr);
        const bool deep = g != nullptr && g->depth == 24;
        std::free(g);
        if (!deep) {
            GiveUp(d, "its window is not 24 bits deep");
            return false;
        }
        d.window = window;
        const uint32_t noExposures = 0;
        d.copy = xcb_generate_id(d.conn);
        xcb_create_gc(d.conn, d.copy, window, XCB_GC_GRAPHICS_EXPOSURES, &noExposures);
        const uint32_t blackValues[] = {0, 0};
        d.black = xcb_generate_id(d.conn);
        xcb_create_gc(d.conn, d.black, window, XCB_GC_FOREGROUND | XCB_GC_GRAPHICS_EXPOSURES,
                      blackValues);
    }
    SharedCanvas shared{};
    const bool inShared = CanvasSharedMemory(&shared);
    if (!inShared || shared.serial != d.attached) {
        if (d.seg != 0) {
            xcb_shm_detach(d.conn, d.seg);
            d.seg = 0;
        }
        const int copy = inShared ? dup(shared.fd) : -1;
        if (copy < 0) {
            GiveUp(d, "the canvas is not in shared memory");
            return false;
        }
        const xcb_shm_seg_t seg = xcb_generate_id(d.conn);
        // The server takes the descriptor (xcb closes our copy once sent).
        xcb_generic_error_t* error =
            xcb_request_check(d.conn, xcb_shm_attach_fd_checked(d.conn, seg, copy, 1));
        if (error != nullptr) {
            std::free(error);
            GiveUp(d, "the X server did not map the canvas");
            return false;
        }
        d.seg = seg;
        d.attached = shared.serial;
        d.offset = shared.offset;
    }
    return true;
}

} // namespace

void DirectSetUp(QWidget* client)
{
    Direct& d = TheDirect();
    const char* viaQt = std::getenv("ZM_X11_VIA_QT");
    if (QGuiApplication::platformName() != QLatin1String("xcb") ||
        (viaQt != nullptr && viaQt[0] == '1')) {
        return;
    }
    const QScreen* screen = QGuiApplication::primaryScreen();
    d.conn = QtConnection();
    if (screen == nullptr || screen->devicePixelRatio() != 1.0 || d.conn == nullptr ||
        !ServerTakesTheCanvas(d.conn)) {
        return;
    }
    d.client = client;
    client->setAttribute(Qt::WA_NativeWindow);
    client->setAttribute(Qt::WA_PaintOnScreen);
    client->setAttribute(Qt::WA_NoSystemBackground);
    client->setAttribute(Qt::WA_OpaquePaintEvent);
}

bool DirectOn()
{
    return TheDirect().client != nullptr;
}

void DirectPut(const QRect& rect, const QPoint& origin)
{
    Direct& d = TheDirect();
    QWidget* client = d.client;
    if (client == nullptr || !client->isVisible()) {
        return;
    }
    if (client->devicePixelRatioF() != 1.0) {
        GiveUp(d, "the screen is scaled");
        return;
    }
    const QRect wanted = rect.intersected(client->rect());
    if (wanted.isEmpty()) {
        return;
    }
    const uint32_t* bits = nullptr;
    int cw = 0;
    int ch = 0;
    QRegion rest(wanted);
    if (CanvasPixels(&bits, &cw, &ch)) {
        if (!Ready(d)) {
            return;
        }
        const QRect src = wanted.translated(origin).intersected(QRect(0, 0, cw, ch));
        if (!src.isEmpty()) {
            const QRect dst = src.translated(-origin);
            xcb_shm_put_image(d.conn, d.window, d.copy, static_cast<uint16_t>(cw),
                              static_cast<uint16_t>(ch), static_cast<uint16_t>(src.x()),
                              static_cast<uint16_t>(src.y()), static_cast<uint16_t>(src.width()),
                              static_cast<uint16_t>(src.height()), static_cast<int16_t>(dst.x()),
                              static_cast<int16_t>(dst.y()), 24, XCB_IMAGE_FORMAT_Z_PIXMAP, 0,
                              d.seg, static_cast<uint32_t>(d.offset));
            rest -= dst;
        }
    } else if (d.window == 0) {
        return; // no canvas yet, and nothing to fill with
    }
    for (const QRect& r : rest) {
        const xcb_rectangle_t fill = {static_cast<int16_t>(r.x()), static_cast<int16_t>(r.y()),
                                      static_cast<uint16_t>(r.width()),
                                      static_cast<uint16_t>(r.height())};
        xcb_poly_fill_rectangle(d.conn, d.window, d.black, 1, &fill);
    }
    xcb_flush(d.conn);
}

void DirectDrop()
{
    Direct& d = TheDirect();
    Release(d);
    d.client = nullptr;
}

} // namespace zm_qt
