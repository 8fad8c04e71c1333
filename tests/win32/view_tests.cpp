// What the viewer shows and how it answers the user: playback of long files,
// the picture placed, scaled, scrolled and overlaid, every key, the mouse,
// the context menu and the boxes.
#include <algorithm>
#include <cstring>

#include "image/scale.h"
#include "resources/resource.h"
#include "shell/display_win32.h"
#include "tests/support/gif_builder.h"
#include "tests/win32/host.h"

using playback = HostTest;
using paint = HostTest;
using keys = HostTest;
using menu = HostTest;
using host = HostTest;

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

bool HasText(const MenuSeen& menu, const char* text) { return std::find(menu.texts.begin(), menu.texts.end(), text) != menu.texts.end(); }

// How long a long test waits for its next step: within the watchdog's minute.
constexpr DWORD kStepWaitMs = 50000;

// The frame lc_setpercent moves to.
int AtPercent(int percent, int count) { return (percent * (count - 1) + 50) / 100; }

}  // namespace

// ---- Playback of long files ------------------------------------------------------------------

TEST_F(playback, a_long_file_shows_its_first_frame_at_once_plays_in_order_and_goes_round) {
    Frames film(gFiles.film);
    ASSERT_EQ(film.count(), 6000);
    Lister lister(gFiles.film, 0);
    ASSERT_TRUE(lister.viewer());
    EXPECT_TRUE(Shows(lister.viewer(), film[0]));
    ASSERT_TRUE(PumpUntil([&] { return lister.percent() >= 2; }));
    EXPECT_EQ(lister.told(kHostItemPercent), (std::vector<int>{0, 1, 2}));
    // Near the end, it plays on to the last frame and then the first.
    EXPECT_EQ(gPlugin.listSendCommand(lister.viewer(), kListCommandSetPercent, 99), kListSuccess);
    lister.log.clear();
    ASSERT_TRUE(PumpUntil([&] { return lister.percent() == 1; }));
    EXPECT_EQ(lister.told(kHostItemPercent), (std::vector<int>{98, 99, 100, 0, 1}));
}

TEST_F(playback, a_position_or_a_step_back_shows_that_frame) {
    for (const std::string* file : {&gFiles.film, &gFiles.gif}) {
        Frames frames(*file);
        const int last = frames.count() - 1;
        Lister lister(*file, 0);
        HWND viewer = lister.viewer();
        ASSERT_TRUE(viewer);
        for (int percent : {25, 50, 0, 100}) {
            PauseAt(viewer, percent);
            EXPECT_TRUE(WaitShows(viewer, frames[AtPercent(percent, frames.count())])) << *file << " at " << percent;
            SendKey(viewer, VK_OEM_COMMA);
            const int back = percent == 0 ? last : AtPercent(percent, frames.count()) - 1;
            EXPECT_TRUE(WaitShows(viewer, frames[back])) << *file << " back from " << percent;
            Progress();
        }
    }
}

TEST_F(playback, ctrl_end_right_after_opening_shows_the_last_frame) {
    Lister lister(gFiles.film, 0);
    SendKey(lister.viewer(), VK_END, Ctrl::left);
    SendKey(lister.viewer(), VK_SPACE);  // and stays there
    Frames film(gFiles.film);
    EXPECT_TRUE(WaitShows(lister.viewer(), film[5999]));
    EXPECT_EQ(lister.percent(), 100);
}

// 30 000 frames of 640 x 480 (a picture, then a small change a frame), of
// 2 ms: a minute at 1x, 7.5 s at 8x. Played once, it goes through them in
// order to the last and stays there, every frame counted and no note saying
// that it ended early.
TEST_F(playback, thirty_thousand_frames_play_once_to_the_last) {
    const std::string path = gFiles.dir + "\\reel.flc";
    WriteBytes(path, MakeFilm(30000, 2, 640, 480));
    ChainPtr last;
    {
        Frames reel(path);
        ASSERT_EQ(reel.count(), 30000);
        last.reset(ImageDuplicate(reel[29999]));
        ASSERT_TRUE(last);
    }
    Lister lister(path, 0);
    HWND viewer = lister.viewer();
    ASSERT_TRUE(viewer);
    Command(viewer, IDM_LOOP);  // off: once through
    for (int i = 0; i < 4; ++i) Command(viewer, IDM_FASTER);
    // Told as shown: 100 is frame 29 999 alone. Each step of the position is
    // waited for without a limit but the watchdog's minute.
    for (int at = lister.percent(); at != 100; at = lister.percent()) {
        if (!PumpUntil([&] { return lister.percent() != at; }, kStepWaitMs)) break;
        Progress();
    }
    const std::vector<int> told = lister.told(kHostItemPercent);
    ASSERT_EQ(lister.percent(), 100) << "the position stopped at " << lister.percent();
    EXPECT_TRUE(std::is_sorted(told.begin(), told.end()));
    EXPECT_TRUE(WaitShows(viewer, last.get()));
    BoxSeen box;
    ExpectWindows({AnswerBox(&box)});
    Command(viewer, IDM_INFORMATION);
    EXPECT_TRUE(ExpectationMet());
    EXPECT_NE(box.text.find("\nTotal frame number: 30000 frame(s)\nDuration: 1:00.000\nFrame rate: 500 fps\nFile size: "),
              std::string::npos)
        << box.text;
    Command(viewer, IDM_LOOP);  // as it was
}

