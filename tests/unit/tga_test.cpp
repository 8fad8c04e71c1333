#include <gtest/gtest.h>

#include <random>

#include "codecs/tga.h"
#include "tests/support/flic_writer.h"
#include "tests/support/test_util.h"

namespace {

void PutU16(Bytes& b, size_t at, int v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

// A TGA file built field by field; pixel data is appended as given.
struct TgaFile {
    Bytes bytes = Bytes(kTgaHeaderSize, 0);

    TgaFile(int type, int width, int height, int depth, int descriptor = 0) {
        bytes[2] = static_cast<uint8_t>(type);
        PutU16(bytes, 12, width);
        PutU16(bytes, 14, height);
        bytes[16] = static_cast<uint8_t>(depth);
        bytes[17] = static_cast<uint8_t>(descriptor);
    }
    TgaFile& id(const std::string& text) {
        bytes[0] = static_cast<uint8_t>(text.size());
        bytes.insert(bytes.end(), text.begin(), text.end());
        return *this;
    }
    TgaFile& colorMap(int first, int bits, const Bytes& entries) {
        bytes[1] = 1;
        PutU16(bytes, 3, first);
        PutU16(bytes, 5, static_cast<int>(entries.size() / static_cast<size_t>((bits + 7) / 8)));
        bytes[7] = static_cast<uint8_t>(bits);
        return data(entries);
    }
    TgaFile& data(const Bytes& b) {
        bytes.insert(bytes.end(), b.begin(), b.end());
        return *this;
    }
};

Bytes Pixels(const Image* image) {
    Bytes out;
    const int b = ImageBitCount(image) / 8;
    for (int y = 0; y < ImageHeight(image); ++y) {
        const uint8_t* row = ImageRow(image, y);
        out.insert(out.end(), row, row + ImageWidth(image) * b);
    }
    return out;
}

Rgb ColorOf(const Image* image, int index) {
    const RgbQuad* q = ImageColorTable(image, index);
    return {q->rgbRed, q->rgbGreen, q->rgbBlue};
}

bool operator==(Rgb a, Rgb b) { return a.r == b.r && a.g == b.g && a.b == b.b; }

Bytes EncodeRow(const Bytes& row, int bytesPerPixel) {
    const int pixels = static_cast<int>(row.size()) / bytesPerPixel;
    Bytes out(row.size() * 2);
    out.resize(static_cast<size_t>(TgaEncodeRow(row.data(), pixels, bytesPerPixel, out.data())));
    return out;
}

// The format's decoding of one row's packets, for checking the encoder alone.
Bytes DecodePackets(const Bytes& data, int b, int* packets) {
    Bytes out;
    *packets = 0;
    for (size_t i = 0; i < data.size(); ++(*packets)) {
        const int count = (data[i] & 0x7F) + 1;
        if (data[i++] & 0x80) {
            for (int k = 0; k < count; ++k) out.insert(out.end(), data.begin() + static_cast<long>(i), data.begin() + static_cast<long>(i) + b);
            i += static_cast<size_t>(b);
        } else {
            out.insert(out.end(), data.begin() + static_cast<long>(i), data.begin() + static_cast<long>(i) + count * b);
            i += static_cast<size_t>(count * b);
        }
    }
    return out;
}

TEST(TgaProbe, AcceptsTheSixImageTypesWithWholeBytePixels) {
    TgaFile file(2, 1, 1, 24);
    LoadRequest request{static_cast<uint32_t>(file.bytes.size()), file.bytes.data(), kErrorNone, 0};
    for (int type : {1, 2, 3, 9, 10, 11}) {
        file.bytes[2] = static_cast<uint8_t>(type);
        EXPECT_TRUE(TgaProbe(&request)) << type;
    }
    for (int type : {0, 32, 33, 4}) {
        file.bytes[2] = static_cast<uint8_t>(type);
        EXPECT_FALSE(TgaProbe(&request)) << type;
    }
    file.bytes[2] = 2, file.bytes[16] = 15;
    EXPECT_FALSE(TgaProbe(&request));
    file.bytes[16] = 24, file.bytes[1] = 2;
    EXPECT_FALSE(TgaProbe(&request));
    file.bytes[1] = 0;
    request.size = 17;
    EXPECT_FALSE(TgaProbe(&request));
}

TEST(TgaEncode, WorkedRows) {
    const Bytes pixel = {1, 2, 3};
    Bytes row;
    for (int i = 0; i < 130; ++i) row.insert(row.end(), pixel.begin(), pixel.end());
    EXPECT_EQ(EncodeRow(row, 3), (Bytes{0xFF, 1, 2, 3, 0x81, 1, 2, 3}));
    EXPECT_EQ(EncodeRow({'a', 'b', 'b', 'c'}, 1), (Bytes{0x00, 'a', 0x81, 'b', 0x00, 'c'}));
    EXPECT_EQ(EncodeRow({0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4}, 4), (Bytes{0x01, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4}));
    EXPECT_EQ(EncodeRow({0, 0}, 1), (Bytes{0x81, 0}));
    EXPECT_EQ(EncodeRow({7}, 1), (Bytes{0x00, 7}));
    // 130 different pixels: a full raw packet of 128, then the last two.
    Bytes distinct;
    for (int i = 0; i < 130; ++i) distinct.push_back(static_cast<uint8_t>(i));
    Bytes expected = {0x7F};
    expected.insert(expected.end(), distinct.begin(), distinct.begin() + 128);
    expected.insert(expected.end(), {0x01, 128, 129});
    EXPECT_EQ(EncodeRow(distinct, 1), expected);
}

TEST(TgaEncode, AnyRowDecodesBackWithinTwiceItsSize) {
    std::mt19937 rng(11);
    for (int trial = 0; trial < 400; ++trial) {
        const int b = 1 + static_cast<int>(rng() % 4);
        const int pixels = 1 + static_cast<int>(rng() % 400);
        Bytes row;
        for (int i = 0; i < pixels; ++i) {
            if (i > 0 && rng() % 3 != 0) row.insert(row.end(), row.end() - b, row.end());
            else for (int k = 0; k < b; ++k) row.push_back(static_cast<uint8_t>(rng() % 4));
        }
        const Bytes encoded = EncodeRow(row, b);
        ASSERT_LE(encoded.size(), row.size() * 2);
        int packets = 0;
        ASSERT_EQ(DecodePackets(encoded, b, &packets), row) << "trial " << trial;
    }
}

TEST(TgaLoad, OrientationBitsGiveTheSamePicture) {
    // The picture, top row first: 1 2 3 / 4 5 6.
    const Bytes bottomUp = {4, 5, 6, 1, 2, 3};
    const Bytes topDown = {1, 2, 3, 4, 5, 6};
    const Bytes rightToLeft = {6, 5, 4, 3, 2, 1};
    const Bytes both = {3, 2, 1, 6, 5, 4};
    const std::pair<int, Bytes> cases[] = {{0x00, bottomUp}, {0x20, topDown}, {0x10, rightToLeft}, {0x30, both}};
    for (const auto& [descriptor, data] : cases) {
        LoadedFrames image = LoadBytes(TgaFile(3, 3, 2, 8, descriptor).data(data).bytes);
        ASSERT_TRUE(image) << descriptor;
        EXPECT_EQ(Pixels(image.get()), topDown) << "descriptor " << descriptor;
    }
}

TEST(TgaLoad, ColorMapHonoursItsFirstIndexAndEntrySize) {
    // Two 24-bit entries (blue, green, red) placed at 5 and 6.
    LoadedFrames image = LoadBytes(TgaFile(1, 2, 1, 8).colorMap(5, 24, {1, 2, 3, 4, 5, 6}).data({5, 6}).bytes);
    ASSERT_TRUE(image);
    EXPECT_TRUE(ColorOf(image.get(), 5) == (Rgb{3, 2, 1}));
    EXPECT_TRUE(ColorOf(image.get(), 6) == (Rgb{6, 5, 4}));
    EXPECT_TRUE(ColorOf(image.get(), 0) == (Rgb{0, 0, 0}));
    EXPECT_TRUE(ColorOf(image.get(), 7) == (Rgb{0, 0, 0}));

    // 16-bit entries are 5-5-5 words; 0x7C00 is pure red, 0x83E0 green with the top bit set.
    LoadedFrames words = LoadBytes(TgaFile(1, 1, 1, 8).colorMap(0, 16, {0x00, 0x7C, 0xE0, 0x83, 0x1F, 0x00}).data({0}).bytes);
    ASSERT_TRUE(words);
    EXPECT_TRUE(ColorOf(words.get(), 0) == (Rgb{255, 0, 0}));
    EXPECT_TRUE(ColorOf(words.get(), 1) == (Rgb{0, 255, 0}));
    EXPECT_TRUE(ColorOf(words.get(), 2) == (Rgb{0, 0, 255}));
    // Channels scale as in 16-bit pixels: 16 gives 131, 21 gives 172.
    LoadedFrames fifteen = LoadBytes(TgaFile(1, 1, 1, 8).colorMap(0, 15, {0x10, 0x42, 0xB5, 0x56}).data({0}).bytes);
    ASSERT_TRUE(fifteen);
    EXPECT_TRUE(ColorOf(fifteen.get(), 0) == (Rgb{131, 131, 131}));
    EXPECT_TRUE(ColorOf(fifteen.get(), 1) == (Rgb{172, 172, 172}));

    // 32-bit entries drop their alpha byte.
    LoadedFrames quads = LoadBytes(TgaFile(1, 1, 1, 8).colorMap(0, 32, {10, 20, 30, 40, 50, 60, 70, 80}).data({1}).bytes);
    ASSERT_TRUE(quads);
    EXPECT_TRUE(ColorOf(quads.get(), 1) == (Rgb{70, 60, 50}));
    EXPECT_EQ(ImageGetPixel(quads.get(), 0, 0), 1u);

    // A 16-entry map fills entries 0 to 15 and leaves the rest black.
    Bytes sixteen;
    for (int i = 0; i < 16; ++i) sixteen.insert(sixteen.end(), {uint8_t(i), uint8_t(i + 1), uint8_t(i + 2)});
    LoadedFrames short_ = LoadBytes(TgaFile(1, 1, 1, 8).colorMap(0, 24, sixteen).data({15}).bytes);
    ASSERT_TRUE(short_);
    EXPECT_TRUE(ColorOf(short_.get(), 15) == (Rgb{17, 16, 15}));
    EXPECT_TRUE(ColorOf(short_.get(), 16) == (Rgb{0, 0, 0}));
}

TEST(TgaLoad, GrayImagesAndEightBitsWithoutAMapGetAGrayRamp) {
    for (int type : {3, 11, 1, 2}) {
        TgaFile file(type, 2, 1, 8);
        file.data(type == 11 ? Bytes{0x01, 0x40, 0xC8} : Bytes{0x40, 0xC8});
        LoadedFrames image = LoadBytes(file.bytes);
        ASSERT_TRUE(image) << type;
        EXPECT_TRUE(ColorOf(image.get(), 0x40) == (Rgb{0x40, 0x40, 0x40}));
        EXPECT_TRUE(ColorOf(image.get(), 255) == (Rgb{255, 255, 255}));
        EXPECT_EQ(ImageGetPixel(image.get(), 1, 0), 0xC8u);
    }
}

TEST(TgaLoad, DeepPixelsKeepTheirBytes) {
    LoadedFrames words = LoadBytes(TgaFile(2, 2, 1, 16).data({0x34, 0x12, 0xFF, 0xFF}).bytes);
    ASSERT_TRUE(words);
    EXPECT_EQ(ImageBitCount(words.get()), 16);
    EXPECT_EQ(ImageGetPixel(words.get(), 0, 0), 0x1234u);
    EXPECT_EQ(ImageGetPixel(words.get(), 1, 0), 0xFFFFu);

    LoadedFrames quads = LoadBytes(TgaFile(10, 1, 1, 32).data({0x00, 1, 2, 3, 0x80}).bytes);
    ASSERT_TRUE(quads);
    EXPECT_EQ(ImageGetPixel(quads.get(), 0, 0), 0x80030201u);  // alpha kept
}

TEST(TgaLoad, RunLengthPacketsContinueIntoTheNextRow) {
    // 3 x 2, bottom row first: a run of 4 covers the bottom row and the first
    // pixel of the top row; a raw packet of 4 brings two more than fit.
    LoadedFrames image = LoadBytes(TgaFile(11, 3, 2, 8).data({0x83, 7, 0x03, 8, 9, 10, 11}).bytes);
    ASSERT_TRUE(image);
    EXPECT_EQ(Pixels(image.get()), (Bytes{7, 8, 9, 7, 7, 7}));
    LoadedFrames runPast = LoadBytes(TgaFile(11, 2, 1, 8).data({0xFF, 5}).bytes);
    ASSERT_TRUE(runPast);
    EXPECT_EQ(Pixels(runPast.get()), (Bytes{5, 5}));
}

TEST(TgaLoad, ImageIdIsSkipped) {
    LoadedFrames image = LoadBytes(TgaFile(2, 1, 1, 24).id("hello").data({1, 2, 3}).bytes);
    ASSERT_TRUE(image);
    EXPECT_EQ(ImageGetPixel(image.get(), 0, 0), 0x030201u);
}

TEST(TgaLoad, DamagedFilesGiveCleanErrors) {
    Status error = kErrorNone;
    const Bytes cases[] = {
        TgaFile(2, 2, 2, 24).data(Bytes(11, 0)).bytes,                     // raw rows cut short
        TgaFile(10, 2, 2, 24).data({0x81, 1, 2, 3, 0x81, 1}).bytes,        // packet cut short
        TgaFile(10, 2, 2, 24).data({0x81, 1, 2, 3}).bytes,                 // packets end early
        TgaFile(1, 1, 1, 8).colorMap(0, 24, {1, 2, 3}).bytes,              // no pixels after the map
        TgaFile(1, 1, 1, 8).colorMap(0, 8, {1, 2, 3, 4}).data({0}).bytes,  // no such entry size
        TgaFile(2, 1, 1, 24).id("long id").bytes,                          // id runs past the end
        TgaFile(10, 65535, 1000, 32).data({0xFF, 1, 2, 3, 4}).bytes,       // huge picture, tiny file
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_FALSE(LoadBytes(cases[i], &error)) << i;
        EXPECT_EQ(error, kErrorInvalidData) << i;
    }
    // A cut colour map (the header promises 3 entries, 1 is there).
    Bytes cutMap = TgaFile(1, 1, 1, 8).colorMap(0, 24, {1, 2, 3}).bytes;
    PutU16(cutMap, 5, 3);
    EXPECT_FALSE(LoadBytes(cutMap, &error));
    EXPECT_EQ(error, kErrorInvalidData);
    // Sizes and depths that no image can have are damaged headers, not a
    // lack of memory.
    const Bytes headers[] = {TgaFile(2, 0, 1, 24).bytes, TgaFile(2, 1, 0, 24).bytes, TgaFile(2, 1, 1, 0).data({0}).bytes,
                             TgaFile(2, 1, 1, 40).data(Bytes(5, 0)).bytes, TgaFile(10, 1, 1, 48).data(Bytes(7, 0)).bytes};
    for (size_t i = 0; i < std::size(headers); ++i) {
        EXPECT_FALSE(LoadBytes(headers[i], &error)) << i;
        EXPECT_EQ(error, kErrorInvalidData) << i;
    }
}

}  // namespace

namespace {

Bytes Encoded(Image* image, bool runLength, Status* error = nullptr) {
    TgaSaveOptions options{runLength ? 1u : 0u};
    SaveRequest request{kFormatTga, &options, nullptr, kErrorNone};
    const int saved = TgaSave(image, &request);
    if (error) *error = request.error;
    if (!saved) return {};
    return TakeOutput(request);
}

ImagePtr RandomImage(int width, int height, int depth, std::mt19937& rng) {
    ImagePtr image(ImageCreate(width, height, depth));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const uint32_t v = rng() % 2 == 0 && x > 0 ? ImageGetPixel(image.get(), x - 1, y) : rng();
            ImageSetPixel(image.get(), x, y, depth >= 32 ? v : v & ((1u << depth) - 1));
        }
    if (depth == 8) {
        PaletteEntry colors[256];
        for (int i = 0; i < 256; ++i) colors[i] = {uint8_t(rng()), uint8_t(rng()), uint8_t(rng()), 0};
        ImageSetPalette(image.get(), colors);
    }
    return image;
}

TEST(TgaSave, EightBitsUncompressedIsTypeOneWithAFullMapAndTheBottomRowFirst) {
    std::mt19937 rng(1);
    ImagePtr image = RandomImage(3, 2, 8, rng);
    const Bytes file = Encoded(image.get(), false);
    ASSERT_EQ(file.size(), 18u + 768u + 6u);
    EXPECT_EQ((Bytes{file.begin(), file.begin() + kTgaHeaderSize}),
              (Bytes{0, 1, 1, 0, 0, 0, 1, 24, 0, 0, 0, 0, 3, 0, 2, 0, 8, 0}));
    const Rgb c = ColorOf(image.get(), 9);
    EXPECT_EQ((Bytes{file.begin() + 18 + 27, file.begin() + 18 + 30}), (Bytes{c.b, c.g, c.r}));
    for (int x = 0; x < 3; ++x) {
        EXPECT_EQ(file[static_cast<size_t>(18 + 768 + x)], ImageGetPixel(image.get(), x, 1));
        EXPECT_EQ(file[static_cast<size_t>(18 + 768 + 3 + x)], ImageGetPixel(image.get(), x, 0));
    }
}

TEST(TgaSave, RunLengthRowsAreEncodedInStoredOrder) {
    ImagePtr image(ImageCreate(4, 2, 24));
    for (int x = 0; x < 4; ++x) ImageSetPixel(image.get(), x, 0, 0x010203), ImageSetPixel(image.get(), x, 1, x == 0 ? 7 : 9);
    const Bytes file = Encoded(image.get(), true);
    EXPECT_EQ(file[2], 10);
    EXPECT_EQ((Bytes{file.begin() + kTgaHeaderSize, file.end()}),
              (Bytes{0x00, 7, 0, 0, 0x82, 9, 0, 0, 0x83, 3, 2, 1}));
}

TEST(TgaSave, EveryDepthLoadsBackTheSameEitherWay) {
    std::mt19937 rng(2);
    for (int depth : {8, 16, 24, 32})
        for (bool runLength : {false, true})
            for (int width : {1, 5, 130, 300}) {
                ImagePtr image = RandomImage(width, 1 + static_cast<int>(rng() % 5), depth, rng);
                const Bytes file = Encoded(image.get(), runLength);
                EXPECT_EQ(file[2] >= 9, runLength);
                LoadedFrames back = LoadBytes(file);
                ASSERT_TRUE(back) << depth << " bits";
                EXPECT_EQ(Pixels(back.get()), Pixels(image.get())) << depth << " bits, width " << width;
                if (depth == 8) {
                    for (int i = 0; i < 256; ++i) ASSERT_TRUE(ColorOf(back.get(), i) == ColorOf(image.get(), i));
                }
            }
}

TEST(TgaSave, WithoutOptionsThroughTheRegistryTheImageIsWrittenRaw) {
    FormatRegisterAll();
    ImagePtr image(ImageCreate(3, 1, 24));
    SaveRequest request{kFormatTga, nullptr, nullptr, kErrorNone};
    ASSERT_EQ(FormatSave(image.get(), &request), 1);
    EXPECT_EQ(request.output->size, 18 + 9);
    EXPECT_EQ(request.output->data[2], kTgaTrueColor);
    MemBufferFree(request.output);
}

TEST(TgaSave, DepthsBelowEightBitsAreNotWritten) {
    for (int depth : {1, 2, 4}) {
        ImagePtr image(ImageCreate(4, 4, depth));
        Status error = kErrorNone;
        EXPECT_TRUE(Encoded(image.get(), false, &error).empty());
        EXPECT_EQ(error, kErrorColorNotSupported);
    }
}

}  // namespace
