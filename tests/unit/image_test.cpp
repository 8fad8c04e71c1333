#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>

#include "image/image.h"
#include "tests/support/test_util.h"

namespace {

ImagePtr Make(int w, int h, int depth) { return ImagePtr(ImageCreate(w, h, depth)); }

TEST(Image, CreationRefusesEmptyNegativeAndOversizedPictures) {
    EXPECT_EQ(ImageCreate(0, 10, 8), nullptr);
    EXPECT_EQ(ImageCreate(10, -10, 8), nullptr);
    EXPECT_EQ(ImageCreate(10, 10, 7), nullptr);
    // Would overflow 32-bit stride arithmetic, or exceed the pixel limit.
    EXPECT_EQ(ImageCreate(65535, 65535, 32), nullptr);
    EXPECT_EQ(ImageCreate(70000, 1, 8), nullptr);
    EXPECT_EQ(ImageCreate(0x7FFFFFFF, 0x7FFFFFFF, 32), nullptr);
}

TEST(Image, CreationWritesHeaderAndZeroPixels) {
    ImagePtr image = Make(5, 3, 8);
    ASSERT_TRUE(image);
    const BitmapInfoHeader& h = ImageHeader(image.get())->bmiHeader;
    EXPECT_EQ(h.biSize, 40u);
    EXPECT_EQ(h.biWidth, 5);
    EXPECT_EQ(h.biHeight, 3);
    EXPECT_EQ(h.biPlanes, 1);
    EXPECT_EQ(h.biBitCount, 8);
    EXPECT_EQ(h.biCompression, 0u);
    EXPECT_EQ(h.biClrUsed, 0u);
    for (int i = 0; i < ImageBitsSize(image.get()); ++i) EXPECT_EQ(ImageBits(image.get())[i], 0);
    EXPECT_EQ(ImageGetDelay(image.get()), 0u);
    EXPECT_EQ(image->format, nullptr);
}

TEST(Image, Geometry) {
    EXPECT_EQ(ImageStride(Make(1, 1, 1).get()), 4);
    EXPECT_EQ(ImageStride(Make(3, 1, 24).get()), 12);
    EXPECT_EQ(ImageStride(Make(5, 1, 8).get()), 8);
    EXPECT_EQ(ImageStride(Make(640, 1, 8).get()), 640);
    EXPECT_EQ(ImageRowBytes(Make(5, 1, 4).get()), 3);
    ImagePtr image = Make(321, 7, 8);
    EXPECT_EQ(ImageBitsSize(image.get()), 324 * 7);
    EXPECT_EQ(ImagePackedSize(image.get()), 40 + 1024 + 324 * 7);
}

TEST(Image, ColorTableSize) {
    EXPECT_EQ(ImageColorTableSize(Make(1, 1, 8).get()), 1024);
    EXPECT_EQ(ImageColorTableSize(Make(1, 1, 4).get()), 64);
    EXPECT_EQ(ImageColorTableSize(Make(1, 1, 1).get()), 8);
    EXPECT_EQ(ImageColorTableSize(Make(1, 1, 24).get()), 0);
    EXPECT_EQ(ImageColorTableSize(Make(1, 1, 32).get()), 0);
    ImagePtr used = Make(1, 1, 8);
    ImageHeader(used.get())->bmiHeader.biClrUsed = 16;
    EXPECT_EQ(ImageColorTableSize(used.get()), 64);
    ImagePtr fields = Make(1, 1, 16);
    ImageHeader(fields.get())->bmiHeader.biCompression = kBiBitfields;
    EXPECT_EQ(ImageColorTableSize(fields.get()), 12);
}

TEST(Image, SetPaletteWritesColorTableAndRefusesDeepImages) {
    ImagePtr deep = Make(2, 2, 24);
    PaletteEntry entries[256] = {};
    EXPECT_EQ(ImageSetPalette(deep.get(), entries), 0);
    EXPECT_FALSE(ImageGetPalette(deep.get(), entries));

    ImagePtr image = Make(2, 2, 8);
    entries[0] = {0x10, 0x20, 0x30, 0};
    entries[255] = {1, 2, 3, 4};
    ASSERT_EQ(ImageSetPalette(image.get(), entries), 1);
    const uint8_t* table = reinterpret_cast<const uint8_t*>(ImageColorTable(image.get(), 0));
    EXPECT_EQ(table[0], 0x30);
    EXPECT_EQ(table[1], 0x20);
    EXPECT_EQ(table[2], 0x10);
    EXPECT_EQ(table[3], 0x00);
    PaletteEntry back[256];
    ASSERT_EQ(ImageGetPalette(image.get(), back), 1);
    EXPECT_EQ(std::memcmp(back, entries, sizeof back), 0);

    ImagePtr noPalette = Make(2, 2, 8);
    EXPECT_EQ(ImageGetPalette(noPalette.get(), back), 0);
}

TEST(Image, DuplicateCopiesPixelsPaletteAndDelay) {
    ImagePtr image = Make(3, 2, 4);
    PaletteEntry entries[16] = {};
    entries[5] = {9, 8, 7, 0};
    ImageSetPalette(image.get(), entries);
    ImageSetPixel(image.get(), 2, 1, 5);
    ImageSetDelay(image.get(), 42);
    ImagePtr copy(ImageDuplicate(image.get()));
    ASSERT_TRUE(copy);
    EXPECT_EQ(ImageGetPixel(copy.get(), 2, 1), 5u);
    EXPECT_EQ(ImageGetDelay(copy.get()), 42u);
    EXPECT_EQ(ImageColorTable(copy.get(), 5)->rgbRed, 9);
    PaletteEntry copied[256];
    ASSERT_TRUE(ImageGetPalette(copy.get(), copied));
    EXPECT_EQ(copied[5].red, 9);
}

TEST(Image, OneBitPixelsAreMostSignificantFirst) {
    ImagePtr image = Make(9, 1, 1);
    ImageSetPixel(image.get(), 0, 0, 1);
    EXPECT_EQ(ImageBits(image.get())[0], 0x80);
    ImageSetPixel(image.get(), 7, 0, 1);
    EXPECT_EQ(ImageBits(image.get())[0], 0x81);
    ImageSetPixel(image.get(), 8, 0, 1);
    EXPECT_EQ(ImageBits(image.get())[1], 0x80);
    EXPECT_EQ(ImageGetPixel(image.get(), 7, 0), 1u);
    EXPECT_EQ(ImageGetPixel(image.get(), 6, 0), 0u);
}

TEST(Image, TwoAndFourBitFields) {
    ImagePtr two = Make(4, 1, 2);
    ImageSetPixel(two.get(), 1, 0, 3);
    EXPECT_EQ(ImageBits(two.get())[0], 0x30);

    ImagePtr four = Make(3, 1, 4);
    ImageSetPixel(four.get(), 0, 0, 0xA);
    ImageSetPixel(four.get(), 1, 0, 0x1F);  // only the low nibble is stored
    ImageSetPixel(four.get(), 2, 0, 0x7);
    EXPECT_EQ(ImageBits(four.get())[0], 0xAF);
    EXPECT_EQ(ImageBits(four.get())[1], 0x70);
    EXPECT_EQ(ImageGetPixel(four.get(), 1, 0), 0xFu);
}

TEST(Image, RowsAreStoredBottomUp) {
    ImagePtr image = Make(10, 2, 8);
    ImageSetPixel(image.get(), 0, 0, 7);
    EXPECT_EQ(ImageBits(image.get())[ImageStride(image.get())], 7);
    ImageSetPixel(image.get(), 0, 1, 9);
    EXPECT_EQ(ImageBits(image.get())[0], 9);
}

TEST(Image, DeepPixelByteOrder) {
    ImagePtr rgb = Make(2, 1, 24);
    ImageSetPixel(rgb.get(), 1, 0, 0x112233);
    EXPECT_EQ(ImageBits(rgb.get())[3], 0x33);
    EXPECT_EQ(ImageBits(rgb.get())[4], 0x22);
    EXPECT_EQ(ImageBits(rgb.get())[5], 0x11);
    EXPECT_EQ(ImageGetPixel(rgb.get(), 1, 0), 0x112233u);

    ImagePtr word = Make(2, 1, 16);
    ImageSetPixel(word.get(), 1, 0, 0x12345);
    EXPECT_EQ(ImageGetPixel(word.get(), 1, 0), 0x2345u);

    ImagePtr quad = Make(1, 1, 32);
    ImageSetPixel(quad.get(), 0, 0, 0xDEADBEEF);
    EXPECT_EQ(ImageBits(quad.get())[0], 0xEF);
    EXPECT_EQ(ImageGetPixel(quad.get(), 0, 0), 0xDEADBEEFu);
}

TEST(Image, PaletteByteOrders) {
    const uint8_t triple[] = {1, 2, 3};
    const uint8_t quad[] = {1, 2, 3, 4};
    PaletteEntry out[1] = {{9, 9, 9, 9}};
    ASSERT_EQ(PaletteExpand(out, triple, 1, 0), 1);
    EXPECT_EQ((std::array{out[0].red, out[0].green, out[0].blue, out[0].flags}), (std::array<uint8_t, 4>{1, 2, 3, 0}));
    PaletteExpand(out, triple, 1, 1);
    EXPECT_EQ((std::array{out[0].red, out[0].green, out[0].blue, out[0].flags}), (std::array<uint8_t, 4>{3, 2, 1, 0}));
    PaletteExpand(out, quad, 1, 2);
    EXPECT_EQ((std::array{out[0].red, out[0].green, out[0].blue, out[0].flags}), (std::array<uint8_t, 4>{3, 2, 1, 4}));
    out[0] = {9, 9, 9, 9};
    EXPECT_EQ(PaletteExpand(out, triple, 1, 3), 0);
    EXPECT_EQ(out[0].red, 9);

    const PaletteEntry entry = {1, 2, 3, 4};
    uint8_t packed[4] = {0, 0, 0, 0};
    PalettePack(&entry, packed, 1, 0);
    EXPECT_EQ((std::array{packed[0], packed[1], packed[2], packed[3]}), (std::array<uint8_t, 4>{1, 2, 3, 0}));
    PalettePack(&entry, packed, 1, 1);
    EXPECT_EQ((std::array{packed[0], packed[1], packed[2]}), (std::array<uint8_t, 3>{3, 2, 1}));
    PalettePack(&entry, packed, 1, 2);
    EXPECT_EQ((std::array{packed[0], packed[1], packed[2], packed[3]}), (std::array<uint8_t, 4>{3, 2, 1, 4}));
    EXPECT_EQ(PalettePack(&entry, packed, 1, -1), 0);
    EXPECT_EQ(PaletteExpand(out, nullptr, 0, 0), 1);
}

TEST(Image, FlipVertical) {
    ImagePtr one = Make(4, 1, 8);
    ImageSetPixel(one.get(), 0, 0, 5);
    EXPECT_EQ(ImageFlipVertical(one.get()), 0);
    EXPECT_EQ(ImageGetPixel(one.get(), 0, 0), 5u);

    ImagePtr three = Make(4, 3, 8);
    for (int y = 0; y < 3; ++y) ImageSetPixel(three.get(), 1, y, 10 + y);
    EXPECT_EQ(ImageFlipVertical(three.get()), 1);
    EXPECT_EQ(ImageGetPixel(three.get(), 1, 0), 12u);
    EXPECT_EQ(ImageGetPixel(three.get(), 1, 1), 11u);
    EXPECT_EQ(ImageGetPixel(three.get(), 1, 2), 10u);
}

TEST(Image, MirrorSwapsColumnsAtEveryDepth) {
    ImagePtr four = Make(3, 2, 4);
    for (int y = 0; y < 2; ++y) {
        ImageSetPixel(four.get(), 0, y, 1);
        ImageSetPixel(four.get(), 1, y, 2);
        ImageSetPixel(four.get(), 2, y, 3);
    }
    EXPECT_EQ(ImageMirror(four.get()), 1);
    for (int y = 0; y < 2; ++y) {
        EXPECT_EQ(ImageGetPixel(four.get(), 0, y), 3u);
        EXPECT_EQ(ImageGetPixel(four.get(), 1, y), 2u);
        EXPECT_EQ(ImageGetPixel(four.get(), 2, y), 1u);
    }
    ImagePtr rgb = Make(4, 1, 24);
    for (int x = 0; x < 4; ++x) ImageSetPixel(rgb.get(), x, 0, 0x010203u * (x + 1));
    ImageMirror(rgb.get());
    for (int x = 0; x < 4; ++x) EXPECT_EQ(ImageGetPixel(rgb.get(), x, 0), 0x010203u * (4 - x));
}

}  // namespace
