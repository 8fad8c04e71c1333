// The viewer's picture on screen: its scale (fitted, or a zoom step), where
// it sits, the scroll ranges, painting with the overlay, zooming and panning.
//
// Enlarged pictures repeat pixels (crisp pixel art); reduced ones average
// them, through a reduced copy of the frame kept until the frame or the size
// changes.
#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "image/display_win32.h"
#include "image/scale.h"
#include "shell/viewer.h"
#include "shell/viewer_overlay.h"

namespace {

// Whether the frame is scaled into the client area: in fit mode, and with
// "larger only" just when it does not fit as it is.
bool Fitted(const ViewerState* state, const RECT& client) {
    if (!state->fitToWindow) return false;
    if (!state->fitLargerOnly) return true;
    return ImageWidth(state->current) > client.right || ImageHeight(state->current) > client.bottom;
}

// The largest size with the picture's aspect ratio that fits the client
// area; the picture is enlarged as well as reduced.
SIZE FitSize(const RECT& client, int width, int height) {
    SIZE fit{client.right, client.bottom};
    const int64_t byHeight = int64_t{client.right} * height;  // client width x picture height
    const int64_t byWidth = int64_t{client.bottom} * width;   // client height x picture width
    if (byWidth > byHeight)
        fit.cy = static_cast<LONG>(byHeight / width);
    else
        fit.cx = static_cast<LONG>(byWidth / height);
    return fit;
}

// `length` at a zoom step, at least one pixel.
LONG Zoomed(int length, const Ratio& zoom) {
    return static_cast<LONG>(std::max<int64_t>(1, int64_t{length} * zoom.num / zoom.den));
}

// The offset that centres `size` pixels in `room`, when the host asks for it
// and they fit; 0 otherwise.
LONG CenterOffset(const ViewerState* state, LONG room, LONG size) {
    return state->center && size < room ? (room - size) / 2 : 0;
}

// Where the picture goes and how large it is drawn.
struct Placement {
    RECT client;
    SIZE size;       // the picture as drawn
    POINT origin;    // its top-left corner in the client area, scrolled
    bool fitted;
};

Placement Place(HWND window, const ViewerState* state) {
    Placement p{};
    GetClientRect(window, &p.client);
    const int width = ImageWidth(state->current);
    const int height = ImageHeight(state->current);
    p.fitted = Fitted(state, p.client);
    if (p.fitted) {
        p.size = FitSize(p.client, width, height);
    } else {
        const Ratio& zoom = kZoomSteps[state->zoomIndex];
        p.size = {Zoomed(width, zoom), Zoomed(height, zoom)};
    }
    p.origin.x = CenterOffset(state, p.client.right, p.size.cx);
    p.origin.y = CenterOffset(state, p.client.bottom, p.size.cy);
    if (!p.fitted) {
        p.origin.x -= GetScrollPos(window, SB_HORZ);
        p.origin.y -= GetScrollPos(window, SB_VERT);
    }
    return p;
}

// The scale on screen in percent.
int PercentOf(const ViewerState* state, const Placement& p) {
    if (!p.fitted) return 100 * kZoomSteps[state->zoomIndex].num / kZoomSteps[state->zoomIndex].den;
    return static_cast<int>(int64_t{100} * p.size.cx / std::max(1, ImageWidth(state->current)));
}

COLORREF Background(const ViewerState* state) {
    const bool dark = state->background == kBackgroundHost ? state->darkMode != 0 : state->background == kBackgroundDark;
    return dark ? RGB(32, 32, 32) : RGB(255, 255, 255);
}

// Showing or hiding a bar resizes the client area and sends a nested WM_SIZE
// while this one is still running, so the sizes come from the client area
// as it is now, never from the message, whose size may be out of date by then.
void UpdateScrollBar(HWND window, int bar, LONG pictureSize) {
    RECT client;
    GetClientRect(window, &client);
    const int old = GetScrollPos(window, bar);
    LONG max = pictureSize - (bar == SB_HORZ ? client.right : client.bottom);
    if (max <= 0) max = 0;
    SetScrollRange(window, bar, 0, static_cast<int>(max), FALSE);
    // A nested size message may have set the range again, for a smaller client area.
    int min = 0, range = 0;
    GetScrollRange(window, bar, &min, &range);
    SetScrollPos(window, bar, std::min(old, range), TRUE);
}

// The frame reduced to `p.size` by averaging, or of it the part in the
// client area when the whole would be much larger than that: a huge picture
// costs what the window shows. Made when the frame, the size or the part
// shown changed. None when that fails (the frame is then drawn by dropping
// pixels); `at` takes where the copy's top-left pixel goes.
const Image* Reduced(ViewerState* state, const Placement& p, POINT* at) {
    const int64_t whole = int64_t{p.size.cx} * p.size.cy;
    const int64_t shown = int64_t{p.client.right} * p.client.bottom;
    RECT part{0, 0, p.size.cx, p.size.cy};
    if (whole > std::max<int64_t>(4 * shown, int64_t{1} << 20)) {
        part = {std::max<LONG>(0, -p.origin.x), std::max<LONG>(0, -p.origin.y),
                std::min<LONG>(p.size.cx, p.client.right - p.origin.x), std::min<LONG>(p.size.cy, p.client.bottom - p.origin.y)};
        if (part.left >= part.right || part.top >= part.bottom) return nullptr;
    }
    const Image* kept = state->reduced;
    const RECT& k = state->reducedPart;
    const bool holds = kept && state->reducedFrom == state->current && state->reducedSize.cx == p.size.cx &&
                       state->reducedSize.cy == p.size.cy && k.left <= part.left && k.top <= part.top &&
                       k.right >= part.right && k.bottom >= part.bottom;
    if (!holds) {
        ViewerReleaseDisplay(state, false);
        const ImageRect rect{static_cast<int>(part.left), static_cast<int>(part.top), static_cast<int>(part.right),
                             static_cast<int>(part.bottom)};
        state->reduced = ImageScaleAreaPart(state->current, static_cast<int>(p.size.cx), static_cast<int>(p.size.cy), rect);
        state->reducedFrom = state->current;
        state->reducedSize = p.size;
        state->reducedPart = part;
    }
    *at = {p.origin.x + state->reducedPart.left, p.origin.y + state->reducedPart.top};
    return state->reduced;
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

void DrawPicture(ViewerState* state, HDC dc, const Placement& p) {
    const Image* frame = state->current;
    const LONG width = ImageWidth(frame), height = ImageHeight(frame);
    if (p.size.cx == width && p.size.cy == height) {
        ImageDraw(frame, dc, p.origin.x, p.origin.y, 0, 0);
        return;
    }
    if (p.size.cx < width || p.size.cy < height) {
        POINT at;
        if (const Image* reduced = Reduced(state, p, &at); reduced && reduced != frame) {
            ImageDraw(reduced, dc, at.x, at.y, 0, 0, frame);  // on a palette display, in the frame's colours
            return;
        }
    }
    if (!p.fitted && kZoomSteps[state->zoomIndex].den == 1) {
        DrawEnlarged(frame, dc, p, kZoomSteps[state->zoomIndex].num);
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

// "Frame: 7", then the scale when it is not 100% and the speed when it is not 1x.
void OverlayText(HWND window, const ViewerState* state, char* text, size_t size) {
    int length = std::snprintf(text, size, "Frame: %d", state->frameCounter);
    const int percent = ViewerDisplayPercent(window);
    if (percent != 100 && length >= 0)
        length += std::snprintf(text + length, size - static_cast<size_t>(length), "   %d%%", percent);
    const Ratio& speed = kSpeedSteps[state->speedIndex];
    if (state->speedIndex != kNormalSpeed && length >= 0) {
        if (speed.den == 1)
            std::snprintf(text + length, size - static_cast<size_t>(length), "   %dx", speed.num);
        else
            std::snprintf(text + length, size - static_cast<size_t>(length), "   1/%dx", speed.den);
    }
}


// The zoom step nearest above (up) or below the scale `percent`.
int StepFrom(int percent, bool up) {
    for (int i = 0; i < kZoomStepCount; ++i) {
        const int64_t step = int64_t{100} * kZoomSteps[i].num;  // the step's percent times den
        if (up && step > int64_t{percent} * kZoomSteps[i].den) return i;
    }
    for (int i = kZoomStepCount - 1; i >= 0; --i) {
        const int64_t step = int64_t{100} * kZoomSteps[i].num;
        if (!up && step < int64_t{percent} * kZoomSteps[i].den) return i;
    }
    return up ? kZoomStepCount - 1 : 0;
}

// Shows the picture at zoom step `index`, keeping the picture pixel under
// `about` (client coordinates) where it is.
int SetZoom(HWND window, ViewerState* state, int index, POINT about) {
    const Placement before = Place(window, state);
    // The picture point under `about`, in picture pixels times the old scale.
    const int64_t atX = about.x - before.origin.x, atY = about.y - before.origin.y;
    if (state->fitToWindow) {
        ViewerSetFitToWindow(window, 0);
        PostMessageA(GetParent(window), WM_COMMAND, MAKEWPARAM(0, kHostItemFit), reinterpret_cast<LPARAM>(window));
    }
    state->zoomIndex = std::clamp(index, 0, kZoomStepCount - 1);
    ViewerUpdateScrollRanges(window);
    const Placement after = Place(window, state);
    // Scaled by the ratio of the sizes, which both scales round the same way.
    const int64_t newX = before.size.cx ? atX * after.size.cx / before.size.cx : 0;
    const int64_t newY = before.size.cy ? atY * after.size.cy / before.size.cy : 0;
    const LONG centerX = CenterOffset(state, after.client.right, after.size.cx);
    const LONG centerY = CenterOffset(state, after.client.bottom, after.size.cy);
    SetScrollPos(window, SB_HORZ, static_cast<int>(std::clamp<int64_t>(newX + centerX - about.x, 0, INT32_MAX)), TRUE);
    SetScrollPos(window, SB_VERT, static_cast<int>(std::clamp<int64_t>(newY + centerY - about.y, 0, INT32_MAX)), TRUE);
    InvalidateRect(window, nullptr, TRUE);
    return 1;
}

}  // namespace

void ViewerUpdateScrollRanges(HWND window) {
    RECT client;
    GetClientRect(window, &client);
    SendMessageA(window, WM_SIZE, SIZE_RESTORED, MAKELPARAM(client.right, client.bottom));
}

LRESULT ViewerOnSize(HWND window) {
    const ViewerState* state = ViewerGetState(window);
    if (!state) return 0;
    const Placement p = Place(window, state);
    if (p.fitted) {
        SetScrollRange(window, SB_HORZ, 0, 0, FALSE);
        SetScrollRange(window, SB_VERT, 0, 0, FALSE);
        return 0;
    }
    UpdateScrollBar(window, SB_HORZ, p.size.cx);
    UpdateScrollBar(window, SB_VERT, p.size.cy);
    return 0;
}

LRESULT ViewerOnEraseBackground(HWND window, HDC dc) {
    const ViewerState* state = ViewerGetState(window);
    if (!state) return DefWindowProcA(window, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client;
    GetClientRect(window, &client);
    HBRUSH brush = CreateSolidBrush(Background(state));
    FillRect(dc, &client, brush);
    DeleteObject(brush);
    return 1;
}

LRESULT ViewerOnPaint(HWND window) {
    ViewerState* state = ViewerGetState(window);
    if (!state) return DefWindowProcA(window, WM_PAINT, 0, 0);
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    // The rest of the client area keeps the background of the last erase.
    DrawPicture(state, dc, Place(window, state));
    // An animation cut short by the memory budget says so.
    char note[128] = "";
    if (ProgressiveEndedEarly(state->load) == kErrorOutOfMemory) ViewerLoadNote(state, note, sizeof note);
    if (state->showFrameNumber == 1 || note[0]) ViewerDrawOverlay(window, dc, note);
    EndPaint(window, &paint);
    return 0;
}

void ViewerDrawOverlay(HWND window, HDC dc, const char* note) {
    ViewerState* state = ViewerGetState(window);
    if (!state) return;
    const int dpi = WindowDpi(window);
    if (!state->overlayFont || state->overlayDpi != dpi) {
        if (state->overlayFont) DeleteObject(state->overlayFont);
        state->overlayFont = OverlayFontCreate(dpi);
        state->overlayDpi = dpi;
    }
    LONG top = -1;
    if (state->showFrameNumber == 1) {
        char text[64];
        OverlayText(window, state, text, sizeof text);
        top = OverlayDraw(dc, state->overlayFont, dpi, text).bottom;
    }
    if (note && note[0]) OverlayDraw(dc, state->overlayFont, dpi, note, top);
}

int ViewerDisplayPercent(HWND window) {
    const ViewerState* state = ViewerGetState(window);
    return state ? PercentOf(state, Place(window, state)) : 100;
}

int ViewerZoomBy(HWND window, int steps, POINT about) {
    ViewerState* state = ViewerGetState(window);
    if (!state || steps == 0) return 0;
    // From a fitted picture, the steps count from the scale it is shown at.
    const Placement p = Place(window, state);
    int index = state->zoomIndex;
    if (p.fitted) index = StepFrom(PercentOf(state, p), steps > 0) - (steps > 0 ? 1 : -1);
    return SetZoom(window, state, index + steps, about);
}

int ViewerZoomToActualSize(HWND window) {
    ViewerState* state = ViewerGetState(window);
    if (!state) return 0;
    RECT client;
    GetClientRect(window, &client);
    return SetZoom(window, state, kActualSize, POINT{client.right / 2, client.bottom / 2});
}

void ViewerBeginDrag(HWND window, POINT at) {
    ViewerState* state = ViewerGetState(window);
    if (!state) return;
    int min = 0, maxX = 0, maxY = 0;
    GetScrollRange(window, SB_HORZ, &min, &maxX);
    GetScrollRange(window, SB_VERT, &min, &maxY);
    if (maxX <= 0 && maxY <= 0) return;  // nothing to pan
    state->dragging = 1;
    state->dragFrom = at;
    state->dragScroll = {GetScrollPos(window, SB_HORZ), GetScrollPos(window, SB_VERT)};
    SetCapture(window);
}

void ViewerDragTo(HWND window, POINT at) {
    const ViewerState* state = ViewerGetState(window);
    if (!state || !state->dragging) return;
    SetScrollPos(window, SB_HORZ, state->dragScroll.x - (at.x - state->dragFrom.x), TRUE);
    SetScrollPos(window, SB_VERT, state->dragScroll.y - (at.y - state->dragFrom.y), TRUE);
    InvalidateRect(window, nullptr, FALSE);
}

void ViewerEndDrag(HWND window) {
    ViewerState* state = ViewerGetState(window);
    if (!state || !state->dragging) return;
    state->dragging = 0;
    if (GetCapture() == window) ReleaseCapture();
}

void ViewerReleaseDisplay(ViewerState* state, bool all) {
    ImageDestroy(state->reduced);
    state->reduced = nullptr;
    state->reducedFrom = nullptr;
    if (!all || !state->overlayFont) return;
    DeleteObject(state->overlayFont);
    state->overlayFont = nullptr;
}
