// The viewer's commands through the real save dialog, message boxes and the
// "Video Compression" dialog, answered from the helper thread: what each
// dialog shows, the files written, the error boxes, and playback after.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "formats/save.h"
#include "image/convert.h"
#include "resources/resource.h"
#include "tests/support/flic_writer.h"
#include "tests/win32/host.h"

using extract = HostTest;
using exports = HostTest;
using menu = HostTest;

namespace {

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string LeafOf(const std::string& path) { return path.substr(path.find_last_of('\\') + 1); }

// Writes a one-frame picture of the given depth with the host's own BMP saver.
std::string MakeBmp(const std::string& path, int depth) {
    Image* image = ImageCreate(40, 30, depth);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x) ImageSetPixel(image, x, y, static_cast<uint32_t>(x * 6 + y * 0x60A00 + 0x10203));
    SaveRequest request{kFormatBmp, nullptr, nullptr, kErrorNone};
    EXPECT_EQ(ImageSaveFile(image, path.c_str(), &request), 1);
    ImageDestroy(image);
    return path;
}

// A FLIC file whose frames are flat colours, with the given first delay.
std::string MakeFlic(const std::string& path, int frames, uint32_t speedMs) {
    FlicWriter writer(0xAF12, 24, 16, speedMs);
    std::vector<Rgb> colors;
    for (int i = 0; i < 256; ++i) colors.push_back({static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i), 90});
    for (int i = 0; i < frames; ++i) {
        writer.frame();
        if (i == 0) writer.color256({{0, colors}});
        writer.copy(Picture(24, 16, static_cast<uint8_t>(30 * i + 5)));
    }
    WriteBytes(path, writer.finish());
    return path;
}

// ---- What the dialogs show ---------------------------------------------------------------

// The formats that the extract commands offer, in their order.
const std::vector<FormatId> kSaveTypes = {kFormatBmp, kFormatGif, kFormatPcx, kFormatTga, kFormatSpr};

int TypeIndex(FormatId id) {
    return static_cast<int>(std::find(kSaveTypes.begin(), kSaveTypes.end(), id) - kSaveTypes.begin());
}

std::string TypeText(FormatId id) {
    switch (id) {
        case kFormatBmp: return "Windows or OS/2 Bitmap (*.BMP;*.DIB)";
        case kFormatGif: return "Graphics Interchange Format (*.GIF)";
        case kFormatPcx: return "Zsoft Paintbrush (*.PCX)";
        case kFormatTga: return "Truevision Targa (*.TGA)";
        case kFormatAvi: return "Audio Video Interleaved animation file (*.AVI)";
        default: return "Pro Motion Animation (*.SPR)";
    }
}

// The save dialog as the user saw it, and that the viewer owned it.
void CheckDialog(HWND viewer, const SaveDialogView& view, const std::vector<FormatId>& types, const std::string& name,
                 const OutputDir& dir) {
    std::vector<std::string> texts;
    for (FormatId id : types) texts.push_back(TypeText(id));
    EXPECT_EQ(view.types, texts);
    EXPECT_EQ(view.type, 0);
    EXPECT_EQ(view.name, name);
    EXPECT_EQ(Lower(view.folder), Lower(dir.path()));
    const std::vector<SaveDialogCall> calls = TakeSaveDialogCalls();
    EXPECT_TRUE(calls.size() == 1 && calls[0].owner == viewer);
}

// The name chosen in the one save dialog since the last take.
std::string ChosenFile() {
    const std::vector<SaveDialogCall> calls = TakeSaveDialogCalls();
    EXPECT_TRUE(calls.size() == 1 && calls[0].result);
    return calls.size() == 1 ? calls[0].chosenFile : std::string();
}

// The error boxes as the plug-in asked for them: the viewer's, with the
// system's caption and the error icon.
void CheckErrorBoxes(HWND viewer, const std::vector<std::string>& texts) {
    const std::vector<MessageBoxCall> boxes = TakeMessageBoxCalls();
    ASSERT_EQ(boxes.size(), texts.size());
    for (size_t i = 0; i < boxes.size(); ++i) {
        EXPECT_EQ(boxes[i].owner, viewer);
        EXPECT_EQ(boxes[i].text, texts[i]);
        EXPECT_FALSE(boxes[i].caption.has_value());
        EXPECT_EQ(boxes[i].type, static_cast<UINT>(MB_ICONERROR));
    }
}

