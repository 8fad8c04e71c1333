// The viewer window that the plug-in puts into the file manager's lister:
// plays a chain of frames on a window timer while a worker thread decodes
// the rest (viewer_loader.cpp), draws it zoomed with scroll bars or fitted
// into the window (viewer_display.cpp), and turns keys, clicks and the
// context menu into commands (viewer.cpp, viewer_commands.cpp). Everything a
// window needs lives in its ViewerState.
#pragma once

#include <windows.h>

#include <cstdint>

#include "formats/format.h"
#include "formats/save.h"
#include "image/image.h"

// The library's own module, stored when the library is attached.
extern HINSTANCE gModule;

// The ini file that the host named in ListSetDefaultParams, where the
// viewer's own choices are remembered in the [Movrel] section; empty until then.
extern char gSettingsFile[MAX_PATH];

inline constexpr char kViewerClassName[] = "WLXMovrel";

// What ListLoad hands to the window's creation; valid only during creation.
struct ViewerCreateParams {
    const char* fileName;  // UTF-8
    int32_t showFlags;     // the host's kShow* flags
};

// The host's show flags that the viewer follows (the text flags are not an
// image viewer's business).
constexpr int32_t kShowFitToWindow = 2;
constexpr int32_t kShowFitLargerOnly = 32;  // with kShowFitToWindow: shrink only
constexpr int32_t kShowCenter = 64;
constexpr int32_t kShowDarkMode = 128;

// What the viewer tells the host when the user changes fit or centring in
// the viewer: WM_COMMAND with MAKELONG(value, item) to the parent.
constexpr WORD kHostItemFit = 0xFFFB;
constexpr WORD kHostItemCenter = 0xFFF9;
constexpr WORD kHostItemPercent = 0xFFFE;  // the position while playing, 0 to 100

// A ratio of whole numbers: zoom factors and playback speeds.
struct Ratio {
    int num;
    int den;
};
// The zoom steps, 1/8 to 8 times; kActualSize is 100%.
inline constexpr Ratio kZoomSteps[] = {{1, 8}, {1, 4}, {1, 3}, {1, 2}, {1, 1}, {2, 1}, {3, 1}, {4, 1}, {6, 1}, {8, 1}};
constexpr int kActualSize = 4;
constexpr int kZoomStepCount = sizeof kZoomSteps / sizeof kZoomSteps[0];
// The playback speeds, 1/8 to 8 times; kNormalSpeed is 1x.
inline constexpr Ratio kSpeedSteps[] = {{1, 8}, {1, 4}, {1, 2}, {1, 1}, {2, 1}, {4, 1}, {8, 1}};
constexpr int kNormalSpeed = 3;
constexpr int kSpeedStepCount = sizeof kSpeedSteps / sizeof kSpeedSteps[0];

// The background the user picked: the host's (white, or dark in its dark mode), or one of their own.
enum ViewerBackground : int32_t { kBackgroundHost = 0, kBackgroundWhite = 1, kBackgroundDark = 2 };

struct ViewerState {
    Image* first;              // the chain; the window owns it
    Image* current;            // the frame on screen, a member of the chain
    HMENU menu;                // menu resource 101; owned
    HMENU popup;               // its first submenu, the context menu
    int32_t fitToWindow;       // non-zero: scale the frame into the client area
    int32_t paused;            // 1 while playback is stopped (no timer)
    int32_t singleStep;        // 1 while the next tick advances one frame and pauses
    int32_t frameCounter;      // 0-based position of current in the chain
    int32_t showFrameNumber;   // 1 while the frame number is drawn
    int32_t wheelRemainder;    // wheel turn short of a whole notch, kept for the next message
    int32_t fitLargerOnly;     // non-zero: fitting only shrinks pictures larger than the window
    int32_t center;            // non-zero: a picture smaller than the window sits in its middle
    int32_t darkMode;          // non-zero: the background is dark instead of white
    char path[kMaxPath];       // the loaded file as the host named it, in UTF-8
    int32_t zoomIndex;         // into kZoomSteps: the scale when not fitted
    int32_t speedIndex;        // into kSpeedSteps
    int32_t startPaused;       // preference: a file opens paused on its first frame
    int32_t loop;              // preference: playback goes round; otherwise it stops at the last frame
    int32_t background;        // preference: a ViewerBackground
    int32_t percentTold;       // the position last told to the host, -1 for none
    int32_t dragging;          // 1 while the left button drags the picture
    POINT dragFrom;            // where the drag began, client coordinates
    POINT dragScroll;          // the scroll positions then
    Image* reduced;            // the frame on screen averaged down for display; owned, or none
    const Image* reducedFrom;  // the frame it was made from
    SIZE reducedSize;          // the size of the whole reduced frame
    RECT reducedPart;          // the part of it that `reduced` holds
    HFONT overlayFont;         // for overlayDpi; owned, or none
    int32_t overlayDpi;
    // The frames after the first are decoded on a worker thread while the
    // first ones play (viewer_loader.cpp). Only frames below the load's
    // published count are shown or stepped to.
    ProgressiveLoad* load;     // the load behind `first`, which owns the chain; owned
    HANDLE worker;             // the thread decoding the rest; none once joined
    volatile LONG stopWorker;  // non-zero halts the worker before its next frame
};

