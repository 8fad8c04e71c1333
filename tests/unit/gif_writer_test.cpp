#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>

#include "codecs/gif_reader.h"
#include "codecs/gif_writer.h"
#include "formats/save.h"
#include "tests/support/flic_writer.h"
#include "tests/support/test_util.h"

namespace {

struct BufferDeleter {
    void operator()(MemBuffer* buffer) const { MemBufferFree(buffer); }
};

Bytes Encode(const Image* image, GifSaveOptions options, ErrorCode* error = nullptr) {
    ErrorCode local = kErrorNone;
    std::unique_ptr<MemBuffer, BufferDeleter> buffer(GifEncode(image, options, error ? error : &local));
    if (!buffer) return {};
    return Bytes(buffer->data, buffer->data + buffer->size);
}

ImagePtr MakeImage(int width, int height, int depth, const std::vector<uint8_t>& pixels) {
    ImagePtr image(ImageCreate(width, height, depth));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) ImageSetPixel(image.get(), x, y, pixels[static_cast<size_t>(y) * width + x]);
    if (depth <= 8) {
        std::vector<PaletteEntry> palette(size_t{1} << depth);
        for (size_t i = 0; i < palette.size(); ++i)
            palette[i] = {uint8_t(i * 3), uint8_t(255 - i), uint8_t(i ^ 0x5A), 0};
        ImageSetPalette(image.get(), palette.data());
    }
    return image;
}

std::vector<uint8_t> RandomPixels(size_t n, int colors, std::mt19937& rng, int runs = 1) {
    std::vector<uint8_t> pixels(n);
    for (size_t i = 0; i < n; ++i) pixels[i] = (i % runs == 0 || i == 0) ? uint8_t(rng() % colors) : pixels[i - 1];
    return pixels;
}

// The image data as the encoding rules read, transcribed plainly: a map for
// the table, one bit at a time into 255-byte sub-blocks.
Bytes ReferenceData(const std::vector<uint8_t>& pixels, int c) {
    Bytes out;
    uint8_t block[255] = {};
    int count = 0, bitPos = 0;
    auto put = [&](int code, int width) {
        for (int i = 0; i < width; ++i) {
            block[count] = static_cast<uint8_t>(block[count] | (((code >> i) & 1) << bitPos));
            if (++bitPos == 8) {
                bitPos = 0;
                if (++count == 255) {
                    out.push_back(255);
                    out.insert(out.end(), block, block + 255);
                    std::fill(block, block + 255, 0);
                    count = 0;
                }
            }
        }
    };
    const int clear = 1 << c;
    int next = clear + 2, w = c + 1;
    std::map<std::pair<int, int>, int> table;
    put(clear, w);
    int prefix = pixels[0];
    for (size_t i = 1; i < pixels.size(); ++i) {
        const int p = pixels[i];
        auto found = table.find({prefix, p});
        if (found != table.end()) {
            prefix = found->second;
            continue;
        }
        table[{prefix, p}] = next++;
        put(prefix, w);
        if (next == (1 << w) + 1) ++w;
        if (next == 4095) {
            put(clear, w);
            next = clear + 2, w = c + 1;
            table.clear();
        }
        prefix = p;
    }
    put(prefix, w);
    put(clear + 1, w);
    const int n = count + (bitPos > 0 ? 1 : 0);
    if (n > 0) {
        out.push_back(static_cast<uint8_t>(n));
        out.insert(out.end(), block, block + n);
    }
    return out;
}

// The data sub-blocks of a whole single-image file (flags 7), without the
// terminator and trailer.
Bytes DataOf(const Bytes& file, int depth) {
    const size_t start = 13 + 8 + 10 + (size_t{3} << depth) + 1;
    return Bytes(file.begin() + static_cast<long>(start), file.end() - 2);
}

// Codes read back with the widths a decoder uses: (code, width) pairs.
std::vector<std::pair<int, int>> ReadCodes(const Bytes& subBlocks, int c) {
    Bytes data;
    for (size_t at = 0; at < subBlocks.size(); at += 1 + subBlocks[at])
        data.insert(data.end(), subBlocks.begin() + static_cast<long>(at) + 1,
                    subBlocks.begin() + static_cast<long>(at + 1 + subBlocks[at]));
    std::vector<std::pair<int, int>> codes;
    const int clear = 1 << c;
    int width = c + 1, next = clear + 2;
    bool first = true;
    size_t bit = 0;
    while (bit + static_cast<size_t>(width) <= data.size() * 8) {
        int code = 0;
        for (int i = 0; i < width; ++i, ++bit) code |= ((data[bit / 8] >> (bit % 8)) & 1) << i;
        codes.push_back({code, width});
        if (code == clear + 1) break;
        if (code == clear) {
            width = c + 1, next = clear + 2, first = true;
        } else if (first) {
            first = false;
        } else if (next < 4096 && ++next >= (1 << width) && width < 12) {
            ++width;
        }
    }
    return codes;
}