// The question the viewer asks before it replaces files that the save
// dialog did not ask about.
void CheckReplaceQuestion(HWND viewer, const BoxSeen& box, const std::string& text) {
    EXPECT_EQ(box.text, text);
    const std::vector<MessageBoxCall> calls = TakeMessageBoxCalls();
    EXPECT_TRUE(calls.size() == 1 && calls[0].owner == viewer && calls[0].caption == "Confirm Save As" &&
                calls[0].type == static_cast<UINT>(MB_YESNO | MB_ICONWARNING));
}

// Pauses the viewer on frame n by stepping to it.
void StepTo(Lister& lister, int n) {
    Command(lister.viewer(), IDM_PAUSE);
    while (lister.state()->frameCounter != n) {
        Command(lister.viewer(), IDM_NEXT_FRAME);
        ASSERT_TRUE(WaitForFrameChange(lister));
    }
    EXPECT_EQ(lister.state()->paused, 1);
}

// A name whose full path in `dir` is `length` characters long, without a dot.
std::string NameOfLength(const OutputDir& dir, size_t length) { return std::string(length - dir.path().size() - 1, 'n'); }

const std::vector<uint8_t> kOldBytes = {'o', 'l', 'd'};

}  // namespace

// ---- Extract frame -------------------------------------------------------------------------------

TEST_F(extract, frame_7_of_the_sample_as_bmp) {
    OutputDir out("frame7");
    Lister lister(gFiles.sample, 0, 0, 0, 400, 300);
    ASSERT_TRUE(lister.viewer());
    StepTo(lister, 7);
    SaveDialogView view;
    ExpectWindows({SaveDialog(&view)});
    SendKey(lister.viewer(), 'E', Ctrl::left);
    EXPECT_TRUE(ExpectationMet());
    CheckDialog(lister.viewer(), view, kSaveTypes, "Frame007", out);
    EXPECT_EQ(NameList(out.entries()), "{Frame007.BMP}");
    CheckErrorBoxes(lister.viewer(), {});
    ChainPtr written(ImageLoadFile(out.file("Frame007.BMP").c_str(), nullptr));
    ChainPtr sample = Decode(gFiles.sample);
    ASSERT_TRUE(written && ImageFormat(written.get()));
    EXPECT_EQ(ImageFormat(written.get())->id, kFormatBmp);
    EXPECT_EQ(PictureDifference(written.get(), FrameAt(sample.get(), 7)), "");
    // Still paused on the frame that was saved.
    EXPECT_EQ(lister.state()->paused, 1);
    EXPECT_EQ(lister.state()->frameCounter, 7);
}

TEST_F(extract, typed_names_types_and_cancel) {
    OutputDir out("names");
    CreateDirectoryA(out.file("dir.v2").c_str(), nullptr);
    Lister lister(gFiles.fli, 0, 0, 0, 300, 200);
    ViewerState* state = lister.state();
    ASSERT_TRUE(state);
    SetDelays(state, {60000});  // no tick while the test runs
    ChainPtr source = Decode(gFiles.fli);
    const struct {
        const char* typed;
        FormatId type;
        const char* written;  // relative to the directory
    } cases[] = {
        {"shot", kFormatPcx, "shot.PCX"},                  // no dot: the type's extension is added
        {"shot.png", kFormatBmp, "shot.png"},              // any extension stays as typed
        {"dir.v2\\shot", kFormatTga, "dir.v2\\shot.TGA"},  // a dot in the folder does not count
        {"pm", kFormatSpr, "pm.SPR"},
    };
    for (const auto& c : cases) {
        out.enter();
        // Stepping when the command comes: paused, with the step still armed.
        Command(lister.viewer(), IDM_NEXT_FRAME);
        SaveDialogView view;
        ExpectWindows({SaveDialog(&view, c.typed, TypeIndex(c.type))});
        Command(lister.viewer(), IDM_EXTRACT_FRAME);
        EXPECT_TRUE(ExpectationMet());
        EXPECT_EQ(std::make_pair(state->paused, state->singleStep), std::make_pair(1, 1));
        const std::vector<SaveDialogCall> calls = TakeSaveDialogCalls();
        EXPECT_TRUE(calls.size() == 1 && calls[0].chosenFilterIndex == static_cast<DWORD>(TypeIndex(c.type) + 1));
        CheckErrorBoxes(lister.viewer(), {});
        ChainPtr written(ImageLoadFile(out.file(c.written).c_str(), nullptr));
        ASSERT_TRUE(written && ImageFormat(written.get())) << c.written;
        EXPECT_EQ(ImageFormat(written.get())->id, c.type);
        EXPECT_EQ(PictureDifference(written.get(), FrameAt(source.get(), 0)), "");
        // A Pro Motion file holds the frames from the one on screen to the last.
        EXPECT_EQ(ImageCount(written.get()), c.type == kFormatSpr ? 3 : 1);
    }
    EXPECT_EQ(NameList(out.entries()), "{dir.v2, pm.SPR, shot.PCX, shot.png}");
    EXPECT_EQ(NameList(out.entries("dir.v2")), "{shot.TGA}");

    // Cancelled: nothing written, nothing shown, still paused.
    out.enter();
    Command(lister.viewer(), IDM_PAUSE);
    EXPECT_EQ(state->paused, 0);
    SaveDialogView view;
    ExpectWindows({CancelSaveDialog(&view)});
    Command(lister.viewer(), IDM_EXTRACT_FRAME);
    EXPECT_TRUE(ExpectationMet());
    EXPECT_EQ(state->paused, 1);
    EXPECT_EQ(NameList(out.entries()), "{dir.v2, pm.SPR, shot.PCX, shot.png}");
    EXPECT_TRUE(TakeMessageBoxCalls().empty());
}

