// The viewer's commands through the real save dialog, message boxes and the
// "Video Compression" dialog, answered from the helper thread: what each
// dialog was given, the files written, the error boxes, and playback after.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "codecs/avi.h"
#include "formats/save.h"
#include "image/convert.h"
#include "resources/resource.h"
#include "tests/support/flic_writer.h"
#include "tests/win32/host.h"
#include "tools/md5.h"

namespace {

// ---- Files ---------------------------------------------------------------------------------

// A fresh directory for what one test writes, made the process's current
// directory: the save dialogs start in "." and relative names land there.
class OutputDir {
public:
    explicit OutputDir(const char* name) : path_(gFiles.dir + "\\" + name) {
        CreateDirectoryA(path_.c_str(), nullptr);
        enter();
    }
    ~OutputDir() { SetCurrentDirectoryA(gFiles.dir.c_str()); }
    OutputDir(const OutputDir&) = delete;
    OutputDir& operator=(const OutputDir&) = delete;

    // The dialog moves the current directory to wherever the user saved.
    void enter() const { SetCurrentDirectoryA(path_.c_str()); }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "\\" + name; }
    // Names in the directory, sorted, without "." and "..".
    std::vector<std::string> entries(const std::string& subdirectory = "") const {
        std::vector<std::string> names;
        WIN32_FIND_DATAA entry;
        const std::string dir = subdirectory.empty() ? path_ : file(subdirectory);
        HANDLE find = FindFirstFileA((dir + "\\*").c_str(), &entry);
        if (find == INVALID_HANDLE_VALUE) return names;
        do {
            const std::string name = entry.cFileName;
            if (name != "." && name != "..") names.push_back(name);
        } while (FindNextFileA(find, &entry));
        FindClose(find);
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    std::string path_;
};

std::string NameList(const std::vector<std::string>& names) {
    std::string text = "{";
    for (const std::string& name : names) text += (text.size() > 1 ? ", " : "") + name;
    return text + "}";
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string LeafOf(const std::string& path) {
    const size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Writes a one-frame picture of the given depth with the host's own BMP saver.
std::string MakeBmp(const std::string& path, int depth) {
    Image* image = ImageCreate(40, 30, depth);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x) ImageSetPixel(image, x, y, static_cast<uint32_t>(x * 6 + y * 0x60A00 + 0x10203));
    SaveRequest request{kFormatBmp, nullptr, nullptr, kErrorNone};
    const bool saved = ImageSaveFile(image, path.c_str(), &request) == 1;
    ImageDestroy(image);
    CHECK(saved);
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

// How a picture differs from another one: empty when every pixel is the same.
std::string PictureDifference(const Image* got, const Image* want) {
    if (!got) return "no picture";
    if (ImageWidth(got) != ImageWidth(want) || ImageHeight(got) != ImageHeight(want))
        return "size " + std::to_string(ImageWidth(got)) + "x" + std::to_string(ImageHeight(got));
    for (int y = 0; y < ImageHeight(want); ++y)
        for (int x = 0; x < ImageWidth(want); ++x)
            if (PixelColor(got, x, y) != PixelColor(want, x, y))
                return "pixel (" + std::to_string(x) + ", " + std::to_string(y) + ") differs";
    return "";
}

// The frame as `movrel framemd5` hashes it: packed top-down RGB24.
std::string RgbMd5(const Image* image) {
    Md5 md5;
    for (int y = 0; y < ImageHeight(image); ++y)
        for (int x = 0; x < ImageWidth(image); ++x) {
            const uint32_t c = PixelColor(image, x, y);
            const uint8_t rgb[3] = {static_cast<uint8_t>(c >> 16), static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c)};
            md5.update(rgb, 3);
        }
    return md5.hexDigest();
}

// The md5 of frame n in `movrel framemd5` output of the sample, which the
// test script leaves in the file named by MOVREL_SAMPLE_FRAMEMD5; empty when
// the host runs without it.
std::string SampleFrameMd5(int n) {
    const char* file = std::getenv("MOVREL_SAMPLE_FRAMEMD5");
    if (!file || !*file) return "";
    const std::vector<uint8_t> bytes = ReadBytes(file);
    std::string text(bytes.begin(), bytes.end());
    size_t start = 0;
    for (int line = 0; line < n && start != std::string::npos; ++line) {
        start = text.find('\n', start);
        if (start != std::string::npos) ++start;
    }
    if (start == std::string::npos) return "?";
    const size_t end = text.find_first_of("\r\n", start);
    const std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    return line.substr(line.find_last_of(',') + 1);
}

// ---- What the dialogs are given ---------------------------------------------------------------

bool HaveGif() { return FormatFind(kFormatGif) != nullptr; }

struct FilterEntry {
    FormatId id;
    const char* display;
    const char* patterns;
};
constexpr FilterEntry kFilterEntries[] = {
    {kFormatBmp, "Windows or OS/2 Bitmap (*.BMP;*.DIB)", "*.BMP;*.DIB"},
    {kFormatGif, "Graphics Interchange Format (*.GIF)", "*.GIF"},
    {kFormatPcx, "Zsoft Paintbrush (*.PCX)", "*.PCX"},
    {kFormatTga, "Truevision Targa (*.TGA)", "*.TGA"},
    {kFormatAvi, "Audio Video Interleaved animation file (*.AVI)", "*.AVI"},
    {kFormatSpr, "Pro Motion Animation (*.SPR)", "*.SPR"},
};

// The formats that the extract commands offer, in their order. GIF is there
// once the GIF codec is registered.
std::vector<FormatId> SaveTypes() {
    if (HaveGif()) return {kFormatBmp, kFormatGif, kFormatPcx, kFormatTga, kFormatSpr};
    return {kFormatBmp, kFormatPcx, kFormatTga, kFormatSpr};
}

int TypeIndex(FormatId id) {
    const std::vector<FormatId> types = SaveTypes();
    return static_cast<int>(std::find(types.begin(), types.end(), id) - types.begin());
}

const FilterEntry& EntryOf(FormatId id) {
    for (const FilterEntry& entry : kFilterEntries)
        if (entry.id == id) return entry;
    return kFilterEntries[0];
}

std::optional<std::string> FilterText(const std::vector<FormatId>& ids) {
    std::string text;
    for (FormatId id : ids) {
        text += EntryOf(id).display;
        text += '\0';
        text += EntryOf(id).patterns;
        text += '\0';
    }
    text += '\0';
    if (ids.empty()) text += '\0';  // an empty filter is two NULs
    return text;
}

std::vector<std::string> DisplayTexts(const std::vector<FormatId>& ids) {
    std::vector<std::string> texts;
    for (FormatId id : ids) texts.push_back(EntryOf(id).display);
    return texts;
}

// Every member of the dialog structure as the commands fill it.
void CheckDialogSetup(const SaveDialogCall& call, HWND viewer, const std::vector<FormatId>& types,
                      const std::string& defaultName, const std::optional<std::string>& defaultExtension) {
    CHECK_EQ(call.structSize, sizeof(void*) == 8 ? 136ul : 76ul);
    CHECK(call.owner == viewer);
    CHECK(call.instance == gPlugin.module);
    CHECK_EQ(call.filter, FilterText(types));
    CHECK(!call.customFilter);
    CHECK_EQ(call.maxCustomFilter, 0ul);
    CHECK_EQ(call.filterIndex, 0ul);
    CHECK_EQ(call.file, std::optional<std::string>(defaultName));
    CHECK_EQ(call.maxFile, 260ul);
    CHECK(!call.fileTitle);
    CHECK_EQ(call.maxFileTitle, 0ul);
    CHECK_EQ(call.initialDir, std::optional<std::string>("."));
    CHECK_EQ(call.title, std::optional<std::string>());
    CHECK_EQ(call.flags, static_cast<DWORD>(OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY));
    CHECK_EQ(call.fileOffset + call.fileExtension, 0);
    CHECK_EQ(call.defaultExtension, defaultExtension);
    CHECK_EQ(call.custData, LPARAM{0});
    CHECK(!call.hook && !call.templateName);
}

// What the system shows for it: the type list, the name, the folder.
void CheckDialogView(const SaveDialogView& view, const std::vector<FormatId>& types, const std::string& name,
                     const OutputDir& dir) {
    CHECK_EQ(NameList(view.types), NameList(DisplayTexts(types)));
    CHECK_EQ(view.type, types.empty() ? -1 : 0);
    CHECK_EQ(view.name, name);
    CHECK_EQ(Lower(view.folder), Lower(dir.path()));
}

// ---- Answering ------------------------------------------------------------------------------

// The save dialog: read, then answered with a name (nullopt keeps the
// default) and a type entry (-1 keeps the first), or cancelled.
ExpectedWindow SaveDialog(SaveDialogView* view, std::optional<std::string> name = std::nullopt, int type = -1) {
    return {"#32770", [=](HWND dialog) {
                *view = ReadSaveDialog(dialog);
                return !view->title.empty() && AcceptSaveDialog(dialog, name, type);
            }};
}

// again: the dialog that stayed open after a No to its overwrite prompt.
ExpectedWindow CancelSaveDialog(SaveDialogView* view, bool again = false) {
    return {"#32770",
            [=](HWND dialog) {
                *view = ReadSaveDialog(dialog);
                if (view->title.empty()) return false;
                PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
                return true;
            },
            again};
}

struct BoxSeen {
    std::string caption;
    std::string text;
};

// A message box, read and answered with `button`.
ExpectedWindow AnswerBox(BoxSeen* seen, int button) {
    return {"#32770", [=](HWND box) {
                seen->caption = WindowText(box);
                seen->text = DialogItemText(box, 0xFFFF);
                if (seen->caption.empty()) return false;
                ClickButton(box, button);
                return true;
            }};
}

ExpectedWindow MessageBoxOk(BoxSeen* seen) { return AnswerBox(seen, IDOK); }

ExpectedWindow CompressionDialog(bool ok) {
    return {"#32770", [=](HWND dialog) { return AnswerCompressionDialog(dialog, ok); }};
}

// The error box as the plug-in asked for it: the viewer's, with the system's
// caption and the error icon.
void CheckErrorBoxes(HWND viewer, const std::vector<std::string>& texts) {
    const std::vector<MessageBoxCall> boxes = TakeMessageBoxCalls();
    CHECK_EQ(boxes.size(), texts.size());
    for (size_t i = 0; i < boxes.size() && i < texts.size(); ++i) {
        CHECK(boxes[i].owner == viewer);
        CHECK_EQ(boxes[i].text, texts[i]);
        CHECK_EQ(boxes[i].caption, std::optional<std::string>());
        CHECK_EQ(boxes[i].type, static_cast<UINT>(MB_ICONERROR));
    }
}

// Pauses the viewer on frame n by stepping to it.
void StepTo(Lister& lister, int n) {
    Command(lister.viewer(), IDM_PAUSE);
    while (lister.state()->frameCounter != n) {
        Command(lister.viewer(), IDM_NEXT_FRAME);
        if (WaitForFrameChange(lister, 2000) < 0) break;
    }
    CHECK_EQ(lister.state()->frameCounter, n);
    CHECK_EQ(lister.state()->paused, 1);
}

// A name whose full path in `dir` is `length` characters long, without a dot.
std::string NameOfLength(const OutputDir& dir, size_t length) {
    return std::string(length - dir.path().size() - 1, 'n');
}

}  // namespace

// ---- Extract frame -------------------------------------------------------------------------------

HOST_TEST(extract, frame_7_of_the_sample_as_bmp) {
    OutputDir out("frame7");
    Lister lister(gFiles.sample, 0, 0, 0, 400, 300);
    CHECK(lister.viewer());
    if (!lister.viewer()) return;
    StepTo(lister, 7);
    SaveDialogView view;
    ExpectWindows({SaveDialog(&view)});
    SendKey(lister.viewer(), 'E', Ctrl::left);
    CHECK(ExpectationMet());

    const std::vector<SaveDialogCall> calls = TakeSaveDialogCalls();
    CHECK_EQ(calls.size(), size_t{1});
    if (calls.size() != 1) return;
    CheckDialogSetup(calls[0], lister.viewer(), SaveTypes(), "Frame007", std::nullopt);
    CheckDialogView(view, SaveTypes(), "Frame007", out);
    CHECK_EQ(NameList(out.entries()), "{Frame007.BMP}");
    CheckErrorBoxes(lister.viewer(), {});

    ChainPtr written(ImageLoadFile(out.file("Frame007.BMP").c_str(), nullptr));
    ChainPtr sample = Decode(gFiles.sample);
    CHECK(written && ImageFormat(written.get()) && ImageFormat(written.get())->id == kFormatBmp);
    CHECK_EQ(PictureDifference(written.get(), FrameAt(sample.get(), 7)), std::string());
    const std::string md5 = SampleFrameMd5(7);
    if (!md5.empty() && written) CHECK_EQ(RgbMd5(written.get()), md5);
    if (md5.empty()) Note("MOVREL_SAMPLE_FRAMEMD5 not set: compared with the host's own decoding only");
    // Still paused on the frame that was saved.
    CHECK_EQ(lister.state()->paused, 1);
    CHECK_EQ(lister.state()->frameCounter, 7);
}

HOST_TEST(extract, typed_names_types_and_cancel) {
    OutputDir out("names");
    CreateDirectoryA(out.file("dir.v2").c_str(), nullptr);
    Lister lister(gFiles.fli, 0, 0, 0, 300, 200);
    ViewerState* state = lister.state();
    CHECK(state);
    if (!state) return;
    SetDelays(state, {60000});  // no tick while the test runs
    ChainPtr source = Decode(gFiles.fli);
    const struct {
        const char* typed;
        FormatId type;
        const char* written;  // relative to the directory
    } cases[] = {
        {"shot", kFormatPcx, "shot.PCX"},            // no dot: the type's extension is added
        {"shot.png", kFormatBmp, "shot.png"},        // any extension stays as typed
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
        CHECK(ExpectationMet());
        CHECK_EQ(state->paused, 1);
        CHECK_EQ(state->singleStep, 1);
        const std::vector<SaveDialogCall> calls = TakeSaveDialogCalls();
        CHECK(calls.size() == 1 && calls[0].chosenFilterIndex == static_cast<DWORD>(TypeIndex(c.type) + 1));
        CheckErrorBoxes(lister.viewer(), {});
        ChainPtr written(ImageLoadFile(out.file(c.written).c_str(), nullptr));
        CHECK(written);
        if (!written) continue;
        CHECK(ImageFormat(written.get()) && ImageFormat(written.get())->id == c.type);
        CHECK_EQ(PictureDifference(written.get(), FrameAt(source.get(), 0)), std::string());
        // A Pro Motion file holds the frames from the one on screen to the last.
        CHECK_EQ(ImageCount(written.get()), c.type == kFormatSpr ? 3 : 1);
    }
    CHECK_EQ(NameList(out.entries()), "{dir.v2, pm.SPR, shot.PCX, shot.png}");
    CHECK_EQ(NameList(out.entries("dir.v2")), "{shot.TGA}");

    // Cancelled: nothing written, nothing shown, still paused.
    out.enter();
    Command(lister.viewer(), IDM_PAUSE);
    CHECK_EQ(state->paused, 0);
    SaveDialogView view;
    ExpectWindows({CancelSaveDialog(&view)});
    Command(lister.viewer(), IDM_EXTRACT_FRAME);
    CHECK(ExpectationMet());
    CHECK_EQ(state->paused, 1);
    CHECK_EQ(NameList(out.entries()), "{dir.v2, pm.SPR, shot.PCX, shot.png}");
    CHECK(TakeMessageBoxCalls().empty());
}

HOST_TEST(extract, a_name_without_room_for_the_extension_is_refused) {
    OutputDir out("long1");
    Lister lister(gFiles.fli, 0, 0, 0, 300, 200);
    // A full path of 255 characters takes ".BMP" and fits the 260-byte buffer
    // with its NUL; one of 256 does not.
    for (size_t length : {size_t{256}, size_t{255}}) {
        out.enter();
        const std::string typed = NameOfLength(out, length);
        SaveDialogView view;
        BoxSeen box;
        std::vector<ExpectedWindow> windows{SaveDialog(&view, typed, TypeIndex(kFormatBmp))};
        if (length == 256) windows.push_back(MessageBoxOk(&box));
        ExpectWindows(windows);
        Command(lister.viewer(), IDM_EXTRACT_FRAME);
        CHECK(ExpectationMet());
        const std::vector<SaveDialogCall> calls = TakeSaveDialogCalls();
        CHECK(calls.size() == 1 && calls[0].result && calls[0].chosenFile.size() == length);
        if (length == 256) {
            CheckErrorBoxes(lister.viewer(), {"The file name is too long: there is no room for its extension."});
            CHECK_EQ(box.caption, std::string("Error"));
            CHECK(out.entries().empty());
        } else {
            CheckErrorBoxes(lister.viewer(), {});
            CHECK_EQ(NameList(out.entries()), "{" + typed + ".BMP}");
        }
    }
}

// The question the viewer asks before it replaces files that the save
// dialog did not ask about.
void CheckReplaceQuestion(HWND viewer, const BoxSeen& box, const std::string& text) {
    CHECK_EQ(box.text, text);
    const std::vector<MessageBoxCall> calls = TakeMessageBoxCalls();
    CHECK(calls.size() == 1 && calls[0].owner == viewer && calls[0].caption == std::optional<std::string>("Confirm Save As") &&
          calls[0].type == static_cast<UINT>(MB_YESNO | MB_ICONWARNING));
}

const std::vector<uint8_t> kOldBytes = {'o', 'l', 'd'};

HOST_TEST(extract, a_file_the_added_extension_lands_on_is_replaced_only_when_the_user_says_so) {
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
        CHECK(ExpectationMet());
        CheckReplaceQuestion(lister.viewer(), box, "shot.PCX already exists.\nDo you want to replace it?");
        CHECK_EQ(NameList(out.entries()), "{shot.PCX}");
        CHECK_EQ(ReadBytes(target) == kOldBytes, button == IDNO);
    }
    // Typed with its extension, the name was the dialog's to ask about: no second question.
    out.enter();
    WriteBytes(target, kOldBytes);
    ExpectWindows({SaveDialog(&view, "shot.PCX", TypeIndex(kFormatPcx)), AnswerBox(&box, IDYES)});
    Command(lister.viewer(), IDM_EXTRACT_FRAME);
    CHECK(ExpectationMet());
    CheckErrorBoxes(lister.viewer(), {});
    CHECK(ReadBytes(target) != kOldBytes);
}

