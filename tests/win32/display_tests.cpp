// What the viewer puts on screen: scroll ranges and positions, the picture at
// the scroll offset, the fitted rectangle and the frame-number overlay.
#include <algorithm>

#include "image/display_win32.h"
#include "image/scale.h"
#include "resources/resource.h"
#include "tests/win32/host.h"

using scroll = HostTest;
using paint = HostTest;

namespace {

using Range = std::pair<int, int>;

Range ScrollRange(HWND window, int bar) {
    Range r{-1, -1};
    GetScrollRange(window, bar, &r.first, &r.second);
    return r;
}

RECT ClientRect(HWND window) {
    RECT client;
    GetClientRect(window, &client);
    return client;
}

void Scroll(HWND viewer, UINT message, WORD code, WORD position = 0) { SendMessageA(viewer, message, MAKEWPARAM(code, position), 0); }
void Wheel(HWND viewer, short delta) { SendMessageA(viewer, WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<WORD>(delta)), 0); }

// Where the capture differs from the expected picture.
RECT DifferenceBounds(const Capture& got, const Capture& want) {
    RECT bounds{got.width, got.height, -1, -1};
    for (int y = 0; y < got.height; ++y)
        for (int x = 0; x < got.width; ++x)
            if (got.at(x, y) != want.at(x, y)) {
                bounds.left = std::min<LONG>(bounds.left, x);
                bounds.top = std::min<LONG>(bounds.top, y);
                bounds.right = std::max<LONG>(bounds.right, x + 1);
                bounds.bottom = std::max<LONG>(bounds.bottom, y + 1);
            }
    return bounds;
}

int CountDifferences(const Capture& got, const Capture& want, std::string* first) {
    return CountMismatches(got, {0, 0, got.width, got.height}, [&](int x, int y) { return want.at(x, y); }, first);
}

}  // namespace

// ---- Scrolling ------------------------------------------------------------------------------

TEST_F(scroll, ranges_follow_the_client_size) {
    Lister lister(gFiles.large, 0, 0, 0, 300, 200);
    HWND viewer = lister.viewer();
    ASSERT_TRUE(viewer);
    // The lister's first sizing, to 300 x 200, makes both bars appear, each
    // with a nested size message: the ranges are still those of the final
    // client area, so the bottom rows can be scrolled into view.
    auto checkRanges = [&](SIZE size) {
        const RECT client = ClientRect(viewer);
        EXPECT_TRUE(client.right < size.cx && client.bottom < size.cy)  // both bars show
            << "client " << client.right << " x " << client.bottom << " in " << size.cx << " x " << size.cy;
        EXPECT_EQ(ScrollRange(viewer, SB_HORZ), Range(0, 480 - client.right));
        EXPECT_EQ(ScrollRange(viewer, SB_VERT), Range(0, 360 - client.bottom));
    };
    checkRanges({300, 200});
    for (const SIZE size : {SIZE{420, 330}, SIZE{250, 310}, SIZE{300, 200}}) {
        lister.resize(size.cx, size.cy);
        checkRanges(size);
    }
    // A position beyond the new range is pulled back to its end.
    lister.resize(300, 200);
    Scroll(viewer, WM_HSCROLL, SB_THUMBTRACK, 400);
    Scroll(viewer, WM_VSCROLL, SB_THUMBTRACK, 300);
    lister.resize(400, 300);
    const RECT client = ClientRect(viewer);
    EXPECT_EQ(GetScrollPos(viewer, SB_HORZ), 480 - client.right);
    EXPECT_EQ(GetScrollPos(viewer, SB_VERT), 360 - client.bottom);
    // A size message without a size leaves the ranges alone.
    const Range horizontal = ScrollRange(viewer, SB_HORZ), vertical = ScrollRange(viewer, SB_VERT);
    SendMessageA(viewer, WM_SIZE, SIZE_RESTORED, 0);
    EXPECT_EQ(ScrollRange(viewer, SB_HORZ), horizontal);
    EXPECT_EQ(ScrollRange(viewer, SB_VERT), vertical);
    // A client area larger than the frame: empty ranges, no scroll bars.
    lister.resize(600, 450);
    EXPECT_EQ(ScrollRange(viewer, SB_HORZ), Range(0, 0));
    EXPECT_EQ(ScrollRange(viewer, SB_VERT), Range(0, 0));
    EXPECT_EQ(GetWindowLongA(viewer, GWL_STYLE) & (WS_HSCROLL | WS_VSCROLL), 0l);
    EXPECT_EQ(ClientRect(viewer).right, 600L);
}

