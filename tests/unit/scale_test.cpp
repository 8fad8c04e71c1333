#include <gtest/gtest.h>

#include <random>

#include "image/convert.h"
#include "image/scale.h"
#include "tests/support/test_util.h"

namespace {

uint32_t Channel(uint32_t color, int shift) { return (color >> shift) & 0xFF; }

TEST(ScaleArea, HalfSizeAveragesEach2x2BlockOfAnyDepth) {
    std::mt19937 rng(5);
    for (int depth : {8, 16, 24, 32}) {
        ImagePtr source(ImageCreate(6, 4, depth));
        if (depth == 8) {
            std::vector<PaletteEntry> entries(256);
            for (auto& e : entries) e = {uint8_t(rng()), uint8_t(rng()), uint8_t(rng()), 0};
            ImageSetPalette(source.get(), entries.data());
        }
        const uint32_t mask = depth == 8 ? 0xFF : depth == 16 ? 0x7FFF : 0xFFFFFF;
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 6; ++x) ImageSetPixel(source.get(), x, y, rng() & mask);
        ImagePtr colors(ImageConvert(source.get(), 24));
        ImagePtr half(ImageScaleArea(source.get(), 3, 2));
        ASSERT_TRUE(half);
        ASSERT_EQ(ImageBitCount(half.get()), 24);
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 3; ++x)
                for (int shift : {0, 8, 16}) {
                    uint32_t sum = 0;
                    for (int k = 0; k < 4; ++k) sum += Channel(ImageGetPixel(colors.get(), 2 * x + k % 2, 2 * y + k / 2), shift);
                    EXPECT_EQ(Channel(ImageGetPixel(half.get(), x, y), shift), (sum + 2) / 4) << depth << " " << x << "," << y;
                }
    }
}

TEST(ScaleArea, PartlyCoveredPixelsWeighByTheirPart) {
    // Three grey pixels 0, 90, 180 into two: each output takes one and a half.
    ImagePtr source(ImageCreate(3, 1, 24));
    for (int x = 0; x < 3; ++x) ImageSetPixel(source.get(), x, 0, 0x010101u * (90 * x));
    ImagePtr two(ImageScaleArea(source.get(), 2, 1));
    EXPECT_EQ(ImageGetPixel(two.get(), 0, 0), 0x010101u * 30);    // (0 * 2 + 90) / 3
    EXPECT_EQ(ImageGetPixel(two.get(), 1, 0), 0x010101u * 150);   // (90 + 180 * 2) / 3
    ImagePtr one(ImageScaleArea(source.get(), 1, 1));
    EXPECT_EQ(ImageGetPixel(one.get(), 0, 0), 0x010101u * 90);
    EXPECT_FALSE(ImageScaleArea(source.get(), 0, 1));
}

TEST(ScaleFit, KeepsTheAspectAndNeverEnlarges) {
    auto fit = [](int w, int h, int bw, int bh) {
        const ImageSize s = ImageFitSize(w, h, bw, bh);
        return std::pair{s.width, s.height};
    };
    EXPECT_EQ(fit(320, 200, 160, 160), std::pair(160, 100));
    EXPECT_EQ(fit(200, 320, 160, 160), std::pair(100, 160));
    EXPECT_EQ(fit(640, 480, 96, 96), std::pair(96, 72));
    EXPECT_EQ(fit(100, 50, 300, 300), std::pair(100, 50));  // small pictures stay as they are
    EXPECT_EQ(fit(65535, 1, 96, 96), std::pair(96, 1));      // never below one pixel
    EXPECT_EQ(fit(320, 200, 0, 96), std::pair(0, 0));
}

}  // namespace
