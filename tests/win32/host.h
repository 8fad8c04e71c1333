// A test host for the lister plug-in, on GoogleTest. It loads the real DLL as
// the file manager does and sees the viewer only as the file manager and the
// user do: its window, the messages it sends the lister, the screen, the
// clipboard, dialogs and files. A helper thread answers (or, when
// unexpected, closes) dialogs and menus, and is the watchdog.
//
//   runner.cpp   main, the helper thread, the test files, resource counts
//   lister.cpp   the lister window around the viewer, the message loop, keys
//   capture.cpp  frames decoded by the host, what the window shows
//   dialogs.cpp  expected dialogs and menus, the export progress window
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
#include "formats/frame_source.h"
#include "formats/save.h"
#include "platform/platform.h"
#include "shell/lister_interface.h"

// The fixture of every test (`using GROUP = HostTest;`). While a test runs
// the watchdog is armed, and what the helper saw (an unexpected window, a
// test stuck for a minute) fails it.
class HostTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};
void Progress();  // a step forward of a long test: the watchdog gives it another minute
void Note(const char* format, ...);  // a measurement printed under the test

struct Plugin {
    HMODULE module = nullptr;
    ListLoadFunction listLoad = nullptr;
    ListLoadWFunction listLoadW = nullptr;
    ListLoadNextWFunction listLoadNextW = nullptr;
    ListSendCommandFunction listSendCommand = nullptr;
    ListSetDefaultParamsFunction listSetDefaultParams = nullptr;
    ListGetDetectStringFunction listGetDetectString = nullptr;
    ListGetPreviewBitmapFunction listGetPreviewBitmap = nullptr;
    ListGetPreviewBitmapWFunction listGetPreviewBitmapW = nullptr;
};
extern Plugin gPlugin;
bool LoadPlugin(const std::string& path, Plugin* plugin);  // false when it lacks a function

std::wstring Wide(const std::string& utf8);  // in the long-path form when needed
std::string Utf8(const wchar_t* wide);

struct TestFiles {
    std::string dir;      // a fresh directory, removed at the end
    std::string sample;   // the bundled sample: 320 x 200, 24 frames, 80 ms
    std::string steps;    // 4 frames of 64 x 48, each one flat colour, 100 ms
    std::string large;    // 480 x 360, 2 frames, every pixel different from its neighbours
    std::string still;    // one frame of 40 x 30, delay 0
    std::string fli;      // an FLI file, 3 frames of 32 x 20
    std::string gif;      // a GIF of 9 frames of 48 x 32, each adding a band
    std::string deep;     // a 32-bit BMP of 40 x 30
    std::string film;     // 640 x 480, 6000 frames of 10 ms, each a small delta
    std::string strip;    // the same kind, 1000 frames of 128 x 96
    std::string empty, unknown, missing;  // 0 bytes; text; a name that does not exist
    std::string damaged;  // the sample cut short
    std::string broken;   // the sample cut inside its first frame
    std::vector<std::string> hostile;  // small files stating huge sizes, from MOVREL_HOSTILE_DIR
};
extern TestFiles gFiles;
// A FLIC of a textured first frame, then one small delta a frame.
std::vector<uint8_t> MakeFilm(int frames, uint32_t delay, int width, int height);
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadBytes(const std::string& path);  // empty when unreadable

// A fresh directory for what one test writes, made the current directory
// and the folder that the names typed into save dialogs are completed with
// (the dialogs themselves start in the animation's folder).
class OutputDir {
public:
    explicit OutputDir(const char* name);
    ~OutputDir();
    void enter() const;  // the dialogs move the current directory
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "\\" + name; }
    std::string list(const std::string& subdirectory = "") const;  // "{a, b}", sorted
    std::string path_;
};

extern std::string gSaveFolder;  // the output folder entered last