TEST_F(extract, a_file_the_added_extension_lands_on_is_replaced_only_when_the_user_says_so) {
    OutputDir out("replace1");
    const std::string target = out.file("shot.PCX");
    WriteBytes(target, kOldBytes);
    Lister lister(gFiles.fli, 0, 0, 0, 300, 200);
    SaveDialogView view;
    BoxSeen box;
    for (int button : {IDNO, IDYES}) {
        // The dialog sees "shot", which does not exist; the file is shot.PCX.
        out.enter();
        ExpectWindows({SaveDialog(&view, "shot", TypeIndex(kFormatPcx)), AnswerBox(&box, button)});
        Command(lister.viewer(), IDM_EXTRACT_FRAME);
        EXPECT_TRUE(ExpectationMet());
        CheckReplaceQuestion(lister.viewer(), box, "shot.PCX already exists.\nDo you want to replace it?");
        EXPECT_EQ(NameList(out.entries()), "{shot.PCX}");
        EXPECT_EQ(ReadBytes(target) == kOldBytes, button == IDNO);
    }
    // Typed with its extension, the name was the dialog's to ask about: no second question.
    out.enter();
    WriteBytes(target, kOldBytes);
    ExpectWindows({SaveDialog(&view, "shot.PCX", TypeIndex(kFormatPcx)), AnswerBox(&box, IDYES)});
    Command(lister.viewer(), IDM_EXTRACT_FRAME);
    EXPECT_TRUE(ExpectationMet());
    CheckErrorBoxes(lister.viewer(), {});
    EXPECT_NE(ReadBytes(target), kOldBytes);
}

// ---- Extract all frames ------------------------------------------------------------------------

TEST_F(extract, all_frames_of_the_sample_as_bmp) {
    OutputDir out("all");
    Lister lister(gFiles.sample, 0, 0, 0, 400, 300);
    ASSERT_TRUE(lister.viewer());
    SaveDialogView view;
    ExpectWindows({SaveDialog(&view)});
    SendKey(lister.viewer(), 'T', Ctrl::left);
    EXPECT_TRUE(ExpectationMet());
    CheckDialog(lister.viewer(), view, kSaveTypes, "Frame", out);
    CheckErrorBoxes(lister.viewer(), {});
    EXPECT_EQ(lister.state()->paused, 1);
    ChainPtr sample = Decode(gFiles.sample);
    std::vector<std::string> expected;
    int n = 0;
    for (const Image* frame = sample.get(); frame; frame = ImageNext(frame), ++n) {
        char name[32];
        wsprintfA(name, "Frame%03d.BMP", n);
        expected.push_back(name);
        ChainPtr written(ImageLoadFile(out.file(name).c_str(), nullptr));
        EXPECT_EQ(PictureDifference(written.get(), frame), "") << name;
    }
    EXPECT_EQ(n, 24);
    EXPECT_EQ(NameList(out.entries()), NameList(expected));
}

