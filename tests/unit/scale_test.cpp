#include <gtest/gtest.h>

#include <random>

#include "image/convert.h"
#include "image/scale.h"
#include "tests/support/fail_allocations.h"
#include "tests/support/bmp_writer.h"
#include "tests/support/gif_builder.h"
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

// Memory that runs out for a scale's axes or sums gives no picture, as when
// the picture itself finds none: the viewer scales on its window's thread,
// where nothing may throw.
TEST(ScaleArea, MemoryRunningOutAnywhereGivesNoPicture) {
    ImagePtr source(ImageCreate(20, 15, 24));
    for (int y = 0; y < 15; ++y)
        for (int x = 0; x < 20; ++x) ImageSetPixel(source.get(), x, y, uint32_t(y * 20 + x) * 0x10307u);
    for (uint64_t n = 0;; ++n) {
        ASSERT_LT(n, 100u);
        bool failed = false;
        ImagePtr result;
        {
            FailAllocations fail(n);
            result.reset(ImageScaleArea(source.get(), 7, 5));
            failed = fail.failed();
        }
        if (!failed) {
            EXPECT_TRUE(result);
            break;
        }
        EXPECT_FALSE(result) << n;
    }
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

// ---- Thumbnails ------------------------------------------------------------

constexpr int kIntroWidth = 64, kIntroHeight = 48;

struct Intro {
    int frames = 40;
    int pictureAt = 30;  // the first frame with a picture; frames before it are flat
    uint32_t speed = 40;
    int specks = 0;       // pixels of another colour in the flat frames
    bool redraw = false;  // every frame a copy chunk, costing what the first does
};

// A FLC whose frames are flat (black, with specks) until a picture comes;
// each picture frame is another one. Unless redrawn, the flat frames draw
// no more than their specks, so that they cost the decoder next to nothing.
Bytes IntroFlic(const Intro& intro) {
    FlicWriter writer(0xAF12, kIntroWidth, kIntroHeight, intro.speed);
    Picture flat(kIntroWidth, kIntroHeight);
    for (int i = 0; i < intro.specks; ++i) flat.at(i * 3 % kIntroWidth, i * 3 / kIntroWidth * 7) = 1;
    Picture previous(kIntroWidth, kIntroHeight);
    writer.frame().color256({{0, TestColors(256)}});
    if (intro.redraw) writer.copy(flat);
    else writer.black().deltaFlc(previous, flat);
    previous = flat;
    for (int f = 1; f < intro.frames; ++f) {
        Picture next = flat;
        for (int y = 0; f >= intro.pictureAt && y < kIntroHeight; ++y)
            for (int x = 0; x < kIntroWidth; ++x) next.at(x, y) = static_cast<uint8_t>((x / 8 + y / 8) % 2 ? 10 + f % 200 : 2);
        writer.frame();
        if (intro.redraw) writer.copy(next);
        else writer.deltaFlc(previous, next);
        previous = next;
    }
    return writer.finish();
}

// Which frame of the file the thumbnail (not reduced) shows: the first with
// its colours, -1 for none.
int ThumbnailFrame(const Bytes& file) {
    TempDir dir;
    const std::string path = dir.file("intro");
    WriteFile(path, file);
    FormatRegisterAll();
    LoadRequest request{};
    ImagePtr thumbnail(ImageLoadThumbnail(path.c_str(), 256, 256, &request));
    if (!thumbnail) return -1;
    LoadedFrames chain = LoadBytes(file);
    for (int index = 0; index < chain.count(); ++index) {
        const Image* frame = chain[index];
        bool same = ImageWidth(frame) == ImageWidth(thumbnail.get()) && ImageHeight(frame) == ImageHeight(thumbnail.get());
        for (int y = 0; same && y < ImageHeight(frame); ++y)
            for (int x = 0; same && x < ImageWidth(frame); ++x)
                same = (ImageColorAt(frame, x, y) & 0xFFFFFF) == ImageColorAt(thumbnail.get(), x, y);
        if (same) return index;
    }
    return -1;
}

// A flat first frame, fewer than 1 % of its pixels of another colour, gives
// way to the first frame with a picture; at 1 % it is a picture itself.
// Flat is by colour: pixels of a picture under a black palette are flat.
TEST(Thumbnail, FlatFirstFramesGiveWayToThePicture) {
    EXPECT_EQ(ThumbnailFrame(IntroFlic({.specks = 30})), 30);  // 30 of 3072 pixels
    EXPECT_EQ(ThumbnailFrame(IntroFlic({.specks = 31})), 0);

    FlicWriter fade(0xAF12, kIntroWidth, kIntroHeight, 40);
    Picture picture(kIntroWidth, kIntroHeight);
    for (int y = 0; y < kIntroHeight; ++y)
        for (int x = 0; x < kIntroWidth; ++x) picture.at(x, y) = static_cast<uint8_t>(x ^ y);
    fade.frame().color256({{0, std::vector<Rgb>(256, Rgb{0, 0, 0})}}).copy(picture);
    for (int f = 1; f < 5; ++f) fade.frame();
    fade.frame().color256({{0, TestColors(256)}});
    EXPECT_EQ(ThumbnailFrame(fade.finish()), 5);

    // GIF frames of 1, 4 and 8 bits, and of 24 where a block's own table
    // changes the colours around it.
    for (int colors : {2, 16, 256}) {
        GifBuilder gif(kIntroWidth, kIntroHeight);
        gif.globalTable(TestColors(colors));
        GifImage image;
        image.width = kIntroWidth, image.height = kIntroHeight, image.minCodeSize = colors == 2 ? 2 : colors == 16 ? 4 : 8;
        image.pixels.assign(size_t{kIntroWidth} * kIntroHeight, 0);
        gif.control(0, 4).image(image);
        image.width = kIntroWidth / 2;
        image.pixels.assign(size_t{kIntroWidth / 2} * kIntroHeight, 1);
        if (colors == 256) image.localTable = {{9, 9, 9}, {200, 10, 10}};
        gif.control(0, 4).image(image);
        EXPECT_EQ(ThumbnailFrame(gif.finish()), 1) << colors;
    }
}

// Nothing but flat frames: the first. The look-ahead ends after 120 frames,
// after 2 seconds of playing (a frame that starts at 2 s still counts), and
// once it has cost many times what the first frame did.
TEST(Thumbnail, TheLookAheadIsBounded) {
    EXPECT_EQ(ThumbnailFrame(IntroFlic({.pictureAt = 1000})), 0);
    EXPECT_EQ(ThumbnailFrame(IntroFlic({.frames = 125, .pictureAt = 120, .speed = 0})), 120);
    EXPECT_EQ(ThumbnailFrame(IntroFlic({.frames = 125, .pictureAt = 121, .speed = 0})), 0);
    EXPECT_EQ(ThumbnailFrame(IntroFlic({.pictureAt = 20, .speed = 100})), 20);
    EXPECT_EQ(ThumbnailFrame(IntroFlic({.pictureAt = 21, .speed = 100})), 0);
    EXPECT_EQ(ThumbnailFrame(IntroFlic({.frames = 110, .pictureAt = 10, .speed = 10, .redraw = true})), 10);
    EXPECT_EQ(ThumbnailFrame(IntroFlic({.frames = 110, .pictureAt = 100, .speed = 10, .redraw = true})), 0);
}

// A still is its own thumbnail, flat or not.
TEST(Thumbnail, AStillIsItself) {
    BmpLayout layout;
    layout.width = kIntroWidth, layout.height = kIntroHeight;
    layout.palette = TestColors(256);
    std::vector<Bytes> rows(kIntroHeight, Bytes(kIntroWidth, 9));
    layout.pixels = BmpRows(rows);
    EXPECT_EQ(ThumbnailFrame(BuildBmp(layout)), 0);
}

}  // namespace
