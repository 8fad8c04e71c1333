// Playback on the window timer, the keys, the context menu and the commands.
#include <cstring>

#include "resources/resource.h"
#include "tests/win32/host.h"

namespace {

std::pair<int, int> PlaybackState(const Lister& lister) { return {lister.state()->paused, lister.state()->singleStep}; }
std::string ToText(const std::pair<int, int>& state) {
    return "(paused " + std::to_string(state.first) + ", step " + std::to_string(state.second) + ")";
}

// Whether the timer runs: a tick or a frame change within `ms`.
bool Ticks(const Lister& lister, DWORD ms) {
    const Image* shown = lister.state()->current;
    const LoopCounts counts = Pump(ms, lister.viewer());
    return counts.timers > 0 || lister.state()->current != shown;
}

double CpuMs() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto ms = [](const FILETIME& t) { return static_cast<double>((uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime) / 10000.0; };
    return ms(kernel) + ms(user);
}

struct Idle {
    double cpuPercent;
    LoopCounts counts;
};

Idle MeasureIdle(const Lister& lister, DWORD ms) {
    const double cpu = CpuMs();
    const double start = NowMs();
    const LoopCounts counts = Pump(ms, lister.viewer());
    return {100.0 * (CpuMs() - cpu) / (NowMs() - start), counts};
}

struct MessageBoxSeen {
    std::string caption;
    std::string text;
    LONG sequence = 0;
};

// Arms the helper to read the next message box and press its OK button.
void ExpectMessageBox(MessageBoxSeen* seen) {
    ExpectWindow("#32770", [seen](HWND box) {
        seen->sequence = NextSequence();
        seen->caption = WindowText(box);
        seen->text = DialogItemText(box, 0xFFFF);
        ClickButton(box, IDOK);
    });
}

// The commands that ask for a file name.
bool OpensSaveDialog(WORD command) {
    switch (command) {
        case IDM_EXTRACT_FRAME:
        case IDM_EXTRACT_ALL_FRAMES:
        case IDM_EXPORT_GIF:
        case IDM_EXPORT_AVI:
        case IDM_EXPORT_SPR: return true;
        default: return false;
    }
}

struct MenuSeen {
    RECT rect{};
    bool pauseChecked = false;
    bool frameNumberChecked = false;
    int items = 0;
};

// Arms the helper to read the next popup menu and then send it `keys`.
void ExpectMenu(MenuSeen* seen, std::vector<WPARAM> keys = {VK_ESCAPE}) {
    ExpectWindow("#32768", [seen, keys](HWND window) {
        GetWindowRect(window, &seen->rect);
        DWORD_PTR result = 0;
        AskWindow(window, MN_GETHMENU, 0, 0, &result);
        HMENU menu = reinterpret_cast<HMENU>(result);
        seen->items = GetMenuItemCount(menu);
        seen->pauseChecked = (GetMenuState(menu, IDM_PAUSE, MF_BYCOMMAND) & MF_CHECKED) != 0;
        seen->frameNumberChecked = (GetMenuState(menu, IDM_SHOW_FRAME_NUMBER, MF_BYCOMMAND) & MF_CHECKED) != 0;
        for (WPARAM key : keys) PostMessageA(window, WM_KEYDOWN, key, 0);
    });
}

}  // namespace

// ---- Playback ----------------------------------------------------------------------------------

HOST_TEST(playback, plays_every_frame_in_order_with_its_delay) {
    Lister lister(gFiles.sample, 0, 0, 0, 400, 300);
    const ViewerState* s = lister.state();
    CHECK(s);
    if (!s) return;
    std::vector<double> times;
    std::vector<int> indices;
    bool countersMatch = true;
    int last = lister.currentIndex();
    PumpUntil(
        [&] {
            const int index = lister.currentIndex();
            if (index != last) {
                times.push_back(NowMs());
                indices.push_back(index);
                countersMatch = countersMatch && s->frameCounter == index;
                last = index;
            }
            return indices.size() >= 30;
        },
        6000);
    CHECK_EQ(indices.size(), size_t{30});
    CHECK(countersMatch);
    for (size_t i = 0; i < indices.size(); ++i) CHECK_EQ(indices[i], static_cast<int>((i + 1) % 24));
    double total = 0;
    for (size_t i = 1; i < times.size(); ++i) {
        const double interval = times[i] - times[i - 1];
        total += interval;
        CHECK(interval >= 80 - 15);
        CHECK(interval <= 80 + 120);
    }
    if (times.size() > 1) Note("sample at 80 ms a frame: %.1f ms between frames on average", total / static_cast<double>(times.size() - 1));
}

