// The AVI stream off Windows: the uncompressed AVI writer behind the stream
// operations, its files read back by the tests' reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "codecs/avi.h"
#include "codecs/avi_writer.h"
#include "formats/save.h"
#include "image/convert.h"
#include "tests/support/avi_read.h"
#include "tests/support/flic_writer.h"  // Bytes
#include "tests/support/test_util.h"

namespace {

uint32_t U32(const Bytes& b, size_t at) { return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24; }
std::string Id(const Bytes& b, size_t at) { return std::string(b.begin() + at, b.begin() + at + 4); }

// ---- Frames ------------------------------------------------------------------------

// A 24-bit frame whose every byte depends on its position and the seed.
ImagePtr Frame24(int width, int height, int seed, uint32_t delay = 100) {
    ImagePtr image(ImageCreate(width, height, 24));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) ImageSetPixel(image.get(), x, y, uint32_t(x * 40 + y * 7 + seed * 0x10301));
    ImageSetDelay(image.get(), delay);
    return image;
}

bool SamePixels(const Image* a, const Image* b) {
    if (!a || !b || ImageWidth(a) != ImageWidth(b) || ImageHeight(a) != ImageHeight(b)) return false;
    for (int y = 0; y < ImageHeight(a); ++y)
        for (int x = 0; x < ImageWidth(a); ++x)
            if (ImageColorAt(a, x, y) != ImageColorAt(b, x, y)) return false;
    return true;
}

class Avi : public ::testing::Test {
protected:
    void SetUp() override { FormatRegisterAll(); }
    void TearDown() override {
        AviInjectPartSize(0);
        SaveInjectWriteFailure(0);
    }

