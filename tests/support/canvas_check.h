// Whole-canvas comparisons: every pixel is checked, not only the ones a call should paint.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Counts the pixels of the w x h canvas whose low 24 bits differ from expected(x, y) and
// describes the first few.
struct CanvasDiff {
    long mismatches = 0;
    std::string first;
};
CanvasDiff CompareCanvas(int w, int h, const std::function<uint32_t(int, int)>& expected);

// Number of pixels of exactly this colour.
long CountColour(int w, int h, uint32_t colour);
