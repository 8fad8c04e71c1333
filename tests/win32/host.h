// A test host for the lister plug-in, on GoogleTest. It loads the real DLL the
// way the file manager does, drives the viewer window with messages, keys and
// the mouse, reads back what is on screen, and answers (or, when unexpected,
// closes) dialogs and menus from a helper thread that is also the watchdog.
//
//   runner.cpp   main, the helper thread and its watchdog, the test files
//   lister.cpp   the lister window around the viewer, the message loop, keys
//   capture.cpp  decoded pictures, what the window shows and should show
//   dialogs.cpp  expected windows, the save and compression dialogs, and the
//                plug-in's calls of the system's dialogs, recorded
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "formats/format.h"
#include "platform/platform.h"
#include "shell/viewer.h"

// ---- Runner -------------------------------------------------------------------------

// The fixture of every test; `using GROUP = HostTest;` names a group. While a
// test runs the watchdog is armed, and whatever the helper thread saw (an
// unexpected window, a test stuck for a minute) fails the test.
class HostTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};
// A step forward of a long test, such as a cycle of many: the watchdog gives
// it another minute from here, so that only a step that never ends fails it.
void Progress();

// A measurement printed under the test; scripts/wine-test.sh collects them.
void Note(const char* format, ...);

using ListLoadFunction = HWND(__stdcall*)(HWND parent, char* fileToLoad, int showFlags);
using ListSendCommandFunction = int(__stdcall*)(HWND listWin, int command, int parameter);

struct ListDefaultParams {
    int size;
    DWORD versionLow;
    DWORD versionHigh;
    char iniName[MAX_PATH];
};
using ListSetDefaultParamsFunction = void(__stdcall*)(ListDefaultParams* params);
using ListGetDetectStringFunction = void(__stdcall*)(char* out, int maxLength);
using ListLoadNextFunction = int(__stdcall*)(HWND parent, HWND listWin, char* fileToLoad, int showFlags);
using ListGetPreviewBitmapFunction = HBITMAP(__stdcall*)(char* file, int width, int height, char* contentBuf, int contentLen);
using ListLoadWFunction = HWND(__stdcall*)(HWND parent, WCHAR* fileToLoad, int showFlags);
using ListLoadNextWFunction = int(__stdcall*)(HWND parent, HWND listWin, WCHAR* fileToLoad, int showFlags);
using ListGetPreviewBitmapWFunction = HBITMAP(__stdcall*)(WCHAR* file, int width, int height, char* contentBuf, int contentLen);

struct Plugin {
    HMODULE module = nullptr;
    ListLoadFunction listLoad = nullptr;
    ListSendCommandFunction listSendCommand = nullptr;
    ListSetDefaultParamsFunction listSetDefaultParams = nullptr;
    ListGetDetectStringFunction listGetDetectString = nullptr;
    ListLoadNextFunction listLoadNext = nullptr;
    ListGetPreviewBitmapFunction listGetPreviewBitmap = nullptr;
    ListLoadWFunction listLoadW = nullptr;
    ListLoadNextWFunction listLoadNextW = nullptr;
    ListGetPreviewBitmapWFunction listGetPreviewBitmapW = nullptr;
};
extern Plugin gPlugin;
// Loads the library and looks up its functions; false when it does not
// load or lacks ListLoadW or ListSendCommand.
bool LoadPlugin(const std::string& path, Plugin* plugin);

// Test names are UTF-8, as the plug-in's own; the host's file functions take
// them through these.
std::wstring Wide(const std::string& utf8);  // in the long-path form when needed
std::string Utf8(const wchar_t* wide);

struct TestFiles {
    std::string dir;       // a fresh directory, removed at the end
    std::string sample;    // the bundled sample: 320 x 200, 24 frames, 80 ms
    std::string steps;     // 4 frames of 64 x 48, each one flat colour, 100 ms
    std::string large;     // 480 x 360, 2 frames, every pixel different from its neighbours
    std::string still;     // one frame of 40 x 30, delay 0
    std::string fli;       // an FLI file, 3 frames of 32 x 20
    std::string film;      // 640 x 480, 1500 frames of 10 ms, each a small delta
    std::string filmStill; // its first frame alone
    std::string reel;      // its first 300 frames, of 1 ms
    std::string empty;     // 0 bytes
    std::string unknown;   // text
    std::string damaged;   // the sample cut short
    std::string broken;    // the sample cut inside its first frame
    std::string missing;   // a name that does not exist
    // Small files stating huge sizes, written by tests/bench/hostile_files.py
    // into MOVREL_HOSTILE_DIR before the run; sorted.
    std::vector<std::string> hostile;
};
extern TestFiles gFiles;

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);
// The whole file; empty when it cannot be read.
std::vector<uint8_t> ReadBytes(const std::string& path);

