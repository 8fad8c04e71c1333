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
constexpr int kOverlayX = 6;        // top-left of the frame number's white text
constexpr int kOverlayY = 6;
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
    {VK_END, KeyAction::kHScroll, SB_PAGERIGHT, KeyAction::kHScroll, SB_PAGERIGHT},
    {VK_HOME, KeyAction::kHScroll, SB_PAGELEFT, KeyAction::kHScroll, SB_PAGELEFT},
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
};

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

// ---- Remembered choices -----------------------------------------------------------

constexpr char kSettingsSection[] = "Movrel";
constexpr char kFrameNumberKey[] = "FrameNumber";

int RememberedFrameNumber() {
    if (!gSettingsFile[0]) return 0;
    return GetPrivateProfileIntA(kSettingsSection, kFrameNumberKey, 0, gSettingsFile) == 1 ? 1 : 0;
}

void RememberFrameNumber(int shown) {
    if (gSettingsFile[0]) WritePrivateProfileStringA(kSettingsSection, kFrameNumberKey, shown ? "1" : "0", gSettingsFile);
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

    ViewerSetShowFlags(window, params->showFlags);
    ViewerSetPaused(window, 0);
    ViewerSetSingleStep(window, 0);
    ViewerSetFrameCounter(window, 0);
    ViewerShowFrameNumber(window, RememberedFrameNumber());
    return 0;
}

LRESULT OnDestroy(HWND window) {
    ViewerState* state = ViewerGetState(window);
    if (!state) return 0;
    // Messages that still arrive while the window goes away must not find
    // the freed block.
    SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    DestroyMenu(state->menu);
    ViewerFreeFrames(state);
    LocalFree(state);
    return 0;
}

// ---- Size, paint, timer -----------------------------------------------------------

// Showing or hiding a bar resizes the client area and sends a nested WM_SIZE
// while this one is still running, so the sizes come from the client area
// as it is now, never from the message, whose size may be out of date by then.
void UpdateScrollBar(HWND window, int bar, int pictureSize) {
    RECT client;
    GetClientRect(window, &client);
    const int old = GetScrollPos(window, bar);
    int max = pictureSize - (bar == SB_HORZ ? client.right : client.bottom);
    if (max <= 0) max = 0;
    SetScrollRange(window, bar, 0, max, FALSE);
    // A nested size message may have set the range again, for a smaller client area.
    int min = 0;
    GetScrollRange(window, bar, &min, &max);
    SetScrollPos(window, bar, std::min(old, max), TRUE);
}

// The scroll ranges for the client area as it is, as after a size change.
void UpdateScrollRanges(HWND window) {
    RECT client;
    GetClientRect(window, &client);
    SendMessageA(window, WM_SIZE, SIZE_RESTORED, MAKELPARAM(client.right, client.bottom));
}

// Whether the frame is scaled into the client area: in fit mode, and with
// "larger only" just when it does not fit as it is.
bool Fitted(const ViewerState* state, const RECT& client) {
    if (!state->fitToWindow) return false;
    if (!state->fitLargerOnly) return true;
    return ImageWidth(state->current) > client.right || ImageHeight(state->current) > client.bottom;
}

LRESULT OnSize(HWND window, WPARAM wparam, LPARAM lparam) {
    if (lparam == 0) return DefWindowProcA(window, WM_SIZE, wparam, lparam);
    const ViewerState* state = ViewerGetState(window);
    if (!state) return 0;
    RECT client;
    GetClientRect(window, &client);
    if (Fitted(state, client)) {
        SetScrollRange(window, SB_HORZ, 0, 0, FALSE);
        SetScrollRange(window, SB_VERT, 0, 0, FALSE);
        return 0;
    }
    UpdateScrollBar(window, SB_HORZ, ImageWidth(state->current));
    UpdateScrollBar(window, SB_VERT, ImageHeight(state->current));
    return 0;
}

// The largest rectangle at the client's top-left corner with the picture's
// aspect ratio; the picture is enlarged as well as reduced.
RECT FitRectangle(const RECT& client, int width, int height) {
    RECT fit = client;
    const int64_t byHeight = int64_t{client.right} * height;  // client width x picture height
    const int64_t byWidth = int64_t{client.bottom} * width;   // client height x picture width
    if (byWidth > byHeight)
        fit.bottom = static_cast<LONG>(byHeight / width);
    else
        fit.right = static_cast<LONG>(byWidth / height);
    return fit;
}

