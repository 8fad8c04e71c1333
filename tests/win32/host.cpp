#include "tests/win32/host.h"

#include <commdlg.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <set>

#include "tests/support/flic_writer.h"

Plugin gPlugin;
TestFiles gFiles;

namespace {

// ---- Registry of tests ------------------------------------------------------------------

struct HostTest {
    const char* group;
    const char* name;
    void (*run)();
};

std::vector<HostTest>& Tests() {
    static std::vector<HostTest> tests;
    return tests;
}

bool gFailed = false;
std::vector<std::string> gNotes;
DWORD gMainThread = 0;
volatile LONG gSequence = 0;

// ---- Helper thread: expected windows and the watchdog -------------------------------------

CRITICAL_SECTION gLock;
std::vector<ExpectedWindow> gExpected;  // the windows the running test expects, in order
size_t gExpectedMet = 0;                // how many of them were handled
bool gExpectArmed = false;
// The windows of the running test that the helper is done with: those it
// answered or closed, and the windows that own them. A window it answered
// may stay visible while it closes, and a system dialog may show its own
// owner for a moment on the way out (Video for Windows' save options box,
// which holds the "Video Compression" dialog): neither is a new window.
std::set<HWND> gSettled;
LONG gExpectGeneration = 0;  // bumped at every arming and disarming
bool gActing = false;        // the helper is inside an expectation's act
HANDLE gIdle = nullptr;      // set while the helper is not inside an act
volatile LONG gStopHelper = 0;
std::vector<std::string> gHelperFailures;  // reported by the main thread at the end of a test
ULONGLONG gDeadline = 0;                   // 0: no test running
bool gDeadlineHit = false;

struct FoundWindows {
    std::vector<HWND> windows;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM param) {
    reinterpret_cast<FoundWindows*>(param)->windows.push_back(window);
    return TRUE;
}

std::string ClassOf(HWND window) {
    char name[64] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

// Closes a dialog or menu that nobody expected, without waiting for it.
void Dismiss(HWND window) {
    if (ClassOf(window) == "#32768") {
        PostMessageA(window, WM_KEYDOWN, VK_ESCAPE, 0);
        PostMessageA(window, WM_KEYDOWN, VK_ESCAPE, 0);
    } else {
        PostMessageA(window, WM_COMMAND, IDCANCEL, 0);
        PostMessageA(window, WM_CLOSE, 0, 0);
    }
}

std::string Describe(HWND window) {
    std::string text = ClassOf(window) + " \"" + WindowText(window) + "\"";
    const std::string body = DialogItemText(window, 0xFFFF);
    if (!body.empty()) text += " saying \"" + body + "\"";
    return text;
}

// Under gLock.
void Settle(HWND window) {
    for (HWND w = window; w; w = GetWindow(w, GW_OWNER)) gSettled.insert(w);
}

DWORD WINAPI HelperThread(void*) {
    while (!gStopHelper) {
        Sleep(15);
        FoundWindows found;
        EnumThreadWindows(gMainThread, CollectWindow, reinterpret_cast<LPARAM>(&found));
        for (HWND window : found.windows) {
            if (!IsWindowVisible(window)) continue;
            const std::string name = ClassOf(window);
            if (name != "#32770" && name != "#32768") continue;
            EnterCriticalSection(&gLock);
            const bool mine = gExpectArmed && gExpectedMet < gExpected.size() && name == gExpected[gExpectedMet].windowClass;
            if (gSettled.count(window) && !(mine && gExpected[gExpectedMet].again)) {
                LeaveCriticalSection(&gLock);
                continue;
            }
            std::function<bool(HWND)> act = mine ? gExpected[gExpectedMet].act : nullptr;
            const LONG generation = gExpectGeneration;
            gActing = mine;
            if (mine) ResetEvent(gIdle);
            LeaveCriticalSection(&gLock);
            if (mine) {
                const bool done = act(window);
                EnterCriticalSection(&gLock);
                // Met only if the main thread still waits for this very window;
                // a window that is not ready yet is looked at again.
                if (done && generation == gExpectGeneration) {
                    ++gExpectedMet;
                    Settle(window);
                }
                gActing = false;
                SetEvent(gIdle);
                LeaveCriticalSection(&gLock);
            } else {
                const std::string description = Describe(window);
                // Gone while it was being described: it closed by itself and
                // blocks nothing.
                if (!IsWindow(window)) break;
                EnterCriticalSection(&gLock);
                gHelperFailures.push_back("unexpected window: " + description);
                Settle(window);
                LeaveCriticalSection(&gLock);
                Dismiss(window);
            }
            break;
        }
        EnterCriticalSection(&gLock);
        const ULONGLONG deadline = gDeadline;
        LeaveCriticalSection(&gLock);
        if (deadline && GetTickCount64() > deadline) {
            std::string open;
            for (HWND window : found.windows)
                if (IsWindowVisible(window)) open += "\n    open: " + Describe(window);
            EnterCriticalSection(&gLock);
            if (gDeadlineHit) {
                LeaveCriticalSection(&gLock);
                std::printf("[FAIL] watchdog: the test is still stuck; giving up%s\n", open.c_str());
                std::fflush(stdout);
                TerminateProcess(GetCurrentProcess(), 3);
            }
            gDeadlineHit = true;
            gHelperFailures.push_back("timed out; closing what is open" + open);
            gDeadline = GetTickCount64() + 5000;
            LeaveCriticalSection(&gLock);
            for (HWND window : found.windows)
                if (IsWindowVisible(window)) Dismiss(window);
        }
    }
    return 0;
}

}  // namespace

// ---- Test files ---------------------------------------------------------------------

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("cannot write %s\n", path.c_str());
        std::exit(2);
    }
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::vector<uint8_t> bytes;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    bytes.resize(GetFileSize(file, nullptr));
    DWORD read = 0;
    ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    CloseHandle(file);
    bytes.resize(read);
    return bytes;
}

