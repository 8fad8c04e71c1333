#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>

#include "codecs/codec_util.h"
#include "codecs/gif.h"
#include "codecs/gif_animation.h"
#include "codecs/gif_lzw.h"
#include "codecs/gif_reader.h"
#include "codecs/gif_writer.h"
#include "formats/save.h"
#include "image/convert.h"
#include "image/quantize.h"
#include "tests/support/flic_writer.h"
#include "tests/support/test_util.h"

namespace {

struct BufferDeleter {
    void operator()(MemBuffer* buffer) const { MemBufferFree(buffer); }
};

Bytes Encode(const Image* image, GifSaveOptions options, Status* error = nullptr) {
    Status local = kErrorNone;
    std::unique_ptr<MemBuffer, BufferDeleter> buffer(GifEncode(image, options, error ? error : &local));
    if (!buffer) return {};
    return Bytes(buffer->data, buffer->data + buffer->size);
}

ImagePtr MakeImage(int width, int height, int depth, const std::vector<uint8_t>& pixels) {
    ImagePtr image(ImageCreate(width, height, depth));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) ImageSetPixel(image.get(), x, y, pixels[static_cast<size_t>(y) * width + x]);
    if (depth <= 8) {
        std::vector<PaletteEntry> palette(size_t{1} << depth);
        for (size_t i = 0; i < palette.size(); ++i)
            palette[i] = {uint8_t(i * 3), uint8_t(255 - i), uint8_t(i ^ 0x5A), 0};
        ImageSetPalette(image.get(), palette.data());
    }
    return image;
}

std::vector<uint8_t> RandomPixels(size_t n, int colors, std::mt19937& rng, int runs = 1) {
    std::vector<uint8_t> pixels(n);
    for (size_t i = 0; i < n; ++i) pixels[i] = (i % runs == 0 || i == 0) ? uint8_t(rng() % colors) : pixels[i - 1];
    return pixels;
}

// The image data as the encoding rules read, transcribed plainly: a map for
// the table, one bit at a time into 255-byte sub-blocks.
Bytes ReferenceData(const std::vector<uint8_t>& pixels, int c) {
    Bytes out;
    uint8_t block[255] = {};
    int count = 0, bitPos = 0;
    auto put = [&](int code, int width) {
        for (int i = 0; i < width; ++i) {
            block[count] = static_cast<uint8_t>(block[count] | (((code >> i) & 1) << bitPos));
            if (++bitPos == 8) {
                bitPos = 0;
                if (++count == 255) {
                    out.push_back(255);
                    out.insert(out.end(), block, block + 255);
                    std::fill(block, block + 255, 0);
                    count = 0;
                }
            }
        }
    };
    const int clear = 1 << c;
    int next = clear + 2, w = c + 1;
    std::map<std::pair<int, int>, int> table;
    put(clear, w);
    int prefix = pixels[0];
    for (size_t i = 1; i < pixels.size(); ++i) {
        const int p = pixels[i];
        auto found = table.find({prefix, p});
        if (found != table.end()) {
            prefix = found->second;
            continue;
        }
        table[{prefix, p}] = next++;
        put(prefix, w);
        if (next == (1 << w) + 1) ++w;
        if (next == 4095) {
            put(clear, w);
            next = clear + 2, w = c + 1;
            table.clear();
        }
        prefix = p;
    }
    put(prefix, w);
    if (next == (1 << w)) ++w;  // the decoder's entry for the last code
    put(clear + 1, w);
    const int n = count + (bitPos > 0 ? 1 : 0);
    if (n > 0) {
        out.push_back(static_cast<uint8_t>(n));
        out.insert(out.end(), block, block + n);
    }
    return out;
}

// The data sub-blocks of a whole single-image file (flags 7), without the
// terminator and trailer.
Bytes DataOf(const Bytes& file, int depth) {
    const size_t start = 13 + 8 + 10 + (size_t{3} << depth) + 1;
    return Bytes(file.begin() + static_cast<long>(start), file.end() - 2);
}