// ---- Extract all frames ------------------------------------------------------------------------

HOST_TEST(extract, all_frames_of_the_sample_as_bmp) {
    OutputDir out("all");
    Lister lister(gFiles.sample, 0, 0, 0, 400, 300);
    CHECK(lister.viewer());
    if (!lister.viewer()) return;
    SaveDialogView view;
    ExpectWindows({SaveDialog(&view)});
    SendKey(lister.viewer(), 'T', Ctrl::left);
    CHECK(ExpectationMet());
    const std::vector<SaveDialogCall> calls = TakeSaveDialogCalls();
    CHECK_EQ(calls.size(), size_t{1});
    if (calls.size() == 1) CheckDialogSetup(calls[0], lister.viewer(), SaveTypes(), "Frame", std::nullopt);
    CheckDialogView(view, SaveTypes(), "Frame", out);
    CheckErrorBoxes(lister.viewer(), {});
    CHECK_EQ(lister.state()->paused, 1);

    ChainPtr sample = Decode(gFiles.sample);
    std::vector<std::string> expected;
    int n = 0;
    for (const Image* frame = sample.get(); frame; frame = ImageNext(frame), ++n) {
        char name[32];
        wsprintfA(name, "Frame%03d.BMP", n);
        expected.push_back(name);
        ChainPtr written(ImageLoadFile(out.file(name).c_str(), nullptr));
        const std::string difference = PictureDifference(written.get(), frame);
        if (!difference.empty()) CheckFailed(__FILE__, __LINE__, std::string(name) + ": " + difference);
        const std::string md5 = SampleFrameMd5(n);
        if (!md5.empty() && written) CHECK_EQ(RgbMd5(written.get()), md5);
    }
    CHECK_EQ(n, 24);
    CHECK_EQ(NameList(out.entries()), NameList(expected));
}