TEST_F(scroll, fit_mode_empties_the_ranges_at_the_next_size_change) {
    Lister lister(gFiles.large, 0, 0, 0, 300, 200);
    HWND viewer = lister.viewer();
    lister.resize(300, 200);
    const Range horizontal = ScrollRange(viewer, SB_HORZ), vertical = ScrollRange(viewer, SB_VERT);
    EXPECT_TRUE(horizontal.second > 0 && vertical.second > 0);
    gPlugin.listSendCommand(viewer, 2, 2);
    EXPECT_EQ(ScrollRange(viewer, SB_HORZ), horizontal);
    EXPECT_EQ(ScrollRange(viewer, SB_VERT), vertical);
    lister.resize(310, 210);
    EXPECT_EQ(ScrollRange(viewer, SB_HORZ), Range(0, 0));
    EXPECT_EQ(ScrollRange(viewer, SB_VERT), Range(0, 0));
    gPlugin.listSendCommand(viewer, 2, 0);
    EXPECT_EQ(ScrollRange(viewer, SB_HORZ), Range(0, 0));
    lister.resize(300, 200);
    EXPECT_EQ(ScrollRange(viewer, SB_HORZ), horizontal);
    EXPECT_EQ(ScrollRange(viewer, SB_VERT), vertical);
}

TEST_F(scroll, line_page_thumb_and_wheel) {
    Lister lister(gFiles.large, 0, 0, 0, 300, 200);
    HWND viewer = lister.viewer();
    lister.resize(300, 200);
    const RECT client = ClientRect(viewer);
    const struct {
        UINT message;
        int bar;
        int clientSize;
        int max;
    } bars[] = {{WM_HSCROLL, SB_HORZ, client.right, 480 - client.right}, {WM_VSCROLL, SB_VERT, client.bottom, 360 - client.bottom}};
    for (const auto& b : bars) {
        auto position = [&] { return GetScrollPos(viewer, b.bar); };
        Scroll(viewer, b.message, SB_LINEDOWN);
        Scroll(viewer, b.message, SB_LINEDOWN);
        EXPECT_EQ(position(), 4);
        Scroll(viewer, b.message, SB_LINEUP);
        EXPECT_EQ(position(), 2);
        Scroll(viewer, b.message, SB_PAGEDOWN);
        EXPECT_EQ(position(), 2 + b.clientSize / 3);
        Scroll(viewer, b.message, SB_PAGEUP);
        Scroll(viewer, b.message, SB_PAGEUP);
        EXPECT_EQ(position(), 0);  // held at the start
        Scroll(viewer, b.message, SB_LINEUP);
        EXPECT_EQ(position(), 0);
        Scroll(viewer, b.message, SB_THUMBTRACK, 100);
        EXPECT_EQ(position(), 100);
        for (WORD unchanged : {WORD{SB_THUMBPOSITION}, WORD{SB_TOP}, WORD{SB_BOTTOM}, WORD{SB_ENDSCROLL}}) {
            Scroll(viewer, b.message, unchanged, 7);
            EXPECT_EQ(position(), 100);
        }
        Scroll(viewer, b.message, SB_THUMBTRACK, 60000);  // unsigned, so past the end rather than negative
        EXPECT_EQ(position(), b.max);
        Scroll(viewer, b.message, SB_LINEDOWN);
        EXPECT_EQ(position(), b.max);
    }
    // The wheel scrolls vertically, 4 pixels a notch, forward moving up.
    Scroll(viewer, WM_VSCROLL, SB_THUMBTRACK, 100);
    Scroll(viewer, WM_HSCROLL, SB_THUMBTRACK, 50);
    Wheel(viewer, 60);
    EXPECT_EQ(GetScrollPos(viewer, SB_VERT), 100);
    Wheel(viewer, 240);
    EXPECT_EQ(GetScrollPos(viewer, SB_VERT), 92);
    Wheel(viewer, -120);
    EXPECT_EQ(GetScrollPos(viewer, SB_VERT), 96);
    Wheel(viewer, -239);
    EXPECT_EQ(GetScrollPos(viewer, SB_VERT), 100);
    EXPECT_EQ(GetScrollPos(viewer, SB_HORZ), 50);
    // Parts of a notch, from a fine wheel or a touchpad, add up: four of 30
    // scroll as one of 120, either way.
    for (short delta : {30, -30}) {
        const int start = GetScrollPos(viewer, SB_VERT);
        for (int i = 0; i < 3; ++i) Wheel(viewer, delta);
        EXPECT_EQ(GetScrollPos(viewer, SB_VERT), start);
        Wheel(viewer, delta);
        EXPECT_EQ(GetScrollPos(viewer, SB_VERT), start - delta / 30 * 4);
    }
    // What is left over goes with the focus.
    Wheel(viewer, 90);
    SetFocus(lister.parent());
    SetFocus(viewer);
    Wheel(viewer, 30);
    EXPECT_EQ(GetScrollPos(viewer, SB_VERT), 100);
}