// Codes read back with the widths a decoder uses: (code, width) pairs.
std::vector<std::pair<int, int>> ReadCodes(const Bytes& subBlocks, int c) {
    Bytes data;
    for (size_t at = 0; at < subBlocks.size(); at += 1 + subBlocks[at])
        data.insert(data.end(), subBlocks.begin() + static_cast<long>(at) + 1,
                    subBlocks.begin() + static_cast<long>(at + 1 + subBlocks[at]));
    std::vector<std::pair<int, int>> codes;
    const int clear = 1 << c;
    int width = c + 1, next = clear + 2;
    bool first = true;
    size_t bit = 0;
    while (bit + static_cast<size_t>(width) <= data.size() * 8) {
        int code = 0;
        for (int i = 0; i < width; ++i, ++bit) code |= ((data[bit / 8] >> (bit % 8)) & 1) << i;
        codes.push_back({code, width});
        if (code == clear + 1) break;
        if (code == clear) {
            width = c + 1, next = clear + 2, first = true;
        } else if (first) {
            first = false;
        } else if (next < 4096 && ++next >= (1 << width) && width < 12) {
            ++width;
        }
    }
    return codes;
}

TEST(GifWriter, WorkedTwoByTwoExample) {
    ImagePtr image = MakeImage(2, 2, 8, {0, 0, 0, 0});
    const Bytes file = Encode(image.get(), {7, 0});
    const Bytes header = {'G', 'I', 'F', '8', '9', 'a', 2, 0, 2, 0, 0x77, 0, 0};
    const Bytes control = {0x21, 0xF9, 0x04, 0, 0, 0, 0, 0};
    const Bytes descriptor = {0x2C, 0, 0, 0, 0, 2, 0, 2, 0, 0x87};
    const Bytes data = {8, 0x06, 0x00, 0x01, 0x08, 0x04, 0x10, 0x10, 0x00, 0x3B};
    ASSERT_EQ(file.size(), header.size() + control.size() + descriptor.size() + 768 + data.size());
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 13), header);
    EXPECT_EQ(Bytes(file.begin() + 13, file.begin() + 21), control);
    EXPECT_EQ(Bytes(file.begin() + 21, file.begin() + 31), descriptor);
    EXPECT_EQ(file[31 + 3], 3);  // entry 1: red 3, green 254, blue 0x5B
    EXPECT_EQ(file[31 + 4], 254);
    EXPECT_EQ(Bytes(file.end() - 10, file.end()), data);
    EXPECT_EQ(ReadCodes(DataOf(file, 8), 8),
              (std::vector<std::pair<int, int>>{{256, 9}, {0, 9}, {258, 9}, {0, 9}, {257, 9}}));
}

TEST(GifWriter, DepthsSetCodeSizeTableAndPackedBytes) {
    struct Case {
        int depth, codeSize, tableEntries;
        uint8_t screenPacked, imagePacked;
    };
    for (const Case& k : {Case{1, 2, 2, 0x00, 0x80}, Case{4, 4, 16, 0x33, 0x83}, Case{8, 8, 256, 0x77, 0x87}}) {
        ImagePtr image = MakeImage(3, 2, k.depth, {1, 0, 1, 1, 1, 0});
        const Bytes file = Encode(image.get(), {7, 0});
        ASSERT_FALSE(file.empty());
        EXPECT_EQ(file[10], k.screenPacked) << k.depth;
        EXPECT_EQ(file[30], k.imagePacked) << k.depth;
        EXPECT_EQ(file[31 + 3 * k.tableEntries], k.codeSize) << k.depth;
        EXPECT_EQ(file.back(), 0x3B);
    }
    // Deeper images with few colours keep them exactly, in a table just large enough.
    for (int depth : {16, 24, 32}) {
        ImagePtr image(ImageCreate(3, 1, depth));
        const uint32_t colors[] = {0x7C00, 0x03E0, 0x7C00};  // 5-5-5 red and green; plain blues above
        for (int x = 0; x < 3; ++x) ImageSetPixel(image.get(), x, 0, depth == 16 ? colors[x] : colors[x] << 3);
        const Bytes file = Encode(image.get(), {7, 0});
        ASSERT_FALSE(file.empty()) << depth;
        EXPECT_EQ(file[30], 0x80) << depth;  // a 2-entry local table
        LoadedFrames back = LoadBytes(file);
        ASSERT_TRUE(back);
        for (int x = 0; x < 3; ++x) {
            const uint32_t want = ImageColorAt(image.get(), x, 0) & 0xFFFFFF;
            EXPECT_EQ(ImageColorAt(back.get(), x, 0) & 0xFFFFFF, depth == 16 ? Rgb555To24(want) : want) << depth;
        }
    }
}

