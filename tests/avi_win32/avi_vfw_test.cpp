// The AVI stream through Video for Windows, run under wine: export with the
// "Video Compression" dialog answered from a helper thread, export cancelled
// in that dialog, the size limit, and reading the written file back.
//
// usage: avi_vfw_test SAMPLE.flc OUTDIR
// Leaves OUTDIR/export.avi for the driver script to check with ffprobe and
// ffmpeg; everything else is checked here. Exit 0 when every check passed.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "codecs/avi.h"
#include "formats/save.h"
#include "image/convert.h"

namespace {

int gFailures = 0;

#define CHECK(cond, ...)                                      \
    do {                                                      \
        if (!(cond)) {                                        \
            std::printf("FAIL line %d: %s: ", __LINE__, #cond); \
            std::printf(__VA_ARGS__);                         \
            std::printf("\n");                                \
            ++gFailures;                                      \
        }                                                     \
    } while (0)

// ---- The compression dialog, answered from a helper thread -------------------

enum class Answer { uncompressed, cancel };

DWORD gMainThread = 0;
volatile Answer gAnswer = Answer::uncompressed;
volatile LONG gDialogsAnswered = 0;
volatile LONG gUnexpectedDialogs = 0;
char gDialogTitle[128];

struct Search {
    const std::set<HWND>* settled;
    HWND found = nullptr;
};

BOOL CALLBACK FindDialog(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<Search*>(param);
    char name[32];
    GetClassNameA(window, name, sizeof name);
    if (std::strcmp(name, "#32770") == 0 && IsWindowVisible(window) && !search->settled->count(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// Answers every "Video Compression" dialog of the main thread as gAnswer
// says, each one once, and only once it is ready: under load a dialog can be
// visible before its list is filled. Any other dialog is cancelled and
// counted, and the run fails. The windows already dealt with are left alone:
// a dialog answered stays visible a while after the click, and Video for
// Windows shows the box that holds the compression dialog, its owner, for a
// moment on the way out. Clicks are posted: a sent click that opens a nested
// dialog would block this thread.
DWORD WINAPI AnswerDialogs(LPVOID) {
    std::set<HWND> settled;
    auto settle = [&](HWND dialog) {
        for (HWND w = dialog; w; w = GetWindow(w, GW_OWNER)) settled.insert(w);
    };
    for (;;) {
        Sleep(15);
        Search search{&settled};
        EnumThreadWindows(gMainThread, FindDialog, reinterpret_cast<LPARAM>(&search));
        HWND dialog = search.found;
        if (!dialog) continue;
        char title[128] = "";
        GetWindowTextA(dialog, title, sizeof title);
        if (std::strcmp(title, "Video Compression") != 0) {
            if (!IsWindow(dialog)) continue;  // closed by itself meanwhile
            std::printf("FAIL: unexpected dialog \"%s\"\n", title);
            InterlockedIncrement(&gUnexpectedDialogs);
            settle(dialog);
            PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
            continue;
        }
        HWND list = GetDlgItem(dialog, 0x370);
        const LRESULT item = list ? SendMessageA(list, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                                 reinterpret_cast<LPARAM>("Full Frames (Uncompressed)"))
                                  : CB_ERR;
        if (item == CB_ERR) continue;  // not ready yet
        std::strcpy(gDialogTitle, title);
        if (gAnswer == Answer::uncompressed) {
            SendMessageA(list, CB_SETCURSEL, static_cast<WPARAM>(item), 0);
            SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(0x370, CBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
        }
        // Counted before the click: once the dialog closes the main thread
        // goes on and checks the count.
        InterlockedIncrement(&gDialogsAnswered);
        settle(dialog);
        PostMessageA(dialog, WM_COMMAND, gAnswer == Answer::uncompressed ? IDOK : IDCANCEL, 0);
    }
}

// An unexpected window (a message box) would block the run: end it.
DWORD WINAPI Watchdog(LPVOID) {
    Sleep(90 * 1000);
    std::printf("FAIL: watchdog: the test did not finish in 90 s\n");
    std::fflush(stdout);
    ExitProcess(3);
}

// ---- Helpers --------------------------------------------------------------------

struct Frames {
    std::vector<Image*> images;  // 24-bit copies of every frame
    uint32_t firstDelay = 0;
    ~Frames() {
        for (Image* image : images) ImageDestroy(image);
    }
};

bool LoadFrames(const char* path, Frames& frames) {
    LoadRequest request{};
    Image* first = ImageLoadFile(path, &request);
    if (!first) return false;
    frames.firstDelay = ImageGetDelay(first);
    for (Image* frame = first; frame; frame = ImageNext(frame)) frames.images.push_back(ImageConvert(frame, 24));
    ImageDestroy(first);
    for (Image* image : frames.images)
        if (!image) return false;
    return true;
}

std::string Join(const std::string& dir, const char* name) { return dir + "\\" + name; }

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string ReadText(const std::string& path) {
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buffer[256];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
        std::fclose(f);
    }
    return text;
}

void WriteText(const std::string& path, const char* text) {
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fputs(text, f);
        std::fclose(f);
    }
}

// The names in a directory, "." and ".." left out.
std::vector<std::string> List(const std::string& dir) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(Join(dir, "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        if (std::strcmp(found.cFileName, ".") && std::strcmp(found.cFileName, "..")) names.push_back(found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
}

struct Export {
    bool opened = false;
    int framesWritten = 0;
    ErrorCode openError = kErrorNone, frameError = kErrorNone, closeError = kErrorNone;
    int closed = 0;
};

// What the viewer's export does: open with the first frame, write every frame
// at its position, close with the last.
Export RunExport(const std::string& path, Frames& frames, HWND owner) {
    Export result;
    AviExportOptions options{owner, AviFrameRate(frames.firstDelay)};
    StreamOpenRequest open{kFormatAvi, path.c_str(), 1, frames.images[0], &options, kErrorNone};
    Stream* stream = StreamOpen(&open);
    result.openError = open.error;
    if (!stream) return result;
    result.opened = true;
    uint32_t position = 0;
    for (Image* frame : frames.images) {
        StreamFrameRequest request{frame, 0, &position, kErrorNone};
        if (StreamWriteFrame(stream, &request)) ++result.framesWritten;
        else if (result.frameError == kErrorNone) result.frameError = request.error;
        ++position;
    }
    StreamCloseRequest close{frames.images.back(), nullptr, kErrorNone};
    result.closed = StreamClose(stream, &close);
    result.closeError = close.error;
    return result;
}

// ---- The cases --------------------------------------------------------------------

void ExportWithUncompressedFrames(const std::string& dir, Frames& frames, HWND owner) {
    gAnswer = Answer::uncompressed;
    const LONG before = gDialogsAnswered;
    const Export e = RunExport(Join(dir, "export.avi"), frames, owner);
    CHECK(gDialogsAnswered == before + 1, "one compression dialog, got %ld", gDialogsAnswered - before);
    CHECK(std::strcmp(gDialogTitle, "Video Compression") == 0, "dialog title '%s'", gDialogTitle);
    CHECK(e.opened, "open failed with error %d", e.openError);
    CHECK(e.framesWritten == static_cast<int>(frames.images.size()), "%d frames written", e.framesWritten);
    CHECK(e.closed == 1, "close failed with error %d", e.closeError);
    const std::vector<std::string> names = List(dir);
    CHECK(names.size() == 1 && names[0] == "export.avi", "%zu files in the directory after the export", names.size());
}

void ExportCancelledInTheDialog(const std::string& dir, Frames& frames, HWND owner) {
    gAnswer = Answer::cancel;
    const LONG before = gDialogsAnswered;
    const std::string fresh = Join(dir, "cancelled.avi");
    Export e = RunExport(fresh, frames, owner);
    CHECK(gDialogsAnswered == before + 1, "the dialog was shown");
    CHECK(!e.opened, "a cancelled dialog fails the open");
    CHECK(!Exists(fresh), "no file is left behind after a cancelled dialog");

    // A file of that name that was there before stays as it was.
    const std::string existing = Join(dir, "existing.avi");
    WriteText(existing, "the user's old file");
    e = RunExport(existing, frames, owner);
    CHECK(!e.opened, "cancelled again");
    CHECK(ReadText(existing) == "the user's old file", "a cancelled export leaves the old file alone");
    DeleteFileA(existing.c_str());
    CHECK(List(dir).size() == 1, "only export.avi is left, nothing temporary");
}

void StopsBeforeTheSizeLimit(const std::string& dir, Frames& frames, HWND owner) {
    gAnswer = Answer::uncompressed;
    const std::string target = Join(dir, "limited.avi");
    WriteText(target, "older export");
    const uint64_t frameBytes = static_cast<uint64_t>(ImageBitsSize(frames.images[0]));
    AviInjectSizeLimit(64 * 1024 + 3 * (frameBytes + 64));  // room for three frames
    const Export e = RunExport(target, frames, owner);
    AviInjectSizeLimit(0);
    CHECK(e.opened, "open");
    CHECK(e.framesWritten == 3, "three frames fit, got %d", e.framesWritten);
    CHECK(e.frameError == kErrorWrite, "the fourth frame fails with Write error, got %d", e.frameError);
    CHECK(e.closed == 0 && e.closeError == kErrorWrite, "the close reports the failure");
    CHECK(ReadText(target) == "older export", "the unfinished file is removed and the old one kept");
    DeleteFileA(target.c_str());
    CHECK(List(dir).size() == 1, "nothing temporary is left");
}

Stream* OpenForReading(const std::string& path, ErrorCode* error) {
    StreamOpenRequest open{kFormatAvi, path.c_str(), 0, nullptr, nullptr, kErrorNone};
    Stream* stream = StreamOpen(&open);
    *error = open.error;
    return stream;
}

void ReadsTheExportBack(const std::string& dir, Frames& frames, const char* sample) {
    ErrorCode error;
    Stream* stream = OpenForReading(Join(dir, "export.avi"), &error);
    CHECK(stream, "read mode open failed with %d", error);
    if (!stream) return;
    CHECK(stream->frameCount == static_cast<int32_t>(frames.images.size()), "frame count %d", stream->frameCount);
    CHECK(stream->frameRate == static_cast<int32_t>(AviFrameRate(frames.firstDelay)), "frame rate %d", stream->frameRate);
    const StreamOps* ops = FormatFind(kFormatAvi)->streamOps;
    Image* previous = nullptr;
    for (int n = 0; n < static_cast<int>(frames.images.size()); ++n) {
        StreamReadRequest request{nullptr, n, nullptr, kErrorNone};
        Image* image = ops->readFrame(stream, &request);
        CHECK(image, "frame %d not read: %d", n, request.error);
        if (!image) break;
        CHECK(!previous || image == previous, "every read returns the stream's one image");
        previous = image;
        const Image* source = frames.images[n];
        CHECK(ImageWidth(image) == ImageWidth(source) && ImageHeight(image) == ImageHeight(source) &&
                  ImageBitCount(image) == 24,
              "frame %d is %dx%dx%d", n, ImageWidth(image), ImageHeight(image), ImageBitCount(image));
        CHECK(std::memcmp(ImageBits(image), ImageBits(source), static_cast<size_t>(ImageBitsSize(source))) == 0,
              "frame %d reads back as written", n);
    }
    StreamReadRequest past{nullptr, stream->frameCount, nullptr, kErrorNone};
    CHECK(!ops->readFrame(stream, &past) && past.error == kErrorRead, "reading past the end: %d", past.error);
    StreamCloseRequest close{};
    CHECK(StreamClose(stream, &close) == 1, "closing a read stream");

    CHECK(!OpenForReading(Join(dir, "missing.avi"), &error) && error == kErrorFileNotFound, "missing file: %d", error);
    CHECK(!OpenForReading(sample, &error) && error == kErrorInvalidData, "a FLIC file is not an AVI: %d", error);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::printf("usage: avi_vfw_test SAMPLE OUTDIR\n");
        return 2;
    }
    gMainThread = GetCurrentThreadId();
    CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr);
    CreateThread(nullptr, 0, AnswerDialogs, nullptr, 0, nullptr);
    FormatRegisterAll();
    Frames frames;
    if (!LoadFrames(argv[1], frames)) {
        std::printf("FAIL: cannot load %s\n", argv[1]);
        return 1;
    }
    // The viewer window that owns the dialog.
    HWND owner = CreateWindowA("STATIC", "avi test", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 320, 240, nullptr, nullptr,
                               GetModuleHandleA(nullptr), nullptr);
    const std::string dir = argv[2];
    ExportWithUncompressedFrames(dir, frames, owner);
    ExportCancelledInTheDialog(dir, frames, owner);
    StopsBeforeTheSizeLimit(dir, frames, owner);
    ReadsTheExportBack(dir, frames, argv[1]);
    DestroyWindow(owner);
    CHECK(gUnexpectedDialogs == 0, "%ld unexpected dialog(s)", gUnexpectedDialogs);
    std::printf("%s: %d failure(s)\n", gFailures ? "FAIL" : "ok", gFailures);
    std::fflush(stdout);
    ExitProcess(gFailures ? 1 : 0);  // the helper threads never return
}
