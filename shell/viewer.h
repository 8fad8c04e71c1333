// The viewer window that the plug-in puts into the file manager's lister.
// The window procedure (viewer.cpp) is an adapter: it turns messages into
// calls on the viewer's two plain parts, Playback (the frames and their
// timing) and ViewGeometry (where the picture goes), and their effects into
// timers, scroll bars and repaints. Painting is viewer_display.cpp; the
// user's commands (saving, exports, the boxes) are viewer_commands.cpp, and
// long ones run on a worker (viewer_export.cpp).
//
// One Viewer per window, made when the window is created and reached from
// its user data in the window procedure only.
#pragma once

#include <windows.h>

#include <cstdint>

#include "formats/format.h"
#include "formats/save.h"
#include "shell/playback.h"
#include "shell/view_geometry.h"

// The library's own module, stored when the library is attached.
extern HINSTANCE gModule;

// The ini file that the host named in ListSetDefaultParams, where the
// viewer's own choices are remembered in the [Movrel] section; empty until then.
extern char gSettingsFile[MAX_PATH];

inline constexpr char kViewerClassName[] = "WLXMovrel";

// What ListLoad hands to the window's creation; valid only during creation.
struct ViewerCreateParams {
    const char* fileName;  // UTF-8
    int32_t showFlags;     // the host's lcp_* flags
};

// Posted to the window by an export's worker when it has ended.
constexpr UINT kMessageExportDone = WM_APP + 1;

// The background the user picked: the host's (white, or dark in its dark mode), or one of their own.
enum ViewerBackground : int32_t { kBackgroundHost = 0, kBackgroundWhite = 1, kBackgroundDark = 2 };

// The viewer's own choices, remembered in the ini (viewer.cpp); looping is
// the playback's.
struct ViewerPreferences {
    bool showFrameNumber = false;
    bool startPaused = false;
    int32_t background = kBackgroundHost;
    bool timeline = false;  // the bar to seek with, along the bottom (animations only)
};

// What the display keeps for the frame on screen (viewer_display.cpp): the
// frame averaged down for display, or the part of it shown, and the
// overlay's font.
class DisplayCache {
public:
    DisplayCache() = default;
    DisplayCache(const DisplayCache&) = delete;
    DisplayCache& operator=(const DisplayCache&) = delete;
    ~DisplayCache() { release(true); }

    // `frame`, the one at `position`, averaged down to `size`, holding at
    // least `part` of that: the copy kept when it does, else a new one. None
    // when that cannot be made.
    const Image* reduce(const Image* frame, int32_t position, ViewPoint size, const RECT& part);
    // Where the copy sits in the whole reduced frame.
    const RECT& part() const { return part_; }
    // The overlay's font for `dpi`, made anew when the dpi changed.
    HFONT font(int dpi);
    // Frees the reduced copy and, when `all`, the font.
    void release(bool all);

private:
    Image* reduced_ = nullptr;     // owned, or none
    const Image* from_ = nullptr;  // the frame it was made from, and its position (a
    int32_t position_ = -1;        // freed frame's address may come again for another)
    ViewPoint size_{};             // the size of the whole reduced frame
    RECT part_{};                  // the part of it that `reduced_` holds
    HFONT font_ = nullptr;         // for fontDpi_; owned, or none
    int fontDpi_ = 0;
};

struct ExportJob;
struct ExportJobParams;

// The export under way, one at a time (viewer_commands.cpp). One still
// running when the viewer goes is stopped, leaving no file.
class ExportSlot {
public:
    ExportSlot() = default;
    ExportSlot(const ExportSlot&) = delete;
    ExportSlot& operator=(const ExportSlot&) = delete;
    ~ExportSlot();

    bool busy() const { return job_ != nullptr; }
    // Starts one; false, with `error` (or cancelled by the user), when it
    // ended before its worker started.
    bool start(const ExportJobParams& params, Status* error);
    // Ends the one under way: the status that ended it.
    Status end();

private:
    ExportJob* job_ = nullptr;
};

class Viewer final : public PlaybackEffects {
public:
    explicit Viewer(HWND window) : window(window), playback(*this) {}
    ~Viewer();

    // PlaybackEffects: the window's one timer, its repaint, the host's position.
    void armTimer(uint32_t milliseconds) override;
    void stopTimer() override;
    void repaint() override;
    void tellPercent(int percent) override;

    HWND const window;
    Playback playback;
    ViewGeometry geometry;
    char path[kMaxPath] = "";  // the file shown, as the host named it, in UTF-8
    HMENU menu = nullptr;      // menu resource 101; owned
    HMENU popup = nullptr;     // its first submenu, the context menu

    ViewerPreferences preferences;
    bool darkMode = false;  // the host's

    bool scrubbing = false;      // the left button drags along the timeline

    int32_t wheelRemainder = 0;  // wheel turn short of a whole notch, kept for the next message
    bool dragging = false;       // the left button drags the picture
    POINT dragFrom{};            // where the drag began, client coordinates
    ViewPoint dragScroll{};      // the scroll positions then

    DisplayCache display;
    bool sized = false;  // the geometry has the picture's size: its first frame is there
    ExportSlot exports;  // last: ended first, while the rest is still there
};

LRESULT CALLBACK ViewerWndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// The viewer of a window of this class, or none.
Viewer* ViewerFromWindow(HWND window);

// The entry points' operations on a viewer (viewer.cpp). 0 on failure.
//
// Shows another file in the window, playing from its first frame; the
// viewer's own choices stay. 0, with the window as it was, when the file
// cannot be shown.
int ViewerLoadNext(Viewer& viewer, const char* fileName, int showFlags);
// Follows the host's show flags: fit (larger only), centre, dark mode.
void ViewerSetShowFlags(Viewer& viewer, int flags);
int ViewerCopy(const Viewer& viewer);

// Display (viewer_display.cpp).
void ViewerPaint(Viewer& viewer, HDC dc);
// The scroll bars from the geometry; the client area they leave goes back to it.
void ViewerSyncScrollBars(Viewer& viewer);
// The timeline's band at the bottom of the client area; empty when it is
// not shown (turned off, or a still picture). The picture's area is above it.
RECT ViewerTimelineRect(const Viewer& viewer);
// The timeline's track within its band: where the first and last frames sit.
RECT ViewerTimelineTrack(const Viewer& viewer);
COLORREF ViewerBackgroundColor(const Viewer& viewer);

// The user's commands (viewer_commands.cpp). 1 on success or once an export
// is under way, 0 otherwise (cancelled, or failed with an error box).
int ViewerExtractFrame(Viewer& viewer);
int ViewerExtractAllFrames(Viewer& viewer);
int ViewerShowInformation(Viewer& viewer);
int ViewerExportGif(Viewer& viewer);
int ViewerExportAvi(Viewer& viewer);
int ViewerExportSpr(Viewer& viewer);
int ViewerExportApng(Viewer& viewer);
int ViewerExportFlc(Viewer& viewer);
int ViewerShowAbout(Viewer& viewer);
// An export's worker has ended: its error box, if any, and its end.
void ViewerExportEnded(Viewer& viewer);

// Why playback stopped before a frame it cannot decode now ("frame 12 cannot
// be shown: not enough memory"), else why the frames end before the file's
// last one ("8000 of 16000 frames: not enough memory for the rest"), in the
// words the tool uses; empty otherwise.
void ViewerLoadNote(const Viewer& viewer, char* out, size_t size);