// The timeline (Settings > Timeline): a click shows the frame at that point
// of the bar, dragging shows the frames under the pointer in order, and a
// fitted picture stays above the bar.
TEST_F(playback, the_timeline_seeks_and_a_fitted_picture_stays_above_it) {
    Frames film(gFiles.film);
    Lister lister(gFiles.film, 0, 640, 500);
    HWND viewer = lister.viewer();
    Command(viewer, IDM_TIMELINE);
    SendKey(viewer, VK_SPACE);
    const RECT client = ClientRect(viewer);
    const int y = client.bottom - 8, left = 8, width = client.right - 16;  // the track at 96 dpi
    auto frameAt = [&](int x) { return ((x - left) * 5999 + (width - 1) / 2) / (width - 1); };
    auto press = [&](UINT message, int x) { SendMessageA(viewer, message, MK_LBUTTON, MAKELPARAM(x, y)); };
    for (int percent : {25, 50, 100}) {
        const int x = left + percent * (width - 1) / 100;
        press(WM_LBUTTONDOWN, x);
        press(WM_LBUTTONUP, x);
        EXPECT_TRUE(WaitShows(viewer, film[frameAt(x)])) << percent;
    }
    lister.log.clear();
    press(WM_LBUTTONDOWN, left);
    for (int x = left; x <= left + width / 2; x += 8) {
        press(WM_MOUSEMOVE, x);
        Pump(0);
    }
    press(WM_LBUTTONUP, left + width / 2);
    EXPECT_TRUE(WaitShows(viewer, film[frameAt(left + width / 2)]));
    const std::vector<int> told = lister.told(kHostItemPercent);
    EXPECT_TRUE(std::is_sorted(told.begin(), told.end()));
    EXPECT_GE(told.size(), 2u);

    // Fitted into 320 x 234 above a 16-pixel bar: no picture in the bar's rows.
    lister.resize(320, 250);
    Command(viewer, IDM_FIT_TO_WINDOW);
    const Capture shown = CaptureClient(viewer);
    int picture = 0;
    for (int x = 0; x < shown.width; ++x) {
        for (int row = shown.height - 16; row < shown.height; ++row) {
            const uint32_t c = shown.at(x, row);
            EXPECT_TRUE(c == 0 || c == 0x808080 || c == kWhite) << x << "," << row;
        }
        picture += shown.at(x, shown.height - 17) != kWhite;
    }
    EXPECT_GT(picture, 200);  // the picture reaches down to the bar
}

// ---- The picture ------------------------------------------------------------------------------

TEST_F(paint, the_frame_at_the_top_left_on_white_with_its_number) {
    Lister lister(gFiles.sample, 0, 400, 300);
    HWND viewer = lister.viewer();
    Frames sample(gFiles.sample);
    PauseAt(viewer, 50);
    ASSERT_TRUE(WaitShows(viewer, sample[12]));
    std::string where;
    EXPECT_EQ(CountDifferences(CaptureClient(viewer), RenderExpected(sample[12], 0, 0, 400, 300), &where), 0) << where;
    SendKey(viewer, 'S', Ctrl::left);
    EXPECT_EQ(CountDifferences(CaptureClient(viewer), RenderExpected(sample[12], 0, 0, 400, 300, "Frame: 12 / 24   Paused"), &where), 0) << where;
    // After the last frame the overlay counts from 0 again.
    PauseAt(viewer, 100);
    SendKey(viewer, VK_OEM_PERIOD);
    EXPECT_TRUE(PumpUntil([&] { return CountDifferences(CaptureClient(viewer), RenderExpected(sample[0], 0, 0, 400, 300, "Frame: 0 / 24   Paused")) == 0; }));
    SendKey(viewer, 'S', Ctrl::left);
    EXPECT_EQ(CountDifferences(CaptureClient(viewer), RenderExpected(sample[0], 0, 0, 400, 300), &where), 0) << where;
}

