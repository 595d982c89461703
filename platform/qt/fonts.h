// Internal to the Qt back end: what the text renderer needs from the fonts, and what the
// tests may ask about them. The logic uses platform/platform.h only.
#pragma once

#include "platform/platform.h"

class QFont;

namespace zm_qt {

// The font a text is drawn with: the selected one, else the system font.
PlatFont TextFont();

// The Qt font a handle stands for, resolved now if not yet (needs a QGuiApplication), and its
// ascent in pixels (text top to baseline). False for 0 or an unknown or deleted handle.
bool ResolveFont(PlatFont font, QFont* out, int* ascent);

// Cell height (ascent + descent) and average character width (Win32 tmAveCharWidth style:
// weighted small letters and space) of a handle, in pixels.
bool FontCell(PlatFont font, int* cellHeight, double* averageWidth);

} // namespace zm_qt