namespace {

// A palette without white, so that white on screen is always background.
std::vector<Rgb> TestPalette() {
    std::vector<Rgb> colors;
    for (int i = 0; i < 256; ++i)
        colors.push_back({static_cast<uint8_t>(i), static_cast<uint8_t>((i * 7) & 0xFF), static_cast<uint8_t>(255 - i)});
    return colors;
}

void MakeTestFiles(const std::string& sample) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    gFiles.dir = std::string(temp) + "movrel-host-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(gFiles.dir.c_str(), nullptr);
    const std::string dir = gFiles.dir + "\\";

    // Absolute, since tests move the current directory.
    char full[MAX_PATH];
    const DWORD length = GetFullPathNameA(sample.c_str(), MAX_PATH, full, nullptr);
    gFiles.sample = length > 0 && length < MAX_PATH ? full : sample;

    {
        FlicWriter steps(0xAF12, 64, 48, 100);
        steps.frame().color256({{0, TestPalette()}});
        for (int i = 0; i < 4; ++i) (i == 0 ? steps : steps.frame()).copy(Picture(64, 48, static_cast<uint8_t>(40 + i * 50)));
        gFiles.steps = dir + "steps.flc";
        WriteBytes(gFiles.steps, steps.finish());
    }
    {
        FlicWriter large(0xAF12, 480, 360, 100);
        for (int f = 0; f < 2; ++f) {
            Picture picture(480, 360);
            for (int y = 0; y < 360; ++y)
                for (int x = 0; x < 480; ++x) picture.at(x, y) = static_cast<uint8_t>((x + 3 * y + 101 * f) % 251);
            if (f == 0) large.frame().color256({{0, TestPalette()}}).copy(picture);
            else large.frame().copy(picture);
        }
        gFiles.large = dir + "large.flc";
        WriteBytes(gFiles.large, large.finish());
    }
    {
        FlicWriter still(0xAF12, 40, 30, 0);
        still.frame().color256({{0, TestPalette()}}).copy(Picture(40, 30, 77));
        gFiles.still = dir + "still.flc";
        WriteBytes(gFiles.still, still.finish());
    }
    {
        FlicWriter fli(0xAF11, 32, 20, 5);
        fli.frame().color64({{0, TestPalette()}}).copy(Picture(32, 20, 9));
        fli.frame().copy(Picture(32, 20, 19));
        fli.frame().copy(Picture(32, 20, 29));
        gFiles.fli = dir + "anim.fli";
        WriteBytes(gFiles.fli, fli.finish());
    }
    gFiles.empty = dir + "empty.flc";
    WriteBytes(gFiles.empty, {});
    gFiles.unknown = dir + "notes.txt";
    const char text[] = "Not a picture at all, just a few words of text.\r\n";
    WriteBytes(gFiles.unknown, std::vector<uint8_t>(text, text + sizeof text - 1));
    std::vector<uint8_t> cut = ReadBytes(sample);
    cut.resize(300);  // inside the first frame: nothing to show (a later cut keeps the frames before it)
    gFiles.damaged = dir + "damaged.flc";
    WriteBytes(gFiles.damaged, cut);
    gFiles.missing = dir + "no such file.flc";
}

