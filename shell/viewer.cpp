#include "shell/viewer.h"

#include <algorithm>
#include <cstring>

#include "formats/format.h"
#include "image/display_win32.h"
#include "resources/resource.h"

namespace {

constexpr UINT_PTR kPlaybackTimer = 1;
constexpr int kLineStep = 2;        // pixels per arrow key or scroll-bar arrow
constexpr int kWheelStep = 4;       // pixels per full wheel notch
constexpr UINT kDecodingPollMs = 10;  // the timer while playback waits for a frame being decoded

// ---- Keys ---------------------------------------------------------------------

enum class KeyAction : uint8_t {
    kParent,       // the host's key: send it on to the parent window
    kCommand,      // WM_COMMAND to the window itself
    kHScroll,      // WM_HSCROLL with a request code
    kVScroll,      // WM_VSCROLL with a request code
    kInformation,  // the Information box, then the key to the parent as well
    kMenu,         // the context menu at the client's top-left corner
};

struct KeyBinding {
    WPARAM key;
    KeyAction plain;  // left Ctrl up
    WORD plainArg;
    KeyAction ctrl;   // left Ctrl down
    WORD ctrlArg;
};

constexpr KeyBinding kKeyTable[] = {
    {VK_PAUSE, KeyAction::kCommand, IDM_PAUSE, KeyAction::kCommand, IDM_NEXT_FRAME},
    {VK_SPACE, KeyAction::kCommand, IDM_PAUSE, KeyAction::kCommand, IDM_NEXT_FRAME},
    {VK_PRIOR, KeyAction::kVScroll, SB_PAGEUP, KeyAction::kVScroll, SB_PAGEUP},
    {VK_NEXT, KeyAction::kVScroll, SB_PAGEDOWN, KeyAction::kVScroll, SB_PAGEDOWN},
    // Home and End page sideways rather than jumping to the edges.
    {VK_END, KeyAction::kHScroll, SB_PAGERIGHT, KeyAction::kCommand, IDM_LAST_FRAME},
    {VK_HOME, KeyAction::kHScroll, SB_PAGELEFT, KeyAction::kCommand, IDM_FIRST_FRAME},
    {VK_LEFT, KeyAction::kHScroll, SB_LINELEFT, KeyAction::kHScroll, SB_LINELEFT},
    {VK_UP, KeyAction::kVScroll, SB_LINEUP, KeyAction::kVScroll, SB_LINEUP},
    {VK_RIGHT, KeyAction::kHScroll, SB_LINERIGHT, KeyAction::kHScroll, SB_LINERIGHT},
    {VK_DOWN, KeyAction::kVScroll, SB_LINEDOWN, KeyAction::kVScroll, SB_LINEDOWN},
    {'E', KeyAction::kParent, 0, KeyAction::kCommand, IDM_EXTRACT_FRAME},
    {'G', KeyAction::kParent, 0, KeyAction::kCommand, IDM_EXPORT_GIF},
    {'I', KeyAction::kInformation, 0, KeyAction::kCommand, IDM_EXPORT_AVI},
    {'M', KeyAction::kParent, 0, KeyAction::kCommand, IDM_EXPORT_SPR},
    {'S', KeyAction::kParent, 0, KeyAction::kCommand, IDM_SHOW_FRAME_NUMBER},
    {'T', KeyAction::kParent, 0, KeyAction::kCommand, IDM_EXTRACT_ALL_FRAMES},
    {VK_APPS, KeyAction::kMenu, 0, KeyAction::kMenu, 0},
    // The "+", "-", "." and "," keys of every keyboard layout, and the keypad's.
    {VK_OEM_PLUS, KeyAction::kCommand, IDM_ZOOM_IN, KeyAction::kCommand, IDM_ZOOM_IN},
    {VK_ADD, KeyAction::kCommand, IDM_ZOOM_IN, KeyAction::kCommand, IDM_ZOOM_IN},
    {VK_OEM_MINUS, KeyAction::kCommand, IDM_ZOOM_OUT, KeyAction::kCommand, IDM_ZOOM_OUT},
    {VK_SUBTRACT, KeyAction::kCommand, IDM_ZOOM_OUT, KeyAction::kCommand, IDM_ZOOM_OUT},
    {'0', KeyAction::kParent, 0, KeyAction::kCommand, IDM_ACTUAL_SIZE},
    {VK_NUMPAD0, KeyAction::kParent, 0, KeyAction::kCommand, IDM_ACTUAL_SIZE},
    {VK_OEM_PERIOD, KeyAction::kCommand, IDM_STEP_FORWARD, KeyAction::kCommand, IDM_STEP_FORWARD},
    {VK_OEM_COMMA, KeyAction::kCommand, IDM_STEP_BACK, KeyAction::kCommand, IDM_STEP_BACK},
};

// Keys that are characters in one layout and elsewhere in another: "[",
// "]" and "\" arrive as the characters they type.
struct CharBinding {
    WPARAM character;
    WORD command;
};

constexpr CharBinding kCharTable[] = {{'[', IDM_SLOWER}, {']', IDM_FASTER}, {'\\', IDM_NORMAL_SPEED}};

// Only the left Ctrl key counts, so that the host keeps right-Ctrl shortcuts
// (Ctrl+C included) for itself.
bool LeftControlDown() { return (GetKeyState(VK_LCONTROL) & 0x8000) != 0; }

void SendToParent(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    SendMessageA(GetParent(window), message, wparam, lparam);
}

LRESULT OnKeyDown(HWND window, WPARAM key, LPARAM lparam) {
    const bool ctrl = LeftControlDown();
    KeyAction action = KeyAction::kParent;
    WORD arg = 0;
    for (const KeyBinding& binding : kKeyTable) {
        if (binding.key != key) continue;
        action = ctrl ? binding.ctrl : binding.plain;
        arg = ctrl ? binding.ctrlArg : binding.plainArg;
        break;
    }
    switch (action) {
        case KeyAction::kParent: SendToParent(window, WM_KEYDOWN, key, lparam); break;
        case KeyAction::kCommand: SendMessageA(window, WM_COMMAND, arg, 0); break;
        case KeyAction::kHScroll: SendMessageA(window, WM_HSCROLL, arg, 0); break;
        case KeyAction::kVScroll: SendMessageA(window, WM_VSCROLL, arg, 0); break;
        case KeyAction::kInformation:
            ViewerShowInformation(window);
            SendToParent(window, WM_KEYDOWN, key, lparam);
            break;
        case KeyAction::kMenu: {
            POINT origin{0, 0};
            ClientToScreen(window, &origin);
            ViewerShowMenu(window, origin);
            break;
        }
    }
    return 0;
}

LRESULT OnChar(HWND window, WPARAM character) {
    for (const CharBinding& binding : kCharTable)
        if (binding.character == character) SendMessageA(window, WM_COMMAND, binding.command, 0);
    return 0;
}

// ---- Remembered choices -----------------------------------------------------------

constexpr char kSettingsSection[] = "Movrel";

int ReadSetting(const char* key, int fallback) {
    if (!gSettingsFile[0]) return fallback;
    return static_cast<int>(GetPrivateProfileIntA(kSettingsSection, key, fallback, gSettingsFile));
}

void WriteSetting(const char* key, int value) {
    char text[12];
    wsprintfA(text, "%d", value);
    WritePrivateProfileStringA(kSettingsSection, key, text, gSettingsFile);
}

// The viewer's own choices. Fit and centring are the host's: it hears of
// every change (itm_fit, itm_center) and passes them back with each file.
void LoadPreferences(ViewerState* state) {
    state->showFrameNumber = ReadSetting("FrameNumber", 0) == 1 ? 1 : 0;
    state->startPaused = ReadSetting("StartPaused", 0) == 1 ? 1 : 0;
    state->loop = ReadSetting("Loop", 1) != 0 ? 1 : 0;
    state->background = std::clamp(ReadSetting("Background", kBackgroundHost), 0, 2);
}

void RememberPreferences(const ViewerState* state) {
    if (!gSettingsFile[0]) return;
    WriteSetting("FrameNumber", state->showFrameNumber);
    WriteSetting("StartPaused", state->startPaused);
    WriteSetting("Loop", state->loop);
    WriteSetting("Background", state->background);
}

// ---- Playback ---------------------------------------------------------------------

// The current frame's delay at the chosen speed, at least a millisecond.
UINT TimerDelay(const ViewerState* state) {
    const Ratio& speed = kSpeedSteps[state->speedIndex];
    const uint64_t delay = uint64_t{ImageGetDelay(state->current)} * static_cast<uint64_t>(speed.den) /
                           static_cast<uint64_t>(speed.num);
    return static_cast<UINT>(std::clamp<uint64_t>(delay, 1, 0x7FFFFFFF));
}

void ArmTimer(HWND window, const ViewerState* state) { SetTimer(window, kPlaybackTimer, TimerDelay(state), nullptr); }

// Whether the frame on screen is the animation's last, decoded to its end.
bool AtTheEnd(const ViewerState* state) {
    bool complete = false;
    return state->frameCounter + 1 >= ViewerFramesReady(state, &complete) && complete;
}

// The frames the animation has: those the file states while they are being
// decoded, those decoded once the load is complete.
int FrameTotal(const ViewerState* state) {
    bool complete = false;
    const int ready = ViewerFramesReady(state, &complete);
    return complete ? ready : std::max(ready, ProgressiveStatedFrames(state->load));
}

// Tells the host how far the animation has played: 0 at the first frame,
// 100 at the last. Only changes are told.
void TellPosition(HWND window, ViewerState* state) {
    const int last = FrameTotal(state) - 1;
    const int percent = last > 0 ? static_cast<int>(int64_t{state->frameCounter} * 100 / last) : 0;
    if (percent == state->percentTold) return;
    state->percentTold = percent;
    PostMessageA(GetParent(window), WM_COMMAND, MAKEWPARAM(percent, kHostItemPercent), reinterpret_cast<LPARAM>(window));
}

// Shows frame `index` (clamped into the frames decoded so far), playing on
// from it if playback runs.
void ShowFrame(HWND window, ViewerState* state, int index) {
    index = std::clamp(index, 0, ViewerFramesReady(state) - 1);
    Image* frame = state->first;  // every link followed here leads to a decoded frame
    for (int i = 0; i < index && ImageNext(frame); ++i) frame = ImageNext(frame);
    state->current = frame;
    state->frameCounter = index;
    InvalidateRect(window, nullptr, FALSE);
    if (!state->paused) ArmTimer(window, state);
    TellPosition(window, state);
}

// The last frame: every frame is decoded first.
void ShowLastFrame(HWND window, ViewerState* state) {
    ViewerWaitForAllFrames(window);
    ShowFrame(window, state, ViewerFramesReady(state) - 1);
}

// One frame forward or back at once, going round at the ends; playback
// pauses. Forward waits for nothing: at the last frame decoded so far, it
// stays there until the next one is.
void Step(HWND window, int by) {
    ViewerState* state = ViewerGetState(window);
    if (!state) return;
    ViewerSetSingleStep(window, 0);
    ViewerSetPaused(window, 1);
    if (by < 0 && state->frameCounter == 0) return ShowLastFrame(window, state);
    if (by > 0 && AtTheEnd(state)) return ShowFrame(window, state, 0);
    ShowFrame(window, state, state->frameCounter + by);
}

void SetSpeed(HWND window, int index) {
    ViewerState* state = ViewerGetState(window);
    if (!state) return;
    state->speedIndex = std::clamp(index, 0, kSpeedStepCount - 1);
    if (!state->paused) ArmTimer(window, state);
    InvalidateRect(window, nullptr, FALSE);  // the overlay shows the speed
}

// ---- Creation and destruction ---------------------------------------------------

LRESULT OnCreate(HWND window, const CREATESTRUCTA* create) {
    const auto* params = static_cast<const ViewerCreateParams*>(create->lpCreateParams);
    // A name that does not fit the state's path is refused rather than cut:
    // a cut name would later make default export names from another file.
    if (!params || !params->fileName || strnlen(params->fileName, kMaxPath) >= kMaxPath) return -1;

    ProgressiveLoad* load = ViewerOpenFile(params->fileName);
    if (!load) return -1;
    auto* state = static_cast<ViewerState*>(LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, sizeof(ViewerState)));
    if (!state) {
        ProgressiveClose(load);
        return -1;
    }
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state));
    ViewerStartDecoding(state, load);
    // Without the menu the context menu simply does not open.
    state->menu = LoadMenuA(create->hInstance, MAKEINTRESOURCEA(IDR_VIEWER_MENU));
    state->popup = GetSubMenu(state->menu, 0);
    std::strcpy(state->path, params->fileName);

    state->zoomIndex = kActualSize;
    state->speedIndex = kNormalSpeed;
    state->percentTold = -1;
    LoadPreferences(state);

    ViewerSetShowFlags(window, params->showFlags);
    ViewerSetSingleStep(window, 0);
    ViewerSetPaused(window, state->startPaused);
    ViewerSetFrameCounter(window, 0);
    ViewerShowFrameNumber(window, state->showFrameNumber);
    TellPosition(window, state);
    return 0;
}

