#include <gtest/gtest.h>
#include <zlib.h>

#include "codecs/png.h"
#include "image/convert.h"
#include "tests/support/test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Be32(Bytes& b, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(v >> s));
}

Bytes Deflate(const Bytes& raw) {
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    Bytes out(size);
    compress2(out.data(), &size, raw.data(), static_cast<uLong>(raw.size()), 9);
    out.resize(size);
    return out;
}

// A PNG file built chunk by chunk.
struct PngFile {
    Bytes bytes = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

    PngFile& chunk(const char* type, const Bytes& data, bool goodCrc = true) {
        Be32(bytes, static_cast<uint32_t>(data.size()));
        const size_t start = bytes.size();
        bytes.insert(bytes.end(), type, type + 4);
        bytes.insert(bytes.end(), data.begin(), data.end());
        const uLong crc = crc32(0, bytes.data() + start, static_cast<uInt>(bytes.size() - start));
        Be32(bytes, static_cast<uint32_t>(goodCrc ? crc : crc ^ 1));
        return *this;
    }
    PngFile& header(uint32_t w, uint32_t h, int depth, int type, int interlace = 0, bool goodCrc = true) {
        Bytes d;
        Be32(d, w);
        Be32(d, h);
        d.insert(d.end(), {uint8_t(depth), uint8_t(type), 0, 0, uint8_t(interlace)});
        return chunk("IHDR", d, goodCrc);
    }
    // Rows given unfiltered; each gets filter byte 0.
    PngFile& rows(const std::vector<Bytes>& rows) {
        Bytes raw;
        for (const Bytes& r : rows) {
            raw.push_back(0);
            raw.insert(raw.end(), r.begin(), r.end());
        }
        return chunk("IDAT", Deflate(raw));
    }
    Bytes end() { return chunk("IEND", {}).bytes; }
};

uint32_t Rgb(const Image* image, int x, int y) { return ImageColorAt(image, x, y) & 0xFFFFFF; }
uint32_t Alpha(const Image* image, int x, int y) { return ImageColorAt(image, x, y) >> 24; }

TEST(Png, EveryColourTypeAndDepth) {
    // Grey of 1 and 2 bits: the samples scaled to 0..255.
    LoadedFrames gray1 = LoadBytes(PngFile().header(3, 1, 1, kPngGray).rows({{0xA0}}).end());
    ASSERT_TRUE(gray1);
    EXPECT_EQ(ImageBitCount(gray1.get()), 8);
    EXPECT_EQ(Rgb(gray1.get(), 0, 0), 0xFFFFFFu);
    EXPECT_EQ(Rgb(gray1.get(), 1, 0), 0u);
    LoadedFrames gray2 = LoadBytes(PngFile().header(2, 1, 2, kPngGray).rows({{0x60}}).end());
    ASSERT_TRUE(gray2);
    EXPECT_EQ(Rgb(gray2.get(), 0, 0), 0x555555u);
    EXPECT_EQ(Rgb(gray2.get(), 1, 0), 0xAAAAAAu);
    // 16-bit samples keep their high byte.
    LoadedFrames gray16 = LoadBytes(PngFile().header(1, 1, 16, kPngGray).rows({{0x12, 0x34}}).end());
    ASSERT_TRUE(gray16);
    EXPECT_EQ(Rgb(gray16.get(), 0, 0), 0x121212u);
    LoadedFrames rgb16 = LoadBytes(PngFile().header(1, 1, 16, kPngRgb).rows({{1, 2, 3, 4, 5, 6}}).end());
    ASSERT_TRUE(rgb16);
    EXPECT_EQ(ImageBitCount(rgb16.get()), 24);
    EXPECT_EQ(Rgb(rgb16.get(), 0, 0), 0x010305u);
    // Palette of 4 bits: an 8-bit image with its palette.
    LoadedFrames palette = LoadBytes(PngFile().header(2, 1, 4, kPngPalette).chunk("PLTE", {1, 2, 3, 4, 5, 6}).rows({{0x10}}).end());
    ASSERT_TRUE(palette);
    EXPECT_EQ(ImageBitCount(palette.get()), 8);
    EXPECT_EQ(ImageGetPixel(palette.get(), 0, 0), 1u);
    EXPECT_EQ(Rgb(palette.get(), 0, 0), 0x040506u);
    // Transparency gives 32 bits with alpha: tRNS of a palette, a grey key, an alpha channel.
    LoadedFrames keyed = LoadBytes(
        PngFile().header(2, 1, 2, kPngPalette).chunk("PLTE", {1, 2, 3, 4, 5, 6}).chunk("tRNS", {0x80}).rows({{0x10}}).end());
    ASSERT_TRUE(keyed);
    EXPECT_EQ(ImageBitCount(keyed.get()), 32);
    EXPECT_EQ(Alpha(keyed.get(), 0, 0), 0x80u);
    EXPECT_EQ(Rgb(keyed.get(), 0, 0), 0x010203u);
    EXPECT_EQ(Alpha(keyed.get(), 1, 0), 0xFFu);
    LoadedFrames grayKey = LoadBytes(PngFile().header(2, 1, 8, kPngGray).chunk("tRNS", {0, 7}).rows({{7, 8}}).end());
    ASSERT_TRUE(grayKey);
    EXPECT_EQ(Alpha(grayKey.get(), 0, 0), 0u);
    EXPECT_EQ(Alpha(grayKey.get(), 1, 0), 0xFFu);
    LoadedFrames grayAlpha = LoadBytes(PngFile().header(1, 1, 8, kPngGrayAlpha).rows({{9, 10}}).end());
    ASSERT_TRUE(grayAlpha);
    EXPECT_EQ(ImageColorAt(grayAlpha.get(), 0, 0), 0x0A090909u);
    LoadedFrames rgba = LoadBytes(PngFile().header(1, 1, 8, kPngRgba).rows({{1, 2, 3, 4}}).end());
    ASSERT_TRUE(rgba);
    EXPECT_EQ(ImageColorAt(rgba.get(), 0, 0), 0x04010203u);
    // Depths the colour type does not allow are damage.
    Status error = kErrorNone;
    EXPECT_FALSE(LoadBytes(PngFile().header(1, 1, 4, kPngRgb).rows({{0}}).end(), &error));
    EXPECT_EQ(error, kErrorInvalidData);
}

