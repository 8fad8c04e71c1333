// The viewer's commands through the real save dialog, message boxes, the
// "Video Compression" dialog and the export progress window: what each
// shows, the files written, the error boxes; and the AVI stream through
// Video for Windows.
#include <algorithm>
#include <cctype>
#include <utility>

#include "codecs/avi.h"
#include "codecs/avi_writer.h"
#include "codecs/export.h"
#include "image/convert.h"
#include "resources/resource.h"
#include "tests/support/avi_read.h"
#include "tests/win32/host.h"

using extract = HostTest;
using exports = HostTest;
using avi = HostTest;

namespace {

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The formats that the extract commands offer, in their order.
const std::vector<FormatId> kSaveTypes = {kFormatBmp, kFormatGif, kFormatPcx, kFormatTga, kFormatSpr, kFormatPng};
int TypeIndex(FormatId id) { return static_cast<int>(std::find(kSaveTypes.begin(), kSaveTypes.end(), id) - kSaveTypes.begin()); }

// Runs the command with the windows it is expected to show, then waits for
// its export to end; the progress window's lines.
std::vector<std::string> RunExport(HWND viewer, WORD command, std::vector<ExpectedWindow> windows) {
    ExpectWindows(std::move(windows));
    Command(viewer, command);
    std::vector<std::string> lines = WatchProgress().lines;
    EXPECT_TRUE(ExpectationMet());
    return lines;
}

// Hands a file to the check with ffprobe and ffmpeg that runs after the
// tests, as NAME in MOVREL_EXPORT_DIR.
void KeepForPeers(const std::string& file, const char* name) {
    const char* dir = std::getenv("MOVREL_EXPORT_DIR");
    if (!dir || !*dir) return;
    CreateDirectoryA(dir, nullptr);
    EXPECT_TRUE(CopyFileW(Wide(file).c_str(), Wide(std::string(dir) + "\\" + name).c_str(), FALSE));
}

// Every frame of an AVI file read back through Video for Windows against the
// source's; empty when all are the same.
std::string AviDifference(const std::string& file, const std::string& source) {
    AviRead read(file);
    if (read.error != kErrorNone) return std::string("not read: ") + ErrorMessage(read.error);
    Frames frames(source);
    std::string difference = read.frames == frames.count() ? "" : std::to_string(read.frames) + " frames";
    for (int n = 0; difference.empty() && n < frames.count(); ++n)
        if (const std::string d = PictureDifference(read.frame(n), frames[n]); !d.empty())
            difference = "frame " + std::to_string(n) + ": " + d;
    return difference;
}

const std::vector<uint8_t> kOldBytes = {'o', 'l', 'd'};

}  // namespace

// ---- Extracting frames ------------------------------------------------------------------------