HOST_TEST(extract, all_frames_keep_a_typed_extension_in_the_base) {
    OutputDir out("allnames");
    Lister lister(gFiles.fli, 0, 0, 0, 300, 200);
    SaveDialogView view;
    ExpectWindows({SaveDialog(&view, "shot.bmp", TypeIndex(kFormatTga))});
    Command(lister.viewer(), IDM_EXTRACT_ALL_FRAMES);
    CHECK(ExpectationMet());
    CHECK_EQ(NameList(out.entries()), "{shot.bmp000.TGA, shot.bmp001.TGA, shot.bmp002.TGA}");
    ChainPtr source = Decode(gFiles.fli);
    for (int n = 0; n < 3; ++n) {
        ChainPtr written(ImageLoadFile(out.file("shot.bmp00" + std::to_string(n) + ".TGA").c_str(), nullptr));
        CHECK(written && ImageFormat(written.get())->id == kFormatTga);
        CHECK_EQ(PictureDifference(written.get(), FrameAt(source.get(), n)), std::string());
    }

    // Cancelled: nothing more, still paused.
    out.enter();
    Command(lister.viewer(), IDM_PAUSE);
    ExpectWindows({CancelSaveDialog(&view)});
    Command(lister.viewer(), IDM_EXTRACT_ALL_FRAMES);
    CHECK(ExpectationMet());
    CHECK_EQ(lister.state()->paused, 1);
    CHECK_EQ(out.entries().size(), size_t{3});
    CHECK(TakeMessageBoxCalls().empty());
}