TEST_F(paint, fit_to_window_keeps_the_aspect_ratio_and_the_menu_tells_the_host) {
    Lister lister(gFiles.sample, kShowFitToWindow);
    HWND viewer = lister.viewer();
    PauseAt(viewer, 0);
    Frames sample(gFiles.sample);
    const Image* frame = sample[0];
    // Twice the size: every pixel can be checked.
    std::string where;
    EXPECT_TRUE(PumpUntil([&] {
        return CountMismatches(CaptureClient(viewer), {0, 0, 640, 400}, [&](int x, int y) { return PixelColor(frame, x / 2, y / 2); }, &where) == 0;
    })) << where;
    EXPECT_EQ(CountMismatches(CaptureClient(viewer), {0, 400, 640, 480}, [](int, int) { return kWhite; }, &where), 0) << where;
    // Other sizes: the picture covers exactly the fitted rectangle at the
    // top-left corner (the sample has no white pixel), the rest stays white.
    const struct {
        SIZE client;
        SIZE fitted;
    } cases[] = {{{400, 400}, {400, 250}}, {{700, 300}, {480, 300}}, {{160, 300}, {160, 100}}, {{333, 222}, {333, 208}}};
    for (const auto& c : cases) {
        lister.resize(c.client.cx, c.client.cy);
        const Capture shown = CaptureClient(viewer);
        int wrong = 0;
        for (int y = 0; y < shown.height; ++y)
            for (int x = 0; x < shown.width; ++x) wrong += (x < c.fitted.cx && y < c.fitted.cy) == (shown.at(x, y) == kWhite);
        EXPECT_EQ(wrong, 0) << "pixels outside the fitted rectangle in a client of " << c.client.cx << "x" << c.client.cy;
        EXPECT_EQ(shown.at(0, 0), PixelColor(frame, 0, 0));
    }
    // Centring and fit from the menu, told to the host: fitted into 640 x
    // 400 and centred in 640 x 480, then centred at its size.
    lister.resize(640, 480);
    Command(viewer, IDM_CENTER);
    EXPECT_EQ(CountMismatches(CaptureClient(viewer), {0, 0, 640, 40}, [](int, int) { return kWhite; }, &where), 0) << where;
    EXPECT_NE(CaptureClient(viewer).at(0, 40), kWhite);
    Command(viewer, IDM_FIT_TO_WINDOW);
    EXPECT_TRUE(Shows(viewer, frame, 160, 140));
    EXPECT_TRUE(PumpUntil([&] { return lister.told(kHostItemFit) == std::vector<int>{0} && lister.told(kHostItemCenter) == std::vector<int>{1}; }));
}

TEST_F(paint, scroll_bars_and_the_picture_follow_the_scroll_position) {
    Lister lister(gFiles.large, 0, 300, 200);
    HWND viewer = lister.viewer();
    PauseAt(viewer, 0);
    Frames large(gFiles.large);
    ASSERT_TRUE(WaitShows(viewer, large[0]));
    SendKey(viewer, 'S', Ctrl::left);
    // The lister's first sizing makes both bars appear, each with a nested
    // size message: the ranges are those of the final client area, so the
    // last rows and columns can be scrolled into view.
    const RECT client = ClientRect(viewer);
    EXPECT_TRUE(client.right < 300 && client.bottom < 200);
    EXPECT_EQ(ScrollRange(viewer, SB_HORZ), Range(0, 480 - client.right));
    EXPECT_EQ(ScrollRange(viewer, SB_VERT), Range(0, 360 - client.bottom));
    // The picture moves under the overlay, which stays put.
    for (const POINT p : {POINT{37, 21}, POINT{1, 0}, POINT{480 - client.right, 360 - client.bottom}}) {
        Scroll(viewer, WM_HSCROLL, SB_THUMBTRACK, static_cast<WORD>(p.x));
        Scroll(viewer, WM_VSCROLL, SB_THUMBTRACK, static_cast<WORD>(p.y));
        EXPECT_EQ(std::make_pair(GetScrollPos(viewer, SB_HORZ), GetScrollPos(viewer, SB_VERT)), std::make_pair(int{p.x}, int{p.y}));
        std::string where;
        EXPECT_EQ(CountDifferences(CaptureClient(viewer), RenderExpected(large[0], p.x, p.y, client.right, client.bottom, "Frame: 0 / 2   Paused"), &where), 0)
            << "scrolled to " << p.x << "," << p.y << ": " << where;
    }
    // Larger: the position is pulled back; larger than the frame: no bars.
    lister.resize(400, 300);
    EXPECT_EQ(GetScrollPos(viewer, SB_HORZ), 480 - ClientRect(viewer).right);
    lister.resize(600, 450);
    EXPECT_EQ(GetWindowLongA(viewer, GWL_STYLE) & (WS_HSCROLL | WS_VSCROLL), 0l);
    EXPECT_EQ(ClientRect(viewer).right, 600L);
    // A window the picture's size shows it whole without bars, whether it
    // came there from larger or from smaller; a pixel less shows both.
    for (const SIZE from : {SIZE{600, 450}, SIZE{300, 200}, SIZE{481, 200}, SIZE{200, 361}}) {
        lister.resize(from.cx, from.cy);
        lister.resize(480, 360);
        EXPECT_EQ(GetWindowLongA(viewer, GWL_STYLE) & (WS_HSCROLL | WS_VSCROLL), 0l) << from.cx << "x" << from.cy;
        EXPECT_EQ(ClientRect(viewer).right, 480L);
        EXPECT_EQ(ClientRect(viewer).bottom, 360L);
        EXPECT_EQ(CountDifferences(CaptureClient(viewer), RenderExpected(large[0], 0, 0, 480, 360, "Frame: 0 / 2   Paused")), 0)
            << "from " << from.cx << "x" << from.cy;
    }
    lister.resize(479, 360);
    EXPECT_EQ(GetWindowLongA(viewer, GWL_STYLE) & (WS_HSCROLL | WS_VSCROLL), static_cast<LONG>(WS_HSCROLL | WS_VSCROLL));
}