TEST_F(extract, the_frame_on_screen_under_the_name_and_type_chosen) {
    OutputDir out("names");
    CreateDirectoryA(out.file("dir.v2").c_str(), nullptr);
    Lister lister(gFiles.fli, 0, 300, 200);
    PauseAt(lister.viewer(), 50);
    Frames fli(gFiles.fli);
    ASSERT_TRUE(WaitShows(lister.viewer(), fli[1]));
    const struct {
        WORD command;
        std::optional<std::string> typed;
        FormatId type;
        const char* written;  // relative to the directory
    } cases[] = {
        {IDM_EXTRACT_FRAME, std::nullopt, kFormatBmp, "Frame001.BMP"},        // the default name
        {IDM_EXTRACT_FRAME, "shot", kFormatPcx, "shot.PCX"},                  // no dot: the type's extension is added
        {IDM_EXTRACT_FRAME, "shot.png", kFormatBmp, "shot.png"},              // any extension stays as typed
        {IDM_EXTRACT_FRAME, "dir.v2\\shot", kFormatTga, "dir.v2\\shot.TGA"},  // a dot in the folder does not count
        {IDM_EXTRACT_FRAME, "pm", kFormatSpr, "pm.SPR"},  // the frames from the one on screen to the last
        {IDM_EXTRACT_ALL_FRAMES, "all.bmp", kFormatTga, "all.bmp002.TGA"},
        {IDM_EXTRACT_FRAME, "lossless", kFormatPng, "lossless.PNG"},
    };
    for (const auto& c : cases) {
        out.enter();
        SaveDialogView view;
        RunExport(lister.viewer(), c.command, {SaveDialog(&view, c.typed, TypeIndex(c.type))});
        EXPECT_EQ(view.types, (std::vector<std::string>{"Windows or OS/2 Bitmap (*.BMP;*.DIB)", "Graphics Interchange Format (*.GIF)",
                                                        "Zsoft Paintbrush (*.PCX)", "Truevision Targa (*.TGA)", "Pro Motion Animation (*.SPR)",
                                                        "Portable Network Graphics (*.PNG)"}));
        EXPECT_EQ(view.type, 0);
        EXPECT_EQ(Lower(view.folder), Lower(gFiles.fli.substr(0, gFiles.fli.rfind('\\'))));  // the animation's
        EXPECT_EQ(view.owner, lister.parent());
        ChainPtr written = Load(out.file(c.written));
        ASSERT_TRUE(written && ImageFormat(written.get())) << c.written;
        EXPECT_EQ(ImageFormat(written.get())->id, c.type);
        EXPECT_EQ(PictureDifference(written.get(), fli[c.command == IDM_EXTRACT_ALL_FRAMES ? 2 : 1]), "");
        EXPECT_EQ(Frames(out.file(c.written)).count(), c.type == kFormatSpr ? 2 : 1);
    }
    const std::string written =
        "{Frame001.BMP, all.bmp000.TGA, all.bmp001.TGA, all.bmp002.TGA, dir.v2, lossless.PNG, pm.SPR, shot.PCX, shot.png}";
    EXPECT_EQ(out.list(), written);
    EXPECT_EQ(out.list("dir.v2"), "{shot.TGA}");
    EXPECT_TRUE(Shows(lister.viewer(), fli[1]));  // still paused there
    // Cancelled: nothing written, nothing shown.
    for (WORD command : {IDM_EXTRACT_FRAME, IDM_EXTRACT_ALL_FRAMES}) {
        out.enter();
        SaveDialogView view;
        ExpectWindows({CancelSaveDialog(&view)});
        Command(lister.viewer(), command);
        EXPECT_TRUE(ExpectationMet());
    }
    EXPECT_EQ(out.list(), written);
}

TEST_F(extract, a_file_the_added_extension_lands_on_is_replaced_only_when_the_user_says_so) {
    OutputDir out("replace1");
    const std::string target = out.file("shot.PCX");
    WriteBytes(target, kOldBytes);
    Lister lister(gFiles.fli, 0, 300, 200);
    SaveDialogView view;
    BoxSeen box;
    for (int button : {IDNO, IDYES}) {
        // The dialog sees "shot", which does not exist; the file is shot.PCX.
        out.enter();
        ExpectWindows({SaveDialog(&view, "shot", TypeIndex(kFormatPcx)), AnswerBox(&box, button)});
        Command(lister.viewer(), IDM_EXTRACT_FRAME);
        EXPECT_TRUE(ExpectationMet());
        EXPECT_EQ(box.caption, "Confirm Save As");
        EXPECT_EQ(box.text, "shot.PCX already exists.\nDo you want to replace it?");
        EXPECT_EQ(box.owner, lister.parent());
        EXPECT_EQ(out.list(), "{shot.PCX}");
        EXPECT_EQ(ReadBytes(target) == kOldBytes, button == IDNO);
    }
    // Typed with its extension, the name was the dialog's to ask about: no second question.
    out.enter();
    WriteBytes(target, kOldBytes);
    ExpectWindows({SaveDialog(&view, "shot.PCX", TypeIndex(kFormatPcx)), AnswerBox(&box, IDYES)});
    Command(lister.viewer(), IDM_EXTRACT_FRAME);
    EXPECT_TRUE(ExpectationMet());
    EXPECT_NE(ReadBytes(target), kOldBytes);
}

TEST_F(extract, all_frames_stop_at_the_first_failure) {
    OutputDir out("allfail");
    // A folder where the second file should go: its save fails.
    CreateDirectoryA(out.file("Frame001.BMP").c_str(), nullptr);
    Lister lister(gFiles.fli, 0, 300, 200);
    SaveDialogView view;
    BoxSeen box;
    RunExport(lister.viewer(), IDM_EXTRACT_ALL_FRAMES, {SaveDialog(&view), AnswerBox(&box)});
    EXPECT_EQ(std::make_pair(box.caption, box.text), std::make_pair(std::string("Error"), std::string("Write error")));
    EXPECT_EQ(box.owner, lister.parent());
    // One file, the folder, no third frame and no temporary file.
    EXPECT_EQ(out.list(), "{Frame000.BMP, Frame001.BMP}");
    EXPECT_EQ(out.list("Frame001.BMP"), "{}");
}