LRESULT OnDestroy(HWND window) {
    ViewerState* state = ViewerGetState(window);
    if (!state) return 0;
    // Messages that still arrive while the window goes away must not find
    // the freed block.
    SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    ViewerReleaseDisplay(state, true);
    DestroyMenu(state->menu);
    ViewerFreeFrames(state);
    LocalFree(state);
    return 0;
}

LRESULT OnTimer(HWND window, WPARAM id, LPARAM lparam) {
    ViewerState* state = ViewerGetState(window);
    if (!state || id != kPlaybackTimer) return DefWindowProcA(window, WM_TIMER, id, lparam);
    const Image* shown = state->current;
    if (AtTheEnd(state) && !state->loop) {  // played once: it stays on the last frame
        ViewerSetSingleStep(window, 0);
        ViewerSetPaused(window, 1);
        return 0;
    }
    if (!ViewerAdvance(state)) {
        // The next frame is still being decoded: look again soon; a pending
        // step stays pending.
        SetTimer(window, kPlaybackTimer, kDecodingPollMs, nullptr);
        return 0;
    }
    // A still picture (a chain of one) keeps ticking; repainting it at the
    // timer's pace would only burn processor time.
    if (state->current != shown) InvalidateRect(window, nullptr, FALSE);
    ArmTimer(window, state);
    TellPosition(window, state);
    if (state->singleStep == 1) {
        ViewerSetSingleStep(window, 0);
        ViewerSetPaused(window, 1);
    }
    return 0;
}

