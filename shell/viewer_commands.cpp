// The user's commands behind the viewer's menu and keys: saving frames,
// exporting the animation, and the Information and About boxes.
#include <windows.h>
#include <commdlg.h>

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>

#include "codecs/export.h"
#include "codecs/flic.h"
#include "formats/format.h"
#include "formats/save.h"
#include "platform/platform.h"
#include "resources/resource.h"
#include "shell/viewer.h"
#include "shell/viewer_export.h"

namespace {

constexpr char kAboutText[] =
    "Autodesk FLIC animation (FLI/FLC) lister plug-in for Total Commander\n"
    "Version " MOVREL_VERSION_TEXT " (" __DATE__ ")\n"
    "\n"
    "Copyright (C) The Movrel developers. Provided as is, without warranty of any kind.";

constexpr char kNoRoomForExtension[] = "The file name is too long: there is no room for its extension.";
constexpr char kNameTooLong[] = "The file name is too long.";
constexpr char kNoRoomForNumber[] =
    "The file name is too long: there is no room for the frame number and the extension.";

// The dialog structure without the members that Windows 2000 added, which
// every version of the dialog accepts. Its size follows the pointer size:
// a fixed 76 would make every dialog of the 64-bit build fail.
constexpr DWORD kSaveDialogSize = offsetof(OPENFILENAMEW, lpTemplateName) + sizeof(LPCWSTR);
static_assert(kSaveDialogSize == (sizeof(void*) == 8 ? 136 : 76));

// A message box of UTF-8 texts (file names among them); a null caption is
// the system's "Error".
int Box(HWND window, const char* text, const char* caption, UINT type) {
    return MessageBoxW(window, WideFromUtf8(text).c_str(), caption ? WideFromUtf8(caption).c_str() : nullptr, type);
}

void ShowError(HWND window, const char* text) { Box(window, text, nullptr, MB_ICONERROR); }
// The error's box, with the reason for it when there is one: "Write
// error: the disk is full". None for success, or a cancel, which the user
// asked for.
int ReportError(HWND window, const Status& error) {
    if (!error.failed()) return 0;
    char text[160];
    ErrorText(error, text, sizeof text);
    ShowError(window, text);
    return 0;
}

// Joins the pieces into out (kMaxPath bytes); false, with out untouched,
// when they would not fit with the terminating NUL.
bool JoinName(char* out, std::initializer_list<std::string_view> pieces) {
    size_t length = 0;
    for (std::string_view piece : pieces) length += piece.size();
    if (length >= kMaxPath) return false;
    char* at = out;
    for (std::string_view piece : pieces) {
        std::memcpy(at, piece.data(), piece.size());
        at += piece.size();
    }
    *at = '\0';
    return true;
}

// The part of a path after its last separator; the whole path without one.
// Windows takes forward slashes as separators too, and a host may pass them.
const char* LeafName(const char* path) {
    const char* leaf = path;
    for (const char* at = path; *at; ++at)
        if (*at == '\\' || *at == '/') leaf = at + 1;
    return leaf;
}

// Whether a file (not a folder) of that name exists.
bool IsFile(const char* name) {
    const DWORD attributes = GetFileAttributesW(WideFileName(name).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Asks, the way the save dialog asks about the name it was given, whether
// existing files may be replaced. True for Yes.
bool MayReplace(HWND window, const char* question) {
    return Box(window, question, "Confirm Save As", MB_YESNO | MB_ICONWARNING) == IDYES;
}

bool MayReplaceFile(HWND window, const char* name) {
    return MayReplace(window, (std::string(LeafName(name)) + " already exists.\nDo you want to replace it?").c_str());
}

// The format's default extension, or an empty text when it has none.
std::string_view DefaultExtension(FormatId id, char (&extension)[16]) {
    if (!FormatExtension(id, extension, 0, sizeof extension)) extension[0] = '\0';
    return extension;
}

// Frame numbers of saved files: at least three digits, more above 999.
std::string_view FrameNumber(int n, char (&digits)[16]) {
    char plain[12];
    const auto end = std::to_chars(plain, plain + sizeof plain, n).ptr;
    const size_t length = static_cast<size_t>(end - plain);
    const size_t padding = length < 3 ? 3 - length : 0;
    std::memset(digits, '0', padding);
    std::memcpy(digits + padding, plain, length);
    return {digits, padding + length};
}

// The folder that holds `path`: what comes before its last separator.
std::wstring FolderOf(const char* path) {
    const std::wstring wide = WideFromUtf8(path);
    const size_t separator = wide.find_last_of(L"\\/");
    return separator == std::wstring::npos ? std::wstring(L".") : wide.substr(0, separator);
}

// Asks for a file name with the system's save dialog, which starts in the
// animation's folder. `name` (kMaxPath bytes) holds the default name and
// receives the chosen path. The chosen format is the list's id of the entry
// the user picked, or none when the list has no such entry. False when the
// user cancelled or the dialog failed.
bool AskSaveName(const Viewer& viewer, const FormatFilterList& list, const char* defaultExtension, char* name,
                 FormatId* chosen) {
    HWND window = viewer.window;
    // The filter is pairs of texts, each ending in a NUL, and one more NUL.
    size_t filterLength = 0;
    while (filterLength + 2 < sizeof list.text && (list.text[filterLength] || list.text[filterLength + 1])) ++filterLength;
    const std::wstring filter(list.text, list.text + filterLength + 2);  // ASCII, as the registry's texts are
    const std::wstring extension = WideFromUtf8(defaultExtension);
    wchar_t file[kMaxPath];
    const std::wstring initial = WideFromUtf8(name);
    lstrcpynW(file, initial.c_str(), kMaxPath);

    OPENFILENAMEW dialog{};
    dialog.lStructSize = kSaveDialogSize;
    dialog.hwndOwner = window;
    dialog.hInstance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(window, GWLP_HINSTANCE));
    dialog.lpstrFilter = filter.c_str();
    dialog.nFilterIndex = 0;  // the first entry
    dialog.lpstrFile = file;
    dialog.nMaxFile = kMaxPath;
    const std::wstring folder = FolderOf(viewer.path);
    dialog.lpstrInitialDir = folder.c_str();
    dialog.Flags = OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY;
    dialog.lpstrDefExt = extension.empty() ? nullptr : extension.c_str();
    if (!GetSaveFileNameW(&dialog)) return false;
    if (!Utf8FromWide(file, name, kMaxPath)) {
        ShowError(window, kNameTooLong);
        return false;
    }
    const DWORD index = dialog.nFilterIndex;
    *chosen = index >= 1 && index <= static_cast<DWORD>(kFormatSlots) ? list.ids[index - 1] : kFormatNone;
    return true;
}

// The default name of the exports: the source's file name without its
// last extension.
void ExportDefaultName(const Viewer& viewer, char* name) {
    const char* leaf = LeafName(viewer.path);
    const char* dot = std::strrchr(leaf, '.');
    const size_t length = dot ? static_cast<size_t>(dot - leaf) : std::strlen(leaf);
    JoinName(name, {std::string_view(leaf, length)});
}

// Asks for the name of a one-format export; its default extension is the
// format's own, added by the dialog when the user types none.
bool AskExportName(const Viewer& viewer, int filterFlags, FormatId id, char* name) {
    ExportDefaultName(viewer, name);
    FormatFilterList list;
    FormatFilter(&list, filterFlags, id);
    char extension[16];
    DefaultExtension(id, extension);
    FormatId chosen = kFormatNone;
    return AskSaveName(viewer, list, extension[0] ? extension : nullptr, name, &chosen);
}

// Starts the export on its worker; one at a time: while one runs, its
// progress window comes to the front instead.
int StartJob(Viewer& viewer, bool numberedFiles, FormatId id, const char* name, int32_t firstFrame) {
    const int32_t frames = viewer.playback.status().count - firstFrame;
    ExportJobParams params{gModule, viewer.window, kMessageExportDone, numberedFiles, id, name, viewer.path, firstFrame, frames};
    Status error;
    FileErrorClear();
    if (viewer.exports.start(params, &error)) return 1;
    return ReportError(viewer.window, error);
}

// Whether another export may start now.
bool Idle(const Viewer& viewer) {
    if (!viewer.exports.busy()) return true;
    MessageBeep(MB_ICONWARNING);
    return false;
}

}  // namespace

// ---- Saving frames ------------------------------------------------------------

namespace {

// Frame n, as it was on screen, as one file; an SPR file takes the frames
// from it to the last, on the worker.
int SaveFrame(Viewer& viewer, Image* frame, int32_t n, const char* name, FormatId id) {
    if (id == kFormatSpr) return StartJob(viewer, false, id, name, n);
    SaveRequest request{id, nullptr, nullptr, kErrorNone};
    FileErrorClear();
    if (!ImageSaveFile(frame, name, &request)) return ReportError(viewer.window, request.error);
    return 1;
}

// Every frame as base000.EXT, base001.EXT, ...; asks once before replacing
// any of them that exist (No writes nothing), and stops at the first
// failure, keeping the files written before it.
int SaveAllFrames(Viewer& viewer, const char* base, FormatId id) {
    HWND window = viewer.window;
    const int count = viewer.playback.status().count;
    char name[kMaxPath];
    // Refused before any file is written when the last, longest name would not fit.
    if (!ExportNumberedName(base, id, count - 1, count, name, sizeof name)) {
        ShowError(window, kNoRoomForNumber);
        return 0;
    }
    // The dialog asked about the base name only. One question covers every
    // numbered file in the way, before any is written.
    char first[kMaxPath];
    int existing = 0;
    for (int n = 0; n < count; ++n) {
        ExportNumberedName(base, id, n, count, name, sizeof name);
        if (IsFile(name) && existing++ == 0) JoinName(first, {name});
    }
    if (existing == 1 && !MayReplaceFile(window, first)) return 0;
    if (existing > 1) {
        char firstName[kMaxPath];
        ExportNumberedName(base, id, 0, count, firstName, sizeof firstName);
        const std::string question = std::to_string(existing) + " of the files from " + LeafName(firstName) + " to " +
                                     LeafName(name) + " already exist.\nDo you want to replace them?";
        if (!MayReplace(window, question.c_str())) return 0;
    }
    return StartJob(viewer, true, id, base, 0);
}

}  // namespace

int ViewerExtractFrame(Viewer& viewer) {
    if (!Idle(viewer)) return 0;
    if (!viewer.playback.frame()) return 0;  // the first is still being decoded
    // The frame on screen is the one saved, under the number its default
    // name gives, even when a frame being fetched arrives while the user
    // picks a name; playback stays paused, there and after.
    viewer.playback.pause();
    const int32_t n = viewer.playback.position();
    ImagePtr frame(ImageDuplicate(viewer.playback.frame()));
    if (!frame) return ReportError(viewer.window, kErrorOutOfMemory);
    char name[kMaxPath];
    char digits[16];
    JoinName(name, {"Frame", FrameNumber(n, digits)});
    FormatFilterList list;
    FormatFilter(&list, kFilterSave, -1);
    FormatId chosen = kFormatNone;
    if (!AskSaveName(viewer, list, nullptr, name, &chosen)) return 0;

    // A name typed with any extension is kept as typed; only a name without
    // a dot gets the chosen format's default extension.
    if (!std::strchr(LeafName(name), '.')) {
        char extension[16];
        char typed[kMaxPath];
        std::memcpy(typed, name, kMaxPath);
        if (!JoinName(name, {typed, ".", DefaultExtension(chosen, extension)})) {
            ShowError(viewer.window, kNoRoomForExtension);
            return 0;
        }
        // The dialog asked about the name as typed, not about this one.
        if (IsFile(name) && !MayReplaceFile(viewer.window, name)) return 0;
    }
    return SaveFrame(viewer, frame.get(), n, name, chosen);
}

int ViewerExtractAllFrames(Viewer& viewer) {
    if (!Idle(viewer)) return 0;
    viewer.playback.pause();
    char base[kMaxPath];
    JoinName(base, {"Frame"});
    FormatFilterList list;
    FormatFilter(&list, kFilterSave, -1);
    FormatId chosen = kFormatNone;
    if (!AskSaveName(viewer, list, nullptr, base, &chosen)) return 0;
    return SaveAllFrames(viewer, base, chosen);
}

// ---- Exports ----------------------------------------------------------------------

namespace {

// The whole animation into one file, on the worker. A cancelled compression
// dialog is the user's choice and shows nothing; every real failure (no
// memory, a full disk, the size limit) shows its error box when the worker
// ends, and no unfinished file stays.
int Export(Viewer& viewer, int filterFlags, FormatId id) {
    if (!Idle(viewer)) return 0;
    char name[kMaxPath];
    if (!AskExportName(viewer, filterFlags, id, name)) return 0;
    return StartJob(viewer, false, id, name, 0);
}

}  // namespace

int ViewerExportGif(Viewer& viewer) { return Export(viewer, kFilterSave, kFormatGif); }
int ViewerExportAvi(Viewer& viewer) { return Export(viewer, kFilterWriteFrames, kFormatAvi); }
int ViewerExportSpr(Viewer& viewer) { return Export(viewer, kFilterSave, kFormatSpr); }
int ViewerExportApng(Viewer& viewer) { return Export(viewer, kFilterWriteFrames, kFormatApng); }
int ViewerExportFlc(Viewer& viewer) { return Export(viewer, kFilterWriteFrames, kFormatFlic); }

ExportSlot::~ExportSlot() {
    end();  // stops it within a frame, leaving no file
}

bool ExportSlot::start(const ExportJobParams& params, Status* error) {
    job_ = ExportJobStart(params, error);
    return job_ != nullptr;
}

Status ExportSlot::end() {
    if (!job_) return {};
    const Status error = ExportJobEnd(job_);
    job_ = nullptr;
    return error;
}

void ViewerExportEnded(Viewer& viewer) { ReportError(viewer.window, viewer.exports.end()); }

// ---- Boxes ----------------------------------------------------------------------------

// "FLI" or "FLC", as the file's header says.
const char* FileFlicKind(const char* path) {
    MappedFile file;
    if (MappedFileOpen(path, &file) != MapResult::ok) return "FLC";
    const char* kind = FlicKind(file.data, static_cast<size_t>(file.size));
    MappedFileClose(&file);
    return kind;
}

// "12.5 fps" for frames that each play `longest` ms; "varies, 2 to 10 fps"
// for frames of `shortest` to `longest` ms.
void FrameRateText(uint32_t shortest, uint32_t longest, char* out, size_t size) {
    auto rate = [](uint32_t delay, char* text, size_t length) {
        std::snprintf(text, length, "%.3f", 1000.0 / delay);
        char* end = text + std::strlen(text);
        while (end[-1] == '0') *--end = '\0';  // 12.500 -> 12.5, 25.000 -> 25
        if (end[-1] == '.') end[-1] = '\0';
    };
    char slow[32], fast[32];
    rate(longest, slow, sizeof slow);
    if (shortest == longest) {
        std::snprintf(out, size, "%s fps", slow);
        return;
    }
    rate(shortest, fast, sizeof fast);
    std::snprintf(out, size, "varies, %s to %s fps", slow, fast);
}

int ViewerShowInformation(Viewer& viewer) {
    if (!viewer.playback.frame()) return 0;  // the first frame is still being decoded
    const FramePicture first = FrameFeedFirstPicture(viewer.playback.feed());
    const FrameFeedStatus status = viewer.playback.status();
    const FileFormat* format = FrameFeedFormat(viewer.playback.feed());
    char type[128];
    const char* description = format && format->description ? format->description : "Unknown";
    if (format && format->id == kFormatFlic)
        wsprintfA(type, "%s (%s)", description, FileFlicKind(viewer.path));
    else
        lstrcpynA(type, description, sizeof type);

    // 2 to the power of the depth; 32 bits per pixel give a count that does
    // not fit a 32-bit integer, so the number is written in 64 bits.
    char colors[24];
    const uint64_t count = uint64_t{1} << first.depth;
    *std::to_chars(colors, colors + sizeof colors - 1, count).ptr = '\0';

    char message[640];
    int length = wsprintfA(message, "Type: %s\n\nWidth: %d\nHeight: %d\nColor Depth: %s colors\n\nTotal frame number: %d frame(s)",
                           type, first.width, first.height, colors, static_cast<int>(status.count));
    const uint64_t duration = FrameFeedDuration(viewer.playback.feed());
    if (status.count > 1) {
        char text[64];
        DurationText(duration, text, sizeof text);
        length += wsprintfA(message + length, "\nDuration: %s", text);
        uint32_t shortest = first.delay, longest = first.delay;  // a FLIC's frames all play as long
        FrameFeedDelayRange(viewer.playback.feed(), &shortest, &longest);
        if (shortest > 0) {
            FrameRateText(shortest, longest, text, sizeof text);
            length += wsprintfA(message + length, "\nFrame rate: %s", text);
        }
    }
    WIN32_FILE_ATTRIBUTE_DATA file;
    if (GetFileAttributesExW(WideFileName(viewer.path).c_str(), GetFileExInfoStandard, &file)) {
        char size[24];
        *std::to_chars(size, size + sizeof size - 1, (uint64_t{file.nFileSizeHigh} << 32) | file.nFileSizeLow).ptr = '\0';
        length += wsprintfA(message + length, "\nFile size: %s bytes", size);
    }
    char note[128];
    ViewerLoadNote(viewer, note, sizeof note);
    if (note[0]) wsprintfA(message + length, "\n(%s)", note);
    Box(viewer.window, message, "Information", MB_ICONINFORMATION);
    return 1;
}

int ViewerShowAbout(Viewer& viewer) {
    Box(viewer.window, kAboutText, "About", MB_ICONINFORMATION);
    return 1;
}
