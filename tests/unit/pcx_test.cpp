#include <gtest/gtest.h>

#include <array>
#include <random>

#include "codecs/pcx.h"
#include "tests/support/flic_writer.h"
#include "tests/support/test_util.h"

namespace {

void PutU16(Bytes& b, size_t at, int v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

// A PCX file built line by line: each plane line is given decoded and
// written as literals, or given already encoded.
struct PcxFile {
    Bytes bytes = Bytes(kPcxHeaderSize, 0);

    PcxFile(int width, int height, int bits, int planes, int lineLength) {
        bytes[0] = 10, bytes[1] = 5, bytes[2] = 1, bytes[3] = static_cast<uint8_t>(bits);
        PutU16(bytes, 8, width - 1);
        PutU16(bytes, 10, height - 1);
        bytes[65] = static_cast<uint8_t>(planes);
        PutU16(bytes, 66, lineLength);
    }
    PcxFile& headerColor(int index, Rgb c) {
        bytes[16 + index * 3] = c.r, bytes[17 + index * 3] = c.g, bytes[18 + index * 3] = c.b;
        return *this;
    }
    PcxFile& line(const Bytes& decoded) {
        for (uint8_t v : decoded) {
            if (v >= 0xC0) bytes.push_back(0xC1);
            bytes.push_back(v);
        }
        return *this;
    }
    PcxFile& encoded(const Bytes& data) {
        bytes.insert(bytes.end(), data.begin(), data.end());
        return *this;
    }
    // The 256-colour palette: entry i is (i, 255 - i, i / 2).
    PcxFile& vgaPalette(uint8_t marker = kPcxPaletteMarker) {
        bytes.push_back(marker);
        for (int i = 0; i < 256; ++i) {
            bytes.push_back(static_cast<uint8_t>(i));
            bytes.push_back(static_cast<uint8_t>(255 - i));
            bytes.push_back(static_cast<uint8_t>(i / 2));
        }
        return *this;
    }
};

Rgb ColorOf(const Image* image, int index) {
    const RgbQuad* q = ImageColorTable(image, index);
    return {q->rgbRed, q->rgbGreen, q->rgbBlue};
}

bool operator==(Rgb a, Rgb b) { return a.r == b.r && a.g == b.g && a.b == b.b; }

Bytes Encode(const Bytes& line) {
    Bytes out(line.size() * 2);
    out.resize(static_cast<size_t>(PcxEncodeLine(line.data(), static_cast<int>(line.size()), out.data())));
    return out;
}

// The format's decoding of one line, for checking the encoder on its own.
Bytes DecodeLine(const Bytes& data, bool* runsFit) {
    Bytes out;
    *runsFit = true;
    for (size_t i = 0; i < data.size(); ++i) {
        if (data[i] < 0xC0) {
            out.push_back(data[i]);
            continue;
        }
        const int count = data[i] & 0x3F;
        if (count < 1 || i + 1 >= data.size()) *runsFit = false;
        if (i + 1 < data.size()) out.insert(out.end(), static_cast<size_t>(count), data[++i]);
    }
    return out;
}

TEST(PcxProbe, ChecksManufacturerEncodingVersionAndBits) {
    PcxFile file(4, 4, 8, 1, 4);
    LoadRequest request{static_cast<uint32_t>(file.bytes.size()), file.bytes.data(), kErrorNone, 0};
    EXPECT_TRUE(PcxProbe(&request));
    file.bytes[1] = 6;
    EXPECT_FALSE(PcxProbe(&request));
    file.bytes[1] = 5, file.bytes[2] = 0;
    EXPECT_FALSE(PcxProbe(&request));
    file.bytes[2] = 1, file.bytes[3] = 16;
    EXPECT_FALSE(PcxProbe(&request));
    file.bytes[3] = 8, file.bytes[0] = 11;
    EXPECT_FALSE(PcxProbe(&request));
    request.size = 3;
    file.bytes[0] = 10;
    EXPECT_FALSE(PcxProbe(&request));
}

TEST(PcxEncode, WorkedLines) {
    EXPECT_EQ(Encode(Bytes(100, 7)), (Bytes{0xFF, 0x07, 0xE5, 0x07}));
    EXPECT_EQ(Encode({0xC5, 0x01, 0x02, 0x03}), (Bytes{0xC1, 0xC5, 0x01, 0x02, 0x03}));
    EXPECT_EQ(Encode({1, 2, 2, 3}), (Bytes{0x01, 0xC2, 0x02, 0x03}));
    EXPECT_EQ(Encode({9}), (Bytes{9}));
    EXPECT_EQ(Encode({0xC0}), (Bytes{0xC1, 0xC0}));
    EXPECT_EQ(Encode({0xC0, 0xC0}), (Bytes{0xC2, 0xC0}));
    EXPECT_EQ(Encode({}), Bytes{});
    // A run of exactly 63 ends the run; the byte after it starts afresh.
    Bytes sixtyFour(64, 5);
    EXPECT_EQ(Encode(sixtyFour), (Bytes{0xFF, 5, 5}));
}

TEST(PcxEncode, AnyLineDecodesBackWithinTwiceItsLength) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 500; ++trial) {
        Bytes line(1 + rng() % 300);
        for (size_t i = 0; i < line.size(); ++i) {
            const bool repeat = i > 0 && rng() % 3 != 0;
            line[i] = repeat ? line[i - 1] : static_cast<uint8_t>(rng() % 2 ? rng() : 0xC0 + rng() % 64);
        }
        const Bytes encoded = Encode(line);
        ASSERT_LE(encoded.size(), line.size() * 2);
        bool runsFit = false;
        ASSERT_EQ(DecodeLine(encoded, &runsFit), line) << "trial " << trial;
        EXPECT_TRUE(runsFit);
    }
}