void RemoveTree(const std::string& dir) {
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((dir + "\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = entry.cFileName;
            if (name == "." || name == "..") continue;
            const std::string path = dir + "\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path);
            else
                DeleteFileA(path.c_str());
        } while (FindNextFileA(find, &entry));
        FindClose(find);
    }
    RemoveDirectoryA(dir.c_str());
}

}  // namespace

// ---- Tests and checks ---------------------------------------------------------------------

int RegisterHostTest(const char* group, const char* name, void (*run)()) {
    Tests().push_back({group, name, run});
    return 0;
}

void CheckFailed(const char* file, int line, const std::string& what) {
    gFailed = true;
    const char* base = std::strrchr(file, '/');
    std::printf("    %s:%d: %s\n", base ? base + 1 : file, line, what.c_str());
    std::fflush(stdout);
}

bool CurrentTestFailed() { return gFailed; }

void Note(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    gNotes.push_back(text);
}

LONG NextSequence() { return InterlockedIncrement(&gSequence); }

HWND ListLoad(HWND parent, const std::string& file, int showFlags) {
    std::vector<char> name(file.begin(), file.end());
    name.push_back('\0');
    return gPlugin.listLoad(parent, name.data(), showFlags);
}

// ---- Decoded pictures ------------------------------------------------------------------

ChainPtr Decode(const std::string& file) {
    FormatRegisterAll();
    return ChainPtr(ImageLoadFile(file.c_str(), nullptr));
}

const Image* FrameAt(const Image* chain, int index) {
    while (chain && index-- > 0) chain = ImageNext(chain);
    return chain;
}

int IndexOf(const Image* chain, const Image* frame) {
    for (int index = 0; chain; chain = ImageNext(chain), ++index)
        if (chain == frame) return index;
    return -1;
}

uint32_t PixelColor(const Image* image, int x, int y) {
    const uint32_t value = ImageGetPixel(image, x, y);
    if (ImageBitCount(image) <= 8) {
        const RgbQuad* entry = ImageColorTable(image, static_cast<int>(value));
        return (uint32_t{entry->rgbRed} << 16) | (uint32_t{entry->rgbGreen} << 8) | entry->rgbBlue;
    }
    return value & 0xFFFFFF;
}

// ---- Windows ---------------------------------------------------------------------------------

namespace {
constexpr char kParentClass[] = "MovrelTestLister";

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
        case WM_SIZE:
            return true;
        default:
            return false;
    }
}
}  // namespace

Lister::Lister(const std::string& file, int showFlags, int x, int y, int width, int height, bool record) {
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
    if (record) {
        SetPropA(viewer_, "MovrelTestLister", this);
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

ViewerState* Lister::state() const {
    return viewer_ ? reinterpret_cast<ViewerState*>(GetWindowLongPtrA(viewer_, GWLP_USERDATA)) : nullptr;
}

int Lister::currentIndex() const {
    const ViewerState* s = state();
    return s ? IndexOf(s->first, s->current) : -1;
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
    auto* self = static_cast<Lister*>(GetPropA(window, "MovrelTestLister"));
    if (!self) return DefWindowProcA(window, message, wparam, lparam);
    if (IsLogged(message)) self->viewerLog.push_back({message, wparam, lparam, NextSequence()});
    const WNDPROC original = self->viewerProc_;
    if (message == WM_NCDESTROY) RemovePropA(window, "MovrelTestLister");
    return CallWindowProcA(original, window, message, wparam, lparam);
}

// ---- Message loop ---------------------------------------------------------------------------

double NowMs() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs, HWND watched, LoopCounts* counts) {
    const double end = NowMs() + timeoutMs;
    for (;;) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (counts && watched && message.hwnd == watched) {
                if (message.message == WM_TIMER) ++counts->timers;
                if (message.message == WM_PAINT) ++counts->paints;
            }
            TranslateMessage(&message);
            DispatchMessageA(&message);
            if (done && done()) return true;
        }
        if (done && done()) return true;
        const double left = end - NowMs();
        if (left <= 0) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, left < 5 ? static_cast<DWORD>(left) + 1 : 5, QS_ALLINPUT);
    }
}

