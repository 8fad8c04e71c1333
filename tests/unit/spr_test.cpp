#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "codecs/export.h"
#include "codecs/spr.h"
#include "tests/support/flic_writer.h"
#include "tests/support/memory_frames.h"
#include "tests/support/test_util.h"

namespace {

// An SPR file built frame by frame; frame f has palette entry i = (i, f, 255 - i)
// and the pixels of its picture.
struct SprFile {
    Bytes bytes = Bytes(9, 0);

    SprFile(int frames, int width, int height) {
        bytes[0] = 'S', bytes[1] = 'P', bytes[2] = 'R';
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
    LoadedFrames chain = LoadBytes(file.bytes);
    ASSERT_TRUE(chain);
    ASSERT_EQ(chain.count(), 2);
    EXPECT_EQ(ImageFormat(chain.get())->id, kFormatSpr);
    for (int f = 0; f < chain.count(); ++f) {
        const Image* frame = chain[f];
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
    Status error = kErrorNone;
    EXPECT_FALSE(LoadBytes(SprFile(0, 3, 2).bytes, &error));
    EXPECT_EQ(error, kErrorInvalidData);
    EXPECT_FALSE(LoadBytes(SprFile(1, 0, 2).frame(1, Picture(0, 2), 0).bytes, &error));
    EXPECT_EQ(error, kErrorInvalidData);
    EXPECT_FALSE(LoadBytes({'S', 'P', 'R', 1, 0, 1}, &error));
    EXPECT_EQ(error, kErrorInvalidData);
    // A file cut short keeps its whole frames and says it is damaged.
    SprFile cut(3, 4, 4);
    cut.frame(1, Numbered(4, 4, 0), 0).frame(1, Numbered(4, 4, 1), 0);
    Status endedEarly = kErrorNone;
    LoadedFrames two = LoadBytes(cut.bytes, &error, 0, &endedEarly);
    ASSERT_TRUE(two);
    EXPECT_EQ(two.count(), 2);
    EXPECT_EQ(ImageGetPixel(two[1], 0, 0), 1u);
    EXPECT_EQ(endedEarly, kErrorInvalidData);
    cut.frame(1, Numbered(4, 4, 0), 0).bytes.pop_back();
    ASSERT_TRUE(LoadBytes(cut.bytes, &error, 0, &endedEarly));
    EXPECT_EQ(endedEarly, kErrorInvalidData);
    // Not even one whole frame, however many are promised.
    EXPECT_FALSE(LoadBytes(SprFile(65535, 65535, 65535).frame(1, Picture(1, 1), 0).bytes, &error));
    EXPECT_EQ(error, kErrorInvalidData);
}

TEST(SprLoad, ABudgetTooSmallForAFrameGivesNone) {
    SprFile file(5, 64, 64);
    for (int i = 0; i < 5; ++i) file.frame(10, Numbered(64, 64, i), 0);
    const uint64_t frame = LoadBudget::ImageFootprint(64, 64, 8);
    Status error = kErrorNone;
    EXPECT_EQ(LoadBytes(file.bytes, &error, frame * 2 + frame / 2).count(), 5);
    EXPECT_FALSE(LoadBytes(file.bytes, &error, frame / 2));
    EXPECT_EQ(error, kErrorOutOfMemory);
}

}  // namespace

namespace {

Bytes Encoded(Image* image, Status* error = nullptr) {
    SaveRequest request{kFormatSpr, nullptr, nullptr, kErrorNone};
    const int saved = SprSave(image, &request);
    if (error) *error = request.error;
    if (!saved) return {};
    return TakeOutput(request);
}

// `frames` 8-bit images; frame f has delay 10 * (f + 1), pixel values
// starting at f and palette entry i = (i, f, 255 - i).
std::vector<ImagePtr> Frames(int frames, int width, int height) {
    std::vector<ImagePtr> list;
    for (int f = 0; f < frames; ++f) {
        Image* image = ImageCreate(width, height, 8);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) ImageSetPixel(image, x, y, static_cast<uint32_t>(f + x + y * width) & 0xFF);
        PaletteEntry colors[256];
        for (int i = 0; i < 256; ++i) colors[i] = {uint8_t(i), uint8_t(f), uint8_t(255 - i), 0};
        ImageSetPalette(image, colors);
        ImageSetDelay(image, static_cast<uint32_t>(10 * (f + 1)));
        list.emplace_back(image);
    }
    return list;
}

// The frames from `first` on exported as one file; its bytes, or none with `error`.
Bytes Exported(const std::vector<ImagePtr>& frames, int32_t first = 0, Status* error = nullptr) {
    std::vector<const Image*> list;
    for (const ImagePtr& frame : frames) list.push_back(frame.get());
    MemoryFrames source(list);
    TempDir dir;
    const std::string path = dir.file("out.spr");
    ExportRequest request;
    request.formatId = kFormatSpr;
    request.fileName = path.c_str();
    request.source = source.source();
    request.firstFrame = first;
    const int done = ExportAnimation(&request);
    if (error) *error = request.error;
    return done ? ReadFile(path) : Bytes{};
}

void ExpectSameFrames(const std::vector<ImagePtr>& a, const LoadedFrames& b) {
    ASSERT_EQ(static_cast<int>(a.size()), b.count());
    for (int f = 0; f < b.count(); ++f) {
        const Image* x = a[f].get();
        const Image* y = b[f];
        ASSERT_EQ(ImageWidth(x), ImageWidth(y));
        ASSERT_EQ(ImageHeight(x), ImageHeight(y));
        EXPECT_EQ(ImageGetDelay(x) & 0xFFFF, ImageGetDelay(y)) << "frame " << f;
        for (int r = 0; r < ImageHeight(x); ++r)
            ASSERT_EQ(0, std::memcmp(ImageRow(x, r), ImageRow(y, r), static_cast<size_t>(ImageWidth(x)))) << "frame " << f << " row " << r;
        ASSERT_EQ(0, std::memcmp(ImageColorTable(x, 0), ImageColorTable(y, 0), 256 * sizeof(RgbQuad))) << "frame " << f;
    }
}

TEST(SprSave, TwoFramesOfThreeByTwoMake1561Bytes) {
    const std::vector<ImagePtr> frames = Frames(2, 3, 2);
    const Bytes file = Exported(frames);
    ASSERT_EQ(file.size(), 1561u);
    EXPECT_EQ((Bytes{file.begin(), file.begin() + 9}), (Bytes{'S', 'P', 'R', 2, 0, 3, 0, 2, 0}));
    EXPECT_EQ(file[9], 10);
    EXPECT_EQ(file[785], 20);  // the second record
    EXPECT_EQ((Bytes{file.begin() + 785 + 2 + 3 * 200, file.begin() + 785 + 5 + 3 * 200}), (Bytes{200, 1, 55}));
    EXPECT_EQ((Bytes{file.begin() + 785 + 770, file.end()}), (Bytes{1, 2, 3, 4, 5, 6}));
    ExpectSameFrames(frames, LoadBytes(file));
    // One image saved alone is a file of one frame.
    const Bytes one = Encoded(frames[1].get());
    ASSERT_EQ(one.size(), 9u + 770u + 6u);
    EXPECT_EQ(one[3], 1);
}

TEST(SprSave, OddWidthsAreWrittenUnpaddedAndLoadBack) {
    const std::vector<ImagePtr> frames = Frames(3, 5, 3);
    const Bytes file = Exported(frames);
    EXPECT_EQ(file.size(), 9u + 3u * (770u + 15u));
    ExpectSameFrames(frames, LoadBytes(file));
}

TEST(SprSave, StartsAtTheGivenFrameAndCapsALongDelay) {
    std::vector<ImagePtr> frames = Frames(5, 2, 2);
    ImageSetDelay(frames[2].get(), 70000);
    const Bytes file = Exported(frames, 2);
    EXPECT_EQ(file[3], 3);
    LoadedFrames back = LoadBytes(file);
    ASSERT_TRUE(back);
    EXPECT_EQ(back.count(), 3);
    EXPECT_EQ(ImageGetDelay(back.get()), 65535u);  // the field's longest, not 70000 wrapped to 4464
    EXPECT_EQ(ImageGetPixel(back.get(), 0, 0), 2u);
    EXPECT_EQ(ImageColorTable(back.get(), 0)->rgbGreen, 2);
}

TEST(SprSave, RefusesFramesThatAreNotAllOneSizeOfEightBitsAndWritesNoFile) {
    Status error = kErrorNone;
    ImagePtr deep(ImageCreate(4, 4, 24));
    EXPECT_TRUE(Encoded(deep.get(), &error).empty());
    EXPECT_EQ(error, kErrorColorNotSupported);

    for (auto [w, h, depth] : {std::tuple{3, 3, 8}, {4, 4, 24}, {4, 4, 4}}) {
        std::vector<ImagePtr> frames = Frames(2, 4, 4);
        frames.emplace_back(ImageCreate(w, h, depth));
        error = kErrorNone;
        EXPECT_TRUE(Exported(frames, 0, &error).empty());
        EXPECT_EQ(error, kErrorColorNotSupported) << w << "x" << h << "x" << depth;
    }
}

TEST(SprSave, AnImageWithoutPaletteIsWrittenBlack) {
    ImagePtr image(ImageCreate(1, 1, 8));
    const Bytes file = Encoded(image.get());
    ASSERT_EQ(file.size(), 9u + 771u);
    EXPECT_EQ(Bytes(file.begin() + 11, file.begin() + 11 + 768), Bytes(768, 0));
}

TEST(SprSave, TheSampleAnimationExportedAsAFileLoadsBackFrameForFrame) {
    LoadedFrames sample = LoadFileFrames(MOVREL_SOURCE_DIR "/samples/sample.flc");
    ASSERT_EQ(sample.count(), 24);
    const Bytes file = Exported(sample.list);
    LoadedFrames back = LoadBytes(file);
    ASSERT_TRUE(back);
    EXPECT_EQ(ImageFormat(back.get())->id, kFormatSpr);
    ExpectSameFrames(sample.list, back);
}

}  // namespace
