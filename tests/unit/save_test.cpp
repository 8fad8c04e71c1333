#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>

#include "codecs/bmp.h"
#include "codecs/export.h"
#include "codecs/flic.h"
#include "image/convert.h"
#include "formats/byte_writer.h"
#include "formats/save.h"
#include "tests/support/avi_read.h"
#include "tests/support/fail_allocations.h"
#include "tests/support/flic_writer.h"  // Bytes
#include "tests/support/memory_frames.h"
#include "tests/support/test_util.h"

namespace {

// ---- Stand-ins for the formats that are registered later -------------------

int StubProbe(const LoadRequest*) { return 0; }
Image* StubLoad(LoadRequest*) { return nullptr; }
int StubSave(Image*, SaveRequest*) { return 0; }
int StubOpen(Stream*, StreamOpenRequest*) { return 0; }
Image* StubRead(Stream*, StreamReadRequest*) { return nullptr; }
int StubWrite(Stream*, StreamFrameRequest*) { return 0; }
int StubClose(Stream*, StreamCloseRequest*) { return 0; }

const StreamOps kGifOps = {StubOpen, nullptr, StubWrite, StubClose};
const StreamOps kAviOps = {StubOpen, StubRead, StubWrite, StubClose};

// The seven formats in their order, with their texts.
void RegisterSevenFormats() {
    FormatRegistryReset();
    FormatRegister(kFlicFormat);
    FormatRegister(kBmpFormat);
    FormatRegister({kFormatGif, StubProbe, StubLoad, StubSave, "Graphics Interchange Format", "GIF", &kGifOps});
    FormatRegister({kFormatPcx, StubProbe, StubLoad, StubSave, "Zsoft Paintbrush", "PCX", nullptr});
    FormatRegister({kFormatTga, StubProbe, StubLoad, StubSave, "Truevision Targa", "TGA", nullptr});
    FormatRegister({kFormatAvi, nullptr, nullptr, nullptr, "Audio Video Interleaved animation file", "AVI", &kAviOps});
    FormatRegister({kFormatSpr, StubProbe, StubLoad, StubSave, "Pro Motion Animation", "SPR", nullptr});
}

class Filters : public ::testing::Test {
protected:
    void SetUp() override { RegisterSevenFormats(); }
    void TearDown() override {
        FormatRegistryReset();
        FormatRegisterAll();
    }
    // The whole text up to and including its closing pair of NULs.
    static std::string Text(const FormatFilterList& list) {
        size_t n = 0;
        while (n + 1 < sizeof list.text && !(list.text[n] == '\0' && list.text[n + 1] == '\0')) ++n;
        return std::string(list.text, n + 2);
    }
    static std::vector<FormatId> Ids(const FormatFilterList& list) {
        std::vector<FormatId> ids;
        for (FormatId id : list.ids)
            if (id != kFormatNone) ids.push_back(id);
        return ids;
    }
};

using namespace std::string_literals;

TEST_F(Filters, SaveDialogOfTheExtractCommands) {
    FormatFilterList list;
    EXPECT_EQ(FormatFilter(&list, kFilterSave, -1), 1);
    const std::string expected =
        "Windows or OS/2 Bitmap (*.BMP;*.DIB)\0*.BMP;*.DIB\0Graphics Interchange Format (*.GIF)\0*.GIF\0"
        "Zsoft Paintbrush (*.PCX)\0*.PCX\0Truevision Targa (*.TGA)\0*.TGA\0Pro Motion Animation (*.SPR)\0*.SPR\0\0"s;
    EXPECT_EQ(expected.size(), 189u);
    EXPECT_EQ(Text(list), expected);
    EXPECT_EQ(Ids(list), (std::vector<FormatId>{kFormatBmp, kFormatGif, kFormatPcx, kFormatTga, kFormatSpr}));
}

TEST_F(Filters, AllFormatsWithTheAllSupportedEntry) {
    FormatFilterList list;
    FormatFilter(&list, 0, -1);
    const std::string patterns = "*.FLC;*.FLI;*.BMP;*.DIB;*.GIF;*.PCX;*.TGA;*.AVI;*.SPR";
    const std::string expected = "All supported files (" + patterns + ")\0"s + patterns + "\0"s +
                                 "Autodesk Flic Animation (*.FLC;*.FLI)\0*.FLC;*.FLI\0"s +
                                 "Windows or OS/2 Bitmap (*.BMP;*.DIB)\0*.BMP;*.DIB\0"s +
                                 "Graphics Interchange Format (*.GIF)\0*.GIF\0Zsoft Paintbrush (*.PCX)\0*.PCX\0"s +
                                 "Truevision Targa (*.TGA)\0*.TGA\0"s +
                                 "Audio Video Interleaved animation file (*.AVI)\0*.AVI\0"s +
                                 "Pro Motion Animation (*.SPR)\0*.SPR\0\0"s;
    EXPECT_EQ(expected.size(), 422u);
    EXPECT_EQ(Text(list), expected);
    EXPECT_EQ(Ids(list), (std::vector<FormatId>{kFormatFlic, kFormatBmp, kFormatGif, kFormatPcx, kFormatTga, kFormatAvi,
                                                kFormatSpr}));
}

TEST_F(Filters, FlagsAndIdSelectFormats) {
    FormatFilterList list;
    FormatFilter(&list, kFilterSave, kFormatGif);
    EXPECT_EQ(Text(list), "Graphics Interchange Format (*.GIF)\0*.GIF\0\0"s);
    EXPECT_EQ(Ids(list), std::vector<FormatId>{kFormatGif});

    FormatFilter(&list, kFilterWriteFrames, kFormatAvi);
    EXPECT_EQ(Text(list), "Audio Video Interleaved animation file (*.AVI)\0*.AVI\0\0"s);

    FormatFilter(&list, kFilterSave, kFormatSpr);
    EXPECT_EQ(Text(list), "Pro Motion Animation (*.SPR)\0*.SPR\0\0"s);

    FormatFilter(&list, kFilterLoad, -1);
    EXPECT_EQ(Ids(list), (std::vector<FormatId>{kFormatFlic, kFormatBmp, kFormatGif, kFormatPcx, kFormatTga, kFormatSpr}));
    EXPECT_EQ(std::string(list.text),
              "All supported files (*.FLC;*.FLI;*.BMP;*.DIB;*.GIF;*.PCX;*.TGA;*.SPR)");

    FormatFilter(&list, kFilterReadFrames, -1);
    EXPECT_EQ(Ids(list), std::vector<FormatId>{kFormatAvi});
    FormatFilter(&list, kFilterWriteFrames, 0);  // id 0 lists every format, with no "All" entry
    EXPECT_EQ(Ids(list), (std::vector<FormatId>{kFormatFlic, kFormatGif, kFormatAvi}));  // FLIC writes FLC
    EXPECT_EQ(std::string(list.text), "Autodesk Flic Animation (*.FLC;*.FLI)");

    std::memset(&list, 0x55, sizeof list);
    FormatFilter(&list, 0, 7);  // no such format
    EXPECT_TRUE(Ids(list).empty());
    EXPECT_EQ(list.text[0], '\0');
    EXPECT_EQ(list.text[1], '\0');
}

// The registry as the product fills it: Pro Motion animations are written
// by the exports, but the row offers no stream, so the frame writers' list
// leaves SPR out.
TEST_F(Filters, TheRealRegistryListsNoProMotionStream) {
    FormatRegistryReset();
    FormatRegisterAll();
    FormatFilterList list;
    FormatFilter(&list, kFilterWriteFrames, 0);
    const std::vector<FormatId> ids = Ids(list);
    EXPECT_NE(std::find(ids.begin(), ids.end(), kFormatGif), ids.end());
    EXPECT_NE(std::find(ids.begin(), ids.end(), kFormatAvi), ids.end());
    EXPECT_EQ(std::find(ids.begin(), ids.end(), kFormatSpr), ids.end());
}

TEST_F(Filters, TextsThatDoNotFitLeaveWholeEntriesOut) {
    static const std::string longName(700, 'x');
    FormatRegister({40, StubProbe, StubLoad, StubSave, longName.c_str(), "LNG", nullptr});
    FormatRegister({41, StubProbe, StubLoad, StubSave, longName.c_str(), "LNH", nullptr});
    FormatFilterList list;
    FormatFilter(&list, kFilterSave, -1);
    EXPECT_EQ(Ids(list), (std::vector<FormatId>{kFormatBmp, kFormatGif, kFormatPcx, kFormatTga, kFormatSpr, 40}));
    const std::string text = Text(list);
    EXPECT_LE(text.size(), sizeof list.text);
    EXPECT_EQ(text.substr(text.size() - 9), ")\0*.LNG\0\0"s);
}

TEST_F(Filters, Extensions) {
    char out[16];
    EXPECT_EQ(FormatExtension(kFormatBmp, out, 0, sizeof out), 1);
    EXPECT_STREQ(out, "BMP");
    EXPECT_EQ(FormatExtension(kFormatBmp, out, 1, sizeof out), 1);
    EXPECT_STREQ(out, "DIB");
    EXPECT_EQ(FormatExtension(kFormatBmp, out, 2, sizeof out), 0);
    EXPECT_EQ(FormatExtension(kFormatFlic, out, 0, sizeof out), 1);
    EXPECT_STREQ(out, "FLC");
    EXPECT_EQ(FormatExtension(2, out, 0, sizeof out), 0);
    EXPECT_EQ(FormatExtension(kFormatBmp, out, 0, 3), 0);  // no room for the NUL
    EXPECT_EQ(FormatExtension(kFormatBmp, out, 0, 4), 1);
}

// ---- Saving a file -----------------------------------------------------------

std::vector<std::string> DirectoryEntries(const TempDir& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class SaveFile : public ::testing::Test {
protected:
    void SetUp() override {
        FormatRegisterAll();
        image_.reset(ImageCreate(16, 16, 8));
        ImageSetPixel(image_.get(), 3, 4, 9);
    }
    void TearDown() override { SaveInjectWriteFailure(0); }
    Bytes Encoded() {
        SaveRequest request{kFormatBmp, nullptr, nullptr, kErrorNone};
        EXPECT_EQ(FormatSave(image_.get(), &request), 1);
        return TakeOutput(request);
    }
    ImagePtr image_;
    TempDir dir_;
};

TEST_F(SaveFile, WritesTheEncodedFileAndReplacesAnOldOne) {
    const std::string path = dir_.file("frame.bmp");
    WriteFile(path, Bytes(5000, 'o'));
    SaveRequest request{kFormatBmp, nullptr, nullptr, kErrorUnknown};
    EXPECT_EQ(ImageSaveFile(image_.get(), path.c_str(), &request), 1);
    EXPECT_EQ(request.error, kErrorNone);
    EXPECT_EQ(request.output, nullptr);  // freed by the driver
    EXPECT_EQ(ReadFile(path), Encoded());
    EXPECT_EQ(DirectoryEntries(dir_), std::vector<std::string>{"frame.bmp"});
}

TEST_F(SaveFile, UnknownFormatAndMissingDirectoryFail) {
    SaveRequest request{2, nullptr, nullptr, kErrorNone};
    EXPECT_EQ(FormatSave(image_.get(), &request), 0);
    EXPECT_EQ(request.error, kErrorUnsupportedType);
    EXPECT_EQ(ImageSaveFile(image_.get(), dir_.file("a.bmp").c_str(), &request), 0);

    request = {kFormatBmp, nullptr, nullptr, kErrorNone};
    FileErrorClear();
    EXPECT_EQ(ImageSaveFile(image_.get(), dir_.file("missing/a.bmp").c_str(), &request), 0);
    EXPECT_EQ(request.error, Status(kErrorWrite, "the folder does not exist"));  // the system's reason, from where it failed
    EXPECT_TRUE(DirectoryEntries(dir_).empty());

    request = {kFormatBmp, nullptr, nullptr, kErrorNone};
    std::filesystem::create_directory(dir_.file("taken"));  // a directory where the file should go
    EXPECT_EQ(ImageSaveFile(image_.get(), dir_.file("taken").c_str(), &request), 0);
    EXPECT_EQ(request.error, kErrorWrite);
    EXPECT_EQ(DirectoryEntries(dir_), std::vector<std::string>{"taken"});

    // A name too long to keep is refused, not cut into "a-long-leaf-name.bm".
    const std::string leaf = "a-long-leaf-name.bmp";
    std::string padded = dir_.file("");
    padded.resize(kMaxPath - leaf.size(), '/');  // repeated separators are one
    padded += leaf;
    request = {kFormatBmp, nullptr, nullptr, kErrorNone};
    EXPECT_EQ(ImageSaveFile(image_.get(), padded.c_str(), &request), 0);
    EXPECT_EQ(request.error, Status(kErrorWrite, "the name is too long"));
    EXPECT_EQ(DirectoryEntries(dir_), std::vector<std::string>{"taken"});
}

TEST_F(SaveFile, FailedWriteKeepsTheOldFileAndLeavesNothingElse) {
    const std::string path = dir_.file("frame.bmp");
    const Bytes old(3000, 'o');
    WriteFile(path, old);
    SaveInjectWriteFailure(1);
    SaveRequest request{kFormatBmp, nullptr, nullptr, kErrorNone};
    EXPECT_EQ(ImageSaveFile(image_.get(), path.c_str(), &request), 0);
    EXPECT_EQ(request.error, kErrorWrite);
    EXPECT_EQ(ReadFile(path), old);
    EXPECT_EQ(DirectoryEntries(dir_), std::vector<std::string>{"frame.bmp"});

    SaveInjectWriteFailure(1);
    EXPECT_EQ(ImageSaveFile(image_.get(), dir_.file("new.bmp").c_str(), &request), 0);
    EXPECT_EQ(DirectoryEntries(dir_), std::vector<std::string>{"frame.bmp"});
}

TEST_F(SaveFile, LeftoverTemporaryFilesNeverBlockASave) {
    for (int i = 0; i < 300; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "~mvr%05d.tmp", i);
        WriteFile(dir_.file(name), {});
    }
    const std::string path = dir_.file("frame.bmp");
    SaveRequest request{kFormatBmp, nullptr, nullptr, kErrorNone};
    EXPECT_EQ(ImageSaveFile(image_.get(), path.c_str(), &request), 1);
    EXPECT_EQ(ReadFile(path), Encoded());
    EXPECT_EQ(DirectoryEntries(dir_).size(), 301u);  // nothing of ours left beside them
}

TEST_F(SaveFile, ReplacingKeepsPermissionsAndWritesThroughLinks) {
    namespace fs = std::filesystem;
    const std::string path = dir_.file("private.bmp");
    WriteFile(path, Bytes(10, 'o'));
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
    SaveRequest request{kFormatBmp, nullptr, nullptr, kErrorNone};
    ASSERT_EQ(ImageSaveFile(image_.get(), path.c_str(), &request), 1);
    EXPECT_EQ(ReadFile(path), Encoded());
    EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);