LoopCounts Pump(DWORD ms, HWND watched) {
    LoopCounts counts;
    PumpUntil(nullptr, ms, watched, &counts);
    return counts;
}

// ---- Keys ----------------------------------------------------------------------------------

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

// ---- Screen ---------------------------------------------------------------------------------

Capture CaptureClient(HWND window) {
    UpdateWindow(window);
    Pump(0);
    Capture capture;
    RECT client;
    GetClientRect(window, &client);
    capture.width = client.right;
    capture.height = client.bottom;
    if (capture.width <= 0 || capture.height <= 0) return capture;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = capture.width;
    info.bmiHeader.biHeight = -capture.height;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HDC windowDc = GetDC(window);
    HDC memoryDc = CreateCompatibleDC(windowDc);
    HBITMAP bitmap = CreateDIBSection(windowDc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memoryDc, bitmap);
    BitBlt(memoryDc, 0, 0, capture.width, capture.height, windowDc, 0, 0, SRCCOPY);
    GdiFlush();
    const auto* pixels = static_cast<const uint32_t*>(bits);
    capture.pixels.assign(pixels, pixels + static_cast<size_t>(capture.width) * capture.height);
    SelectObject(memoryDc, old);
    DeleteObject(bitmap);
    DeleteDC(memoryDc);
    ReleaseDC(window, windowDc);
    return capture;
}

int CountMismatches(const Capture& capture, RECT area, const std::function<uint32_t(int x, int y)>& expected,
                    std::string* first) {
    int count = 0;
    for (int y = area.top; y < area.bottom; ++y) {
        for (int x = area.left; x < area.right; ++x) {
            const uint32_t want = expected(x, y) & 0xFFFFFF;
            const uint32_t got = capture.at(x, y);
            if (got == want) continue;
            if (count++ == 0 && first) {
                char text[96];
                wsprintfA(text, "(%d, %d) is %06X, expected %06X", x, y, got, want);
                *first = text;
            }
        }
    }
    return count;
}

// ---- Dialogs ------------------------------------------------------------------------------------

void ExpectWindows(std::vector<ExpectedWindow> windows) {
    EnterCriticalSection(&gLock);
    ++gExpectGeneration;
    gExpected = std::move(windows);
    gExpectedMet = 0;
    gExpectArmed = true;
    LeaveCriticalSection(&gLock);
}

void ExpectWindow(const char* windowClass, std::function<void(HWND)> act) {
    ExpectWindows({{windowClass, [act = std::move(act)](HWND window) {
                        act(window);
                        return true;
                    }}});
}

