#include <gtest/gtest.h>

#include <vector>

#include "image/convert.h"
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
    EXPECT_EQ(wide->next, nullptr);
    EXPECT_EQ(wide->prev, nullptr);
    EXPECT_EQ(ImageGetDelay(wide.get()), 0u);
    EXPECT_EQ(ImageConvert(source.get(), 3), nullptr);
}

}  // namespace
