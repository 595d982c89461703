// Canvas memory and the text renderer of the Qt back end (contract: platform/platform.h).
//
// The canvas is plain memory of W x H words 0x00RRGGBB that the logic fills directly; a
// QImage (Format_RGB32) wraps the same memory so that QPainter draws text into those words.
// Qt writes 0xFF into the top byte of the pixels its text touches; Format_RGB32 ignores it.
//
// Fonts are asked for from a global constructor of the logic, before any QApplication
// exists: PlatStockFont / PlatCreateFont only record the request and hand out a handle; the
// QFont is made at first use. All state lives behind function-local statics that are never
// destroyed, so neither static-initialisation nor static-destruction order matters (a font
// deleted after the QApplication is gone is simply not freed: the process is ending).
#include "platform/qt/canvas.h"

#include <QtGui/QFont>
#include <QtGui/QFontDatabase>
#include <QtGui/QFontMetrics>
#include <QtGui/QFontMetricsF>
#include <QtGui/QGuiApplication>
#include <QtGui/QImage>
#include <QtGui/QPainter>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------------------------------
// Canvas.

// Guard words before and after the pixels: nothing may ever change them (checked by
// zm_qt::CanvasGuardsIntact, which the tests call after drawing near the edges).
constexpr size_t kGuardWords = 16;
constexpr uint32_t kGuardValue = 0xA5C3E187u;

struct Canvas {
    uint32_t* block = nullptr;  // guards, pixels, guards
    uint32_t* bits = nullptr;
    int width = 0;
    int height = 0;
    QImage* image = nullptr;   // wraps bits; never copied, so painting never detaches it
    QColor textColor{0, 0, 0}; // a new memory device context starts with black text
    // One painter stays open on the image between texts: making one per text cost more
    // than the glyphs. The fills' direct writes in between need nothing from it.
    QPainter* painter = nullptr;
    QString text;  // reused, so drawing a text allocates nothing once warmed up
    PlatFont painterFont = 0;
    int painterAscent = 0;
    QColor painterColor;
};

Canvas& TheCanvas()
{
    static Canvas* canvas = new Canvas;
    return *canvas;
}

// ---------------------------------------------------------------------------------------
// Fonts.

struct FontRecord {
    bool stock = false;
    int stockWhich = 0;
    int height = 0;     // character cell in pixels
    int width = 0;      // average character width, 0 = natural
    int weight = 0;     // 0 = normal, 100..900 as in Win32 (700 = bold)
    int charset = 0;
    std::string face;   // 8-bit face name as given
    bool deleted = false;
    bool resolved = false;
    bool resolvable = false;
    QFont* font = nullptr;
    int ascent = 0;
};

struct FontTable {
    std::vector<FontRecord*> records;  // handle = index + 1
    PlatFont stockHandles[5] = {};
    PlatFont current = 0;
};

FontTable& Fonts()
{
    static FontTable* table = new FontTable;
    return *table;
}

FontRecord* Record(PlatFont handle)
{
    FontTable& t = Fonts();
    if (handle == 0 || handle > t.records.size()) {
        return nullptr;
    }
    FontRecord* r = t.records[handle - 1];
    return r->deleted ? nullptr : r;
}

PlatFont AddRecord(FontRecord* r)
{
    FontTable& t = Fonts();
    t.records.push_back(r);
    return t.records.size();
}

// Face name of the Japanese gothic font, "ＭＳ　ゴシック" in Shift-JIS.
constexpr unsigned char kMsGothicSjis[] = {0x82, 0x6C, 0x82, 0x72, 0x81, 0x40, 0x83,
                                           0x53, 0x83, 0x56, 0x83, 0x62, 0x83, 0x4E};

bool IsMsGothic(const std::string& face)
{
    return face.size() == sizeof kMsGothicSjis &&
           std::memcmp(face.data(), kMsGothicSjis, sizeof kMsGothicSjis) == 0;
}

bool EqualsNoCase(const std::string& a, const char* b)
{
    const size_t n = std::strlen(b);
    if (a.size() != n) {
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != b[i]) {
            return false;
        }
    }
    return true;
}

QStringList Installed(std::initializer_list<const char*> candidates)
{
    QStringList out;
    for (const char* c : candidates) {
        const QString family = QString::fromLatin1(c);
        if (QFontDatabase::hasFamily(family)) {
            out << family;
        }
    }
    return out;
}