// A frame fetched while the dialog is open is shown, but the frame saved
// is the one on screen when the command came, whose number the name carries.
TEST_F(extract, the_frame_saved_is_the_one_the_name_numbers) {
    OutputDir out("arriving");
    Lister lister(gFiles.film, 0, 300, 200);
    HWND viewer = lister.viewer();
    Frames film(gFiles.film);
    PauseAt(viewer, 0);
    ASSERT_TRUE(WaitShows(viewer, film[0]));
    out.enter();
    // Frame 3000 is decoded on the worker and can only arrive once the
    // window's thread runs the dialog's loop: the dialog waits for it.
    PauseAt(viewer, 50);
    const Image* fetched = film[3000];
    SaveDialogView view;
    ExpectedWindow save = SaveDialog(&view);
    ExpectWindows({{"#32770", [&, accept = save.act](HWND dialog) {
                        SetWindowPos(dialog, nullptr, 400, 300, 0, 0, SWP_NOSIZE | SWP_NOZORDER);  // off the picture
                        return Shows(viewer, fetched) && accept(dialog);
                    }}});
    Command(viewer, IDM_EXTRACT_FRAME);
    EXPECT_TRUE(ExpectationMet());
    const int number = std::atoi(view.name.c_str() + view.name.find_first_of("0123456789"));
    EXPECT_LT(number, 3000) << view.name;  // 0, or 1 where the step that pauses was on screen first
    const std::string saved = out.list();
    ASSERT_EQ(saved, "{" + view.name + ".BMP}");
    EXPECT_EQ(PictureDifference(Load(out.file(view.name + ".BMP")).get(), film[number]), "");
}

// A save that fails says why: a folder that cannot be written (/sys takes
// no new file, whoever runs the tests) and one that is not there.
TEST_F(extract, a_failed_save_gives_the_reason) {
    OutputDir out("reasons");
    Lister lister(gFiles.fli, 0, 300, 200);
    const struct {
        WORD command;
        std::string name;
        const char* says;
    } cases[] = {{IDM_EXTRACT_FRAME, "Z:\\sys\\shot.bmp", "Write error: access denied"},
                 {IDM_EXTRACT_ALL_FRAMES, "Z:\\sys\\Frame", "Write error: access denied"},
                 {IDM_EXTRACT_FRAME, out.file("missing\\shot.bmp"), "Write error: the folder does not exist"},
                 {IDM_EXPORT_GIF, out.file("missing\\anim.gif"), "Write error: the folder does not exist"}};
    for (const auto& c : cases) {
        out.enter();
        SaveDialogView view;
        BoxSeen box;
        ExpectWindows({SaveDialog(&view, c.name), AnswerBox(&box)});
        Command(lister.viewer(), c.command);
        if (c.command != IDM_EXTRACT_FRAME) WatchProgress();
        EXPECT_TRUE(ExpectationMet()) << c.name;
        EXPECT_EQ(box.text, c.says) << c.name;
    }
    EXPECT_EQ(out.list(), "{}");
}

TEST_F(extract, all_frames_ask_once_before_replacing_numbered_files) {
    OutputDir out("replaceall");
    WriteBytes(out.file("Frame000.BMP"), kOldBytes);
    WriteBytes(out.file("Frame002.BMP"), kOldBytes);
    Lister lister(gFiles.fli, 0, 300, 200);
    SaveDialogView view;
    BoxSeen box;
    for (int button : {IDNO, IDYES}) {
        out.enter();
        RunExport(lister.viewer(), IDM_EXTRACT_ALL_FRAMES, {SaveDialog(&view), AnswerBox(&box, button)});
        EXPECT_EQ(box.text, "2 of the files from Frame000.BMP to Frame002.BMP already exist.\nDo you want to replace them?");
        EXPECT_EQ(out.list(), button == IDNO ? "{Frame000.BMP, Frame002.BMP}" : "{Frame000.BMP, Frame001.BMP, Frame002.BMP}");
        for (const char* name : {"Frame000.BMP", "Frame002.BMP"}) EXPECT_EQ(ReadBytes(out.file(name)) == kOldBytes, button == IDNO);
    }
}