HOST_TEST(extract, all_frames_stop_at_the_first_failure) {
    OutputDir out("allfail");
    // A folder where the second file should go: its save fails.
    CreateDirectoryA(out.file("Frame001.BMP").c_str(), nullptr);
    Lister lister(gFiles.fli, 0, 0, 0, 300, 200);
    SaveDialogView view;
    BoxSeen box;
    ExpectWindows({SaveDialog(&view), MessageBoxOk(&box)});
    Command(lister.viewer(), IDM_EXTRACT_ALL_FRAMES);
    CHECK(ExpectationMet());
    CheckErrorBoxes(lister.viewer(), {"Write error"});
    CHECK_EQ(box.caption, std::string("Error"));
    CHECK_EQ(box.text, std::string("Write error"));
    // One file, the folder, no third frame and no temporary file.
    CHECK_EQ(NameList(out.entries()), "{Frame000.BMP, Frame001.BMP}");
    CHECK(out.entries("Frame001.BMP").empty());
}

HOST_TEST(extract, all_frames_ask_once_before_replacing_numbered_files) {
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
        CHECK(ExpectationMet());
        CheckReplaceQuestion(lister.viewer(), box,
                             "2 of the files from Frame000.BMP to Frame002.BMP already exist.\nDo you want to replace them?");
        CHECK_EQ(NameList(out.entries()),
                 std::string(button == IDNO ? "{Frame000.BMP, Frame002.BMP}" : "{Frame000.BMP, Frame001.BMP, Frame002.BMP}"));
        for (const char* name : {"Frame000.BMP", "Frame002.BMP"}) CHECK_EQ(ReadBytes(out.file(name)) == kOldBytes, button == IDNO);
    }
}

