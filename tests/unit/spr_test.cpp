#include <gtest/gtest.h>

#include "codecs/spr.h"
#include "tests/support/flic_writer.h"
#include "tests/support/test_util.h"

namespace {

// An SPR file built frame by frame; frame f has palette entry i = (i, f, 255 - i)
// and the pixels of its picture.
struct SprFile {
    Bytes bytes = {'S', 'P', 'R', 0, 0, 0, 0, 0, 0};

    SprFile(int frames, int width, int height) {
        bytes[3] = static_cast<uint8_t>(frames), bytes[4] = static_cast<uint8_t>(frames >> 8);
        bytes[5] = static_cast<uint8_t>(width), bytes[6] = static_cast<uint8_t>(width >> 8);
        bytes[7] = static_cast<uint8_t>(height), bytes[8] = static_cast<uint8_t>(height >> 8);
    }
    SprFile& frame(uint16_t delay, const Picture& picture, uint8_t tag) {
        bytes.push_back(static_cast<uint8_t>(delay));
        bytes.push_back(static_cast<uint8_t>(delay >> 8));
        for (int i = 0; i < 256; ++i) bytes.insert(bytes.end(), {uint8_t(i), tag, uint8_t(255 - i)});
        bytes.insert(bytes.end(), picture.pixels.begin(), picture.pixels.end());
        return *this;
    }
};

Picture Numbered(int w, int h, int start) {
    Picture p(w, h);
    for (size_t i = 0; i < p.pixels.size(); ++i) p.pixels[i] = static_cast<uint8_t>(start + static_cast<int>(i));
    return p;
}

TEST(SprProbe, LooksOnlyAtTheMagic) {
    Bytes bytes = {'S', 'P', 'R'};
    LoadRequest request{3, bytes.data(), kErrorNone, 0};
    EXPECT_TRUE(SprProbe(&request));
    bytes[2] = 'r';
    EXPECT_FALSE(SprProbe(&request));
    bytes[2] = 'R';
    request.size = 2;
    EXPECT_FALSE(SprProbe(&request));
}

TEST(SprLoad, EveryFrameWithItsPaletteDelayAndTopDownRows) {
    SprFile file(2, 3, 2);
    file.frame(70, Numbered(3, 2, 10), 1).frame(0xFFFF, Numbered(3, 2, 20), 2);
    ASSERT_EQ(file.bytes.size(), 1561u);
    ImagePtr chain = LoadBytes(file.bytes);
    ASSERT_TRUE(chain);
    ASSERT_EQ(ImageCount(chain.get()), 2);
    EXPECT_EQ(ImageFormat(chain.get())->id, kFormatSpr);
    int f = 0;
    for (const Image* frame = chain.get(); frame; frame = ImageNext(frame), ++f) {
        EXPECT_EQ(ImageBitCount(frame), 8);
        EXPECT_EQ(ImageWidth(frame), 3);
        EXPECT_EQ(ImageGetDelay(frame), f == 0 ? 70u : 65535u);
        EXPECT_EQ(ImageGetPixel(frame, 0, 0), 10u + 10u * f);
        EXPECT_EQ(ImageGetPixel(frame, 2, 1), 15u + 10u * f);
        const RgbQuad* q = ImageColorTable(frame, 200);
        EXPECT_EQ(q->rgbRed, 200);
        EXPECT_EQ(q->rgbGreen, f + 1);
        EXPECT_EQ(q->rgbBlue, 55);
    }
}

TEST(SprLoad, DamagedAndEmptyFilesGiveCleanErrors) {
    ErrorCode error = kErrorNone;
    EXPECT_FALSE(LoadBytes(SprFile(0, 3, 2).bytes, &error));
    EXPECT_EQ(error, kErrorInvalidData);
    EXPECT_FALSE(LoadBytes(SprFile(1, 0, 2).frame(1, Picture(0, 2), 0).bytes, &error));
    EXPECT_EQ(error, kErrorInvalidData);
    EXPECT_FALSE(LoadBytes({'S', 'P', 'R', 1, 0, 1}, &error));
    EXPECT_EQ(error, kErrorInvalidData);
    // One frame short, and one byte short.
    SprFile cut(3, 4, 4);
    cut.frame(1, Numbered(4, 4, 0), 0).frame(1, Numbered(4, 4, 0), 0);
    EXPECT_FALSE(LoadBytes(cut.bytes, &error));
    EXPECT_EQ(error, kErrorInvalidData);
    cut.frame(1, Numbered(4, 4, 0), 0).bytes.pop_back();
    EXPECT_FALSE(LoadBytes(cut.bytes, &error));
    EXPECT_EQ(error, kErrorInvalidData);
    // A large animation promised by a small file is refused before any frame is made.
    EXPECT_FALSE(LoadBytes(SprFile(65535, 65535, 65535).frame(1, Picture(1, 1), 0).bytes, &error));
    EXPECT_EQ(error, kErrorInvalidData);
}

TEST(SprLoad, KeepsTheFramesThatFitTheBudget) {
    SprFile file(5, 64, 64);
    for (int i = 0; i < 5; ++i) file.frame(10, Numbered(64, 64, i), 0);
    const uint64_t frame = LoadBudget::ImageFootprint(64, 64, 8);
    ErrorCode error = kErrorNone;
    ImagePtr chain = LoadBytes(file.bytes, &error, frame * 2 + frame / 2);
    ASSERT_TRUE(chain);
    EXPECT_EQ(error, kErrorNone);
    EXPECT_EQ(ImageCount(chain.get()), 2);
    EXPECT_FALSE(LoadBytes(file.bytes, &error, frame / 2));
    EXPECT_EQ(error, kErrorOutOfMemory);
}

}  // namespace
