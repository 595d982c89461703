// Event codes that cross from C_Midi to C_WinUI::Dispatch, each with one integer argument.
#pragma once

enum ActionCode : int {
    AC_MOVE = 1,
    AC_LDOWN = 3,
    AC_LUP = 4,
    AC_RDOWN = 5,
    AC_RUP = 6,
    AC_LDRAG = 7,
    AC_RDRAG = 8,
    AC_SETCURSOR = 10,
    AC_FULL_REDRAW = 12,
    AC_UPDATE_REDRAW = 13,
    AC_WHEEL = 16,
    AC_TICK = 20,
    AC_ENTER = 31,
    AC_F1 = 34,
    AC_F2 = 35,
    AC_F10 = 43,
    AC_F12 = 45,
    AC_KEY0 = 46,
    AC_KEY1 = 47,
    AC_KEY9 = 55,
    AC_NUM_PLUS = 56,
    AC_NUM_MINUS = 57,
    AC_UP = 58,
    AC_DOWN = 59,
    AC_LEFT = 60,
    AC_RIGHT = 61,
    AC_SHIFT = 62,
};

enum RedrawBits : int { REDRAW_UPDATE = 1, REDRAW_FULL = 2 };
