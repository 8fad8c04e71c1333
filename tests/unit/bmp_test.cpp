#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "codecs/bmp.h"
#include "image/convert.h"
#include "tests/support/bmp_writer.h"
#include "tests/support/test_util.h"

namespace {

const std::vector<Rgb> kFourColors = {{0x10, 0x20, 0x30}, {0xFF, 0, 0}, {0, 0xFF, 0}, {0, 0, 0xFF}};

// Colour of each pixel, top-down, as 0xRRGGBB.
std::vector<uint32_t> Colors(const Image* image) {
    std::vector<uint32_t> out;
    ImagePtr wide(ImageBitCount(image) == 16 ? ImageConvert(image, 24) : nullptr);
    const Image* source = wide ? wide.get() : image;
    for (int y = 0; y < ImageHeight(source); ++y)
        for (int x = 0; x < ImageWidth(source); ++x) out.push_back(ImageColorAt(source, x, y) & 0xFFFFFF);
    return out;
}

ImagePtr Load(const BmpLayout& layout, Status* error = nullptr) { return LoadFirst(BuildBmp(layout), error); }

Status LoadError(const Bytes& bytes) {
    Status error = kErrorNone;
    LoadedFrames image = LoadBytes(bytes, &error);
    EXPECT_FALSE(image);
    return error;
}

// A 3 x 2 8-bit picture using the four colours: top row 0 1 2, bottom row 3 2 1.
BmpLayout FourColorLayout(uint32_t infoSize) {
    BmpLayout layout;
    layout.infoSize = infoSize;
    layout.width = 3;
    layout.height = 2;
    layout.bitCount = 8;
    layout.palette = kFourColors;
    if (infoSize != 12) layout.colorsUsed = 4;
    layout.pixels = BmpRows({{0, 1, 2}, {3, 2, 1}});
    return layout;
}

void Patch32(Bytes& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

const std::vector<uint32_t> kFourColorPicture = {0x102030, 0xFF0000, 0x00FF00, 0x0000FF, 0x00FF00, 0xFF0000};

TEST(BmpProbe, AcceptsOnlyTheBmMagic) {
    uint8_t bm[] = {'B', 'M'}, ba[] = {'B', 'A'};
    LoadRequest request{2, bm, kErrorNone, 0};
    EXPECT_TRUE(BmpProbe(&request));
    request.data = ba;
    EXPECT_FALSE(BmpProbe(&request));
    request = {1, bm, kErrorNone, 0};
    EXPECT_FALSE(BmpProbe(&request));
}

TEST(BmpLoad, ReadsEveryHeaderSizeWithItsColourTable) {
    for (uint32_t infoSize : {12u, 16u, 40u, 52u, 56u, 64u, 108u, 124u}) {
        SCOPED_TRACE(infoSize);
        Status error = kErrorNone;
        ImagePtr image = Load(FourColorLayout(infoSize), &error);
        ASSERT_TRUE(image) << ErrorMessage(error.error);
        EXPECT_EQ(ImageBitCount(image.get()), 8);
        EXPECT_EQ(Colors(image.get()), kFourColorPicture);
        EXPECT_EQ(ImageHeader(image.get())->bmiHeader.biSize, 40u);
        EXPECT_EQ(ImageHeader(image.get())->bmiHeader.biClrUsed, 0u);
    }
}

TEST(BmpLoad, ColourCountAndPixelOffsetLimitTheTable) {
    // Two entries counted; the pixels follow them directly.
    BmpLayout counted = FourColorLayout(40);
    counted.palette.resize(2);
    counted.colorsUsed = 2;
    counted.pixels = BmpRows({{0, 1, 1}, {1, 0, 0}});
    ImagePtr image = Load(counted);
    ASSERT_TRUE(image);
    EXPECT_EQ(Colors(image.get()), (std::vector<uint32_t>{0x102030, 0xFF0000, 0xFF0000, 0xFF0000, 0x102030, 0x102030}));
    EXPECT_EQ(ImageColorTable(image.get(), 2)->rgbGreen, 0);  // entries past the count are black

    // An OS/2 file with a short table: only the pixel offset tells its length.
    BmpLayout core = FourColorLayout(12);
    core.palette.resize(3);
    core.pixels = BmpRows({{0, 1, 2}, {2, 1, 0}});
    image = Load(core);
    ASSERT_TRUE(image);
    EXPECT_EQ(Colors(image.get()), (std::vector<uint32_t>{0x102030, 0xFF0000, 0x00FF00, 0x00FF00, 0xFF0000, 0x102030}));

    // A gap between table and pixels is skipped.
    BmpLayout gap = FourColorLayout(40);
    gap.pixelOffset = 14 + 40 + 16 + 100;
    image = Load(gap);
    ASSERT_TRUE(image);
    EXPECT_EQ(Colors(image.get()), kFourColorPicture);

    // A count above what the bit count allows is none: the offset tells again.
    BmpLayout overcounted = FourColorLayout(40);
    overcounted.colorsUsed = 305402420;  // bmpsuite's badpalettesize.bmp
    image = Load(overcounted);
    ASSERT_TRUE(image);
    EXPECT_EQ(Colors(image.get()), kFourColorPicture);

    // A pixel offset pointing into the table is wrong: the pixels follow the table.
    BmpLayout inside = FourColorLayout(40);
    inside.pixelOffset = 54;
    image = Load(inside);
    ASSERT_TRUE(image);
    EXPECT_EQ(Colors(image.get()), kFourColorPicture);
}

TEST(BmpLoad, KeepsTheReservedByteOfColourEntries) {
    BmpLayout layout = FourColorLayout(40);
    layout.reserved = 0x7F;
    ImagePtr image = Load(layout);
    ASSERT_TRUE(image);
    EXPECT_EQ(ImageColorAt(image.get(), 0, 0), 0x7F102030u);
}

TEST(BmpLoad, TopDownRows) {
    BmpLayout layout = FourColorLayout(40);
    layout.height = -2;
    layout.pixels = BmpRows({{0, 1, 2}, {3, 2, 1}}, true);
    ImagePtr image = Load(layout);
    ASSERT_TRUE(image);
    EXPECT_EQ(ImageHeight(image.get()), 2);
    EXPECT_EQ(Colors(image.get()), kFourColorPicture);

    layout.height = INT32_MIN;
    EXPECT_EQ(LoadError(BuildBmp(layout)), kErrorInvalidData);
}

TEST(BmpLoad, PackedDepthsAndTheirPadding) {
    BmpLayout layout;
    layout.width = 9;  // 1 bit: two bytes of pixels, two of padding
    layout.height = 2;
    layout.bitCount = 1;
    layout.palette = {{0, 0, 0}, {0xFF, 0xFF, 0xFF}};
    layout.pixels = BmpRows({{0xA5, 0x80}, {0xFF, 0x00}});
    ImagePtr image = Load(layout);
    ASSERT_TRUE(image);
    const std::vector<uint32_t> top = {0xFFFFFF, 0, 0xFFFFFF, 0, 0, 0xFFFFFF, 0, 0xFFFFFF, 0xFFFFFF};
    const std::vector<uint32_t> colors = Colors(image.get());
    EXPECT_EQ(std::vector<uint32_t>(colors.begin(), colors.begin() + 9), top);

    layout.width = 3;
    layout.bitCount = 2;  // Windows CE
    layout.palette = kFourColors;
    layout.pixels = BmpRows({{0x1B}, {0xE4}});  // 0 1 2 (3), 3 2 1 (0)
    image = Load(layout);
    ASSERT_TRUE(image);
    EXPECT_EQ(Colors(image.get()), kFourColorPicture);
}

TEST(BmpLoad, Rle8RunsAbsoluteRunsDeltaAndEndCodes) {
    BmpLayout layout = FourColorLayout(40);
    layout.width = 6;
    layout.height = 3;
    layout.compression = kBmpRle8;
    layout.pixels = {
        3, 1, 0, 3, 2, 3, 0, 0,     // bottom row: 1 1 1, then an absolute run 2 3 0 and its padding byte
        0, 0,                       // end of line
        0, 2, 2, 1,                 // middle row: delta 2 right, 1 up: the middle row is skipped
        2, 3, 0, 0,                 // top row from x 2: 3 3, end of line
        0, 1,                       // end of bitmap
        5, 1,                       // never read
    };
    ImagePtr image = Load(layout);
    ASSERT_TRUE(image);
    EXPECT_EQ(ImageBitCount(image.get()), 8);
    const uint32_t a = 0x102030, r = 0xFF0000, g = 0x00FF00, b = 0x0000FF;
    EXPECT_EQ(Colors(image.get()), (std::vector<uint32_t>{a, a, b, b, a, a,   //
                                                          a, a, a, a, a, a,   //
                                                          r, r, r, g, b, a}));
}

TEST(BmpLoad, Rle4RunsAlternateNibblesAndPadOddAbsoluteRuns) {
    BmpLayout layout = FourColorLayout(40);
    layout.width = 5;
    layout.height = 2;
    layout.bitCount = 4;
    layout.compression = kBmpRle4;
    layout.pixels = {
        5, 0x12, 0, 0,           // bottom row: 1 2 1 2 1
        0, 3, 0x32, 0x10, 0, 0,  // top row: absolute 3 2 1, padded to 16 bits
        0, 1,
    };
    ImagePtr image = Load(layout);
    ASSERT_TRUE(image);
    EXPECT_EQ(ImageBitCount(image.get()), 4);
    const uint32_t a = 0x102030, r = 0xFF0000, g = 0x00FF00, b = 0x0000FF;
    EXPECT_EQ(Colors(image.get()), (std::vector<uint32_t>{b, g, r, a, a, r, g, r, g, r}));
}

TEST(BmpLoad, RleThatEndsEarlyOrOverrunsKeepsWhatWasDecoded) {
    BmpLayout layout = FourColorLayout(40);
    layout.width = 4;
    layout.height = 2;
    layout.compression = kBmpRle8;
    layout.pixels = {200, 1, 0, 0, 0, 9, 2};  // a run far past the row, then a cut absolute run
    ImagePtr image = Load(layout);
    ASSERT_TRUE(image);
    EXPECT_EQ(Colors(image.get()), (std::vector<uint32_t>{0x102030, 0x102030, 0x102030, 0x102030,  //
                                                          0xFF0000, 0xFF0000, 0xFF0000, 0xFF0000}));
    layout.height = -2;  // top-down RLE is forbidden but easy to show
    layout.pixels = {4, 1, 0, 1};
    image = Load(layout);
    ASSERT_TRUE(image);
    EXPECT_EQ(Colors(image.get())[0], 0xFF0000u);
}

Bytes Row16(std::initializer_list<uint32_t> pixels) {
    Bytes row;
    for (uint32_t p : pixels) PutLe(row, p, 2);
    return row;
}

Bytes Row32(std::initializer_list<uint32_t> pixels) {
    Bytes row;
    for (uint32_t p : pixels) PutLe(row, p, 4);
    return row;
}

TEST(BmpLoad, SixteenBitsStay555AndOtherMasksBecome24Bits) {
    BmpLayout layout;
    layout.width = 3;
    layout.bitCount = 16;
    layout.pixels = BmpRows({Row16({0x7FFF, 0x7C00, 0x0421})});
    ImagePtr image = Load(layout);
    ASSERT_TRUE(image);
    EXPECT_EQ(ImageBitCount(image.get()), 16);
    EXPECT_EQ(ImageGetPixel(image.get(), 2, 0), 0x0421u);

    layout.compression = kBmpBitfields;
    layout.masks = {0x7C00, 0x03E0, 0x001F};  // the plain masks, spelled out
    image = Load(layout);
    ASSERT_TRUE(image);
    EXPECT_EQ(ImageBitCount(image.get()), 16);

    // 5-6-5, each channel scaled and rounded down as 16-bit pixels are:
    // 1 of 31, 1 of 63, 1 of 31; then 21 of 31 (172), 50 of 63 (202), 21 of 31.
    layout.width = 4;
    layout.masks = {0xF800, 0x07E0, 0x001F};
    layout.pixels = BmpRows({Row16({0xFFFF, 0xF800, 0x0821, 0xAE55})});
    image = Load(layout);
    ASSERT_TRUE(image);
    EXPECT_EQ(ImageBitCount(image.get()), 24);
    EXPECT_EQ(Colors(image.get()), (std::vector<uint32_t>{0xFFFFFF, 0xFF0000, 0x080408, 0xACCAAC}));
}

TEST(BmpLoad, ThirtyTwoBitMasksInAndAfterTheHeader) {
    BmpLayout layout;
    layout.width = 2;
    layout.bitCount = 32;
    layout.pixels = BmpRows({Row32({0xAA112233, 0x00FFFFFF})});
    ImagePtr image = Load(layout);  // plain: copied with its fourth byte
    ASSERT_TRUE(image);
    EXPECT_EQ(ImageBitCount(image.get()), 32);
    EXPECT_EQ(ImageGetPixel(image.get(), 0, 0), 0xAA112233u);

    layout.compression = kBmpBitfields;
    layout.masks = {0x000000FF, 0x0000FF00, 0x00FF0000};  // red in the low byte
    image = Load(layout);
    ASSERT_TRUE(image);
    EXPECT_EQ(ImageBitCount(image.get()), 24);
    EXPECT_EQ(Colors(image.get()), (std::vector<uint32_t>{0x332211, 0xFFFFFF}));

    for (uint32_t infoSize : {40u, 124u}) {  // alpha as a fourth mask: after a short header, or inside a V5 one
        SCOPED_TRACE(infoSize);
        layout.infoSize = infoSize;
        layout.compression = infoSize == 40 ? kBmpAlphaBitfields : kBmpBitfields;
        layout.masks = {0x0000FF00, 0x00FF0000, 0xFF000000, 0x000000FF};
        image = Load(layout);
        ASSERT_TRUE(image);
        EXPECT_EQ(ImageBitCount(image.get()), 32);
        EXPECT_EQ(ImageGetPixel(image.get(), 0, 0), 0x332211AAu);  // of 0xAA112233: alpha 0x33, red 0x22, green 0x11
    }

    layout.infoSize = 56;
    layout.masks = {0x3FF00000, 0x000FFC00, 0x000003FF};  // 10 bits a channel: the top 8 count
    layout.pixels = BmpRows({Row32({0x3FFFFFFF, 0x20080200})});
    image = Load(layout);
    ASSERT_TRUE(image);
    EXPECT_EQ(Colors(image.get()), (std::vector<uint32_t>{0xFFFFFF, 0x808080}));
}

TEST(BmpLoad, DamagedFilesAreInvalidData) {
    const BmpLayout good = FourColorLayout(40);
    Bytes bytes = BuildBmp(good);

    Bytes patched = bytes;
    Patch32(patched, 10, static_cast<uint32_t>(bytes.size()));  // pixels past the end
    EXPECT_EQ(LoadError(patched), kErrorInvalidData);
    patched = bytes;
    Patch32(patched, 14, 4000);  // a header longer than the file
    EXPECT_EQ(LoadError(patched), kErrorInvalidData);

    Bytes cut(bytes.begin(), bytes.begin() + 14 + 40 + 8);  // the table runs past the end
    EXPECT_EQ(LoadError(cut), kErrorInvalidData);

    cut.assign(bytes.begin(), bytes.end() - 4);  // the first row is missing a pixel
    EXPECT_EQ(LoadError(cut), kErrorInvalidData);
    cut.assign(bytes.begin(), bytes.end() - 1);  // only the last row's padding is missing
    EXPECT_TRUE(LoadBytes(cut));

    cut.assign(bytes.begin(), bytes.begin() + 20);
    EXPECT_EQ(LoadError(cut), kErrorInvalidData);

    BmpLayout layout;
    for (int32_t width : {0, -3, 70000}) {
        layout = good;
        layout.width = width;
        EXPECT_EQ(LoadError(BuildBmp(layout)), kErrorInvalidData) << width;
    }
    layout = good;
    layout.bitCount = 3;
    EXPECT_EQ(LoadError(BuildBmp(layout)), kErrorInvalidData);
    layout = good;
    layout.compression = kBmpRle4;  // with 8 bits
    EXPECT_EQ(LoadError(BuildBmp(layout)), kErrorInvalidData);
    layout = good;
    layout.infoSize = 13;
    EXPECT_EQ(LoadError(BuildBmp(layout)), kErrorInvalidData);

    layout = good;
    layout.compression = kBmpPng;
    layout.bitCount = 0;
    EXPECT_EQ(LoadError(BuildBmp(layout)), kErrorUnsupportedType);
}

TEST(BmpLoad, RespectsTheLoadBudget) {
    BmpLayout layout = FourColorLayout(40);
    layout.width = 4000;
    layout.height = 4000;
    layout.compression = kBmpRle8;
    layout.pixels = {0, 1};  // 16 MB of pixels from a tiny file
    Status error = kErrorNone;
    EXPECT_FALSE(LoadBytes(BuildBmp(layout), &error, 1 << 20));
    EXPECT_EQ(error, kErrorOutOfMemory);
    EXPECT_TRUE(LoadBytes(BuildBmp(layout), &error, 64 << 20));
}

// The saver's output for one image.
Bytes Save(Image* image) {
    SaveRequest request{kFormatBmp, nullptr, nullptr, kErrorNone};
    EXPECT_EQ(BmpSave(image, &request), 1);
    return TakeOutput(request);
}

uint32_t Le32(const Bytes& b, size_t at) { return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t{b[at + 3]} << 24); }

TEST(BmpSave, WritesFileHeaderThenTheImagesOwnHeaderAndPixels) {
    ImagePtr rgb(ImageCreate(3, 2, 24));
    ImageSetPixel(rgb.get(), 0, 0, 0x112233);
    Bytes bytes = Save(rgb.get());
    ASSERT_EQ(bytes.size(), 78u);
    EXPECT_EQ(bytes[0], 'B');
    EXPECT_EQ(bytes[1], 'M');
    EXPECT_EQ(Le32(bytes, 2), 78u);
    EXPECT_EQ(Le32(bytes, 6), 0u);
    EXPECT_EQ(Le32(bytes, 10), 54u);
    EXPECT_EQ(std::memcmp(bytes.data() + 14, ImageHeader(rgb.get()), 40), 0);
    EXPECT_EQ(std::memcmp(bytes.data() + 54, ImageBits(rgb.get()), 24), 0);

    ImagePtr indexed(ImageCreate(5, 3, 8));
    std::vector<PaletteEntry> entries(256);
    for (int i = 0; i < 256; ++i) entries[i] = {static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i), 7, 0};
    ImageSetPalette(indexed.get(), entries.data());
    for (int i = 0; i < 15; ++i) ImageSetPixel(indexed.get(), i % 5, i / 5, static_cast<uint32_t>(i * 17));
    bytes = Save(indexed.get());
    EXPECT_EQ(Le32(bytes, 10), 1078u);
    EXPECT_EQ(bytes.size(), 1078u + 3 * 8);