HOST_TEST(extract, all_frames_without_room_for_number_and_extension_are_refused) {
    OutputDir out("long2");
    Lister lister(gFiles.fli, 0, 0, 0, 300, 200);
    // "000.BMP" after a base of 252 characters fills the 260 bytes exactly.
    for (size_t length : {size_t{253}, size_t{252}}) {
        out.enter();
        const std::string typed = NameOfLength(out, length);
        SaveDialogView view;
        BoxSeen box;
        std::vector<ExpectedWindow> windows{SaveDialog(&view, typed, TypeIndex(kFormatBmp))};
        if (length == 253) windows.push_back(MessageBoxOk(&box));
        ExpectWindows(windows);
        Command(lister.viewer(), IDM_EXTRACT_ALL_FRAMES);
        CHECK(ExpectationMet());
        if (length == 253) {
            CheckErrorBoxes(lister.viewer(),
                            {"The file name is too long: there is no room for the frame number and the extension."});
            CHECK(out.entries().empty());
        } else {
            CheckErrorBoxes(lister.viewer(), {});
            CHECK_EQ(NameList(out.entries()), "{" + typed + "000.BMP, " + typed + "001.BMP, " + typed + "002.BMP}");
        }
    }
}

// ---- Exports ---------------------------------------------------------------------------------------