TEST_F(extract, all_frames_keep_a_typed_extension_in_the_base) {
    OutputDir out("allnames");
    Lister lister(gFiles.fli, 0, 0, 0, 300, 200);
    SaveDialogView view;
    ExpectWindows({SaveDialog(&view, "shot.bmp", TypeIndex(kFormatTga))});
    Command(lister.viewer(), IDM_EXTRACT_ALL_FRAMES);
    EXPECT_TRUE(ExpectationMet());
    EXPECT_EQ(NameList(out.entries()), "{shot.bmp000.TGA, shot.bmp001.TGA, shot.bmp002.TGA}");
    ChainPtr source = Decode(gFiles.fli);
    for (int n = 0; n < 3; ++n) {
        char name[32];
        wsprintfA(name, "shot.bmp%03d.TGA", n);
        ChainPtr written(ImageLoadFile(out.file(name).c_str(), nullptr));
        ASSERT_TRUE(written);
        EXPECT_EQ(ImageFormat(written.get())->id, kFormatTga);
        EXPECT_EQ(PictureDifference(written.get(), FrameAt(source.get(), n)), "");
    }
    // Cancelled: nothing more, still paused.
    out.enter();
    Command(lister.viewer(), IDM_PAUSE);
    ExpectWindows({CancelSaveDialog(&view)});
    Command(lister.viewer(), IDM_EXTRACT_ALL_FRAMES);
    EXPECT_TRUE(ExpectationMet());
    EXPECT_EQ(lister.state()->paused, 1);
    EXPECT_EQ(out.entries().size(), 3u);
    EXPECT_TRUE(TakeMessageBoxCalls().empty());
}

TEST_F(extract, all_frames_stop_at_the_first_failure) {
    OutputDir out("allfail");
    // A folder where the second file should go: its save fails.
    CreateDirectoryA(out.file("Frame001.BMP").c_str(), nullptr);
    Lister lister(gFiles.fli, 0, 0, 0, 300, 200);
    SaveDialogView view;
    BoxSeen box;
    ExpectWindows({SaveDialog(&view), AnswerBox(&box)});
    Command(lister.viewer(), IDM_EXTRACT_ALL_FRAMES);
    EXPECT_TRUE(ExpectationMet());
    CheckErrorBoxes(lister.viewer(), {"Write error"});
    EXPECT_EQ(box.caption, "Error");
    EXPECT_EQ(box.text, "Write error");
    // One file, the folder, no third frame and no temporary file.
    EXPECT_EQ(NameList(out.entries()), "{Frame000.BMP, Frame001.BMP}");
    EXPECT_TRUE(out.entries("Frame001.BMP").empty());
}

TEST_F(extract, all_frames_ask_once_before_replacing_numbered_files) {
    OutputDir out("replaceall");
    WriteBytes(out.file("Frame000.BMP"), kOldBytes);
    WriteBytes(out.file("Frame002.BMP"), kOldBytes);
    Lister lister(gFiles.fli, 0, 0, 0, 300, 200);
    SaveDialogView view;
    BoxSeen box;
    for (int button : {IDNO, IDYES}) {
        out.enter();
        ExpectWindows({SaveDialog(&view), AnswerBox(&box, button)});
        Command(lister.viewer(), IDM_EXTRACT_ALL_FRAMES);
        EXPECT_TRUE(ExpectationMet());
        CheckReplaceQuestion(lister.viewer(), box,
                             "2 of the files from Frame000.BMP to Frame002.BMP already exist.\nDo you want to replace them?");
        EXPECT_EQ(NameList(out.entries()),
                  button == IDNO ? "{Frame000.BMP, Frame002.BMP}" : "{Frame000.BMP, Frame001.BMP, Frame002.BMP}");
        for (const char* name : {"Frame000.BMP", "Frame002.BMP"}) EXPECT_EQ(ReadBytes(out.file(name)) == kOldBytes, button == IDNO);
    }
}

