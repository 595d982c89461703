// Fonts of the Qt back end (contract: platform/platform.h): handles for the logic's font
// requests, resolved to QFonts with the cell heights and character widths asked for.
//
// Fonts are asked for from a global constructor of the logic, before any QApplication
// exists: PlatStockFont / PlatCreateFont only record the request and hand out a handle; the
// QFont is made at first use. All state lives behind function-local statics that are never
// destroyed, so neither static-initialisation nor static-destruction order matters (a font
// deleted after the QApplication is gone is simply not freed: the process is ending).
#include "platform/qt/fonts.h"

#include <QtGui/QFont>
#include <QtGui/QFontDatabase>
#include <QtGui/QFontMetrics>
#include <QtGui/QFontMetricsF>
#include <QtGui/QGuiApplication>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

struct FontRecord {
    bool stock = false;
    int stockWhich = 0;
    int height = 0; // character cell in pixels
    int width = 0;  // average character width, 0 = natural
    int weight = 0; // 0 = normal, 100..900 as in Win32 (700 = bold)
    int charset = 0;
    std::string face; // 8-bit face name as given
    bool deleted = false;
    bool resolved = false;
    bool resolvable = false;
    QFont* font = nullptr;
    int ascent = 0;
};

struct FontTable {
    std::vector<FontRecord*> records; // handle = index + 1
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
        default: // proportional, interface and system faces: an Arial-like sans
            families = Installed({"Arial", "Liberation Sans", "DejaVu Sans"});
            break;
        }
    } else if (r.charset == 128 || IsMsGothic(r.face)) {
        // A Japanese gothic face if one is installed, else the closest sans.
        families =
            Installed({"MS Gothic", "IPAexGothic", "IPAGothic", "Noto Sans CJK JP", "Noto Sans JP",
                       "Source Han Sans JP", "TakaoGothic", "VL Gothic", "Droid Sans Fallback"});
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
    static constexpr int kWeights[26] = {64, 14, 27, 35, 100, 20, 14, 42, 63, 3,  6, 35, 20,
                                         56, 56, 17, 4,  49,  56, 71, 31, 10, 18, 3, 18, 2};
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
        return; // too early: fonts can only be measured once the application exists
    }
    r.resolved = true;

    int height = r.height;
    int weight = r.weight;
    if (r.stock) {
        height = r.stockWhich == PSTOCK_SYSTEM ? 16 : 13;
        weight = r.stockWhich == PSTOCK_SYSTEM ? 700 : 400;
    }
    if (height < 0) {
        height = -height; // Win32: a negative height is the em height; close enough here
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
    f.setKerning(false); // Win32 TextOut does not kern
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

} // namespace

// ---------------------------------------------------------------------------------------
// Contract: fonts.

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
        r->face.assign(face, strnlen(face, 32)); // LOGFONT face names hold 31 bytes
    }
    return AddRecord(r);
}

void PlatDeleteFont(PlatFont font)
{
    FontRecord* r = Record(font);
    if (r == nullptr || r->stock) {
        return; // deleting a stock font does nothing
    }
    if (Fonts().current == font) {
        return; // as in Win32: a selected font is not deleted
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

// ---------------------------------------------------------------------------------------
// Internal to the back end.

namespace zm_qt {

PlatFont TextFont()
{
    const PlatFont current = Fonts().current;
    // Nothing selected yet: the system font, what a new device context starts with.
    return Record(current) != nullptr ? current : PlatStockFont(PSTOCK_SYSTEM);
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

} // namespace zm_qt
