// Where the viewer's picture goes, without the window: fitted into the
// client area (or only when larger), or at a zoom step with scroll
// positions; centred or at the top-left; zooming about a point. Positions
// count display pixels (the picture as drawn) in 64 bits, since a zoomed
// picture can be far wider than 16 bits, or 32.
#pragma once

#include <cstdint>

#include "shell/ratio.h"

// The zoom steps, 1/8 to 8 times; kActualSize is 100%.
inline constexpr Ratio kZoomSteps[] = {{1, 8}, {1, 4}, {1, 3}, {1, 2}, {1, 1}, {2, 1}, {3, 1}, {4, 1}, {6, 1}, {8, 1}};
constexpr int kActualSize = 4;
constexpr int kZoomStepCount = sizeof kZoomSteps / sizeof kZoomSteps[0];

struct ViewPoint {
    int64_t x;
    int64_t y;
};

// The picture as placed in the client area.
struct ViewPlacement {
    ViewPoint size;    // the picture as drawn
    ViewPoint origin;  // its top-left corner in the client area, scrolled
    bool fitted;       // scaled into the client area
};

class ViewGeometry {
public:
    // The client area as it is without scroll bars, and how wide a vertical
    // bar is and how high a horizontal one: the picture's area is what is
    // left once the bars the picture needs there are shown, and a bar shows
    // only where the picture does not fit without it. Clamps the scroll
    // positions.
    void setClientArea(int width, int height, int barWidth, int barHeight);
    void setClient(int width, int height) { setClientArea(width, height, 0, 0); }
    void setPicture(int width, int height);
    // The host's fit flags; true when the picture's scale changed.
    void setFit(bool fit, bool largerOnly);
    void setCenter(bool center) { center_ = center; }

    bool fit() const { return fit_; }
    bool fitLargerOnly() const { return fitLargerOnly_; }
    bool center() const { return center_; }
    int zoomIndex() const { return zoomIndex_; }
    int clientWidth() const { return client_.x; }
    int clientHeight() const { return client_.y; }

    ViewPlacement place() const;
    // The scale on screen in percent, fitted or zoomed.
    int percent() const;
    // The furthest each scroll position goes: 0 where the picture fits, and
    // its bar is hidden.
    ViewPoint scrollRange() const;
    ViewPoint scroll() const { return scroll_; }
    void scrollTo(int64_t x, int64_t y);  // clamped into the range
    void scrollBy(int64_t dx, int64_t dy) { scrollTo(scroll_.x + dx, scroll_.y + dy); }
    // Top-left, as for a new file.
    void scrollHome() { scroll_ = {0, 0}; }

    // Zooms by `steps` (up positive) about `about`, a point of the client
    // area that keeps showing the same picture pixel; from a fitted picture
    // the steps count from the scale it is shown at. True when this left fit
    // mode, which the host is told.
    bool zoomBy(int steps, ViewPoint about);
    bool zoomToActualSize();

private:
    bool fitted() const;
    ViewPoint sizeAt(bool fitted) const;
    int64_t centerOffset(int64_t room, int64_t size) const;
    bool setZoom(int index, ViewPoint about);
    void layout();

    ViewPoint area_{0, 0};  // without scroll bars
    ViewPoint bars_{0, 0};  // a vertical bar's width, a horizontal one's height
    ViewPoint client_{0, 0};
    ViewPoint picture_{1, 1};
    ViewPoint scroll_{0, 0};
    bool fit_ = false;
    bool fitLargerOnly_ = false;
    bool center_ = false;
    int zoomIndex_ = kActualSize;
};

// The timeline along the bottom of the window: a track of `width` pixels
// from the first frame at its left end to the last at its right end.
// The frame under x (clamped to the track), and where frame n sits on it.
int32_t TimelineFrameAt(int64_t x, int64_t width, int32_t count);
int64_t TimelineX(int32_t n, int64_t width, int32_t count);