// ---- Scrolling ------------------------------------------------------------------

// Where the user drags the thumb. The message carries 16 bits, too few for a
// zoomed picture's range, which the bar itself holds whole.
int ThumbPosition(HWND window, int bar, WPARAM wparam) {
    SCROLLINFO info{};
    info.cbSize = sizeof info;
    info.fMask = SIF_RANGE | SIF_TRACKPOS;
    if (GetScrollInfo(window, bar, &info) && info.nMax > 0xFFFF) return info.nTrackPos;
    return HIWORD(wparam);
}

LRESULT OnScroll(HWND window, int bar, WPARAM wparam) {
    int position = GetScrollPos(window, bar);
    RECT client;
    GetClientRect(window, &client);
    const int page = (bar == SB_HORZ ? client.right : client.bottom) / 3;
    switch (LOWORD(wparam)) {
        case SB_LINEUP: position -= kLineStep; break;
        case SB_LINEDOWN: position += kLineStep; break;
        case SB_PAGEUP: position -= page; break;
        case SB_PAGEDOWN: position += page; break;
        case SB_THUMBTRACK: position = ThumbPosition(window, bar, wparam); break;
        default: break;  // SB_THUMBPOSITION and the rest: the track already moved it
    }
    SetScrollPos(window, bar, position, TRUE);  // clamped into the range
    InvalidateRect(window, nullptr, FALSE);
    return 0;
}