TEST(PcxLoad, EightBitTakesTheLastPaletteWhateverPrecedesIt) {
    for (uint8_t marker : {kPcxPaletteMarker, uint8_t{0x55}}) {
        // Width 5 is stored with 6 bytes per line, the last one padding.
        LoadedFrames image = LoadBytes(PcxFile(5, 2, 8, 1, 6).line({1, 2, 3, 4, 0xC7, 0}).line({5, 5, 5, 5, 5, 9}).vgaPalette(marker).bytes);
        ASSERT_TRUE(image);
        EXPECT_EQ(ImageBitCount(image.get()), 8);
        EXPECT_EQ(ImageGetPixel(image.get(), 0, 0), 1u);
        EXPECT_EQ(ImageGetPixel(image.get(), 4, 0), 0xC7u);
        EXPECT_EQ(ImageGetPixel(image.get(), 4, 1), 5u);
        EXPECT_TRUE(ColorOf(image.get(), 200) == (Rgb{200, 55, 100}));
        EXPECT_EQ(ImageFormat(image.get())->id, kFormatPcx);
    }
}

TEST(PcxLoad, ThreeColorPlanesMakeBlueGreenRedPixels) {
    LoadedFrames image = LoadBytes(PcxFile(2, 1, 8, 3, 2).line({0x10, 0x11}).line({0x20, 0x21}).line({0x30, 0xE1}).bytes);
    ASSERT_TRUE(image);
    EXPECT_EQ(ImageBitCount(image.get()), 24);
    EXPECT_EQ(ImageGetPixel(image.get(), 0, 0), 0x102030u);
    EXPECT_EQ(ImageGetPixel(image.get(), 1, 0), 0x1121E1u);
}

TEST(PcxLoad, FourEightBitPlanesMakeBlueGreenRedAlphaPixels) {
    LoadedFrames image = LoadBytes(PcxFile(1, 1, 8, 4, 2).line({0x10, 0}).line({0x20, 0}).line({0x30, 0}).line({0x80, 0}).bytes);
    ASSERT_TRUE(image);
    EXPECT_EQ(ImageBitCount(image.get()), 32);
    const uint8_t* pixel = ImageRow(image.get(), 0);
    EXPECT_EQ((Bytes{pixel, pixel + 4}), (Bytes{0x30, 0x20, 0x10, 0x80}));
}

TEST(PcxLoad, BitPlanesMergeIntoPixelValuesWithPlaneZeroLowest) {
    // Ten pixels whose values are 0..9: bit k of value x sits in plane k.
    auto plane = [](int k) {
        Bytes line(2, 0);
        for (int x = 0; x < 10; ++x)
            if ((x >> k) & 1) line[static_cast<size_t>(x / 8)] |= static_cast<uint8_t>(0x80 >> (x % 8));
        return line;
    };
    for (int planes : {2, 3, 4}) {
        PcxFile file(10, 1, 1, planes, 2);
        for (int i = 0; i < 16; ++i) file.headerColor(i, {uint8_t(i * 16), uint8_t(i), uint8_t(255 - i)});
        for (int k = 0; k < planes; ++k) file.line(plane(k));
        LoadedFrames image = LoadBytes(file.bytes);
        ASSERT_TRUE(image) << planes;
        EXPECT_EQ(ImageBitCount(image.get()), planes == 2 ? 2 : 4);
        const uint32_t mask = (1u << planes) - 1;
        for (int x = 0; x < 10; ++x) EXPECT_EQ(ImageGetPixel(image.get(), x, 0), x & mask) << planes << " planes, x " << x;
        EXPECT_TRUE(ColorOf(image.get(), 3) == (Rgb{48, 3, 252}));
    }
}

