#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "image/convert.h"
#include "image/quantize.h"
#include "tests/support/test_util.h"

namespace {

ImagePtr PaletteImage(int depth, int width = 4, int height = 2) {
    ImagePtr image(ImageCreate(width, height, depth));
    std::vector<PaletteEntry> entries(256);
    for (int i = 0; i < 256; ++i) entries[i] = {static_cast<uint8_t>(i), static_cast<uint8_t>(i ^ 0x55), static_cast<uint8_t>(200 - i), 0};
    ImageSetPalette(image.get(), entries.data());
    return image;
}

TEST(ColorAt, LooksPaletteIndicesUpAndReturnsDirectValues) {
    ImagePtr image(ImageCreate(8, 1, 8));
    std::vector<PaletteEntry> entries(256, PaletteEntry{0, 0, 0, 0});
    entries[5] = {0x10, 0x20, 0x30, 0};
    entries[6] = {0x10, 0x20, 0x30, 4};
    ImageSetPalette(image.get(), entries.data());
    ImageSetPixel(image.get(), 2, 0, 5);
    ImageSetPixel(image.get(), 3, 0, 6);
    EXPECT_EQ(ImageColorAt(image.get(), 2, 0), 0x102030u);
    EXPECT_EQ(ImageColorAt(image.get(), 3, 0), 0x04102030u);  // the flags byte on top

    ImagePtr rgb(ImageCreate(2, 1, 16));
    ImageSetPixel(rgb.get(), 1, 0, 0x7FFF);
    EXPECT_EQ(ImageColorAt(rgb.get(), 1, 0), 0x7FFFu);
}

TEST(Fill, WritesEveryPixelAndNoPadding) {
    ImagePtr image(ImageCreate(3, 2, 4));
    EXPECT_EQ(ImageFill(image.get(), 0xB), 1);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) EXPECT_EQ(ImageGetPixel(image.get(), x, y), 0xBu);
    EXPECT_EQ(ImageRow(image.get(), 0)[1], 0xB0);  // the fourth nibble is padding
    EXPECT_EQ(ImageRow(image.get(), 0)[2], 0);
}

TEST(Convert, EveryDepthBecomes24BitColours) {
    for (int depth : {1, 2, 4, 8}) {
        SCOPED_TRACE(depth);
        ImagePtr source = PaletteImage(depth);
        for (int x = 0; x < 4; ++x) ImageSetPixel(source.get(), x, 1, static_cast<uint32_t>(x));
        ImagePtr wide(ImageConvert(source.get(), 24));
        ASSERT_TRUE(wide);
        EXPECT_EQ(ImageBitCount(wide.get()), 24);
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(ImageGetPixel(wide.get(), x, 1), ImageColorAt(source.get(), x, 1) & 0xFFFFFF);
    }

    // 5-bit channels scale and round down: 1 gives 8, 21 gives 172 (0xAC).
    ImagePtr high(ImageCreate(4, 1, 16));
    ImageSetPixel(high.get(), 0, 0, 0x7FFF);
    ImageSetPixel(high.get(), 1, 0, 0x0421);  // 1, 1, 1
    ImageSetPixel(high.get(), 2, 0, 0x7C00);
    ImageSetPixel(high.get(), 3, 0, 0x56B5);  // 21, 21, 21
    ImagePtr wide(ImageConvert(high.get(), 24));
    EXPECT_EQ(ImageGetPixel(wide.get(), 0, 0), 0xFFFFFFu);
    EXPECT_EQ(ImageGetPixel(wide.get(), 1, 0), 0x080808u);
    EXPECT_EQ(ImageGetPixel(wide.get(), 2, 0), 0xFF0000u);
    EXPECT_EQ(ImageGetPixel(wide.get(), 3, 0), 0xACACACu);

    ImagePtr full(ImageCreate(1, 1, 32));
    ImageSetPixel(full.get(), 0, 0, 0xAA123456);
    wide.reset(ImageConvert(full.get(), 24));
    EXPECT_EQ(ImageGetPixel(wide.get(), 0, 0), 0x123456u);
}

TEST(Convert, SameDepthDuplicatesOtherPairsGiveBlank) {
    ImagePtr source = PaletteImage(8);
    ImageSetPixel(source.get(), 1, 1, 77);
    ImageSetDelay(source.get(), 40);
    ImagePtr same(ImageConvert(source.get(), 8));
    ASSERT_TRUE(same);
    EXPECT_EQ(ImageGetPixel(same.get(), 1, 1), 77u);
    EXPECT_EQ(ImageColorAt(same.get(), 1, 1), ImageColorAt(source.get(), 1, 1));
    EXPECT_EQ(ImageGetDelay(same.get()), 40u);

    ImageSetPixel(source.get(), 0, 0, 200);
    ImagePtr narrow(ImageConvert(source.get(), 4));
    ASSERT_TRUE(narrow);
    EXPECT_EQ(ImageGetPixel(narrow.get(), 0, 0), 0u);
    PaletteEntry entries[256];
    EXPECT_FALSE(ImageGetPalette(narrow.get(), entries));

    ImagePtr wide(ImageConvert(source.get(), 24));
    EXPECT_EQ(ImageGetDelay(wide.get()), 0u);
    EXPECT_EQ(ImageConvert(source.get(), 3), nullptr);
}

}  // namespace