// Fine wheels and touchpads send parts of a notch: they add up, and every
// whole notch scrolls. Turning the other way, or the focus going elsewhere,
// drops what was left over.
// With Ctrl held, every notch is a zoom step about the point under the cursor.
LRESULT OnMouseWheel(HWND window, WPARAM wparam, LPARAM lparam) {
    ViewerState* state = ViewerGetState(window);
    const int delta = static_cast<short>(HIWORD(wparam));
    if (!state || delta == 0) return 0;
    if ((delta < 0) != (state->wheelRemainder < 0)) state->wheelRemainder = 0;
    const int total = state->wheelRemainder + delta;
    const int notches = total / WHEEL_DELTA;  // towards zero, so the sign of the rest is the turn's
    state->wheelRemainder = total - notches * WHEEL_DELTA;
    if (notches == 0) return 0;
    if (LOWORD(wparam) & MK_CONTROL) {
        POINT cursor{static_cast<short>(LOWORD(lparam)), static_cast<short>(HIWORD(lparam))};  // screen coordinates
        ScreenToClient(window, &cursor);
        return ViewerZoomBy(window, notches, cursor);
    }
    SetScrollPos(window, SB_VERT, GetScrollPos(window, SB_VERT) - notches * kWheelStep, TRUE);
    InvalidateRect(window, nullptr, FALSE);
    return 0;
}

