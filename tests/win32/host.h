// A test host for the lister plug-in. It loads the real DLL the way the file
// manager does, drives the viewer window with messages, keys and the mouse,
// reads back what is on screen, and answers (or, when unexpected, closes)
// dialogs and menus from a helper thread that is also the run's watchdog.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "formats/format.h"
#include "shell/viewer.h"

// ---- Tests and checks -------------------------------------------------------------

int RegisterHostTest(const char* group, const char* name, void (*run)());

#define HOST_TEST(group, name)                                                             \
    static void group##_##name();                                                          \
    [[maybe_unused]] static const int group##_##name##_registered =                        \
        RegisterHostTest(#group, #name, group##_##name);                                   \
    static void group##_##name()

void CheckFailed(const char* file, int line, const std::string& what);
bool CurrentTestFailed();
// A measurement or remark printed under the test's result.
void Note(const char* format, ...);

inline std::string ToText(long long value) { return std::to_string(value); }
inline std::string ToText(unsigned long long value) { return std::to_string(value); }
inline std::string ToText(long value) { return std::to_string(value); }
inline std::string ToText(unsigned long value) { return std::to_string(value); }
inline std::string ToText(int value) { return std::to_string(value); }
inline std::string ToText(unsigned value) { return std::to_string(value); }
inline std::string ToText(bool value) { return value ? "true" : "false"; }
inline std::string ToText(const std::string& value) { return "\"" + value + "\""; }
inline std::string ToText(const char* value) { return value ? ToText(std::string(value)) : "(null)"; }
// Texts that may be absent, such as dialog filters with their NULs (shown as \0).
inline std::string ToText(const std::optional<std::string>& value) {
    if (!value) return "(none)";
    std::string text = "\"";
    for (char c : *value) text += c ? std::string(1, c) : std::string("\\0");
    return text + "\"";
}
template <typename T>
std::string ToText(T* value) {
    char text[32];
    wsprintfA(text, "%p", static_cast<const void*>(value));
    return text;
}

#define CHECK(condition)                                                  \
    do {                                                                  \
        if (!(condition)) CheckFailed(__FILE__, __LINE__, #condition);    \
    } while (0)

#define CHECK_EQ(actual, expected)                                                                   \
    do {                                                                                             \
        const auto& actual_ = (actual);                                                              \
        const auto& expected_ = (expected);                                                          \
        if (!(actual_ == expected_))                                                                 \
            CheckFailed(__FILE__, __LINE__,                                                          \
                        std::string(#actual " == " #expected ": got ") + ToText(actual_) + ", expected " + \
                            ToText(expected_));                                                      \
    } while (0)

// ---- The plug-in under test -------------------------------------------------------

using ListLoadFunction = HWND(__stdcall*)(HWND parent, char* fileToLoad, int showFlags);
using ListSendCommandFunction = int(__stdcall*)(HWND listWin, int command, int parameter);

struct Plugin {
    HMODULE module = nullptr;
    std::string path;
    ListLoadFunction listLoad = nullptr;
    ListSendCommandFunction listSendCommand = nullptr;
};
extern Plugin gPlugin;

HWND ListLoad(HWND parent, const std::string& file, int showFlags);

// ---- Test files -------------------------------------------------------------------

struct TestFiles {
    std::string dir;       // a fresh directory, removed at the end
    std::string sample;    // the bundled sample: 320 x 200, 24 frames, 80 ms
    std::string steps;     // 4 frames of 64 x 48, each one flat colour, 100 ms
    std::string large;     // 480 x 360, 2 frames, every pixel different from its neighbours
    std::string still;     // one frame of 40 x 30, delay 0
    std::string fli;       // an FLI file, 3 frames of 32 x 20
    std::string empty;     // 0 bytes
    std::string unknown;   // text
    std::string damaged;   // the sample cut short
    std::string missing;   // a name that does not exist
};
extern TestFiles gFiles;

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);
// The whole file; empty when it cannot be read.
std::vector<uint8_t> ReadBytes(const std::string& path);

// ---- Decoded pictures for expected pixels ---------------------------------------------

struct ChainDeleter {
    void operator()(Image* image) const { ImageDestroy(image); }
};
using ChainPtr = std::unique_ptr<Image, ChainDeleter>;

// The file decoded by the host's own copy of the image library.
ChainPtr Decode(const std::string& file);
const Image* FrameAt(const Image* chain, int index);
int IndexOf(const Image* chain, const Image* frame);
// 0x00RRGGBB of the picture's pixel (x, y), counted from the top-left.
uint32_t PixelColor(const Image* image, int x, int y);

// ---- Windows ---------------------------------------------------------------------

struct Message {
    UINT message;
    WPARAM wparam;
    LPARAM lparam;
    LONG sequence;  // order among every recorded event of the run
};

LONG NextSequence();

// A parent window standing in for the file manager's lister, with the viewer
// that ListLoad put into it filling its client area.
class Lister {
public:
    // The parent is a borderless window at (x, y) whose client area is
    // width x height; record: subclass the viewer and log what it receives.
    Lister(const std::string& file, int showFlags, int x = 0, int y = 0, int width = 640, int height = 480,
           bool record = true);
    ~Lister();
    Lister(const Lister&) = delete;
    Lister& operator=(const Lister&) = delete;

    HWND parent() const { return parent_; }
    HWND viewer() const { return viewer_; }
    ViewerState* state() const;
    // Index of the frame on screen, counted along the chain.
    int currentIndex() const;
    // Resizes the parent and the viewer to a client area of width x height.
    void resize(int width, int height);
    void destroyViewer();

    std::vector<Message> parentLog;
    std::vector<Message> viewerLog;
    void clearLogs() {
        parentLog.clear();
        viewerLog.clear();
    }
    std::vector<Message> viewerMessages(UINT message) const;
    std::vector<Message> parentMessages(UINT message) const;

private:
    static LRESULT CALLBACK ParentProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
    static LRESULT CALLBACK ViewerSubclass(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

    HWND parent_ = nullptr;
    HWND viewer_ = nullptr;
    WNDPROC viewerProc_ = nullptr;
};

// ---- Message loop -------------------------------------------------------------------

struct LoopCounts {
    int timers = 0;  // WM_TIMER messages dispatched to the watched window
    int paints = 0;  // WM_PAINT messages dispatched to it
};

// Dispatches messages for `ms` milliseconds; counts those of `watched`.
LoopCounts Pump(DWORD ms, HWND watched = nullptr);
// Dispatches messages until `done` holds or `timeoutMs` passed; true if it held.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs, HWND watched = nullptr, LoopCounts* counts = nullptr);
double NowMs();

// ---- Keys ---------------------------------------------------------------------------

enum class Ctrl { none, left, right };
// Sets the keyboard state for the Ctrl key and sends WM_KEYDOWN to the window.
void SendKey(HWND window, WPARAM key, Ctrl ctrl, LPARAM lparam = 0x00390001);
void ReleaseKeys();

// ---- Screen ---------------------------------------------------------------------------

struct Capture {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;  // 0x00RRGGBB, top-down
    uint32_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x] & 0xFFFFFF; }
};

// What the window's client area shows, after painting what is pending.
Capture CaptureClient(HWND window);

constexpr uint32_t kWhite = 0xFFFFFF;

// Pixels of `area` that differ from `expected`; the first one is described.
int CountMismatches(const Capture& capture, RECT area, const std::function<uint32_t(int x, int y)>& expected,
                    std::string* first = nullptr);

// ---- Dialogs, menus and the watchdog -----------------------------------------------------

// One window that the running test expects: its class ("#32770" for dialogs
// and message boxes, "#32768" for popup menus) and what the helper thread
// does with it. The act returns false while the window is not ready yet (a
// list still empty), and is then called again a little later.
struct ExpectedWindow {
    std::string windowClass;
    std::function<bool(HWND)> act;
    // The window may be one handled before in the test: a save dialog that
    // stays open after a No to its overwrite prompt. Otherwise the windows
    // the helper is done with, and their owners, are never handed on.
    bool again = false;
};
// Arms the helper thread: the next visible windows of the main thread are
// handed, one after the other, to the acts, on the helper thread. Any other
// dialog or menu fails the running test and is closed.
void ExpectWindows(std::vector<ExpectedWindow> windows);
// One window whose act is always ready.
void ExpectWindow(const char* windowClass, std::function<void(HWND)> act);
// How many of the armed windows were handled; disarms.
size_t ExpectedWindowsMet();
// Whether every armed window was handled; disarms.
bool ExpectationMet();
// Sends a message to a window of the main thread; false when it was not
// answered (the window is gone).
bool AskWindow(HWND window, UINT message, WPARAM wparam, LPARAM lparam, DWORD_PTR* result = nullptr);
// The text of a message box, its caption and body.
std::string WindowText(HWND window);
std::string DialogItemText(HWND dialog, int id);
// What the helper reported since the test began (unexpected windows, time-outs); clears it.
std::vector<std::string> TakeHelperFailures();
// Presses a message box's button (posted, so that the helper never blocks).
void ClickButton(HWND dialog, int id);

// The system's save dialog as the user sees it.
struct SaveDialogView {
    std::string title;
    std::vector<std::string> types;  // the entries of the file type list
    int type = -1;                   // the one selected
    std::string name;                // the file name box
    std::string folder;              // the folder it shows
};
SaveDialogView ReadSaveDialog(HWND dialog);
// Types `name` into the file name box (nullopt keeps what is there), picks
// entry `type` of the type list (-1 keeps it) and presses Save. False, with
// nothing pressed, when the dialog did not take them.
bool AcceptSaveDialog(HWND dialog, const std::optional<std::string>& name, int type);
// Answers Video for Windows' "Video Compression" dialog: "Full Frames
// (Uncompressed)" and OK, or Cancel. False while it is not ready.
bool AnswerCompressionDialog(HWND dialog, bool ok);
// Texts of a combo box's list.
std::vector<std::string> ComboItems(HWND combo);

// ---- What the plug-in asks of the system ---------------------------------------------------

// The host patches the plug-in's import table so that its calls of
// GetSaveFileNameA and MessageBoxA are recorded on the way to the real ones.
struct SaveDialogCall {
    // As the plug-in filled the structure; texts copied, absent pointers as nullopt.
    DWORD structSize = 0;
    HWND owner = nullptr;
    HINSTANCE instance = nullptr;
    std::optional<std::string> filter;  // the whole text with its NULs, the final double NUL included
    bool customFilter = false;
    DWORD maxCustomFilter = 0;
    DWORD filterIndex = 0;
    std::optional<std::string> file;    // the default name
    DWORD maxFile = 0;
    bool fileTitle = false;
    DWORD maxFileTitle = 0;
    std::optional<std::string> initialDir;
    std::optional<std::string> title;
    DWORD flags = 0;
    WORD fileOffset = 0, fileExtension = 0;
    std::optional<std::string> defaultExtension;
    LPARAM custData = 0;
    bool hook = false;
    bool templateName = false;
    // What the dialog gave back.
    BOOL result = FALSE;
    DWORD chosenFilterIndex = 0;
    std::string chosenFile;
};
struct MessageBoxCall {
    HWND owner = nullptr;
    std::string text;
    std::optional<std::string> caption;
    UINT type = 0;
};
// The calls since the last take.
std::vector<SaveDialogCall> TakeSaveDialogCalls();
std::vector<MessageBoxCall> TakeMessageBoxCalls();

// ---- Resource counts --------------------------------------------------------------------

struct ResourceCounts {
    uint64_t heapBytes = 0;   // busy bytes over every heap of the process
    int heapBlocks = 0;
    int gdiObjects = 0;
    int userObjects = 0;
    const char* method = "";  // how the object counts were taken
};
ResourceCounts CountResources();

// ---- Shorthands for the tests ------------------------------------------------------------

// A command as the window sends it to itself (or a menu choice, notification 0).
void Command(HWND viewer, WORD id, WORD notification = 0);
// Gives the frames of the viewer's chain these delays, repeating the list.
void SetDelays(const ViewerState* state, const std::vector<uint32_t>& delays);
// Dispatches messages until the frame on screen changes: the milliseconds it
// took, or -1 after timeoutMs.
double WaitForFrameChange(const Lister& lister, DWORD timeoutMs);
// What the viewer should show: the frame unscaled at the scroll position on
// white, and the frame-number text drawn the same way when `overlay` is set.
Capture RenderExpected(const Image* frame, int scrollX, int scrollY, int width, int height, const char* overlay);