TEST_F(scroll, the_picture_follows_the_scroll_position) {
    Lister lister(gFiles.large, 0, 0, 0, 300, 200);
    HWND viewer = lister.viewer();
    const ViewerState* s = lister.state();
    ASSERT_TRUE(s);
    lister.resize(300, 200);
    Command(viewer, IDM_PAUSE);
    ChainPtr decoded = Decode(gFiles.large);
    const Image* frame = FrameAt(decoded.get(), lister.currentIndex());
    const RECT client = ClientRect(viewer);
    const POINT positions[] = {{0, 0}, {37, 21}, {1, 0}, {0, 1}, {480 - client.right, 360 - client.bottom}};
    for (const POINT p : positions) {
        Scroll(viewer, WM_HSCROLL, SB_THUMBTRACK, static_cast<WORD>(p.x));
        Scroll(viewer, WM_VSCROLL, SB_THUMBTRACK, static_cast<WORD>(p.y));
        EXPECT_EQ(GetScrollPos(viewer, SB_HORZ), static_cast<int>(p.x));
        EXPECT_EQ(GetScrollPos(viewer, SB_VERT), static_cast<int>(p.y));
        std::string where;
        const int wrong = CountMismatches(CaptureClient(viewer), client, [&](int x, int y) { return PixelColor(frame, x + p.x, y + p.y); }, &where);
        EXPECT_EQ(wrong, 0) << "at scroll " << p.x << "," << p.y << ", first " << where;
    }
}

// ---- Painting ------------------------------------------------------------------------------

TEST_F(paint, unscaled_frame_at_the_top_left_on_white) {
    Lister lister(gFiles.sample, 0, 0, 0, 400, 300);
    Command(lister.viewer(), IDM_PAUSE);
    ChainPtr decoded = Decode(gFiles.sample);
    const Capture shown = CaptureClient(lister.viewer());
    const Capture want = RenderExpected(FrameAt(decoded.get(), lister.currentIndex()), 0, 0, 400, 300, nullptr);
    std::string where;
    EXPECT_EQ(CountDifferences(shown, want, &where), 0) << where;
}