TEST(GifWriter, FlagsChooseThePartsAndALongDelayIsCapped) {
    ImagePtr image = MakeImage(2, 2, 8, {1, 2, 3, 4});
    const Bytes all = Encode(image.get(), {7, 0});
    const Bytes header = Encode(image.get(), {1, 0});
    const Bytes body = Encode(image.get(), {2, 0x12345});
    const Bytes trailer = Encode(image.get(), {4, 0});
    EXPECT_EQ(header.size(), 13u);
    EXPECT_EQ(trailer, Bytes{0x3B});
    EXPECT_EQ(body[4], 0xFF);  // 0x12345 hundredths do not fit: the longest delay instead
    EXPECT_EQ(body[5], 0xFF);
    Bytes joined = header;
    joined.insert(joined.end(), body.begin(), body.end());
    joined.insert(joined.end(), trailer.begin(), trailer.end());
    joined[13 + 4] = joined[13 + 5] = 0;
    EXPECT_EQ(joined, all);
    EXPECT_EQ(Encode(image.get(), {8, 0}).size(), 0u) << "unknown bits alone write nothing";
}

TEST(GifWriter, MatchesThePlainEncodingAtEveryDepthAndSize) {
    std::mt19937 rng(7);
    struct Case {
        int width, height, depth, runs;
    };
    // Small, wide, tall, large enough for several clears (noisy and flat),
    // and runs far longer than a row.
    const Case cases[] = {{1, 1, 8, 1},   {7, 3, 1, 1},     {13, 11, 4, 2},  {300, 200, 8, 1},
                          {640, 48, 8, 5}, {257, 300, 1, 3}, {500, 90, 4, 1}, {1000, 1000, 8, 40},
                          {700, 500, 8, 9000}};
    for (const Case& k : cases) {
        const auto pixels = RandomPixels(size_t(k.width) * k.height, 1 << k.depth, rng, k.runs);
        ImagePtr image = MakeImage(k.width, k.height, k.depth, pixels);
        const Bytes file = Encode(image.get(), {7, 0});
        const int codeSize = k.depth == 1 ? 2 : k.depth;
        EXPECT_EQ(DataOf(file, k.depth), ReferenceData(pixels, codeSize)) << k.width << "x" << k.height;
        LoadedFrames back = LoadBytes(file);
        ASSERT_TRUE(back);
        EXPECT_EQ(ImageBitCount(back.get()), k.depth);
        for (int y = 0; y < k.height; ++y)
            for (int x = 0; x < k.width; ++x)
                ASSERT_EQ(ImageGetPixel(back.get(), x, y), pixels[size_t(y) * k.width + x]) << x << "," << y;
        PaletteEntry a[256], b[256];
        ImageGetPalette(image.get(), a);
        ImageGetPalette(back.get(), b);
        EXPECT_EQ(std::memcmp(a, b, sizeof(PaletteEntry) << k.depth), 0);
    }
}

TEST(GifWriter, ClearsAfterCode4094WithTwelveBitsAndStartsAgain) {
    std::mt19937 rng(3);
    const auto pixels = RandomPixels(200 * 100, 256, rng);
    ImagePtr image = MakeImage(200, 100, 8, pixels);
    const auto codes = ReadCodes(DataOf(Encode(image.get(), {7, 0}), 8), 8);
    // Codes 258..4094 are assigned by the 3837 codes after the first clear.
    ASSERT_GT(codes.size(), 3840u);
    for (size_t i = 1; i < 3838; ++i) ASSERT_NE(codes[i].first, 256) << i;
    EXPECT_EQ(codes[3838], std::make_pair(256, 12));
    EXPECT_EQ(codes[3839].second, 9);
    // The width grew right after code 512 was assigned: code 255 of the data.
    EXPECT_EQ(codes[255].second, 9);
    EXPECT_EQ(codes[256].second, 10);
}