HOST_TEST(exports, dialogs_start_on_the_source_name) {
    OutputDir out("exportnames");
    const std::vector<uint8_t> fli = ReadBytes(gFiles.fli);
    const struct {
        const char* file;
        const char* defaultName;
    } sources[] = {{"intro.fli", "intro"}, {"my.clip.flc", "my.clip"}, {"noext", "noext"}};
    const struct {
        WORD command;
        std::vector<FormatId> types;
        std::optional<std::string> extension;
    } exports[] = {
        {IDM_EXPORT_GIF, HaveGif() ? std::vector<FormatId>{kFormatGif} : std::vector<FormatId>{},
         HaveGif() ? std::optional<std::string>("GIF") : std::nullopt},
        {IDM_EXPORT_AVI, {kFormatAvi}, "AVI"},
        {IDM_EXPORT_SPR, {kFormatSpr}, "SPR"},
    };
    for (const auto& source : sources) {
        const std::string path = gFiles.dir + "\\" + source.file;
        WriteBytes(path, fli);
        Lister lister(path, 0, 0, 0, 300, 200);
        CHECK(lister.viewer());
        if (!lister.viewer()) continue;
        for (const auto& e : exports) {
            out.enter();
            SaveDialogView view;
            ExpectWindows({CancelSaveDialog(&view)});
            Command(lister.viewer(), e.command);
            CHECK(ExpectationMet());
            const std::vector<SaveDialogCall> calls = TakeSaveDialogCalls();
            CHECK_EQ(calls.size(), size_t{1});
            if (calls.size() == 1) CheckDialogSetup(calls[0], lister.viewer(), e.types, source.defaultName, e.extension);
            CheckDialogView(view, e.types, source.defaultName, out);
            // Exports leave playback running behind their dialogs.
            CHECK_EQ(lister.state()->paused, 0);
        }
        DeleteFileA(path.c_str());
    }
    CHECK(out.entries().empty());
    CHECK(TakeMessageBoxCalls().empty());
}

HOST_TEST(exports, pro_motion_animation) {
    OutputDir out("spr");
    Lister lister(gFiles.fli, 0, 0, 0, 300, 200);
    SaveDialogView view;
    ExpectWindows({SaveDialog(&view)});
    SendKey(lister.viewer(), 'M', Ctrl::left);
    CHECK(ExpectationMet());
    const std::vector<SaveDialogCall> calls = TakeSaveDialogCalls();
    CHECK_EQ(calls.size(), size_t{1});
    if (calls.size() != 1) return;
    // The dialog adds the default extension to the name it was given.
    CHECK_EQ(Lower(LeafOf(calls[0].chosenFile)), std::string("anim.spr"));
    CHECK_EQ(NameList(out.entries()), "{" + LeafOf(calls[0].chosenFile) + "}");
    ChainPtr written(ImageLoadFile(calls[0].chosenFile.c_str(), nullptr));
    ChainPtr source = Decode(gFiles.fli);
    CHECK(written && ImageFormat(written.get())->id == kFormatSpr);
    CHECK_EQ(ImageCount(written.get()), 3);
    for (int n = 0; n < 3 && written; ++n)
        CHECK_EQ(PictureDifference(FrameAt(written.get(), n), FrameAt(source.get(), n)), std::string());
    CheckErrorBoxes(lister.viewer(), {});
    CHECK_EQ(lister.state()->paused, 0);
}

HOST_TEST(exports, animated_gif) {
    OutputDir out("gif");
    Lister lister(gFiles.sample, 0, 0, 0, 400, 300);
    SaveDialogView view;
    BoxSeen box;
    std::vector<ExpectedWindow> windows{SaveDialog(&view, "anim")};
    if (!HaveGif()) windows.push_back(MessageBoxOk(&box));
    ExpectWindows(windows);
    SendKey(lister.viewer(), 'G', Ctrl::left);
    CHECK(ExpectationMet());
    CHECK_EQ(lister.state()->paused, 0);
    if (!HaveGif()) {
        // Without a GIF codec the stream cannot open: an error box, no file.
        CheckErrorBoxes(lister.viewer(), {"Unsupported type"});
        CHECK(out.entries().empty());
        return;
    }
    CheckErrorBoxes(lister.viewer(), {});
    const std::vector<SaveDialogCall> calls = TakeSaveDialogCalls();
    CHECK_EQ(calls.size(), size_t{1});
    if (calls.size() != 1) return;
    CHECK_EQ(Lower(LeafOf(calls[0].chosenFile)), std::string("anim.gif"));
    CHECK_EQ(NameList(out.entries()), "{" + LeafOf(calls[0].chosenFile) + "}");
    ChainPtr written(ImageLoadFile(calls[0].chosenFile.c_str(), nullptr));
    ChainPtr sample = Decode(gFiles.sample);
    CHECK(written && ImageFormat(written.get())->id == kFormatGif);
    CHECK_EQ(ImageCount(written.get()), ImageCount(sample.get()));
    const Image* got = written.get();
    for (const Image* want = sample.get(); want && got; want = ImageNext(want), got = ImageNext(got)) {
        CHECK_EQ(PictureDifference(got, want), std::string());
        CHECK_EQ(ImageGetDelay(got), ImageGetDelay(want));
    }
}