TEST(GifWriter, WorkedTwoByTwoExample) {
    ImagePtr image = MakeImage(2, 2, 8, {0, 0, 0, 0});
    const Bytes file = Encode(image.get(), {7, 0});
    const Bytes header = {'G', 'I', 'F', '8', '9', 'a', 2, 0, 2, 0, 0x77, 0, 0};
    const Bytes control = {0x21, 0xF9, 0x04, 0, 0, 0, 0, 0};
    const Bytes descriptor = {0x2C, 0, 0, 0, 0, 2, 0, 2, 0, 0x87};
    const Bytes data = {8, 0x06, 0x00, 0x01, 0x08, 0x04, 0x10, 0x10, 0x00, 0x3B};
    ASSERT_EQ(file.size(), header.size() + control.size() + descriptor.size() + 768 + data.size());
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 13), header);
    EXPECT_EQ(Bytes(file.begin() + 13, file.begin() + 21), control);
    EXPECT_EQ(Bytes(file.begin() + 21, file.begin() + 31), descriptor);
    EXPECT_EQ(file[31 + 3], 3);  // entry 1: red 3, green 254, blue 0x5B
    EXPECT_EQ(file[31 + 4], 254);
    EXPECT_EQ(Bytes(file.end() - 10, file.end()), data);
    EXPECT_EQ(ReadCodes(DataOf(file, 8), 8),
              (std::vector<std::pair<int, int>>{{256, 9}, {0, 9}, {258, 9}, {0, 9}, {257, 9}}));
}

TEST(GifWriter, DepthsSetCodeSizeTableAndPackedBytes) {
    struct Case {
        int depth, codeSize, tableEntries;
        uint8_t screenPacked, imagePacked;
    };
    for (const Case& k : {Case{1, 2, 2, 0x00, 0x80}, Case{4, 4, 16, 0x33, 0x83}, Case{8, 8, 256, 0x77, 0x87}}) {
        ImagePtr image = MakeImage(3, 2, k.depth, {1, 0, 1, 1, 1, 0});
        const Bytes file = Encode(image.get(), {7, 0});
        ASSERT_FALSE(file.empty());
        EXPECT_EQ(file[10], k.screenPacked) << k.depth;
        EXPECT_EQ(file[30], k.imagePacked) << k.depth;
        EXPECT_EQ(file[31 + 3 * k.tableEntries], k.codeSize) << k.depth;
        EXPECT_EQ(file.back(), 0x3B);
    }
    for (int depth : {16, 24, 32}) {
        ImagePtr image(ImageCreate(2, 2, depth));
        ErrorCode error = kErrorNone;
        EXPECT_TRUE(Encode(image.get(), {7, 0}, &error).empty());
        EXPECT_EQ(error, kErrorColorNotSupported) << depth;
    }
}

TEST(GifWriter, FlagsChooseThePartsAndALongDelayIsCapped) {
    ImagePtr image = MakeImage(2, 2, 8, {1, 2, 3, 4});
    const Bytes all = Encode(image.get(), {7, 0});
    const Bytes header = Encode(image.get(), {1, 0});
    const Bytes body = Encode(image.get(), {2, 0x12345});
    const Bytes trailer = Encode(image.get(), {4, 0});
    EXPECT_EQ(header.size(), 13u);
    EXPECT_EQ(trailer, Bytes{0x3B});
    EXPECT_EQ(body[4], 0xFF);  // 0x12345 hundredths do not fit: the longest delay instead
    EXPECT_EQ(body[5], 0xFF);
    Bytes joined = header;
    joined.insert(joined.end(), body.begin(), body.end());
    joined.insert(joined.end(), trailer.begin(), trailer.end());
    joined[13 + 4] = joined[13 + 5] = 0;
    EXPECT_EQ(joined, all);
    EXPECT_EQ(Encode(image.get(), {8, 0}).size(), 0u) << "unknown bits alone write nothing";
}