// The end code goes out as wide as the decoder reads it: one wider when the
// last code's entry (which only the decoder adds) reaches the next width.
TEST(GifWriter, EveryImageDataEndsWithItsEndCode) {
    std::mt19937 rng(5);
    static LzwTable table;
    for (int codeSize = 2; codeSize <= 8; ++codeSize)
        for (size_t n = 0; n <= 700; ++n) {
            const auto pixels = RandomPixels(n, 1 << codeSize, rng);
            std::unique_ptr<MemBuffer, BufferDeleter> buffer(MemBufferCreate(kMemBufferGrowStep, kMemBufferGrowStep));
            ByteWriter out(buffer.get());
            LzwEncoder encoder;
            ASSERT_TRUE(LzwEncodeStart(encoder, codeSize, out));
            LzwEncode(encoder, pixels.data(), pixels.size(), out);
            LzwEncodeFinish(encoder, out);
            out.u8(0);
            ByteReader in(buffer->data, static_cast<size_t>(buffer->size));
            LzwCodeReader codes(in);
            LzwDecoder decoder;
            ASSERT_TRUE(LzwDecodeStart(decoder, table, codeSize));
            std::vector<uint8_t> back;
            LzwResult result;
            for (int code; (result = LzwDecodeNext(decoder, codes, code)) == LzwResult::kOk;) {
                back.resize(back.size() + table.length[code]);
                LzwString(table, code, back.data() + back.size() - table.length[code]);
            }
            ASSERT_EQ(back, pixels) << codeSize << " " << n;
            ASSERT_EQ(result, LzwResult::kEndCode) << codeSize << " " << n;
        }
}

TEST(GifWriter, DataFillingItsLastSubBlockIsFollowedByTheTerminator) {
    // Noisy one-row images: find a width whose data fills whole sub-blocks.
    std::mt19937 rng(11);
    const auto pixels = RandomPixels(3000, 256, rng);
    for (int width = 1; width < 3000; ++width) {
        ImagePtr image = MakeImage(width, 1, 8, pixels);
        const Bytes file = Encode(image.get(), {7, 0});
        const Bytes data = DataOf(file, 8);
        if (data.size() % 256 != 0) continue;
        for (size_t at = 0; at < data.size(); at += 256) EXPECT_EQ(data[at], 255);
        EXPECT_EQ(file[file.size() - 2], 0x00);
        EXPECT_EQ(ImageWidth(LoadBytes(file).get()), width);
        return;
    }
    FAIL() << "no size fills its sub-blocks exactly";
}

TEST(GifWriter, ImageWithoutPaletteGetsABlackTable) {
    ImagePtr image(ImageCreate(2, 1, 4));
    const Bytes file = Encode(image.get(), {7, 0});
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(Bytes(file.begin() + 31, file.begin() + 31 + 48), Bytes(48, 0));
}

TEST(GifSaver, IsRegisteredThirdWithItsStreamAndDefaultsToAWholeFile) {
    FormatRegisterAll();
    EXPECT_EQ(FormatSlot(2), FormatFind(kFormatGif));
    const FileFormat* gif = FormatFind(kFormatGif);
    EXPECT_STREQ(gif->description, "Graphics Interchange Format");
    EXPECT_STREQ(gif->extensions, "GIF");
    ASSERT_NE(gif->streamOps, nullptr);
    EXPECT_EQ(gif->streamOps->readFrame, nullptr);

    ImagePtr image = MakeImage(3, 2, 4, {1, 2, 3, 4, 5, 6});
    SaveRequest request{kFormatGif, nullptr, nullptr, kErrorNone};
    ASSERT_EQ(FormatSave(image.get(), &request), 1);
    std::unique_ptr<MemBuffer, BufferDeleter> output(request.output);
    EXPECT_EQ(Bytes(output->data, output->data + output->size), Encode(image.get(), {7, 0}));

}

class GifStream : public ::testing::Test {
protected:
    void SetUp() override { FormatRegisterAll(); }
    Stream* Open(Image* first, int mode = 1, void* options = nullptr) {
        open_ = {kFormatGif, path_.c_str(), mode, first, options, kErrorNone};
        return StreamOpen(&open_);
    }
    // The frames through the stream, planned from all of them as an export
    // plans them (or with the options given); the file's bytes.
    Bytes Write(const std::vector<Image*>& frames, const std::vector<uint32_t>& delays,
                const GifStreamOptions* given = nullptr) {
        std::unique_ptr<GifColorCollector, void (*)(GifColorCollector*)> colors(GifColorCollectorCreate(),
                                                                                 GifColorCollectorDestroy);
        for (Image* f : frames) EXPECT_TRUE(GifColorCollectorAdd(colors.get(), f));
        GifStreamOptions options{0, colors.get()};
        Stream* stream = Open(frames[0], 1, given ? const_cast<GifStreamOptions*>(given) : &options);
        EXPECT_NE(stream, nullptr);
        if (!stream) return {};
        for (size_t i = 0; i < frames.size(); ++i) {
            StreamFrameRequest frame{frames[i], delays[i], nullptr, kErrorNone};
            EXPECT_EQ(StreamWriteFrame(stream, &frame), 1);
        }
        StreamCloseRequest close{frames.back(), nullptr, kErrorNone};
        EXPECT_EQ(StreamClose(stream, &close), 1);
        return ReadFile(path_);
    }
    TempDir dir_;
    std::string path_ = dir_.file("anim.gif");
    StreamOpenRequest open_{};
};