HOST_TEST(exports, a_failed_gif_export_leaves_no_file) {
    OutputDir out("giffail");
    // The second frame, swapped for a 24-bit copy, cannot be written to GIF:
    // the export stops after the file was begun.
    Lister lister(gFiles.fli, 0, 0, 0, 300, 200);
    ViewerState* state = lister.state();
    CHECK(state);
    if (!state) return;
    Image* second = ImageNext(state->first);
    Image* deep = ImageConvert(second, 24);
    deep->prev = state->first;
    deep->next = second->next;
    second->next->prev = deep;
    state->first->next = deep;
    second->next = nullptr;
    if (state->current == second) state->current = deep;
    ImageDestroy(second);

    SaveDialogView view;
    BoxSeen box;
    ExpectWindows({SaveDialog(&view, "broken"), MessageBoxOk(&box)});
    Command(lister.viewer(), IDM_EXPORT_GIF);
    CHECK(ExpectationMet());
    CheckErrorBoxes(lister.viewer(), {HaveGif() ? "Color not supported" : "Unsupported type"});
    CHECK(out.entries().empty());

    // A 24-bit picture cannot be a Pro Motion file either.
    out.enter();
    ExpectWindows({SaveDialog(&view, "broken"), MessageBoxOk(&box)});
    Command(lister.viewer(), IDM_EXPORT_SPR);
    CHECK(ExpectationMet());
    CheckErrorBoxes(lister.viewer(), {"Color not supported"});
    CHECK(out.entries().empty());
}

// ---- AVI --------------------------------------------------------------------------------------------

namespace {

struct AviHeader {
    uint32_t scale = 0, rate = 0, length = 0;
    std::string handler;
};

// The first video stream header of an AVI file.
AviHeader ReadAviHeader(const std::vector<uint8_t>& bytes) {
    AviHeader header;
    auto u32 = [&](size_t at) {
        return at + 4 <= bytes.size() ? uint32_t{bytes[at]} | uint32_t{bytes[at + 1]} << 8 | uint32_t{bytes[at + 2]} << 16 |
                                            uint32_t{bytes[at + 3]} << 24
                                      : 0u;
    };
    for (size_t at = 12; at + 48 <= bytes.size(); ++at) {
        if (std::memcmp(&bytes[at], "strh", 4) != 0 || std::memcmp(&bytes[at + 8], "vids", 4) != 0) continue;
        header.handler.assign(reinterpret_cast<const char*>(&bytes[at + 12]), 4);
        header.scale = u32(at + 28);
        header.rate = u32(at + 32);
        header.length = u32(at + 40);
        break;
    }
    return header;
}

// Hands an exported file to the test script, which checks it with ffprobe
// and ffmpeg (MOVREL_EXPORT_DIR); without it the host's own checks stand.
void KeepForPeers(const std::string& file, const char* name) {
    const char* dir = std::getenv("MOVREL_EXPORT_DIR");
    if (!dir || !*dir) return;
    CreateDirectoryA(dir, nullptr);
    CHECK(CopyFileA(file.c_str(), (std::string(dir) + "\\" + name).c_str(), FALSE));
}

}  // namespace

HOST_TEST(exports, avi_through_the_compression_dialog) {
    OutputDir out("avi");
    Lister lister(gFiles.sample, 0, 0, 0, 400, 300);
    SaveDialogView view;
    ExpectWindows({SaveDialog(&view), CompressionDialog(true)});
    SendKey(lister.viewer(), 'I', Ctrl::left);
    CHECK(ExpectationMet());
    const std::vector<SaveDialogCall> calls = TakeSaveDialogCalls();
    CHECK_EQ(calls.size(), size_t{1});
    if (calls.size() != 1) return;
    CHECK_EQ(Lower(LeafOf(calls[0].chosenFile)), std::string("sample.avi"));
    CHECK_EQ(NameList(out.entries()), "{" + LeafOf(calls[0].chosenFile) + "}");
    const AviHeader header = ReadAviHeader(ReadBytes(calls[0].chosenFile));
    CHECK_EQ(header.scale, 1u);
    CHECK_EQ(header.rate, 12u);  // 1000 / 80 ms
    CHECK_EQ(header.length, 24u);
    KeepForPeers(calls[0].chosenFile, "viewer-sample.avi");
    CHECK(TakeMessageBoxCalls().empty());
    CHECK_EQ(lister.state()->paused, 0);
}

HOST_TEST(exports, avi_rate_of_a_slow_first_frame_is_one) {
    OutputDir out("avislow");
    const std::string slow = MakeFlic(gFiles.dir + "\\slow.flc", 2, 1500);
    Lister lister(slow, 0, 0, 0, 300, 200);
    SaveDialogView view;
    ExpectWindows({SaveDialog(&view), CompressionDialog(true)});
    Command(lister.viewer(), IDM_EXPORT_AVI);
    CHECK(ExpectationMet());
    const std::vector<SaveDialogCall> calls = TakeSaveDialogCalls();
    CHECK(calls.size() == 1 && calls[0].result);
    if (calls.size() != 1) return;
    const AviHeader header = ReadAviHeader(ReadBytes(calls[0].chosenFile));
    CHECK_EQ(header.rate, 1u);
    CHECK_EQ(header.scale, 1u);
    CHECK_EQ(header.length, 2u);
}

HOST_TEST(exports, avi_cancelled_in_the_save_dialog) {
    OutputDir out("avicancel1");
    Lister lister(gFiles.sample, 0, 0, 0, 400, 300);
    SaveDialogView view;
    // Only the save dialog: a compression dialog would be an unexpected window.
    ExpectWindows({CancelSaveDialog(&view)});
    Command(lister.viewer(), IDM_EXPORT_AVI);
    CHECK(ExpectationMet());
    CHECK(out.entries().empty());
    CHECK(TakeMessageBoxCalls().empty());
    CHECK_EQ(lister.state()->paused, 0);
}