TEST_F(paint, fit_to_window_keeps_the_aspect_ratio) {
    Lister lister(gFiles.sample, 2, 0, 0, 640, 480);
    HWND viewer = lister.viewer();
    Command(viewer, IDM_PAUSE);
    ChainPtr decoded = Decode(gFiles.sample);
    const Image* frame = FrameAt(decoded.get(), lister.currentIndex());
    // Twice the size: every pixel can be checked.
    std::string where;
    Capture shown = CaptureClient(viewer);
    EXPECT_EQ(CountMismatches(shown, {0, 0, 640, 400}, [&](int x, int y) { return PixelColor(frame, x / 2, y / 2); }, &where), 0);
    EXPECT_EQ(CountMismatches(shown, {0, 400, 640, 480}, [](int, int) { return kWhite; }, &where), 0);
    // Other sizes: the picture covers exactly the fitted rectangle at the
    // top-left corner (the sample has no white pixel), the rest stays white.
    const struct {
        SIZE client;
        RECT fitted;
    } cases[] = {{{400, 400}, {0, 0, 400, 250}}, {{700, 300}, {0, 0, 480, 300}}, {{640, 400}, {0, 0, 640, 400}},
                 {{160, 300}, {0, 0, 160, 100}}, {{333, 222}, {0, 0, 333, 208}}};
    for (const auto& c : cases) {
        lister.resize(c.client.cx, c.client.cy);
        shown = CaptureClient(viewer);
        int wrong = 0;
        for (int y = 0; y < shown.height; ++y)
            for (int x = 0; x < shown.width; ++x) {
                const bool inside = x < c.fitted.right && y < c.fitted.bottom;
                wrong += inside == (shown.at(x, y) == kWhite);
            }
        EXPECT_EQ(wrong, 0) << "pixels outside the fitted rectangle in a client of " << c.client.cx << "x" << c.client.cy;
        EXPECT_EQ(shown.at(0, 0), PixelColor(frame, 0, 0));
    }
}

TEST_F(paint, frame_number_overlay) {
    Lister lister(gFiles.sample, 0, 0, 0, 400, 300);
    HWND viewer = lister.viewer();
    const ViewerState* s = lister.state();
    ASSERT_TRUE(s);
    ChainPtr decoded = Decode(gFiles.sample);
    ASSERT_TRUE(PumpUntil([&] { return s->frameCounter >= 5; }));
    Command(viewer, IDM_PAUSE);
    Command(viewer, IDM_SHOW_FRAME_NUMBER);
    const Image* frame = FrameAt(decoded.get(), s->frameCounter);
    const std::string text = "Frame: " + std::to_string(s->frameCounter);
    const Capture shown = CaptureClient(viewer);
    const Capture plain = RenderExpected(frame, 0, 0, 400, 300, nullptr);
    // White text with a black shadow one pixel below and to the right, at (6, 6).
    const RECT bounds = DifferenceBounds(shown, plain);
    EXPECT_TRUE(bounds.left >= 6 && bounds.left < 10);
    EXPECT_TRUE(bounds.top >= 6 && bounds.top < 12);
    EXPECT_TRUE(bounds.bottom < 40 && bounds.right < 200);
    bool white = false, black = false;
    for (int y = bounds.top; y < bounds.bottom; ++y)
        for (int x = bounds.left; x < bounds.right; ++x) {
            white = white || shown.at(x, y) == kWhite;
            black = black || shown.at(x, y) == 0;
        }
    EXPECT_TRUE(white && black);
    std::string where;
    EXPECT_EQ(CountDifferences(shown, RenderExpected(frame, 0, 0, 400, 300, text.c_str()), &where), 0);

    // After the last frame the overlay counts from 0 again.
    Command(viewer, IDM_PAUSE);
    ASSERT_TRUE(PumpUntil([&] { return s->frameCounter == 23; }));
    Command(viewer, IDM_PAUSE);
    Command(viewer, IDM_NEXT_FRAME);
    ASSERT_TRUE(WaitForFrameChange(lister));
    EXPECT_EQ(s->frameCounter, 0);
    EXPECT_EQ(CountDifferences(CaptureClient(viewer), RenderExpected(decoded.get(), 0, 0, 400, 300, "Frame: 0"), &where), 0);

    // Off again: the plain frame.
    Command(viewer, IDM_SHOW_FRAME_NUMBER);
    EXPECT_EQ(CountDifferences(CaptureClient(viewer), RenderExpected(decoded.get(), 0, 0, 400, 300, nullptr), &where), 0);
}