    // A link, through a relative chain of two, to a file in another directory.
    fs::create_directory(dir_.file("real"));
    const std::string target = dir_.file("real/frame.bmp");
    WriteFile(target, Bytes(10, 'o'));
    fs::create_symlink("real/frame.bmp", dir_.file("inner.bmp"));
    fs::create_symlink("inner.bmp", dir_.file("link.bmp"));
    ASSERT_EQ(ImageSaveFile(image_.get(), dir_.file("link.bmp").c_str(), &request), 1);
    EXPECT_TRUE(fs::is_symlink(dir_.file("link.bmp")));
    EXPECT_EQ(fs::read_symlink(dir_.file("link.bmp")), "inner.bmp");
    EXPECT_EQ(ReadFile(target), Encoded());
    EXPECT_EQ(DirectoryEntries(dir_), (std::vector<std::string>{"inner.bmp", "link.bmp", "private.bmp", "real"}));

    // A link to a file not there yet creates it.
    fs::create_symlink("real/new.bmp", dir_.file("dangling.bmp"));
    ASSERT_EQ(ImageSaveFile(image_.get(), dir_.file("dangling.bmp").c_str(), &request), 1);
    EXPECT_EQ(ReadFile(dir_.file("real/new.bmp")), Encoded());

    // Links in a loop lead to no file: saves and streams onto them fail, and
    // the links stay as they were.
    fs::create_symlink("loop.bmp", dir_.file("loop.bmp"));
    fs::create_symlink("b.bmp", dir_.file("a.bmp"));
    fs::create_symlink("a.bmp", dir_.file("b.bmp"));
    for (const char* name : {"loop.bmp", "a.bmp"}) {
        const std::string path = dir_.file(name);
        request.error = kErrorNone;
        EXPECT_EQ(ImageSaveFile(image_.get(), path.c_str(), &request), 0) << name;
        EXPECT_EQ(request.error, kErrorWrite) << name;
        StreamOpenRequest open{kFormatGif, path.c_str(), 1, image_.get(), nullptr, kErrorNone};
        EXPECT_EQ(StreamOpen(&open), nullptr) << name;
        EXPECT_EQ(open.error, kErrorWrite) << name;
    }
    EXPECT_EQ(fs::read_symlink(dir_.file("loop.bmp")), "loop.bmp");
    EXPECT_EQ(fs::read_symlink(dir_.file("a.bmp")), "b.bmp");
    EXPECT_EQ(fs::read_symlink(dir_.file("b.bmp")), "a.bmp");
    EXPECT_EQ(DirectoryEntries(dir_), (std::vector<std::string>{"a.bmp", "b.bmp", "dangling.bmp", "inner.bmp",
                                                                 "link.bmp", "loop.bmp", "private.bmp", "real"}));
}