LRESULT OnKillFocus(HWND window, WPARAM wparam, LPARAM lparam) {
    if (ViewerState* state = ViewerGetState(window)) state->wheelRemainder = 0;
    return DefWindowProcA(window, WM_KILLFOCUS, wparam, lparam);
}

// ---- Mouse, menu, commands ------------------------------------------------------

LRESULT OnRightButtonDown(HWND window, LPARAM lparam) {
    POINT point{LOWORD(lparam), HIWORD(lparam)};
    ClientToScreen(window, &point);
    ViewerShowMenu(window, point);
    return 0;
}

void Check(HMENU menu, UINT id, bool on) { CheckMenuItem(menu, id, MF_BYCOMMAND | (on ? MF_CHECKED : MF_UNCHECKED)); }

// Renames the submenu at `position` of the context menu, as "&Zoom (200%)".
void NameSubmenu(HMENU menu, int position, const char* text) {
    MENUITEMINFOA item{};
    item.cbSize = sizeof item;
    item.fMask = MIIM_STRING;
    item.dwTypeData = const_cast<char*>(text);
    SetMenuItemInfoA(menu, static_cast<UINT>(position), TRUE, &item);
}

// The submenu whose first item is `id`, by position; -1 when there is none.
int SubmenuPosition(HMENU menu, UINT id) {
    for (int i = 0; i < GetMenuItemCount(menu); ++i)
        if (HMENU sub = GetSubMenu(menu, i); sub && GetMenuItemID(sub, 0) == id) return i;
    return -1;
}

LRESULT OnInitMenu(HWND window, WPARAM wparam) {
    const ViewerState* state = ViewerGetState(window);
    if (!state) return 0;
    HMENU menu = reinterpret_cast<HMENU>(wparam);
    Check(menu, IDM_PAUSE, state->paused == 1);
    Check(menu, IDM_SHOW_FRAME_NUMBER, state->showFrameNumber == 1);
    Check(menu, IDM_FIT_TO_WINDOW, state->fitToWindow);
    Check(menu, IDM_CENTER, state->center);
    Check(menu, IDM_START_PAUSED, state->startPaused);
    Check(menu, IDM_LOOP, state->loop);
    CheckMenuRadioItem(menu, IDM_BACKGROUND_AUTO, IDM_BACKGROUND_DARK, IDM_BACKGROUND_AUTO + state->background, MF_BYCOMMAND);
    HMENU popup = state->popup;
    char text[48];
    wsprintfA(text, "&Zoom (%d%%)", ViewerDisplayPercent(window));
    NameSubmenu(popup, SubmenuPosition(popup, IDM_ZOOM_IN), text);
    const Ratio& speed = kSpeedSteps[state->speedIndex];
    if (speed.den == 1) wsprintfA(text, "Spee&d (%dx)", speed.num);
    else wsprintfA(text, "Spee&d (1/%dx)", speed.den);
    NameSubmenu(popup, SubmenuPosition(popup, IDM_FASTER), text);
    return 0;
}