TEST_F(paint, the_overlay_stays_put_while_scrolling) {
    Lister lister(gFiles.large, 0, 0, 0, 300, 200);
    HWND viewer = lister.viewer();
    const ViewerState* s = lister.state();
    ASSERT_TRUE(s);
    lister.resize(300, 200);
    Command(viewer, IDM_PAUSE);
    Command(viewer, IDM_SHOW_FRAME_NUMBER);
    ChainPtr decoded = Decode(gFiles.large);
    const Image* frame = FrameAt(decoded.get(), lister.currentIndex());
    const std::string text = "Frame: " + std::to_string(s->frameCounter);
    const RECT client = ClientRect(viewer);
    for (const POINT p : {POINT{0, 0}, POINT{40, 30}, POINT{90, 7}}) {
        Scroll(viewer, WM_HSCROLL, SB_THUMBTRACK, static_cast<WORD>(p.x));
        Scroll(viewer, WM_VSCROLL, SB_THUMBTRACK, static_cast<WORD>(p.y));
        std::string where;
        const int wrong = CountDifferences(CaptureClient(viewer), RenderExpected(frame, p.x, p.y, client.right, client.bottom, text.c_str()), &where);
        EXPECT_EQ(wrong, 0) << "scrolled to " << p.x << "," << p.y << ": " << where;
    }
}

TEST_F(paint, the_hosts_centre_shrink_only_and_dark_mode) {
    ChainPtr decoded = Decode(gFiles.sample);
    const Image* frame = FrameAt(decoded.get(), 0);
    auto framePixel = [&](int left, int top) {
        return [=](int x, int y) { return PixelColor(frame, x - left, y - top); };
    };
    auto background = [](uint32_t color) { return [=](int, int) { return color; }; };
    auto shownFirstFrame = [](Lister& lister) {
        Command(lister.viewer(), IDM_PAUSE);
        EXPECT_EQ(lister.currentIndex(), 0);
        return CaptureClient(lister.viewer());
    };
    std::string where;
    {  // Centred, at its size, on white; then on dark.
        Lister lister(gFiles.sample, 64, 0, 0, 640, 480);
        Capture shown = shownFirstFrame(lister);
        EXPECT_EQ(CountMismatches(shown, {160, 140, 480, 340}, framePixel(160, 140), &where), 0) << where;
        EXPECT_EQ(CountMismatches(shown, {0, 0, 160, 480}, background(kWhite), &where), 0) << where;
        gPlugin.listSendCommand(lister.viewer(), 2, 64 | 128);
        shown = CaptureClient(lister.viewer());
        EXPECT_EQ(CountMismatches(shown, {160, 140, 480, 340}, framePixel(160, 140), &where), 0) << where;
        EXPECT_EQ(CountMismatches(shown, {0, 0, 160, 480}, background(0x202020), &where), 0) << where;
    }
    {  // Fit larger only: a picture that fits is not enlarged...
        Lister lister(gFiles.sample, 2 | 32, 0, 0, 640, 480);
        const Capture shown = shownFirstFrame(lister);
        EXPECT_EQ(CountMismatches(shown, {0, 0, 320, 200}, framePixel(0, 0), &where), 0) << where;
        EXPECT_EQ(CountMismatches(shown, {320, 0, 640, 480}, background(kWhite), &where), 0) << where;
        // ...and one that does not is reduced to fill the window (the sample
        // has no white pixel), with no scroll bars.
        lister.resize(160, 100);
        EXPECT_EQ(GetWindowLongA(lister.viewer(), GWL_STYLE) & (WS_HSCROLL | WS_VSCROLL), 0l);
        EXPECT_EQ(CountMismatches(CaptureClient(lister.viewer()), {0, 0, 160, 100}, background(kWhite)), 160 * 100);
    }
}

TEST_F(paint, fit_and_centre_from_the_menu_tell_the_host) {
    Lister lister(gFiles.sample, 0, 0, 0, 640, 480);
    HWND viewer = lister.viewer();
    auto told = [&](WORD item) {
        for (const Message& m : lister.parentMessages(WM_COMMAND))
            if (HIWORD(m.wparam) == item) return static_cast<int>(LOWORD(m.wparam));
        return -1;
    };
    Command(viewer, IDM_FIT_TO_WINDOW);
    EXPECT_TRUE(PumpUntil([&] { return told(kHostItemFit) == 1; }));
    EXPECT_TRUE(lister.state()->fitToWindow);
    Command(viewer, IDM_CENTER);
    EXPECT_TRUE(PumpUntil([&] { return told(kHostItemCenter) == 1; }));
    // Fitted into 640 x 400 and centred in 640 x 480: white bands of 40 rows.
    Command(viewer, IDM_PAUSE);
    const Capture shown = CaptureClient(viewer);
    std::string where;
    EXPECT_EQ(CountMismatches(shown, {0, 0, 640, 40}, [](int, int) { return kWhite; }, &where), 0) << where;
    EXPECT_NE(shown.at(0, 40), kWhite);
}

