// State of one standard window scroll bar, as the window procedure sees it through
// PlatGetScrollInfo / PlatSetScrollInfo. Pure C++ (no toolkit): a back end keeps one per bar
// and mirrors it into its native bar widget; the rules follow the Win32 standard bars.
//
//   - range min .. max, both inclusive: max - min + 1 positions ("the range maximum is the
//     canvas size itself" gives canvas size + 1 positions);
//   - page: the visible part, at most the number of positions;
//   - pos: clamped to min .. max - (page - 1) (min .. max for a page of 0) after every change
//     of range, page or position;
//   - trackPos: the thumb position while the user drags the thumb; otherwise pos;
//   - the bar is shown while the range spans more than one position and the page is smaller
//     than the number of positions.
#pragma once

#include <algorithm>
#include <cstdint>

#include "platform/platform.h"

class ScrollBarModel {
  public:
    // Writes the fields named by mask (PSIF_RANGE, PSIF_PAGE, PSIF_POS; PSIF_TRACKPOS is
    // read-only, as in Win32), then clamps page and position.
    void Set(uint32_t mask, const PlatScrollInfo& in)
    {
        if (mask & PSIF_RANGE) {
            min_ = in.min;
            max_ = std::max(in.min, in.max);
        }
        if (mask & PSIF_PAGE) {
            page_ = in.page;
        }
        if (mask & PSIF_POS) {
            pos_ = in.pos;
        }
        Clamp();
    }

    PlatScrollInfo Get() const
    {
        PlatScrollInfo out;
        out.min = min_;
        out.max = max_;
        out.page = page_;
        out.pos = pos_;
        out.trackPos = tracking_ ? track_ : pos_;
        return out;
    }

    // Thumb dragging: BeginTrack when the thumb is grabbed, Track for every move (the value
    // is clamped like a position), EndTrack when it is let go.
    void BeginTrack()
    {
        tracking_ = true;
        track_ = pos_;
    }
    void Track(int position)
    {
        tracking_ = true;
        track_ = std::clamp(position, min_, MaxPos());
    }
    void EndTrack() { tracking_ = false; }
    bool Tracking() const { return tracking_; }

    int Min() const { return min_; }
    int Max() const { return max_; }
    unsigned Page() const { return page_; }
    int Pos() const { return pos_; }
    // Number of positions in the range: max - min + 1.
    int64_t Count() const { return int64_t{max_} - min_ + 1; }
    // Highest position the thumb can take: max - (page - 1), never below min.
    int MaxPos() const
    {
        const int64_t top = int64_t{max_} - (page_ > 0 ? int64_t{page_} - 1 : 0);
        return static_cast<int>(std::max<int64_t>(top, min_));
    }
    bool Visible() const { return max_ > min_ && int64_t{page_} < Count(); }

  private:
    void Clamp()
    {
        if (int64_t{page_} > Count()) {
            page_ = static_cast<unsigned>(Count());
        }
        pos_ = std::clamp(pos_, min_, MaxPos());
        track_ = std::clamp(track_, min_, MaxPos());
    }

    int min_ = 0;
    int max_ = 0;
    unsigned page_ = 0;
    int pos_ = 0;
    int track_ = 0;
    bool tracking_ = false;
};