// Fit and centring are the host's settings too: a change made in the viewer
// is told to the host, so that its menu stays true.
void ToggleHostSetting(HWND window, WORD item) {
    ViewerState* state = ViewerGetState(window);
    if (!state) return;
    int value = 0;
    if (item == kHostItemFit) {
        value = !state->fitToWindow;
        ViewerSetFitToWindow(window, value ? kShowFitToWindow : 0);
        ViewerUpdateScrollRanges(window);
    } else {
        value = state->center = !state->center;
        InvalidateRect(window, nullptr, TRUE);
    }
    PostMessageA(GetParent(window), WM_COMMAND, MAKEWPARAM(value, item), reinterpret_cast<LPARAM>(window));
}

// Resuming on the last frame of an animation that does not loop starts it over.
void TogglePause(HWND window) {
    ViewerState* state = ViewerGetState(window);
    if (!state) return;
    if (state->paused && !state->loop && AtTheEnd(state)) ShowFrame(window, state, 0);
    ViewerSetPaused(window, !state->paused);
}

void GoToFirst(HWND window) {
    if (ViewerState* state = ViewerGetState(window)) ShowFrame(window, state, 0);
}

void GoToLast(HWND window) {
    if (ViewerState* state = ViewerGetState(window)) ShowLastFrame(window, state);
}

void ChangeSpeed(HWND window, int by) {
    if (const ViewerState* state = ViewerGetState(window)) SetSpeed(window, state->speedIndex + by);
}

void ZoomAboutTheMiddle(HWND window, int steps) {
    RECT client;
    GetClientRect(window, &client);
    ViewerZoomBy(window, steps, POINT{client.right / 2, client.bottom / 2});
}

void ChangePreference(HWND window, WORD id) {
    ViewerState* state = ViewerGetState(window);
    if (!state) return;
    switch (id) {
        case IDM_START_PAUSED: state->startPaused = !state->startPaused; break;
        case IDM_LOOP: state->loop = !state->loop; break;
        default:
            state->background = id - IDM_BACKGROUND_AUTO;
            InvalidateRect(window, nullptr, TRUE);
            break;
    }
    RememberPreferences(state);
}

LRESULT OnCommand(HWND window, WPARAM wparam, LPARAM lparam) {
    // The notification code is not looked at: menu choices and the commands
    // the window sends itself from its keys are handled alike.
    switch (LOWORD(wparam)) {
        case IDM_COPY: ViewerCopy(window); break;
        case IDM_PAUSE: TogglePause(window); break;
        case IDM_NEXT_FRAME: ViewerSetSingleStep(window, 1); break;
        case IDM_SHOW_FRAME_NUMBER:
            ViewerShowFrameNumber(window, !ViewerIsFrameNumberShown(window));
            RememberPreferences(ViewerGetState(window));
            break;
        case IDM_EXTRACT_FRAME: ViewerExtractFrame(window); break;
        case IDM_EXTRACT_ALL_FRAMES: ViewerExtractAllFrames(window); break;
        case IDM_INFORMATION: ViewerShowInformation(window); break;
        case IDM_EXPORT_GIF: ViewerExportGif(window); break;
        case IDM_EXPORT_AVI: ViewerExportAvi(window); break;
        case IDM_EXPORT_SPR: ViewerExportSpr(window); break;
        case IDM_ABOUT: ViewerShowAbout(window); break;
        case IDM_FIT_TO_WINDOW: ToggleHostSetting(window, kHostItemFit); break;
        case IDM_CENTER: ToggleHostSetting(window, kHostItemCenter); break;
        case IDM_ZOOM_IN: ZoomAboutTheMiddle(window, 1); break;
        case IDM_ZOOM_OUT: ZoomAboutTheMiddle(window, -1); break;
        case IDM_ACTUAL_SIZE: ViewerZoomToActualSize(window); break;
        case IDM_STEP_FORWARD: Step(window, 1); break;
        case IDM_STEP_BACK: Step(window, -1); break;
        case IDM_FIRST_FRAME: GoToFirst(window); break;
        case IDM_LAST_FRAME: GoToLast(window); break;
        case IDM_FASTER: ChangeSpeed(window, 1); break;
        case IDM_SLOWER: ChangeSpeed(window, -1); break;
        case IDM_NORMAL_SPEED: SetSpeed(window, kNormalSpeed); break;
        case IDM_START_PAUSED:
        case IDM_LOOP:
        case IDM_BACKGROUND_AUTO:
        case IDM_BACKGROUND_WHITE:
        case IDM_BACKGROUND_DARK: ChangePreference(window, LOWORD(wparam)); break;
        default: return DefWindowProcA(window, WM_COMMAND, wparam, lparam);
    }
    return 0;
}

}  // namespace