// "" when the pictures show the same colours, else where they first differ.
std::string PictureDifference(const Image* a, const Image* b) {
    if (ImageWidth(a) != ImageWidth(b) || ImageHeight(a) != ImageHeight(b)) return "sizes differ";
    for (int y = 0; y < ImageHeight(a); ++y)
        for (int x = 0; x < ImageWidth(a); ++x)
            if ((ImageColorAt(a, x, y) ^ ImageColorAt(b, x, y)) & 0xFFFFFF)
                return "at " + std::to_string(x) + "," + std::to_string(y);
    return "";
}

// Per image block of a file: where it is, its table and control values.
struct Block {
    int left, top, width, height;
    bool localTable;
    int disposal, transparent;  // -1: none
    int delay;
};

struct Layout {
    int globalEntries = 0;  // 0: no global table
    bool loops = false;
    std::vector<Block> blocks;
};

Layout Walk(const Bytes& f) {
    Layout out;
    size_t at = 13;
    if (f[10] & 0x80) out.globalEntries = 2 << (f[10] & 7), at += 3 * size_t(out.globalEntries);
    auto skipSubBlocks = [&] {
        while (f[at]) at += 1 + f[at];
        ++at;
    };
    int disposal = 0, transparent = -1, delay = 0;
    while (at < f.size() && f[at] != 0x3B) {
        if (f[at] == 0x21 && f[at + 1] == 0xF9) {
            disposal = f[at + 3] >> 2 & 7;
            transparent = f[at + 3] & 1 ? f[at + 6] : -1;
            delay = f[at + 4] | f[at + 5] << 8;
            at += 8;
        } else if (f[at] == 0x21) {
            out.loops = out.loops || f[at + 1] == 0xFF;
            at += 2;
            skipSubBlocks();
        } else {
            Block b{GetU16(&f[at + 1]), GetU16(&f[at + 3]), GetU16(&f[at + 5]), GetU16(&f[at + 7]),
                    (f[at + 9] & 0x80) != 0, disposal, transparent, delay};
            at += 10 + (b.localTable ? 3 * (size_t(2) << (f[at + 9] & 7)) : 0) + 1;
            skipSubBlocks();
            out.blocks.push_back(b);
        }
    }
    return out;
}

// An 8-bit frame of one colour, with the test palette.
ImagePtr Flat(int width, int height, uint8_t value) {
    return MakeImage(width, height, 8, std::vector<uint8_t>(size_t(width) * height, value));
}

void Paint(Image* image, int left, int top, int width, int height, uint32_t value) {
    for (int y = top; y < top + height; ++y)
        for (int x = left; x < left + width; ++x) ImageSetPixel(image, x, y, value);
}

// The frames as the writer should show them: equal neighbours joined, delays added.
void ExpectShownAs(const Bytes& file, const std::vector<Image*>& frames, const std::vector<uint32_t>& delays) {
    LoadedFrames back = LoadBytes(file);
    ASSERT_TRUE(back);
    size_t at = 0;
    const Image* got = back[at];
    uint32_t delay = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        delay += delays[i];
        if (i + 1 < frames.size() && PictureDifference(frames[i], frames[i + 1]).empty()) continue;
        ASSERT_TRUE(got) << "frame " << i;
        EXPECT_EQ(PictureDifference(got, frames[i]), "") << "frame " << i;
        EXPECT_EQ(ImageGetDelay(got), std::min<uint32_t>((delay + 5) / 10, 65535) * 10) << "frame " << i;
        got = back[++at], delay = 0;
    }
    EXPECT_EQ(got, nullptr) << "more frames than expected";
}

