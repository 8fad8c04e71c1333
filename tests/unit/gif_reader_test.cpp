#include <gtest/gtest.h>

#include <array>

#include "codecs/gif_lzw.h"
#include "codecs/gif_reader.h"
#include "formats/frame_source.h"
#include "tests/support/gif_builder.h"
#include "tests/support/test_util.h"

namespace {

using Color = std::array<uint8_t, 3>;

Color ColorAt(const Image* image, int x, int y) {
    const uint32_t v = ImageGetPixel(image, x, y);
    if (ImageBitCount(image) > 8) return {uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    const RgbQuad* q = ImageColorTable(image, static_cast<int>(v));
    return {q->rgbRed, q->rgbGreen, q->rgbBlue};
}

Color ColorOf(const Rgb& c) { return {c.r, c.g, c.b}; }

const Image* Frame(const LoadedFrames& frames, int index) { return index < 0 ? nullptr : frames[size_t(index)]; }

// Pixel values of a frame, top-down.
std::vector<uint8_t> Values(const Image* image) {
    std::vector<uint8_t> v;
    for (int y = 0; y < ImageHeight(image); ++y)
        for (int x = 0; x < ImageWidth(image); ++x) v.push_back(static_cast<uint8_t>(ImageGetPixel(image, x, y)));
    return v;
}

GifImage Block(int left, int top, int width, int height, uint8_t fill) {
    GifImage image;
    image.left = left, image.top = top, image.width = width, image.height = height;
    image.pixels.assign(static_cast<size_t>(width) * height, fill);
    return image;
}

GifImage Sequence(int width, int height) {
    GifImage image = Block(0, 0, width, height, 0);
    for (size_t i = 0; i < image.pixels.size(); ++i) image.pixels[i] = static_cast<uint8_t>(i);
    return image;
}

// A 4 x 4 canvas of value 1 with a 256-colour global table.
GifBuilder Base4x4(int disposal = 1) {
    GifBuilder gif(4, 4);
    gif.globalTable(TestColors(256), 9).control(disposal, 10).image(Block(0, 0, 4, 4, 1));
    return gif;
}

TEST(GifProbe, AcceptsBothVersionsAndNothingElse) {
    for (const char* version : {"GIF87a", "GIF89a"}) {
        Bytes file = GifBuilder(1, 1, version).finish();
        LoadRequest request{static_cast<uint32_t>(file.size()), file.data(), kErrorNone, 0};
        EXPECT_TRUE(GifProbe(&request)) << version;
    }
    Bytes other = GifBuilder(1, 1, "GIF7aa").finish();
    LoadRequest request{static_cast<uint32_t>(other.size()), other.data(), kErrorNone, 0};
    EXPECT_FALSE(GifProbe(&request));
    request.size = 3;
    EXPECT_FALSE(GifProbe(&request));
}

TEST(GifCanvas, IsTheLogicalScreen) {
    GifImage block = Block(10, 10, 100, 50, 3);
    LoadedFrames chain = LoadBytes(GifBuilder(320, 200).globalTable(TestColors(4)).image(block).finish());
    ASSERT_TRUE(chain);
    EXPECT_EQ(ImageWidth(chain.get()), 320);
    EXPECT_EQ(ImageHeight(chain.get()), 200);
    EXPECT_EQ(ImageGetPixel(chain.get(), 9, 10), 0u);  // not covered: 0
    EXPECT_EQ(ImageGetPixel(chain.get(), 10, 10), 3u);
    EXPECT_EQ(ImageGetPixel(chain.get(), 109, 59), 3u);
    EXPECT_EQ(ImageGetPixel(chain.get(), 110, 59), 0u);
}

TEST(GifCanvas, GrowsToHoldBlocksThatDoNotFit) {
    // A zero screen takes the blocks' extent; a later block that sticks out
    // grows every frame, the first included.
    LoadedFrames chain = LoadBytes(GifBuilder(0, 0)
                                   .globalTable(TestColors(4))
                                   .image(Block(0, 0, 3, 2, 1))
                                   .image(Block(2, 1, 3, 3, 2))
                                   .finish());
    ASSERT_TRUE(chain);
    for (const ImagePtr& frame : chain.list) {
        EXPECT_EQ(ImageWidth(frame.get()), 5);
        EXPECT_EQ(ImageHeight(frame.get()), 4);
    }
    EXPECT_EQ(ImageGetPixel(Frame(chain, 1), 4, 3), 2u);
    EXPECT_EQ(ImageGetPixel(Frame(chain, 1), 0, 0), 1u);
}

TEST(GifCanvas, BlocksBeyondThePictureLimitsAreClippedNotGrown) {
    LoadedFrames chain = LoadBytes(GifBuilder(2, 2)
                                   .globalTable(TestColors(4))
                                   .image(Block(0, 0, 2, 2, 1))
                                   .image(Block(65535, 65535, 10, 10, 2))
                                   .finish());
    ASSERT_TRUE(chain);
    EXPECT_EQ(ImageWidth(Frame(chain, 1)), 2);
    EXPECT_EQ(Values(Frame(chain, 1)), std::vector<uint8_t>(4, 1));
}

// A block that sticks out of a canvas that cannot grow shows the part on
// it exactly as the same block shows on a canvas of its own size, for
// strings that run across rows and interlaced rows past the canvas's edge.
TEST(GifCanvas, ClippedBlocksShowTheirVisiblePartWhateverTheStrings) {
    struct Case {
        int width, height;
        bool interlaced;
    };
    for (const Case c : {Case{37, 3, false}, Case{3, 37, true}, Case{1, 40, true}, Case{29, 21, true}}) {
        GifImage image = Block(0, 0, c.width, c.height, 0);
        image.interlaced = c.interlaced;
        std::vector<uint8_t> rows;  // in the order the data gives them
        for (int i = 0; i < c.width * c.height; ++i) rows.push_back(static_cast<uint8_t>(i / 5 % 3 + (i % 97 == 0)));
        image.data = LzwCodes(rows, 2);
        LoadedFrames whole = LoadBytes(GifBuilder(c.width, c.height).globalTable(TestColors(4)).image(image).finish());
        ASSERT_TRUE(whole);
        // Five columns, then five rows, of the block on the canvas's edge.
        const bool wide = c.width > c.height;
        GifImage edge = image;
        (wide ? edge.left : edge.top) = 65535 - 5;
        LoadedFrames clipped = LoadBytes(GifBuilder(wide ? 65535 : c.width, wide ? c.height : 65535)
                                         .globalTable(TestColors(4))
                                         .image(edge)
                                         .finish());
        ASSERT_TRUE(clipped);
        for (int y = 0; y < (wide ? c.height : 5); ++y)
            for (int x = 0; x < (wide ? 5 : c.width); ++x)
                ASSERT_EQ(ImageGetPixel(clipped.get(), edge.left + x, edge.top + y), ImageGetPixel(whole.get(), x, y))
                    << c.width << "x" << c.height << " at " << x << "," << y;
    }
}

TEST(GifCanvas, FileWithoutImagesOrSizeIsInvalid) {
    Status error = kErrorNone;
    EXPECT_FALSE(LoadBytes(GifBuilder(4, 4).globalTable(TestColors(2)).finish(), &error));
    EXPECT_EQ(error, kErrorInvalidData);
    EXPECT_FALSE(LoadBytes(GifBuilder(0, 4).globalTable(TestColors(2)).image(Block(0, 0, 0, 4, 1)).finish(), &error));
    EXPECT_EQ(error, kErrorInvalidData);
    EXPECT_FALSE(LoadBytes({'G', 'I', 'F', '8', '9', 'a', 1, 0}, &error));
    EXPECT_EQ(error, kErrorInvalidData);
}

TEST(GifDelay, ComesFromTheControlBeforeEachBlockOnly) {
    GifBuilder gif(1, 1);
    gif.globalTable(TestColors(2)).control(1, 7).image(Block(0, 0, 1, 1, 1));
    gif.image(Block(0, 0, 1, 1, 0));                               // no control: not 70 ms
    gif.control(1, 0).image(Block(0, 0, 1, 1, 1));                 // 0: as browsers, 100 ms
    gif.control(1, 1).image(Block(0, 0, 1, 1, 1));
    gif.control(1, 2).image(Block(0, 0, 1, 1, 1));
    LoadedFrames chain = LoadBytes(gif.finish());
    ASSERT_EQ(chain.count(), 5);
    const uint32_t expected[] = {70, 100, 100, 100, 20};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(ImageGetDelay(Frame(chain, i)), expected[i]) << i;
}

TEST(GifInterlace, RowsArriveInPassOrder) {
    for (int height : {8, 3, 2, 1, 13}) {
        GifImage image = Sequence(2, height);
        image.interlaced = true;  // the builder writes rows in pass order
        LoadedFrames chain = LoadBytes(GifBuilder(2, height).globalTable(TestColors(256)).image(image).finish());
        ASSERT_TRUE(chain) << height;
        EXPECT_EQ(Values(chain.get()), image.pixels) << height;
    }
    // Height 8: data rows 0..7 land on rows 0, 4, 2, 6, 1, 3, 5, 7.
    GifImage raw = Block(0, 0, 1, 8, 0);
    raw.data = LiteralCodes({0, 1, 2, 3, 4, 5, 6, 7}, 8);
    raw.interlaced = true;
    LoadedFrames chain = LoadBytes(GifBuilder(1, 8).globalTable(TestColors(256)).image(raw).finish());
    ASSERT_TRUE(chain);
    EXPECT_EQ(Values(chain.get()), (std::vector<uint8_t>{0, 4, 2, 5, 1, 6, 3, 7}));
}

LoadedFrames DecodeCodes(const CodeStream& codes, int minCodeSize, int width, int height) {
    GifImage image = Block(0, 0, width, height, 0);
    image.minCodeSize = minCodeSize;
    image.data = codes.bytes();
    return LoadBytes(GifBuilder(width, height).globalTable(TestColors(256)).image(image).finish());
}

TEST(GifLzw, CodeWidthGrowsWhenTheNextFreeCodeReachesItsLimit) {
    // Code size 2: clear 4, end 5. Codes 6 and 7 are defined by the third and
    // fourth codes; from then on codes are 4 bits wide.
    CodeStream codes;
    codes.code(4, 3).code(0, 3).code(1, 3).code(2, 3).code(6, 4).code(3, 4).code(5, 4);
    LoadedFrames chain = DecodeCodes(codes, 2, 6, 1);
    ASSERT_TRUE(chain);
    EXPECT_EQ(Values(chain.get()), (std::vector<uint8_t>{0, 1, 2, 0, 1, 3}));
}

TEST(GifLzw, FirstCodeAfterClearAddsNoEntryAndAnUndefinedCodeRepeatsThePrevious) {
    // clear, 1, clear, 2, then 6: the first entry after the clear is 6 = "2 2".
    CodeStream codes;
    codes.code(4, 3).code(1, 3).code(4, 3).code(2, 3).code(6, 3).code(5, 3);
    LoadedFrames chain = DecodeCodes(codes, 2, 4, 1);
    ASSERT_TRUE(chain);
    EXPECT_EQ(Values(chain.get()), (std::vector<uint8_t>{1, 2, 2, 2}));
}

TEST(GifLzw, FirstCodeWithoutAnEntryEndsTheImage) {
    CodeStream codes;
    codes.code(4, 3).code(3, 3).code(4, 3).code(7, 3).code(1, 3).code(5, 3);
    LoadedFrames chain = DecodeCodes(codes, 2, 3, 1);
    ASSERT_TRUE(chain);
    EXPECT_EQ(Values(chain.get()), (std::vector<uint8_t>{3, 0, 0}));
}

// Code size 2 (clear 4, end 5): the code 1, then each of the data's ends.
TEST(GifLzw, TellsTheThreeEndsOfTheDataApart) {
    struct Case {
        CodeStream codes;
        LzwResult end;
    };
    Case cases[] = {{CodeStream().code(4, 3).code(1, 3).code(5, 3).code(2, 3), LzwResult::kEndCode},
                    {CodeStream().code(4, 3).code(1, 3), LzwResult::kNoData},
                    {CodeStream().code(4, 3).code(1, 3).code(4, 3).code(7, 3), LzwResult::kBadCode}};
    static LzwTable table;
    for (const Case& c : cases) {
        Bytes data = c.codes.bytes();
        data.insert(data.begin(), static_cast<uint8_t>(data.size()));
        data.push_back(0);
        ByteReader in(data.data(), data.size());
        LzwCodeReader codes(in);
        LzwDecoder decoder;
        ASSERT_TRUE(LzwDecodeStart(decoder, table, 2));
        int code = -1;
        EXPECT_EQ(LzwDecodeNext(decoder, codes, code), LzwResult::kOk);
        EXPECT_EQ(code, 1);
        EXPECT_EQ(LzwDecodeNext(decoder, codes, code), c.end);
    }
}

TEST(GifLzw, FullTableKeepsTwelveBitCodesUntilAClear) {
    // 5000 literal codes: the table fills after 3839 and is never cleared.
    std::vector<uint8_t> pixels(5000);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i * 31 + i / 256);
    GifImage image = Block(0, 0, 100, 50, 0);
    image.data = LiteralCodes(pixels, 8);
    LoadedFrames chain = LoadBytes(GifBuilder(100, 50).globalTable(TestColors(256)).image(image).finish());
    ASSERT_TRUE(chain);
    EXPECT_EQ(Values(chain.get()), pixels);
    // And with clears along the way, the widths start again each time.
    image.data = LiteralCodes(pixels, 8, 1000);
    chain = LoadBytes(GifBuilder(100, 50).globalTable(TestColors(256)).image(image).finish());
    ASSERT_TRUE(chain);
    EXPECT_EQ(Values(chain.get()), pixels);
}

TEST(GifLzw, CodeSizesAboveEightStillDecode) {
    GifImage image = Sequence(4, 4);
    for (uint8_t& p : image.pixels) p &= 15;
    image.minCodeSize = 11;
    LoadedFrames chain = LoadBytes(GifBuilder(4, 4).globalTable(TestColors(16)).image(image).finish());
    ASSERT_TRUE(chain);
    EXPECT_EQ(Values(chain.get()), image.pixels);
}

TEST(GifDamage, DataEndingEarlyKeepsWhatWasDecoded) {
    // Six codes of twelve pixels, then a zero-length sub-block: the image
    // ends there, and the block after it is read as usual.
    GifImage cut = Sequence(4, 3);
    Bytes codes = LiteralCodes(cut.pixels, 8);
    cut.data.assign(codes.begin(), codes.begin() + 8);  // clear + 6 codes of 9 bits, and a bit more
    GifBuilder gif = Base4x4();
    gif.image(cut).control(1, 20).image(Block(3, 3, 1, 1, 7));
    LoadedFrames chain = LoadBytes(gif.finish());
    ASSERT_EQ(chain.count(), 3);
    const std::vector<uint8_t> expected = {0, 1, 2, 3, 4, 5, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    EXPECT_EQ(Values(Frame(chain, 1)), expected);
    EXPECT_EQ(ImageGetPixel(Frame(chain, 2), 3, 3), 7u);
    EXPECT_EQ(ImageGetDelay(Frame(chain, 2)), 200u);

    // The same cut at the end of the file, without terminator or trailer.
    GifBuilder truncated = Base4x4();
    cut.terminator = false;
    truncated.image(cut);
    Status error = kErrorUnknown, endedEarly = kErrorNone;
    chain = LoadBytes(truncated.finish(false), &error, 0, &endedEarly);
    ASSERT_EQ(chain.count(), 2);
    EXPECT_EQ(Values(Frame(chain, 1)), expected);
    EXPECT_EQ(endedEarly, Status::Damaged("a block cannot be read", 2));  // the load says where the file was cut short
    LoadBytes(gif.finish(), &error, 0, &endedEarly);
    EXPECT_EQ(endedEarly, kErrorNone);
}

TEST(GifDamage, AFrameWithoutRoomForItsRowFailsAsOutOfMemory) {
    // The budget holds the 4 x 4 frame but not the row it is decoded through.
    const Bytes file = Base4x4().finish();
    Status error = kErrorNone;
    EXPECT_FALSE(LoadBytes(file, &error, LoadBudget::ImageFootprint(4, 4, 8)));
    EXPECT_EQ(error, kErrorOutOfMemory);
    LoadedFrames frames = LoadBytes(file, &error, LoadBudget::ImageFootprint(4, 4, 8) + 4);
    ASSERT_TRUE(frames);
    EXPECT_EQ(Values(frames.get()), std::vector<uint8_t>(16, 1));
}

TEST(GifDamage, EveryCutOfAnAnimationLoadsOrFailsCleanly) {
    GifBuilder gif(8, 8);
    gif.globalTable(TestColors(16), 2).loopExtension().comment({{'h', 'i'}});
    gif.control(2, 5, 3).image(Sequence(8, 8));
    GifImage local = Block(2, 2, 4, 4, 5);
    local.localTable = TestColors(4);
    local.interlaced = true;
    gif.control(3, 5).image(local).image(Block(0, 0, 8, 8, 1));
    const Bytes file = gif.finish();
    for (size_t n = 0; n < file.size(); ++n) {
        Status error = kErrorNone;
        LoadedFrames chain = LoadBytes(Bytes(file.begin(), file.begin() + static_cast<long>(n)), &error);
        if (!chain) {
            EXPECT_TRUE(error == kErrorInvalidData || error == kErrorUnsupportedType) << n;
        }
    }
    EXPECT_EQ(LoadBytes(file).count(), 3);
}

TEST(GifBlocks, ExtensionDataIsNeverTakenForBlocks) {
    GifBuilder gif(2, 1);
    gif.globalTable(TestColors(4)).comment({{0x2C, 0x3B, 0x21}, {0x3B, 0x2C, 0x00, 0x21, 0xF9}});
    gif.raw({0x21, 0x01, 12, 0, 0, 0, 0, 2, 0, 1, 0, 8, 8, 1, 0, 3, 0x3B, 0x2C, 0x21, 0});  // plain text
    gif.raw({0x00, 0x99});  // stray bytes between blocks are passed over
    GifImage image = Block(0, 0, 2, 1, 2);
    gif.image(image);
    LoadedFrames chain = LoadBytes(gif.finish());
    ASSERT_EQ(chain.count(), 1);
    EXPECT_EQ(Values(chain.get()), (std::vector<uint8_t>{2, 2}));
}

TEST(GifBlocks, ImageDataEndingInBlockBytesIsPassedOverWhole) {
    // Pixels whose codes pack into 0x3B and 0x2C bytes: the scan resumes
    // after the data's terminator, not inside the data.
    GifImage image = Block(0, 0, 4, 1, 0);
    image.minCodeSize = 7;
    image.data = {0x3B, 0x2C, 0x21, 0x3B, 0x2C};
    GifBuilder gif(4, 1);
    gif.globalTable(TestColors(256)).image(image).control(1, 30).image(Block(0, 0, 1, 1, 9));
    LoadedFrames chain = LoadBytes(gif.finish());
    ASSERT_EQ(chain.count(), 2);
    EXPECT_EQ(ImageGetDelay(Frame(chain, 1)), 300u);
    EXPECT_EQ(ImageGetPixel(Frame(chain, 1), 0, 0), 9u);
}

TEST(GifCompose, TransparentPixelsShowThePreviousFrame) {
    GifImage over = Block(0, 0, 4, 1, 5);
    over.pixels = {5, 7, 5, 8};
    GifBuilder gif = Base4x4();
    gif.control(1, 10, 5).image(over).image(Block(0, 0, 4, 1, 5));  // the control does not carry over
    LoadedFrames chain = LoadBytes(gif.finish());
    ASSERT_EQ(chain.count(), 3);
    EXPECT_EQ(Values(Frame(chain, 1)), (std::vector<uint8_t>{1, 7, 1, 8, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}));
    EXPECT_EQ(ImageGetPixel(Frame(chain, 2), 0, 0), 5u);

    // Rows longer than a word, with the transparent value at every place in
    // it, beside values one bit away from it.
    for (const int transparent : {0, 5, 255}) {
        const uint8_t t = static_cast<uint8_t>(transparent);
        GifImage wide = Block(1, 0, 37, 2, 0);
        for (size_t i = 0; i < wide.pixels.size(); ++i) {
            const uint8_t near[] = {t, uint8_t(t ^ 0x80), t, uint8_t(t ^ 1), uint8_t(i * 13), t, uint8_t(t ^ 0x7F)};
            wide.pixels[i] = near[i % 7];
        }
        GifBuilder over(40, 2);
        over.globalTable(TestColors(256)).image(Block(0, 0, 40, 2, 2)).control(1, 10, transparent).image(wide);
        chain = LoadBytes(over.finish());
        ASSERT_EQ(chain.count(), 2);
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 40; ++x) {
                const bool inside = x >= 1 && x < 38;
                const uint8_t v = inside ? wide.pixels[static_cast<size_t>(y) * 37 + x - 1] : t;
                ASSERT_EQ(ImageGetPixel(Frame(chain, 1), x, y), v == t ? 2u : v) << transparent << " at " << x << "," << y;
            }
    }
}

TEST(GifCompose, EachDisposalActsAfterItsOwnFrame) {
    // Frame 1 draws 2 x 2 of value 4 at (1, 1); frame 2 draws one pixel at (0, 0).
    auto run = [](int disposal) {
        GifBuilder gif = Base4x4();
        gif.control(disposal, 10).image(Block(1, 1, 2, 2, 4));
        gif.control(2, 10).image(Block(0, 0, 1, 1, 6));  // disposal 2 of the last frame changes nothing
        return LoadBytes(gif.finish());
    };
    const std::vector<uint8_t> kept = {6, 1, 1, 1, 1, 4, 4, 1, 1, 4, 4, 1, 1, 1, 1, 1};
    for (int disposal : {0, 1, 4, 7}) EXPECT_EQ(Values(Frame(run(disposal), 2)), kept) << disposal;
    // 2: only frame 1's rectangle goes back to the background (index 9).
    EXPECT_EQ(Values(Frame(run(2), 2)), (std::vector<uint8_t>{6, 1, 1, 1, 1, 9, 9, 1, 1, 9, 9, 1, 1, 1, 1, 1}));
    // 3: the rectangle is restored to what it was before frame 1 drew on it.
    EXPECT_EQ(Values(Frame(run(3), 2)), (std::vector<uint8_t>{6, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}));
    // Frame 1 itself always shows its block.
    EXPECT_EQ(ImageGetPixel(Frame(run(2), 1), 1, 1), 4u);
}

TEST(GifCompose, RestoreToPreviousOfAWholeCanvasBlock) {
    GifBuilder gif = Base4x4();
    GifImage whole = Block(0, 0, 4, 4, 3);
    whole.localTable = TestColors(4);
    gif.control(3, 10).image(whole).image(Block(0, 0, 1, 1, 2));
    LoadedFrames chain = LoadBytes(gif.finish());
    ASSERT_EQ(chain.count(), 3);
    EXPECT_EQ(ColorAt(Frame(chain, 2), 3, 3), ColorOf(TestColors(256)[1]));
    EXPECT_EQ(ColorAt(Frame(chain, 2), 0, 0), ColorOf(TestColors(256)[2]));
}

// Rectangles that start and end inside bytes of 1- and 4-bit canvases are
// cleared and restored exactly, also into a frame that the next block's table
// widens (to 4 or 8 bits: the same colours; to 24 bits: others). The pixels
// beside them keep their colours.
TEST(GifCompose, DisposalOfRectanglesInsideBytes) {
    for (int colors : {2, 16}) {
        GifImage pattern = Block(0, 0, 37, 3, 0);
        for (size_t i = 0; i < pattern.pixels.size(); ++i) pattern.pixels[i] = static_cast<uint8_t>((i * 7 + i / 37) % colors);
        for (int disposal : {2, 3}) {
            for (int next : {0, 1, 2}) {  // the next block's table: the global one, a wider one, other colours
                GifImage last = Block(36, 0, 1, 1, 0);
                if (next > 0) last.localTable = TestColors(colors * 8);
                if (next == 2) last.localTable[0] = {1, 1, 1};
                GifBuilder gif(37, 3);
                gif.globalTable(TestColors(colors), 1).image(pattern).control(disposal, 10).image(Block(3, 1, 24, 2, 1)).image(last);
                LoadedFrames chain = LoadBytes(gif.finish());
                ASSERT_EQ(chain.count(), 3);
                for (int y = 0; y < 3; ++y) {
                    for (int x = 0; x < 36; ++x) {
                        const bool cleared = disposal == 2 && y >= 1 && x >= 3 && x < 27;  // to the background, index 1
                        const uint8_t value = cleared ? 1 : pattern.pixels[static_cast<size_t>(y) * 37 + x];
                        EXPECT_EQ(ColorAt(Frame(chain, 2), x, y), ColorOf(TestColors(colors)[value]))
                            << colors << " colours, disposal " << disposal << ", table " << next << " at " << x << "," << y;
                    }
                }
            }
        }
    }
}

TEST(GifCompose, SharedTableStaysIndexed) {
    GifBuilder gif = Base4x4();
    gif.control(1, 10).image(Block(1, 1, 2, 2, 200));
    LoadedFrames chain = LoadBytes(gif.finish());
    ASSERT_EQ(chain.count(), 2);
    EXPECT_EQ(ImageBitCount(Frame(chain, 1)), 8);
    EXPECT_EQ(ImageGetPixel(Frame(chain, 1), 1, 1), 200u);
}

TEST(GifCompose, ADifferentLocalTableComposesInTrueColorKeepingColours) {
    GifImage local = Block(1, 1, 2, 2, 1);
    std::vector<Rgb> table = {{1, 2, 3}, {250, 0, 0}};
    local.localTable = table;
    GifBuilder gif = Base4x4();
    gif.image(local);
    LoadedFrames chain = LoadBytes(gif.finish());
    ASSERT_EQ(chain.count(), 2);
    const Image* second = Frame(chain, 1);
    EXPECT_EQ(ImageBitCount(second), 24);
    EXPECT_EQ(ColorAt(second, 0, 0), ColorOf(TestColors(256)[1]));
    EXPECT_EQ(ColorAt(second, 1, 1), (Color{250, 0, 0}));
    EXPECT_EQ(ImageBitCount(Frame(chain, 0)), 8);
}

TEST(GifCompose, AWholeOpaqueBlockWithItsOwnTableStaysIndexed) {
    GifImage whole = Sequence(4, 4);
    whole.localTable = TestColors(16);
    for (uint8_t& p : whole.pixels) p &= 15;
    GifBuilder gif = Base4x4();
    gif.image(whole);
    LoadedFrames chain = LoadBytes(gif.finish());
    ASSERT_EQ(chain.count(), 2);
    EXPECT_EQ(ImageBitCount(Frame(chain, 1)), 4);
    EXPECT_EQ(Values(Frame(chain, 1)), whole.pixels);
}

TEST(GifCompose, SmallTableFirstDoesNotCutLaterValues) {
    // 16 colours, then a 256-colour local table that begins with the same 16.
    GifBuilder gif(4, 1);
    gif.globalTable(TestColors(16)).image(Block(0, 0, 4, 1, 3));
    GifImage more = Block(1, 0, 2, 1, 0);
    more.pixels = {17, 255};
    more.localTable = TestColors(256);
    gif.image(more);
    LoadedFrames chain = LoadBytes(gif.finish());
    ASSERT_EQ(chain.count(), 2);
    EXPECT_EQ(ImageBitCount(Frame(chain, 0)), 4);
    EXPECT_EQ(ImageBitCount(Frame(chain, 1)), 8);
    EXPECT_EQ(Values(Frame(chain, 1)), (std::vector<uint8_t>{3, 17, 255, 3}));
}

TEST(GifCompose, BackgroundMissingFromTheTableGoesTrueColor) {
    // Both frames use one local table that lacks the screen's background
    // colour, and the first is disposed of to the background.
    std::vector<Rgb> own(16, Rgb{0, 0, 200});
    own[1] = {200, 0, 0};
    GifImage first = Block(1, 1, 2, 2, 1), second = Block(0, 0, 1, 1, 1);
    first.localTable = second.localTable = own;
    GifBuilder gif(4, 4);
    gif.globalTable(TestColors(256), 9).control(2, 10).image(first).image(second);
    LoadedFrames chain = LoadBytes(gif.finish());
    ASSERT_EQ(chain.count(), 2);
    EXPECT_EQ(ImageBitCount(Frame(chain, 0)), 4);
    const Image* frame = Frame(chain, 1);
    EXPECT_EQ(ImageBitCount(frame), 24);
    EXPECT_EQ(ColorAt(frame, 1, 1), ColorOf(TestColors(256)[9]));
    EXPECT_EQ(ColorAt(frame, 3, 3), (Color{0, 0, 200}));
    EXPECT_EQ(ColorAt(frame, 0, 0), (Color{200, 0, 0}));
}

TEST(GifPalette, DepthFollowsTheTableAndMissingTablesAreGrey) {
    const std::pair<int, int> sizes[] = {{2, 1}, {4, 4}, {16, 4}, {32, 8}, {256, 8}};
    for (auto [colors, depth] : sizes) {
        LoadedFrames chain = LoadBytes(GifBuilder(1, 1).globalTable(TestColors(colors)).image(Block(0, 0, 1, 1, 1)).finish());
        ASSERT_TRUE(chain);
        EXPECT_EQ(ImageBitCount(chain.get()), depth) << colors;
        EXPECT_EQ(ColorAt(chain.get(), 0, 0), ColorOf(TestColors(colors)[1]));
    }
    LoadedFrames grey = LoadBytes(GifBuilder(1, 1).image(Block(0, 0, 1, 1, 77)).finish());
    ASSERT_TRUE(grey);
    EXPECT_EQ(ColorAt(grey.get(), 0, 0), (Color{77, 77, 77}));
}

TEST(GifBudget, BoundsWhatIsHeldNotHowManyFrames) {
    GifBuilder gif(64, 64);
    gif.globalTable(TestColors(2));
    for (int i = 0; i < 50; ++i) gif.image(Block(0, 0, 1, 1, static_cast<uint8_t>(i & 1)));
    Status error = kErrorNone, endedEarly = kErrorNone;
    const uint64_t frame = LoadBudget::ImageFootprint(64, 64, 1);
    LoadedFrames chain = LoadBytes(gif.finish(), &error, frame * 3, &endedEarly);
    EXPECT_EQ(chain.count(), 50);
    EXPECT_EQ(endedEarly, kErrorNone);
    EXPECT_FALSE(LoadBytes(gif.finish(), &error, frame / 2));
    EXPECT_EQ(error, kErrorOutOfMemory);
}

// Work that does not reach the canvas costs nothing: a block wider and
// taller than a 1 x 1 screen, of 2^31 pixels in strings thousands long,
// is passed over. Work that does reach it is bounded: on a screen
// one pixel wide, every row shows one pixel of a string thousands long,
// and the load stops as at damage, with the frames it has.
TEST(GifBudget, WorkFollowsWhatIsShown) {
    GifImage wide;
    wide.width = 65535, wide.height = 32768, wide.minCodeSize = 2;
    wide.data = RunCodes(int64_t{65535} * 32768, 2);
    GifBuilder hidden(1, 1);
    hidden.globalTable(TestColors(4)).image(Block(0, 0, 1, 1, 1)).image(wide).image(Block(0, 0, 1, 1, 2));
    Status endedEarly = kErrorNone;
    LoadedFrames chain = LoadBytes(hidden.finish(), nullptr, 0, &endedEarly);
    ASSERT_EQ(chain.count(), 3);
    EXPECT_EQ(endedEarly, kErrorNone);
    EXPECT_EQ(Values(Frame(chain, 1)), std::vector<uint8_t>{0});

    GifBuilder tall(1, 32768);
    tall.globalTable(TestColors(4)).image(Block(0, 0, 1, 1, 1)).image(wide).image(Block(0, 0, 1, 1, 2));
    chain = LoadBytes(tall.finish(), nullptr, 0, &endedEarly);
    EXPECT_EQ(chain.count(), 2);
    EXPECT_EQ(endedEarly, kErrorInvalidData);
    EXPECT_STREQ(endedEarly.reason, "more work than its pictures need");
}

TEST(GifBudget, CountsTheAreaKeptForRestoringOnce) {
    // 64 x 64 at 8 bits: one area of 4096 bytes is kept at a time.
    GifBuilder gif(64, 64);
    gif.globalTable(TestColors(256));
    for (int i = 0; i < 10; ++i) gif.control(3, 10).image(Block(0, 0, 64, 64, static_cast<uint8_t>(i)));
    const Bytes file = gif.finish();
    const uint64_t frame = LoadBudget::ImageFootprint(64, 64, 8);
    // The canvas, the area, the frame handed out and the row decoded through:
    // every frame.
    Status endedEarly = kErrorNone;
    EXPECT_EQ(LoadBytes(file, nullptr, frame * 2 + 4096 + 64, &endedEarly).count(), 10);
    EXPECT_EQ(endedEarly, kErrorNone);
    EXPECT_EQ(LoadBytes(file, nullptr, frame * 2 + 4095 + 64, &endedEarly).count(), 1);
    EXPECT_EQ(endedEarly, kErrorOutOfMemory);
    Status error = kErrorNone;
    EXPECT_FALSE(LoadBytes(file, &error, frame + 4095));
    EXPECT_EQ(error, kErrorOutOfMemory);
}

TEST(GifBudget, AFrameThatCannotKeepItsAreaGivesItsBytesBack) {
    // The second block's area to restore does not fit beside the two frames:
    // the frame made for it goes, and its bytes with it.
    GifBuilder gif(64, 64);
    gif.globalTable(TestColors(256));
    gif.control(3, 10).image(Block(0, 0, 1, 1, 1)).control(3, 10).image(Block(0, 0, 64, 64, 2));
    Bytes file = gif.finish();
    FormatRegisterAll();
    LoadRequest request{};
    request.data = file.data();
    request.size = static_cast<uint32_t>(file.size());
    request.budget = LoadBudget::ImageFootprint(64, 64, 8) * 2 + 100;
    FrameSource* source = FrameSourceOpen(&request);
    ASSERT_TRUE(source);
    FrameSourceInOrder(source);
    EXPECT_TRUE(FrameSourceFrame(source, 0));
    EXPECT_FALSE(FrameSourceFrame(source, 1));
    EXPECT_EQ(FrameSourceEndedEarly(source), kErrorOutOfMemory);
    EXPECT_EQ(FrameSourceMemory(source), 0u);  // nothing is held once the frames have ended
    FrameSourceClose(source);
}

}  // namespace
