// The lister window around the viewer, the message loop and keys.
#include "tests/win32/host.h"

#include <algorithm>

namespace {

constexpr char kParentClass[] = "MovrelTestLister";
volatile LONG gSequence = 0;

bool IsLogged(UINT message) {
    switch (message) {
        case WM_COMMAND:
        case WM_HSCROLL:
        case WM_VSCROLL:
        case WM_KEYDOWN:
        case WM_KEYUP:
        case WM_CHAR:
        case WM_LBUTTONDOWN:
        case WM_RBUTTONDOWN:
        case WM_INITMENU:
        case WM_SIZE: return true;
        default: return false;
    }
}

int gReferenceTicks = 0;
void CALLBACK CountReferenceTick(HWND, UINT, UINT_PTR, DWORD) { ++gReferenceTicks; }

}  // namespace

LONG NextSequence() { return InterlockedIncrement(&gSequence); }

HWND ListLoad(HWND parent, const std::string& file, int showFlags) {
    std::wstring name = WideFromUtf8(file.c_str());
    return gPlugin.listLoadW(parent, name.data(), showFlags);
}

Lister::Lister(const std::string& file, int showFlags, int x, int y, int width, int height, bool record, bool decoded) {
    static bool registered = false;
    if (!registered) {
        WNDCLASSA parentClass{};
        parentClass.lpfnWndProc = ParentProc;
        parentClass.hInstance = GetModuleHandleA(nullptr);
        parentClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH));
        parentClass.lpszClassName = kParentClass;
        RegisterClassA(&parentClass);
        registered = true;
    }
    parent_ = CreateWindowExA(0, kParentClass, "lister", WS_POPUP | WS_VISIBLE | WS_CLIPCHILDREN, x, y, width, height,
                              nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    SetWindowLongPtrA(parent_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetForegroundWindow(parent_);
    viewer_ = ListLoad(parent_, file, showFlags);
    if (!viewer_) return;
    if (decoded) waitDecoded();
    if (record) {
        SetPropA(viewer_, kParentClass, this);
        viewerProc_ = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrA(viewer_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ViewerSubclass)));
    }
    // Like the file manager: the lister sizes the viewer to its client area.
    MoveWindow(viewer_, 0, 0, width, height, TRUE);
    SetFocus(viewer_);
    UpdateWindow(viewer_);
}

Lister::~Lister() {
    destroyViewer();
    if (parent_) DestroyWindow(parent_);
    Pump(0);
}

void Lister::destroyViewer() {
    if (viewer_ && IsWindow(viewer_)) DestroyWindow(viewer_);
    viewer_ = nullptr;
}

void Lister::waitDecoded() const {
    // The worker needs nothing from this thread: a plain wait cannot hang.
    if (const ViewerState* s = state(); s && s->worker) WaitForSingleObject(s->worker, INFINITE);
}

ViewerState* Lister::state() const {
    return viewer_ ? reinterpret_cast<ViewerState*>(GetWindowLongPtrA(viewer_, GWLP_USERDATA)) : nullptr;
}

int Lister::currentIndex() const {
    const ViewerState* s = state();
    if (!s) return -1;
    int index = 0;
    for (const Image* frame = s->first; frame && frame != s->current; frame = ImageNext(frame)) ++index;
    return index;
}

void Lister::resize(int width, int height) {
    RECT window{0, 0, width, height};
    GetWindowRect(parent_, &window);
    MoveWindow(parent_, window.left, window.top, width, height, TRUE);
    MoveWindow(viewer_, 0, 0, width, height, TRUE);
}

std::vector<Message> Lister::viewerMessages(UINT message) const {
    std::vector<Message> out;
    for (const Message& m : viewerLog)
        if (m.message == message) out.push_back(m);
    return out;
}

std::vector<Message> Lister::parentMessages(UINT message) const {
    std::vector<Message> out;
    for (const Message& m : parentLog)
        if (m.message == message) out.push_back(m);
    return out;
}

LRESULT CALLBACK Lister::ParentProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* self = reinterpret_cast<Lister*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (self && IsLogged(message)) self->parentLog.push_back({message, wparam, lparam, NextSequence()});
    if (message == WM_KEYDOWN || message == WM_LBUTTONDOWN) return 0;
    return DefWindowProcA(window, message, wparam, lparam);
}