HOST_TEST(playback, each_frame_stays_for_its_own_delay) {
    Lister lister(gFiles.steps, 0, 0, 0, 200, 150);
    const ViewerState* s = lister.state();
    CHECK(s);
    if (!s) return;
    const std::vector<uint32_t> delays = {60, 320, 150, 230};
    Command(lister.viewer(), IDM_PAUSE);
    SetDelays(s, delays);
    Command(lister.viewer(), IDM_PAUSE);  // armed with the current frame's new delay
    int shown = lister.currentIndex();
    std::string measured;
    for (int step = 0; step < 8; ++step) {
        const double elapsed = WaitForFrameChange(lister, 2000);
        const double want = delays[static_cast<size_t>(shown)];
        CHECK_EQ(lister.currentIndex(), (shown + 1) % 4);
        if (elapsed < want - 15 || elapsed > want + 120)
            CheckFailed(__FILE__, __LINE__, "frame " + std::to_string(shown) + " stayed " + std::to_string(elapsed) + " ms, not " + std::to_string(want));
        char text[32];
        wsprintfA(text, " %d/%d", static_cast<int>(elapsed), static_cast<int>(want));
        measured += text;
        shown = lister.currentIndex();
    }
    Note("measured/wanted ms:%s", measured.c_str());
}

HOST_TEST(playback, pause_step_and_the_four_states) {
    Lister lister(gFiles.steps, 0, 0, 0, 200, 150);
    HWND viewer = lister.viewer();
    const ViewerState* s = lister.state();
    CHECK(s);
    if (!s) return;
    SetDelays(s, {120});
    using State = std::pair<int, int>;
    const State playing{0, 0}, paused{1, 0}, stepping{0, 1}, pausedStepArmed{1, 1};

    CHECK_EQ(PlaybackState(lister), playing);
    CHECK(Ticks(lister, 400));

    Command(viewer, IDM_PAUSE);
    CHECK_EQ(PlaybackState(lister), paused);
    CHECK(!Ticks(lister, 400));

    Command(viewer, IDM_PAUSE);
    CHECK_EQ(PlaybackState(lister), playing);
    CHECK(WaitForFrameChange(lister, 1000) >= 0);

    // Next frame from playing: one frame, after the current frame's delay, then paused.
    Command(viewer, IDM_NEXT_FRAME);
    CHECK_EQ(PlaybackState(lister), stepping);
    double elapsed = WaitForFrameChange(lister, 1000);
    CHECK(elapsed >= 120 - 15);
    CHECK_EQ(PlaybackState(lister), paused);
    CHECK(!Ticks(lister, 400));

    // Next frame from paused.
    int index = lister.currentIndex();
    Command(viewer, IDM_NEXT_FRAME);
    CHECK_EQ(PlaybackState(lister), stepping);
    elapsed = WaitForFrameChange(lister, 1000);
    CHECK(elapsed >= 120 - 15);
    CHECK_EQ(lister.currentIndex(), (index + 1) % 4);
    CHECK_EQ(PlaybackState(lister), paused);

    // Pausing a pending step keeps it armed: the next resume plays exactly one frame.
    Command(viewer, IDM_NEXT_FRAME);
    Command(viewer, IDM_PAUSE);
    CHECK_EQ(PlaybackState(lister), pausedStepArmed);
    index = lister.currentIndex();
    CHECK(!Ticks(lister, 400));
    CHECK_EQ(lister.currentIndex(), index);
    Command(viewer, IDM_PAUSE);
    CHECK_EQ(PlaybackState(lister), stepping);
    CHECK(WaitForFrameChange(lister, 1000) >= 0);
    CHECK_EQ(lister.currentIndex(), (index + 1) % 4);
    CHECK_EQ(PlaybackState(lister), paused);
    CHECK(!Ticks(lister, 400));
}

