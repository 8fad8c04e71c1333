// The viewer's picture on screen, where the geometry places it, with the
// overlay; and the scroll bars that follow the geometry.
//
// Enlarged pictures repeat pixels (crisp pixel art); reduced ones average
// them, through a reduced copy of the frame kept until the frame or the size
// changes.
#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "image/scale.h"
#include "shell/display_win32.h"
#include "shell/viewer.h"
#include "shell/viewer_overlay.h"

namespace {

// Where the picture goes, in the window's terms.
struct Placement {
    RECT client;
    SIZE size;     // the picture as drawn
    POINT origin;  // its top-left corner in the client area, scrolled
    bool fitted;
};

// GDI takes 32-bit coordinates: a zoomed picture's far edges are clamped
// well outside the client area, where nothing is drawn.
LONG Clamp32(int64_t value) { return static_cast<LONG>(std::clamp<int64_t>(value, -0x3FFFFFFF, 0x3FFFFFFF)); }

Placement Place(const Viewer& viewer) {
    const ViewPlacement p = viewer.geometry.place();
    Placement out{};
    out.client = {0, 0, viewer.geometry.clientWidth(), viewer.geometry.clientHeight()};
    out.size = {Clamp32(p.size.x), Clamp32(p.size.y)};
    out.origin = {Clamp32(p.origin.x), Clamp32(p.origin.y)};
    out.fitted = p.fitted;
    return out;
}

// The frame reduced to `p.size` by averaging, or of it the part in the
// client area when the whole would be much larger than that: a huge picture
// costs what the window shows. Made when the frame, the size or the part
// shown changed. None when that fails (the frame is then drawn by dropping
// pixels); `at` takes where the copy's top-left pixel goes.
const Image* Reduced(Viewer& viewer, const Image* frame, const Placement& p, POINT* at) {
    const int64_t whole = int64_t{p.size.cx} * p.size.cy;
    const int64_t shown = int64_t{p.client.right} * p.client.bottom;
    RECT part{0, 0, p.size.cx, p.size.cy};
    if (whole > std::max<int64_t>(4 * shown, int64_t{1} << 20)) {
        part = {std::max<LONG>(0, -p.origin.x), std::max<LONG>(0, -p.origin.y),
                std::min<LONG>(p.size.cx, p.client.right - p.origin.x), std::min<LONG>(p.size.cy, p.client.bottom - p.origin.y)};
        if (part.left >= part.right || part.top >= part.bottom) return nullptr;
    }
    const Image* reduced = viewer.display.reduce(frame, viewer.playback.position(), {p.size.cx, p.size.cy}, part);
    *at = {p.origin.x + viewer.display.part().left, p.origin.y + viewer.display.part().top};
    return reduced;
}

// Enlarged by a whole factor: only the part of the picture in the client
// area goes to the stretch, whose cost follows the pixels it writes.
void DrawEnlarged(const Image* frame, HDC dc, const Placement& p, int factor) {
    const LONG width = ImageWidth(frame), height = ImageHeight(frame);
    const RECT source{std::max<LONG>(0, -p.origin.x / factor), std::max<LONG>(0, -p.origin.y / factor),
                      std::min<LONG>(width, (p.client.right - p.origin.x + factor - 1) / factor),
                      std::min<LONG>(height, (p.client.bottom - p.origin.y + factor - 1) / factor)};
    if (source.left >= source.right || source.top >= source.bottom) return;
    const RECT destination{p.origin.x + source.left * factor, p.origin.y + source.top * factor,
                           p.origin.x + source.right * factor, p.origin.y + source.bottom * factor};
    ImageDrawStretched(frame, dc, &source, &destination);
}

void DrawPicture(Viewer& viewer, HDC dc, const Placement& p) {
    const Image* frame = viewer.playback.frame();
    const LONG width = ImageWidth(frame), height = ImageHeight(frame);
    if (p.size.cx == width && p.size.cy == height) {
        ImageDraw(frame, dc, p.origin.x, p.origin.y, 0, 0);
        return;
    }
    if (p.size.cx < width || p.size.cy < height) {
        POINT at;
        if (const Image* reduced = Reduced(viewer, frame, p, &at); reduced && reduced != frame) {
            ImageDraw(reduced, dc, at.x, at.y, 0, 0, frame);  // on a palette display, in the frame's colours
            return;
        }
    }
    const Ratio& zoom = kZoomSteps[viewer.geometry.zoomIndex()];
    if (!p.fitted && zoom.den == 1) {
        DrawEnlarged(frame, dc, p, zoom.num);
        return;
    }
    const RECT source{0, 0, width, height};
    const RECT destination{p.origin.x, p.origin.y, p.origin.x + p.size.cx, p.origin.y + p.size.cy};
    ImageDrawStretched(frame, dc, &source, &destination);
}

int WindowDpi(HWND window) {
    using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = reinterpret_cast<GetDpiForWindowFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("user32.dll"), "GetDpiForWindow")));
    if (getDpiForWindow)
        if (const UINT dpi = getDpiForWindow(window)) return static_cast<int>(dpi);
    HDC dc = GetDC(window);
    const int dpi = dc ? GetDeviceCaps(dc, LOGPIXELSY) : 96;
    if (dc) ReleaseDC(window, dc);
    return dpi > 0 ? dpi : 96;
}