// The pixels of a picture in the seven passes of Adam7, each row filtered 0.
Bytes Adam7(const std::vector<Bytes>& picture) {
    const int passes[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4}, {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
    const int h = static_cast<int>(picture.size()), w = static_cast<int>(picture[0].size());
    Bytes raw;
    for (const auto& p : passes) {
        if (p[0] >= w) continue;
        for (int y = p[1]; y < h; y += p[3]) {
            raw.push_back(0);
            for (int x = p[0]; x < w; x += p[2]) raw.push_back(picture[y][x]);
        }
    }
    return raw;
}

TEST(Png, InterlacedPicturesMatchPlainOnes) {
    std::vector<Bytes> picture(11, Bytes(13));
    for (int y = 0; y < 11; ++y)
        for (int x = 0; x < 13; ++x) picture[y][x] = static_cast<uint8_t>(x * 17 + y * 3);
    LoadedFrames plain = LoadBytes(PngFile().header(13, 11, 8, kPngGray).rows(picture).end());
    LoadedFrames interlaced = LoadBytes(PngFile().header(13, 11, 8, kPngGray, 1).chunk("IDAT", Deflate(Adam7(picture))).end());
    ASSERT_TRUE(plain && interlaced);
    for (int y = 0; y < 11; ++y)
        for (int x = 0; x < 13; ++x) ASSERT_EQ(Rgb(interlaced.get(), x, y), Rgb(plain.get(), x, y)) << x << "," << y;
}

Bytes Save(Image* image) {
    SaveRequest request{kFormatPng, nullptr, nullptr, kErrorNone};
    EXPECT_EQ(PngSave(image, &request), 1);
    return TakeOutput(request);
}

TEST(Png, SavedPicturesReadBackWithTheFewestBits) {
    // Three colours used: a palette PNG of 2 bits with three entries.
    ImagePtr indexed(ImageCreate(37, 5, 8));
    PaletteEntry palette[256] = {};
    palette[1] = {200, 10, 20, 0};
    palette[2] = {1, 2, 3, 0};
    ImageSetPalette(indexed.get(), palette);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 37; ++x) ImageSetPixel(indexed.get(), x, y, (x * y + x) % 3);
    const Bytes saved = Save(indexed.get());
    ASSERT_GT(saved.size(), 33u);
    EXPECT_EQ(saved[24], 2);             // bit depth
    EXPECT_EQ(saved[25], kPngPalette);   // colour type
    LoadedFrames back = LoadBytes(saved);
    ASSERT_TRUE(back);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 37; ++x) ASSERT_EQ(ImageColorAt(back.get(), x, y), ImageColorAt(indexed.get(), x, y));

    // True colour through every filter; alpha kept only where it says something.
    ImagePtr color(ImageCreate(23, 17, 32));
    for (int y = 0; y < 17; ++y)
        for (int x = 0; x < 23; ++x) ImageSetPixel(color.get(), x, y, uint32_t(x * x * 7 + y * 13) | uint32_t(x * 11 + y) << 8 | uint32_t(y * 9) << 16 | uint32_t(x * 10) << 24);
    const Bytes rgba = Save(color.get());
    EXPECT_EQ(rgba[25], kPngRgba);
    LoadedFrames colorBack = LoadBytes(rgba);
    ASSERT_TRUE(colorBack);
    for (int y = 0; y < 17; ++y)
        for (int x = 0; x < 23; ++x) ASSERT_EQ(ImageGetPixel(colorBack.get(), x, y), ImageGetPixel(color.get(), x, y));
    for (int y = 0; y < 17; ++y)
        for (int x = 0; x < 23; ++x) ImageSetPixel(color.get(), x, y, ImageGetPixel(color.get(), x, y) & 0xFFFFFF);
    EXPECT_EQ(Save(color.get())[25], kPngRgb);  // every fourth byte 0: no alpha
}