size_t ExpectedWindowsMet() {
    // The modal loop may end before the helper has left its act: wait for
    // it, answering what it sends meanwhile.
    for (;;) {
        EnterCriticalSection(&gLock);
        const bool acting = gActing;
        LeaveCriticalSection(&gLock);
        if (!acting) break;
        MsgWaitForMultipleObjects(1, &gIdle, FALSE, INFINITE, QS_SENDMESSAGE);
        MSG ignored;
        PeekMessageA(&ignored, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    EnterCriticalSection(&gLock);
    ++gExpectGeneration;
    const size_t met = gExpectedMet;
    gExpectArmed = false;
    gExpected.clear();
    gExpectedMet = 0;
    LeaveCriticalSection(&gLock);
    return met;
}

bool ExpectationMet() {
    EnterCriticalSection(&gLock);
    const size_t expected = gExpected.size();
    LeaveCriticalSection(&gLock);
    return ExpectedWindowsMet() == expected && expected > 0;
}

bool AskWindow(HWND window, UINT message, WPARAM wparam, LPARAM lparam, DWORD_PTR* result) {
    // Sent to a window of the main thread, which keeps dispatching inside its
    // modal loop and answers at once however busy the machine is. The time-out
    // only keeps the helper, which is also the watchdog, from blocking for
    // good on a thread that hangs.
    DWORD_PTR ignored = 0;
    return SendMessageTimeoutA(window, message, wparam, lparam, SMTO_ABORTIFHUNG, 10000, result ? result : &ignored) != 0;
}

std::string WindowText(HWND window) {
    char text[1024] = "";
    AskWindow(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    return text;
}

std::string DialogItemText(HWND dialog, int id) {
    HWND item = GetDlgItem(dialog, id);
    return item ? WindowText(item) : std::string();
}

std::vector<std::string> TakeHelperFailures() {
    EnterCriticalSection(&gLock);
    std::vector<std::string> failures;
    failures.swap(gHelperFailures);
    LeaveCriticalSection(&gLock);
    return failures;
}

void ClickButton(HWND dialog, int id) {
    HWND button = GetDlgItem(dialog, id);
    if (button)
        PostMessageA(button, BM_CLICK, 0, 0);
    else
        PostMessageA(dialog, WM_COMMAND, id, 0);
}

std::vector<std::string> ComboItems(HWND combo) {
    std::vector<std::string> items;
    DWORD_PTR count = 0;
    if (!combo || !AskWindow(combo, CB_GETCOUNT, 0, 0, &count)) return items;
    for (DWORD_PTR i = 0; i < count && static_cast<LRESULT>(count) != CB_ERR; ++i) {
        char text[512] = "";
        DWORD_PTR length = 0;
        AskWindow(combo, CB_GETLBTEXTLEN, i, 0, &length);
        if (length < sizeof text) AskWindow(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text), &length);
        items.push_back(text);
    }
    return items;
}

namespace {
constexpr int kFileTypeList = 0x470;  // cmb1
constexpr int kFileNameBox = 0x47C;   // cmb13, an edit inside a combo box
constexpr int kCompressorList = 0x370;

// The edit control where the user types the file name.
HWND FileNameEdit(HWND dialog) {
    HWND box = GetDlgItem(dialog, kFileNameBox);
    HWND edit = box ? FindWindowExA(box, nullptr, "Edit", nullptr) : nullptr;
    return edit ? edit : box;
}
}  // namespace

SaveDialogView ReadSaveDialog(HWND dialog) {
    SaveDialogView view;
    view.title = WindowText(dialog);
    HWND types = GetDlgItem(dialog, kFileTypeList);
    view.types = ComboItems(types);
    DWORD_PTR selected = static_cast<DWORD_PTR>(CB_ERR);
    if (types) AskWindow(types, CB_GETCURSEL, 0, 0, &selected);
    view.type = static_cast<int>(static_cast<LRESULT>(selected));
    if (HWND edit = FileNameEdit(dialog)) view.name = WindowText(edit);
    char folder[MAX_PATH] = "";
    AskWindow(dialog, CDM_GETFOLDERPATH, sizeof folder, reinterpret_cast<LPARAM>(folder));
    view.folder = folder;
    return view;
}

bool AcceptSaveDialog(HWND dialog, const std::optional<std::string>& name, int type) {
    if (name && !AskWindow(FileNameEdit(dialog), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(name->c_str()))) return false;
    if (type >= 0) {
        HWND types = GetDlgItem(dialog, kFileTypeList);
        if (!AskWindow(types, CB_SETCURSEL, type, 0)) return false;
        // Wine takes the chosen type over only on CBN_SELENDOK.
        for (WORD code : {WORD{CBN_SELCHANGE}, WORD{CBN_SELENDOK}})
            if (!AskWindow(dialog, WM_COMMAND, MAKEWPARAM(kFileTypeList, code), reinterpret_cast<LPARAM>(types))) return false;
    }
    // Posted: the click may open another dialog (an overwrite prompt).
    PostMessageA(dialog, WM_COMMAND, IDOK, 0);
    return true;
}

bool AnswerCompressionDialog(HWND dialog, bool ok) {
    // Under load the dialog can show before its list of compressors is filled.
    HWND list = GetDlgItem(dialog, kCompressorList);
    DWORD_PTR item = static_cast<DWORD_PTR>(CB_ERR);
    if (list)
        AskWindow(list, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>("Full Frames (Uncompressed)"),
                  &item);
    if (WindowText(dialog) != "Video Compression" || static_cast<LRESULT>(item) == CB_ERR) return false;
    if (ok && (!AskWindow(list, CB_SETCURSEL, item, 0) ||
               !AskWindow(dialog, WM_COMMAND, MAKEWPARAM(kCompressorList, CBN_SELCHANGE), reinterpret_cast<LPARAM>(list))))
        return false;
    PostMessageA(dialog, WM_COMMAND, ok ? IDOK : IDCANCEL, 0);
    return true;
}

// ---- Recorded calls of the plug-in ---------------------------------------------------------------

namespace {

std::vector<SaveDialogCall> gSaveDialogCalls;
std::vector<MessageBoxCall> gMessageBoxCalls;
decltype(&GetSaveFileNameA) gRealGetSaveFileName = nullptr;
decltype(&MessageBoxA) gRealMessageBox = nullptr;

std::optional<std::string> Copy(const char* text) { return text ? std::optional<std::string>(text) : std::nullopt; }

// A dialog filter: pairs of texts, each with its NUL, ended by one more NUL.
std::optional<std::string> CopyFilter(const char* filter) {
    if (!filter) return std::nullopt;
    size_t length = 0;
    while (filter[length] || filter[length + 1]) ++length;
    return std::string(filter, length + 2);
}

BOOL WINAPI RecordGetSaveFileName(OPENFILENAMEA* dialog) {
    SaveDialogCall call;
    call.structSize = dialog->lStructSize;
    call.owner = dialog->hwndOwner;
    call.instance = dialog->hInstance;
    call.filter = CopyFilter(dialog->lpstrFilter);
    call.customFilter = dialog->lpstrCustomFilter != nullptr;
    call.maxCustomFilter = dialog->nMaxCustFilter;
    call.filterIndex = dialog->nFilterIndex;
    call.file = Copy(dialog->lpstrFile);
    call.maxFile = dialog->nMaxFile;
    call.fileTitle = dialog->lpstrFileTitle != nullptr;
    call.maxFileTitle = dialog->nMaxFileTitle;
    call.initialDir = Copy(dialog->lpstrInitialDir);
    call.title = Copy(dialog->lpstrTitle);
    call.flags = dialog->Flags;
    call.fileOffset = dialog->nFileOffset;
    call.fileExtension = dialog->nFileExtension;
    call.defaultExtension = Copy(dialog->lpstrDefExt);
    call.custData = dialog->lCustData;
    call.hook = dialog->lpfnHook != nullptr;
    call.templateName = dialog->lpTemplateName != nullptr;
    call.result = gRealGetSaveFileName(dialog);
    call.chosenFilterIndex = dialog->nFilterIndex;
    if (call.result && dialog->lpstrFile) call.chosenFile = dialog->lpstrFile;
    gSaveDialogCalls.push_back(call);
    return call.result;
}

int WINAPI RecordMessageBox(HWND owner, const char* text, const char* caption, UINT type) {
    gMessageBoxCalls.push_back({owner, text ? text : "", Copy(caption), type});
    return gRealMessageBox(owner, text, caption, type);
}

// Points the module's import of `function` from `dll` at `replacement`; the
// function it called before, or none when the module does not import it.
void* PatchImport(HMODULE module, const char* dll, const char* function, void* replacement) {
    auto* base = reinterpret_cast<uint8_t*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!directory.VirtualAddress) return nullptr;
    for (auto* import = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress); import->Name;
         ++import) {
        if (lstrcmpiA(reinterpret_cast<const char*>(base + import->Name), dll) != 0) continue;
        auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + import->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
            DWORD protection = 0;
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &protection);
            void* previous = reinterpret_cast<void*>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection, &protection);
            return previous;
        }
    }
    return nullptr;
}