void DrawFrameNumber(HDC dc, int frameCounter) {
    char text[32];
    const int length = wsprintfA(text, "Frame: %d", frameCounter);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(0, 0, 0));  // a one-pixel shadow keeps the text readable on light frames
    TextOutA(dc, kOverlayX + 1, kOverlayY + 1, text, length);
    SetTextColor(dc, RGB(255, 255, 255));
    TextOutA(dc, kOverlayX, kOverlayY, text, length);
}

// The offset that centres `size` pixels in `room`, when the host asks for it
// and they fit; 0 otherwise.
int CenterOffset(const ViewerState* state, LONG room, LONG size) {
    return state->center && size < room ? static_cast<int>((room - size) / 2) : 0;
}

COLORREF Background(const ViewerState* state) { return state->darkMode ? RGB(32, 32, 32) : RGB(255, 255, 255); }

LRESULT OnEraseBackground(HWND window, WPARAM wparam) {
    const ViewerState* state = ViewerGetState(window);
    if (!state) return DefWindowProcA(window, WM_ERASEBKGND, wparam, 0);
    RECT client;
    GetClientRect(window, &client);
    HBRUSH brush = CreateSolidBrush(Background(state));
    FillRect(reinterpret_cast<HDC>(wparam), &client, brush);
    DeleteObject(brush);
    return 1;
}

LRESULT OnPaint(HWND window, WPARAM wparam, LPARAM lparam) {
    const ViewerState* state = ViewerGetState(window);
    if (!state) return DefWindowProcA(window, WM_PAINT, wparam, lparam);
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    const Image* frame = state->current;
    RECT client;
    GetClientRect(window, &client);
    // The rest of the client area keeps the background of the last erase.
    if (Fitted(state, client)) {
        const RECT source{0, 0, ImageWidth(frame), ImageHeight(frame)};
        RECT destination = FitRectangle(client, ImageWidth(frame), ImageHeight(frame));
        OffsetRect(&destination, CenterOffset(state, client.right, destination.right),
                   CenterOffset(state, client.bottom, destination.bottom));
        ImageDrawStretched(frame, dc, &source, &destination);
    } else {
        ImageDraw(frame, dc, CenterOffset(state, client.right, ImageWidth(frame)),
                  CenterOffset(state, client.bottom, ImageHeight(frame)), GetScrollPos(window, SB_HORZ),
                  GetScrollPos(window, SB_VERT));
    }
    if (state->showFrameNumber == 1) DrawFrameNumber(dc, state->frameCounter);
    ViewerDrawLoadNote(dc, state, kOverlayX, kOverlayY);
    EndPaint(window, &paint);
    return 0;
}

LRESULT OnTimer(HWND window, WPARAM id, LPARAM lparam) {
    ViewerState* state = ViewerGetState(window);
    if (!state || id != kPlaybackTimer) return DefWindowProcA(window, WM_TIMER, id, lparam);
    const Image* shown = state->current;
    if (!ViewerAdvance(state)) {
        // The next frame is still being decoded: look again soon; a pending
        // step stays pending.
        SetTimer(window, kPlaybackTimer, kDecodingPollMs, nullptr);
        return 0;
    }
    // A still picture (a chain of one) keeps ticking; repainting it at the
    // timer's pace would only burn processor time.
    if (state->current != shown) InvalidateRect(window, nullptr, FALSE);
    SetTimer(window, kPlaybackTimer, ImageGetDelay(state->current), nullptr);
    if (state->singleStep == 1) {
        ViewerSetSingleStep(window, 0);
        ViewerSetPaused(window, 1);
    }
    return 0;
}

// ---- Scrolling ------------------------------------------------------------------

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
        case SB_THUMBTRACK: position = HIWORD(wparam); break;
        default: break;  // SB_THUMBPOSITION and the rest: the track already moved it
    }
    SetScrollPos(window, bar, position, TRUE);  // clamped into the range
    InvalidateRect(window, nullptr, FALSE);
    return 0;
}

