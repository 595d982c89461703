// Canvas memory and text of the Qt back end (contract: platform/platform.h).
//
// The canvas is memory of W x H words 0x00RRGGBB that the logic fills directly; a QImage
// (Format_RGB32) wraps the same memory so that QPainter draws text into those words. It is
// shared memory where the system has it, so that the X server can read it (x11_present.cpp).
// Qt writes 0xFF into the top byte of the pixels its text touches; Format_RGB32 ignores it.
// The fonts are fonts.cpp's; texts seen before are drawn from glyph_cache.cpp's masks, word for
// word as QPainter would draw them.
#include "platform/qt/canvas.h"

#include <QtGui/QFont>
#include <QtGui/QImage>
#include <QtGui/QPainter>

#include <cstdlib>

#include <sys/mman.h>
#include <unistd.h>

#include "platform/qt/fonts.h"
#include "platform/qt/glyph_cache.h"

namespace {

// Guard words before and after the pixels: nothing may ever change them (checked by
// zm_qt::CanvasGuardsIntact, which the tests call after drawing near the edges).
constexpr size_t kGuardWords = 16;
constexpr uint32_t kGuardValue = 0xA5C3E187u;

struct Canvas {
    uint32_t* block = nullptr; // guards, pixels, guards
    size_t blockBytes = 0;
    int fd = -1; // the shared memory of the block, or -1: it came from calloc
    uint64_t serial = 0;
    uint32_t* bits = nullptr;
    int width = 0;
    int height = 0;
    QImage* image = nullptr;   // wraps bits; never copied, so painting never detaches it
    QColor textColor{0, 0, 0}; // a new memory device context starts with black text
    uint32_t textRgb = 0;      // the same as 0x00RRGGBB, for the glyph cache
    // One painter stays open on the image between texts: making one per text cost more
    // than the glyphs. The fills' direct writes in between need nothing from it.
    QPainter* painter = nullptr;
    QString text; // reused, so drawing a text allocates nothing once warmed up
    PlatFont painterFont = 0;
    int painterAscent = 0;
    QColor painterColor;
};

Canvas& TheCanvas()
{
    static Canvas* canvas = new Canvas;
    return *canvas;
}

// Decodes into out (room for len UTF-16 units); the count written, or -1 when the bytes
// are no well-formed UTF-8 (overlong forms and surrogates included).
int DecodeUtf8(const char* text, int len, QChar* out)
{
    int n = 0;
    for (int i = 0; i < len;) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {
            out[n++] = QChar(b);
            ++i;
            continue;
        }
        const int extra = b >= 0xF0 && b < 0xF5 ? 3
                          : b >= 0xE0           ? (b < 0xF0 ? 2 : -1)
                          : b >= 0xC2           ? 1
                                                : -1;
        if (extra < 0 || i + extra >= len)
            return -1;
        char32_t cp = b & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            const auto c = static_cast<unsigned char>(text[i + k]);
            if ((c & 0xC0) != 0x80)
                return -1;
            cp = (cp << 6) | (c & 0x3F);
        }
        const char32_t least = extra == 1 ? 0x80 : extra == 2 ? 0x800 : 0x10000;
        if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return -1;
        if (cp >= 0x10000) {
            out[n++] = QChar::highSurrogate(cp);
            out[n++] = QChar::lowSurrogate(cp);
        } else {
            out[n++] = QChar(static_cast<char16_t>(cp));
        }
        i += 1 + extra;
    }
    return n;
}

} // namespace

// ---------------------------------------------------------------------------------------
// Contract: canvas.

