// Internal to the Qt back end: texts kept as coverage masks, drawn into the canvas with the
// blend Qt's raster engine uses for a solid pen on RGB32, so that the words written are the
// ones QPainter would write.
#pragma once

#include <cstdint>

#include "platform/platform.h"

class QFont;
class QString;

namespace zm_qt {

// On by default; off, every text goes through QPainter (the reference the cache must match).
void SetGlyphCache(bool on);
bool GlyphCacheOn();

struct TextTarget {
    uint32_t* bits;
    int width;
    int height;
};

enum class Cached {
    kDrawn,   // from its mask
    kViaQt,   // known, and left to QPainter for good
    kUnknown, // not held: GlyphCacheAddAndDraw may keep it
};
// Draws the text (its bytes as the logic gave them) at (x, y), the top-left of its cell, in
// rgb (0x00RRGGBB) when the cache holds its mask.
Cached GlyphCacheDraw(PlatFont font, const char* bytes, int len, int x, int y, uint32_t rgb,
                      const TextTarget& target);

// Renders the text once with QPainter (font, its ascent in pixels, the decoded text), keeps
// its mask and draws it as GlyphCacheDraw does. False when this text is to be drawn by
// QPainter: it is new (a text is kept from its second draw on), the mask could not
// reproduce it exactly, or it is too long to keep.
bool GlyphCacheAddAndDraw(PlatFont font, const char* bytes, int len, const QFont& qfont, int ascent,
                          const QString& text, int x, int y, uint32_t rgb,
                          const TextTarget& target);

// What the cache holds now (for the tests): texts kept as masks, texts left to QPainter, and
// the bytes of masks, keys and entries.
void GlyphCacheUsage(int* masks, int* viaQt, size_t* bytes);

} // namespace zm_qt