TEST_F(paint, zoom_repeats_pixels_up_and_averages_them_down) {
    Lister lister(gFiles.large, 0, 300, 200);
    HWND viewer = lister.viewer();
    PauseAt(viewer, 0);
    Frames large(gFiles.large);
    const Image* frame = large[0];
    ASSERT_TRUE(WaitShows(viewer, frame));
    const RECT client = ClientRect(viewer);
    std::string where;
    // + doubles about the window's middle: the picture pixel there stays.
    SendKey(viewer, VK_OEM_PLUS);
    const POINT scroll{GetScrollPos(viewer, SB_HORZ), GetScrollPos(viewer, SB_VERT)};
    EXPECT_EQ(scroll.x, client.right / 2);
    EXPECT_EQ(scroll.y, client.bottom / 2);
    const Capture doubled = CaptureClient(viewer);
    EXPECT_EQ(CountMismatches(doubled, client, [&](int x, int y) { return PixelColor(frame, (x + scroll.x) / 2, (y + scroll.y) / 2); }, &where), 0)
        << where;
    // The overlay names the zoom.
    SendKey(viewer, 'S', Ctrl::left);
    EXPECT_EQ(CountDifferences(CaptureClient(viewer), WithOverlay(doubled, "Frame: 0 / 2   Paused   200%"), &where), 0) << where;
    SendKey(viewer, 'S', Ctrl::left);
    // - (the keypad's) goes back to the picture as it is, at the top-left.
    SendKey(viewer, VK_SUBTRACT);
    EXPECT_EQ(CountDifferences(CaptureClient(viewer), RenderExpected(frame, 0, 0, client.right, client.bottom), &where), 0) << where;
    // Half size: each pixel the average of a 2 x 2 block.
    SendKey(viewer, VK_OEM_MINUS);
    const Capture half = CaptureClient(viewer);
    EXPECT_LE(HalfSizeError(frame, 240, 180, [&](int x, int y) { return half.at(x, y); }), 4) << "a pixel is off its 2 x 2 average by more than 1";
    // Left Ctrl+0: 100% again.
    SendKey(viewer, '0', Ctrl::left);
    EXPECT_TRUE(Shows(viewer, frame, -GetScrollPos(viewer, SB_HORZ), -GetScrollPos(viewer, SB_VERT)));
}