void RecordPluginCalls(HMODULE plugin) {
    gRealGetSaveFileName = reinterpret_cast<decltype(gRealGetSaveFileName)>(
        PatchImport(plugin, "comdlg32.dll", "GetSaveFileNameA", reinterpret_cast<void*>(RecordGetSaveFileName)));
    gRealMessageBox = reinterpret_cast<decltype(gRealMessageBox)>(
        PatchImport(plugin, "user32.dll", "MessageBoxA", reinterpret_cast<void*>(RecordMessageBox)));
}

}  // namespace

std::vector<SaveDialogCall> TakeSaveDialogCalls() {
    std::vector<SaveDialogCall> calls;
    calls.swap(gSaveDialogCalls);
    return calls;
}

std::vector<MessageBoxCall> TakeMessageBoxCalls() {
    std::vector<MessageBoxCall> calls;
    calls.swap(gMessageBoxCalls);
    return calls;
}

// ---- Resource counts ----------------------------------------------------------------------------

ResourceCounts CountResources() {
    ResourceCounts counts;
    HANDLE heaps[64];
    const DWORD heapCount = GetProcessHeaps(64, heaps);
    for (DWORD i = 0; i < heapCount && i < 64; ++i) {
        if (!HeapLock(heaps[i])) continue;
        PROCESS_HEAP_ENTRY entry{};
        while (HeapWalk(heaps[i], &entry)) {
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) {
                counts.heapBytes += entry.cbData;
                ++counts.heapBlocks;
            }
        }
        HeapUnlock(heaps[i]);
    }
    counts.gdiObjects = static_cast<int>(GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS));
    counts.userObjects = static_cast<int>(GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS));
    counts.method = "GetGuiResources";
    if (counts.gdiObjects == 0 && counts.userObjects == 0) {
        // Wine answers GetGuiResources with 0. Its handle checks accept a
        // handle whose upper word is 0 for any generation of the slot, so
        // asking every slot counts the live objects of each kind.
        counts.method = "handle-slot probe (GetObjectType, IsMenu, IsWindow)";
        for (ULONG_PTR slot = 1; slot < 0x10000; ++slot)
            if (GetObjectType(reinterpret_cast<HGDIOBJ>(slot))) ++counts.gdiObjects;
        for (ULONG_PTR slot = 0x20; slot < 0x10000; slot += 2) {
            if (IsMenu(reinterpret_cast<HMENU>(slot))) ++counts.userObjects;
            if (IsWindow(reinterpret_cast<HWND>(slot))) ++counts.userObjects;
        }
    }
    return counts;
}

