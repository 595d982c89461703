// Asks the system about the running program, for the process tests of
// scripts/test-windows.sh:
//   probe origin CLASS    prints "x y width height": the client area of the window of that
//                         class, in screen coordinates
//   probe texts CAPTION   prints the texts of the static controls of the top-level window
//                         with that caption (a message box's message), one a line
//   probe close CLASS     asks the window of that class to close (WM_CLOSE)
// Exit status 1 when there is no such window, 2 on a wrong call.
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

BOOL CALLBACK PrintStatic(HWND child, LPARAM)
{
    char cls[32] = {};
    GetClassNameA(child, cls, sizeof cls);
    if (lstrcmpiA(cls, "Static") == 0) {
        char text[256] = {};
        if (GetWindowTextA(child, text, sizeof text) > 0) {
            std::printf("%s\n", text);
        }
    }
    return TRUE;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        return 2;
    }
    const bool byCaption = std::strcmp(argv[1], "texts") == 0;
    HWND window = byCaption ? FindWindowA(nullptr, argv[2]) : FindWindowA(argv[2], nullptr);
    if (window == nullptr) {
        return 1;
    }
    if (std::strcmp(argv[1], "origin") == 0) {
        POINT origin{0, 0};
        RECT client{};
        ClientToScreen(window, &origin);
        GetClientRect(window, &client);
        std::printf("%ld %ld %ld %ld\n", origin.x, origin.y, client.right, client.bottom);
    } else if (byCaption) {
        EnumChildWindows(window, PrintStatic, 0);
    } else if (std::strcmp(argv[1], "close") == 0) {
        PostMessageA(window, WM_CLOSE, 0, 0);
    } else {
        return 2;
    }
    return 0;
}