// ---- Streams -------------------------------------------------------------------

constexpr FormatId kFakeStream = 50;

// A format that writes "OPEN", one "F<delay>" per frame and "CLOSE", and
// records what the driver did with it.
struct FakeStreamLog {
    int opens = 0, frames = 0, closes = 0, abandonedCloses = 0;
    bool failFrame = false, failClose = false, silent = false;
};
FakeStreamLog gLog;

void Leave(Stream* stream, const std::string& text) {
    if (gLog.silent) return;
    ByteWriter(stream->pending).write(text.data(), text.size());
}

int FakeOpen(Stream* stream, StreamOpenRequest* request) {
    if (stream->mode != 1) {
        request->error = kErrorUnsupportedType;
        return 0;
    }
    ++gLog.opens;
    stream->state = MemAlloc(32);  // released by close, whatever happens
    Leave(stream, "OPEN");
    return 1;
}

int FakeWrite(Stream* stream, StreamFrameRequest* request) {
    if (gLog.failFrame) {
        request->error = kErrorColorNotSupported;
        return 0;
    }
    ++gLog.frames;
    Leave(stream, "F" + std::to_string(request->delay));
    return 1;
}

int FakeClose(Stream* stream, StreamCloseRequest* request) {
    ++gLog.closes;
    if (stream->abandoned) ++gLog.abandonedCloses;
    MemFree(stream->state);
    stream->state = nullptr;
    if (gLog.failClose) {
        request->error = kErrorOutOfMemory;
        return 0;
    }
    Leave(stream, "CLOSE");
    return 1;
}

