#include "app/appmain.h"

#include <cstdio>

#include "lcd/lcd.h"
#include "platform/platform.h"

namespace {
const char kInstanceName[] = "ZYN_MOUSE";
const char kClassName[] = "ZYN_MOUSE";
const char kCaption[] = "ZYN_MOUSE Ver1.02";
} // namespace

int AppMain()
{
    if (!PlatTakeInstanceLock(kInstanceName)) {
        PlatMessageBox("Proram still running?", kInstanceName);
        return 1;
    }
    PlatScreenSize(&CanvasWidth, &CanvasHeight);
    if (!PlatCreateMainWindow(kClassName, kCaption, 0, 0, CanvasWidth, CanvasHeight)) {
        // Without a canvas nothing could be drawn: refuse to start rather than run blind.
        std::fputs("zyn_mouse: the main window or its canvas could not be created\n", stderr);
        return 1;
    }
    PlatShowWindow();
    return PlatRunMessageLoop();
}
