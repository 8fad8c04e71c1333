#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "codecs/flic.h"
#include "tests/support/flic_writer.h"
#include "tests/support/test_util.h"

namespace {

Picture PictureOf(const Image* image) {
    Picture p(ImageWidth(image), ImageHeight(image));
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) p.at(x, y) = static_cast<uint8_t>(ImageGetPixel(image, x, y));
    return p;
}

std::array<uint8_t, 3> ColorOf(const Image* image, int index) {
    const RgbQuad* q = ImageColorTable(image, index);
    return {q->rgbRed, q->rgbGreen, q->rgbBlue};
}

const Image* Frame(const LoadedFrames& frames, int index) { return index < 0 ? nullptr : frames[size_t(index)]; }

Picture RandomPicture(int w, int h, std::mt19937& rng, int colors = 256) {
    Picture p(w, h);
    for (uint8_t& v : p.pixels) v = static_cast<uint8_t>(rng() % colors);
    return p;
}

// A picture with runs, flat areas and a few random changes from `base`.
Picture Changed(const Picture& base, std::mt19937& rng) {
    Picture p = base;
    const int changes = 1 + static_cast<int>(rng() % 20);
    for (int i = 0; i < changes; ++i) {
        const int x = static_cast<int>(rng() % p.width), y = static_cast<int>(rng() % p.height);
        const int len = 1 + static_cast<int>(rng() % 40);
        const uint8_t v = static_cast<uint8_t>(rng());
        const bool flat = rng() % 2;
        for (int k = 0; k < len && x + k < p.width; ++k) p.at(x + k, y) = flat ? v : static_cast<uint8_t>(rng());
    }
    return p;
}

// An FLC of five random 20 x 10 frames, each after the first a delta of the
// one before; `pictures` gets the frames.
Bytes FiveFrames(uint32_t seed, std::vector<Picture>* pictures) {
    std::mt19937 rng(seed);
    *pictures = {RandomPicture(20, 10, rng)};
    FlicWriter writer(kFlcMagic, 20, 10, 10);
    writer.frame().byteRun(pictures->front());
    for (int i = 1; i < 5; ++i) {
        pictures->push_back(Changed(pictures->back(), rng));
        writer.frame().deltaFlc((*pictures)[i - 1], (*pictures)[i]);
    }
    return writer.finish();
}

// Where frame `n` (from 0) of a file without a prefix chunk starts.
size_t FrameOffset(const Bytes& file, int n) {
    size_t at = 128;
    for (int i = 0; i < n; ++i) at += file[at] | (file[at + 1] << 8);
    return at;
}

// One frame of `base` (written uncompressed) followed by one frame of a subchunk.
LoadedFrames SecondFrameAfter(const Picture& base, uint16_t type, const Bytes& data) {
    Bytes file = FlicWriter(kFlcMagic, base.width, base.height, 10).frame().copy(base).frame().subchunk(type, data).finish();
    LoadedFrames chain = LoadBytes(file);
    EXPECT_TRUE(chain);
    EXPECT_EQ(chain.count(), 2);
    return chain;
}

TEST(FlicProbe, AcceptsBothMagicsWhateverFollowsAndNamesTheKind) {
    Bytes bytes(8, 0);
    bytes[4] = 0x12, bytes[5] = 0xAF;
    LoadRequest request{static_cast<uint32_t>(bytes.size()), bytes.data(), kErrorNone, 0};
    EXPECT_TRUE(FlicProbe(&request));
    EXPECT_STREQ(FlicKind(bytes.data(), bytes.size()), "FLC");
    bytes[4] = 0x11;
    EXPECT_TRUE(FlicProbe(&request));
    EXPECT_STREQ(FlicKind(bytes.data(), bytes.size()), "FLI");
    EXPECT_STREQ(FlicKind(bytes.data(), 5), "FLC");  // the magic does not fit
    bytes[4] = 0x13;
    EXPECT_FALSE(FlicProbe(&request));
    request.size = 5;  // the magic does not fit
    bytes[4] = 0x12;
    EXPECT_FALSE(FlicProbe(&request));
}