TEST(GifWriter, MatchesThePlainEncodingAtEveryDepthAndSize) {
    std::mt19937 rng(7);
    struct Case {
        int width, height, depth, runs;
    };
    // Small, wide, tall, and large enough for several clears (noisy and flat).
    const Case cases[] = {{1, 1, 8, 1},   {7, 3, 1, 1},   {13, 11, 4, 2},  {300, 200, 8, 1},
                          {640, 48, 8, 5}, {257, 300, 1, 3}, {500, 90, 4, 1}, {1000, 1000, 8, 40}};
    for (const Case& k : cases) {
        const auto pixels = RandomPixels(size_t(k.width) * k.height, 1 << k.depth, rng, k.runs);
        ImagePtr image = MakeImage(k.width, k.height, k.depth, pixels);
        const Bytes file = Encode(image.get(), {7, 0});
        const int codeSize = k.depth == 1 ? 2 : k.depth;
        EXPECT_EQ(DataOf(file, k.depth), ReferenceData(pixels, codeSize)) << k.width << "x" << k.height;
        ImagePtr back = LoadBytes(file);
        ASSERT_TRUE(back);
        EXPECT_EQ(ImageBitCount(back.get()), k.depth);
        for (int y = 0; y < k.height; ++y)
            for (int x = 0; x < k.width; ++x)
                ASSERT_EQ(ImageGetPixel(back.get(), x, y), pixels[size_t(y) * k.width + x]) << x << "," << y;
        PaletteEntry a[256], b[256];
        ImageGetPalette(image.get(), a);
        ImageGetPalette(back.get(), b);
        EXPECT_EQ(std::memcmp(a, b, sizeof(PaletteEntry) << k.depth), 0);
    }
}

TEST(GifWriter, ClearsAfterCode4094WithTwelveBitsAndStartsAgain) {
    std::mt19937 rng(3);
    const auto pixels = RandomPixels(200 * 100, 256, rng);
    ImagePtr image = MakeImage(200, 100, 8, pixels);
    const auto codes = ReadCodes(DataOf(Encode(image.get(), {7, 0}), 8), 8);
    // Codes 258..4094 are assigned by the 3837 codes after the first clear.
    ASSERT_GT(codes.size(), 3840u);
    for (size_t i = 1; i < 3838; ++i) ASSERT_NE(codes[i].first, 256) << i;
    EXPECT_EQ(codes[3838], std::make_pair(256, 12));
    EXPECT_EQ(codes[3839].second, 9);
    // The width grew right after code 512 was assigned: code 255 of the data.
    EXPECT_EQ(codes[255].second, 9);
    EXPECT_EQ(codes[256].second, 10);
}

TEST(GifWriter, DataFillingItsLastSubBlockIsFollowedByTheTerminator) {
    // Noisy one-row images: find a width whose data fills whole sub-blocks.
    std::mt19937 rng(11);
    const auto pixels = RandomPixels(3000, 256, rng);
    for (int width = 1; width < 3000; ++width) {
        ImagePtr image = MakeImage(width, 1, 8, pixels);
        const Bytes file = Encode(image.get(), {7, 0});
        const Bytes data = DataOf(file, 8);
        if (data.size() % 256 != 0) continue;
        for (size_t at = 0; at < data.size(); at += 256) EXPECT_EQ(data[at], 255);
        EXPECT_EQ(file[file.size() - 2], 0x00);
        EXPECT_EQ(ImageWidth(LoadBytes(file).get()), width);
        return;
    }
    FAIL() << "no size fills its sub-blocks exactly";
}

TEST(GifWriter, ImageWithoutPaletteGetsABlackTable) {
    ImagePtr image(ImageCreate(2, 1, 4));
    const Bytes file = Encode(image.get(), {7, 0});
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(Bytes(file.begin() + 31, file.begin() + 31 + 48), Bytes(48, 0));
}