TEST(PcxLoad, OneBitImageWithTwoEqualHeaderColorsIsBlackAndWhite) {
    LoadedFrames plain = LoadBytes(PcxFile(8, 1, 1, 1, 2).line({0xF0, 0}).bytes);
    ASSERT_TRUE(plain);
    EXPECT_EQ(ImageGetPixel(plain.get(), 0, 0), 1u);
    EXPECT_TRUE(ColorOf(plain.get(), 0) == (Rgb{0, 0, 0}));
    EXPECT_TRUE(ColorOf(plain.get(), 1) == (Rgb{255, 255, 255}));

    LoadedFrames colored = LoadBytes(PcxFile(8, 1, 1, 1, 2).headerColor(0, {10, 20, 30}).headerColor(1, {40, 50, 60}).line({0xF0, 0}).bytes);
    ASSERT_TRUE(colored);
    EXPECT_TRUE(ColorOf(colored.get(), 0) == (Rgb{10, 20, 30}));
    EXPECT_TRUE(ColorOf(colored.get(), 1) == (Rgb{40, 50, 60}));
}

TEST(PcxLoad, RunsStopAtTheEndOfTheirPlaneLine) {
    // A run of 5 into a 2-byte plane line: its last 3 bytes are dropped, and
    // the next plane starts with the next packet.
    LoadedFrames image = LoadBytes(PcxFile(2, 1, 8, 3, 2).encoded({0xC5, 0x11, 0x22, 0x23, 0x33, 0x34}).bytes);
    ASSERT_TRUE(image);
    EXPECT_EQ(ImageGetPixel(image.get(), 0, 0), 0x112233u);
    EXPECT_EQ(ImageGetPixel(image.get(), 1, 0), 0x112334u);
}

TEST(PcxLoad, EmptyRunPacketsProduceNothing) {
    LoadedFrames image = LoadBytes(PcxFile(2, 1, 8, 1, 2).encoded({0xC0, 0x77, 0x01, 0xC0, 0x55, 0x02}).vgaPalette().bytes);
    ASSERT_TRUE(image);
    EXPECT_EQ(ImageGetPixel(image.get(), 0, 0), 1u);
    EXPECT_EQ(ImageGetPixel(image.get(), 1, 0), 2u);
}

TEST(PcxLoad, DamagedFilesGiveCleanErrors) {
    Status error = kErrorNone;
    // Bytes per line too small for the width.
    EXPECT_FALSE(LoadBytes(PcxFile(17, 1, 1, 1, 2).line({0, 0}).bytes, &error));
    EXPECT_EQ(error, kErrorInvalidData);
    EXPECT_FALSE(LoadBytes(PcxFile(3, 1, 8, 3, 2).line({0, 0}).line({0, 0}).line({0, 0}).bytes, &error));
    EXPECT_EQ(error, kErrorInvalidData);
    // An 8-bit file shorter than its palette.
    EXPECT_FALSE(LoadBytes(PcxFile(2, 2, 8, 1, 2).line({1, 2}).line({3, 4}).bytes, &error));
    EXPECT_EQ(error, kErrorInvalidData);
    // Data that ends inside a line, or inside a packet.
    EXPECT_FALSE(LoadBytes(PcxFile(4, 2, 8, 3, 4).line({1, 2, 3, 4}).bytes, &error));
    EXPECT_EQ(error, kErrorInvalidData);
    EXPECT_FALSE(LoadBytes(PcxFile(4, 1, 1, 1, 2).encoded({0xC2}).bytes, &error));
    EXPECT_EQ(error, kErrorInvalidData);
    // A header alone, and less.
    EXPECT_FALSE(LoadBytes(PcxFile(4, 4, 1, 1, 2).bytes, &error));
    EXPECT_EQ(error, kErrorInvalidData);
    Bytes cutHeader = PcxFile(4, 4, 1, 1, 2).bytes;
    cutHeader.resize(100);
    EXPECT_FALSE(LoadBytes(cutHeader, &error));
    EXPECT_EQ(error, kErrorInvalidData);
    // A huge picture promised by a tiny file is refused before it is allocated.
    PcxFile huge(65535, 4000, 8, 1, 65535);
    EXPECT_FALSE(LoadBytes(huge.line({1, 2, 3}).bytes, &error));
    EXPECT_EQ(error, kErrorInvalidData);
}