TEST_F(extract, names_past_260_characters) {
    // The longest full path the dialog takes; with the extension (and the
    // frame number) it is past the plain form's limit.
    Lister lister(gFiles.fli, 0, 300, 200);
    for (WORD command : {IDM_EXTRACT_FRAME, IDM_EXTRACT_ALL_FRAMES}) {
        OutputDir out(command == IDM_EXTRACT_FRAME ? "long1" : "long2");
        const std::string typed(259 - out.path().size() - 1, 'n');
        SaveDialogView view;
        RunExport(lister.viewer(), command, {SaveDialog(&view, typed, TypeIndex(kFormatBmp))});
        EXPECT_EQ(out.list(), command == IDM_EXTRACT_FRAME ? "{" + typed + ".BMP}"
                                                           : "{" + typed + "000.BMP, " + typed + "001.BMP, " + typed + "002.BMP}");
    }
}

// ---- Exports ------------------------------------------------------------------------------------

TEST_F(exports, a_failed_export_leaves_no_file) {
    // A true-colour picture cannot be written to a Pro Motion file.
    OutputDir out("failed");
    Lister lister(gFiles.deep, 0, 300, 200);
    SaveDialogView view;
    BoxSeen box;
    RunExport(lister.viewer(), IDM_EXPORT_SPR, {SaveDialog(&view, "broken"), AnswerBox(&box)});
    EXPECT_EQ(box.text, "Color not supported");
    EXPECT_EQ(out.list(), "{}");
}

// While an export runs, a command that would start another one opens no
// dialog (it beeps), extracting a frame as well; Esc then cancels the export.
TEST_F(exports, while_one_runs_no_other_opens_a_dialog) {
    OutputDir out("busy");
    Lister lister(gFiles.film, 0, 300, 200);
    SaveDialogView view;
    ExpectWindows({SaveDialog(&view, "busy")});
    Command(lister.viewer(), IDM_EXPORT_GIF);
    bool tried = false;
    WatchProgress([&](HWND progress, const std::string&) {
        if (std::exchange(tried, true)) return;
        for (WORD command : {IDM_EXTRACT_FRAME, IDM_EXTRACT_ALL_FRAMES, IDM_EXPORT_GIF, IDM_EXPORT_AVI, IDM_EXPORT_SPR})
            Command(lister.viewer(), command);
        PostMessageA(progress, WM_KEYDOWN, VK_ESCAPE, 0);
    });
    EXPECT_TRUE(tried);
    EXPECT_TRUE(ExpectationMet());
    EXPECT_EQ(out.list(), "{}");
}

TEST_F(exports, avi_through_the_compression_dialog_or_cancelled_in_either) {
    OutputDir out("avi");
    Lister lister(gFiles.sample, 0, 400, 300);
    SaveDialogView view;
    ExpectWindows({SaveDialog(&view), CompressionDialog(true)});
    SendKey(lister.viewer(), 'I', Ctrl::left);
    WatchProgress();
    EXPECT_TRUE(ExpectationMet());
    const std::string written = out.list();
    ASSERT_EQ(Lower(written), "{sample.avi}");  // the dialog adds the extension
    const std::string file = out.file(written.substr(1, written.size() - 2));
    EXPECT_EQ(AviDifference(file, gFiles.sample), "");
    KeepForPeers(file, "viewer-sample.avi");
    // Cancelled in either dialog: no file, not even a temporary one, and no
    // message. (After the save dialog's cancel, a compression dialog would
    // be an unexpected window.)
    for (bool saved : {false, true}) {
        out.enter();
        std::vector<ExpectedWindow> windows{CancelSaveDialog(&view)};
        if (saved) windows = {SaveDialog(&view, "cancelled"), CompressionDialog(false)};
        ExpectWindows(windows);
        Command(lister.viewer(), IDM_EXPORT_AVI);
        EXPECT_TRUE(ExpectationMet());
        EXPECT_EQ(out.list(), written);
    }
}

TEST_F(exports, avi_that_cannot_be_put_in_place_shows_a_write_error) {
    OutputDir out("avifail");
    // An existing sample.avi, held open without sharing: the finished export
    // cannot replace it, and the user must hear of it.
    const std::string target = out.file("sample.avi");
    HANDLE held = CreateFileA(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(held, "old", 3, &written, nullptr));
    Lister lister(gFiles.sample, 0, 400, 300);
    SaveDialogView view;
    BoxSeen replace, box;
    RunExport(lister.viewer(), IDM_EXPORT_AVI, {SaveDialog(&view), AnswerBox(&replace, IDYES), CompressionDialog(true), AnswerBox(&box)});
    CloseHandle(held);
    EXPECT_EQ(box.text, "Write error");
    // The old file as it was, and no temporary file beside it.
    EXPECT_EQ(out.list(), "{sample.avi}");
    EXPECT_EQ(ReadBytes(target).size(), 3u);
}