TEST(GifSaver, IsRegisteredThirdWithItsStreamAndDefaultsToAWholeFile) {
    FormatRegisterAll();
    EXPECT_EQ(FormatSlot(2), FormatFind(kFormatGif));
    const FileFormat* gif = FormatFind(kFormatGif);
    EXPECT_STREQ(gif->description, "Graphics Interchange Format");
    EXPECT_STREQ(gif->extensions, "GIF");
    ASSERT_NE(gif->streamOps, nullptr);
    EXPECT_EQ(gif->streamOps->readFrame, nullptr);

    ImagePtr image = MakeImage(3, 2, 4, {1, 2, 3, 4, 5, 6});
    SaveRequest request{kFormatGif, nullptr, nullptr, kErrorNone};
    ASSERT_EQ(FormatSave(image.get(), &request), 1);
    std::unique_ptr<MemBuffer, BufferDeleter> output(request.output);
    EXPECT_EQ(Bytes(output->data, output->data + output->size), Encode(image.get(), {7, 0}));

    ImagePtr deep(ImageCreate(2, 2, 24));
    request = {kFormatGif, nullptr, nullptr, kErrorNone};
    EXPECT_EQ(FormatSave(deep.get(), &request), 0);
    EXPECT_EQ(request.error, kErrorColorNotSupported);
    EXPECT_EQ(request.output, nullptr);
}

class GifStream : public ::testing::Test {
protected:
    void SetUp() override { FormatRegisterAll(); }
    Stream* Open(Image* first, int mode = 1) {
        open_ = {kFormatGif, path_.c_str(), mode, first, nullptr, kErrorNone};
        return StreamOpen(&open_);
    }
    TempDir dir_;
    std::string path_ = dir_.file("anim.gif");
    StreamOpenRequest open_{};
};

TEST_F(GifStream, WritesHeaderLoopImagesAndTrailer) {
    // Three frames with equal palettes; the first sets the header's size.
    ImagePtr a = MakeImage(4, 2, 8, std::vector<uint8_t>(8, 1));
    ImagePtr b = MakeImage(4, 2, 8, std::vector<uint8_t>(8, 2));
    ImagePtr c = MakeImage(4, 2, 8, std::vector<uint8_t>(8, 3));
    Stream* stream = Open(a.get());
    ASSERT_NE(stream, nullptr);
    const uint32_t delays[] = {125, 5, 700000};
    Image* frames[] = {a.get(), b.get(), c.get()};
    for (int i = 0; i < 3; ++i) {
        StreamFrameRequest frame{frames[i], delays[i], nullptr, kErrorNone};
        ASSERT_EQ(StreamWriteFrame(stream, &frame), 1);
    }
    StreamCloseRequest close{c.get(), nullptr, kErrorNone};
    ASSERT_EQ(StreamClose(stream, &close), 1);

    Bytes expected = Encode(a.get(), {kGifHeader, 0});
    const Bytes loop = {0x21, 0xFF, 0x0B, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0', 3, 1, 0, 0, 0};
    expected.insert(expected.end(), loop.begin(), loop.end());
    const uint32_t written[] = {12, 0, 0xFFFF};  // 70000 hundredths capped, not wrapped
    for (int i = 0; i < 3; ++i) {
        const Bytes image = Encode(frames[i], {kGifImage, written[i]});
        expected.insert(expected.end(), image.begin(), image.end());
    }
    expected.push_back(0x3B);
    EXPECT_EQ(ReadFile(path_), expected);

    ImagePtr back = LoadBytes(ReadFile(path_));
    ASSERT_EQ(ImageCount(back.get()), 3);
    EXPECT_EQ(ImageGetDelay(back.get()), 120u);
    EXPECT_EQ(ImageGetPixel(ImageNext(back.get()), 3, 1), 2u);
}

TEST_F(GifStream, OpensOnlyForWriting) {
    ImagePtr a = MakeImage(2, 2, 8, {0, 1, 2, 3});
    EXPECT_EQ(Open(a.get(), 0), nullptr);
    EXPECT_EQ(open_.error, kErrorUnsupportedType);
    EXPECT_FALSE(std::filesystem::exists(path_));
}

TEST_F(GifStream, TrueColorFrameFailsAloneAndAnAbandonedStreamLeavesNoFile) {
    ImagePtr a = MakeImage(2, 2, 8, {0, 1, 2, 3});
    ImagePtr deep(ImageCreate(2, 2, 24));
    Stream* stream = Open(a.get());
    ASSERT_NE(stream, nullptr);
    StreamFrameRequest frame{deep.get(), 100, nullptr, kErrorNone};
    EXPECT_EQ(StreamWriteFrame(stream, &frame), 0);
    EXPECT_EQ(frame.error, kErrorColorNotSupported);
    frame = {a.get(), 100, nullptr, kErrorNone};
    EXPECT_EQ(StreamWriteFrame(stream, &frame), 1);
    StreamCloseRequest close{a.get(), nullptr, kErrorNone};
    StreamAbandon(stream, &close);
    EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
}

}  // namespace