TEST(FlicPalette, WorkedColorExamples) {
    // COLOR_256 01 00 0A 02 FF 00 00 00 FF 00: entries 10 and 11 red and green.
    Bytes file = FlicWriter(kFlcMagic, 2, 2, 10)
                     .frame()
                     .subchunk(kFlicColor256, {0x01, 0x00, 0x0A, 0x02, 0xFF, 0x00, 0x00, 0x00, 0xFF, 0x00})
                     .black()
                     .frame()
                     .subchunk(kFlicColor64, {0x01, 0x00, 0x0A, 0x01, 0x3F, 0x20, 0x00})
                     .finish();
    LoadedFrames chain = LoadBytes(file);
    ASSERT_TRUE(chain);
    EXPECT_EQ(ColorOf(Frame(chain, 0), 10), (std::array<uint8_t, 3>{255, 0, 0}));
    EXPECT_EQ(ColorOf(Frame(chain, 0), 11), (std::array<uint8_t, 3>{0, 255, 0}));
    EXPECT_EQ(ColorOf(Frame(chain, 1), 10), (std::array<uint8_t, 3>{252, 128, 0}));
    EXPECT_EQ(ColorOf(Frame(chain, 1), 11), (std::array<uint8_t, 3>{0, 255, 0}));
}

TEST(FlicPalette, EveryPacketAppliesAndSkipsCountOnFromThePreviousPacket) {
    std::vector<Rgb> all(256);
    for (int i = 0; i < 256; ++i) all[i] = {static_cast<uint8_t>(i), 1, 2};
    Bytes file = FlicWriter(kFlcMagic, 2, 2, 10)
                     .frame()
                     .color256({{0, all}})  // count 0 means 256
                     .frame()
                     .color256({{2, {{100, 100, 100}}}, {3, {{200, 200, 200}, {201, 201, 201}}}})
                     .frame()
                     .color256({{200, std::vector<Rgb>(100, Rgb{7, 7, 7})}})  // 200..255, the rest dropped
                     .finish();
    LoadedFrames chain = LoadBytes(file);
    ASSERT_TRUE(chain);
    EXPECT_EQ(ColorOf(Frame(chain, 0), 255), (std::array<uint8_t, 3>{255, 1, 2}));
    const Image* second = Frame(chain, 1);
    EXPECT_EQ(ColorOf(second, 2), (std::array<uint8_t, 3>{100, 100, 100}));
    EXPECT_EQ(ColorOf(second, 6), (std::array<uint8_t, 3>{200, 200, 200}));  // 2 + 1 + skip 3
    EXPECT_EQ(ColorOf(second, 7), (std::array<uint8_t, 3>{201, 201, 201}));
    EXPECT_EQ(ColorOf(second, 5), (std::array<uint8_t, 3>{5, 1, 2}));
    const Image* third = Frame(chain, 2);
    EXPECT_EQ(ColorOf(third, 199), (std::array<uint8_t, 3>{199, 1, 2}));
    EXPECT_EQ(ColorOf(third, 255), (std::array<uint8_t, 3>{7, 7, 7}));
}

TEST(FlicPalette, AnImageTakesThePaletteAfterItsWholeFrame) {
    Bytes file = FlicWriter(kFlcMagic, 2, 2, 10).frame().black().color256({{0, {{9, 9, 9}}}}).finish();
    LoadedFrames chain = LoadBytes(file);
    ASSERT_TRUE(chain);
    EXPECT_EQ(ColorOf(chain.get(), 0), (std::array<uint8_t, 3>{9, 9, 9}));
}