TEST_F(extract, names_past_260_characters) {
    OutputDir out("long");
    Lister lister(gFiles.fli, 0, 0, 0, 300, 200);
    // The longest full path the dialog takes; with the extension (and the
    // frame number) it is past the plain form's limit and is written in the
    // long-path form.
    const std::string typed = NameOfLength(out, 259);
    const std::pair<WORD, std::string> commands[] = {
        {IDM_EXTRACT_FRAME, "{" + typed + ".BMP}"},
        {IDM_EXTRACT_ALL_FRAMES, "{" + typed + "000.BMP, " + typed + "001.BMP, " + typed + "002.BMP}"}};
    for (const auto& [command, written] : commands) {
        out.enter();
        SaveDialogView view;
        ExpectWindows({SaveDialog(&view, typed, TypeIndex(kFormatBmp))});
        Command(lister.viewer(), command);
        EXPECT_TRUE(ExpectationMet());
        EXPECT_EQ(ChosenFile().size(), 259u);
        CheckErrorBoxes(lister.viewer(), {});
        EXPECT_EQ(NameList(out.entries()), written);
        for (const std::string& name : out.entries()) DeleteFileW(Wide(out.file(name)).c_str());
    }
}

// ---- Exports ---------------------------------------------------------------------------------------

TEST_F(exports, dialogs_start_on_the_source_name) {
    OutputDir out("exportnames");
    const std::vector<uint8_t> fli = ReadBytes(gFiles.fli);
    const std::pair<const char*, const char*> sources[] = {
        {"intro.fli", "intro"}, {"my.clip.flc", "my.clip"}, {"noext", "noext"}, {"Мультфильм 動画.fli", "Мультфильм 動画"}};
    const std::pair<WORD, FormatId> commands[] = {{IDM_EXPORT_GIF, kFormatGif}, {IDM_EXPORT_AVI, kFormatAvi}, {IDM_EXPORT_SPR, kFormatSpr}};
    for (const auto& [file, defaultName] : sources) {
        const std::string path = gFiles.dir + "\\" + file;
        WriteBytes(path, fli);
        Lister lister(path, 0, 0, 0, 300, 200);
        ASSERT_TRUE(lister.viewer());
        for (const auto& [command, type] : commands) {
            out.enter();
            SaveDialogView view;
            ExpectWindows({CancelSaveDialog(&view)});
            Command(lister.viewer(), command);
            EXPECT_TRUE(ExpectationMet());
            CheckDialog(lister.viewer(), view, {type}, defaultName, out);
            // Exports leave playback running behind their dialogs.
            EXPECT_EQ(lister.state()->paused, 0);
        }
        DeleteFileW(Wide(path).c_str());
    }
    EXPECT_TRUE(out.entries().empty());
    EXPECT_TRUE(TakeMessageBoxCalls().empty());
}

TEST_F(exports, pro_motion_animation) {
    OutputDir out("spr");
    Lister lister(gFiles.fli, 0, 0, 0, 300, 200);
    SaveDialogView view;
    ExpectWindows({SaveDialog(&view)});
    SendKey(lister.viewer(), 'M', Ctrl::left);
    EXPECT_TRUE(ExpectationMet());
    // The dialog adds the default extension to the name it was given.
    const std::string chosen = ChosenFile();
    EXPECT_EQ(Lower(LeafOf(chosen)), "anim.spr");
    EXPECT_EQ(out.entries(), std::vector<std::string>{LeafOf(chosen)});
    ChainPtr written(ImageLoadFile(chosen.c_str(), nullptr));
    ChainPtr source = Decode(gFiles.fli);
    ASSERT_TRUE(written);
    EXPECT_EQ(ImageFormat(written.get())->id, kFormatSpr);
    EXPECT_EQ(ImageCount(written.get()), 3);
    for (int n = 0; n < 3; ++n) EXPECT_EQ(PictureDifference(FrameAt(written.get(), n), FrameAt(source.get(), n)), "");
    CheckErrorBoxes(lister.viewer(), {});
    EXPECT_EQ(lister.state()->paused, 0);
}