TEST_F(exports, an_existing_file_is_replaced_only_when_the_user_says_so) {
    Lister lister(gFiles.fli, 0, 300, 200);
    const std::pair<WORD, const char*> commands[] = {{IDM_EXPORT_GIF, "anim.GIF"}, {IDM_EXPORT_AVI, "anim.AVI"}, {IDM_EXPORT_SPR, "anim.SPR"},
                                                     {IDM_EXPORT_APNG, "anim.PNG"}, {IDM_EXPORT_FLC, "anim.FLC"}};
    for (const auto& [command, leaf] : commands) {
        OutputDir out(leaf);
        const std::string target = out.file(leaf);
        WriteBytes(target, kOldBytes);
        // The dialog adds the extension before it looks for the file, and
        // asks; after a No it stays open for another name.
        SaveDialogView view;
        BoxSeen prompt;
        ExpectWindows({SaveDialog(&view, "anim"), AnswerBox(&prompt, IDNO), CancelSaveDialog(&view, true)});
        Command(lister.viewer(), command);
        EXPECT_TRUE(ExpectationMet());
        EXPECT_EQ(ReadBytes(target), kOldBytes);

        out.enter();
        std::vector<ExpectedWindow> windows{SaveDialog(&view, "anim"), AnswerBox(&prompt, IDYES)};
        if (command == IDM_EXPORT_AVI) windows.push_back(CompressionDialog(true));
        RunExport(lister.viewer(), command, std::move(windows));
        EXPECT_NE(ReadBytes(target), kOldBytes);
        EXPECT_EQ(Lower(out.list()), Lower(std::string("{") + leaf + "}"));  // under the name the dialog gave
    }
}

// Each export of a long file shows its progress, counting up to every frame,
// and writes every frame.
TEST_F(exports, a_long_file_in_every_format) {
    OutputDir out("long");
    Lister lister(gFiles.strip, 0, 300, 200);
    const struct {
        WPARAM key;
        const char* caption;
        const char* name;  // as typed
    } exports[] = {{'G', "Exporting", "лента.gif"},  // and a name outside the ANSI code page
                   {'I', "Exporting", "strip.avi"},
                   {'M', "Exporting", "strip.spr"},
                   {'T', "Extracting frames", "strip"}};
    for (const auto& e : exports) {
        out.enter();
        SaveDialogView view;
        std::vector<ExpectedWindow> windows{SaveDialog(&view, e.name)};
        if (e.key == 'I') windows.push_back(CompressionDialog(true));
        ExpectWindows(windows);
        SendKey(lister.viewer(), e.key, Ctrl::left);
        const ProgressSeen progress = WatchProgress();
        EXPECT_TRUE(ExpectationMet());
        EXPECT_EQ(progress.caption, e.caption);
        EXPECT_EQ(progress.owner, lister.parent());
        // A count from the first line on (frames read by a pass before the
        // writing, then written) that only rises, to the last frame, with
        // the bar; the file being written is named.
        int last = -1, read = 0, total = 0;
        for (const std::string& line : progress.lines) {
            const int done = FramesWritten(line, &total);
            if (done < 0 && std::sscanf(line.c_str(), "Reading the frames: %d of %d", &read, &total) != 2) {
                ADD_FAILURE() << line;
                continue;
            }
            EXPECT_TRUE(done < 0 || (done > last && total == 1000)) << line;
            last = std::max(last, done);
        }
        ASSERT_FALSE(progress.lines.empty());
        EXPECT_EQ(progress.lines.back(), "1000 of 1000 frames written");
        EXPECT_TRUE(std::is_sorted(progress.bar.begin(), progress.bar.end()));
        EXPECT_EQ(progress.bar.back(), 1000);
        ASSERT_FALSE(progress.files.empty());
        const std::string shown = progress.files.back(), leaf = e.key == 'T' ? "strip999.BMP" : e.name;
        EXPECT_EQ(shown.substr(shown.size() - std::min(shown.size(), leaf.size())), leaf);
        const std::string file = out.file(e.name);
        if (e.key == 'I') {
            EXPECT_EQ(AviDifference(file, gFiles.strip), "");
        } else if (e.key == 'T') {
            Frames strip(gFiles.strip);
            for (int n = 0; n < 1000; n += 111) {
                char name[32];
                wsprintfA(name, "strip%03d.BMP", n);
                EXPECT_EQ(PictureDifference(Load(out.file(name)).get(), strip[n]), "") << name;
            }
            const std::string names = out.list();
            EXPECT_EQ(std::count(names.begin(), names.end(), ','), 1000 + 3 - 1);  // and the three files before
        } else {
            EXPECT_EQ(FramesDifference(file, gFiles.strip), "") << e.name;
        }
        Progress();
    }
}