const StreamOps kFakeOps = {FakeOpen, nullptr, FakeWrite, FakeClose};

class Streams : public ::testing::Test {
protected:
    void SetUp() override {
        FormatRegisterAll();
        FormatRegister({kFakeStream, nullptr, nullptr, nullptr, "Fake", "FAK", &kFakeOps});
        gLog = FakeStreamLog{};
        path_ = dir_.file("anim.fak");
    }
    void TearDown() override {
        SaveInjectWriteFailure(0);
        FormatRegistryReset();
        FormatRegisterAll();
    }
    Stream* Open(const std::string& path) {
        open_ = {kFakeStream, path.c_str(), 1, nullptr, nullptr, kErrorNone};
        return StreamOpen(&open_);
    }
    int Frame(Stream* stream, uint32_t delay) {
        frame_ = {nullptr, delay, nullptr, kErrorNone};
        return StreamWriteFrame(stream, &frame_);
    }
    int Close(Stream* stream) {
        close_ = {nullptr, nullptr, kErrorNone};
        return StreamClose(stream, &close_);
    }
    TempDir dir_;
    std::string path_;
    StreamOpenRequest open_{};
    StreamFrameRequest frame_{};
    StreamCloseRequest close_{};
};

TEST_F(Streams, PiecesLandInOrderAndTheFileAppearsWhenComplete) {
    const Bytes old(100, 'o');
    WriteFile(path_, old);
    Stream* stream = Open(path_);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(std::string(stream->fileName), path_);
    for (uint32_t delay : {10u, 20u, 30u}) ASSERT_EQ(Frame(stream, delay), 1);
    EXPECT_EQ(ReadFile(path_), old);  // still the old file until the close
    ASSERT_EQ(Close(stream), 1);
    const Bytes expected = {'O', 'P', 'E', 'N', 'F', '1', '0', 'F', '2', '0', 'F', '3', '0', 'C', 'L', 'O', 'S', 'E'};
    EXPECT_EQ(ReadFile(path_), expected);
    EXPECT_EQ(DirectoryEntries(dir_), std::vector<std::string>{"anim.fak"});
    EXPECT_EQ(gLog.closes, 1);
    EXPECT_EQ(gLog.abandonedCloses, 0);
}

TEST_F(Streams, FormatsWithoutStreamsOrTheModeRefuse) {
    StreamOpenRequest request{kFormatBmp, path_.c_str(), 1, nullptr, nullptr, kErrorNone};
    EXPECT_EQ(StreamOpen(&request), nullptr);
    EXPECT_EQ(request.error, kErrorUnsupportedType);
    request = {kFakeStream, path_.c_str(), 0, nullptr, nullptr, kErrorNone};
    EXPECT_EQ(StreamOpen(&request), nullptr);
    EXPECT_EQ(request.error, kErrorUnsupportedType);
    EXPECT_TRUE(DirectoryEntries(dir_).empty());

    const std::string tooLong = dir_.file(std::string(kMaxPath, 'n'));
    request = {kFakeStream, tooLong.c_str(), 1, nullptr, nullptr, kErrorNone};
    EXPECT_EQ(StreamOpen(&request), nullptr);
    EXPECT_EQ(request.error, kErrorWrite);
}

TEST_F(Streams, MissingDirectoryFailsTheOpenAndReleasesTheFormatState) {
    EXPECT_EQ(Open(dir_.file("missing/anim.fak")), nullptr);
    EXPECT_EQ(open_.error, kErrorWrite);
    EXPECT_EQ(gLog.closes, 1);  // the state made by the open was released
    EXPECT_EQ(gLog.abandonedCloses, 1);
}

