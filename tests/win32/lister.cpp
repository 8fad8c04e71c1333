// The lister window around the viewer, the message loop and keys.
#include "resources/resource.h"
#include "tests/win32/host.h"

namespace {

constexpr char kParentClass[] = "MovrelTestLister";
volatile LONG gSequence = 0;

}  // namespace

LONG NextSequence() { return InterlockedIncrement(&gSequence); }

HWND ListLoad(HWND parent, const std::string& file, int showFlags) {
    std::wstring name = WideFromUtf8(file.c_str());
    return gPlugin.listLoadW(parent, name.data(), showFlags);
}

Lister::Lister(const std::string& file, int showFlags, int width, int height, int x, int y) {
    static bool registered = false;
    if (!registered) {
        WNDCLASSA parentClass{};
        parentClass.lpfnWndProc = ParentProc;
        parentClass.hInstance = GetModuleHandleA(nullptr);
        parentClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH));
        parentClass.lpszClassName = kParentClass;
        registered = RegisterClassA(&parentClass) != 0;
    }
    parent_ = CreateWindowExA(0, kParentClass, "lister", WS_POPUP | WS_VISIBLE | WS_CLIPCHILDREN, x, y, width, height,
                              nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    SetWindowLongPtrA(parent_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetForegroundWindow(parent_);
    viewer_ = ListLoad(parent_, file, showFlags);
    if (!viewer_) return;
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

void Lister::resize(int width, int height) {
    RECT window;
    GetWindowRect(parent_, &window);
    MoveWindow(parent_, window.left, window.top, width, height, TRUE);
    MoveWindow(viewer_, 0, 0, width, height, TRUE);
}

std::vector<Message> Lister::messages(UINT message) const {
    std::vector<Message> out;
    for (const Message& m : log)
        if (m.message == message) out.push_back(m);
    return out;
}

std::vector<int> Lister::told(WORD item) const {
    std::vector<int> values;
    for (const Message& m : messages(WM_COMMAND))
        if (HIWORD(m.wparam) == item) values.push_back(LOWORD(m.wparam));
    return values;
}

int Lister::percent() const {
    const std::vector<int> values = told(kHostItemPercent);
    return values.empty() ? -1 : values.back();
}

LRESULT CALLBACK Lister::ParentProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* self = reinterpret_cast<Lister*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    const bool logged = message == WM_COMMAND || message == WM_KEYDOWN || message == WM_LBUTTONDOWN;
    if (self && logged) self->log.push_back({message, wparam, lparam, NextSequence()});
    if (message == WM_KEYDOWN || message == WM_LBUTTONDOWN) return 0;
    return DefWindowProcA(window, message, wparam, lparam);
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

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const double end = NowMs() + timeoutMs;
    for (;;) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
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

void Command(HWND viewer, WORD id) { SendMessageA(viewer, WM_COMMAND, id, 0); }

void PauseAt(HWND viewer, int percent) {
    Command(viewer, IDM_STEP_FORWARD);  // a step pauses
    EXPECT_EQ(gPlugin.listSendCommand(viewer, kListCommandSetPercent, percent), kListSuccess);
}
