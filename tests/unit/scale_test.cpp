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

TEST(ScaleArea, APartIsThatPartOfTheWhole) {
    std::mt19937 rng(7);
    ImagePtr source(ImageCreate(300, 200, 24));
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 300; ++x) ImageSetPixel(source.get(), x, y, rng() & 0xFFFFFF);
    // Averaged on both axes, sampled on both, and one of each.
    for (const auto& [w, h] : {std::pair{150, 100}, std::pair{7, 5}, std::pair{160, 9}}) {
        ImagePtr whole(ImageScaleArea(source.get(), w, h));
        const ImageRect part{w / 3, h / 4, w - 1, h};
        ImagePtr piece(ImageScaleAreaPart(source.get(), w, h, part));
        ASSERT_TRUE(whole && piece);
        ASSERT_EQ(ImageWidth(piece.get()), part.right - part.left);
        for (int y = part.top; y < part.bottom; ++y)
            for (int x = part.left; x < part.right; ++x)
                ASSERT_EQ(ImageGetPixel(piece.get(), x - part.left, y - part.top), ImageGetPixel(whole.get(), x, y)) << w;
    }
    EXPECT_FALSE(ImageScaleAreaPart(source.get(), 10, 10, ImageRect{5, 5, 5, 6}));  // empty
    EXPECT_FALSE(ImageScaleAreaPart(source.get(), 10, 10, ImageRect{0, 0, 11, 10}));  // outside
}

TEST(ScaleArea, LargeReductionsSampleSpreadOverEachPixel) {
    // A 1-pixel checkerboard 100 times smaller is grey, as its average; a
    // picture of two halves keeps them.
    ImagePtr board(ImageCreate(4000, 3000, 1));
    const PaletteEntry bw[2] = {{0, 0, 0, 0}, {255, 255, 255, 0}};
    ImageSetPalette(board.get(), bw);
    for (int y = 0; y < 3000; ++y)
        for (int x = 0; x < 4000; ++x) ImageSetPixel(board.get(), x, y, (x + y) & 1);
    ImagePtr grey(ImageScaleArea(board.get(), 40, 30));
    ASSERT_TRUE(grey);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x) ASSERT_NEAR(Channel(ImageGetPixel(grey.get(), x, y), 8), 128, 1) << x << "," << y;
    for (int y = 0; y < 3000; ++y)
        for (int x = 0; x < 4000; ++x) ImageSetPixel(board.get(), x, y, x >= 2000);
    ImagePtr halves(ImageScaleArea(board.get(), 4, 3));
    for (int x = 0; x < 4; ++x) EXPECT_EQ(ImageGetPixel(halves.get(), x, 1), x < 2 ? 0u : 0xFFFFFFu) << x;
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