TEST(FlicChunks, WorkedByteRunRow) {
    // Row 02 03 07 FE 01 02 gives 07 07 07 01 02; the other row is one fill.
    Bytes file = FlicWriter(kFlcMagic, 5, 2, 10).frame().subchunk(kFlicByteRun, {0x02, 0x03, 0x07, 0xFE, 0x01, 0x02, 0x01, 0x05, 0x09}).finish();
    LoadedFrames chain = LoadBytes(file);
    ASSERT_TRUE(chain);
    const Picture p = PictureOf(chain.get());
    EXPECT_EQ(p.pixels, (Bytes{7, 7, 7, 1, 2, 9, 9, 9, 9, 9}));
}

TEST(FlicChunks, ByteRunIgnoresThePacketCountByte) {
    // Wide rows overflow the count byte; a count of 0 must not stop the row.
    Bytes file = FlicWriter(kFlcMagic, 4, 1, 10).frame().subchunk(kFlicByteRun, {0x00, 0x04, 0x06}).finish();
    LoadedFrames chain = LoadBytes(file);
    ASSERT_TRUE(chain);
    EXPECT_EQ(PictureOf(chain.get()).pixels, (Bytes{6, 6, 6, 6}));

    std::mt19937 rng(7);
    Picture wide = RandomPicture(700, 3, rng, 3);  // hundreds of packets a row
    LoadedFrames decoded = LoadBytes(FlicWriter(kFlcMagic, 700, 3, 10).frame().byteRun(wide).finish());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(PictureOf(decoded.get()).pixels, wide.pixels);
}

TEST(FlicChunks, WorkedDeltaFli) {
    // 05 00 01 00 01 02 FD 09: columns 2..4 of row 5 become 09.
    Picture base(8, 8, 1);
    LoadedFrames chain = SecondFrameAfter(base, kFlicDeltaFli, {0x05, 0x00, 0x01, 0x00, 0x01, 0x02, 0xFD, 0x09});
    Picture expected = base;
    for (int x = 2; x <= 4; ++x) expected.at(x, 5) = 9;
    EXPECT_EQ(PictureOf(Frame(chain, 1)).pixels, expected.pixels);
    EXPECT_EQ(PictureOf(Frame(chain, 0)).pixels, base.pixels);
}

TEST(FlicChunks, WorkedDeltaFlc) {
    Picture base(8, 6, 1);
    LoadedFrames chain = SecondFrameAfter(
        base, kFlicDeltaFlc, {0x02, 0x00, 0xFE, 0xFF, 0x01, 0x00, 0x00, 0x02, 0x41, 0x42, 0x43, 0x44, 0x01, 0x00, 0x03, 0xFF, 0x58, 0x59});
    Picture expected = base;
    expected.at(0, 2) = 0x41, expected.at(1, 2) = 0x42, expected.at(2, 2) = 0x43, expected.at(3, 2) = 0x44;
    expected.at(3, 3) = 0x58, expected.at(4, 3) = 0x59;
    EXPECT_EQ(PictureOf(Frame(chain, 1)).pixels, expected.pixels);
}

TEST(FlicChunks, DeltaFlcLastPixelAndLongRuns) {
    Picture base(7, 2, 0);
    // Row 0: last pixel 0x33, then one packet: run of 3 words 'ab'; row 1: run of -128 cut at the row.
    LoadedFrames chain = SecondFrameAfter(base, kFlicDeltaFlc,
                                      {0x02, 0x00, 0x33, 0x80, 0x01, 0x00, 0x00, 0xFD, 'a', 'b', 0x01, 0x00, 0x00, 0x80, 'c', 'd'});
    const Picture p = PictureOf(Frame(chain, 1));
    EXPECT_EQ(p.pixels, (Bytes{'a', 'b', 'a', 'b', 'a', 'b', 0x33, 'c', 'd', 'c', 'd', 'c', 'd', 'c'}));
}

TEST(FlicChunks, BlackAndCopy) {
    std::mt19937 rng(1);
    const Picture picture = RandomPicture(321, 5, rng);  // rows of 324 bytes
    Bytes file = FlicWriter(kFlcMagic, 321, 5, 10).frame().copy(picture).frame().black().finish();
    LoadedFrames chain = LoadBytes(file);
    ASSERT_TRUE(chain);
    EXPECT_EQ(ImageStride(chain.get()), 324);
    EXPECT_EQ(PictureOf(Frame(chain, 0)).pixels, picture.pixels);
    EXPECT_EQ(PictureOf(Frame(chain, 1)).pixels, Picture(321, 5, 0).pixels);
}