HOST_TEST(playback, a_step_shows_the_next_frame_after_the_current_delay) {
    Lister lister(gFiles.steps, 0, 0, 0, 200, 150);
    const ViewerState* s = lister.state();
    CHECK(s);
    if (!s) return;
    Command(lister.viewer(), IDM_PAUSE);
    SetDelays(s, {300});
    Pump(200);
    const int index = lister.currentIndex();
    SendKey(lister.viewer(), VK_SPACE, Ctrl::left);
    // The menu's Pause item is unchecked while the step is pending.
    SendMessageA(lister.viewer(), WM_INITMENU, reinterpret_cast<WPARAM>(s->popup), 0);
    CHECK_EQ(GetMenuState(s->popup, IDM_PAUSE, MF_BYCOMMAND) & MF_CHECKED, 0u);
    const double elapsed = WaitForFrameChange(lister, 2000);
    Note("step after %.0f ms for a 300 ms frame", elapsed);
    CHECK(elapsed >= 300 - 15);
    CHECK(elapsed <= 300 + 150);
    CHECK_EQ(lister.currentIndex(), (index + 1) % 4);
    CHECK_EQ(s->paused, 1);
    SendMessageA(lister.viewer(), WM_INITMENU, reinterpret_cast<WPARAM>(s->popup), 0);
    CHECK_EQ(GetMenuState(s->popup, IDM_PAUSE, MF_BYCOMMAND) & MF_CHECKED, static_cast<UINT>(MF_CHECKED));
}

HOST_TEST(playback, after_the_last_frame_comes_the_first_with_number_0) {
    Lister lister(gFiles.steps, 0, 0, 0, 200, 150);
    const ViewerState* s = lister.state();
    CHECK(s);
    if (!s) return;
    SetDelays(s, {30});
    PumpUntil([&] { return lister.currentIndex() == 3; }, 2000);
    Command(lister.viewer(), IDM_PAUSE);
    CHECK_EQ(s->frameCounter, 3);
    Command(lister.viewer(), IDM_NEXT_FRAME);
    CHECK(WaitForFrameChange(lister, 1000) >= 0);
    CHECK_EQ(s->current, s->first);
    CHECK_EQ(s->frameCounter, 0);
}

HOST_TEST(playback, a_still_image_keeps_ticking_without_repainting) {
    Lister lister(gFiles.still, 0, 0, 0, 200, 150);
    const ViewerState* s = lister.state();
    CHECK(s);
    if (!s) return;
    ChainPtr decoded = Decode(gFiles.still);
    CHECK_EQ(CountMismatches(CaptureClient(lister.viewer()), {0, 0, 40, 30}, [&](int x, int y) { return PixelColor(decoded.get(), x, y); }), 0);
    const LoopCounts counts = Pump(500, lister.viewer());
    CHECK(counts.timers >= 10);  // a delay of 0 ticks at the system's shortest interval
    CHECK_EQ(counts.paints, 0);
    CHECK(!GetUpdateRect(lister.viewer(), nullptr, FALSE));
    CHECK_EQ(s->current, s->first);
    CHECK_EQ(s->frameCounter, 0);
    // The frame number shows once and then stays put as well.
    Command(lister.viewer(), IDM_SHOW_FRAME_NUMBER);
    CHECK_EQ(Pump(300, lister.viewer()).paints, 1);
    CHECK_EQ(Pump(300, lister.viewer()).paints, 0);
    // A step on a still image ends paused like any other.
    Command(lister.viewer(), IDM_NEXT_FRAME);
    Pump(100);
    CHECK_EQ(s->paused, 1);
    CHECK_EQ(s->singleStep, 0);
}

HOST_TEST(playback, idle_cost_of_still_and_paused_pictures) {
    Lister still(gFiles.still, 0, 0, 0, 200, 150);
    Pump(100);
    const Idle stillIdle = MeasureIdle(still, 2000);
    still.destroyViewer();
    Lister sample(gFiles.sample, 0, 0, 0, 400, 300);
    const Idle playing = MeasureIdle(sample, 2000);
    Command(sample.viewer(), IDM_PAUSE);
    Pump(100);
    const Idle pausedIdle = MeasureIdle(sample, 2000);
    Note("processor time of the host over 2 s: still image %.1f%% (%d ticks, %d paints), paused animation %.1f%% (%d ticks, %d paints), "
         "playing animation %.1f%% (%d ticks, %d paints)",
         stillIdle.cpuPercent, stillIdle.counts.timers, stillIdle.counts.paints, pausedIdle.cpuPercent, pausedIdle.counts.timers,
         pausedIdle.counts.paints, playing.cpuPercent, playing.counts.timers, playing.counts.paints);
    CHECK_EQ(stillIdle.counts.paints, 0);
    CHECK_EQ(pausedIdle.counts.paints, 0);
    CHECK_EQ(pausedIdle.counts.timers, 0);
    CHECK(stillIdle.cpuPercent < 15);
    CHECK(pausedIdle.cpuPercent < 5);
}