// ---- Main ---------------------------------------------------------------------------------------

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::string plugin, sample, group;
    bool list = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--group" && i + 1 < argc) group = argv[++i];
        else if (arg == "--list") list = true;
        else if (plugin.empty()) plugin = arg;
        else if (sample.empty()) sample = arg;
    }
    if (list) {
        for (const HostTest& test : Tests()) std::printf("%s.%s\n", test.group, test.name);
        return 0;
    }
    if (plugin.empty() || sample.empty()) {
        std::printf("usage: plugin_host PLUGIN.wlx SAMPLE.flc [--group NAME] [--list]\n");
        return 2;
    }
    // No "program has stopped" dialog: a crash ends the run and is reported.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    gMainThread = GetCurrentThreadId();
    InitializeCriticalSection(&gLock);
    gIdle = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    // The message queue must exist before the helper looks at our windows.
    MSG ignored;
    PeekMessageA(&ignored, nullptr, 0, 0, PM_NOREMOVE);
    HANDLE helper = CreateThread(nullptr, 0, HelperThread, nullptr, 0, nullptr);

    gPlugin.path = plugin;
    gPlugin.module = LoadLibraryA(plugin.c_str());
    if (!gPlugin.module) {
        std::printf("[FAIL] cannot load %s (error %lu)\n", plugin.c_str(), GetLastError());
        return 1;
    }
    gPlugin.listLoad = reinterpret_cast<ListLoadFunction>(reinterpret_cast<void*>(GetProcAddress(gPlugin.module, "ListLoad")));
    gPlugin.listSendCommand = reinterpret_cast<ListSendCommandFunction>(
        reinterpret_cast<void*>(GetProcAddress(gPlugin.module, "ListSendCommand")));
    if (!gPlugin.listLoad || !gPlugin.listSendCommand) {
        std::printf("[FAIL] %s lacks ListLoad or ListSendCommand\n", plugin.c_str());
        return 1;
    }
    RecordPluginCalls(gPlugin.module);
    if (!gRealGetSaveFileName || !gRealMessageBox) {
        std::printf("[FAIL] %s does not import GetSaveFileNameA and MessageBoxA\n", plugin.c_str());
        return 1;
    }
    // The host's own copy of the image library, for expected pictures and
    // for reading back what the plug-in wrote.
    FormatRegisterAll();
    MakeTestFiles(sample);
    // The save dialogs start in the current directory: the test files' one.
    SetCurrentDirectoryA(gFiles.dir.c_str());

    int run = 0, failed = 0;
    for (const HostTest& test : Tests()) {
        if (!group.empty() && group != test.group) continue;
        gFailed = false;
        gNotes.clear();
        EnterCriticalSection(&gLock);
        gHelperFailures.clear();
        gSettled.clear();
        gDeadlineHit = false;
        gDeadline = GetTickCount64() + 60000;
        LeaveCriticalSection(&gLock);
        const double start = NowMs();
        TakeSaveDialogCalls();
        TakeMessageBoxCalls();
        test.run();
        ReleaseKeys();
        Pump(20);
        EnterCriticalSection(&gLock);
        gDeadline = 0;
        std::vector<std::string> helperFailures = gHelperFailures;
        gExpectArmed = false;
        gExpected.clear();
        LeaveCriticalSection(&gLock);
        for (const std::string& failure : helperFailures) CheckFailed("helper", 0, failure);
        ++run;
        if (gFailed) ++failed;
        std::printf("[%s] %s.%s (%.0f ms)\n", gFailed ? "FAIL" : " OK ", test.group, test.name, NowMs() - start);
        for (const std::string& note : gNotes) std::printf("    %s\n", note.c_str());
    }
    // Stopped before exit, so that it never dies holding a lock the exit needs.
    InterlockedExchange(&gStopHelper, 1);
    WaitForSingleObject(helper, 5000);
    CloseHandle(helper);
    SetCurrentDirectoryA((gFiles.dir + "\\..").c_str());
    RemoveTree(gFiles.dir);
    std::printf("%d tests, %d failed\n", run, failed);
    if (run == 0) {
        std::printf("no test in group \"%s\"\n", group.c_str());
        return 1;
    }
    return failed ? 1 : 0;
}