TEST(PcxLoad, LayoutsWithoutAPictureAndEmptyBoundsAreRefused) {
    Status error = kErrorNone;
    for (auto [bits, planes] : {std::pair{8, 2}, {4, 2}, {2, 4}, {1, 5}, {3, 1}, {8, 0}, {0, 1}}) {
        EXPECT_FALSE(LoadBytes(PcxFile(2, 1, bits, planes, 2).line(Bytes(16, 0)).vgaPalette().bytes, &error));
        EXPECT_EQ(error, kErrorColorNotSupported) << bits << " x " << planes;
    }
    // Bounds whose end lies before their start, or beyond the widest picture.
    for (int field : {4, 6}) {
        PcxFile reversed(2, 1, 8, 1, 2);
        PutU16(reversed.bytes, static_cast<size_t>(field), 5);  // Xmin or Ymin beyond Xmax or Ymax
        EXPECT_FALSE(LoadBytes(reversed.line({1, 2}).vgaPalette().bytes, &error)) << field;
        EXPECT_EQ(error, kErrorInvalidData) << field;
    }
    PcxFile wide(65536, 1, 1, 1, 8192);
    EXPECT_FALSE(LoadBytes(wide.encoded(Bytes(300, 0xFF)).bytes, &error));
    EXPECT_EQ(error, kErrorInvalidData);
}

TEST(PcxLoad, CorpusFilesShowWhatTheirAuthorsExpect) {
    const std::string dir = CorpusDir();
    if (dir.empty()) GTEST_SKIP() << "no corpus beside the checkout";
    FormatRegisterAll();
    LoadRequest request{};
    ImagePtr one(ImageLoadFile((dir + "/pcx/zigimg/test-bpp1.pcx").c_str(), &request));
    ASSERT_TRUE(one);
    EXPECT_EQ(ImageBitCount(one.get()), 1);
    EXPECT_EQ(ImageGetPixel(one.get(), 0, 0), 0u);
    EXPECT_EQ(ImageGetPixel(one.get(), 15, 0), 1u);
    EXPECT_EQ(ImageGetPixel(one.get(), 11, 22), 1u);
    EXPECT_TRUE(ColorOf(one.get(), 0) == (Rgb{102, 90, 155}));
    EXPECT_TRUE(ColorOf(one.get(), 1) == (Rgb{115, 137, 106}));

    ImagePtr four(ImageLoadFile((dir + "/pcx/zigimg/test-bpp4.pcx").c_str(), &request));
    ASSERT_TRUE(four);
    EXPECT_EQ(ImageBitCount(four.get()), 4);
    const std::array<uint32_t, 5> firstRow = {1, 9, 0, 0, 4};
    for (int x = 0; x < 5; ++x) EXPECT_EQ(ImageGetPixel(four.get(), x, 0), firstRow[static_cast<size_t>(x)]);
    EXPECT_EQ(ImageGetPixel(four.get(), 9, 14), 6u);
    EXPECT_EQ(ImageGetPixel(four.get(), 25, 25), 7u);
    EXPECT_TRUE(ColorOf(four.get(), 15) == (Rgb{0x60, 0xB5, 0x68}));
}

}  // namespace

namespace {

Bytes Encoded(Image* image, Status* error = nullptr) {
    SaveRequest request{kFormatPcx, nullptr, nullptr, kErrorNone};
    const int saved = PcxSave(image, &request);
    if (error) *error = request.error;
    if (!saved) return {};
    return TakeOutput(request);
}

ImagePtr RandomImage(int width, int height, int depth, std::mt19937& rng) {
    ImagePtr image(ImageCreate(width, height, depth));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const uint32_t v = rng() % 3 == 0 && x > 0 ? ImageGetPixel(image.get(), x - 1, y) : rng();
            ImageSetPixel(image.get(), x, y, depth >= 32 ? v : v & ((1u << depth) - 1));
        }
    if (depth <= 8) {
        PaletteEntry colors[256];
        for (int i = 0; i < 256; ++i) colors[i] = {uint8_t(rng()), uint8_t(rng()), uint8_t(rng()), 0};
        ImageSetPalette(image.get(), colors);
    }
    return image;
}