    Stream* OpenWrite(const std::string& path, Image* first, uint32_t rate, Status* error = nullptr) {
        AviExportOptions options{nullptr, rate};
        StreamOpenRequest open{kFormatAvi, path.c_str(), 1, first, &options, kErrorNone};
        Stream* stream = StreamOpen(&open);
        if (error) *error = open.error;
        return stream;
    }
    static Status Write(Stream* stream, Image* frame, uint32_t position) {
        StreamFrameRequest request{frame, 0, &position, kErrorNone};
        return StreamWriteFrame(stream, &request) ? kErrorNone : request.error;
    }
    static Status Close(Stream* stream, Image* last) {
        StreamCloseRequest close{last, nullptr, kErrorNone};
        return StreamClose(stream, &close) ? kErrorNone : close.error;
    }
    // Writes the frames at positions 0, 1, 2, ... and closes.
    void Export(const std::string& path, const std::vector<Image*>& frames, uint32_t rate) {
        Stream* stream = OpenWrite(path, frames[0], rate);
        ASSERT_NE(stream, nullptr);
        for (size_t i = 0; i < frames.size(); ++i) ASSERT_EQ(Write(stream, frames[i], static_cast<uint32_t>(i)), kErrorNone);
        ASSERT_EQ(Close(stream, frames.back()), kErrorNone);
    }
    static std::vector<std::string> Names(const TempDir& dir) {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    TempDir dir;
};

// ---- Rates and registration ----------------------------------------------------------

TEST(AviRate, IsTheExactRatioOfThePeriod) {
    auto rate = [](uint32_t period) {
        const AviRate r = AviRateOfPeriod(period);
        return std::to_string(r.rate) + "/" + std::to_string(r.scale);
    };
    EXPECT_EQ(rate(80), "25/2");  // 12.5 frames per second
    EXPECT_EQ(rate(70), "100/7");
    EXPECT_EQ(rate(100), "10/1");
    EXPECT_EQ(rate(1), "1000/1");
    EXPECT_EQ(rate(1500), "2/3");
    EXPECT_EQ(rate(0xFFFFFFFFu), "200/858993459");
    EXPECT_EQ(rate(0), "1000/1");
    EXPECT_EQ(AviFrameDelay(0), 10u);
    EXPECT_EQ(AviFrameDelay(9), 10u);
    EXPECT_EQ(AviFrameDelay(33), 33u);
}

TEST(AviRegistry, SixthInOrderWithStreamOperationsOnly) {
    FormatRegistryReset();
    FormatRegisterAll();
    int slot = 0;
    while (FormatSlot(slot)->id != kFormatAvi) ASSERT_NE(FormatSlot(++slot)->id, kFormatNone);
    EXPECT_EQ(FormatSlot(slot - 1)->id, kFormatTga);
    EXPECT_EQ(FormatSlot(slot + 1)->id, kFormatSpr);
    const FileFormat* avi = FormatFind(kFormatAvi);
    EXPECT_STREQ(avi->description, "Audio Video Interleaved animation file");
    EXPECT_STREQ(avi->extensions, "AVI");
    EXPECT_EQ(avi->probe, nullptr);
    EXPECT_EQ(avi->load, nullptr);
    EXPECT_EQ(avi->save, nullptr);
    ASSERT_NE(avi->streamOps, nullptr);
    EXPECT_TRUE(avi->streamOps->open && avi->streamOps->writeFrame && avi->streamOps->close);
    EXPECT_EQ(avi->streamOps->readFrame, nullptr) << "it only writes";
    FormatFilterList list;
    FormatFilter(&list, kFilterWriteFrames, kFormatAvi);
    EXPECT_EQ(std::string(list.text, sizeof "Audio Video Interleaved animation file (*.AVI)\0*.AVI\0"),
              std::string("Audio Video Interleaved animation file (*.AVI)\0*.AVI\0", 54));
}

// ---- Writing ---------------------------------------------------------------------------

TEST_F(Avi, WritesHeadersMoviAndAKeyFrameIndex) {
    ImagePtr a = Frame24(5, 3, 1), b = Frame24(5, 3, 2);
    const std::string path = dir.file("two.avi");
    Export(path, {a.get(), b.get()}, 14);
    const Bytes file = ReadFile(path);
    const uint32_t frameBytes = 16 * 3;  // 5 pixels of 3 bytes, padded to 16
    ASSERT_GE(file.size(), 240u);
    EXPECT_EQ(Id(file, 0), "RIFF");
    EXPECT_EQ(U32(file, 4), file.size() - 8);
    EXPECT_EQ(Id(file, 8), "AVI ");
    EXPECT_EQ(Id(file, 24), "avih");
    EXPECT_EQ(U32(file, 32), 1000000u / 14);  // microseconds per frame
    EXPECT_EQ(U32(file, 44), 0x10u);          // has an index
    EXPECT_EQ(U32(file, 48), 2u);             // frames
    EXPECT_EQ(U32(file, 56), 1u);             // streams
    EXPECT_EQ(U32(file, 64), 5u);
    EXPECT_EQ(U32(file, 68), 3u);
    EXPECT_EQ(Id(file, 100), "strh");
    EXPECT_EQ(Id(file, 108), "vids");
    EXPECT_EQ(Id(file, 112), "DIB ");
    EXPECT_EQ(U32(file, 128), 1u);   // scale
    EXPECT_EQ(U32(file, 132), 14u);  // rate
    EXPECT_EQ(U32(file, 140), 2u);   // length
    EXPECT_EQ(Id(file, 164), "strf");
    EXPECT_EQ(U32(file, 168), 40u);  // the first frame's header, no colour table at 24 bits
    EXPECT_EQ(U32(file, 172 + 16), 0u);  // BI_RGB
    EXPECT_EQ(U32(file, 172 + 20), frameBytes);
    // Room for the OpenDML super index and 'odml' list, JUNK while the file is AVI 1.0.
    EXPECT_EQ(Id(file, 212), "JUNK");
    EXPECT_EQ(Id(file, 212 + 4128), "JUNK");
    EXPECT_EQ(Id(file, 212 + 4128 + 268), "LIST");
    const size_t moviType = 212 + 4128 + 268 + 8;
    EXPECT_EQ(Id(file, moviType), "movi");
    EXPECT_EQ(U32(file, moviType - 4), 4 + 2 * (8 + frameBytes));
    const size_t index = moviType + U32(file, moviType - 4);
    EXPECT_EQ(Id(file, index), "idx1");
    EXPECT_EQ(U32(file, index + 4), 32u);
    for (uint32_t n = 0; n < 2; ++n) {
        const size_t entry = index + 8 + 16 * n;
        EXPECT_EQ(Id(file, entry), "00db");
        EXPECT_EQ(U32(file, entry + 4), 0x10u) << "frame " << n << " is a key frame";
        const size_t chunk = moviType + U32(file, entry + 8);
        EXPECT_EQ(Id(file, chunk), "00db");
        EXPECT_EQ(U32(file, entry + 12), frameBytes);
        const Image* source = n == 0 ? a.get() : b.get();
        EXPECT_EQ(std::memcmp(file.data() + chunk + 8, ImageBits(source), frameBytes), 0) << "rows as in memory";
    }
}

TEST_F(Avi, ReadsBackWhatItWrote) {
    ImagePtr frames[3] = {Frame24(7, 4, 1), Frame24(7, 4, 2), Frame24(7, 4, 3)};
    const std::string path = dir.file("three.avi");
    Export(path, {frames[0].get(), frames[1].get(), frames[2].get()}, 25);
    AviRead read(path);
    ASSERT_EQ(read.error, kErrorNone);
    EXPECT_EQ(read.frames, 3);
    EXPECT_EQ(read.rate, 25u);
    EXPECT_EQ(read.scale, 1u);
    for (int n = 0; n < 3; ++n) EXPECT_TRUE(SamePixels(read.frame(n), frames[n].get())) << n;
}

TEST_F(Avi, PaletteFramesAreWrittenAs24BitRowsWhateverTheirColours) {
    ImagePtr image(ImageCreate(6, 2, 8));
    PaletteEntry palette[256];
    for (int i = 0; i < 256; ++i) palette[i] = {uint8_t(i), uint8_t(255 - i), uint8_t(i * 3), 0};
    ImageSetPalette(image.get(), palette);
    for (int x = 0; x < 6; ++x) ImageSetPixel(image.get(), x, 0, x * 40), ImageSetPixel(image.get(), x, 1, 255 - x);
    ImagePtr other(ImageDuplicate(image.get()));
    palette[0].red ^= 1;
    ImageSetPalette(other.get(), palette);
    const std::string path = dir.file("pal.avi");
    Export(path, {image.get(), other.get()}, 10);
    const Bytes file = ReadFile(path);
    EXPECT_EQ(U32(file, 168), 40u) << "no colour table";
    EXPECT_EQ(file[172 + 14], 24);
    AviRead read(path);
    EXPECT_EQ(read.frames, 2);
    EXPECT_TRUE(SamePixels(read.frame(0), image.get()));
    EXPECT_TRUE(SamePixels(read.frame(1), other.get()));
}

// Compressors that keep a palette's indices get the colours' changes as
// palette change chunks (AVIPALCHANGE: first, count, flags, then red, green,
// blue, flags of the entries that changed), only where they change.
TEST_F(Avi, ColourChangesOfIndexedFramesArePaletteChangeChunks) {
    uint8_t format[40 + 1024] = {40, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 1, 0, 8};
    for (int i = 0; i < 256; ++i) format[40 + i * 4] = uint8_t(i);  // blue
    const std::string path = dir.file("pc.avi");
    FileHandle* file = FileCreateNew(path.c_str());
    ASSERT_NE(file, nullptr);
    AviVideoFormat video;
    video.format = format;
    video.formatSize = sizeof format;
    Status error = kErrorNone;
    AviFileWriter* writer = AviFileWriterCreate(file, video, &error);
    ASSERT_NE(writer, nullptr);
    uint8_t table[1024];
    std::memcpy(table, format + 40, sizeof table);
    const uint8_t pixels[4] = {7, 9, 0, 0};
    EXPECT_EQ(AviFileWriterColorTable(writer, table), kErrorNone);
    EXPECT_EQ(AviFileWriterFrame(writer, pixels, 4, true, nullptr), kErrorNone);
    table[7 * 4 + 2] = 0x70;  // red of 7
    table[9 * 4 + 1] = 0x90;  // green of 9
    EXPECT_EQ(AviFileWriterColorTable(writer, table), kErrorNone);
    EXPECT_EQ(AviFileWriterFrame(writer, pixels, 4, true, nullptr), kErrorNone);
    EXPECT_EQ(AviFileWriterColorTable(writer, table), kErrorNone);
    EXPECT_EQ(AviFileWriterFrame(writer, pixels, 4, true, nullptr), kErrorNone);
    EXPECT_TRUE(AviFileWriterFinish(writer));
    AviFileWriterFree(writer);
    FileClose(file);
    const Bytes bytes = ReadFile(path);
    const std::string text(bytes.begin(), bytes.end());
    const size_t change = text.find("00pc");
    ASSERT_NE(change, std::string::npos);
    EXPECT_EQ(text.find("00pc", change + 1), std::string::npos);
    EXPECT_EQ(Bytes(bytes.begin() + change + 4, bytes.begin() + change + 24),
              (Bytes{16, 0, 0, 0, 7, 3, 0, 0, 0x70, 0, 7, 0, 0, 0, 8, 0, 0, 0x90, 9, 0}));
    EXPECT_EQ(text.substr(change + 24, 4), "00db") << "before the frame it applies to";
    EXPECT_EQ(U32(bytes, 116) & 0x10000u, 0x10000u) << "the stream header says the palette changes";
}

TEST_F(Avi, WithoutOptionsTheRateComesFromTheFirstDelayAndTheFrameIsFrameZero) {
    ImagePtr frame = Frame24(4, 4, 1, 70);
    const std::string path = dir.file("plain.avi");
    StreamOpenRequest open{kFormatAvi, path.c_str(), 1, frame.get(), nullptr, kErrorNone};
    Stream* stream = StreamOpen(&open);
    ASSERT_NE(stream, nullptr);
    StreamFrameRequest request{frame.get(), 70, nullptr, kErrorNone};
    EXPECT_EQ(StreamWriteFrame(stream, &request), 1);
    EXPECT_EQ(Close(stream, frame.get()), kErrorNone);
    EXPECT_EQ(U32(ReadFile(path), 128), 7u);  // scale
    EXPECT_EQ(U32(ReadFile(path), 132), 100u);  // rate: 100 / 7 frames per second

    // A rate of 0 in the options is written as 1.
    Stream* zero = OpenWrite(dir.file("zero.avi"), frame.get(), 0);
    ASSERT_NE(zero, nullptr);
    Close(zero, frame.get());
    EXPECT_EQ(U32(ReadFile(dir.file("zero.avi")), 132), 1u);
}

TEST_F(Avi, RefusedFramesLeaveTheStreamGoing) {
    ImagePtr a = Frame24(4, 4, 1), b = Frame24(4, 4, 2), wide = Frame24(5, 4, 3);
    ImagePtr deep(ImageConvert(a.get(), 32));
    const std::string path = dir.file("refused.avi");
    Stream* stream = OpenWrite(path, a.get(), 10);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(Write(stream, a.get(), 0), kErrorNone);
    EXPECT_EQ(Write(stream, wide.get(), 1), kErrorInvalidData);
    EXPECT_EQ(Write(stream, deep.get(), 1), kErrorInvalidData);
    EXPECT_EQ(Write(stream, b.get(), 0), kErrorWrite) << "frames are written in order";
    EXPECT_EQ(Write(stream, b.get(), 1), kErrorNone);
    EXPECT_EQ(Close(stream, b.get()), kErrorNone);
    AviRead read(path);
    EXPECT_EQ(read.frames, 2);
    EXPECT_TRUE(SamePixels(read.frame(1), b.get()));
}

TEST_F(Avi, OpenFailuresLeaveNothing) {
    ImagePtr frame = Frame24(4, 4, 1);
    Status error;
    EXPECT_EQ(OpenWrite(dir.file("no/such/dir.avi"), frame.get(), 10, &error), nullptr);
    EXPECT_EQ(error, kErrorWrite);
    ImagePtr packed(ImageCreate(4, 4, 4));
    EXPECT_EQ(OpenWrite(dir.file("four.avi"), packed.get(), 10, &error), nullptr);
    EXPECT_EQ(error, kErrorColorNotSupported);
    EXPECT_EQ(OpenWrite(dir.file("none.avi"), nullptr, 10, &error), nullptr);
    EXPECT_EQ(error, kErrorInvalidData);
    const std::string readPath = dir.file("read.avi");
    StreamOpenRequest read{kFormatAvi, readPath.c_str(), 0, frame.get(), nullptr, kErrorNone};
    EXPECT_EQ(StreamOpen(&read), nullptr) << "it has no read mode";
    EXPECT_EQ(read.error, kErrorUnsupportedType);
    EXPECT_TRUE(Names(dir).empty());
}

// ---- Failures while writing: nothing half-written is ever left -----------------------

// Reads a little-endian 64-bit value.
uint64_t U64(const Bytes& b, size_t at) { return U32(b, at) | uint64_t{U32(b, at + 4)} << 32; }

TEST_F(Avi, PastThePartSizeTheFileBecomesOpenDml) {
    std::vector<ImagePtr> frames;
    for (int n = 0; n < 7; ++n) frames.push_back(Frame24(16, 16, n));  // 768 bytes a frame
    const uint32_t frameBytes = 768;
    const std::string path = dir.file("long.avi");
    AviInjectPartSize(2500);  // about three frames a part
    Stream* stream = OpenWrite(path, frames[0].get(), 10);
    ASSERT_NE(stream, nullptr);
    // Positions 0 1 2 4 5 6 8 9, and the end at 11: the gaps repeat the frame before.
    const uint32_t positions[] = {0, 1, 2, 4, 5, 6, 8};
    for (int n = 0; n < 7; ++n) ASSERT_EQ(Write(stream, frames[n].get(), positions[n]), kErrorNone) << n;
    uint32_t end = 11;
    StreamCloseRequest close{nullptr, &end, kErrorNone};
    ASSERT_EQ(StreamClose(stream, &close), 1);
    const Bytes file = ReadFile(path);

    // Each part's RIFF size leads to the next; the first is 'AVI ', the others 'AVIX'.
    std::vector<size_t> parts;
    for (size_t at = 0; at + 12 <= file.size(); at += 8 + U32(file, at + 4)) {
        ASSERT_EQ(Id(file, at), "RIFF");
        EXPECT_EQ(Id(file, at + 8), parts.empty() ? "AVI " : "AVIX");
        parts.push_back(at);
    }
    ASSERT_GE(parts.size(), 3u);
    EXPECT_EQ(U32(file, 140), 11u) << "strh counts all";
    const size_t super = 212, odml = 212 + 4128;
    EXPECT_EQ(Id(file, odml), "LIST");
    EXPECT_EQ(Id(file, odml + 8), "odml");
    EXPECT_EQ(Id(file, odml + 12), "dmlh");
    EXPECT_EQ(U32(file, odml + 20), 11u);
    ASSERT_EQ(Id(file, super), "indx");
    EXPECT_EQ(U32(file, super + 12), parts.size());
    EXPECT_EQ(Id(file, super + 16), "00db");

    // The super index names each part's ix00, whose entries name its chunks.
    std::vector<uint32_t> sizes;
    for (uint32_t p = 0; p < parts.size(); ++p) {
        const size_t entry = super + 32 + 16 * p;
        const size_t ix = static_cast<size_t>(U64(file, entry));
        ASSERT_LT(ix, file.size());
        EXPECT_GT(ix, parts[p]);
        if (p + 1 < parts.size()) {
            EXPECT_LT(ix, parts[p + 1]);
        }
        ASSERT_EQ(Id(file, ix), "ix00");
        EXPECT_EQ(U32(file, entry + 8), 8 + U32(file, ix + 4));
        const uint32_t count = U32(file, ix + 12);
        EXPECT_EQ(U32(file, entry + 12), count);
        const uint64_t base = U64(file, ix + 20);
        for (uint32_t e = 0; e < count; ++e) {
            const size_t data = static_cast<size_t>(base + U32(file, ix + 32 + 8 * e));
            const uint32_t size = U32(file, ix + 36 + 8 * e);
            ASSERT_EQ(Id(file, data - 8), "00db");
            EXPECT_EQ(U32(file, data - 4), size & 0x7FFFFFFFu);
            EXPECT_EQ(size == 0x80000000u || size == frameBytes, true) << "frames are key frames, repeats empty";
            sizes.push_back(size & 0x7FFFFFFFu);
        }
    }
    EXPECT_EQ(sizes, (std::vector<uint32_t>{768, 768, 768, 0, 768, 768, 768, 0, 768, 0, 0}));
    // The idx1 follows the first part's 'movi' list and holds its frames only.
    const size_t movi = 212 + 4128 + 268;
    const size_t idx1 = movi + 8 + U32(file, movi + 4);
    ASSERT_EQ(Id(file, idx1), "idx1");
    EXPECT_EQ(U32(file, idx1 + 4), 16 * U32(file, super + 32 + 12));
    EXPECT_EQ(U32(file, 48), U32(file, super + 32 + 12)) << "avih counts the first part's frames";

    // Every part's frames, in order; empty chunks repeat the frame before.
    AviRead read(path);
    EXPECT_EQ(read.frames, 11);
    for (int n = 0; n < 11; ++n) {
        const int shown = n < 3 ? n : n < 7 ? n - 1 : n < 9 ? n - 2 : 6;
        EXPECT_TRUE(SamePixels(read.frame(n), frames[static_cast<size_t>(shown)].get())) << n;
    }

    // ffmpeg reads the parts through the indexes, as players do; it gives the
    // 7 frames with their times, where the empty chunks only hold the time.
    if (std::system("ffprobe -version >/dev/null 2>&1") != 0) return;
    const std::string out = dir.file("probe.txt");
    const std::string command = "ffprobe -v error -count_frames -show_entries "
                                "stream=r_frame_rate,nb_read_frames:format=duration -of csv=p=0 " + path + " >" + out;
    ASSERT_EQ(std::system(command.c_str()), 0);
    const Bytes probe = ReadFile(out);
    EXPECT_EQ(std::string(probe.begin(), probe.end()), "10/1,7\n1.100000\n");
}

TEST_F(Avi, AFailedWriteRemovesThePartialFileAndKeepsTheOldOne) {
    ImagePtr frame = Frame24(8, 8, 1);
    const std::string path = dir.file("full.avi");
    WriteFile(path, {'o', 'l', 'd'});
    Stream* stream = OpenWrite(path, frame.get(), 10);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(Write(stream, frame.get(), 0), kErrorNone);
    SaveInjectWriteFailure(2);  // the second frame's pixels: the disk is full
    EXPECT_EQ(Write(stream, frame.get(), 1), kErrorWrite);
    EXPECT_EQ(Names(dir), std::vector<std::string>{"full.avi"});
    EXPECT_EQ(Close(stream, frame.get()), kErrorWrite);
    EXPECT_EQ(ReadFile(path), (Bytes{'o', 'l', 'd'}));

    // The index and the final header are written at close.
    stream = OpenWrite(path, frame.get(), 10);
    EXPECT_EQ(Write(stream, frame.get(), 0), kErrorNone);
    SaveInjectWriteFailure(1);
    EXPECT_EQ(Close(stream, frame.get()), kErrorWrite);
    EXPECT_EQ(ReadFile(path), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(Names(dir), std::vector<std::string>{"full.avi"});
}

TEST_F(Avi, AnAbandonedStreamLeavesTheOldFile) {
    ImagePtr frame = Frame24(8, 8, 1);
    const std::string path = dir.file("kept.avi");
    WriteFile(path, {'o', 'l', 'd'});
    Stream* stream = OpenWrite(path, frame.get(), 10);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(Write(stream, frame.get(), 0), kErrorNone);
    StreamCloseRequest close{frame.get(), nullptr, kErrorNone};
    StreamAbandon(stream, &close);
    EXPECT_EQ(ReadFile(path), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(Names(dir), std::vector<std::string>{"kept.avi"});
}

}  // namespace