TEST_F(GifStream, SharesOneTableAndWritesOnlyWhatChanged) {
    ImagePtr a = Flat(16, 8, 1), b = Flat(16, 8, 1), d = Flat(16, 8, 1);
    Paint(b.get(), 5, 3, 3, 2, 2);
    ImagePtr c(ImageDuplicate(b.get()));
    Paint(d.get(), 5, 3, 3, 2, 2);
    Paint(d.get(), 0, 7, 1, 1, 3);
    const std::vector<Image*> frames = {a.get(), b.get(), c.get(), d.get()};
    const std::vector<uint32_t> delays = {125, 50, 70, 700000};
    const Bytes file = Write(frames, delays);
    const Layout layout = Walk(file);
    EXPECT_TRUE(layout.loops);
    EXPECT_EQ(layout.globalEntries, 4);  // the three colours used, most used first
    ASSERT_EQ(layout.blocks.size(), 3u);  // b and c are one image
    const Block& first = layout.blocks[0];
    EXPECT_EQ(std::vector<int>({first.left, first.top, first.width, first.height}), std::vector<int>({0, 0, 16, 8}));
    const Block& changed = layout.blocks[1];
    EXPECT_EQ(std::vector<int>({changed.left, changed.top, changed.width, changed.height}),
              std::vector<int>({5, 3, 3, 2}));
    EXPECT_EQ(changed.delay, 12);  // 50 + 70 ms
    EXPECT_EQ(layout.blocks[2].delay, 0xFFFF);
    for (const Block& block : layout.blocks) {
        EXPECT_FALSE(block.localTable);
        EXPECT_EQ(block.disposal, 1);
    }
    ExpectShownAs(file, frames, delays);
}

// Changes are found by colour: an index swapped for another of the same
// colour is no change, a palette entry that takes a new colour changes every
// pixel of that index; a colour the global table lacks gets a local table
// only for the frame that has it.
TEST_F(GifStream, FindsChangesByColourAndTablesByTheColoursUsed) {
    auto withPalette = [](ImagePtr image, std::vector<std::pair<int, uint32_t>> colors) {
        PaletteEntry p[256] = {};
        for (const auto& [index, color] : colors) p[index] = {uint8_t(color >> 16), uint8_t(color >> 8), uint8_t(color), 0};
        ImageSetPalette(image.get(), p);
        return image;
    };
    const std::vector<std::pair<int, uint32_t>> colors = {{1, 0x102030}, {5, 0x102030}, {2, 0xC0FFEE}, {3, 0x800000}};
    ImagePtr a = withPalette(Flat(16, 8, 1), colors);
    Paint(a.get(), 2, 2, 2, 2, 2);
    Paint(a.get(), 10, 1, 1, 1, 3);
    ImagePtr b = withPalette(ImagePtr(ImageDuplicate(a.get())), colors);
    Paint(b.get(), 0, 4, 16, 4, 5);  // the same colour under another index
    Paint(b.get(), 10, 1, 1, 1, 1);
    std::vector<std::pair<int, uint32_t>> cycled = colors;
    cycled[2].second = 0x00FF00;  // index 2 takes a colour the table lacks
    ImagePtr c = withPalette(ImagePtr(ImageDuplicate(b.get())), cycled);
    ImagePtr d = withPalette(ImagePtr(ImageDuplicate(b.get())), colors);
    Paint(d.get(), 2, 2, 2, 2, 1);
    const std::vector<Image*> frames = {a.get(), b.get(), c.get(), d.get()};
    const std::vector<uint32_t> delays = {100, 100, 100, 100};
    const GifStreamOptions firstOnly{0};  // the table of the first frame's colours
    const Bytes file = Write(frames, delays, &firstOnly);
    const Layout layout = Walk(file);
    EXPECT_EQ(layout.globalEntries, 4);
    ASSERT_EQ(layout.blocks.size(), 4u);
    auto rect = [](const Block& k) { return std::vector<int>({k.left, k.top, k.width, k.height}); };
    EXPECT_EQ(rect(layout.blocks[1]), std::vector<int>({10, 1, 1, 1}));
    EXPECT_EQ(rect(layout.blocks[2]), std::vector<int>({2, 2, 2, 2}));
    EXPECT_TRUE(layout.blocks[2].localTable);
    EXPECT_EQ(rect(layout.blocks[3]), std::vector<int>({2, 2, 2, 2}));
    EXPECT_FALSE(layout.blocks[3].localTable);
    ExpectShownAs(file, frames, delays);
}