// Families to try, best first, for a request. "arial" resolves through fontconfig to
// Liberation Sans (same metrics) when Arial itself is not installed.
QStringList FamiliesFor(const FontRecord& r)
{
    QStringList families;
    if (r.stock) {
        switch (r.stockWhich) {
        case PSTOCK_ANSI_FIXED:
            families = Installed({"Liberation Mono", "DejaVu Sans Mono", "Noto Sans Mono"});
            families << QFontDatabase::systemFont(QFontDatabase::FixedFont).families();
            break;
        case PSTOCK_DEVICE_DEFAULT:
            families = QFontDatabase::systemFont(QFontDatabase::GeneralFont).families();
            families << Installed({"Liberation Sans", "DejaVu Sans"});
            break;
        default:  // proportional, interface and system faces: an Arial-like sans
            families = Installed({"Arial", "Liberation Sans", "DejaVu Sans"});
            break;
        }
    } else if (r.charset == 128 || IsMsGothic(r.face)) {
        // A Japanese gothic face if one is installed, else the closest sans.
        families = Installed({"MS Gothic", "IPAexGothic", "IPAGothic", "Noto Sans CJK JP",
                              "Noto Sans JP", "Source Han Sans JP", "TakaoGothic", "VL Gothic",
                              "Droid Sans Fallback"});
        families << Installed({"Liberation Sans", "DejaVu Sans"});
    } else if (EqualsNoCase(r.face, "arial")) {
        families = Installed({"Arial", "Liberation Sans"});
    } else {
        if (!r.face.empty()) {
            families << QString::fromLatin1(r.face.data(), static_cast<qsizetype>(r.face.size()));
        }
        families << Installed({"Liberation Sans", "DejaVu Sans"});
    }
    families << QStringLiteral("sans-serif");
    families.removeDuplicates();
    return families;
}

int CellOf(const QFont& f)
{
    const QFontMetrics m(f);
    return m.ascent() + m.descent();
}

// Average character width as Win32 reports it for a TrueType face (tmAveCharWidth, from the
// OS/2 table's xAvgCharWidth of version 0..2 fonts such as Arial): the average of the small
// letters and the space, weighted by their frequency in English text. Liberation Sans has
// Arial's advance widths, so this gives Arial's figure; its own xAvgCharWidth (an average
// over all its glyphs, Cyrillic and Greek included) would be about 30 % larger.
double WeightedAverageWidth(const QFont& f)
{
    static constexpr int kWeights[26] = {64, 14, 27, 35, 100, 20, 14, 42, 63, 3, 6, 35, 20,
                                         56, 56, 17, 4,  49, 56, 71, 31, 10, 18, 3, 18, 2};
    const QFontMetricsF m(f);
    double sum = 166 * m.horizontalAdvance(QLatin1Char(' '));
    for (int i = 0; i < 26; ++i) {
        sum += kWeights[i] * m.horizontalAdvance(QLatin1Char(static_cast<char>('a' + i)));
    }
    return sum / 1000.0;
}

// Makes the QFont of a record: the pixel size whose ascent + descent equals the requested
// cell height (the largest whose cell fits, if none is exact), bold for weights of 600 and
// more, and for a given width a horizontal stretch that brings the average character width
// to it.
void Resolve(FontRecord& r)
{
    if (r.resolved) {
        return;
    }
    if (QGuiApplication::instance() == nullptr) {
        return;  // too early: fonts can only be measured once the application exists
    }
    r.resolved = true;

    int height = r.height;
    int weight = r.weight;
    if (r.stock) {
        height = r.stockWhich == PSTOCK_SYSTEM ? 16 : 13;
        weight = r.stockWhich == PSTOCK_SYSTEM ? 700 : 400;
    }
    if (height < 0) {
        height = -height;  // Win32: a negative height is the em height; close enough here
    }
    if (height == 0) {
        height = 16;
    }
    if (weight <= 0) {
        weight = 400;
    }

    QFont f;
    f.setFamilies(FamiliesFor(r));
    f.setStyleHint(r.stock && r.stockWhich == PSTOCK_ANSI_FIXED ? QFont::TypeWriter
                                                                 : QFont::SansSerif);
    f.setWeight(static_cast<QFont::Weight>(std::clamp(weight, 1, 1000)));
    f.setKerning(false);  // Win32 TextOut does not kern
    f.setStyleStrategy(QFont::StyleStrategy(QFont::PreferAntialias | QFont::NoSubpixelAntialias));

    // Cell height: roughly 7/8 of the cell is the em for Arial-like faces; walk from there.
    int px = std::max(1, static_cast<int>(std::lround(height * 0.875)));
    f.setPixelSize(px);
    while (px > 1 && CellOf(f) > height) {
        f.setPixelSize(--px);
    }
    for (;;) {
        QFont bigger(f);
        bigger.setPixelSize(px + 1);
        if (px >= 4 * height || CellOf(bigger) > height) {
            break;
        }
        f = bigger;
        ++px;
    }

    if (r.width > 0) {
        const double natural = WeightedAverageWidth(f);
        if (natural > 0) {
            const int stretch = static_cast<int>(std::lround(100.0 * r.width / natural));
            f.setStretch(std::clamp(stretch, 1, 4000));
        }
    }

    r.font = new QFont(f);
    r.ascent = QFontMetrics(f).ascent();
    r.resolvable = true;
}

}  // namespace

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
    auto* block = static_cast<uint32_t*>(std::calloc(count + 2 * kGuardWords, sizeof(uint32_t)));
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
    if (image == nullptr || image->isNull()) {
        delete image;
        std::free(block);
        return nullptr;
    }
    Canvas& c = TheCanvas();
    c.block = block;
    c.bits = bits;
    c.width = width;
    c.height = height;
    c.image = image;
    return bits;
}