TEST(FlicChunks, UnknownSubchunksArePassedOver) {
    Picture picture(4, 2, 5);
    Bytes file = FlicWriter(kFlcMagic, 4, 2, 10)
                     .frame()
                     .subchunk(18, Bytes(30, 0xEE))
                     .subchunk(25, Bytes(3, 0xEE))
                     .subchunk(3, {})
                     .copy(picture)
                     .finish();
    LoadedFrames chain = LoadBytes(file);
    ASSERT_TRUE(chain);
    EXPECT_EQ(PictureOf(chain.get()).pixels, picture.pixels);
}

TEST(FlicChunks, EncodedDeltasRoundTrip) {
    // Each delta encoder against the decoder over many random changes.
    std::mt19937 rng(42);
    for (int w : {1, 2, 7, 64, 301}) {
        Picture current = RandomPicture(w, 9, rng, 4);
        FlicWriter fli(kFliMagic, w, 9, 5), flc(kFlcMagic, w, 9, 5);
        fli.frame().byteRun(current);
        flc.frame().byteRun(current);
        std::vector<Picture> expected{current};
        for (int i = 0; i < 12; ++i) {
            Picture next = Changed(current, rng);
            fli.frame().deltaFli(current, next);
            flc.frame().deltaFlc(current, next);
            expected.push_back(next);
            current = next;
        }
        for (Bytes file : {fli.finish(), flc.finish()}) {
            LoadedFrames chain = LoadBytes(file);
            ASSERT_TRUE(chain);
            ASSERT_EQ(chain.count(), 13);
            for (int i = 0; i < 13; ++i) EXPECT_EQ(PictureOf(Frame(chain, i)).pixels, expected[i].pixels) << "width " << w << " frame " << i;
        }
    }
}

TEST(FlicFrames, OneImagePerFrameChunk) {
    Picture a(4, 2, 1), b(4, 2, 2);
    Bytes file = FlicWriter(kFlcMagic, 4, 2, 10)
                     .frame()
                     .copy(a)
                     .frame()  // a hold: no subchunks
                     .frame()
                     .color256({{1, {{50, 60, 70}}}})  // palette only
                     .frame()
                     .black()
                     .copy(b)  // two image chunks apply to one image
                     .finish();
    LoadedFrames chain = LoadBytes(file);
    ASSERT_TRUE(chain);
    ASSERT_EQ(chain.count(), 4);
    EXPECT_EQ(PictureOf(Frame(chain, 1)).pixels, a.pixels);
    EXPECT_EQ(PictureOf(Frame(chain, 2)).pixels, a.pixels);
    EXPECT_EQ(ColorOf(Frame(chain, 1), 1), (std::array<uint8_t, 3>{0, 0, 0}));
    EXPECT_EQ(ColorOf(Frame(chain, 2), 1), (std::array<uint8_t, 3>{50, 60, 70}));
    EXPECT_EQ(ColorOf(Frame(chain, 3), 1), (std::array<uint8_t, 3>{50, 60, 70}));
    EXPECT_EQ(PictureOf(Frame(chain, 3)).pixels, b.pixels);
}

TEST(FlicFrames, PrefixChunksAreNoFramesAndTheRingFrameIsNotRead) {
    Picture a(4, 2, 1), b(4, 2, 2);
    Bytes file = FlicWriter(kFlcMagic, 4, 2, 10)
                     .prefixChunk()
                     .frame()
                     .copy(a)
                     .frame()
                     .copy(b)
                     .frame()  // ring frame: back to the first picture
                     .copy(a)
                     .frameCountField(2)
                     .finish();
    LoadedFrames chain = LoadBytes(file);
    ASSERT_TRUE(chain);
    ASSERT_EQ(chain.count(), 2);
    EXPECT_EQ(PictureOf(Frame(chain, 0)).pixels, a.pixels);
    EXPECT_EQ(PictureOf(Frame(chain, 1)).pixels, b.pixels);
}