TEST_F(paint, ctrl_wheel_zooms_about_the_cursor_and_dragging_pans) {
    Lister lister(gFiles.large, 0, 300, 200);
    HWND viewer = lister.viewer();
    PauseAt(viewer, 0);
    Frames large(gFiles.large);
    const Image* frame = large[0];
    ASSERT_TRUE(WaitShows(viewer, frame));
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
    for (const POINT& d : {POINT{0, 0}, POINT{1, 1}}) EXPECT_EQ(shown.at(cursor.x + d.x, cursor.y + d.y), PixelColor(frame, 150, 120));
    // The left button drags the picture along.
    const POINT before{GetScrollPos(viewer, SB_HORZ), GetScrollPos(viewer, SB_VERT)};
    SendMessageA(viewer, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(150, 100));
    SendMessageA(viewer, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(120, 90));
    SendMessageA(viewer, WM_LBUTTONUP, 0, MAKELPARAM(120, 90));
    SendMessageA(viewer, WM_MOUSEMOVE, 0, MAKELPARAM(10, 10));  // no longer dragging
    EXPECT_EQ(GetScrollPos(viewer, SB_HORZ), before.x + 30);
    EXPECT_EQ(GetScrollPos(viewer, SB_VERT), before.y + 10);
    // Ctrl+wheel down twice from 200%: 50%, which fits.
    SendMessageA(viewer, WM_MOUSEWHEEL, MAKEWPARAM(MK_CONTROL, static_cast<WORD>(-2 * WHEEL_DELTA)), MAKELPARAM(screen.x, screen.y));
    EXPECT_EQ(GetWindowLongA(viewer, GWL_STYLE) & (WS_HSCROLL | WS_VSCROLL), 0l);
}