// ---- Keys ------------------------------------------------------------------------------------------

namespace {

enum class Does { command, hscroll, vscroll, parent, information, menu };
struct Expect {
    Does does;
    WORD arg = 0;
};
struct KeyCase {
    WPARAM key;
    const char* name;
    Expect plain;
    Expect leftCtrl;
};

const KeyCase kKeys[] = {
    {VK_PAUSE, "Pause", {Does::command, IDM_PAUSE}, {Does::command, IDM_NEXT_FRAME}},
    {VK_SPACE, "Space", {Does::command, IDM_PAUSE}, {Does::command, IDM_NEXT_FRAME}},
    {VK_PRIOR, "Page Up", {Does::vscroll, SB_PAGEUP}, {Does::vscroll, SB_PAGEUP}},
    {VK_NEXT, "Page Down", {Does::vscroll, SB_PAGEDOWN}, {Does::vscroll, SB_PAGEDOWN}},
    {VK_END, "End", {Does::hscroll, SB_PAGERIGHT}, {Does::hscroll, SB_PAGERIGHT}},
    {VK_HOME, "Home", {Does::hscroll, SB_PAGELEFT}, {Does::hscroll, SB_PAGELEFT}},
    {VK_LEFT, "Left", {Does::hscroll, SB_LINELEFT}, {Does::hscroll, SB_LINELEFT}},
    {VK_UP, "Up", {Does::vscroll, SB_LINEUP}, {Does::vscroll, SB_LINEUP}},
    {VK_RIGHT, "Right", {Does::hscroll, SB_LINERIGHT}, {Does::hscroll, SB_LINERIGHT}},
    {VK_DOWN, "Down", {Does::vscroll, SB_LINEDOWN}, {Does::vscroll, SB_LINEDOWN}},
    {'E', "E", {Does::parent}, {Does::command, IDM_EXTRACT_FRAME}},
    {'G', "G", {Does::parent}, {Does::command, IDM_EXPORT_GIF}},
    {'I', "I", {Does::information}, {Does::command, IDM_EXPORT_AVI}},
    {'M', "M", {Does::parent}, {Does::command, IDM_EXPORT_SPR}},
    {'S', "S", {Does::parent}, {Does::command, IDM_SHOW_FRAME_NUMBER}},
    {'T', "T", {Does::parent}, {Does::command, IDM_EXTRACT_ALL_FRAMES}},
    {VK_APPS, "Applications", {Does::menu}, {Does::menu}},
    {'C', "C", {Does::parent}, {Does::parent}},
    {'F', "F", {Does::parent}, {Does::parent}},
    {'N', "N", {Does::parent}, {Does::parent}},
    {'P', "P", {Does::parent}, {Does::parent}},
    {VK_ESCAPE, "Escape", {Does::parent}, {Does::parent}},
    {VK_RETURN, "Enter", {Does::parent}, {Does::parent}},
    {VK_TAB, "Tab", {Does::parent}, {Does::parent}},
    {VK_F3, "F3", {Does::parent}, {Does::parent}},
    {VK_INSERT, "Insert", {Does::parent}, {Does::parent}},
    {VK_DELETE, "Delete", {Does::parent}, {Does::parent}},
    {VK_CONTROL, "Ctrl", {Does::parent}, {Does::parent}},
};

}  // namespace