TEST_F(exports, animated_gif) {
    OutputDir out("gif");
    Lister lister(gFiles.sample, 0, 0, 0, 400, 300);
    SaveDialogView view;
    ExpectWindows({SaveDialog(&view, "анимация")});  // and a name outside the ANSI code page
    SendKey(lister.viewer(), 'G', Ctrl::left);
    EXPECT_TRUE(ExpectationMet());
    EXPECT_EQ(lister.state()->paused, 0);
    CheckErrorBoxes(lister.viewer(), {});
    const std::string chosen = ChosenFile();
    EXPECT_EQ(Lower(LeafOf(chosen)), "анимация.gif");
    EXPECT_EQ(out.entries(), std::vector<std::string>{LeafOf(chosen)});
    ChainPtr written(ImageLoadFile(chosen.c_str(), nullptr));
    ChainPtr sample = Decode(gFiles.sample);
    ASSERT_TRUE(written);
    EXPECT_EQ(ImageFormat(written.get())->id, kFormatGif);
    EXPECT_EQ(ImageCount(written.get()), ImageCount(sample.get()));
    const Image* got = written.get();
    for (const Image* want = sample.get(); want && got; want = ImageNext(want), got = ImageNext(got)) {
        EXPECT_EQ(PictureDifference(got, want), "");
        EXPECT_EQ(ImageGetDelay(got), ImageGetDelay(want));
    }
}

TEST_F(exports, a_failed_export_leaves_no_file) {
    OutputDir out("giffail");
    // The second frame, swapped for a 24-bit copy, cannot be written to a Pro
    // Motion file (GIF reduces its colours instead).
    Lister lister(gFiles.fli, 0, 0, 0, 300, 200);
    ViewerState* state = lister.state();
    ASSERT_TRUE(state);
    Image* second = ImageNext(state->first);
    Image* deep = ImageConvert(second, 24);
    deep->prev = state->first;
    deep->next = second->next;
    second->next->prev = deep;
    state->first->next = deep;
    second->next = nullptr;
    if (state->current == second) state->current = deep;
    ImageDestroy(second);
    for (WORD command : {IDM_EXPORT_SPR}) {
        out.enter();
        SaveDialogView view;
        BoxSeen box;
        ExpectWindows({SaveDialog(&view, "broken"), AnswerBox(&box)});
        Command(lister.viewer(), command);
        EXPECT_TRUE(ExpectationMet());
        CheckErrorBoxes(lister.viewer(), {"Color not supported"});
        EXPECT_TRUE(out.entries().empty());
    }
}

// ---- AVI --------------------------------------------------------------------------------------------

namespace {

struct AviHeader {
    uint32_t scale = 0, rate = 0, length = 0;
};

// The first video stream header of an AVI file.
AviHeader ReadAviHeader(const std::vector<uint8_t>& bytes) {
    auto u32 = [&](size_t at) {
        return uint32_t{bytes[at]} | uint32_t{bytes[at + 1]} << 8 | uint32_t{bytes[at + 2]} << 16 | uint32_t{bytes[at + 3]} << 24;
    };
    for (size_t at = 12; at + 48 <= bytes.size(); ++at)
        if (std::memcmp(&bytes[at], "strh", 4) == 0 && std::memcmp(&bytes[at + 8], "vids", 4) == 0)
            return {u32(at + 28), u32(at + 32), u32(at + 40)};
    return {};
}

}  // namespace

TEST_F(exports, avi_through_the_compression_dialog) {
    OutputDir out("avi");
    Lister lister(gFiles.sample, 0, 0, 0, 400, 300);
    SaveDialogView view;
    ExpectWindows({SaveDialog(&view), CompressionDialog(true)});
    SendKey(lister.viewer(), 'I', Ctrl::left);
    EXPECT_TRUE(ExpectationMet());
    const std::string chosen = ChosenFile();
    EXPECT_EQ(Lower(LeafOf(chosen)), "sample.avi");
    EXPECT_EQ(out.entries(), std::vector<std::string>{LeafOf(chosen)});
    const AviHeader header = ReadAviHeader(ReadBytes(chosen));
    EXPECT_EQ(header.scale, 1u);
    EXPECT_EQ(header.rate, 12u);  // 1000 / 80 ms
    EXPECT_EQ(header.length, 24u);
    KeepForPeers(chosen, "viewer-sample.avi");
    EXPECT_TRUE(TakeMessageBoxCalls().empty());
    EXPECT_EQ(lister.state()->paused, 0);

    // A first frame slower than a second gives a rate of 1.
    out.enter();
    Lister slow(MakeFlic(gFiles.dir + "\\slow.flc", 2, 1500), 0, 0, 0, 300, 200);
    ExpectWindows({SaveDialog(&view), CompressionDialog(true)});
    Command(slow.viewer(), IDM_EXPORT_AVI);
    EXPECT_TRUE(ExpectationMet());
    const AviHeader slowHeader = ReadAviHeader(ReadBytes(ChosenFile()));
    EXPECT_EQ(std::make_pair(slowHeader.rate, slowHeader.scale), std::make_pair(1u, 1u));
    EXPECT_EQ(slowHeader.length, 2u);
}