TEST(Png, CutOrDamagedDataKeepsTheRowsDecoded) {
    std::vector<Bytes> picture(64, Bytes(64));
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) picture[y][x] = static_cast<uint8_t>(x ^ (y * 5));
    const Bytes whole = PngFile().header(64, 64, 8, kPngGray).rows(picture).end();
    // Cut in the middle of the image data: the first rows are there, the last black.
    const Bytes cut(whole.begin(), whole.begin() + static_cast<long>(whole.size() / 2));
    Status error = kErrorUnknown;
    LoadedFrames partial = LoadBytes(cut, &error);
    ASSERT_TRUE(partial);
    EXPECT_EQ(Rgb(partial.get(), 5, 0), 0x050505u);
    EXPECT_EQ(Rgb(partial.get(), 63, 63), 0u);
    // No row at all, or a damaged header: invalid data.
    for (const Bytes& bad : {Bytes(whole.begin(), whole.begin() + 40), PngFile().header(64, 64, 8, kPngGray, 0, false).rows(picture).end()}) {
        EXPECT_FALSE(LoadBytes(bad, &error));
        EXPECT_EQ(error, kErrorInvalidData);
    }
}

TEST(Png, ChunkCrcsAreCheckedAndTrailingDataIsIgnored) {
    const Bytes file =
        PngFile().header(1, 1, 8, kPngGray).chunk("tEXt", {'a', 0, 'b'}, false).rows({{42}}).chunk("IEND", {}).chunk("JUNK", {1}).bytes;
    LoadedFrames image = LoadBytes(file);
    ASSERT_TRUE(image);
    EXPECT_EQ(Rgb(image.get(), 0, 0), 0x2A2A2Au);
    Status error = kErrorNone;
    EXPECT_FALSE(LoadBytes(PngFile().header(1, 1, 8, kPngPalette).chunk("PLTE", {1, 2, 3}, false).rows({{0}}).end(), &error));
    EXPECT_EQ(error, kErrorInvalidData);
}

TEST(Png, HugeStatedSizesAndBombsAreBounded) {
    // Stated beyond the image limits or the budget: refused before anything is allocated.
    Status error = kErrorNone;
    EXPECT_FALSE(LoadBytes(PngFile().header(70000, 1, 8, kPngGray).rows({{0}}).end(), &error));
    EXPECT_EQ(error, kErrorOutOfMemory);
    EXPECT_FALSE(LoadBytes(PngFile().header(60000, 60000, 8, kPngRgba).rows({{0}}).end(), &error));
    EXPECT_EQ(error, kErrorOutOfMemory);
    // 64 MB of zeros behind a 16 x 16 header: inflated only as far as the rows need.
    const Bytes zeros(64u << 20, 0);
    const Bytes bomb = PngFile().header(16, 16, 8, kPngGray).chunk("IDAT", Deflate(zeros)).end();
    FormatRegisterAll();
    LoadRequest request{};
    Bytes copy = bomb;
    request.data = copy.data();
    request.size = static_cast<uint32_t>(copy.size());
    ImagePtr image(FormatLoad(&request));
    ASSERT_TRUE(image);
    EXPECT_LT(request.work.spent(), 10000u);
}

}  // namespace
