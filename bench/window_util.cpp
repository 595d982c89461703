#include "bench/window_util.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QEventLoop>
#include <QtCore/QTimer>
#include <QtGui/QWindow>
#include <QtWidgets/QWidget>

#include "lcd/lcd.h"
#include "platform/platform.h"
#include "platform/qt/host.h"

namespace zm_bench {

void UseOffscreenUnlessSet()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", ZM_BENCH_OFFSCREEN);
}

bool OpenMainWindow(int width, int height)
{
    CanvasWidth = width;
    CanvasHeight = height;
    if (!PlatCreateMainWindow("ZYN_MOUSE", "ZYN_MOUSE Ver1.02", 0, 0, width, height))
        return false;
    PlatShowWindow();
    // A few UI cycles: the panel is drawn and the window is on screen.
    RunEventLoopMs(200);
    QWidget* w = zm_qt::MainWindow();
    return w != nullptr && w->isVisible() && w->windowHandle() != nullptr &&
           w->windowHandle()->isExposed();
}

void CloseMainWindow()
{
    if (QWidget* w = zm_qt::MainWindow())
        w->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void RunEventLoopMs(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace zm_bench