TEST_F(Streams, FailedWriteDropsTheUnfinishedFileAndKeepsTheOldOne) {
    const Bytes old(100, 'o');
    WriteFile(path_, old);
    Stream* stream = Open(path_);
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(Frame(stream, 10), 1);
    SaveInjectWriteFailure(1);
    EXPECT_EQ(Frame(stream, 20), 0);
    EXPECT_EQ(frame_.error, kErrorWrite);
    EXPECT_EQ(ReadFile(path_), old);
    EXPECT_EQ(DirectoryEntries(dir_), std::vector<std::string>{"anim.fak"});  // the unfinished file is gone
    EXPECT_EQ(Frame(stream, 30), 0);  // the stream stays, failed, until its owner ends it
    EXPECT_EQ(frame_.error, kErrorWrite);
    EXPECT_EQ(Close(stream), 0);
    EXPECT_EQ(close_.error, kErrorWrite);
    EXPECT_EQ(ReadFile(path_), old);
    EXPECT_EQ(DirectoryEntries(dir_), std::vector<std::string>{"anim.fak"});
    EXPECT_EQ(gLog.abandonedCloses, 1);  // the format could release its state
}

TEST_F(Streams, FailedFirstWriteLeavesNoFile) {
    SaveInjectWriteFailure(1);
    EXPECT_EQ(Open(path_), nullptr);
    EXPECT_EQ(open_.error, kErrorWrite);
    EXPECT_TRUE(DirectoryEntries(dir_).empty());
}

TEST_F(Streams, FailedFrameKeepsTheStreamUntilItIsAbandoned) {
    Stream* stream = Open(path_);
    ASSERT_NE(stream, nullptr);
    gLog.failFrame = true;
    EXPECT_EQ(Frame(stream, 10), 0);
    EXPECT_EQ(frame_.error, kErrorColorNotSupported);
    gLog.failFrame = false;
    EXPECT_EQ(Frame(stream, 20), 1);  // still usable
    StreamCloseRequest request{nullptr, nullptr, kErrorNone};
    StreamAbandon(stream, &request);
    EXPECT_EQ(gLog.abandonedCloses, 1);
    EXPECT_TRUE(DirectoryEntries(dir_).empty());
}

TEST_F(Streams, FailedCloseLeavesNothing) {
    Stream* stream = Open(path_);
    ASSERT_NE(stream, nullptr);
    gLog.failClose = true;
    EXPECT_EQ(Close(stream), 0);
    EXPECT_EQ(close_.error, kErrorOutOfMemory);
    EXPECT_TRUE(DirectoryEntries(dir_).empty());

    gLog.failClose = false;
    stream = Open(path_);
    ASSERT_NE(stream, nullptr);
    SaveInjectWriteFailure(1);  // the close's own piece cannot be written
    EXPECT_EQ(Close(stream), 0);
    EXPECT_EQ(close_.error, kErrorWrite);
    EXPECT_TRUE(DirectoryEntries(dir_).empty());
}

TEST_F(Streams, AnInterruptedProgramRemovesItsPendingFile) {
    // What the tool's signal handler does when it is stopped mid-export.
    Stream* stream = Open(path_);
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(Frame(stream, 10), 1);
    ASSERT_EQ(DirectoryEntries(dir_).size(), 1u);  // the temporary file
    SaveRemovePendingFiles();
    EXPECT_TRUE(DirectoryEntries(dir_).empty());
    StreamCloseRequest request{nullptr, nullptr, kErrorNone};
    StreamAbandon(stream, &request);

    // Files already put in place are not pending any more.
    stream = Open(path_);
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(Close(stream), 1);
    SaveRemovePendingFiles();
    EXPECT_EQ(DirectoryEntries(dir_), std::vector<std::string>{"anim.fak"});
}

TEST_F(Streams, AFormatThatLeavesNoOutputCreatesNoFile) {
    gLog.silent = true;
    Stream* stream = Open(path_);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(Frame(stream, 10), 1);
    EXPECT_EQ(Close(stream), 1);
    EXPECT_TRUE(DirectoryEntries(dir_).empty());
}

// ---- Whole animations ------------------------------------------------------------

class Export : public ::testing::Test {
protected:
    void SetUp() override {
        FormatRegisterAll();
        for (int i = 0; i < 3; ++i) {
            Image* frame = ImageCreate(4, 4, 8);
            PaletteEntry palette[256] = {};
            palette[7] = {255, 255, 255, 0};
            ImageSetPalette(frame, palette);
            ImageSetPixel(frame, i, i, 7);
            ImageSetDelay(frame, 100 * (i + 1));
            owned_.emplace_back(frame);
            last_ = frame;
        }
        frames_ = std::make_unique<MemoryFrames>(std::vector<const Image*>{owned_[0].get(), owned_[1].get(), last_});
    }
    void TearDown() override { SaveInjectWriteFailure(0); }
    ExportRequest Request(FormatId id, const std::string& name) {
        ExportRequest request;
        request.formatId = id;
        request.source = frames_->source();
        name_ = name;
        request.fileName = name_.c_str();
        return request;
    }
    static bool StopAfterTwo(void*, int done, int) { return done < 2; }

    std::vector<ImagePtr> owned_;
    std::unique_ptr<MemoryFrames> frames_;
    Image* last_ = nullptr;
    std::string name_;
    TempDir dir_;
};