LRESULT CALLBACK ViewerWndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Frames decoded while the animation plays (viewer_loader.cpp).
//
// The file with its first frame decoded, for a window; none when it cannot
// be shown. The rest is decoded once the window has it (ViewerStartDecoding).
ProgressiveLoad* ViewerOpenFile(const char* fileName);
// Makes `load` the window's and decodes its other frames on a worker thread
// (here and now, when no thread can be had): the state's `first` and
// `current` become its first frame.
void ViewerStartDecoding(ViewerState* state, ProgressiveLoad* load);
// Cancels the load and waits for the worker, which stops within the frame it
// is decoding; the frames decoded before stay, and no more will come.
void ViewerStopDecoding(ViewerState* state);
// Stops the worker and frees the load with every frame.
void ViewerFreeFrames(ViewerState* state);
// The frames the window may show, the first `count` of the chain; `complete`
// tells whether they are all there are.
int ViewerFramesReady(const ViewerState* state, bool* complete = nullptr);
// Playback's step: `current` moves to the next frame, or back to the first
// after the last frame of a complete load. False, with nothing changed, while
// the next frame is still being decoded.
bool ViewerAdvance(ViewerState* state);
// For the commands that need every frame: waits until the worker has decoded
// them all, saying "Decoding..." in the window meanwhile.
void ViewerWaitForAllFrames(HWND window);
// Why the frames end before the file's last one ("8000 of 16000 frames: not
// enough memory for the rest"), in the words the tool uses; empty otherwise.
void ViewerLoadNote(const ViewerState* state, char* out, size_t size);

// The window's state, or none for a window without one.
ViewerState* ViewerGetState(HWND window);
// The frame on screen, or none for a window without state. It stays valid
// while the window keeps its file.
const Image* ViewerShownFrame(HWND window);

// State operations: each does nothing and returns 0 for a window without state.
int ViewerIsPaused(HWND window);
int ViewerSetPaused(HWND window, int value);
int ViewerIsSingleStep(HWND window);
int ViewerSetSingleStep(HWND window, int value);
int ViewerGetFrameCounter(HWND window);
int ViewerSetFrameCounter(HWND window, int value);
int ViewerIsFrameNumberShown(HWND window);
int ViewerShowFrameNumber(HWND window, int value);
int ViewerIsFitToWindow(HWND window);
int ViewerSetFitToWindow(HWND window, int value);
// Shows another file in the window, playing from its first frame; the
// viewer's own choices stay. 0, with the window as it was, when the file
// cannot be shown.
int ViewerLoadNext(HWND window, const char* fileName, int showFlags);
// Follows the host's show flags: fit (larger only), centre, dark mode.
int ViewerSetShowFlags(HWND window, int flags);
int ViewerCopy(HWND window);
void ViewerShowMenu(HWND window, POINT screenPoint);
// Jumps to the frame at `percent` of the way (lc_setpercent).
int ViewerSetPercent(HWND window, int percent);

// Display (viewer_display.cpp): scale, placement, painting, zoom, panning.
// The scroll positions count display pixels: the picture as zoomed.
void ViewerUpdateScrollRanges(HWND window);
LRESULT ViewerOnSize(HWND window);
LRESULT ViewerOnPaint(HWND window);
LRESULT ViewerOnEraseBackground(HWND window, HDC dc);
// Draws the overlay: the frame line when the frame number is shown, then
// `note` (none or empty for no note) on a line below it.
void ViewerDrawOverlay(HWND window, HDC dc, const char* note);
// Zooms by `steps` (up positive) about `about`, a point of the client area
// that keeps showing the same picture pixel. Leaves fit mode, telling the host.
int ViewerZoomBy(HWND window, int steps, POINT about);
int ViewerZoomToActualSize(HWND window);
// The scale on screen in percent, fitted or zoomed.
int ViewerDisplayPercent(HWND window);
// Left-button panning of a picture larger than the window.
void ViewerBeginDrag(HWND window, POINT at);
void ViewerDragTo(HWND window, POINT at);
void ViewerEndDrag(HWND window);
// Frees what the display keeps for the frame on screen: its reduced copy
// (and, when `all`, the overlay font).
void ViewerReleaseDisplay(ViewerState* state, bool all);

// The user's commands (viewer_commands.cpp). 1 on success, 0 otherwise
// (cancelled, or failed with an error box).
//
// The two extract commands pause playback and leave it paused; the others
// leave it as it is. Each asks for a file name in the system's save dialog,
// and nothing replaces an existing file without the user's Yes: the dialog
// asks about the name it returns, the viewer about a name it completes.
int ViewerExtractFrame(HWND window);
int ViewerExtractAllFrames(HWND window);
int ViewerShowInformation(HWND window);
int ViewerExportGif(HWND window);
int ViewerExportAvi(HWND window);
int ViewerExportSpr(HWND window);
int ViewerShowAbout(HWND window);

// What the commands do once they have a name.
// The frame on screen as one file.
int ViewerSaveFrame(HWND window, const char* name, FormatId id);
// Every frame as base000.EXT, base001.EXT, ...; asks once before replacing
// any of them that exist (No writes nothing), and stops at the first
// failure, keeping the files written before it.
int ViewerSaveAllFrames(HWND window, const char* base, FormatId id);
// The whole animation through the GIF stream; a failed export leaves no file.
int ViewerWriteGif(HWND window, const char* name);
// The whole animation as 24-bit frames through the AVI stream, which asks
// for the compressor. Shows no message.
int ViewerWriteAvi(HWND window, const char* name);
// The whole animation as one Pro Motion file.
int ViewerWriteSpr(HWND window, const char* name);