// The global table holds the colours of all the frames, most used first,
// counted over every pixel of every frame (gathered here a frame at a time,
// each frame a few changes and a palette change on the way); the chain gives
// the same file.
TEST_F(GifStream, GathersTheColoursOfEveryFrameOneAtATime) {
    std::mt19937 rng(9);
    std::vector<ImagePtr> owned;
    owned.push_back(Flat(40, 30, 1));
    for (int f = 1; f < 8; ++f) {
        ImagePtr next(ImageDuplicate(owned.back().get()));
        if (f == 1) Paint(next.get(), 0, 0, 40, 28, 7);  // the first frame's colour leads no more
        Paint(next.get(), int(rng() % 30), int(rng() % 20), 1 + int(rng() % 10), 1 + int(rng() % 10), rng() % 8);
        if (f == 4) {  // other colours for some indices from here on
            PaletteEntry p[256];
            ImageGetPalette(next.get(), p);
            p[2] = {1, 2, 3, 0}, p[6] = p[0];
            ImageSetPalette(next.get(), p);
        }
        owned.push_back(std::move(next));
    }
    std::vector<Image*> frames;
    std::map<uint32_t, uint64_t> uses;
    for (ImagePtr& image : owned) {
        frames.push_back(image.get());
        for (int y = 0; y < 30; ++y)
            for (int x = 0; x < 40; ++x) ++uses[ImageColorAt(image.get(), x, y) & 0xFFFFFF];
    }
    std::vector<std::pair<uint64_t, uint32_t>> order;  // most used first, then by colour
    for (const auto& [color, count] : uses) order.push_back({~count, color});
    std::sort(order.begin(), order.end());

    std::unique_ptr<GifColorCollector, void (*)(GifColorCollector*)> colors(GifColorCollectorCreate(),
                                                                             GifColorCollectorDestroy);
    for (Image* f : frames) ASSERT_TRUE(GifColorCollectorAdd(colors.get(), f));
    const std::vector<uint32_t> delays(frames.size(), 50);
    const GifStreamOptions gathered{0, colors.get()};
    const Bytes file = Write(frames, delays, &gathered);
    for (size_t i = 0; i < order.size(); ++i)
        EXPECT_EQ(uint32_t(file[13 + 3 * i]) << 16 | uint32_t(file[14 + 3 * i]) << 8 | file[15 + 3 * i], order[i].second)
            << i;
    EXPECT_EQ(file, Write(frames, delays));
    ExpectShownAs(file, frames, delays);
}

// Delays are rounded to hundredths, and a short one is kept at 2 hundredths,
// which readers play as said: they play 0 and 1 as 100 ms.
TEST_F(GifStream, RoundsDelaysAndKeepsShortOnesPlayable) {
    const std::vector<uint32_t> delays = {0, 1, 10, 14, 25, 33, 125, 1000, 655349, 0xFFFFFFFF};
    const std::vector<int> written = {0, 2, 2, 2, 3, 3, 13, 100, 65535, 65535};
    std::vector<ImagePtr> owned;
    std::vector<Image*> frames;
    for (size_t i = 0; i < delays.size(); ++i) {  // alternate pictures, so that none are joined
        owned.push_back(Flat(4, 2, i % 2));
        frames.push_back(owned.back().get());
    }
    const Layout layout = Walk(Write(frames, delays));
    ASSERT_EQ(layout.blocks.size(), delays.size());
    for (size_t i = 0; i < delays.size(); ++i) EXPECT_EQ(layout.blocks[i].delay, written[i]) << delays[i] << " ms";
}