TEST_F(Export, AnimationsReadBackAndAFailureOrACancelLeavesTheOldFile) {
    for (FormatId id : {kFormatGif, kFormatSpr}) {
        const std::string path = dir_.file(id == kFormatGif ? "anim.gif" : "anim.spr");
        ExportRequest request = Request(id, path);
        ASSERT_EQ(ExportAnimation(&request), 1) << id;
        EXPECT_EQ(request.written, 3);
        LoadedFrames back = LoadFileFrames(path);
        ASSERT_TRUE(back) << id;
        EXPECT_EQ(back.count(), 3);
        EXPECT_EQ(ImageColorAt(back[2], 2, 2) & 0xFFFFFF, 0xFFFFFFu);
        EXPECT_EQ(ImageGetDelay(back[1]), 200u);
    }
    const std::string path = dir_.file("anim.gif");
    const Bytes old = ReadFile(path);
    ExportRequest failing = Request(kFormatGif, path);
    SaveInjectWriteFailure(3);  // the open's piece, the first frame's (written with the second), then the disk is full
    EXPECT_EQ(ExportAnimation(&failing), 0);
    EXPECT_EQ(failing.error, kErrorWrite);
    EXPECT_EQ(ReadFile(path), old);

    ExportRequest cancelled = Request(kFormatGif, path);
    cancelled.progress = {StopAfterTwo, nullptr};
    EXPECT_EQ(ExportAnimation(&cancelled), 0);
    EXPECT_TRUE(cancelled.error.cancelled()) << cancelled.error;
    EXPECT_EQ(cancelled.written, 2);
    EXPECT_EQ(ReadFile(path), old);

    // The pass that writes cannot decode the last frame (out of memory)
    // after the plan's pass went by it: a failure, not a shorter animation.
    ExportRequest shortOfMemory = Request(kFormatGif, path);
    shortOfMemory.progress = {[](void* frames, int, int) {
                                  static_cast<MemoryFrames*>(frames)->failAt(2);
                                  return true;
                              },
                              frames_.get()};
    EXPECT_EQ(ExportAnimation(&shortOfMemory), 0);
    EXPECT_EQ(shortOfMemory.error, kErrorOutOfMemory);
    EXPECT_EQ(ReadFile(path), old);
    EXPECT_EQ(DirectoryEntries(dir_), (std::vector<std::string>{"anim.gif", "anim.spr"}));
}

// Frames of noise, large enough that every pass of an export takes many
// looks at its meter: 8 bits (SPR takes no other) or 24 (GIF reduces them).
std::vector<ImagePtr> NoiseFrames(int depth) {
    std::vector<ImagePtr> frames;
    uint32_t seed = 1;
    for (int n = 0; n < 3; ++n) {
        Image* frame = ImageCreate(480, 360, depth);
        PaletteEntry palette[256];
        for (int i = 0; i < 256; ++i) palette[i] = {uint8_t(i), uint8_t(255 - i), uint8_t(i * 7), 0};
        if (depth == 8) ImageSetPalette(frame, palette);
        for (int y = 0; y < 360; ++y)
            for (int x = 0; x < 480; ++x) {
                seed = seed * 1664525u + 1013904223u;
                // 512 colours: more than a table holds, few enough to choose quickly.
                const uint32_t v = seed >> 23;
                ImageSetPixel(frame, x, y, depth == 8 ? v >> 1 : (v * 0x9E3779B1u) >> 8);
            }
        frames.emplace_back(frame);
    }
    return frames;
}

std::unique_ptr<MemoryFrames> SourceOf(const std::vector<ImagePtr>& frames) {
    std::vector<const Image*> list;
    for (const ImagePtr& frame : frames) list.push_back(frame.get());
    return std::make_unique<MemoryFrames>(list);
}

TEST_F(Export, AStopAtAnyPointLeavesTheOldFileAfterBoundedWork) {
    const std::vector<ImagePtr> deepFrames = NoiseFrames(24), indexedFrames = NoiseFrames(8);
    std::unique_ptr<MemoryFrames> deep = SourceOf(deepFrames), indexed = SourceOf(indexedFrames);
    const struct {
        FormatId id;
        FrameSource* frames;
        bool dither;
        const char* leaf;
    } cases[] = {{kFormatGif, deep->source(), false, "a.gif"}, {kFormatGif, deep->source(), true, "a.gif"},
                 {kFormatGif, indexed->source(), false, "a.gif"}, {kFormatAvi, indexed->source(), false, "a.avi"},
                 {kFormatSpr, indexed->source(), false, "a.spr"}, {kFormatApng, deep->source(), false, "a.png"}};
    // A unit of work is about a pixel or a byte: what a stop may still cost.
    constexpr uint64_t kStepAtMost = uint64_t{1} << 21;
    for (const auto& c : cases) {
        const std::string path = dir_.file(c.leaf);
        const Bytes old = {'o', 'l', 'd'};
        WriteFile(path, old);
        auto run = [&](WorkMeter& meter) {
            ExportRequest request = Request(c.id, path);
            request.source = c.frames;
            request.dither = c.dither;
            request.work = &meter;
            return std::make_pair(ExportAnimation(&request), request.error);
        };
        WorkMeter whole = WorkMeter::Unbounded();
        ASSERT_EQ(run(whole).first, 1) << c.leaf;
        const uint64_t total = whole.spent();
        ASSERT_GT(total, 3 * kWorkCheckInterval) << c.leaf;
        for (const uint64_t k : {uint64_t{0}, total / 7, total / 2, total - total / 9, total - 1}) {
            WriteFile(path, old);
            WorkMeter meter = WorkMeter::Unbounded();
            meter.limit(k);
            const auto [result, error] = run(meter);
            EXPECT_EQ(result, 0) << c.leaf << " " << k;
            EXPECT_TRUE(error.cancelled()) << c.leaf << " " << k << ": " << error;
            EXPECT_LE(meter.spent() - std::min(meter.spent(), k), kWorkCheckInterval + kStepAtMost) << c.leaf << " " << k;
            EXPECT_EQ(ReadFile(path), old) << c.leaf << " " << k;
            EXPECT_EQ(DirectoryEntries(dir_).size(), 1u) << c.leaf << " " << k;
        }
        std::filesystem::remove(path);
    }
    // Numbered files: those written before the stop stay, the one being
    // written when it came is as it was.
    for (const auto& [id, extension] : {std::pair{kFormatGif, ".GIF"}, std::pair{kFormatPcx, ".PCX"}}) {
        const std::string base = dir_.file(std::string("F") + extension);
        auto name = [&](int n) { return base + "00" + std::to_string(n) + extension; };
        for (const uint64_t k : {uint64_t{0}, uint64_t{300000}, uint64_t{700000}}) {
            for (int n = 0; n < 3; ++n) WriteFile(name(n), {'o', 'l', 'd'});
            WorkMeter meter = WorkMeter::Unbounded();
            meter.limit(k);
            ExportRequest request = Request(id, base);
            request.source = deep->source();
            request.work = &meter;
            EXPECT_EQ(ExportNumberedFiles(&request), 0);
            EXPECT_TRUE(request.error.cancelled()) << request.error;
            EXPECT_LT(request.written, 3);
            EXPECT_EQ(ReadFile(name(request.written)), Bytes({'o', 'l', 'd'})) << extension << k;
            EXPECT_LE(meter.spent() - std::min(meter.spent(), k), kWorkCheckInterval + kStepAtMost) << extension << k;
        }
    }
    EXPECT_EQ(DirectoryEntries(dir_).size(), 6u);
}