uint32_t* PlatCanvasCreate(int width, int height)
{
    PlatCanvasRelease();
    if (width <= 0 || height <= 0) {
        return nullptr;
    }
    // Both sizes are below 2^31, so their product fits a 64-bit size_t.
    static_assert(sizeof(size_t) >= 8);
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    if (count > SIZE_MAX / sizeof(uint32_t) - 2 * kGuardWords) {
        return nullptr;
    }
    const size_t bytes = (count + 2 * kGuardWords) * sizeof(uint32_t);
    // Shared memory starts zeroed, as calloc's does.
    int fd = memfd_create("zyn_mouse canvas", MFD_CLOEXEC);
    void* shared = MAP_FAILED;
    if (fd >= 0 && ftruncate(fd, static_cast<off_t>(bytes)) == 0) {
        shared = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    if (shared == MAP_FAILED && fd >= 0) {
        close(fd);
        fd = -1;
    }
    auto* block =
        shared != MAP_FAILED
            ? static_cast<uint32_t*>(shared)
            : static_cast<uint32_t*>(std::calloc(count + 2 * kGuardWords, sizeof(uint32_t)));
    if (block == nullptr) {
        return nullptr;
    }
    uint32_t* bits = block + kGuardWords;
    for (size_t i = 0; i < kGuardWords; ++i) {
        block[i] = kGuardValue;
        bits[count + i] = kGuardValue;
    }
    QImage* image = nullptr;
    try {
        image = new QImage(reinterpret_cast<uchar*>(bits), width, height,
                           static_cast<qsizetype>(width) * 4, QImage::Format_RGB32);
    } catch (...) {
        image = nullptr;
    }
    Canvas& c = TheCanvas();
    c.block = block;
    c.blockBytes = bytes;
    c.fd = fd;
    ++c.serial;
    if (image == nullptr || image->isNull()) {
        delete image;
        PlatCanvasRelease();
        return nullptr;
    }
    c.bits = bits;
    c.width = width;
    c.height = height;
    c.image = image;
    return bits;
}

void PlatCanvasRelease()
{
    Canvas& c = TheCanvas();
    delete c.painter; // ends painting before the image goes
    c.painter = nullptr;
    c.painterFont = 0;
    delete c.image;
    c.image = nullptr;
    if (c.fd >= 0) {
        munmap(c.block, c.blockBytes);
        close(c.fd);
        c.fd = -1;
    } else {
        std::free(c.block);
    }
    c.block = nullptr;
    c.bits = nullptr;
    c.width = 0;
    c.height = 0;
}

// ---------------------------------------------------------------------------------------
// Contract: text.

void PlatSetTextColor(uint32_t colorRef)
{
    Canvas& c = TheCanvas();
    c.textColor =
        QColor(static_cast<int>(colorRef & 0xFF), static_cast<int>((colorRef >> 8) & 0xFF),
               static_cast<int>((colorRef >> 16) & 0xFF));
    c.textRgb = (colorRef & 0xFF) << 16 | (colorRef & 0xFF00) | ((colorRef >> 16) & 0xFF);
}

void PlatTextOut(int x, int y, const char* text, int len)
{
    Canvas& c = TheCanvas();
    if (c.image == nullptr || text == nullptr || len <= 0) {
        return;
    }
    const PlatFont handle = zm_qt::TextFont();
    const zm_qt::TextTarget target{c.bits, c.width, c.height};
    // A text the cache left to QPainter once is not tried again: making its mask costs
    // several of QPainter's draws, and it would be made at every draw.
    const zm_qt::Cached held =
        zm_qt::GlyphCacheOn() ? zm_qt::GlyphCacheDraw(handle, text, len, x, y, c.textRgb, target)
                              : zm_qt::Cached::kViaQt;
    if (held == zm_qt::Cached::kDrawn) {
        return;
    }
    if (c.painter == nullptr) {
        c.painter = new QPainter(c.image);
        c.painterFont = 0;
        c.painterColor = QColor();
    }
    if (handle != c.painterFont) {
        QFont font;
        if (!zm_qt::ResolveFont(handle, &font, &c.painterAscent)) {
            return;
        }
        c.painter->setFont(font);
        c.painterFont = handle;
    }
    if (c.textColor != c.painterColor) {
        c.painter->setPen(c.textColor);
        c.painterColor = c.textColor;
    }
    c.text.resize(len);
    QChar* out = c.text.data();
    // Device names come as UTF-8; every other text, and bytes that are no valid UTF-8,
    // read as Latin-1.
    const int n = DecodeUtf8(text, len, out);
    if (n >= 0) {
        c.text.truncate(n);
    } else {
        for (int i = 0; i < len; ++i) {
            out[i] = QChar(static_cast<uchar>(text[i]));
        }
    }
    if (held == zm_qt::Cached::kUnknown &&
        zm_qt::GlyphCacheAddAndDraw(handle, text, len, c.painter->font(), c.painterAscent, c.text,
                                    x, y, c.textRgb, target)) {
        return;
    }
    c.painter->drawText(QPointF(x, static_cast<double>(y) + c.painterAscent), c.text);
}

// ---------------------------------------------------------------------------------------
// Internal to the back end.

namespace zm_qt {

bool CanvasPixels(const uint32_t** bits, int* width, int* height)
{
    const Canvas& c = TheCanvas();
    if (c.bits == nullptr) {
        return false;
    }
    *bits = c.bits;
    *width = c.width;
    *height = c.height;
    return true;
}

bool CanvasSharedMemory(SharedCanvas* shared)
{
    const Canvas& c = TheCanvas();
    if (c.bits == nullptr || c.fd < 0) {
        return false;
    }
    *shared = {c.fd, kGuardWords * sizeof(uint32_t), c.serial};
    return true;
}

bool CanvasGuardsIntact()
{
    const Canvas& c = TheCanvas();
    if (c.block == nullptr) {
        return true;
    }
    const size_t count = static_cast<size_t>(c.width) * static_cast<size_t>(c.height);
    for (size_t i = 0; i < kGuardWords; ++i) {
        if (c.block[i] != kGuardValue || c.bits[count + i] != kGuardValue) {
            return false;
        }
    }
    return true;
}

} // namespace zm_qt