TEST(FlicFrames, FirstFrameOffsetField) {
    Picture a(4, 2, 1), b(4, 2, 2);
    // Offset 0 and negative offsets mean 128.
    for (int32_t offset : {0, -5}) {
        LoadedFrames chain = LoadBytes(FlicWriter(kFlcMagic, 4, 2, 10).firstFrameOffsetField(offset).frame().copy(a).finish());
        ASSERT_TRUE(chain);
        EXPECT_EQ(PictureOf(chain.get()).pixels, a.pixels);
    }
    // A positive offset is where the frames start: here past the first one.
    Bytes two = FlicWriter(kFlcMagic, 4, 2, 10).frame().copy(a).frame().copy(b).frameCountField(1).finish();
    const uint32_t second = 128 + 16 + 6 + 8;
    two[80] = static_cast<uint8_t>(second), two[81] = 0;
    LoadedFrames chain = LoadBytes(two);
    ASSERT_TRUE(chain);
    EXPECT_EQ(PictureOf(chain.get()).pixels, b.pixels);
}

TEST(FlicFrames, DelaysFollowTheFormatsUnits) {
    LoadedFrames fli = LoadBytes(FlicWriter(kFliMagic, 2, 2, 5).frame().black().frame().black().finish());
    ASSERT_TRUE(fli);
    EXPECT_EQ(ImageGetDelay(fli.get()), 71u);  // 5 / 70 s
    EXPECT_EQ(ImageGetDelay(fli[1]), 71u);
    LoadedFrames flc = LoadBytes(FlicWriter(kFlcMagic, 2, 2, 5).frame().black().finish());
    ASSERT_TRUE(flc);
    EXPECT_EQ(ImageGetDelay(flc.get()), 5u);
    EXPECT_EQ(FlicDelayMs(kFliMagic, 0xFFFFFFFFu), 0xFFFFFFFFu);  // saturates, no wrap-around
}

TEST(FlicDamage, CleanErrorsForBrokenFiles) {
    Status error;
    EXPECT_FALSE(LoadBytes(FlicWriter(kFlcMagic, 4, 4, 10).frameCountField(0).frame().black().finish(), &error));
    EXPECT_EQ(error, kErrorInvalidData);
    EXPECT_FALSE(LoadBytes(FlicWriter(kFlcMagic, 0, 4, 10).frame().black().finish(), &error));
    EXPECT_EQ(error, kErrorInvalidData);

    Bytes header = FlicWriter(kFlcMagic, 4, 4, 10).finish();
    header.resize(60);  // shorter than its header
    EXPECT_FALSE(LoadBytes(header, &error));
    EXPECT_EQ(error, kErrorInvalidData);

    // A subchunk whose size could never advance.
    Bytes zero = FlicWriter(kFlcMagic, 4, 4, 10).frame().black().finish();
    zero[128 + 16] = zero[128 + 17] = 0;
    EXPECT_FALSE(LoadBytes(zero, &error));
    EXPECT_EQ(error, kErrorInvalidData);

    // A non-frame chunk of size 0 at frame level must not spin.
    Bytes spin = FlicWriter(kFlcMagic, 4, 4, 10).topChunk(0x1234, {}).frame().black().finish();
    spin[128] = 0;
    EXPECT_FALSE(LoadBytes(spin, &error));
    EXPECT_EQ(error, kErrorInvalidData);

    // Packets that claim more data than the chunk holds.
    EXPECT_FALSE(LoadBytes(FlicWriter(kFlcMagic, 4, 4, 10).frame().subchunk(kFlicByteRun, {0x01, 0x80}).finish(), &error));
    EXPECT_EQ(error, kErrorInvalidData);
    EXPECT_FALSE(LoadBytes(FlicWriter(kFlcMagic, 4, 4, 10).frame().subchunk(kFlicCopy, Bytes(15, 1)).finish(), &error));
    EXPECT_EQ(error, kErrorInvalidData);
}