HOST_TEST(exports, avi_cancelled_in_the_compression_dialog) {
    OutputDir out("avicancel2");
    Lister lister(gFiles.sample, 0, 0, 0, 400, 300);
    SaveDialogView view;
    ExpectWindows({SaveDialog(&view), CompressionDialog(false)});
    Command(lister.viewer(), IDM_EXPORT_AVI);
    CHECK(ExpectationMet());
    // No file, not even a temporary one, and no message.
    CHECK_EQ(NameList(out.entries()), "{}");
    CHECK(TakeMessageBoxCalls().empty());
    CHECK_EQ(lister.state()->paused, 0);
}

HOST_TEST(exports, avi_that_cannot_be_put_in_place_shows_a_write_error) {
    OutputDir out("avifail");
    // An existing sample.avi, held open without sharing: the finished export
    // cannot replace it, and the user must hear of it.
    const std::string target = out.file("sample.avi");
    HANDLE held = CreateFileA(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    CHECK(held != INVALID_HANDLE_VALUE);
    DWORD written = 0;
    CHECK(WriteFile(held, "old", 3, &written, nullptr));
    Lister lister(gFiles.sample, 0, 0, 0, 400, 300);
    SaveDialogView view;
    BoxSeen box;
    const ExpectedWindow replaceYes = {"#32770", [](HWND prompt) {
                                           ClickButton(prompt, IDYES);
                                           return true;
                                       }};
    ExpectWindows({SaveDialog(&view), replaceYes, CompressionDialog(true), MessageBoxOk(&box)});
    Command(lister.viewer(), IDM_EXPORT_AVI);
    CHECK(ExpectationMet());
    CloseHandle(held);
    TakeSaveDialogCalls();
    CheckErrorBoxes(lister.viewer(), {"Write error"});
    // The old file as it was, and no temporary file beside it.
    CHECK_EQ(NameList(out.entries()), "{sample.avi}");
    CHECK_EQ(ReadBytes(target).size(), size_t{3});
}

HOST_TEST(exports, an_existing_file_is_replaced_only_when_the_user_says_so) {
    Lister lister(gFiles.fli, 0, 0, 0, 300, 200);
    for (WORD command : {IDM_EXPORT_GIF, IDM_EXPORT_AVI, IDM_EXPORT_SPR}) {
        if (command == IDM_EXPORT_GIF && !HaveGif()) continue;
        const std::string leaf = command == IDM_EXPORT_GIF ? "anim.GIF" : command == IDM_EXPORT_AVI ? "anim.AVI" : "anim.SPR";
        OutputDir out(leaf.c_str());
        const std::string target = out.file(leaf);
        WriteBytes(target, kOldBytes);
        // The dialog adds the extension before it looks for the file, and
        // asks; after a No it stays open for another name.
        SaveDialogView view;
        BoxSeen prompt;
        ExpectWindows({SaveDialog(&view, "anim"), AnswerBox(&prompt, IDNO), CancelSaveDialog(&view, true)});
        Command(lister.viewer(), command);
        CHECK(ExpectationMet());
        CHECK(ReadBytes(target) == kOldBytes);
        CHECK_EQ(NameList(out.entries()), NameList({leaf}));

        out.enter();
        std::vector<ExpectedWindow> windows{SaveDialog(&view, "anim"), AnswerBox(&prompt, IDYES)};
        if (command == IDM_EXPORT_AVI) windows.push_back(CompressionDialog(true));
        ExpectWindows(windows);
        Command(lister.viewer(), command);
        CHECK(ExpectationMet());
        CHECK(ReadBytes(target) != kOldBytes);
        // Under the name the dialog gave, which may differ in case.
        CHECK_EQ(Lower(NameList(out.entries())), Lower(NameList({leaf})));
        CheckErrorBoxes(lister.viewer(), {});
    }
}

// ---- Information ------------------------------------------------------------------------------------

HOST_TEST(menu, information_box_of_deep_pictures) {
    const struct {
        int depth;
        const char* colors;
    } cases[] = {{24, "16777216"}, {32, "4294967296"}};
    for (const auto& c : cases) {
        const std::string file = MakeBmp(gFiles.dir + "\\deep" + std::to_string(c.depth) + ".bmp", c.depth);
        Lister lister(file, 0, 0, 0, 300, 200);
        CHECK(lister.viewer());
        if (!lister.viewer()) continue;
        BoxSeen box;
        ExpectWindows({MessageBoxOk(&box)});
        SendKey(lister.viewer(), 'I', Ctrl::none);
        CHECK(ExpectationMet());
        // No FLIC suffix for another format.
        CHECK_EQ(box.text, std::string("Type: Windows or OS/2 Bitmap\n\nWidth: 40\nHeight: 30\nColor Depth: ") + c.colors +
                               " colors\n\nTotal frame number: 1 frame(s)");
        const std::vector<MessageBoxCall> calls = TakeMessageBoxCalls();
        CHECK(calls.size() == 1 && calls[0].caption == std::optional<std::string>("Information") &&
              calls[0].type == MB_ICONINFORMATION && calls[0].owner == lister.viewer());
    }
}