TEST_F(exports, avi_cancelled_in_either_dialog_writes_nothing) {
    OutputDir out("avicancel");
    Lister lister(gFiles.sample, 0, 0, 0, 400, 300);
    SaveDialogView view;
    // Cancelled in the save dialog: no compression dialog follows (it
    // would be an unexpected window).
    for (const std::vector<ExpectedWindow>& windows : {std::vector<ExpectedWindow>{CancelSaveDialog(&view)},
                                                       std::vector<ExpectedWindow>{SaveDialog(&view), CompressionDialog(false)}}) {
        out.enter();
        ExpectWindows(windows);
        Command(lister.viewer(), IDM_EXPORT_AVI);
        EXPECT_TRUE(ExpectationMet());
        // No file, not even a temporary one, and no message.
        EXPECT_EQ(NameList(out.entries()), "{}");
        EXPECT_TRUE(TakeMessageBoxCalls().empty());
        EXPECT_EQ(lister.state()->paused, 0);
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
    Lister lister(gFiles.sample, 0, 0, 0, 400, 300);
    SaveDialogView view;
    BoxSeen replace, box;
    ExpectWindows({SaveDialog(&view), AnswerBox(&replace, IDYES), CompressionDialog(true), AnswerBox(&box)});
    Command(lister.viewer(), IDM_EXPORT_AVI);
    EXPECT_TRUE(ExpectationMet());
    CloseHandle(held);
    CheckErrorBoxes(lister.viewer(), {"Write error"});
    // The old file as it was, and no temporary file beside it.
    EXPECT_EQ(NameList(out.entries()), "{sample.avi}");
    EXPECT_EQ(ReadBytes(target).size(), 3u);
}

TEST_F(exports, an_existing_file_is_replaced_only_when_the_user_says_so) {
    Lister lister(gFiles.fli, 0, 0, 0, 300, 200);
    const std::pair<WORD, const char*> commands[] = {{IDM_EXPORT_GIF, "anim.GIF"}, {IDM_EXPORT_AVI, "anim.AVI"}, {IDM_EXPORT_SPR, "anim.SPR"}};
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
        EXPECT_EQ(NameList(out.entries()), NameList({leaf}));

        out.enter();
        std::vector<ExpectedWindow> windows{SaveDialog(&view, "anim"), AnswerBox(&prompt, IDYES)};
        if (command == IDM_EXPORT_AVI) windows.push_back(CompressionDialog(true));
        ExpectWindows(windows);
        Command(lister.viewer(), command);
        EXPECT_TRUE(ExpectationMet());
        EXPECT_NE(ReadBytes(target), kOldBytes);
        // Under the name the dialog gave, which may differ in case.
        EXPECT_EQ(Lower(NameList(out.entries())), Lower(NameList({leaf})));
        CheckErrorBoxes(lister.viewer(), {});
    }
}

// ---- Information ------------------------------------------------------------------------------------

TEST_F(menu, information_box_of_deep_pictures) {
    const std::pair<int, const char*> cases[] = {{24, "16777216"}, {32, "4294967296"}};
    for (const auto& [depth, colors] : cases) {
        Lister lister(MakeBmp(gFiles.dir + "\\deep" + std::to_string(depth) + ".bmp", depth), 0, 0, 0, 300, 200);
        ASSERT_TRUE(lister.viewer());
        BoxSeen box;
        ExpectWindows({AnswerBox(&box)});
        SendKey(lister.viewer(), 'I', Ctrl::none);
        EXPECT_TRUE(ExpectationMet());
        // No FLIC suffix for another format.
        EXPECT_EQ(box.text, std::string("Type: Windows or OS/2 Bitmap\n\nWidth: 40\nHeight: 30\nColor Depth: ") + colors +
                                " colors\n\nTotal frame number: 1 frame(s)");
        const std::vector<MessageBoxCall> calls = TakeMessageBoxCalls();
        EXPECT_TRUE(calls.size() == 1 && calls[0].caption == "Information" && calls[0].type == MB_ICONINFORMATION &&
                    calls[0].owner == lister.viewer());
    }
}