// ---- The AVI stream through Video for Windows ----------------------------------------------

namespace {

// An animation through the export driver, its dialog owned by a lister's window.
int ExportAvi(const std::string& path, const std::string& input, ExportRequest* request) {
    Lister owner(gFiles.still, 0, 200, 150);
    Frames frames(input);
    *request = ExportRequest{};
    request->formatId = kFormatAvi;
    request->fileName = path.c_str();
    request->owner = owner.parent();
    request->source = frames.source_;
    return ExportAnimation(request);
}

}  // namespace

TEST_F(avi, export_and_read_back) {
    OutputDir out("avistream");
    // In a folder past the plain form's 260 characters, named outside the
    // ANSI code page, which Video for Windows reaches by its short name.
    std::string folder = out.path();
    for (const char* letter : {"д", "ж"}) {
        folder += "\\";
        for (int i = 0; i < 120; ++i) folder += letter;
        ASSERT_TRUE(CreateDirectoryW(Wide(folder).c_str(), nullptr));
    }
    const std::string file = folder + "\\кино.avi";
    ExportRequest request;
    ExpectWindows({CompressionDialog(true)});
    EXPECT_EQ(ExportAvi(file, gFiles.sample, &request), 1) << ErrorMessage(request.error.error);
    EXPECT_TRUE(ExpectationMet());
    EXPECT_EQ(request.written, 24);
    EXPECT_EQ(out.list(folder.substr(out.path().size() + 1)), "{кино.avi}");
    KeepForPeers(file, "stream-sample.avi");
    EXPECT_EQ(AviDifference(file, gFiles.sample), "");
}

TEST_F(avi, past_the_part_size_the_file_goes_on_as_opendml) {
    OutputDir out("avilong");
    ChainPtr sample = Load(gFiles.sample);
    WriteBytes(out.file("long.avi"), kOldBytes);
    AviInjectPartSize(3 * static_cast<uint64_t>(ImageBitsSize(sample.get())));  // a few frames a part
    ExportRequest request;
    ExpectWindows({CompressionDialog(true)});
    EXPECT_EQ(ExportAvi(out.file("long.avi"), gFiles.sample, &request), 1) << ErrorMessage(request.error.error);
    AviInjectPartSize(0);
    EXPECT_TRUE(ExpectationMet());
    EXPECT_EQ(request.written, 24);
    EXPECT_EQ(out.list(), "{long.avi}");
    const std::vector<uint8_t> file = ReadBytes(out.file("long.avi"));
    EXPECT_NE(std::search(file.begin(), file.end(), std::begin("AVIX"), std::end("AVIX") - 1), file.end());
    KeepForPeers(out.file("long.avi"), "stream-opendml.avi");  // ffmpeg reads it through its indexes
}

TEST_F(avi, palette_frames_go_to_microsoft_rle_as_they_are) {
    OutputDir out("avirle");
    Lister lister(gFiles.sample, 0, 400, 300);
    SaveDialogView view;
    ExpectWindows({SaveDialog(&view, "rle"), CompressionDialog(true, "RLE")});
    SendKey(lister.viewer(), 'I', Ctrl::left);
    WatchProgress();
    EXPECT_TRUE(ExpectationMet());
    ASSERT_EQ(Lower(out.list()), "{rle.avi}");
    const std::vector<uint8_t> file = ReadBytes(out.file(out.list().substr(1, 7)));
    EXPECT_NE(std::search(file.begin(), file.end(), std::begin("00pc"), std::end("00pc") - 1), file.end())
        << "the sample's colour changes as palette changes";
    KeepForPeers(out.file(out.list().substr(1, 7)), "viewer-msrle.avi");  // ffmpeg decodes the sample's frames
}