// ---- Shorthands ------------------------------------------------------------------------------

void Command(HWND viewer, WORD id, WORD notification) { SendMessageA(viewer, WM_COMMAND, MAKEWPARAM(id, notification), 0); }

void SetDelays(const ViewerState* state, const std::vector<uint32_t>& delays) {
    size_t i = 0;
    for (Image* frame = state->first; frame; frame = ImageNext(frame)) ImageSetDelay(frame, delays[i++ % delays.size()]);
}

double WaitForFrameChange(const Lister& lister, DWORD timeoutMs) {
    const Image* shown = lister.state()->current;
    const double start = NowMs();
    if (!PumpUntil([&] { return lister.state()->current != shown; }, timeoutMs)) return -1;
    return NowMs() - start;
}

Capture RenderExpected(const Image* frame, int scrollX, int scrollY, int width, int height, const char* overlay) {
    Capture expected;
    expected.width = width;
    expected.height = height;
    expected.pixels.assign(static_cast<size_t>(width) * height, kWhite);
    for (int y = 0; y < height && y + scrollY < ImageHeight(frame); ++y)
        for (int x = 0; x < width && x + scrollX < ImageWidth(frame); ++x)
            expected.pixels[static_cast<size_t>(y) * width + x] = PixelColor(frame, x + scrollX, y + scrollY);
    if (!overlay) return expected;

    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(dc, bitmap);
    std::memcpy(bits, expected.pixels.data(), expected.pixels.size() * 4);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(0, 0, 0));
    TextOutA(dc, 7, 7, overlay, lstrlenA(overlay));
    SetTextColor(dc, RGB(255, 255, 255));
    TextOutA(dc, 6, 6, overlay, lstrlenA(overlay));
    GdiFlush();
    std::memcpy(expected.pixels.data(), bits, expected.pixels.size() * 4);
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
    return expected;
}