HOST_TEST(keys, every_key_of_the_key_table) {
    Lister lister(gFiles.large, 0, 40, 30, 300, 200);
    HWND viewer = lister.viewer();
    CHECK(viewer);
    if (!viewer) return;
    for (const KeyCase& key : kKeys) {
        for (Ctrl ctrl : {Ctrl::none, Ctrl::left, Ctrl::right}) {
            const Expect expect = ctrl == Ctrl::left ? key.leftCtrl : key.plain;
            const std::string what = std::string(ctrl == Ctrl::left ? "left Ctrl+" : ctrl == Ctrl::right ? "right Ctrl+" : "") + key.name;
            const LPARAM lparam = MAKELPARAM(1, 0x100 + key.key);
            MessageBoxSeen box;
            MenuSeen menu;
            const bool opensDialog = expect.does == Does::command && OpensSaveDialog(expect.arg);
            if (expect.does == Does::information) ExpectMessageBox(&box);
            if (expect.does == Does::menu) ExpectMenu(&menu);
            if (opensDialog) ExpectWindow("#32770", [](HWND dialog) { PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0); });
            lister.clearLogs();
            SendKey(viewer, key.key, ctrl, lparam);
            Pump(0);
            const bool met = ExpectationMet();

            const auto commands = lister.viewerMessages(WM_COMMAND);
            const auto hscrolls = lister.viewerMessages(WM_HSCROLL);
            const auto vscrolls = lister.viewerMessages(WM_VSCROLL);
            const auto parentKeys = lister.parentMessages(WM_KEYDOWN);
            auto fail = [&](const std::string& why) { CheckFailed(__FILE__, __LINE__, what + ": " + why); };
            const bool toParent = expect.does == Does::parent || expect.does == Does::information;
            if (toParent) {
                if (parentKeys.size() != 1 || parentKeys[0].wparam != key.key || parentKeys[0].lparam != lparam)
                    fail("the parent did not get the key-down with its own wparam and lparam");
            } else if (!parentKeys.empty()) {
                fail("the parent got the key");
            }
            const auto& mine = expect.does == Does::command ? commands : expect.does == Does::hscroll ? hscrolls : vscrolls;
            const bool sendsOne = expect.does == Does::command || expect.does == Does::hscroll || expect.does == Does::vscroll;
            if (sendsOne && (mine.size() != 1 || mine[0].wparam != expect.arg || mine[0].lparam != 0))
                fail("did not send itself the expected message once");
            if (commands.size() + hscrolls.size() + vscrolls.size() != (sendsOne ? 1u : 0u)) fail("sent other messages");
            if (expect.does == Does::information) {
                if (!met || box.caption != "Information") fail("no Information box");
                else if (!parentKeys.empty() && parentKeys[0].sequence < box.sequence) fail("the parent got the key before the box");
            }
            if (expect.does == Does::menu) {
                POINT origin{0, 0};
                ClientToScreen(viewer, &origin);
                if (!met) fail("no context menu");
                else if (menu.rect.left != origin.x || menu.rect.top != origin.y)
                    fail("menu at " + std::to_string(menu.rect.left) + "," + std::to_string(menu.rect.top));
            }
            if (opensDialog && !met) fail("no save dialog");
            if (expect.does != Does::information && expect.does != Does::menu && !opensDialog && met) fail("a window opened");
        }
    }
}

HOST_TEST(keys, keys_act_on_playback_and_overlay) {
    Lister lister(gFiles.steps, 0, 0, 0, 200, 150);
    const ViewerState* s = lister.state();
    CHECK(s);
    if (!s) return;
    HWND viewer = lister.viewer();
    SendKey(viewer, VK_SPACE, Ctrl::none);
    CHECK_EQ(s->paused, 1);
    SendKey(viewer, VK_PAUSE, Ctrl::right);
    CHECK_EQ(s->paused, 0);
    SendKey(viewer, VK_PAUSE, Ctrl::left);
    CHECK_EQ(s->singleStep, 1);
    SendKey(viewer, 'S', Ctrl::right);
    CHECK_EQ(s->showFrameNumber, 0);
    SendKey(viewer, 'S', Ctrl::left);
    CHECK_EQ(s->showFrameNumber, 1);
    // Only key-downs are the viewer's; other keyboard messages stay with it.
    lister.clearLogs();
    SendMessageA(viewer, WM_KEYUP, 'E', 0xC0000001);
    SendMessageA(viewer, WM_CHAR, 'e', 1);
    CHECK(lister.parentLog.empty());
}

HOST_TEST(keys, the_scroll_keys_move_the_picture) {
    Lister lister(gFiles.large, 0, 0, 0, 300, 200);
    HWND viewer = lister.viewer();
    lister.resize(300, 200);
    RECT client;
    GetClientRect(viewer, &client);
    const int third = client.right / 3, thirdDown = client.bottom / 3;
    SendKey(viewer, VK_END, Ctrl::none);
    CHECK_EQ(GetScrollPos(viewer, SB_HORZ), third);
    SendKey(viewer, VK_RIGHT, Ctrl::left);
    CHECK_EQ(GetScrollPos(viewer, SB_HORZ), third + 2);
    SendKey(viewer, VK_LEFT, Ctrl::none);
    SendKey(viewer, VK_HOME, Ctrl::none);
    CHECK_EQ(GetScrollPos(viewer, SB_HORZ), 0);
    SendKey(viewer, VK_NEXT, Ctrl::none);
    SendKey(viewer, VK_DOWN, Ctrl::none);
    CHECK_EQ(GetScrollPos(viewer, SB_VERT), thirdDown + 2);
    SendKey(viewer, VK_UP, Ctrl::none);
    SendKey(viewer, VK_PRIOR, Ctrl::none);
    CHECK_EQ(GetScrollPos(viewer, SB_VERT), 0);
}