void ExpectSamePicture(const Image* a, const Image* b) {
    ASSERT_EQ(ImageWidth(a), ImageWidth(b));
    ASSERT_EQ(ImageHeight(a), ImageHeight(b));
    ASSERT_EQ(ImageBitCount(a), ImageBitCount(b));
    for (int y = 0; y < ImageHeight(a); ++y)
        for (int x = 0; x < ImageWidth(a); ++x) ASSERT_EQ(ImageGetPixel(a, x, y), ImageGetPixel(b, x, y)) << x << "," << y;
    if (ImageBitCount(a) <= 8) {
        for (int i = 0; i < (1 << ImageBitCount(a)); ++i) ASSERT_TRUE(ColorOf(a, i) == ColorOf(b, i)) << "colour " << i;
    }
}

TEST(PcxSave, EightBitsWidthFiveIsWrittenWithSixBytesALineAndAMarkedPalette) {
    std::mt19937 rng(3);
    ImagePtr image = RandomImage(5, 3, 8, rng);
    const Bytes file = Encoded(image.get());
    ASSERT_GT(file.size(), size_t{kPcxHeaderSize + 769});
    EXPECT_EQ((Bytes{file.begin(), file.begin() + 4}), (Bytes{10, 5, 1, 8}));
    EXPECT_EQ(file[8] | file[9] << 8, 4);
    EXPECT_EQ(file[12] | file[13] << 8, 5);
    EXPECT_EQ(file[65], 1);
    EXPECT_EQ(file[66] | file[67] << 8, 6);
    EXPECT_EQ(file[68], 1);
    EXPECT_EQ(file[file.size() - 769], kPcxPaletteMarker);
    EXPECT_EQ(file[file.size() - 768 + 3 * 7 + 1], ColorOf(image.get(), 7).g);
    // The data lines: five pixel bytes and a zero each.
    bool runsFit = false;
    const Bytes data = DecodeLine(Bytes(file.begin() + kPcxHeaderSize, file.end() - 769), &runsFit);
    ASSERT_EQ(data.size(), 18u);
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 5; ++x) EXPECT_EQ(data[static_cast<size_t>(y * 6 + x)], ImageGetPixel(image.get(), x, y));
        EXPECT_EQ(data[static_cast<size_t>(y * 6 + 5)], 0);
    }
    LoadedFrames back = LoadBytes(file);
    ASSERT_TRUE(back);
    ExpectSamePicture(image.get(), back.get());
}

TEST(PcxSave, TwentyFourBitsAreThreePlanesRedFirst) {
    ImagePtr image(ImageCreate(2, 1, 24));
    ImageSetPixel(image.get(), 0, 0, 0x112233);
    ImageSetPixel(image.get(), 1, 0, 0x4455C6);
    const Bytes file = Encoded(image.get());
    EXPECT_EQ(file[3], 8);
    EXPECT_EQ(file[65], 3);
    EXPECT_EQ(file[66], 2);
    EXPECT_EQ((Bytes{file.begin() + kPcxHeaderSize, file.end()}), (Bytes{0x11, 0x44, 0x22, 0x55, 0x33, 0xC1, 0xC6}));
}

TEST(PcxSave, FourBitsKeepTheirColorsInTheHeaderAndNoPaletteAtTheEnd) {
    std::mt19937 rng(4);
    ImagePtr image = RandomImage(7, 2, 4, rng);
    const Bytes file = Encoded(image.get());
    EXPECT_EQ(file[3], 4);
    EXPECT_EQ(file[65], 1);
    EXPECT_EQ(file[66], 4);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(file[static_cast<size_t>(16 + i * 3)], ColorOf(image.get(), i).r);
    bool runsFit = false;
    EXPECT_EQ(DecodeLine(Bytes(file.begin() + kPcxHeaderSize, file.end()), &runsFit).size(), 8u);  // data only
}

TEST(PcxSave, EveryWrittenDepthLoadsBackTheSame) {
    std::mt19937 rng(5);
    for (int depth : {1, 2, 4, 8, 24})
        for (int width : {1, 3, 8, 17, 200}) {
            ImagePtr image = RandomImage(width, 1 + static_cast<int>(rng() % 9), depth, rng);
            LoadedFrames back = LoadBytes(Encoded(image.get()));
            ASSERT_TRUE(back) << depth << " bits, width " << width;
            ExpectSamePicture(image.get(), back.get());
        }
}

TEST(PcxSave, SixteenAndThirtyTwoBitsAreNotWritten) {
    for (int depth : {16, 32}) {
        ImagePtr image(ImageCreate(2, 2, depth));
        Status error = kErrorNone;
        EXPECT_TRUE(Encoded(image.get(), &error).empty());
        EXPECT_EQ(error, kErrorColorNotSupported);
    }
}

}  // namespace