struct ResourceCounts {
    uint64_t heapBytes = 0;  // busy bytes over every heap of the process
    int heapBlocks = 0, gdiObjects = 0, userObjects = 0;
    int handles = 0;  // kernel handles
    int threads = 0;
};
ResourceCounts CountResources();

HWND ListLoad(HWND parent, const std::string& file, int showFlags);  // the wide entry point

struct Message {
    UINT message;
    WPARAM wparam;
    LPARAM lparam;
    LONG sequence;  // order among every recorded event of the run
};
LONG NextSequence();

// A borderless window at (x, y) standing in for the file manager's lister,
// with the viewer that ListLoad put into it filling its client area. It
// records what the viewer sends it.
class Lister {
public:
    Lister(const std::string& file, int showFlags, int width = 640, int height = 480, int x = 0, int y = 0);
    ~Lister();
    HWND parent() const { return parent_; }
    HWND viewer() const { return viewer_; }
    void resize(int width, int height);
    void destroyViewer();

    std::vector<Message> log;  // WM_COMMAND, WM_KEYDOWN and WM_LBUTTONDOWN
    std::vector<Message> messages(UINT message) const;
    std::vector<int> told(WORD item) const;  // the values told for kHostItemPercent, ...
    int percent() const;                     // the position told last, or -1

private:
    static LRESULT CALLBACK ParentProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
    HWND parent_ = nullptr;
    HWND viewer_ = nullptr;
};

// Dispatches messages until `done` holds (asked after each message) or
// `timeoutMs` passed; true if it held. Pump(0) dispatches what is pending.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 30000);
void Pump(DWORD ms);
double NowMs();

enum class Ctrl { none, left, right };
// Sets the keyboard state for the Ctrl key and sends WM_KEYDOWN to the window.
void SendKey(HWND window, WPARAM key, Ctrl ctrl = Ctrl::none, LPARAM lparam = 0x00390001);
void ReleaseKeys();
void Command(HWND viewer, WORD id);  // as the window sends it to itself, or a menu choice
void PauseAt(HWND viewer, int percent);  // a step (which pauses), then lc_setpercent

struct ChainDeleter {
    void operator()(Image* image) const { ImageDestroy(image); }
};
using ChainPtr = std::unique_ptr<Image, ChainDeleter>;
ChainPtr Load(const std::string& file);  // the first frame, by the host's own library

// A file's frames decoded one at a time by the host's own library.
class Frames {
public:
    explicit Frames(const std::string& file);
    ~Frames();
    int count() const;
    const Image* operator[](int n);  // valid until the next call
    FrameSource* source_ = nullptr;
};
// Every frame of one file against the other's: empty when all are the same.
std::string FramesDifference(const std::string& got, const std::string& want);

uint32_t PixelColor(const Image* image, int x, int y);  // 0x00RRGGBB, from the top-left
std::string PictureDifference(const Image* got, const Image* want);  // empty when the same

struct Capture {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;  // 0x00RRGGBB, top-down
    uint32_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x] & 0xFFFFFF; }
};
constexpr uint32_t kWhite = 0xFFFFFF;
using PixelFunction = std::function<uint32_t(int x, int y)>;

Capture CaptureClient(HWND window);  // after painting what is pending
// A metafile played onto white paper of width x height pixels.
Capture PlayMetafile(HENHMETAFILE metafile, int width, int height);
// Pixels of `area` that differ from `expected`; the first one is described.
int CountMismatches(const Capture& capture, RECT area, const PixelFunction& expected, std::string* first = nullptr);
int CountDifferences(const Capture& got, const Capture& want, std::string* first = nullptr);
// The frame unscaled at the scroll position on white, with the viewer's
// overlay line when `overlay` is given.
Capture RenderExpected(const Image* frame, int scrollX, int scrollY, int width, int height, const char* overlay = nullptr);
Capture WithOverlay(Capture picture, const char* overlay);
// Whether the window shows `frame` unscaled with its top-left at (left, top);
// WaitShows dispatches messages until it does (false after 30 s).
bool Shows(HWND viewer, const Image* frame, int left = 0, int top = 0);
bool WaitShows(HWND viewer, const Image* frame, int left = 0, int top = 0);
// How far a picture shown at half size (width x height) is from the average
// of each 2 x 2 block of `frame`: the largest difference of a channel, times 4.
int HalfSizeError(const Image* frame, int width, int height, const PixelFunction& shown);

