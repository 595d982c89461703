// Program start on Windows: keep the instance and show-state, then the logic's entry routine.
#include "app/appmain.h"
#include "platform/win32/win32.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand)
{
    zm_win32::SetStartup(instance, showCommand);
    return AppMain();
}