// A fresh directory for what one test writes, made the process's current
// directory: the save dialogs start in "." and relative names land there.
class OutputDir {
public:
    explicit OutputDir(const char* name);
    ~OutputDir();
    OutputDir(const OutputDir&) = delete;
    OutputDir& operator=(const OutputDir&) = delete;

    // The dialog moves the current directory to wherever the user saved.
    void enter() const { SetCurrentDirectoryA(path_.c_str()); }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "\\" + name; }
    // Names in the directory (or a subdirectory), sorted, without "." and "..".
    std::vector<std::string> entries(const std::string& subdirectory = "") const;

private:
    std::string path_;
};
// "{a, b}"
std::string NameList(const std::vector<std::string>& names);

// Hands a file the host wrote to the check with ffprobe and ffmpeg that runs
// after it, as NAME in MOVREL_EXPORT_DIR; without it the host's own checks stand.
void KeepForPeers(const std::string& file, const char* name);

struct ResourceCounts {
    uint64_t heapBytes = 0;  // busy bytes over every heap of the process
    int heapBlocks = 0;
    int gdiObjects = 0;
    int userObjects = 0;
    int handles = 0;  // kernel handles of the process
    int threads = 0;
    const char* method = "";  // how the object counts were taken
};
ResourceCounts CountResources();

// ---- The lister window, the message loop, keys -------------------------------------------

// The wide entry point, as the file manager calls it.
HWND ListLoad(HWND parent, const std::string& file, int showFlags);

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
    // width x height; record: subclass the viewer and log what it receives;
    // decoded: wait (without dispatching) until every frame is decoded, so
    // that the whole chain may be walked.
    Lister(const std::string& file, int showFlags, int x = 0, int y = 0, int width = 640, int height = 480,
           bool record = true, bool decoded = true);
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
    // Waits, without dispatching, until the viewer's worker has decoded every frame.
    void waitDecoded() const;

    std::vector<Message> parentLog;
    std::vector<Message> viewerLog;
    void clearLogs() {
        parentLog.clear();
        viewerLog.clear();
    }
    std::vector<Message> viewerMessages(UINT message) const;
    std::vector<Message> parentMessages(UINT message) const;

    // While recording: the viewer's timer ticks and paints, and every frame
    // change with the time its tick arrived, before the viewer armed the
    // next one: however late a busy machine runs the host, the time from one
    // to the next is at least the delay the viewer asked for.
    struct Shown {
        double at;
        int index;
    };
    std::vector<Shown> shown;
    int timers = 0;
    int paints = 0;

private:
    static LRESULT CALLBACK ParentProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
    static LRESULT CALLBACK ViewerSubclass(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

    HWND parent_ = nullptr;
    HWND viewer_ = nullptr;
    WNDPROC viewerProc_ = nullptr;
};

// Dispatches messages for `ms` milliseconds.
void Pump(DWORD ms);
// When 0 or more: the most processor time (ms) of this thread that one
// message took in the pumps since it was set.
extern double gLongestDispatchMs;
// Dispatches messages until `done` holds or `timeoutMs` passed; true if it held.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 30000);
double NowMs();
// Dispatches messages until the frame on screen changes; false after timeoutMs.
bool WaitForFrameChange(const Lister& lister, DWORD timeoutMs = 30000);
// Dispatches messages while a timer of `intervalMs` ticks `ticks` times, and
// returns how often the viewer's own timer ticked meanwhile: a busy machine
// delays both alike.
int ViewerTicksWhile(const Lister& lister, int ticks, UINT intervalMs);

enum class Ctrl { none, left, right };
// Sets the keyboard state for the Ctrl key and sends WM_KEYDOWN to the window.
void SendKey(HWND window, WPARAM key, Ctrl ctrl, LPARAM lparam = 0x00390001);
void ReleaseKeys();
// A command as the window sends it to itself (or a menu choice, notification 0).
void Command(HWND viewer, WORD id, WORD notification = 0);
// Gives the frames of the viewer's chain these delays, repeating the list.
void SetDelays(const ViewerState* state, const std::vector<uint32_t>& delays);