// "Frame: 7 / 24", then "Paused" while paused, the scale when it is not 100%
// and the speed when it is not 1x.
void OverlayText(const Viewer& viewer, char* text, size_t size) {
    int length = std::snprintf(text, size, "Frame: %d / %d", static_cast<int>(viewer.playback.position()),
                               static_cast<int>(viewer.playback.status().count));
    if (viewer.playback.paused() && length >= 0)
        length += std::snprintf(text + length, size - static_cast<size_t>(length), "   Paused");
    const int percent = viewer.geometry.percent();
    if (percent != 100 && length >= 0)
        length += std::snprintf(text + length, size - static_cast<size_t>(length), "   %d%%", percent);
    const int speedIndex = viewer.playback.speedIndex();
    const Ratio& speed = kSpeedSteps[speedIndex];
    if (speedIndex != kNormalSpeed && length >= 0) {
        if (speed.den == 1)
            std::snprintf(text + length, size - static_cast<size_t>(length), "   %dx", speed.num);
        else
            std::snprintf(text + length, size - static_cast<size_t>(length), "   1/%dx", speed.den);
    }
}

// The frame line when the frame number is shown, then `note` (when not
// empty) on a line below it.
void DrawOverlay(Viewer& viewer, HDC dc, const char* note) {
    const int dpi = WindowDpi(viewer.window);
    HFONT font = viewer.display.font(dpi);
    LONG top = -1;
    if (viewer.preferences.showFrameNumber) {
        char text[64];
        OverlayText(viewer, text, sizeof text);
        top = OverlayDraw(dc, font, dpi, text).bottom;
    }
    if (note[0]) OverlayDraw(dc, font, dpi, note, top);
}

// The timeline: a black band with the track in grey, the part played in
// white and a white mark at the frame on screen, sized for the DPI like the
// overlay and as readable on any picture.
void DrawTimeline(const Viewer& viewer, HDC dc) {
    const RECT band = ViewerTimelineRect(viewer);
    if (band.bottom <= band.top) return;
    FillRect(dc, &band, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    const RECT track = ViewerTimelineTrack(viewer);
    const int dpi = WindowDpi(viewer.window);
    const LONG middle = (band.top + band.bottom) / 2;
    const LONG half = std::max(1, MulDiv(1, dpi, 96));
    const LONG x = track.left + static_cast<LONG>(TimelineX(viewer.playback.position(), track.right - track.left,
                                                             viewer.playback.status().count));
    const RECT rest{track.left, middle - half, track.right, middle + half};
    const RECT played{track.left, middle - half, x, middle + half};
    const RECT mark{x - 2 * half, band.top + 2 * half, x + 2 * half, band.bottom - 2 * half};
    FillRect(dc, &rest, static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH)));
    FillRect(dc, &played, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    FillRect(dc, &mark, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
}

// A bar's range and position from the geometry. The bar holds 32 bits;
// beyond that (a picture zoomed past 2^31 pixels) it stops at its end.
void SetBar(HWND window, int bar, int64_t range, int64_t position) {
    SCROLLINFO info{};
    info.cbSize = sizeof info;
    info.fMask = SIF_RANGE | SIF_POS;
    info.nMax = static_cast<int>(std::min<int64_t>(range, INT32_MAX));
    info.nPos = static_cast<int>(std::min<int64_t>(position, INT32_MAX));
    SetScrollInfo(window, bar, &info, TRUE);
}

}  // namespace