void PlatCanvasRelease()
{
    Canvas& c = TheCanvas();
    delete c.painter;  // ends painting before the image goes
    c.painter = nullptr;
    c.painterFont = 0;
    delete c.image;
    c.image = nullptr;
    std::free(c.block);
    c.block = nullptr;
    c.bits = nullptr;
    c.width = 0;
    c.height = 0;
}

// ---------------------------------------------------------------------------------------
// Contract: fonts and text.

PlatFont PlatStockFont(int which)
{
    if (which < PSTOCK_ANSI_FIXED || which > PSTOCK_SYSTEM) {
        return 0;
    }
    FontTable& t = Fonts();
    if (t.stockHandles[which] == 0) {
        auto* r = new (std::nothrow) FontRecord;
        if (r == nullptr) {
            return 0;
        }
        r->stock = true;
        r->stockWhich = which;
        t.stockHandles[which] = AddRecord(r);
    }
    return t.stockHandles[which];
}

PlatFont PlatCreateFont(int height, int width, int weight, int charset, const char* face)
{
    auto* r = new (std::nothrow) FontRecord;
    if (r == nullptr) {
        return 0;
    }
    r->height = height;
    r->width = width;
    r->weight = weight;
    r->charset = charset;
    if (face != nullptr) {
        r->face.assign(face, strnlen(face, 32));  // LOGFONT face names hold 31 bytes
    }
    return AddRecord(r);
}

void PlatDeleteFont(PlatFont font)
{
    FontRecord* r = Record(font);
    if (r == nullptr || r->stock) {
        return;  // deleting a stock font does nothing
    }
    if (Fonts().current == font) {
        return;  // as in Win32: a selected font is not deleted
    }
    r->deleted = true;
    if (QGuiApplication::instance() != nullptr) {
        delete r->font;
        r->font = nullptr;
    }
    // Otherwise (fonts are deleted by a global destructor, after the application object is
    // gone) the QFont is kept: freeing it then would touch Qt's font caches after their end.
}

void PlatSelectFont(PlatFont font)
{
    if (Record(font) != nullptr) {
        Fonts().current = font;
    }
}

void PlatSetTextColor(uint32_t colorRef)
{
    TheCanvas().textColor = QColor(static_cast<int>(colorRef & 0xFF),
                                   static_cast<int>((colorRef >> 8) & 0xFF),
                                   static_cast<int>((colorRef >> 16) & 0xFF));
}

namespace {

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
        const int extra = b >= 0xF0 && b < 0xF5 ? 3 : b >= 0xE0 ? (b < 0xF0 ? 2 : -1) : b >= 0xC2 ? 1 : -1;
        if (extra < 0 || i + extra >= len) return -1;
        char32_t cp = b & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            const auto c = static_cast<unsigned char>(text[i + k]);
            if ((c & 0xC0) != 0x80) return -1;
            cp = (cp << 6) | (c & 0x3F);
        }
        const char32_t least = extra == 1 ? 0x80 : extra == 2 ? 0x800 : 0x10000;
        if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
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

}  // namespace

void PlatTextOut(int x, int y, const char* text, int len)
{
    Canvas& c = TheCanvas();
    if (c.image == nullptr || text == nullptr || len <= 0) {
        return;
    }
    PlatFont handle = Fonts().current;
    if (Record(handle) == nullptr) {
        handle = PlatStockFont(PSTOCK_SYSTEM);  // what a new device context starts with
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

bool ResolveFont(PlatFont font, QFont* out, int* ascent)
{
    FontRecord* r = Record(font);
    if (r == nullptr) {
        return false;
    }
    Resolve(*r);
    if (!r->resolvable || r->font == nullptr) {
        return false;
    }
    *out = *r->font;
    *ascent = r->ascent;
    return true;
}

bool FontCell(PlatFont font, int* cellHeight, double* averageWidth)
{
    QFont f;
    int ascent = 0;
    if (!ResolveFont(font, &f, &ascent)) {
        return false;
    }
    *cellHeight = CellOf(f);
    *averageWidth = WeightedAverageWidth(f);
    return true;
}

}  // namespace zm_qt
