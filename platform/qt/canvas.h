// Internal to the Qt back end: what the window host needs from the canvas, and what the
// tests may ask about the fonts. The logic uses platform/platform.h only.
#pragma once

#include <cstdint>

#include "platform/platform.h"

class QFont;

namespace zm_qt {

// The canvas memory and its size; false (and nothing written) while there is no canvas.
bool CanvasPixels(const uint32_t** bits, int* width, int* height);

// True unless something wrote into the guard words around the canvas memory.
bool CanvasGuardsIntact();

// The Qt font a handle stands for, resolved now if not yet (needs a QGuiApplication), and its
// ascent in pixels (text top to baseline). False for 0 or an unknown or deleted handle.
bool ResolveFont(PlatFont font, QFont* out, int* ascent);

// Cell height (ascent + descent) and average character width (Win32 tmAveCharWidth style:
// weighted small letters and space) of a handle, in pixels.
bool FontCell(PlatFont font, int* cellHeight, double* averageWidth);

}  // namespace zm_qt