// Memory that runs out at any allocation of an export (the writers', the
// colour passes', the source's) ends it as out of memory, with the old file
// as it was and nothing beside it; or, where the work goes on without what
// was not had, with the file written.
TEST_F(Export, MemoryRunningOutAnywhereEndsAsOutOfMemoryAndLeavesTheOldFile) {
    std::vector<ImagePtr> deepFrames;  // 300 colours each: GIF chooses a palette, APNG writes RGB
    for (int n = 0; n < 2; ++n) {
        deepFrames.emplace_back(ImageCreate(20, 15, 24));
        for (int y = 0; y < 15; ++y)
            for (int x = 0; x < 20; ++x) ImageSetPixel(deepFrames.back().get(), x, y, uint32_t(y * 20 + x) * 0x10307u + n);
    }
    const struct {
        FormatId id;
        bool deep;
        bool numbered;
        const char* leaf;
    } cases[] = {{kFormatGif, true, false, "a.gif"},  {kFormatGif, false, false, "a.gif"},
                 {kFormatApng, true, false, "a.png"}, {kFormatApng, false, false, "a.png"},
                 {kFormatFlic, false, false, "a.flc"}, {kFormatAvi, false, false, "a.avi"},
                 {kFormatSpr, false, false, "a.spr"}, {kFormatPng, true, true, "F000.PNG"},
                 {kFormatGif, false, true, "F000.GIF"}};
    const Bytes old = {'o', 'l', 'd'};
    for (const auto& c : cases) {
        const std::string path = dir_.file(c.leaf);  // numbered: the first, which others follow
        for (uint64_t n = 0;; ++n) {
            ASSERT_LT(n, 1000u) << c.leaf;
            for (const std::string& leaf : DirectoryEntries(dir_)) std::filesystem::remove(dir_.file(leaf));
            WriteFile(path, old);
            std::unique_ptr<MemoryFrames> frames = c.deep ? SourceOf(deepFrames) : SourceOf(owned_);
            ExportRequest request = Request(c.id, c.numbered ? dir_.file("F") : path);
            request.source = frames->source();
            bool failed = false;
            int result = 0;
            try {
                FailAllocations fail(n);
                result = c.numbered ? ExportNumberedFiles(&request) : ExportAnimation(&request);
                failed = fail.failed();
            } catch (const std::bad_alloc&) {
                ADD_FAILURE() << "out of memory escaped the export: " << c.leaf << " " << n;
                failed = true;
            }
            if (result) {
                EXPECT_EQ(request.written, c.deep ? 2 : 3) << c.leaf << " " << n;
            }
            if (!failed) {
                EXPECT_EQ(result, 1) << c.leaf;
                break;
            }
            if (!result) {
                EXPECT_EQ(request.error, kErrorOutOfMemory) << c.leaf << " " << n;
                if (request.written == 0) {
                    EXPECT_EQ(ReadFile(path), old) << c.leaf << " " << n;
                }
            }
            // Numbered files: those written before it stay.
            std::vector<std::string> expected{c.leaf};
            for (int k = 1; c.numbered && k < request.written; ++k)
                expected.push_back("F00" + std::to_string(k) + std::strchr(c.leaf, '.'));
            EXPECT_EQ(DirectoryEntries(dir_), expected) << c.leaf << " " << n;
        }
    }
}

TEST_F(Export, AnInterruptPutsNoFileInPlace) {
    const std::string path = dir_.file("anim.gif");
    WriteFile(path, {'o', 'l', 'd'});
    SaveInterrupt(false);
    ExportRequest request = Request(kFormatGif, path);
    EXPECT_EQ(ExportAnimation(&request), 0);
    SaveInterruptReset();
    EXPECT_EQ(ReadFile(path), Bytes({'o', 'l', 'd'}));
    EXPECT_EQ(DirectoryEntries(dir_).size(), 1u);
}

TEST_F(Export, FlcRepeatsFramesForVaryingDelaysAndACancelLeavesNothing) {
    const std::string path = dir_.file("anim.flc");
    ExportRequest request = Request(kFormatFlic, path);
    ASSERT_EQ(ExportAnimation(&request), 1);
    LoadedFrames back = LoadFileFrames(path);
    ASSERT_TRUE(back);
    // Delays 100, 200 and 300: a speed of 100 ms, the later frames shown 2 and 3 times.
    ASSERT_EQ(back.count(), 6);
    const int shows[6] = {0, 1, 1, 2, 2, 2};
    for (int n = 0; n < back.count(); ++n) {
        const Image* frame = back[n];
        EXPECT_EQ(ImageGetDelay(frame), 100u);
        EXPECT_EQ(ImageColorAt(frame, shows[n], shows[n]) & 0xFFFFFF, 0xFFFFFFu) << n;
    }
    // An animated PNG's first frame is its still picture.
    const std::string apng = dir_.file("anim.png");
    ExportRequest animated = Request(kFormatApng, apng);
    ASSERT_EQ(ExportAnimation(&animated), 1);
    LoadRequest load{};
    ImagePtr still(ImageLoadFile(apng.c_str(), &load));
    ASSERT_TRUE(still);
    EXPECT_EQ(ImageColorAt(still.get(), 0, 0) & 0xFFFFFF, 0xFFFFFFu);

    const Bytes old = ReadFile(path);
    for (FormatId id : {kFormatFlic, kFormatApng}) {
        ExportRequest cancelled = Request(id, id == kFormatFlic ? path : apng);
        const Bytes before = ReadFile(cancelled.fileName);
        cancelled.progress = {StopAfterTwo, nullptr};
        EXPECT_EQ(ExportAnimation(&cancelled), 0);
        EXPECT_TRUE(cancelled.error.cancelled()) << cancelled.error;
        EXPECT_EQ(ReadFile(cancelled.fileName), before);
    }
    EXPECT_EQ(ReadFile(path), old);
    EXPECT_EQ(DirectoryEntries(dir_), (std::vector<std::string>{"anim.flc", "anim.png"}));
}