TEST(FlicDamage, FramesBeforeTheDamageAreKept) {
    std::vector<Picture> pictures;
    const Bytes whole = FiveFrames(7, &pictures);
    Status error, endedEarly;
    ASSERT_TRUE(LoadBytes(whole, &error, 0, &endedEarly));
    EXPECT_EQ(endedEarly, kErrorNone);

    // Cut anywhere inside the fourth frame: three frames, exact, and the
    // damaged one is dropped rather than shown half drawn.
    const size_t fourth = FrameOffset(whole, 3);
    for (size_t cut : {fourth + 3, fourth + 17, fourth + 30}) {
        LoadedFrames chain = LoadBytes(Bytes(whole.begin(), whole.begin() + static_cast<long>(cut)), &error, 0, &endedEarly);
        ASSERT_TRUE(chain) << cut;
        EXPECT_EQ(endedEarly, kErrorInvalidData);
        ASSERT_EQ(chain.count(), 3);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(PictureOf(Frame(chain, i)).pixels, pictures[i].pixels);
    }

    // More frames counted than written is the same damage.
    ASSERT_TRUE(LoadBytes(FlicWriter(kFlcMagic, 4, 4, 10).frame().black().frameCountField(3).finish(), &error, 0, &endedEarly));
    EXPECT_EQ(endedEarly, kErrorInvalidData);

    // Damage in the first frame leaves nothing to show.
    EXPECT_FALSE(LoadBytes(Bytes(whole.begin(), whole.begin() + 150), &error));
    EXPECT_EQ(error, kErrorInvalidData);
}

TEST(FlicChunks, ShortCopyChunkReadsOnToTheEndOfItsFrame) {
    // As Animator Pro wrote CEL files: a prefix chunk, one frame, and a copy
    // chunk that states 2 bytes fewer than its pixels.
    std::mt19937 rng(3);
    const Picture picture = RandomPicture(9, 5, rng);
    Bytes file = FlicWriter(kFlcMagic, 9, 5, 10).prefixChunk().frame().copy(picture).finish();
    const size_t copy = 128 + 16 + 16;  // after the 16-byte prefix chunk and the frame header
    ASSERT_EQ(file[copy + 4], kFlicCopy);
    file[copy] -= 2;
    LoadedFrames chain = LoadBytes(file);
    ASSERT_TRUE(chain);
    EXPECT_EQ(PictureOf(chain.get()).pixels, picture.pixels);

    // Never past the frame chunk: pixels missing there are damage.
    Bytes cut = FlicWriter(kFlcMagic, 9, 5, 10).frame().copy(picture).frame().black().finish();
    cut[128 + 16] -= 2;
    cut[128] -= 2;  // the frame chunk ends where the stated copy does
    Status error;
    EXPECT_FALSE(LoadBytes(cut, &error));
    EXPECT_EQ(error, kErrorInvalidData);
}

TEST(FlicChunks, BlackClearsWhatWasDrawnSinceTheLastBlack) {
    // BLACK clears only what was drawn since the picture was last black; the
    // result must be the same as clearing everything, whichever chunk drew.
    std::mt19937 rng(11);
    for (int round = 0; round < 20; ++round) {
        const int w = 3 + static_cast<int>(rng() % 30), h = 1 + static_cast<int>(rng() % 12);
        const Picture zero(w, h);
        const Picture a = RandomPicture(w, h, rng), b = Changed(zero, rng), c = Changed(zero, rng);
        Bytes file = FlicWriter(kFlcMagic, w, h, 10)
                         .frame().copy(a).black().deltaFlc(zero, b).black().deltaFli(zero, c)
                         .frame().black().black()
                         .finish();
        LoadedFrames chain = LoadBytes(file);
        ASSERT_TRUE(chain);
        EXPECT_EQ(PictureOf(Frame(chain, 0)).pixels, c.pixels) << round;
        EXPECT_EQ(PictureOf(Frame(chain, 1)).pixels, zero.pixels) << round;
    }
}