LRESULT CALLBACK Lister::ViewerSubclass(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* self = static_cast<Lister*>(GetPropA(window, kParentClass));
    if (!self) return DefWindowProcA(window, message, wparam, lparam);
    if (IsLogged(message)) self->viewerLog.push_back({message, wparam, lparam, NextSequence()});
    const WNDPROC original = self->viewerProc_;
    if (message == WM_NCDESTROY) RemovePropA(window, kParentClass);
    if (message == WM_PAINT) ++self->paints;
    if (message != WM_TIMER) return CallWindowProcA(original, window, message, wparam, lparam);
    ++self->timers;
    const double at = NowMs();
    const int before = self->currentIndex();
    const LRESULT result = CallWindowProcA(original, window, message, wparam, lparam);
    if (self->currentIndex() != before) self->shown.push_back({at, self->currentIndex()});
    return result;
}

double NowMs() {
    static const double perMs = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart) / 1000.0;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / perMs;
}

double gLongestDispatchMs = -1;

namespace {
double ThreadCpuNowMs() {
    FILETIME created, ended, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &ended, &kernel, &user);
    auto ms = [](const FILETIME& t) { return static_cast<double>((uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime) / 1e4; };
    return ms(kernel) + ms(user);
}
}  // namespace

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const double end = NowMs() + timeoutMs;
    for (;;) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            const double before = gLongestDispatchMs >= 0 ? ThreadCpuNowMs() : 0;
            DispatchMessageA(&message);
            if (gLongestDispatchMs >= 0) gLongestDispatchMs = std::max(gLongestDispatchMs, ThreadCpuNowMs() - before);
            if (done && done()) return true;
            // Messages that never stop coming hold it no longer than its time;
            // a time of 0 dispatches all that is pending.
            if (timeoutMs && NowMs() >= end) break;
        }
        if (done && done()) return true;
        const double left = end - NowMs();
        if (left <= 0) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, left < 5 ? static_cast<DWORD>(left) + 1 : 5, QS_ALLINPUT);
    }
}

void Pump(DWORD ms) { PumpUntil(nullptr, ms); }

bool WaitForFrameChange(const Lister& lister, DWORD timeoutMs) {
    const Image* shown = lister.state()->current;
    return PumpUntil([&] { return lister.state()->current != shown; }, timeoutMs);
}

int ViewerTicksWhile(const Lister& lister, int ticks, UINT intervalMs) {
    gReferenceTicks = 0;
    const int before = lister.timers;
    const UINT_PTR timer = SetTimer(nullptr, 0, intervalMs, CountReferenceTick);
    PumpUntil([&] { return gReferenceTicks >= ticks; });
    KillTimer(nullptr, timer);
    return lister.timers - before;
}

void SendKey(HWND window, WPARAM key, Ctrl ctrl, LPARAM lparam) {
    BYTE keys[256];
    GetKeyboardState(keys);
    keys[VK_CONTROL] = keys[VK_LCONTROL] = keys[VK_RCONTROL] = 0;
    if (ctrl == Ctrl::left) keys[VK_CONTROL] = keys[VK_LCONTROL] = 0x80;
    if (ctrl == Ctrl::right) keys[VK_CONTROL] = keys[VK_RCONTROL] = 0x80;
    SetKeyboardState(keys);
    SendMessageA(window, WM_KEYDOWN, key, lparam);
    ReleaseKeys();
}

void ReleaseKeys() {
    BYTE keys[256];
    GetKeyboardState(keys);
    keys[VK_CONTROL] = keys[VK_LCONTROL] = keys[VK_RCONTROL] = 0;
    SetKeyboardState(keys);
}

void Command(HWND viewer, WORD id, WORD notification) { SendMessageA(viewer, WM_COMMAND, MAKEWPARAM(id, notification), 0); }

void SetDelays(const ViewerState* state, const std::vector<uint32_t>& delays) {
    size_t i = 0;
    for (Image* frame = state->first; frame; frame = ImageNext(frame)) ImageSetDelay(frame, delays[i++ % delays.size()]);
}
