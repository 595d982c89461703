// Texts kept as coverage masks (see glyph_cache.h). This file stays whole, longer than
// most here, because making, checking and drawing a mask share the cache's pools: split
// apart, each would need their layout.
//
// A full redraw draws about a hundred texts, nearly all the same ones every time, and
// QPainter spends microseconds on each; a mask lookup and a blend cost a fraction of that.
//
// Qt's raster engine draws a text glyph by glyph, each from its own coverage map, and blends
// every covered pixel on its own: coverage 255 writes the pen colour with 0xFF on top, any
// other coverage c gives colour * c / 255 + pixel * (255 - c) / 255, each byte rounded on its
// own (no gamma correction for the FreeType engine; measured). Where two glyphs cover the same
// pixel, the second blends over the first's result, and the rounding differs from blending
// their combined coverage once: so a mask keeps, per pixel, the coverage of the first glyph
// there and, apart, those of the glyphs after it, in order.
//
// A mask is made by drawing the text's glyphs one at a time with QPainter onto a scratch
// image; it is then checked by drawing the whole text with QPainter in a colour over a ground
// and comparing every word with the mask's drawing. A text that does not match is marked and
// left to QPainter for good.
#include "platform/qt/glyph_cache.h"

#include "platform/qt/glyph_blend.h"

#include <QtGui/QFont>
#include <QtGui/QFontMetrics>
#include <QtGui/QGlyphRun>
#include <QtGui/QImage>
#include <QtGui/QPainter>
#include <QtGui/QRawFont>
#include <QtGui/QTextLayout>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

// The bound on memory: once any pool is full, everything is dropped and filled again (the
// monitor's changing numbers would otherwise grow it without end). About 1.8 MiB in all.
constexpr size_t kMaxTexts = 2048;
constexpr size_t kTableSize = 4096; // power of two, twice the texts: probes stay short
constexpr size_t kMaxKeyBytes = 64 * 1024;
constexpr size_t kMaxCoverage = 1024 * 1024;
constexpr size_t kMaxRuns = 64 * 1024;
constexpr size_t kMaxLayers = 32 * 1024;
constexpr int kLongestText = 255;
constexpr size_t kSeenSize = 1024;       // power of two
constexpr int kLargestScratch = 1 << 22; // pixels

// Checking a new mask: a ground and a colour whose blends round differently in every byte.
constexpr uint32_t kCheckGround = 0x00C86432;
constexpr uint32_t kCheckColor = 0x0033A1E7;

struct Run { // covered pixels in a row, from the text's top-left
    int16_t dx;
    int16_t dy;
    uint16_t len;
    uint32_t coverage; // offset in Cache::coverage
};

struct Layer { // a later glyph's coverage of a pixel already covered
    int16_t dx;
    int16_t dy;
    uint8_t coverage;
};

struct Entry {
    PlatFont font;
    uint32_t hash;
    uint32_t key; // offset in Cache::keys
    uint32_t keyLen;
    bool viaQt; // the mask cannot reproduce it: QPainter draws it
    uint32_t run;
    uint32_t runCount;
    uint32_t layer;
    uint32_t layerCount;
};

struct Cache {
    bool on = true;
    bool reserved = false;
    std::vector<Entry> entries;
    std::vector<int32_t> table; // entry index, -1 empty
    std::vector<char> keys;
    std::vector<uint8_t> coverage;
    std::vector<Run> runs;
    std::vector<Layer> layers;
    std::vector<zm_qt::Blends> blends;
    // Hashes of texts drawn once and not kept: a text is kept from its second draw on.
    std::vector<uint32_t> seen;
    // Reused while making masks.
    std::vector<uint32_t> scratch;
    std::vector<uint32_t> model;
    std::vector<uint8_t> first;
    std::vector<int> laterAt;
    std::vector<uint8_t> laterCoverage;
};

Cache& TheCache()
{
    static Cache* cache = new Cache;
    return *cache;
}

void Drop(Cache& c)
{
    c.entries.clear();
    std::fill(c.table.begin(), c.table.end(), -1);
    c.keys.clear();
    c.coverage.clear();
    c.runs.clear();
    c.layers.clear();
}