LRESULT CALLBACK ViewerWndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_CREATE: return OnCreate(window, reinterpret_cast<const CREATESTRUCTA*>(lparam));
        case WM_DESTROY: return OnDestroy(window);
        case WM_SIZE: return lparam == 0 ? DefWindowProcA(window, message, wparam, lparam) : ViewerOnSize(window);
        case WM_PAINT: return ViewerOnPaint(window);
        case WM_ERASEBKGND: return ViewerOnEraseBackground(window, reinterpret_cast<HDC>(wparam));
        case WM_TIMER: return OnTimer(window, wparam, lparam);
        case WM_HSCROLL: return OnScroll(window, SB_HORZ, wparam);
        case WM_VSCROLL: return OnScroll(window, SB_VERT, wparam);
        case WM_MOUSEWHEEL: return OnMouseWheel(window, wparam, lparam);
        case WM_KILLFOCUS: return OnKillFocus(window, wparam, lparam);
        case WM_KEYDOWN: return OnKeyDown(window, wparam, lparam);
        case WM_CHAR: return OnChar(window, wparam);
        case WM_LBUTTONDOWN:
            SendToParent(window, WM_LBUTTONDOWN, wparam, lparam);
            ViewerBeginDrag(window, POINT{static_cast<short>(LOWORD(lparam)), static_cast<short>(HIWORD(lparam))});
            return 0;
        case WM_MOUSEMOVE:
            ViewerDragTo(window, POINT{static_cast<short>(LOWORD(lparam)), static_cast<short>(HIWORD(lparam))});
            return 0;
        case WM_LBUTTONUP:
        case WM_CAPTURECHANGED: ViewerEndDrag(window); return 0;
        case WM_RBUTTONDOWN: return OnRightButtonDown(window, lparam);
        case WM_INITMENU: return OnInitMenu(window, wparam);
        case WM_COMMAND: return OnCommand(window, wparam, lparam);
        default: return DefWindowProcA(window, message, wparam, lparam);
    }
}

ViewerState* ViewerGetState(HWND window) {
    return reinterpret_cast<ViewerState*>(GetWindowLongPtrA(window, GWLP_USERDATA));
}

const Image* ViewerShownFrame(HWND window) {
    const ViewerState* state = ViewerGetState(window);
    return state ? state->current : nullptr;
}

int ViewerIsPaused(HWND window) {
    const ViewerState* state = ViewerGetState(window);
    return state ? state->paused : 0;
}

int ViewerSetPaused(HWND window, int value) {
    ViewerState* state = ViewerGetState(window);
    if (!state) return 0;
    state->paused = value;
    if (value)
        KillTimer(window, kPlaybackTimer);
    else
        ArmTimer(window, state);
    return 1;
}

int ViewerIsSingleStep(HWND window) {
    const ViewerState* state = ViewerGetState(window);
    return state ? state->singleStep : 0;
}

int ViewerSetSingleStep(HWND window, int value) {
    ViewerState* state = ViewerGetState(window);
    if (!state) return 0;
    state->singleStep = value;
    // Re-armed from now, so a step shows the next frame after the current
    // frame's own delay rather than at once.
    ViewerSetPaused(window, 0);
    return 1;
}