// Fine wheels and touchpads send parts of a notch: they add up, and every
// whole notch scrolls. Turning the other way, or the focus going elsewhere,
// drops what was left over.
LRESULT OnMouseWheel(HWND window, WPARAM wparam) {
    ViewerState* state = ViewerGetState(window);
    const int delta = static_cast<short>(HIWORD(wparam));
    if (!state || delta == 0) return 0;
    if ((delta < 0) != (state->wheelRemainder < 0)) state->wheelRemainder = 0;
    const int total = state->wheelRemainder + delta;
    const int notches = total / WHEEL_DELTA;  // towards zero, so the sign of the rest is the turn's
    state->wheelRemainder = total - notches * WHEEL_DELTA;
    if (notches == 0) return 0;
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

LRESULT OnInitMenu(HWND window, WPARAM wparam) {
    const ViewerState* state = ViewerGetState(window);
    if (!state) return 0;
    HMENU menu = reinterpret_cast<HMENU>(wparam);
    CheckMenuItem(menu, IDM_PAUSE, MF_BYCOMMAND | (state->paused == 1 ? MF_CHECKED : MF_UNCHECKED));
    CheckMenuItem(menu, IDM_SHOW_FRAME_NUMBER, MF_BYCOMMAND | (state->showFrameNumber == 1 ? MF_CHECKED : MF_UNCHECKED));
    CheckMenuItem(menu, IDM_FIT_TO_WINDOW, MF_BYCOMMAND | (state->fitToWindow ? MF_CHECKED : MF_UNCHECKED));
    CheckMenuItem(menu, IDM_CENTER, MF_BYCOMMAND | (state->center ? MF_CHECKED : MF_UNCHECKED));
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
        UpdateScrollRanges(window);
    } else {
        value = state->center = !state->center;
        InvalidateRect(window, nullptr, TRUE);
    }
    PostMessageA(GetParent(window), WM_COMMAND, MAKEWPARAM(value, item), reinterpret_cast<LPARAM>(window));
}

LRESULT OnCommand(HWND window, WPARAM wparam, LPARAM lparam) {
    // The notification code is not looked at: menu choices and the commands
    // the window sends itself from its keys are handled alike.
    switch (LOWORD(wparam)) {
        case IDM_COPY: ViewerCopy(window); break;
        case IDM_PAUSE: ViewerSetPaused(window, !ViewerIsPaused(window)); break;
        case IDM_NEXT_FRAME: ViewerSetSingleStep(window, 1); break;
        case IDM_SHOW_FRAME_NUMBER:
            ViewerShowFrameNumber(window, !ViewerIsFrameNumberShown(window));
            RememberFrameNumber(ViewerIsFrameNumberShown(window));
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
        default: return DefWindowProcA(window, WM_COMMAND, wparam, lparam);
    }
    return 0;
}

}  // namespace

LRESULT CALLBACK ViewerWndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_CREATE: return OnCreate(window, reinterpret_cast<const CREATESTRUCTA*>(lparam));
        case WM_DESTROY: return OnDestroy(window);
        case WM_SIZE: return OnSize(window, wparam, lparam);
        case WM_PAINT: return OnPaint(window, wparam, lparam);
        case WM_ERASEBKGND: return OnEraseBackground(window, wparam);
        case WM_TIMER: return OnTimer(window, wparam, lparam);
        case WM_HSCROLL: return OnScroll(window, SB_HORZ, wparam);
        case WM_VSCROLL: return OnScroll(window, SB_VERT, wparam);
        case WM_MOUSEWHEEL: return OnMouseWheel(window, wparam);
        case WM_KILLFOCUS: return OnKillFocus(window, wparam, lparam);
        case WM_KEYDOWN: return OnKeyDown(window, wparam, lparam);
        case WM_LBUTTONDOWN: SendToParent(window, WM_LBUTTONDOWN, wparam, lparam); return 0;
        case WM_RBUTTONDOWN: return OnRightButtonDown(window, lparam);
        case WM_INITMENU: return OnInitMenu(window, wparam);
        case WM_COMMAND: return OnCommand(window, wparam, lparam);
        default: return DefWindowProcA(window, message, wparam, lparam);
    }
}

ViewerState* ViewerGetState(HWND window) {
    return reinterpret_cast<ViewerState*>(GetWindowLongPtrA(window, GWLP_USERDATA));
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
        SetTimer(window, kPlaybackTimer, ImageGetDelay(state->current), nullptr);
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
    // The old file's worker stops first, so that the new file has the processor.
    ViewerStopDecoding(state);
    ProgressiveLoad* load = ViewerOpenFile(fileName);
    if (!load) {
        ViewerStartDecoding(state, state->load);  // the window keeps showing what it showed
        return 0;
    }
    KillTimer(window, kPlaybackTimer);
    ViewerFreeFrames(state);
    ViewerStartDecoding(state, load);
    std::strcpy(state->path, fileName);
    // The frame number stays as the user left it; fit and centring follow
    // the host's flags; playback starts afresh at the top-left.
    ViewerSetSingleStep(window, 0);
    ViewerSetFrameCounter(window, 0);
    SetScrollPos(window, SB_HORZ, 0, FALSE);
    SetScrollPos(window, SB_VERT, 0, FALSE);
    ViewerSetShowFlags(window, showFlags);
    UpdateScrollRanges(window);
    ViewerSetPaused(window, 0);
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
