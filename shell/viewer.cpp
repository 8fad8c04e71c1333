#include "shell/viewer.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "formats/frame_source.h"
#include "resources/resource.h"
#include "shell/display_win32.h"
#include "shell/lister_interface.h"
#include "shell/viewer_export.h"

namespace {

constexpr UINT_PTR kPlaybackTimer = 1;
constexpr int kLineStep = 2;   // pixels per arrow key or scroll-bar arrow
constexpr int kWheelStep = 4;  // pixels per full wheel notch

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

void TellHost(HWND window, WORD item, int value) {
    PostMessageA(GetParent(window), WM_COMMAND, MAKEWPARAM(value, item), reinterpret_cast<LPARAM>(window));
}

void ShowMenu(const Viewer& viewer, POINT screenPoint) {
    TrackPopupMenu(viewer.popup, 0, screenPoint.x, screenPoint.y, 0, viewer.window, nullptr);
}

LRESULT OnKeyDown(Viewer& viewer, WPARAM key, LPARAM lparam) {
    HWND window = viewer.window;
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
            ViewerShowInformation(viewer);
            SendToParent(window, WM_KEYDOWN, key, lparam);
            break;
        case KeyAction::kMenu: {
            POINT origin{0, 0};
            ClientToScreen(window, &origin);
            ShowMenu(viewer, origin);
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
void LoadPreferences(Viewer& viewer) {
    ViewerPreferences& p = viewer.preferences;
    p.showFrameNumber = ReadSetting("FrameNumber", 0) == 1;
    p.startPaused = ReadSetting("StartPaused", 0) == 1;
    viewer.playback.setLoop(ReadSetting("Loop", 1) != 0);
    p.background = std::clamp(ReadSetting("Background", kBackgroundHost), 0, 2);
    p.timeline = ReadSetting("Timeline", 0) == 1;
}

void RememberPreferences(const Viewer& viewer) {
    if (!gSettingsFile[0]) return;
    const ViewerPreferences& p = viewer.preferences;
    WriteSetting("FrameNumber", p.showFrameNumber ? 1 : 0);
    WriteSetting("StartPaused", p.startPaused ? 1 : 0);
    WriteSetting("Loop", viewer.playback.loop() ? 1 : 0);
    WriteSetting("Background", p.background);
    WriteSetting("Timeline", p.timeline ? 1 : 0);
}

// ---- Files --------------------------------------------------------------------------

// How long opening a file waits for its first frame. Most files have it
// by then and open as a whole; a file whose first frame takes longer (a huge
// picture, a hostile one) opens at once, says "Loading...", and shows the
// frame when the worker has it, while the window goes on answering.
constexpr uint32_t kFirstFrameWaitMs = 40;

// The file with a worker to decode its frames as they are needed; none when
// it cannot be shown: no format takes it, or its first frame, found within
// the wait, is missing. (Found missing later, the window says so.)
FrameFeed* OpenFile(const char* fileName) {
    LoadRequest request{};
    FrameSource* source = FrameSourceOpenFile(fileName, &request);
    if (!source) return nullptr;
    Status error;
    FrameFeed* feed = FrameFeedOpen(source, true, &error);
    if (feed && FrameFeedWaitFirst(feed, kFirstFrameWaitMs) && !FrameFeedGetStatus(feed).missing.ok()) {
        FrameFeedClose(feed);
        return nullptr;
    }
    return feed;
}

// The geometry takes the picture's size from its first frame, once it is there.
void SizePicture(Viewer& viewer) {
    const Image* frame = viewer.playback.frame();
    viewer.sized = frame != nullptr;
    viewer.geometry.setPicture(frame ? ImageWidth(frame) : 1, frame ? ImageHeight(frame) : 1);
    viewer.geometry.scrollHome();
}

// The geometry's client area: the window's as it would be without scroll
// bars, above the timeline when it shows. Whether the bars show then follows
// from the picture alone, whatever order the resizes came in.
void UpdateClient(Viewer& viewer) {
    RECT client;
    GetClientRect(viewer.window, &client);
    const LONG_PTR style = GetWindowLongPtrA(viewer.window, GWL_STYLE);
    const int barWidth = GetSystemMetrics(SM_CXVSCROLL), barHeight = GetSystemMetrics(SM_CYHSCROLL);
    const RECT timeline = ViewerTimelineRect(viewer);
    viewer.geometry.setClientArea(client.right + ((style & WS_VSCROLL) ? barWidth : 0),
                                  client.bottom + ((style & WS_HSCROLL) ? barHeight : 0) -
                                      (timeline.bottom - timeline.top),
                                  barWidth, barHeight);
    ViewerSyncScrollBars(viewer);
}

// Shows `feed` from its first frame, at the top-left.
void Start(Viewer& viewer, FrameFeed* feed, int showFlags) {
    viewer.display.release(false);
    viewer.playback.start(feed, viewer.preferences.startPaused);
    SizePicture(viewer);
    ViewerSetShowFlags(viewer, showFlags);
}

// ---- Creation and destruction ---------------------------------------------------

LRESULT OnCreate(HWND window, const CREATESTRUCTA* create) {
    const auto* params = static_cast<const ViewerCreateParams*>(create->lpCreateParams);
    // A name that does not fit is refused rather than cut: a cut name would
    // later make default export names from another file.
    if (!params || !params->fileName || strnlen(params->fileName, kMaxPath) >= kMaxPath) return -1;
    FrameFeed* feed = OpenFile(params->fileName);
    if (!feed) return -1;
    auto* viewer = new (std::nothrow) Viewer(window);
    if (!viewer) {
        FrameFeedClose(feed);
        return -1;
    }
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(viewer));
    // Without the menu the context menu simply does not open.
    viewer->menu = LoadMenuA(create->hInstance, MAKEINTRESOURCEA(IDR_VIEWER_MENU));
    viewer->popup = GetSubMenu(viewer->menu, 0);
    std::strcpy(viewer->path, params->fileName);
    LoadPreferences(*viewer);
    Start(*viewer, feed, params->showFlags);
    return 0;
}

LRESULT OnDestroy(Viewer& viewer) {
    // Messages that still arrive while the window goes away find no viewer.
    SetWindowLongPtrA(viewer.window, GWLP_USERDATA, 0);
    delete &viewer;
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

void ScrollTo(Viewer& viewer, int64_t x, int64_t y) {
    viewer.geometry.scrollTo(x, y);
    ViewerSyncScrollBars(viewer);
    InvalidateRect(viewer.window, nullptr, FALSE);
}

LRESULT OnScroll(Viewer& viewer, int bar, WPARAM wparam) {
    const ViewPoint scroll = viewer.geometry.scroll();
    int64_t position = bar == SB_HORZ ? scroll.x : scroll.y;
    const int page = (bar == SB_HORZ ? viewer.geometry.clientWidth() : viewer.geometry.clientHeight()) / 3;
    switch (LOWORD(wparam)) {
        case SB_LINEUP: position -= kLineStep; break;
        case SB_LINEDOWN: position += kLineStep; break;
        case SB_PAGEUP: position -= page; break;
        case SB_PAGEDOWN: position += page; break;
        case SB_THUMBTRACK: position = ThumbPosition(viewer.window, bar, wparam); break;
        default: break;  // SB_THUMBPOSITION and the rest: the track already moved it
    }
    if (bar == SB_HORZ)
        ScrollTo(viewer, position, scroll.y);
    else
        ScrollTo(viewer, scroll.x, position);
    return 0;
}

// Fine wheels and touchpads send parts of a notch: they add up, and every
// whole notch scrolls. Turning the other way, or the focus going elsewhere,
// drops what was left over.
// With Ctrl held, every notch is a zoom step about the point under the cursor.
LRESULT OnMouseWheel(Viewer& viewer, WPARAM wparam, LPARAM lparam) {
    const int delta = static_cast<short>(HIWORD(wparam));
    if (delta == 0) return 0;
    if ((delta < 0) != (viewer.wheelRemainder < 0)) viewer.wheelRemainder = 0;
    const int total = viewer.wheelRemainder + delta;
    const int notches = total / WHEEL_DELTA;  // towards zero, so the sign of the rest is the turn's
    viewer.wheelRemainder = total - notches * WHEEL_DELTA;
    if (notches == 0) return 0;
    if (LOWORD(wparam) & MK_CONTROL) {
        POINT cursor{static_cast<short>(LOWORD(lparam)), static_cast<short>(HIWORD(lparam))};  // screen coordinates
        ScreenToClient(viewer.window, &cursor);
        if (viewer.geometry.zoomBy(notches, {cursor.x, cursor.y})) TellHost(viewer.window, kHostItemFit, 0);
        ViewerSyncScrollBars(viewer);
        InvalidateRect(viewer.window, nullptr, TRUE);
        return 0;
    }
    const ViewPoint scroll = viewer.geometry.scroll();
    ScrollTo(viewer, scroll.x, scroll.y - int64_t{notches} * kWheelStep);
    return 0;
}

// ---- Mouse --------------------------------------------------------------------------

// A click on the timeline shows the frame under it; dragging along it
// shows the frames under the pointer as it moves.
bool OnTimeline(const Viewer& viewer, POINT at) {
    const RECT band = ViewerTimelineRect(viewer);
    return PtInRect(&band, at) != 0;
}

void ScrubTo(Viewer& viewer, POINT at) {
    const RECT track = ViewerTimelineTrack(viewer);
    viewer.playback.goTo(TimelineFrameAt(at.x - track.left, track.right - track.left, viewer.playback.status().count));
}

void BeginDrag(Viewer& viewer, POINT at) {
    if (OnTimeline(viewer, at)) {
        viewer.scrubbing = true;
        SetCapture(viewer.window);
        ScrubTo(viewer, at);
        return;
    }
    const ViewPoint range = viewer.geometry.scrollRange();
    if (range.x <= 0 && range.y <= 0) return;  // nothing to pan
    viewer.dragging = true;
    viewer.dragFrom = at;
    viewer.dragScroll = viewer.geometry.scroll();
    SetCapture(viewer.window);
}

void DragTo(Viewer& viewer, POINT at) {
    if (viewer.scrubbing) return ScrubTo(viewer, at);
    if (!viewer.dragging) return;
    ScrollTo(viewer, viewer.dragScroll.x - (at.x - viewer.dragFrom.x), viewer.dragScroll.y - (at.y - viewer.dragFrom.y));
}

void EndDrag(Viewer& viewer) {
    if (!viewer.dragging && !viewer.scrubbing) return;
    viewer.dragging = viewer.scrubbing = false;
    if (GetCapture() == viewer.window) ReleaseCapture();
}

POINT PointOf(LPARAM lparam) { return {static_cast<short>(LOWORD(lparam)), static_cast<short>(HIWORD(lparam))}; }

// ---- Menu and commands ----------------------------------------------------------

void Check(HMENU menu, UINT id, bool on) { CheckMenuItem(menu, id, MF_BYCOMMAND | (on ? MF_CHECKED : MF_UNCHECKED)); }

// Greys what cannot apply: playing, stepping and the animation's exports on
// a still; a second export while one runs.
void EnableCommands(HMENU menu, const Viewer& viewer) {
    const bool animation = viewer.playback.status().count > 1;
    for (UINT id : {IDM_PAUSE, IDM_NEXT_FRAME, IDM_STEP_FORWARD, IDM_STEP_BACK, IDM_FIRST_FRAME, IDM_LAST_FRAME,
                    IDM_FASTER, IDM_SLOWER, IDM_NORMAL_SPEED})
        EnableMenuItem(menu, id, MF_BYCOMMAND | (animation ? MF_ENABLED : MF_GRAYED));
    const bool exportable = animation && !viewer.exports.busy();
    for (UINT id : {IDM_EXTRACT_ALL_FRAMES, IDM_EXPORT_GIF, IDM_EXPORT_AVI, IDM_EXPORT_SPR})
        EnableMenuItem(menu, id, MF_BYCOMMAND | (exportable ? MF_ENABLED : MF_GRAYED));
}

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

LRESULT OnInitMenu(const Viewer& viewer, WPARAM wparam) {
    HMENU menu = reinterpret_cast<HMENU>(wparam);
    const Playback& playback = viewer.playback;
    Check(menu, IDM_PAUSE, playback.paused());
    Check(menu, IDM_SHOW_FRAME_NUMBER, viewer.preferences.showFrameNumber);
    Check(menu, IDM_FIT_TO_WINDOW, viewer.geometry.fit());
    Check(menu, IDM_CENTER, viewer.geometry.center());
    Check(menu, IDM_START_PAUSED, viewer.preferences.startPaused);
    Check(menu, IDM_LOOP, playback.loop());
    Check(menu, IDM_TIMELINE, viewer.preferences.timeline);
    EnableCommands(menu, viewer);
    CheckMenuRadioItem(menu, IDM_BACKGROUND_AUTO, IDM_BACKGROUND_DARK, IDM_BACKGROUND_AUTO + viewer.preferences.background,
                       MF_BYCOMMAND);
    HMENU popup = viewer.popup;
    char text[48];
    wsprintfA(text, "&Zoom (%d%%)", viewer.geometry.percent());
    NameSubmenu(popup, SubmenuPosition(popup, IDM_ZOOM_IN), text);
    const Ratio& speed = kSpeedSteps[playback.speedIndex()];
    if (speed.den == 1) wsprintfA(text, "Spee&d (%dx)", speed.num);
    else wsprintfA(text, "Spee&d (1/%dx)", speed.den);
    NameSubmenu(popup, SubmenuPosition(popup, IDM_FASTER), text);
    return 0;
}

// Fit and centring are the host's settings too: a change made in the viewer
// is told to the host, so that its menu stays true.
void ToggleFit(Viewer& viewer) {
    const bool fit = !viewer.geometry.fit();
    viewer.geometry.setFit(fit, viewer.geometry.fitLargerOnly());
    ViewerSyncScrollBars(viewer);
    InvalidateRect(viewer.window, nullptr, TRUE);
    TellHost(viewer.window, kHostItemFit, fit ? 1 : 0);
}

void ToggleCenter(Viewer& viewer) {
    const bool center = !viewer.geometry.center();
    viewer.geometry.setCenter(center);
    InvalidateRect(viewer.window, nullptr, TRUE);
    TellHost(viewer.window, kHostItemCenter, center ? 1 : 0);
}

void Zoom(Viewer& viewer, bool left) {
    if (left) TellHost(viewer.window, kHostItemFit, 0);
    ViewerSyncScrollBars(viewer);
    InvalidateRect(viewer.window, nullptr, TRUE);
}

void ZoomAboutTheMiddle(Viewer& viewer, int steps) {
    const ViewGeometry& g = viewer.geometry;
    Zoom(viewer, viewer.geometry.zoomBy(steps, {g.clientWidth() / 2, g.clientHeight() / 2}));
}

void ChangePreference(Viewer& viewer, WORD id) {
    ViewerPreferences& p = viewer.preferences;
    switch (id) {
        case IDM_SHOW_FRAME_NUMBER:
            p.showFrameNumber = !p.showFrameNumber;
            InvalidateRect(viewer.window, nullptr, FALSE);
            break;
        case IDM_START_PAUSED: p.startPaused = !p.startPaused; break;
        case IDM_LOOP: viewer.playback.setLoop(!viewer.playback.loop()); break;
        case IDM_TIMELINE:
            p.timeline = !p.timeline;
            UpdateClient(viewer);
            InvalidateRect(viewer.window, nullptr, TRUE);
            break;
        default:
            p.background = id - IDM_BACKGROUND_AUTO;
            InvalidateRect(viewer.window, nullptr, TRUE);
            break;
    }
    RememberPreferences(viewer);
}

LRESULT OnCommand(Viewer& viewer, WPARAM wparam, LPARAM lparam) {
    Playback& playback = viewer.playback;
    // The notification code is not looked at: menu choices and the commands
    // the window sends itself from its keys are handled alike.
    switch (LOWORD(wparam)) {
        case IDM_COPY: ViewerCopy(viewer); break;
        case IDM_PAUSE: playback.togglePause(); break;
        case IDM_NEXT_FRAME: playback.singleStep(); break;
        case IDM_EXTRACT_FRAME: ViewerExtractFrame(viewer); break;
        case IDM_EXTRACT_ALL_FRAMES: ViewerExtractAllFrames(viewer); break;
        case IDM_INFORMATION: ViewerShowInformation(viewer); break;
        case IDM_EXPORT_GIF: ViewerExportGif(viewer); break;
        case IDM_EXPORT_AVI: ViewerExportAvi(viewer); break;
        case IDM_EXPORT_SPR: ViewerExportSpr(viewer); break;
        case IDM_EXPORT_APNG: ViewerExportApng(viewer); break;
        case IDM_EXPORT_FLC: ViewerExportFlc(viewer); break;
        case IDM_ABOUT: ViewerShowAbout(viewer); break;
        case IDM_FIT_TO_WINDOW: ToggleFit(viewer); break;
        case IDM_CENTER: ToggleCenter(viewer); break;
        case IDM_ZOOM_IN: ZoomAboutTheMiddle(viewer, 1); break;
        case IDM_ZOOM_OUT: ZoomAboutTheMiddle(viewer, -1); break;
        case IDM_ACTUAL_SIZE: Zoom(viewer, viewer.geometry.zoomToActualSize()); break;
        case IDM_STEP_FORWARD: playback.step(1); break;
        case IDM_STEP_BACK: playback.step(-1); break;
        case IDM_FIRST_FRAME: playback.goToFirst(); break;
        case IDM_LAST_FRAME: playback.goToLast(); break;
        case IDM_FASTER: playback.changeSpeed(1); break;
        case IDM_SLOWER: playback.changeSpeed(-1); break;
        case IDM_NORMAL_SPEED: playback.setSpeed(kNormalSpeed); break;
        case IDM_SHOW_FRAME_NUMBER:
        case IDM_START_PAUSED:
        case IDM_LOOP:
        case IDM_TIMELINE:
        case IDM_BACKGROUND_AUTO:
        case IDM_BACKGROUND_WHITE:
        case IDM_BACKGROUND_DARK: ChangePreference(viewer, LOWORD(wparam)); break;
        default: return DefWindowProcA(viewer.window, WM_COMMAND, wparam, lparam);
    }
    return 0;
}

LRESULT OnSize(Viewer& viewer) {
    UpdateClient(viewer);
    return 0;
}

LRESULT OnPaint(Viewer& viewer) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(viewer.window, &paint);
    ViewerPaint(viewer, dc);
    EndPaint(viewer.window, &paint);
    return 0;
}

LRESULT OnEraseBackground(const Viewer& viewer, HDC dc) {
    RECT client;
    GetClientRect(viewer.window, &client);
    HBRUSH brush = CreateSolidBrush(ViewerBackgroundColor(viewer));
    FillRect(dc, &client, brush);
    DeleteObject(brush);
    return 1;
}

LRESULT Dispatch(Viewer& viewer, UINT message, WPARAM wparam, LPARAM lparam) {
    HWND window = viewer.window;
    switch (message) {
        case WM_DESTROY: return OnDestroy(viewer);
        case WM_SIZE: return lparam == 0 ? DefWindowProcA(window, message, wparam, lparam) : OnSize(viewer);
        case WM_PAINT: return OnPaint(viewer);
        case WM_ERASEBKGND: return OnEraseBackground(viewer, reinterpret_cast<HDC>(wparam));
        case WM_TIMER:
            if (wparam != kPlaybackTimer) break;
            viewer.playback.tick();
            return 0;
        case WM_HSCROLL: return OnScroll(viewer, SB_HORZ, wparam);
        case WM_VSCROLL: return OnScroll(viewer, SB_VERT, wparam);
        case WM_MOUSEWHEEL: return OnMouseWheel(viewer, wparam, lparam);
        case WM_KILLFOCUS: viewer.wheelRemainder = 0; break;
        case WM_KEYDOWN: return OnKeyDown(viewer, wparam, lparam);
        case WM_CHAR: return OnChar(window, wparam);
        case WM_LBUTTONDOWN:
            SendToParent(window, WM_LBUTTONDOWN, wparam, lparam);
            BeginDrag(viewer, PointOf(lparam));
            return 0;
        case WM_MOUSEMOVE: DragTo(viewer, PointOf(lparam)); return 0;
        case WM_LBUTTONUP:
        case WM_CAPTURECHANGED: EndDrag(viewer); return 0;
        case WM_RBUTTONDOWN: {
            POINT point = PointOf(lparam);
            ClientToScreen(window, &point);
            ShowMenu(viewer, point);
            return 0;
        }
        case WM_INITMENU: return OnInitMenu(viewer, wparam);
        case WM_COMMAND: return OnCommand(viewer, wparam, lparam);
        case kMessageExportDone: ViewerExportEnded(viewer); return 0;
        default: break;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

}  // namespace

// ---- The viewer ---------------------------------------------------------------------

Viewer::~Viewer() {
    KillTimer(window, kPlaybackTimer);
    DestroyMenu(menu);
}

void Viewer::armTimer(uint32_t milliseconds) { SetTimer(window, kPlaybackTimer, milliseconds, nullptr); }
void Viewer::stopTimer() { KillTimer(window, kPlaybackTimer); }
void Viewer::repaint() {
    if (!sized && playback.frame()) {  // the first frame, decoded after the file opened
        SizePicture(*this);
        UpdateClient(*this);
        InvalidateRect(window, nullptr, TRUE);  // over "Loading..."
        return;
    }
    InvalidateRect(window, nullptr, playback.missing());
}
void Viewer::tellPercent(int percent) { TellHost(window, kHostItemPercent, percent); }

LRESULT CALLBACK ViewerWndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_CREATE) return OnCreate(window, reinterpret_cast<const CREATESTRUCTA*>(lparam));
    auto* viewer = reinterpret_cast<Viewer*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (!viewer) return DefWindowProcA(window, message, wparam, lparam);
    return Dispatch(*viewer, message, wparam, lparam);
}

Viewer* ViewerFromWindow(HWND window) {
    char name[sizeof kViewerClassName + 1];
    if (!IsWindow(window) || GetClassNameA(window, name, sizeof name) <= 0 || lstrcmpA(name, kViewerClassName) != 0)
        return nullptr;
    return reinterpret_cast<Viewer*>(GetWindowLongPtrA(window, GWLP_USERDATA));
}

int ViewerLoadNext(Viewer& viewer, const char* fileName, int showFlags) {
    if (!fileName || strnlen(fileName, kMaxPath) >= kMaxPath) return 0;
    // The window keeps showing what it showed when the new file cannot be
    // shown; otherwise the old file's worker stops within a frame.
    FrameFeed* feed = OpenFile(fileName);
    if (!feed) return 0;
    std::strcpy(viewer.path, fileName);
    // The overlay, zoom and speed stay as the user left them; fit and
    // centring follow the host's flags; playback starts afresh at the top-left.
    Start(viewer, feed, showFlags);
    return 1;
}

void ViewerSetShowFlags(Viewer& viewer, int flags) {
    viewer.geometry.setFit(flags & kShowFitToWindow, flags & kShowFitLargerOnly);
    viewer.geometry.setCenter(flags & kShowCenter);
    viewer.darkMode = flags & kShowDarkMode;
    UpdateClient(viewer);
    // Erased: a fitted or centred frame leaves part of the client area unpainted.
    InvalidateRect(viewer.window, nullptr, TRUE);
}

int ViewerCopy(const Viewer& viewer) {
    const Image* frame = viewer.playback.frame();
    return frame ? ImageCopyToClipboard(frame, viewer.window) : 0;
}