TEST_F(GifStream, KeepsEveryPixelThroughRandomChangesPalettesAndDepths) {
    // Small changes, frames repeated, palettes permuted (the same colours) or
    // new, and 1-, 4- and 8-bit frames: what a decoder composes must be the
    // source, whatever tables and transparent indices the writer picks.
    std::mt19937 rng(5);
    for (int run = 0; run < 12; ++run) {
        const int depth = run % 3 == 0 ? 1 : run % 3 == 1 ? 4 : 8;
        const int colors = 1 << depth, width = 24, height = 17;
        std::vector<ImagePtr> owned;
        std::vector<Image*> frames;
        std::vector<uint32_t> delays;
        owned.push_back(MakeImage(width, height, depth, RandomPixels(size_t(width) * height, colors, rng, 6)));
        for (int f = 1; f < 10; ++f) {
            ImagePtr next(ImageDuplicate(owned.back().get()));
            const int kind = int(rng() % 4);
            if (kind == 1) {  // the same colours under other indices
                std::vector<PaletteEntry> p(size_t(1) << depth);
                ImageGetPalette(next.get(), p.data());
                std::vector<uint8_t> order(p.size());
                for (size_t i = 0; i < order.size(); ++i) order[i] = uint8_t(order.size() - 1 - i);
                std::vector<PaletteEntry> q(p.size());
                for (size_t i = 0; i < p.size(); ++i) q[order[i]] = p[i];
                for (int y = 0; y < height; ++y)
                    for (int x = 0; x < width; ++x)
                        ImageSetPixel(next.get(), x, y, order[ImageGetPixel(next.get(), x, y)]);
                ImageSetPalette(next.get(), q.data());
            } else if (kind == 2) {  // new colours
                std::vector<PaletteEntry> p(size_t(1) << depth);
                for (PaletteEntry& e : p) e = {uint8_t(rng()), uint8_t(rng()), uint8_t(rng()), 0};
                ImageSetPalette(next.get(), p.data());
            }
            if (kind != 3)
                for (int n = int(rng() % 4); n > 0; --n)
                    Paint(next.get(), int(rng() % width), int(rng() % height), 1 + int(rng() % 3), 1, rng() % colors);
            delays.push_back(20 + 10 * (rng() % 5));  // readers play shorter ones slower
            owned.push_back(std::move(next));
        }
        delays.push_back(30);
        for (ImagePtr& image : owned) frames.push_back(image.get());
        ExpectShownAs(Write(frames, delays), frames, delays);
    }
}

TEST_F(GifStream, ReducesDeepFramesToASharedTableOrTheirOwn) {
    // A gradient with a moving block: more than 256 colours a frame, one
    // table serves them all; then a frame of quite other colours.
    std::vector<ImagePtr> owned;
    for (int f = 0; f < 4; ++f) {
        ImagePtr frame(ImageCreate(64, 48, 24));
        for (int y = 0; y < 48; ++y)
            for (int x = 0; x < 64; ++x) {
                const bool block = x >= f * 10 && x < f * 10 + 12 && y >= 20 && y < 30;
                ImageSetPixel(frame.get(), x, y, block ? 0x20E040 : uint32_t(x * 4) << 16 | uint32_t(y * 5) << 8 | 0x40);
            }
        owned.push_back(std::move(frame));
    }
    ImagePtr other(ImageCreate(64, 48, 24));
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x) ImageSetPixel(other.get(), x, y, 0x80 | uint32_t(x * 3) << 8 | uint32_t(y));
    owned.push_back(std::move(other));
    std::vector<Image*> frames;
    for (ImagePtr& image : owned) frames.push_back(image.get());
    const Layout layout = Walk(Write(frames, std::vector<uint32_t>(frames.size(), 100)));
    ASSERT_EQ(layout.blocks.size(), frames.size());
    for (size_t i = 0; i + 1 < frames.size(); ++i) EXPECT_FALSE(layout.blocks[i].localTable) << i;
    EXPECT_TRUE(layout.blocks.back().localTable);
    LoadedFrames back = LoadBytes(ReadFile(path_));
    ASSERT_EQ(back.count(), static_cast<int>(frames.size()));
    for (size_t i = 0; i < frames.size(); ++i) EXPECT_GE(PicturePsnr(back[i], frames[i]), 30.0);
}

TEST_F(GifStream, OpensOnlyForWriting) {
    ImagePtr a = MakeImage(2, 2, 8, {0, 1, 2, 3});
    EXPECT_EQ(Open(a.get(), 0), nullptr);
    EXPECT_EQ(open_.error, kErrorUnsupportedType);
    EXPECT_FALSE(std::filesystem::exists(path_));
}

TEST_F(GifStream, AnAbandonedStreamLeavesNoFile) {
    ImagePtr a = MakeImage(2, 2, 8, {0, 1, 2, 3});
    Stream* stream = Open(a.get());
    ASSERT_NE(stream, nullptr);
    for (int i = 0; i < 2; ++i) {
        StreamFrameRequest frame{a.get(), 100, nullptr, kErrorNone};
        EXPECT_EQ(StreamWriteFrame(stream, &frame), 1);
    }
    StreamCloseRequest close{a.get(), nullptr, kErrorNone};
    StreamAbandon(stream, &close);
    EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
}

}  // namespace