// A window the running test expects: its class ("#32770" for dialogs and
// boxes, "#32768" for menus) and what the helper thread does with it; the
// act returns false while the window is not ready yet, and is tried again.
struct ExpectedWindow {
    std::string windowClass;
    std::function<bool(HWND)> act;
    bool again = false;  // it may be one handled before: a save dialog that stays open after a No
};
// The next visible dialogs and menus of the main thread are handed, one
// after the other, to the acts; any other one fails the test and is closed.
void ExpectWindows(std::vector<ExpectedWindow> windows);
bool ExpectationMet();  // whether every armed window was handled; disarms
// Sends a message to a window of the main thread; false when unanswered.
bool AskWindow(HWND window, UINT message, WPARAM wparam, LPARAM lparam, DWORD_PTR* result = nullptr);
std::string WindowText(HWND window);
std::string DialogItemText(HWND dialog, int id);

struct SaveDialogView {
    std::vector<std::string> types;  // the entries of the file type list
    int type = -1;                   // the one selected
    std::string name;                // the file name box
    std::string folder;              // the folder it shows
    HWND owner = nullptr;
};
// The save dialog, read, then answered with a name (nullopt keeps the
// default) and a type entry (-1 keeps it), or cancelled.
ExpectedWindow SaveDialog(SaveDialogView* view, std::optional<std::string> name = std::nullopt, int type = -1);
ExpectedWindow CancelSaveDialog(SaveDialogView* view, bool again = false);
struct BoxSeen {
    std::string caption;
    std::string text;
    HWND owner = nullptr;
    LONG sequence = 0;
};
ExpectedWindow AnswerBox(BoxSeen* seen, int button = IDOK);
// "Video Compression": "Full Frames (Uncompressed)" and OK, or Cancel.
// The first compressor whose name holds `compressor`, then OK (or Cancel).
ExpectedWindow CompressionDialog(bool ok, const char* compressor = "Full Frames (Uncompressed)");
struct MenuSeen {
    RECT rect{};
    int items = 0;
    std::vector<UINT> checked;               // submenus included
    std::vector<UINT> greyed;                // submenus included
    std::vector<std::string> texts;          // every item's, submenus' names included
    std::vector<std::string> sharedLetters;  // items of one menu that underline the same letter
};
ExpectedWindow ReadMenu(MenuSeen* seen, std::vector<WPARAM> keys = {VK_ESCAPE});  // then sends it the keys
MenuSeen OpenMenu(HWND viewer, std::vector<WPARAM> keys = {VK_ESCAPE});  // with the Applications key
bool Checked(const MenuSeen& menu, UINT id);

// The export under way in its progress window, watched until it closes;
// `step` sees each new line and may act on the window.
struct ProgressSeen {
    std::string caption;
    HWND owner = nullptr;
    std::vector<std::string> lines;  // in order, each once
    std::vector<std::string> files;  // the file line, in order, each once
    std::vector<int> bar;            // the bar's positions seen with each line, out of 1000
};
ProgressSeen WatchProgress(const std::function<void(HWND progress, const std::string& line)>& step = {});
int FramesWritten(const std::string& line, int* total = nullptr);  // "N of M frames written": N, else -1

// For the runner: the helper's round over the main thread's visible windows,
// and what it reported since the test began.
void HandleWindows(const std::vector<HWND>& visible);
std::vector<std::string> TakeHelperFailures();
void ReportHelperFailure(const std::string& failure);
void ResetHelper();
void Dismiss(HWND window);  // closes a dialog or menu without waiting
std::string Describe(HWND window);