TEST_F(Export, AviGetsTwentyFourBitFramesEachAtItsOwnTime) {
    // Delays of 100, 200 and 300 ms: a stream of 10 frames per second where
    // the frames start at 0, 1 and 3 and the last shows until 6; empty
    // frames between them repeat the one before.
    const std::string path = dir_.file("anim.avi");
    ExportRequest request = Request(kFormatAvi, path);
    ASSERT_EQ(ExportAnimation(&request), 1);
    AviRead read(path);
    EXPECT_EQ(read.frames, 6);
    EXPECT_EQ(read.rate, 10u);
    EXPECT_EQ(read.scale, 1u);
    for (int32_t n : {3, 5}) {
        const Image* frame = read.frame(n);
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(ImageBitCount(frame), 24);
        EXPECT_EQ(ImageColorAt(frame, 2, 2), ImageColorAt(last_, 2, 2)) << n;
    }
}

// A pass over the frames before the writing tells each frame it reads, so
// that the progress counts from the first moment; an AVI of a format whose
// structure tells the delays is timed without one (the viewer begins it on
// its window's thread).
TEST_F(Export, PassesBeforeTheWritingCountTheirFrames) {
    const std::string whole = dir_.file("whole.spr");
    ExportRequest made = Request(kFormatSpr, whole);
    ASSERT_EQ(ExportAnimation(&made), 1);
    LoadRequest load{};
    FrameSource* source = FrameSourceOpenFile(whole.c_str(), &load);
    ASSERT_TRUE(source);
    using Reads = std::vector<std::pair<int, int>>;
    for (FormatId id : {kFormatGif, kFormatSpr, kFormatApng, kFormatFlic, kFormatAvi}) {
        Reads reads;
        ExportRequest request = Request(id, dir_.file("pass" + std::to_string(id)));
        request.source = source;
        request.progress.frameRead = [](void* context, int read, int total) {
            static_cast<Reads*>(context)->push_back({read, total});
        };
        request.progress.context = &reads;
        ASSERT_EQ(ExportAnimation(&request), 1) << id;
        EXPECT_EQ(reads, id == kFormatAvi ? Reads{} : (Reads{{1, 3}, {2, 3}, {3, 3}})) << id;
    }
    FrameSourceClose(source);
}

TEST_F(Export, NumberedFilesStopAtTheFirstFailureAndLongNamesAreRefusedFirst) {
    const std::string base = dir_.file("Frame");
    ExportRequest request = Request(kFormatBmp, base);
    ASSERT_EQ(ExportNumberedFiles(&request), 1);
    EXPECT_EQ(DirectoryEntries(dir_), (std::vector<std::string>{"Frame000.BMP", "Frame001.BMP", "Frame002.BMP"}));

    // Pro Motion files read from a source: each holds the frames from its own to the last.
    TempDir spr;
    const std::string whole = spr.file("whole.spr");
    ExportRequest chain = Request(kFormatSpr, whole);
    ASSERT_EQ(ExportAnimation(&chain), 1);
    LoadRequest load{};
    FrameSource* source = FrameSourceOpenFile(whole.c_str(), &load);
    ASSERT_TRUE(source);
    ExportRequest tails = Request(kFormatSpr, spr.file("Tail"));
    tails.source = source;
    ASSERT_EQ(ExportNumberedFiles(&tails), 1);
    FrameSourceClose(source);
    for (int n = 0; n < 3; ++n) {
        LoadedFrames frames = LoadFileFrames(spr.file("Tail00" + std::to_string(n) + ".SPR"));
        ASSERT_TRUE(frames) << n;
        EXPECT_EQ(frames.count(), 3 - n);
        EXPECT_EQ(ImageGetDelay(frames.get()), 100u * static_cast<uint32_t>(n + 1));
    }

    ExportRequest failing = Request(kFormatBmp, dir_.file("Other"));
    SaveInjectWriteFailure(2);
    EXPECT_EQ(ExportNumberedFiles(&failing), 0);
    EXPECT_EQ(failing.error, kErrorWrite);
    EXPECT_EQ(failing.written, 1);
    EXPECT_EQ(DirectoryEntries(dir_).size(), 4u);  // Other000.BMP and no more

    // As many digits as the largest number needs, three at least: names that sort.
    char name[kMaxPath];
    for (auto [n, count, expected] : {std::tuple{999, 1000, "Frame999.BMP"}, {0, 1001, "Frame0000.BMP"},
                                      {1000, 1001, "Frame1000.BMP"}, {1234, 6000, "Frame1234.BMP"},
                                      {7, 6000, "Frame0007.BMP"}, {5, 100001, "Frame000005.BMP"}}) {
        EXPECT_TRUE(ExportNumberedName("Frame", kFormatBmp, n, count, name, sizeof name));
        EXPECT_STREQ(name, expected);
    }
    const std::string longest(kMaxPath - 1 - 7, 'n');  // room for "002.BMP" and the NUL
    EXPECT_TRUE(ExportNumberedName(longest.c_str(), kFormatBmp, 2, 3, name, sizeof name));
    ExportRequest tooLong = Request(kFormatBmp, longest + "n");
    EXPECT_EQ(ExportNumberedFiles(&tooLong), 0);
    EXPECT_EQ(tooLong.written, 0);
}

}  // namespace
