// The standard scroll bars of the main window and the layout they change (window host of
// the Qt back end, contract: platform/platform.h).
//
// The state (range, page, position, track position) lives in ScrollBarModel
// (platform/scrollbar.h) and is mirrored into the QScrollBar. A user action on a bar is
// turned into PM_HSCROLL / PM_VSCROLL with the request code, followed by PSB_ENDSCROLL; the
// QScrollBar's own step is undone (QAbstractSlider::actionTriggered + setSliderPosition), so
// the bar moves only when the logic writes a new position with PlatSetScrollInfo.
#include <QtGui/QWindow>
#include <QtWidgets/QApplication>
#include <QtWidgets/QScrollBar>
#include <QtWidgets/QStyle>

#include <algorithm>

#include "platform/platform.h"
#include "platform/qt/host_state.h"

namespace zm_qt {
namespace {

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

} // namespace

QScrollBar* NewScrollBar(int bar, QWidget* window)
{
    // Where the client area is put on screen by us (X11), the top level's backing store
    // holds little but the bars; the vertical one alone kept a page of it resident for every
    // row, 4.3 MB at 1080 rows. A window of its own inside the top level has a store of its
    // own, 60 kB.
    const bool own = bar == PSB_VERT && DirectOn();
    auto* b =
        new QScrollBar(bar == PSB_HORZ ? Qt::Horizontal : Qt::Vertical, own ? nullptr : window);
    if (own) {
        b->setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus);
        b->setAttribute(Qt::WA_ShowWithoutActivating);
        b->winId();
        window->winId();
        b->windowHandle()->setParent(window->windowHandle());
    }
    b->setObjectName(QLatin1String(bar == PSB_HORZ ? kHorzBarName : kVertBarName));
    b->setFocusPolicy(Qt::NoFocus);
    b->setContextMenuPolicy(Qt::PreventContextMenu);
    b->installEventFilter(window);
    b->hide();
    QObject::connect(b, &QAbstractSlider::actionTriggered,
                     [bar](int action) { OnBarAction(bar, action); });
    QObject::connect(b, &QAbstractSlider::sliderPressed, [bar] { OnBarPressed(bar); });
    QObject::connect(b, &QAbstractSlider::sliderReleased, [bar] { OnBarReleased(bar); });
    return b;
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
    b->setValue(m.Pos()); // never triggers an action (setSliderPosition would)
}

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
    PanelDrop(); // made again for the new layout, once presents ask for it
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
            const uintptr_t kind = h.window->isMaximized() ? 2 : 0; // SIZE_MAXIMIZED : RESTORED
            Send(PM_SIZE, kind, PackPoint(cw, ch));
        }
        if (!h.layoutAgain || !h.window) {
            break;
        }
    }
    h.inLayout = false;
}

QScrollBar* ScrollBar(int bar)
{
    if (bar != PSB_HORZ && bar != PSB_VERT) {
        return nullptr;
    }
    return TheHost().bars[bar];
}

} // namespace zm_qt

using namespace zm_qt;

// ---------------------------------------------------------------------------------------
// Contract: scroll bars.

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