TEST(FlicDamage, WritesStayInsideThePicture) {
    // Runs, skips and rows far past the picture's edges.
    Picture base(5, 3, 1);
    LoadedFrames fli = SecondFrameAfter(base, kFlicDeltaFli, {0x01, 0x00, 0x09, 0x00, 0x01, 0xF0, 0x80, 0x07, 0x01, 0x00, 0x80, 0x08});
    ASSERT_TRUE(fli);
    Picture expected = base;
    for (int x = 0; x < 5; ++x) expected.at(x, 2) = 8;
    // Row 1: skip 0xF0 goes past the row; nothing written there.
    EXPECT_EQ(PictureOf(Frame(fli, 1)).pixels, expected.pixels);

    LoadedFrames flc = SecondFrameAfter(base, kFlicDeltaFlc, {0x02, 0x00, 0x00, 0xC0, 0x01, 0x00, 0x00, 0x01, 0x01, 0x02});
    ASSERT_TRUE(flc);  // a skip of 16384 rows ends the chunk
    EXPECT_EQ(PictureOf(Frame(flc, 1)).pixels, base.pixels);
}

TEST(FlicDamage, OverstatedChunkSizesEndAtTheFile) {
    // Real files overstate the last chunk by a pad byte.
    Picture picture(4, 2, 3);
    Bytes file = FlicWriter(kFlcMagic, 4, 2, 10).frame().byteRun(picture).finish();
    file[128] += 1;          // frame chunk
    file[128 + 16] += 1;     // its only subchunk
    file[128 + 6] += 3;      // and three subchunks more than it holds
    LoadedFrames chain = LoadBytes(file);
    ASSERT_TRUE(chain);
    EXPECT_EQ(PictureOf(chain.get()).pixels, picture.pixels);

    // The last frame chunk stated further past the end of the file: whole
    // while its subchunks are, damage once the end of the file cuts them.
    std::vector<Picture> pictures;
    const Bytes whole = FiveFrames(5, &pictures);
    const size_t last = FrameOffset(whole, 4);
    uint32_t size = 0;
    for (int i = 0; i < 4; ++i) size |= uint32_t{whole[last + i]} << (8 * i);
    for (uint32_t over : {2u, 3u, 1000u}) {
        for (size_t cut : {0, 2}) {
            Bytes stated(whole.begin(), whole.end() - static_cast<long>(cut));
            for (int i = 0; i < 4; ++i) stated[last + i] = static_cast<uint8_t>((size + over) >> (8 * i));
            Status error, endedEarly;
            chain = LoadBytes(stated, &error, 0, &endedEarly);
            ASSERT_EQ(chain.count(), cut ? 4 : 5) << over << " " << cut;
            // The end names what was wrong, and the frame it was in.
            EXPECT_EQ(endedEarly, cut ? Status::Damaged("it is cut short", 4) : Status()) << over << " " << cut;
            EXPECT_EQ(PictureOf(Frame(chain, cut ? 3 : 4)).pixels, pictures[cut ? 3 : 4].pixels) << over << " " << cut;
        }
    }
}