    LoadedFrames back = LoadBytes(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(std::memcmp(ImageBits(back.get()), ImageBits(indexed.get()), 24), 0);
    PaletteEntry loaded[256];
    ASSERT_TRUE(ImageGetPalette(back.get(), loaded));
    EXPECT_EQ(std::memcmp(loaded, entries.data(), sizeof loaded), 0);
}

TEST(BmpSave, EveryDepthReadsBackAsSaved) {
    for (int depth : {1, 2, 4, 8, 16, 24, 32}) {
        SCOPED_TRACE(depth);
        ImagePtr image(ImageCreate(7, 3, depth));
        if (depth <= 8) {
            std::vector<PaletteEntry> entries(256);
            for (int i = 0; i < 256; ++i) entries[i] = {static_cast<uint8_t>(i * 3), static_cast<uint8_t>(i), 9, 0};
            ImageSetPalette(image.get(), entries.data());
        }
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 7; ++x) ImageSetPixel(image.get(), x, y, static_cast<uint32_t>(x * 0x1F3D + y * 0x777777));
        LoadedFrames back = LoadBytes(Save(image.get()));
        ASSERT_TRUE(back);
        EXPECT_EQ(ImageBitCount(back.get()), depth);
        EXPECT_EQ(Colors(back.get()), Colors(image.get()));
    }
}

}  // namespace