// Once, so that the steady path never allocates: clear() keeps what is reserved here.
void Reserve(Cache& c)
{
    if (c.reserved) {
        return;
    }
    c.entries.reserve(kMaxTexts);
    c.table.assign(kTableSize, -1);
    c.keys.reserve(kMaxKeyBytes);
    c.coverage.reserve(kMaxCoverage);
    c.runs.reserve(kMaxRuns);
    c.layers.reserve(kMaxLayers);
    c.blends.resize(64);
    c.seen.assign(kSeenSize, 0);
    c.reserved = true;
}

uint32_t Hash(PlatFont font, const char* bytes, int len)
{
    uint32_t h = 2166136261u ^ static_cast<uint32_t>(font);
    for (int i = 0; i < len; ++i) {
        h = (h ^ static_cast<unsigned char>(bytes[i])) * 16777619u;
    }
    return h;
}

// The slot holding the text, or the empty slot where it belongs.
size_t Probe(const Cache& c, PlatFont font, const char* bytes, int len, uint32_t hash)
{
    for (size_t i = hash & (kTableSize - 1);; i = (i + 1) & (kTableSize - 1)) {
        const int32_t s = c.table[i];
        if (s < 0) {
            return i;
        }
        const Entry& e = c.entries[static_cast<size_t>(s)];
        if (e.hash == hash && e.font == font && e.keyLen == static_cast<uint32_t>(len) &&
            std::memcmp(c.keys.data() + e.key, bytes, static_cast<size_t>(len)) == 0) {
            return i;
        }
    }
}

void Blit(Cache& c, const Entry& e, int x, int y, uint32_t rgb, const zm_qt::TextTarget& t)
{
    if (e.runCount == 0) {
        return;
    }
    // The ground: the canvas under the first covered pixel, or any colour if that is outside.
    const Run* run = c.runs.data() + e.run;
    const long long gy = static_cast<long long>(y) + run->dy;
    const long long gx = static_cast<long long>(x) + run->dx;
    const bool inside = gy >= 0 && gy < t.height && gx >= 0 && gx < t.width;
    zm_qt::Blender blend(c.blends.data(), 0xFF000000u | rgb,
                         inside ? t.bits[gy * t.width + gx] : 0);
    for (uint32_t i = 0; i < e.runCount; ++i, ++run) {
        const long long row = static_cast<long long>(y) + run->dy;
        if (row < 0 || row >= t.height) {
            continue;
        }
        const long long x0 = static_cast<long long>(x) + run->dx;
        const long long from = std::max(0LL, -x0);
        const long long to = std::min<long long>(run->len, t.width - x0);
        uint32_t* dst = t.bits + row * t.width + x0;
        const uint8_t* cov = c.coverage.data() + run->coverage;
        for (long long k = from; k < to; ++k) {
            blend(dst + k, cov[k]);
        }
    }
    const Layer* layer = c.layers.data() + e.layer;
    for (uint32_t i = 0; i < e.layerCount; ++i, ++layer) {
        const long long row = static_cast<long long>(y) + layer->dy;
        const long long col = static_cast<long long>(x) + layer->dx;
        if (row >= 0 && row < t.height && col >= 0 && col < t.width) {
            blend(t.bits + row * t.width + col, layer->coverage);
        }
    }
}

// Draws the laid-out text's glyphs one by one onto the scratch image (text top-left at
// (ox, oy)), recording per pixel the first glyph's coverage and, in order, the later ones'.
void Rasterise(Cache& c, QImage& image, const QTextLayout& layout, const QTextLine& line,
               int ascent, int ox, int oy)
{
    const int w = image.width();
    const int h = image.height();
    const double baseline = line.y() + line.ascent();
    c.first.assign(static_cast<size_t>(w) * static_cast<size_t>(h), 0);
    c.laterAt.clear();
    c.laterCoverage.clear();
    QPainter p(&image);
    p.setPen(QColor(255, 255, 255));
    QGlyphRun one;
    for (const QGlyphRun& run : layout.glyphRuns()) {
        const QRawFont raw = run.rawFont();
        const QList<quint32> glyphs = run.glyphIndexes();
        const QList<QPointF> at = run.positions();
        one.setRawFont(raw);
        for (qsizetype g = 0; g < glyphs.size(); ++g) {
            const QPointF pos(at[g].x(), at[g].y() - baseline);
            const QRectF box =
                raw.boundingRect(glyphs[g]).translated(pos + QPointF(ox, oy + ascent));
            const int left = std::max(0, static_cast<int>(box.left()) - 3);
            const int top = std::max(0, static_cast<int>(box.top()) - 3);
            const int right = std::min(w, static_cast<int>(box.right()) + 4);
            const int bottom = std::min(h, static_cast<int>(box.bottom()) + 4);
            for (int y = top; y < bottom; ++y) {
                std::fill_n(c.scratch.data() + static_cast<size_t>(y) * w + left,
                            std::max(0, right - left), 0u);
            }
            one.setGlyphIndexes({glyphs[g]});
            one.setPositions({pos});
            p.drawGlyphRun(QPointF(ox, oy + ascent), one);
            for (int y = top; y < bottom; ++y) {
                for (int x = left; x < right; ++x) {
                    const size_t i = static_cast<size_t>(y) * w + x;
                    const auto cov = static_cast<uint8_t>(c.scratch[i] & 0xFF);
                    if (cov == 0) {
                        continue;
                    }
                    if (c.first[i] == 0) {
                        c.first[i] = cov;
                    } else {
                        c.laterAt.push_back(static_cast<int>(i));
                        c.laterCoverage.push_back(cov);
                    }
                }
            }
        }
    }
}