// ---- Colour reduction --------------------------------------------------------------

namespace {

ImagePtr Rgb(int width, int height, uint32_t (*color)(int x, int y)) {
    ImagePtr image(ImageCreate(width, height, 24));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) ImageSetPixel(image.get(), x, y, color(x, y));
    return image;
}

}  // namespace

TEST(Quantize, MatcherFindsTheNearestEntryAndTheFirstOfEqualOnes) {
    std::mt19937 rng(9);
    for (int run = 0; run < 20; ++run) {
        const int count = 1 + int(rng() % 256);
        std::vector<PaletteEntry> palette(static_cast<size_t>(count));
        for (PaletteEntry& e : palette) e = {uint8_t(rng() % 64 * 4), uint8_t(rng() % 64 * 4), uint8_t(rng() % 64 * 4), 0};
        PaletteMatcher matcher(palette.data(), count);
        for (int n = 0; n < 300; ++n) {
            const uint32_t color = rng() & 0xFFFFFF;
            int best = 0;
            for (int i = 1; i < count; ++i) {
                const auto c = [&](int k) { return uint32_t(palette[k].red) << 16 | uint32_t(palette[k].green) << 8 | palette[k].blue; };
                if (ColorDistance(c(i), color) < ColorDistance(c(best), color)) best = i;
            }
            ASSERT_EQ(matcher.nearest(color), best) << run << " " << color;
            ASSERT_EQ(matcher.nearest(color), best) << "remembered";
        }
    }
}

TEST(Quantize, ColoursThatFitAreKeptAndCountedOnlyToTheLimit) {
    ImagePtr few = Rgb(40, 10, [](int x, int y) { return uint32_t(x * 6) << 16 | uint32_t(y * 20) << 8 | 7; });
    std::vector<ColorCount> colors;
    EXPECT_TRUE(ImageDistinctColors(few.get(), 400, &colors));
    EXPECT_EQ(colors.size(), 400u);
    EXPECT_FALSE(ImageDistinctColors(few.get(), 399, &colors));
    ImagePtr small = Rgb(40, 6, [](int x, int y) { return uint32_t(x * 6) << 16 | uint32_t(y / 2 * 20) << 8; });
    int count = 0;
    ImagePtr reduced(ImageReduceColors(small.get(), true, &count));
    ASSERT_TRUE(reduced);
    EXPECT_EQ(count, 120);
    EXPECT_EQ(PicturePsnr(reduced.get(), small.get()), 99.0);  // exact, dither or not
}

TEST(Quantize, ClustersAndGradientsKeepTheirColours) {
    // Eight colours with slight noise: more than 256 colours, eight clusters.
    ImagePtr clusters = Rgb(64, 64, [](int x, int y) {
        const uint32_t base[] = {0x102030, 0xE0E0E0, 0x804020, 0x20A040, 0x4060C0, 0xC02080, 0x808080, 0xF0D010};
        const uint32_t noise = uint32_t((x * 7 + y * 13) % 4) * 0x010101;
        return base[(x / 8 + y / 8) % 8] + noise;
    });
    ColorHistogram histogram;
    ASSERT_TRUE(histogram.add(clusters.get()));
    PaletteEntry palette[256];
    ASSERT_EQ(QuantizePalette(histogram, 8, palette), 8);
    uint64_t error = 0;
    ImagePtr mapped(ImageMapToPalette(clusters.get(), palette, 8, false, &error));
    EXPECT_GE(ColorPsnr(error, 64 * 64 * 3), 45.0);
    EXPECT_NEAR(ColorPsnr(error, 64 * 64 * 3), PicturePsnr(mapped.get(), clusters.get()), 1e-9);

    ImagePtr gradient = Rgb(256, 96, [](int x, int y) { return uint32_t(x) << 16 | uint32_t(y * 2) << 8 | uint32_t(255 - x); });
    ImagePtr reduced(ImageReduceColors(gradient.get(), false, nullptr));
    ASSERT_TRUE(reduced);
    EXPECT_GE(PicturePsnr(reduced.get(), gradient.get()), 35.0);  // ffmpeg's palettegen: 35.5
}

TEST(Quantize, DitheringSpreadsTheErrorInsteadOfRoundingEveryPixel) {
    ImagePtr gray = Rgb(64, 64, [](int, int) { return 0x808080u; });
    const PaletteEntry palette[] = {{0, 0, 0, 0}, {255, 255, 255, 0}};
    for (bool dither : {false, true}) {
        ImagePtr mapped(ImageMapToPalette(gray.get(), palette, 2, dither, nullptr));
        ASSERT_TRUE(mapped);
        int white = 0;
        for (int y = 0; y < 64; ++y)
            for (int x = 0; x < 64; ++x) white += int(ImageGetPixel(mapped.get(), x, y));
        if (dither) EXPECT_NEAR(white, 64 * 64 / 2, 64 * 64 / 50);
        else EXPECT_TRUE(white == 0 || white == 64 * 64);
    }
}