// ---- Zoom and panning --------------------------------------------------------------------

namespace {

// The large picture's window paused and sized to 300 x 200: the frame on screen.
const Image* PausedLarge(Lister& lister) {
    Command(lister.viewer(), IDM_PAUSE);
    lister.resize(300, 200);
    return FrameAt(lister.state()->first, lister.currentIndex());
}

}  // namespace

TEST_F(paint, zoom_repeats_pixels_up_and_averages_them_down) {
    Lister lister(gFiles.large, 0, 0, 0, 300, 200);
    HWND viewer = lister.viewer();
    ASSERT_TRUE(viewer);
    const Image* frame = PausedLarge(lister);
    const RECT client = ClientRect(viewer);
    std::string where;
    // + doubles about the window's middle: the picture pixel there stays.
    SendKey(viewer, VK_OEM_PLUS, Ctrl::none);
    const POINT scroll{GetScrollPos(viewer, SB_HORZ), GetScrollPos(viewer, SB_VERT)};
    EXPECT_EQ(scroll.x, client.right / 2);
    EXPECT_EQ(scroll.y, client.bottom / 2);
    EXPECT_EQ(ScrollRange(viewer, SB_HORZ).second, 960 - client.right);
    const Capture doubled = CaptureClient(viewer);
    EXPECT_EQ(CountMismatches(doubled, client, [&](int x, int y) { return PixelColor(frame, (x + scroll.x) / 2, (y + scroll.y) / 2); },
                              &where), 0) << where;
    // The overlay names the zoom.
    Command(viewer, IDM_SHOW_FRAME_NUMBER);
    const std::string text = "Frame: " + std::to_string(lister.currentIndex()) + "   200%";
    EXPECT_EQ(CountDifferences(CaptureClient(viewer), WithOverlay(doubled, text.c_str()), &where), 0) << where;
    Command(viewer, IDM_SHOW_FRAME_NUMBER);
    // - (the keypad's) goes back to the picture as it is, at the top-left.
    SendKey(viewer, VK_SUBTRACT, Ctrl::none);
    EXPECT_EQ(CountDifferences(CaptureClient(viewer), RenderExpected(frame, 0, 0, client.right, client.bottom, nullptr), &where), 0)
        << where;
    // Half size: each pixel the average of a 2 x 2 block.
    SendKey(viewer, VK_OEM_MINUS, Ctrl::none);
    const Capture half = CaptureClient(viewer);
    EXPECT_LE(HalfSizeError(frame, 240, 180, [&](int x, int y) { return half.at(x, y); }), 4)
        << "a pixel is off its 2 x 2 average by more than 1";
    EXPECT_EQ(ScrollRange(viewer, SB_HORZ), Range(0, 0));
    // Left Ctrl+0: 100% again.
    SendKey(viewer, '0', Ctrl::left);
    EXPECT_EQ(lister.state()->zoomIndex, kActualSize);
}