int ViewerGetFrameCounter(HWND window) {
    const ViewerState* state = ViewerGetState(window);
    return state ? state->frameCounter : 0;
}

int ViewerSetFrameCounter(HWND window, int value) {
    ViewerState* state = ViewerGetState(window);
    if (!state) return 0;
    state->frameCounter = value;
    return 1;
}

int ViewerIsFrameNumberShown(HWND window) {
    const ViewerState* state = ViewerGetState(window);
    return state ? state->showFrameNumber : 0;
}

int ViewerShowFrameNumber(HWND window, int value) {
    ViewerState* state = ViewerGetState(window);
    if (!state) return 0;
    state->showFrameNumber = value;
    InvalidateRect(window, nullptr, FALSE);
    return 1;
}

int ViewerIsFitToWindow(HWND window) {
    const ViewerState* state = ViewerGetState(window);
    return state ? state->fitToWindow : 0;
}

int ViewerSetFitToWindow(HWND window, int value) {
    ViewerState* state = ViewerGetState(window);
    if (!state) return 0;
    state->fitToWindow = value;
    // Erased, because a fitted frame leaves part of the client area unpainted.
    // The scroll ranges follow at the next size change.
    InvalidateRect(window, nullptr, TRUE);
    return 1;
}

int ViewerLoadNext(HWND window, const char* fileName, int showFlags) {
    ViewerState* state = ViewerGetState(window);
    if (!state || !fileName || strnlen(fileName, kMaxPath) >= kMaxPath) return 0;
    // The window keeps showing what it showed, and decoding it, when the new
    // file cannot be shown; otherwise the old file's worker is stopped,
    // which takes no longer than a little decoding, and its frames freed.
    ProgressiveLoad* load = ViewerOpenFile(fileName);
    if (!load) return 0;
    KillTimer(window, kPlaybackTimer);
    ViewerReleaseDisplay(state, false);
    ViewerFreeFrames(state);
    ViewerStartDecoding(state, load);
    state->percentTold = -1;
    std::strcpy(state->path, fileName);
    // The overlay, zoom and speed stay as the user left them; fit and
    // centring follow the host's flags; playback starts afresh at the top-left.
    ViewerSetSingleStep(window, 0);
    ViewerSetFrameCounter(window, 0);
    SetScrollPos(window, SB_HORZ, 0, FALSE);
    SetScrollPos(window, SB_VERT, 0, FALSE);
    ViewerSetShowFlags(window, showFlags);
    ViewerUpdateScrollRanges(window);
    ViewerSetPaused(window, state->startPaused);
    TellPosition(window, state);
    return 1;
}

int ViewerSetShowFlags(HWND window, int flags) {
    ViewerState* state = ViewerGetState(window);
    if (!state) return 0;
    state->fitLargerOnly = flags & kShowFitLargerOnly;
    state->center = flags & kShowCenter;
    state->darkMode = flags & kShowDarkMode;
    return ViewerSetFitToWindow(window, flags & kShowFitToWindow);
}

int ViewerSetPercent(HWND window, int percent) {
    ViewerState* state = ViewerGetState(window);
    if (!state) return 0;
    // A position past the frames decoded so far waits for them.
    const int index = static_cast<int>((int64_t{std::clamp(percent, 0, 100)} * (FrameTotal(state) - 1) + 50) / 100);
    if (index >= ViewerFramesReady(state)) ViewerWaitForAllFrames(window);
    ShowFrame(window, state, index);
    return 1;
}

int ViewerCopy(HWND window) {
    const ViewerState* state = ViewerGetState(window);
    if (!state) return 0;
    return ImageCopyToClipboard(state->current, window);
}

void ViewerShowMenu(HWND window, POINT screenPoint) {
    const ViewerState* state = ViewerGetState(window);
    if (!state) return;
    TrackPopupMenu(state->popup, 0, screenPoint.x, screenPoint.y, 0, window, nullptr);
}