// ---- Mouse and menu ------------------------------------------------------------------------------------

HOST_TEST(menu, left_clicks_go_to_the_parent) {
    Lister lister(gFiles.still, 0, 0, 0, 200, 150);
    lister.clearLogs();
    SendMessageA(lister.viewer(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(17, 23));
    const auto clicks = lister.parentMessages(WM_LBUTTONDOWN);
    CHECK_EQ(clicks.size(), size_t{1});
    if (!clicks.empty()) {
        CHECK_EQ(clicks[0].wparam, static_cast<WPARAM>(MK_LBUTTON));
        CHECK_EQ(clicks[0].lparam, MAKELPARAM(17, 23));
    }
}

HOST_TEST(menu, right_click_opens_the_menu_with_its_check_marks) {
    Lister lister(gFiles.steps, 0, 100, 80, 300, 200);
    HWND viewer = lister.viewer();
    const ViewerState* s = lister.state();
    CHECK(s);
    if (!s) return;
    const struct {
        bool pause, frameNumber;
    } cases[] = {{false, false}, {true, false}, {true, true}, {false, true}};
    for (const auto& c : cases) {
        if ((s->paused == 1) != c.pause) Command(viewer, IDM_PAUSE);
        if ((s->showFrameNumber == 1) != c.frameNumber) Command(viewer, IDM_SHOW_FRAME_NUMBER);
        MenuSeen menu;
        ExpectMenu(&menu);
        SendMessageA(viewer, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(30, 20));
        CHECK(ExpectationMet());
        CHECK_EQ(menu.rect.left, 130L);
        CHECK_EQ(menu.rect.top, 100L);
        CHECK_EQ(menu.items, 12);
        CHECK_EQ(menu.pauseChecked, c.pause);
        CHECK_EQ(menu.frameNumberChecked, c.frameNumber);
    }
}

HOST_TEST(menu, a_chosen_item_arrives_as_its_command) {
    Lister lister(gFiles.steps, 0, 0, 0, 300, 200);
    const ViewerState* s = lister.state();
    CHECK(s);
    if (!s) return;
    MenuSeen menu;
    ExpectMenu(&menu, {VK_DOWN, VK_DOWN, VK_RETURN});  // Copy, Pause, choose
    lister.clearLogs();
    SendMessageA(lister.viewer(), WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(5, 5));
    // The menu posts the command on its way out.
    PumpUntil([&] { return !lister.viewerMessages(WM_COMMAND).empty(); }, 30000);
    CHECK(ExpectationMet());
    const auto commands = lister.viewerMessages(WM_COMMAND);
    CHECK_EQ(commands.size(), size_t{1});
    if (!commands.empty()) CHECK_EQ(LOWORD(commands[0].wparam), IDM_PAUSE);
    CHECK_EQ(s->paused, 1);
}

HOST_TEST(menu, commands_from_the_menu_and_the_window) {
    Lister lister(gFiles.steps, 0, 0, 0, 300, 200);
    HWND viewer = lister.viewer();
    const ViewerState* s = lister.state();
    CHECK(s);
    if (!s) return;
    // The notification code in the high word is not looked at.
    Command(viewer, IDM_PAUSE, 1);
    CHECK_EQ(s->paused, 1);
    Command(viewer, IDM_SHOW_FRAME_NUMBER, 1);
    CHECK_EQ(s->showFrameNumber, 1);
    Command(viewer, IDM_NEXT_FRAME);
    CHECK_EQ(s->singleStep, 1);
    CHECK_EQ(s->paused, 0);
    // Ids around the viewer's own are not its commands.
    Command(viewer, IDM_PAUSE);
    const Image* current = s->current;
    for (WORD id : {40012, 40000}) {
        Command(viewer, id);
        Pump(50);
        CHECK_EQ(s->current, current);
        CHECK_EQ(PlaybackState(lister), std::make_pair(1, 1));
    }
    // The commands that ask for a file name, cancelled: the two extract
    // commands pause (a pending step stays armed), the exports leave playback
    // as it was. Slow frames keep the timer from moving on meanwhile.
    SetDelays(s, {60000});
    ViewerState* state = lister.state();
    for (WORD id : {IDM_EXTRACT_FRAME, IDM_EXTRACT_ALL_FRAMES, IDM_EXPORT_GIF, IDM_EXPORT_AVI, IDM_EXPORT_SPR}) {
        const bool extract = id == IDM_EXTRACT_FRAME || id == IDM_EXTRACT_ALL_FRAMES;
        for (const auto& before : {std::make_pair(0, 0), std::make_pair(0, 1), std::make_pair(1, 0)}) {
            // Playing and Paused through the pause command, Stepping through a step.
            state->singleStep = 0;
            state->paused = !before.first;
            Command(viewer, before.second ? IDM_NEXT_FRAME : IDM_PAUSE);
            CHECK_EQ(PlaybackState(lister), before);
            ExpectWindow("#32770", [](HWND dialog) { PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0); });
            Command(viewer, id);
            CHECK(ExpectationMet());
            CHECK_EQ(PlaybackState(lister), extract ? std::make_pair(1, before.second) : before);
            // The timer runs exactly while playback does.
            CHECK_EQ(KillTimer(viewer, 1) != 0, PlaybackState(lister).first == 0);
        }
    }
}