TEST_F(paint, ctrl_wheel_zooms_about_the_cursor_and_dragging_pans) {
    Lister lister(gFiles.large, 0, 0, 0, 300, 200);
    HWND viewer = lister.viewer();
    ASSERT_TRUE(viewer);
    const Image* frame = PausedLarge(lister);
    Scroll(viewer, WM_HSCROLL, SB_THUMBTRACK, 50);
    Scroll(viewer, WM_VSCROLL, SB_THUMBTRACK, 40);
    const POINT cursor{100, 80};
    POINT screen = cursor;
    ClientToScreen(viewer, &screen);
    SendMessageA(viewer, WM_MOUSEWHEEL, MAKEWPARAM(MK_CONTROL, WHEEL_DELTA), MAKELPARAM(screen.x, screen.y));
    // Picture pixel (150, 120) was under the cursor and still is.
    EXPECT_EQ(GetScrollPos(viewer, SB_HORZ), 150 * 2 - cursor.x);
    EXPECT_EQ(GetScrollPos(viewer, SB_VERT), 120 * 2 - cursor.y);
    const Capture shown = CaptureClient(viewer);
    for (const POINT& d : {POINT{0, 0}, POINT{1, 1}})
        EXPECT_EQ(shown.at(cursor.x + d.x, cursor.y + d.y), PixelColor(frame, 150, 120));
    // The left button drags the picture along.
    const POINT before{GetScrollPos(viewer, SB_HORZ), GetScrollPos(viewer, SB_VERT)};
    SendMessageA(viewer, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(150, 100));
    SendMessageA(viewer, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(120, 90));
    SendMessageA(viewer, WM_LBUTTONUP, 0, MAKELPARAM(120, 90));
    SendMessageA(viewer, WM_MOUSEMOVE, 0, MAKELPARAM(10, 10));  // no longer dragging
    EXPECT_EQ(GetScrollPos(viewer, SB_HORZ), before.x + 30);
    EXPECT_EQ(GetScrollPos(viewer, SB_VERT), before.y + 10);
    // Ctrl+wheel down twice from 200%: 50%.
    SendMessageA(viewer, WM_MOUSEWHEEL, MAKEWPARAM(MK_CONTROL, static_cast<WORD>(-2 * WHEEL_DELTA)), MAKELPARAM(screen.x, screen.y));
    EXPECT_EQ(lister.state()->zoomIndex, kActualSize - 1);
}

// On a palette display (8 bits a pixel) a picture shows in the colours of the
// logical palette realized for it, else in the system's 20. Wine's 8-bit
// displays keep a colour cube of their own whatever is realized, and its
// metafiles keep no palette's colours, so this checks what the drawing
// records into a metafile, every device taken as one with palettes: a
// palette made and selected for it, and the stretch mode, which dithers
// only to a halftone palette, the one for a picture without colours given.
TEST_F(paint, on_a_palette_display_a_reduced_picture_has_a_palette) {
    ChainPtr decoded = Decode(gFiles.steps);
    const Image* frame = decoded.get();
    ChainPtr reduced(ImageScaleArea(frame, 32, 24));  // true colour, no palette of its own
    ASSERT_TRUE(reduced);
    struct Drawn {
        bool palette = false;     // one was made and selected
        int mode = BLACKONWHITE;  // the stretch mode the picture was drawn in
    };
    auto draw = [&](const Image* colors) {
        HDC dc = CreateEnhMetaFileA(nullptr, nullptr, nullptr, nullptr);
        ImageDraw(reduced.get(), dc, 0, 0, 0, 0, colors);
        HENHMETAFILE metafile = CloseEnhMetaFile(dc);
        std::vector<uint8_t> bytes(GetEnhMetaFileBits(metafile, 0, nullptr));
        GetEnhMetaFileBits(metafile, static_cast<UINT>(bytes.size()), bytes.data());
        DeleteEnhMetaFile(metafile);
        Drawn drawn;
        bool made = false;
        int mode = BLACKONWHITE;
        for (size_t at = 0; at + sizeof(EMR) <= bytes.size();) {
            const auto* record = reinterpret_cast<const EMR*>(&bytes[at]);
            made = made || record->iType == EMR_CREATEPALETTE;
            if (record->iType == EMR_SELECTPALETTE && made) drawn.palette = true;
            if (record->iType == EMR_SETSTRETCHBLTMODE)
                mode = static_cast<int>(reinterpret_cast<const EMRSETSTRETCHBLTMODE*>(record)->iMode);
            if (record->iType == EMR_SETDIBITSTODEVICE || record->iType == EMR_STRETCHDIBITS) drawn.mode = mode;
            if (record->nSize == 0) break;
            at += record->nSize;
        }
        return drawn;
    };
    ImageDisplayInjectPalettes(true);
    const Drawn forFrame = draw(frame), alone = draw(nullptr);
    ImageDisplayInjectPalettes(false);
    const Drawn elsewhere = draw(frame);
    // The frame's palette, each pixel its nearest colour in it.
    EXPECT_TRUE(forFrame.palette);
    EXPECT_NE(forFrame.mode, HALFTONE);
    // On its own a halftone palette, which the picture is dithered to.
    EXPECT_TRUE(alone.palette);
    EXPECT_EQ(alone.mode, HALFTONE);
    // No palette on other devices.
    EXPECT_FALSE(elsewhere.palette);
}