TEST(FlicBudget, TheBudgetBoundsWhatIsHeldNotHowManyFrames) {
    // 640 x 480 frames that change nothing, from a file of a few hundred
    // bytes: a budget that holds the working picture and two frames reads
    // every one of them, however many the file's size would seem to allow.
    FlicWriter writer(kFlcMagic, 640, 480, 10);
    writer.frame().black();
    for (int i = 1; i < 60; ++i) writer.frame();
    const uint64_t perFrame = LoadBudget::ImageFootprint(640, 480, 8);
    const uint64_t canvas = 640 * 480 + 480 * 13;  // the working picture and what it remembers per row
    Status error = kErrorNone, endedEarly = kErrorNone;
    LoadedFrames frames = LoadBytes(writer.finish(), &error, canvas + 2 * perFrame, &endedEarly);
    EXPECT_EQ(frames.count(), 60);
    EXPECT_EQ(endedEarly, kErrorNone);
    // One that cannot hold a frame beside the working picture has none.
    EXPECT_FALSE(LoadBytes(writer.finish(), &error, canvas + perFrame / 2));
    EXPECT_EQ(error, kErrorOutOfMemory);
    // What the viewer and the tool say when the budget ends the frames.
    char text[80];
    LoadEndText(kErrorOutOfMemory, 10, 50, text, sizeof text);
    EXPECT_STREQ(text, "10 of 50 frames: not enough memory for the rest");
    LoadEndText(kErrorOutOfMemory, 10, 0, text, sizeof text);  // a format that states no count
    EXPECT_STREQ(text, "10 frames: not enough memory for the rest");
    LoadEndText(kErrorInvalidData, 3, 50, text, sizeof text);
    EXPECT_STREQ(text, "the file is damaged after frame 2");  // three frames, counted from 0
    LoadEndText(Status::Damaged("it is cut short", 3), 3, 50, text, sizeof text);
    EXPECT_STREQ(text, "the file is damaged after frame 2: it is cut short");
    LoadEndText(kErrorNone, 50, 50, text, sizeof text);
    EXPECT_STREQ(text, "");
    LoadEndText(Status::Cancelled(), 10, 50, text, sizeof text);  // a cancel ends nothing the user must hear of
    EXPECT_STREQ(text, "");
}

TEST(FlicBudget, WorkFarBeyondThePictureEndsAsDamage) {
    // 16 rows of 32767 packets each filling 256 bytes of a 64-byte row: 4
    // bytes of file for 256 pixels written, 134 million in all, on a picture
    // of 1024 pixels. The frame before stays.
    Bytes delta;
    PutU16(delta, 16);
    for (int row = 0; row < 16; ++row) {
        PutU16(delta, 32767);
        for (int p = 0; p < 32767; ++p) delta.insert(delta.end(), {0, 0x80, 1, 2});
    }
    FlicWriter writer(kFlcMagic, 64, 16, 10);
    writer.frame().copy(Picture(64, 16, 3)).frame().subchunk(kFlicDeltaFlc, delta).frame();
    Status endedEarly = kErrorNone;
    LoadedFrames chain = LoadBytes(writer.finish(), nullptr, 0, &endedEarly);
    EXPECT_EQ(chain.count(), 1);
    EXPECT_EQ(endedEarly, kErrorInvalidData);
}

}  // namespace

// ---- The FLC writer's chunks ------------------------------------------------------

#include "codecs/flic_writer.h"

TEST(FlicWriterChunks, OnlyWhatChangedIsWritten) {
    uint8_t before[768] = {}, after[768] = {};
    after[5 * 3] = after[6 * 3 + 1] = after[200 * 3 + 2] = 9;
    // Two packets: entries 5-6, then 200 (skip counts from the end of the packet before).
    EXPECT_EQ(FlicEncodeColor256(before, after),
              (std::vector<uint8_t>{2, 0, 5, 2, 9, 0, 0, 0, 9, 0, 193, 1, 0, 0, 9}));
    EXPECT_TRUE(FlicEncodeColor256(after, after).empty());
    EXPECT_EQ(FlicEncodeColor256(nullptr, after).size(), 4u + 768u);  // the first frame's: all 256 entries

    // Equal pictures: no delta at all; an odd row whose last pixel alone changed says only that.
    std::vector<uint8_t> a(5 * 3, 1), b = a;
    EXPECT_TRUE(FlicEncodeDeltaFlc(a.data(), b.data(), 5, 3).empty());
    b[2 * 5 + 4] = 7;
    EXPECT_EQ(FlicEncodeDeltaFlc(a.data(), b.data(), 5, 3),
              (std::vector<uint8_t>{1, 0, 0xFE, 0xFF, 7, 0x80, 0, 0}));  // 1 line: skip 2, last pixel 7, no packets
}