// Appends the recorded coverage to the pools as the entry's runs and layers.
void Store(Cache& c, Entry& e, int w, int h, int ox, int oy)
{
    e.run = static_cast<uint32_t>(c.runs.size());
    e.layer = static_cast<uint32_t>(c.layers.size());
    for (int y = 0; y < h; ++y) {
        const uint8_t* row = c.first.data() + static_cast<size_t>(y) * w;
        for (int x = 0; x < w;) {
            if (row[x] == 0) {
                ++x;
                continue;
            }
            int end = x;
            while (end < w && row[end] != 0 && end - x < 0xFFFF) {
                ++end;
            }
            c.runs.push_back({static_cast<int16_t>(x - ox), static_cast<int16_t>(y - oy),
                              static_cast<uint16_t>(end - x),
                              static_cast<uint32_t>(c.coverage.size())});
            c.coverage.insert(c.coverage.end(), row + x, row + end);
            x = end;
        }
    }
    for (size_t k = 0; k < c.laterAt.size(); ++k) {
        const int i = c.laterAt[k];
        c.layers.push_back({static_cast<int16_t>(i % w - ox), static_cast<int16_t>(i / w - oy),
                            c.laterCoverage[k]});
    }
    e.runCount = static_cast<uint32_t>(c.runs.size()) - e.run;
    e.layerCount = static_cast<uint32_t>(c.layers.size()) - e.layer;
}

// Ink reaching the scratch image's edge may have been cut off: such a mask is not trusted.
bool InkOnBorder(const std::vector<uint32_t>& px, int w, int h)
{
    for (int x = 0; x < w; ++x) {
        if (px[static_cast<size_t>(x)] != kCheckGround ||
            px[static_cast<size_t>(h - 1) * w + x] != kCheckGround) {
            return true;
        }
    }
    for (int y = 0; y < h; ++y) {
        if (px[static_cast<size_t>(y) * w] != kCheckGround ||
            px[static_cast<size_t>(y) * w + w - 1] != kCheckGround) {
            return true;
        }
    }
    return false;
}

// Makes the entry's mask; false when the text is left to QPainter.
bool Make(Cache& c, Entry& e, const QFont& font, int ascent, const QString& text)
{
    // One shaping for the width and the glyphs: it is most of a mask's making.
    QTextLayout layout(text, font);
    layout.beginLayout();
    QTextLine line = layout.createLine();
    layout.endLayout();
    if (!line.isValid() || line.textLength() != text.size()) {
        return false;
    }
    const QFontMetrics metrics(font);
    const int pad = metrics.height() + 4;
    const long long w = static_cast<long long>(std::ceil(line.naturalTextWidth())) + 2LL * pad;
    const long long h = metrics.height() + 2LL * pad;
    if (w <= 0 || w * h > kLargestScratch || w > 30000 || h > 30000) {
        return false;
    }
    const auto count = static_cast<size_t>(w * h);
    c.scratch.assign(count, 0);
    QImage image(reinterpret_cast<uchar*>(c.scratch.data()), static_cast<int>(w),
                 static_cast<int>(h), static_cast<qsizetype>(w) * 4, QImage::Format_RGB32);
    Rasterise(c, image, layout, line, ascent, pad, pad);
    // The mask must fit the pools; a text that needs more than they hold is not kept.
    size_t covered = 0;
    for (uint8_t v : c.first) {
        covered += v != 0;
    }
    if (covered > kMaxCoverage || covered > kMaxRuns || c.laterAt.size() > kMaxLayers) {
        return false;
    }
    if (c.coverage.size() + covered > kMaxCoverage || c.runs.size() + covered > kMaxRuns ||
        c.layers.size() + c.laterAt.size() > kMaxLayers) {
        Drop(c);
    }
    const size_t coverageBefore = c.coverage.size();
    Store(c, e, static_cast<int>(w), static_cast<int>(h), pad, pad);

    // The check: QPainter's drawing of the whole text against the mask's, word for word.
    std::fill(c.scratch.begin(), c.scratch.end(), kCheckGround);
    {
        QPainter p(&image);
        p.setFont(font);
        p.setPen(QColor::fromRgb(kCheckColor));
        p.drawText(QPointF(pad, pad + ascent), text);
    }
    c.model.assign(count, kCheckGround);
    Blit(c, e, pad, pad, kCheckColor, {c.model.data(), static_cast<int>(w), static_cast<int>(h)});
    if (c.model != c.scratch || InkOnBorder(c.scratch, static_cast<int>(w), static_cast<int>(h))) {
        c.runs.resize(e.run);
        c.layers.resize(e.layer);
        c.coverage.resize(coverageBefore);
        return false;
    }
    return true;
}

} // namespace

