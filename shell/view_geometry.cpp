#include "shell/view_geometry.h"

#include <algorithm>

namespace {

// The zoom step nearest above (up) or below the scale `percent`.
int StepFrom(int percent, bool up) {
    if (up) {
        for (int i = 0; i < kZoomStepCount; ++i)
            if (int64_t{100} * kZoomSteps[i].num > int64_t{percent} * kZoomSteps[i].den) return i;
        return kZoomStepCount - 1;
    }
    for (int i = kZoomStepCount - 1; i >= 0; --i)
        if (int64_t{100} * kZoomSteps[i].num < int64_t{percent} * kZoomSteps[i].den) return i;
    return 0;
}

}  // namespace

void ViewGeometry::setClientArea(int width, int height, int barWidth, int barHeight) {
    area_ = {std::max(0, width), std::max(0, height)};
    bars_ = {std::max(0, barWidth), std::max(0, barHeight)};
    layout();
}

void ViewGeometry::setPicture(int width, int height) {
    picture_ = {std::max(1, width), std::max(1, height)};
    layout();
}

void ViewGeometry::setFit(bool fit, bool largerOnly) {
    fit_ = fit;
    fitLargerOnly_ = largerOnly;
    layout();
}

// A bar shows only where the picture does not fit the whole area; once one
// shows, the other is needed when the picture no longer fits beside it.
void ViewGeometry::layout() {
    client_ = area_;
    if (!fitted()) {
        const ViewPoint size = sizeAt(false);
        bool horizontal = size.x > area_.x, vertical = size.y > area_.y;
        if (horizontal && !vertical) vertical = size.y > area_.y - bars_.y;
        if (vertical && !horizontal) horizontal = size.x > area_.x - bars_.x;
        client_ = {std::max<int64_t>(0, area_.x - (vertical ? bars_.x : 0)),
                   std::max<int64_t>(0, area_.y - (horizontal ? bars_.y : 0))};
    }
    scrollTo(scroll_.x, scroll_.y);
}

// In fit mode, and with "larger only" just when it does not fit as it is.
bool ViewGeometry::fitted() const {
    if (!fit_) return false;
    return !fitLargerOnly_ || picture_.x > client_.x || picture_.y > client_.y;
}

ViewPoint ViewGeometry::sizeAt(bool fitted) const {
    if (!fitted) {
        const Ratio& zoom = kZoomSteps[zoomIndex_];
        return {std::max<int64_t>(1, picture_.x * zoom.num / zoom.den), std::max<int64_t>(1, picture_.y * zoom.num / zoom.den)};
    }
    // The largest size with the picture's aspect ratio that fits the client
    // area; the picture is enlarged as well as reduced.
    ViewPoint fit = client_;
    const int64_t byHeight = client_.x * picture_.y;  // client width x picture height
    const int64_t byWidth = client_.y * picture_.x;   // client height x picture width
    if (byWidth > byHeight)
        fit.y = byHeight / picture_.x;
    else
        fit.x = byWidth / picture_.y;
    return fit;
}

int64_t ViewGeometry::centerOffset(int64_t room, int64_t size) const {
    return center_ && size < room ? (room - size) / 2 : 0;
}

ViewPlacement ViewGeometry::place() const {
    ViewPlacement p{};
    p.fitted = fitted();
    p.size = sizeAt(p.fitted);
    p.origin = {centerOffset(client_.x, p.size.x), centerOffset(client_.y, p.size.y)};
    if (!p.fitted) {
        p.origin.x -= scroll_.x;
        p.origin.y -= scroll_.y;
    }
    return p;
}

int ViewGeometry::percent() const {
    if (!fitted()) return 100 * kZoomSteps[zoomIndex_].num / kZoomSteps[zoomIndex_].den;
    return static_cast<int>(100 * sizeAt(true).x / picture_.x);
}

ViewPoint ViewGeometry::scrollRange() const {
    if (fitted()) return {0, 0};
    const ViewPoint size = sizeAt(false);
    return {std::max<int64_t>(0, size.x - client_.x), std::max<int64_t>(0, size.y - client_.y)};
}

void ViewGeometry::scrollTo(int64_t x, int64_t y) {
    const ViewPoint range = scrollRange();
    scroll_ = {std::clamp<int64_t>(x, 0, range.x), std::clamp<int64_t>(y, 0, range.y)};
}

bool ViewGeometry::setZoom(int index, ViewPoint about) {
    const ViewPlacement before = place();
    // The picture point under `about`, in picture pixels times the old scale.
    const int64_t atX = about.x - before.origin.x, atY = about.y - before.origin.y;
    const bool leftFit = fit_;
    fit_ = false;
    zoomIndex_ = std::clamp(index, 0, kZoomStepCount - 1);
    layout();
    const ViewPoint after = sizeAt(false);
    // Scaled by the ratio of the sizes, which both scales round the same way.
    const int64_t newX = before.size.x > 0 ? atX * after.x / before.size.x : 0;
    const int64_t newY = before.size.y > 0 ? atY * after.y / before.size.y : 0;
    scroll_ = {0, 0};
    scrollTo(newX + centerOffset(client_.x, after.x) - about.x, newY + centerOffset(client_.y, after.y) - about.y);
    return leftFit;
}

bool ViewGeometry::zoomBy(int steps, ViewPoint about) {
    if (steps == 0) return false;
    int index = zoomIndex_;
    if (fitted()) index = StepFrom(percent(), steps > 0) - (steps > 0 ? 1 : -1);
    return setZoom(index + steps, about);
}

bool ViewGeometry::zoomToActualSize() { return setZoom(kActualSize, {client_.x / 2, client_.y / 2}); }

int32_t TimelineFrameAt(int64_t x, int64_t width, int32_t count) {
    if (count <= 1 || width <= 1) return 0;
    const int64_t last = count - 1;
    return static_cast<int32_t>((std::clamp<int64_t>(x, 0, width - 1) * last + (width - 1) / 2) / (width - 1));
}

int64_t TimelineX(int32_t n, int64_t width, int32_t count) {
    if (count <= 1 || width <= 1) return 0;
    return std::clamp<int64_t>(n, 0, count - 1) * (width - 1) / (count - 1);
}