// On a palette display (8 bits a pixel) a picture shows in the colours of the
// logical palette realized for it, else in the system's 20. Wine's 8-bit
// displays keep a colour cube of their own whatever is realized, and its
// metafiles keep no palette's colours, so this checks what the drawing
// records into a metafile, every device taken as one with palettes: a
// palette made and selected for it, and the stretch mode, which dithers
// only to a halftone palette, the one for a picture without colours given.
TEST_F(paint, on_a_palette_display_a_reduced_picture_has_a_palette) {
    ChainPtr decoded = Load(gFiles.steps);
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
            if (record->iType == EMR_SETSTRETCHBLTMODE) mode = static_cast<int>(reinterpret_cast<const EMRSETSTRETCHBLTMODE*>(record)->iMode);
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

// ---- Keys and the mouse ---------------------------------------------------------------------

// Every key of the viewer's table reaches its command, seen as the user
// sees it; the rest, and the viewer's letters without the left Ctrl key, go
// to the lister as they came.
TEST_F(keys, every_key_reaches_its_command) {
    const std::string clip = gFiles.dir + "\\Мой.клип.flc";
    WriteBytes(clip, ReadBytes(gFiles.large));
    Lister lister(clip, 0, 300, 200);
    HWND viewer = lister.viewer();
    ASSERT_TRUE(viewer);
    Frames large(gFiles.large);
    const RECT client = ClientRect(viewer);

    // Pause, frames and single steps: the menu's check mark and the frame shown.
    SendKey(viewer, VK_SPACE);
    EXPECT_TRUE(Checked(OpenMenu(viewer), IDM_PAUSE));
    SendKey(viewer, VK_PAUSE);
    EXPECT_FALSE(Checked(OpenMenu(viewer), IDM_PAUSE));
    PauseAt(viewer, 0);
    const std::tuple<WPARAM, Ctrl, int> frameKeys[] = {{VK_END, Ctrl::left, 1},       {VK_HOME, Ctrl::left, 0},  {VK_OEM_PERIOD, Ctrl::none, 1},
                                                       {VK_OEM_COMMA, Ctrl::none, 0}, {VK_SPACE, Ctrl::left, 1}, {VK_PAUSE, Ctrl::left, 0}};
    for (const auto& [key, ctrl, frame] : frameKeys) {
        SendKey(viewer, key, ctrl);
        EXPECT_TRUE(WaitShows(viewer, large[frame])) << key;
        EXPECT_TRUE(Checked(OpenMenu(viewer), IDM_PAUSE)) << key;
    }

    // Scrolling: the bars' positions, and the picture with them.
    const int across = client.right / 3, down = client.bottom / 3;
    const std::tuple<WPARAM, Ctrl, int, int> scrolls[] = {
        {VK_END, Ctrl::none, SB_HORZ, across},        {VK_RIGHT, Ctrl::none, SB_HORZ, across + 2},  {VK_RIGHT, Ctrl::left, SB_HORZ, across + 4},
        {VK_LEFT, Ctrl::left, SB_HORZ, across + 2},   {VK_LEFT, Ctrl::none, SB_HORZ, across},       {VK_HOME, Ctrl::none, SB_HORZ, 0},
        {VK_NEXT, Ctrl::none, SB_VERT, down},         {VK_NEXT, Ctrl::left, SB_VERT, 2 * down},     {VK_DOWN, Ctrl::none, SB_VERT, 2 * down + 2},
        {VK_DOWN, Ctrl::left, SB_VERT, 2 * down + 4}, {VK_UP, Ctrl::left, SB_VERT, 2 * down + 2},   {VK_UP, Ctrl::none, SB_VERT, 2 * down},
        {VK_PRIOR, Ctrl::left, SB_VERT, down}};
    for (const auto& [key, ctrl, bar, position] : scrolls) {
        SendKey(viewer, key, ctrl);
        EXPECT_EQ(GetScrollPos(viewer, bar), position) << key;
    }
    EXPECT_TRUE(Shows(viewer, large[0], 0, -down));
    SendKey(viewer, VK_PRIOR);

    // Zoom: the scroll range at 200% and back at 100%.
    const int actual = ScrollRange(viewer, SB_HORZ).second;
    for (WPARAM in : {VK_OEM_PLUS, VK_ADD})
        for (const auto& [out, ctrl] : {std::pair{WPARAM{VK_OEM_MINUS}, Ctrl::none}, std::pair{WPARAM{VK_SUBTRACT}, Ctrl::none},
                                        std::pair{WPARAM{'0'}, Ctrl::left}, std::pair{WPARAM{VK_NUMPAD0}, Ctrl::left}}) {
            SendKey(viewer, in);
            EXPECT_EQ(ScrollRange(viewer, SB_HORZ).second, 960 - client.right) << in;
            SendKey(viewer, out, ctrl);
            EXPECT_EQ(ScrollRange(viewer, SB_HORZ).second, actual) << out;
        }

    // The frame number, and the speed named in the menu.
    SendKey(viewer, 'S', Ctrl::left);
    EXPECT_FALSE(Shows(viewer, large[0]));
    SendKey(viewer, 'S', Ctrl::left);
    EXPECT_TRUE(Shows(viewer, large[0]));
    for (const auto& [key, text] : {std::pair{']', "Spee&d (2x)"}, {'[', "Spee&d (1x)"}, {'[', "Spee&d (1/2x)"}, {'\\', "Spee&d (1x)"}}) {
        SendMessageA(viewer, WM_CHAR, static_cast<WPARAM>(key), 1);
        EXPECT_TRUE(HasText(OpenMenu(viewer), text)) << key;
    }

    // The save dialogs, each of its command (the first type tells them apart), cancelled.
    const std::tuple<WPARAM, const char*, const char*> dialogs[] = {
        {'E', "Windows or OS/2 Bitmap (*.BMP;*.DIB)", "Frame000"}, {'T', "Windows or OS/2 Bitmap (*.BMP;*.DIB)", "Frame"},
        {'G', "Graphics Interchange Format (*.GIF)", "Мой.клип"},  {'I', "Audio Video Interleaved animation file (*.AVI)", "Мой.клип"},
        {'M', "Pro Motion Animation (*.SPR)", "Мой.клип"}};
    for (const auto& [key, type, name] : dialogs) {
        SaveDialogView view;
        ExpectWindows({CancelSaveDialog(&view)});
        SendKey(viewer, key, Ctrl::left);
        EXPECT_TRUE(ExpectationMet());
        EXPECT_EQ(view.types.size(), key == 'E' || key == 'T' ? 6u : 1u) << key;
        EXPECT_EQ(view.types.empty() ? "" : view.types[0], type) << key;
        EXPECT_EQ(view.name, name) << key;
    }

    // I (without the left Ctrl key) shows the information box, and the lister gets the key after it.
    for (Ctrl ctrl : {Ctrl::none, Ctrl::right}) {
        BoxSeen box;
        ExpectWindows({AnswerBox(&box)});
        lister.log.clear();
        SendKey(viewer, 'I', ctrl);
        EXPECT_TRUE(ExpectationMet());
        EXPECT_EQ(box.caption, "Information");
        const std::vector<Message> passed = lister.messages(WM_KEYDOWN);
        EXPECT_TRUE(passed.size() == 1 && passed[0].wparam == 'I' && passed[0].sequence > box.sequence);
    }

    // The rest go to the lister as they came; only key-downs.
    auto passedOn = [&](WPARAM key, Ctrl ctrl) {
        const LPARAM lparam = MAKELPARAM(1, 0x100 + key);
        lister.log.clear();
        SendKey(viewer, key, ctrl, lparam);
        const std::vector<Message> got = lister.messages(WM_KEYDOWN);
        EXPECT_TRUE(got.size() == 1 && got[0].wparam == key && got[0].lparam == lparam) << key << " with Ctrl " << static_cast<int>(ctrl);
    };
    for (WPARAM key : std::initializer_list<WPARAM>{'E', 'G', 'M', 'S', 'T', '0', VK_NUMPAD0})
        for (Ctrl ctrl : {Ctrl::none, Ctrl::right}) passedOn(key, ctrl);
    for (WPARAM key : std::initializer_list<WPARAM>{'C', 'F', 'N', 'P', '1', '7', VK_ESCAPE, VK_RETURN, VK_TAB, VK_F3, VK_INSERT, VK_DELETE, VK_CONTROL})
        for (Ctrl ctrl : {Ctrl::none, Ctrl::left, Ctrl::right}) passedOn(key, ctrl);
    lister.log.clear();
    SendMessageA(viewer, WM_KEYUP, 'E', 0xC0000001);
    SendMessageA(viewer, WM_CHAR, 'e', 1);
    EXPECT_TRUE(lister.log.empty());

    // The Applications key opens the menu at the window's top-left corner, a
    // right click where it was; a left click goes to the lister.
    POINT origin{0, 0};
    ClientToScreen(viewer, &origin);
    MenuSeen seen;
    for (Ctrl ctrl : {Ctrl::none, Ctrl::left, Ctrl::right}) {
        ExpectWindows({ReadMenu(&seen)});
        SendKey(viewer, VK_APPS, ctrl);
        EXPECT_TRUE(ExpectationMet());
        EXPECT_EQ(std::make_pair(seen.rect.left, seen.rect.top), std::make_pair(origin.x, origin.y));
    }
    ExpectWindows({ReadMenu(&seen)});
    SendMessageA(viewer, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(30, 20));
    EXPECT_TRUE(ExpectationMet());
    EXPECT_EQ(std::make_pair(seen.rect.left, seen.rect.top), std::make_pair(origin.x + 30, origin.y + 20));
    lister.log.clear();
    SendMessageA(viewer, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(17, 23));
    const std::vector<Message> clicks = lister.messages(WM_LBUTTONDOWN);
    EXPECT_TRUE(clicks.size() == 1 && clicks[0].wparam == MK_LBUTTON && clicks[0].lparam == MAKELPARAM(17, 23));
    SendMessageA(viewer, WM_LBUTTONUP, 0, MAKELPARAM(17, 23));
}

// ---- The context menu and the boxes ------------------------------------------------------------

TEST_F(menu, every_command_is_on_the_menu_and_a_chosen_item_runs) {
    Lister lister(gFiles.steps, 0, 300, 200);
    HWND viewer = lister.viewer();
    MenuSeen seen = OpenMenu(viewer);
    EXPECT_EQ(seen.greyed, std::vector<UINT>{});
    EXPECT_EQ(seen.items, 21);
    EXPECT_EQ(seen.texts.size(), 39u);  // the items of the menu and its submenus, separators included
    // A letter typed in a menu chooses its item only when no other item there has it.
    EXPECT_EQ(seen.sharedLetters, std::vector<std::string>{});
    // The first item, Copy, chosen with the keyboard.
    PauseAt(viewer, 100);
    Frames steps(gFiles.steps);
    ASSERT_TRUE(WaitShows(viewer, steps[3]));
    if (OpenClipboard(lister.parent())) {
        EmptyClipboard();
        CloseClipboard();
    }
    OpenMenu(viewer, {VK_DOWN, VK_RETURN});
    EXPECT_TRUE(PumpUntil([] { return IsClipboardFormatAvailable(CF_DIB) != 0; }));
    // A still has nothing to play, step through or export as an animation.
    Lister still(gFiles.still, 0, 300, 200);
    std::vector<UINT> greyed = OpenMenu(still.viewer()).greyed;
    std::sort(greyed.begin(), greyed.end());
    EXPECT_EQ(greyed, (std::vector<UINT>{IDM_PAUSE, IDM_NEXT_FRAME, IDM_EXTRACT_ALL_FRAMES, IDM_EXPORT_GIF, IDM_EXPORT_AVI,
                                         IDM_EXPORT_SPR, IDM_STEP_FORWARD, IDM_STEP_BACK, IDM_FIRST_FRAME, IDM_LAST_FRAME,
                                         IDM_FASTER, IDM_SLOWER, IDM_NORMAL_SPEED}));
}

TEST_F(menu, information_and_about_boxes) {
    const std::pair<const std::string*, const char*> cases[] = {
        {&gFiles.sample, "Autodesk Flic Animation (FLC)\n\nWidth: 320\nHeight: 200\nColor Depth: 256 colors\n\nTotal frame number: 24 frame(s)\nDuration: 0:01.920\nFrame rate: 12.5 fps"},
        {&gFiles.fli, "Autodesk Flic Animation (FLI)\n\nWidth: 32\nHeight: 20\nColor Depth: 256 colors\n\nTotal frame number: 3 frame(s)\nDuration: 0:00.213\nFrame rate: 14.085 fps"},
        {&gFiles.film, "Autodesk Flic Animation (FLC)\n\nWidth: 640\nHeight: 480\nColor Depth: 256 colors\n\nTotal frame number: 6000 frame(s)\nDuration: 1:00.000\nFrame rate: 100 fps"},
        {&gFiles.deep, "Windows or OS/2 Bitmap\n\nWidth: 40\nHeight: 30\nColor Depth: 4294967296 colors\n\nTotal frame number: 1 frame(s)"},
    };
    BoxSeen box;
    for (const auto& [file, text] : cases) {
        Lister lister(*file, 0, 300, 200);
        ExpectWindows({AnswerBox(&box)});
        Command(lister.viewer(), IDM_INFORMATION);
        EXPECT_TRUE(ExpectationMet());
        EXPECT_EQ(box.caption, "Information");
        EXPECT_EQ(box.text, std::string("Type: ") + text + "\nFile size: " + std::to_string(ReadBytes(*file).size()) + " bytes");
        EXPECT_EQ(box.owner, lister.parent());
    }
    {
        // Frames of 100, 200 and 500 ms: the rate varies. The last one's
        // own colours make it a 24-bit picture, while the box describes the
        // first frame whichever is on screen.
        GifBuilder gif(8, 8);
        gif.globalTable(TestColors(4));
        for (int delay : {10, 20, 50}) {
            GifImage image{0, 0, 8, 8};
            image.pixels.assign(64, static_cast<uint8_t>(delay % 4));
            if (delay == 50) {
                image = GifImage{0, 0, 2, 2};
                image.pixels.assign(4, 1);
                const std::vector<Rgb> colors = TestColors(8);
                image.localTable.assign(colors.begin() + 4, colors.end());
            }
            gif.control(1, delay).image(image);
        }
        const std::string varying = gFiles.dir + "\\varying.gif";
        WriteBytes(varying, gif.finish());
        Lister lister(varying, 0, 300, 200);
        Frames frames(varying);
        ASSERT_EQ(ImageBitCount(frames[2]), 24);
        PauseAt(lister.viewer(), 100);
        ASSERT_TRUE(WaitShows(lister.viewer(), frames[2]));
        ExpectWindows({AnswerBox(&box)});
        Command(lister.viewer(), IDM_INFORMATION);
        EXPECT_TRUE(ExpectationMet());
        EXPECT_NE(box.text.find("Color Depth: 16 colors\n\nTotal frame number: 3 frame(s)\nDuration: 0:00.800\n"
                                "Frame rate: varies, 2 to 10 fps\n"),
                  std::string::npos)
            << box.text;
    }
    {
        // Damage found: the count, the time they play and the note agree.
        Frames decoded(gFiles.damaged);
        int frames = 0;
        while (decoded[frames]) ++frames;
        Lister lister(gFiles.damaged, 0, 300, 200);
        PauseAt(lister.viewer(), 100);
        ASSERT_TRUE(PumpUntil([&] { return lister.percent() == 100; }));
        char duration[32];
        DurationText(uint64_t{80} * static_cast<uint64_t>(frames), duration, sizeof duration);
        ExpectWindows({AnswerBox(&box)});
        Command(lister.viewer(), IDM_INFORMATION);
        EXPECT_TRUE(ExpectationMet());
        const std::string counted = "Total frame number: " + std::to_string(frames) + " frame(s)\nDuration: " + duration + "\n";
        EXPECT_NE(box.text.find(counted), std::string::npos) << box.text;
        const std::string note = "(the file is damaged after frame " + std::to_string(frames - 1) + ": it is cut short)";
        EXPECT_NE(box.text.find(note), std::string::npos) << box.text;
    }
    Lister lister(gFiles.still, 0, 300, 200);
    ExpectWindows({AnswerBox(&box)});
    Command(lister.viewer(), IDM_ABOUT);
    EXPECT_TRUE(ExpectationMet());
    EXPECT_EQ(box.caption, "About");
    // "Version 1.0.0.0 (Mmm dd yyyy)", the day padded with a space.
    const std::string head = "Autodesk FLIC animation (FLI/FLC) lister plug-in for Total Commander\nVersion 1.0.0.0 (";
    EXPECT_EQ(box.text.rfind(head, 0), 0u) << box.text;
    EXPECT_EQ(box.text.find(")\n\n", head.size()), head.size() + 11) << box.text;
    EXPECT_GT(box.text.size(), head.size() + 14);
}

TEST_F(host, an_unexpected_dialog_is_closed_and_reported) {
    Lister lister(gFiles.still, 0, 300, 200);
    Command(lister.viewer(), IDM_ABOUT);  // returns only once the helper closed the box
    const std::vector<std::string> failures = TakeHelperFailures();
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_NE(failures[0].find("About"), std::string::npos);
}