// ---- Pictures and the screen ---------------------------------------------------------------

struct ChainDeleter {
    void operator()(Image* image) const { ImageDestroy(image); }
};
using ChainPtr = std::unique_ptr<Image, ChainDeleter>;

// The file decoded by the host's own copy of the image library.
ChainPtr Decode(const std::string& file);
const Image* FrameAt(const Image* chain, int index);
// 0x00RRGGBB of the picture's pixel (x, y), counted from the top-left.
uint32_t PixelColor(const Image* image, int x, int y);
// How a picture differs from another one: empty when every pixel is the same.
std::string PictureDifference(const Image* got, const Image* want);

struct Capture {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;  // 0x00RRGGBB, top-down
    uint32_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x] & 0xFFFFFF; }
};
constexpr uint32_t kWhite = 0xFFFFFF;

// What the window's client area shows, after painting what is pending.
Capture CaptureClient(HWND window);
// A metafile played onto white paper of width x height pixels.
Capture PlayMetafile(HENHMETAFILE metafile, int width, int height);
// Pixels of `area` that differ from `expected`; the first one is described.
int CountMismatches(const Capture& capture, RECT area, const std::function<uint32_t(int x, int y)>& expected,
                    std::string* first = nullptr);
// What the viewer should show: the frame unscaled at the scroll position on
// white, and the frame-number text drawn the same way when `overlay` is set.
Capture RenderExpected(const Image* frame, int scrollX, int scrollY, int width, int height, const char* overlay);
// How far a picture shown at half size (width x height) is from the average
// of each 2 x 2 block of `frame`: the largest difference of a channel, times
// 4. `shown` gives its pixels as 0xRRGGBB.
int HalfSizeError(const Image* frame, int width, int height, const std::function<uint32_t(int x, int y)>& shown);
// The picture with the viewer's overlay drawn over it, as the viewer draws it.
Capture WithOverlay(Capture picture, const char* overlay);

// ---- Dialogs, menus and the plug-in's calls -------------------------------------------------

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
// Whether every armed window was handled; disarms.
bool ExpectationMet();
// Sends a message to a window of the main thread; false when it was not
// answered (the window is gone).
bool AskWindow(HWND window, UINT message, WPARAM wparam, LPARAM lparam, DWORD_PTR* result = nullptr);
std::string WindowText(HWND window);
std::string DialogItemText(HWND dialog, int id);
// Presses a dialog's button (posted, so that the helper never blocks).
void ClickButton(HWND dialog, int id);

// The system's save dialog as the user sees it.
struct SaveDialogView {
    std::string title;
    std::vector<std::string> types;  // the entries of the file type list
    int type = -1;                   // the one selected
    std::string name;                // the file name box
    std::string folder;              // the folder it shows
};
// The save dialog, read, then answered with a name (nullopt keeps the
// default) and a type entry (-1 keeps the first), or cancelled. again: the
// dialog that stayed open after a No to its overwrite prompt.
ExpectedWindow SaveDialog(SaveDialogView* view, std::optional<std::string> name = std::nullopt, int type = -1);
ExpectedWindow CancelSaveDialog(SaveDialogView* view, bool again = false);
// A message box, read and answered with `button`.
struct BoxSeen {
    std::string caption;
    std::string text;
    LONG sequence = 0;
};
ExpectedWindow AnswerBox(BoxSeen* seen, int button = IDOK);
// Video for Windows' "Video Compression" dialog: "Full Frames
// (Uncompressed)" and OK, or Cancel.
ExpectedWindow CompressionDialog(bool ok);

// For the runner: the helper's work on the main thread's visible windows in
// one round; what it reported since the test began (unexpected windows,
// time-outs), taken; a report of its own; a fresh start for the next test.
void HandleWindows(const std::vector<HWND>& visible);
std::vector<std::string> TakeHelperFailures();
void ReportHelperFailure(const std::string& failure);
void DisarmExpectations();
void ResetHelper();
// Closes a dialog or menu without waiting for it.
void Dismiss(HWND window);
std::string Describe(HWND window);

// The host patches the plug-in's import table so that its calls of
// GetSaveFileNameW, MessageBoxW and SetTimer are recorded on the way to the real ones.
bool RecordPluginCalls(HMODULE plugin);
struct SaveDialogCall {
    HWND owner = nullptr;
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
// The intervals the plug-in asked of SetTimer since the last take.
std::vector<UINT> TakeTimerDelays();