HOST_TEST(menu, information_box) {
    const struct {
        const std::string* file;
        const char* text;
    } cases[] = {
        {&gFiles.sample,
         "Type: Autodesk Flic Animation (FLC)\n\nWidth: 320\nHeight: 200\nColor Depth: 256 colors\n\nTotal frame number: 24 frame(s)"},
        {&gFiles.fli,
         "Type: Autodesk Flic Animation (FLI)\n\nWidth: 32\nHeight: 20\nColor Depth: 256 colors\n\nTotal frame number: 3 frame(s)"},
    };
    for (const auto& c : cases) {
        Lister lister(*c.file, 0, 0, 0, 300, 200);
        MessageBoxSeen box;
        ExpectMessageBox(&box);
        Command(lister.viewer(), IDM_INFORMATION);
        CHECK(ExpectationMet());
        CHECK_EQ(box.caption, std::string("Information"));
        CHECK_EQ(box.text, std::string(c.text));
        // The box does not pause playback.
        CHECK_EQ(lister.state()->paused, 0);
    }
}

HOST_TEST(menu, about_box) {
    Lister lister(gFiles.still, 0, 0, 0, 300, 200);
    MessageBoxSeen box;
    ExpectMessageBox(&box);
    Command(lister.viewer(), IDM_ABOUT);
    CHECK(ExpectationMet());
    CHECK_EQ(box.caption, std::string("About"));
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = box.text.find('\n', start)) != std::string::npos; start = end + 1) lines.push_back(box.text.substr(start, end - start));
    lines.push_back(box.text.substr(start));
    CHECK_EQ(lines.size(), size_t{4});
    if (lines.size() != 4) return;
    CHECK_EQ(lines[0], std::string("Autodesk FLIC animation (FLI/FLC) lister plug-in for Total Commander"));
    // "Version 1.0.0.0 (Mmm dd yyyy)", the day padded with a space.
    const std::string& version = lines[1];
    CHECK(version.rfind("Version 1.0.0.0 (", 0) == 0);
    CHECK_EQ(version.size(), std::strlen("Version 1.0.0.0 (") + 11 + 1);
    CHECK(version.back() == ')');
    CHECK(lines[2].empty());
    CHECK(!lines[3].empty());
    const std::vector<MessageBoxCall> calls = TakeMessageBoxCalls();
    CHECK(calls.size() == 1 && calls[0].type == MB_ICONINFORMATION && calls[0].owner == lister.viewer());
}

HOST_TEST(host, an_unexpected_dialog_is_closed_and_reported) {
    Lister lister(gFiles.still, 0, 0, 0, 300, 200);
    Command(lister.viewer(), IDM_ABOUT);  // returns only once the helper closed the box
    const std::vector<std::string> failures = TakeHelperFailures();
    CHECK_EQ(failures.size(), size_t{1});
    if (!failures.empty()) CHECK(failures[0].find("About") != std::string::npos);
}