void ViewerSyncScrollBars(Viewer& viewer) {
    // Showing or hiding a bar resizes the client area, and the size message
    // that follows comes back here; the geometry then has the new client
    // area, and the last message sets the bars right: each bar reads the
    // geometry afresh.
    SetBar(viewer.window, SB_HORZ, viewer.geometry.scrollRange().x, viewer.geometry.scroll().x);
    SetBar(viewer.window, SB_VERT, viewer.geometry.scrollRange().y, viewer.geometry.scroll().y);
}

RECT ViewerTimelineRect(const Viewer& viewer) {
    if (!viewer.preferences.timeline || viewer.playback.status().count <= 1) return RECT{};
    RECT client;
    GetClientRect(viewer.window, &client);
    const LONG height = std::min<LONG>(client.bottom, MulDiv(16, WindowDpi(viewer.window), 96));
    return {0, client.bottom - height, client.right, client.bottom};
}

RECT ViewerTimelineTrack(const Viewer& viewer) {
    const RECT band = ViewerTimelineRect(viewer);
    const LONG margin = MulDiv(8, WindowDpi(viewer.window), 96);
    return {band.left + margin, band.top, std::max(band.left + margin, band.right - margin), band.bottom};
}

COLORREF ViewerBackgroundColor(const Viewer& viewer) {
    const int32_t background = viewer.preferences.background;
    const bool dark = background == kBackgroundHost ? viewer.darkMode : background == kBackgroundDark;
    return dark ? RGB(32, 32, 32) : RGB(255, 255, 255);
}

void ViewerPaint(Viewer& viewer, HDC dc) {
    char note[128] = "";
    if (!viewer.playback.frame()) {  // the first frame is still being decoded, or there is none
        const Status missing = viewer.playback.status().missing;
        if (missing.ok()) {
            lstrcpynA(note, "Loading...", sizeof note);
        } else {
            char text[96];
            ErrorText(missing, text, sizeof text);
            wsprintfA(note, "The file cannot be shown: %s", text);
        }
        DrawOverlay(viewer, dc, note);
        return;
    }
    // The rest of the client area keeps the background of the last erase.
    DrawPicture(viewer, dc, Place(viewer));
    // An animation cut short by the memory budget says so, and so does
    // playback stopped before a frame that cannot be decoded now.
    if (viewer.playback.status().endedEarly == kErrorOutOfMemory || viewer.playback.cannotShow().failed())
        ViewerLoadNote(viewer, note, sizeof note);
    if (viewer.preferences.showFrameNumber || note[0]) DrawOverlay(viewer, dc, note);
    DrawTimeline(viewer, dc);
}

const Image* DisplayCache::reduce(const Image* frame, int32_t position, ViewPoint size, const RECT& part) {
    const RECT& k = part_;
    const bool holds = reduced_ && from_ == frame && position_ == position && size_.x == size.x &&
                       size_.y == size.y && k.left <= part.left && k.top <= part.top && k.right >= part.right &&
                       k.bottom >= part.bottom;
    if (holds) return reduced_;
    release(false);
    const ImageRect rect{static_cast<int>(part.left), static_cast<int>(part.top), static_cast<int>(part.right),
                         static_cast<int>(part.bottom)};
    reduced_ = ImageScaleAreaPart(frame, static_cast<int>(size.x), static_cast<int>(size.y), rect);
    from_ = frame;
    position_ = position;
    size_ = size;
    part_ = part;
    return reduced_;
}

HFONT DisplayCache::font(int dpi) {
    if (font_ && fontDpi_ == dpi) return font_;
    if (font_) DeleteObject(font_);
    font_ = OverlayFontCreate(dpi);
    fontDpi_ = dpi;
    return font_;
}

void DisplayCache::release(bool all) {
    ImageDestroy(reduced_);
    reduced_ = nullptr;
    from_ = nullptr;
    if (!all || !font_) return;
    DeleteObject(font_);
    font_ = nullptr;
}

void ViewerLoadNote(const Viewer& viewer, char* out, size_t size) {
    if (viewer.playback.cannotShow().failed()) return FrameFailedText(viewer.playback.cannotShow(), out, size);
    const FrameFeedStatus status = viewer.playback.status();
    LoadEndText(status.endedEarly, status.count, status.stated, out, size);
}