namespace zm_qt {

void SetGlyphCache(bool on)
{
    Cache& c = TheCache();
    c.on = on;
    if (!on && c.reserved) {
        Drop(c);
    }
}

bool GlyphCacheOn()
{
    return TheCache().on;
}

Cached GlyphCacheDraw(PlatFont font, const char* bytes, int len, int x, int y, uint32_t rgb,
                      const TextTarget& target)
{
    Cache& c = TheCache();
    if (!c.reserved || len > kLongestText) {
        return len > kLongestText ? Cached::kViaQt : Cached::kUnknown;
    }
    const int32_t s = c.table[Probe(c, font, bytes, len, Hash(font, bytes, len))];
    if (s < 0) {
        return Cached::kUnknown;
    }
    const Entry& e = c.entries[static_cast<size_t>(s)];
    if (e.viaQt) {
        return Cached::kViaQt;
    }
    Blit(c, e, x, y, rgb, target);
    return Cached::kDrawn;
}

bool GlyphCacheAddAndDraw(PlatFont font, const char* bytes, int len, const QFont& qfont, int ascent,
                          const QString& text, int x, int y, uint32_t rgb, const TextTarget& target)
{
    Cache& c = TheCache();
    if (len <= 0 || len > kLongestText) {
        return false;
    }
    Reserve(c);
    if (c.entries.size() >= kMaxTexts || c.keys.size() + static_cast<size_t>(len) > kMaxKeyBytes) {
        Drop(c);
    }
    Entry e{};
    e.font = font;
    e.hash = Hash(font, bytes, len);
    // Making a mask costs several of QPainter's draws: a text drawn once, as each new running
    // number of the monitor is, is cheaper left to QPainter.
    uint32_t& seen = c.seen[e.hash & (kSeenSize - 1)];
    if (seen != e.hash) {
        seen = e.hash;
        return false;
    }
    e.keyLen = static_cast<uint32_t>(len);
    e.viaQt = !Make(c, e, qfont, ascent, text);
    if (e.viaQt) {
        e.runCount = 0;
        e.layerCount = 0;
    }
    // Make may have dropped everything: the key goes in after it.
    e.key = static_cast<uint32_t>(c.keys.size());
    c.keys.insert(c.keys.end(), bytes, bytes + len);
    c.table[Probe(c, font, bytes, len, e.hash)] = static_cast<int32_t>(c.entries.size());
    c.entries.push_back(e);
    if (e.viaQt) {
        return false;
    }
    Blit(c, c.entries.back(), x, y, rgb, target);
    return true;
}

void GlyphCacheUsage(int* masks, int* viaQt, size_t* bytes)
{
    const Cache& c = TheCache();
    *viaQt = static_cast<int>(
        std::count_if(c.entries.begin(), c.entries.end(), [](const Entry& e) { return e.viaQt; }));
    *masks = static_cast<int>(c.entries.size()) - *viaQt;
    *bytes = c.keys.size() + c.coverage.size() + c.runs.size() * sizeof(Run) +
             c.layers.size() * sizeof(Layer) + c.entries.size() * sizeof(Entry);
}

} // namespace zm_qt
