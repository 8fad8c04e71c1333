#include "formats/frame_source.h"
#include "formats/frame_feed.h"

#include <atomic>
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string_view>

#include "codecs/spr.h"
#include "tests/support/fail_allocations.h"
#include "tests/support/flic_writer.h"
#include "tests/support/gif_builder.h"
#include "tests/support/memory_frames.h"
#include "tests/support/test_util.h"

namespace {

struct SourceCloser {
    void operator()(FrameSource* source) const { FrameSourceClose(source); }
};
using SourcePtr = std::unique_ptr<FrameSource, SourceCloser>;

SourcePtr Open(Bytes& file, Status* error = nullptr, uint64_t budget = 0) {
    FormatRegisterAll();
    LoadRequest request{};
    request.budget = budget;
    request.data = file.data();
    request.size = static_cast<uint32_t>(file.size());
    SourcePtr source(FrameSourceOpen(&request));
    if (error) *error = request.error;
    return source;
}

// Pixels, palette and delay of a frame, hashed, to tell frames apart.
uint64_t Digest(const Image* image) {
    uint64_t h = ImageGetDelay(image) * 31 + static_cast<uint64_t>(ImageBitCount(image));
    auto add = [&h](const void* bytes, size_t n) {
        h = h * 1099511628211u ^ std::hash<std::string_view>()({static_cast<const char*>(bytes), n});
    };
    for (int y = 0; y < ImageHeight(image); ++y) add(ImageRow(image, y), static_cast<size_t>(ImageRowBytes(image)));
    for (int i = 0; ImageBitCount(image) <= 8 && i < (1 << ImageBitCount(image)); ++i) add(ImageColorTable(image, i), 3);
    return h;
}

// Every frame as the whole-file load gives it, or for a long file as a
// source gives it in order.
std::vector<uint64_t> Expected(Bytes& file, bool whole) {
    std::vector<uint64_t> frames;
    if (whole) {
        LoadedFrames chain = LoadBytes(file);
        for (const ImagePtr& frame : chain.list) frames.push_back(Digest(frame.get()));
        return frames;
    }
    SourcePtr source = Open(file);
    while (const Image* frame = FrameSourceFrame(source.get(), static_cast<int32_t>(frames.size())))
        frames.push_back(Digest(frame));
    return frames;
}

// A FLC of `frames` frames whose deltas each move a marker, on a picture
// large enough that its checkpoints are thinned many times over.
Bytes LongFlic(int frames, int width, int height) {
    FlicWriter writer(0xAF12, width, height, 33);
    Picture previous(width, height, 7);
    writer.frame().color256({{0, TestColors(256)}}).byteRun(previous);
    for (int f = 1; f < frames; ++f) {
        Picture next = previous;
        next.at(f % width, f / width % height) = static_cast<uint8_t>(f);
        writer.frame().deltaFlc(previous, next);
        previous = next;
    }
    return writer.finish();
}

Bytes DisposingGif() {
    GifBuilder gif(16, 8);
    gif.globalTable(TestColors(16));
    for (int i = 0; i < 40; ++i) {
        GifImage image;
        image.left = i % 12, image.top = i % 5, image.width = 4, image.height = 3;
        image.pixels.assign(12, static_cast<uint8_t>(i % 16));
        if (i % 7 == 3) image.localTable = TestColors(4);  // drawn in true colour from here
        gif.control(i % 4, i, i % 3 == 0 ? 2 : -1).image(image);
    }
    return gif.finish();
}

Bytes Spr(int frames) {
    Bytes file = {'S', 'P', 'R'};
    for (int v : {frames, 3, 2}) PutU16(file, static_cast<uint32_t>(v));
    for (int f = 0; f < frames; ++f) {
        PutU16(file, static_cast<uint32_t>(10 + f));
        for (int i = 0; i < 768; ++i) file.push_back(static_cast<uint8_t>(i * f));
        for (int i = 0; i < 6; ++i) file.push_back(static_cast<uint8_t>(f + i));
    }
    return file;
}

// Any frame, in any order, is the frame the whole-file load gives: forward,
// backward from the end, and jumps both ways. The checkpoints stay within
// their cap whatever the length.
TEST(FrameSource, AnyFrameInAnyOrderIsTheWholeLoadsFrame) {
    struct Case {
        const char* name;
        Bytes file;
    };
    std::vector<Case> cases;
    cases.push_back({"flic", LongFlic(300, 64, 48)});
    cases.push_back({"long flic", LongFlic(1600, 640, 480)});
    cases.push_back({"gif", DisposingGif()});
    cases.push_back({"spr", Spr(20)});
    std::mt19937 rng(3);
    for (Case& c : cases) {
        const auto expected = Expected(c.file, c.file.size() < 100000);
        SourcePtr source = Open(c.file);
        ASSERT_TRUE(source) << c.name;
        const int count = static_cast<int>(expected.size());
        EXPECT_EQ(FrameSourceCount(source.get()), count) << c.name;  // known before decoding
        std::vector<int> order;
        for (int i = 0; i < count; ++i) order.push_back(i);
        for (int i = count - 1; i >= 0; i -= 3) order.push_back(i);
        for (int i = 0; i < 60; ++i) order.push_back(static_cast<int>(rng() % static_cast<unsigned>(count)));
        uint64_t peak = 0;
        for (int n : order) {
            const Image* frame = FrameSourceFrame(source.get(), n);
            ASSERT_TRUE(frame) << c.name << " " << n;
            ASSERT_EQ(Digest(frame), expected[static_cast<size_t>(n)]) << c.name << " frame " << n;
            peak = std::max(peak, FrameSourceMemory(source.get()));
        }
        EXPECT_FALSE(FrameSourceFrame(source.get(), count));
        EXPECT_EQ(FrameSourceEndedEarly(source.get()), kErrorNone);
        EXPECT_LE(peak, kCheckpointMemory + 4 * LoadBudget::ImageFootprint(640, 480, 8)) << c.name;
    }
}

// A FLIC cut short inside its fourth frame: the walk finds four frame
// chunks, decoding finds the damage and the count drops to three. A later
// pass's failure does not.
TEST(FrameSource, DamageFoundByDecodingEndsTheFrames) {
    Bytes file = LongFlic(5, 32, 16);
    LoadedFrames chain = LoadBytes(file);
    ASSERT_EQ(chain.count(), 5);
    file.resize(file.size() - 6);  // into the last frame's delta
    SourcePtr source = Open(file);
    ASSERT_TRUE(source);
    EXPECT_EQ(FrameSourceCount(source.get()), 5);
    EXPECT_TRUE(FrameSourceFrame(source.get(), 3));
    EXPECT_FALSE(FrameSourceFrame(source.get(), 4));
    EXPECT_EQ(FrameSourceCount(source.get()), 4);
    EXPECT_EQ(FrameSourceEndedEarly(source.get()), kErrorInvalidData);
    EXPECT_TRUE(FrameSourceFrame(source.get(), 0));  // and the frames before stay
    EXPECT_EQ(FrameSourceCount(source.get()), 4);
    // The delays to the last frame find the same damage, without a picture
    // of the frames they go past.
    SourcePtr counted = Open(file);
    std::vector<uint32_t> delays;
    FrameSourceDelays(counted.get(), delays);
    EXPECT_EQ(delays.size(), 4u);
    EXPECT_EQ(FrameSourceCount(counted.get()), 4);
    EXPECT_EQ(FrameSourceEndedEarly(counted.get()), Status::Damaged("it is cut short", 4));

    // A stop asked from another thread ends the frames as cancelled, not as
    // damage: the viewer and the tool say nothing of the file for it.
    SourcePtr stopped = Open(file);
    const std::atomic<bool> stop{true};
    FrameSourceWork(stopped.get()).watch(&stop);
    EXPECT_FALSE(FrameSourceFrame(stopped.get(), 1));
    EXPECT_TRUE(FrameSourceEndedEarly(stopped.get()).cancelled());

    Status error = kErrorNone;
    Bytes junk = {1, 2, 3};
    EXPECT_FALSE(Open(junk, &error));
    EXPECT_EQ(error, kErrorUnsupportedType);

    // A pass that fails where an earlier one went by (out of memory) ends
    // only itself, and says why; asked again, the frame comes.
    LoadedFrames pictures = LoadBytes(LongFlic(3, 8, 4));
    MemoryFrames frames({pictures[0], pictures[1], pictures[2]});
    Status why;
    EXPECT_TRUE(FrameSourceFrame(frames.source(), 2, &why));
    EXPECT_TRUE(FrameSourceFrame(frames.source(), 0, &why));
    frames.failAt(1);
    EXPECT_FALSE(FrameSourceFrame(frames.source(), 2, &why));
    EXPECT_EQ(why, Status(kErrorOutOfMemory, nullptr, 1));
    EXPECT_EQ(FrameSourceCount(frames.source()), 3);
    EXPECT_TRUE(FrameSourceEndedEarly(frames.source()).ok());
    frames.failAt(-1);
    EXPECT_TRUE(FrameSourceFrame(frames.source(), 2, &why));
    EXPECT_FALSE(FrameSourceFrame(frames.source(), 3, &why));
    EXPECT_TRUE(why.ended());
}

// How long the frames play is the sum of the delays the source gives them,
// from the file's structure before any frame is decoded, and after decoding
// for the frames there turned out to be: every FLIC and GIF of the corpus,
// damaged ones included, and SPR files whole and cut short.
TEST(FrameSource, DurationIsTheSumOfTheDelaysOfItsFrames) {
    auto check = [](Bytes& file, const std::string& name) {
        SourcePtr source = Open(file);
        if (!source) return;
        const uint64_t before = FrameSourceDuration(source.get());
        uint64_t sum = 0;
        std::vector<uint32_t> delays;
        for (int32_t n = 0; const Image* frame = FrameSourceFrame(source.get(), n); ++n) {
            sum += ImageGetDelay(frame);
            delays.push_back(ImageGetDelay(frame));
        }
        EXPECT_EQ(FrameSourceDuration(source.get()), sum) << name;
        if (FrameSourceEndedEarly(source.get()) == kErrorNone) {
            EXPECT_EQ(before, sum) << name;
        }
        // Where the structure tells each frame's delay, it tells what decoding does,
        // and a file cut short says so.
        SourcePtr walked = Open(file);
        std::vector<uint32_t> each;
        if (!FrameSourceStructureDelays(walked.get(), each)) return;
        if (FrameSourceEndedEarly(source.get()) == kErrorNone) {
            EXPECT_EQ(each, delays) << name;
        } else if (FrameSourceStatedFrames(source.get()) > 0) {
            EXPECT_EQ(FrameSourceEndedEarly(walked.get()), FrameSourceEndedEarly(source.get())) << name;
            EXPECT_EQ(each, delays) << name;
        }
    };
    Bytes spr = Spr(20), cut(spr.begin(), spr.end() - 100);
    check(spr, "spr");
    check(cut, "spr cut short");
    const std::string dir = CorpusDir();
    if (dir.empty()) GTEST_SKIP() << "no corpus beside the checkout";
    int files = 0;
    for (const char* format : {"flic", "gif"}) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(dir + "/" + format)) {
            if (!entry.is_regular_file()) continue;
            Bytes file = ReadFile(entry.path().string());
            check(file, entry.path().string());
            ++files;
        }
    }
    EXPECT_GT(files, 100);
}

TEST(FrameSource, DurationTextIsMinutesSecondsAndMilliseconds) {
    char text[32];
    for (auto [ms, expected] : {std::pair<uint64_t, const char*>{0, "0:00.000"},
                                {6000 * 33, "3:18.000"},
                                {3600000 + 2 * 60000 + 3004, "1:02:03.004"}}) {
        DurationText(ms, text, sizeof text);
        EXPECT_STREQ(text, expected);
    }
}

}  // namespace

// Scouting runs ahead of what was asked for: it lays checkpoints near any
// later frame and finds where the frames end, damage included.
TEST(FrameSource, ScoutingLaysCheckpointsAndFindsTheEnd) {
    Bytes file = LongFlic(400, 64, 48);
    file.resize(file.size() - 6);  // into the last frame's delta
    SourcePtr source = Open(file);
    ASSERT_TRUE(source);
    ASSERT_TRUE(FrameSourceFrame(source.get(), 0));
    EXPECT_EQ(FrameSourceStart(source.get(), 350), 1);  // nothing laid yet: on from the frame given
    int scouted = 0;
    while (FrameSourceScout(source.get())) ++scouted;
    EXPECT_GE(scouted, 390);
    EXPECT_EQ(FrameSourceCount(source.get()), 399);
    EXPECT_EQ(FrameSourceEndedEarly(source.get()), kErrorInvalidData);
    const int32_t start = FrameSourceStart(source.get(), 350);
    EXPECT_LE(start, 350);
    EXPECT_GE(start, 350 - 16);
    const auto expected = Expected(file, true);
    EXPECT_EQ(Digest(FrameSourceFrame(source.get(), 350)), expected[350]);
}

// Memory that runs out on the way to a frame past the first checkpoint (the
// checkpoint's copy, the list that keeps it) costs at most the checkpoint:
// the frame comes as it is, and so does any frame after.
TEST(FrameSource, MemoryRunningOutForACheckpointLeavesTheFramesAsTheyAre) {
    Bytes file = LongFlic(20, 16, 12);
    const auto expected = Expected(file, false);
    ASSERT_EQ(expected.size(), 20u);
    for (uint64_t n = 0;; ++n) {
        ASSERT_LT(n, 1000u);
        SourcePtr source = Open(file);
        ASSERT_TRUE(source);
        bool failed = false;
        const Image* frame = nullptr;
        {
            FailAllocations fail(n);
            frame = FrameSourceFrame(source.get(), 12);
            failed = fail.failed();
        }
        ASSERT_TRUE(frame) << n;
        EXPECT_EQ(Digest(frame), expected[12]) << n;
        EXPECT_EQ(Digest(FrameSourceFrame(source.get(), 19)), expected[19]) << n;
        EXPECT_EQ(Digest(FrameSourceFrame(source.get(), 10)), expected[10]) << n;
        if (!failed) break;
    }
}

// Opening a feed runs on the window's thread: memory that runs out there
// (the feed, its lists, the delays of a GIF's walk) gives no feed and says
// so, or a feed without the delays, never an exception into the host.
TEST(FrameFeed, MemoryRunningOutWhileOpeningFailsSoftly) {
    Bytes file = DisposingGif();
    for (uint64_t n = 0;; ++n) {
        ASSERT_LT(n, 1000u);
        FrameSource* source = Open(file).release();
        ASSERT_TRUE(source);
        Status error;
        FrameFeed* feed = nullptr;
        bool failed = false;
        {
            FailAllocations fail(n);
            feed = FrameFeedOpen(source, false, &error);  // takes the source, feed or not
            failed = fail.failed();
        }
        if (feed) {
            EXPECT_TRUE(FrameFeedShow(feed, 39)) << n;
        } else {
            EXPECT_EQ(error, kErrorOutOfMemory) << n;
        }
        FrameFeedClose(feed);
        if (!failed) break;
    }
}

// A feed without a worker decodes on the spot: any frame in any order is
// the source's, and it holds no more than the frames around the one shown.
TEST(FrameFeed, ShowsAnyFrameAndKeepsOnlyThoseAroundIt) {
    Bytes file = LongFlic(120, 64, 48);
    const auto expected = Expected(file, true);
    Status error = kErrorNone;
    FrameFeed* feed = FrameFeedOpen(Open(file).release(), false, &error);
    ASSERT_TRUE(feed);
    EXPECT_EQ(FrameFeedGetStatus(feed).count, 120);
    for (int n : {0, 1, 2, 119, 60, 59, 58, 0, 119, 3}) {
        const Image* frame = FrameFeedShow(feed, n);
        ASSERT_TRUE(frame) << n;
        EXPECT_EQ(Digest(frame), expected[static_cast<size_t>(n)]) << n;
    }
    EXPECT_FALSE(FrameFeedShow(feed, 120));
    EXPECT_FALSE(FrameFeedShow(feed, -1));
    FrameFeedClose(feed);

    // No first frame to show: no feed, and the source is closed.
    Bytes broken = LongFlic(3, 64, 48);
    broken.resize(400);
    FrameSource* source = Open(broken).release();
    ASSERT_TRUE(source);
    EXPECT_FALSE(FrameFeedOpen(source, false, &error));
    EXPECT_EQ(error, kErrorInvalidData);
}

namespace {

// How many frames a source gives, and why they end.
struct FrameEnd {
    int32_t count;
    Status why;
    bool operator==(const FrameEnd&) const = default;
};

std::ostream& operator<<(std::ostream& out, const FrameEnd& end) { return out << end.count << " (" << end.why << ")"; }

// A budget that holds the fuzz seeds' frames of a few megabytes and ends
// those of their huge canvases at once, so that reading them stays quick.
constexpr uint64_t kSeedBudget = uint64_t{32} << 20;

// Reads every frame in order, after `scoutSteps` steps of scouting (-1: in
// order only, without checkpoints).
FrameEnd ReadAll(Bytes& file, int scoutSteps) {
    SourcePtr source = Open(file, nullptr, kSeedBudget);
    if (!source) return {0, kErrorUnsupportedType};
    if (scoutSteps < 0) FrameSourceInOrder(source.get());
    for (int i = 0; i < scoutSteps && FrameSourceScout(source.get()); ++i) {
    }
    int32_t n = 0;
    while (FrameSourceFrame(source.get(), n)) ++n;
    return {n, FrameSourceEndedEarly(source.get())};
}

// Plays every frame through a feed whose worker scouts between them.
FrameEnd Feed(Bytes& file) {
    Status error = kErrorNone;
    FrameSource* source = Open(file, nullptr, kSeedBudget).release();
    FrameFeed* feed = source ? FrameFeedOpen(source, true, &error) : nullptr;
    if (!feed) return {0, source ? error : kErrorUnsupportedType};
    FrameFeedSetLoop(feed, false);
    int32_t n = 0;
    for (; n < FrameFeedGetStatus(feed).count; ++n) {
        if (FrameFeedShow(feed, n)) continue;
        FrameFeedWaitIdle(feed);
        if (!FrameFeedShow(feed, n)) break;
    }
    const FrameFeedStatus status = FrameFeedGetStatus(feed);
    FrameFeedClose(feed);
    EXPECT_EQ(status.count, n);
    return {n, status.endedEarly};
}

}  // namespace

// The frames a file has do not depend on how it is read: scouting ahead has
// a budget of its own, and running out of it ends only the scouting.
TEST(FrameSource, FrameCountsAreTheSameHoweverTheFileIsRead) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(MOVREL_SOURCE_DIR "/tests/fuzz/seeds"))
        if (entry.is_regular_file() && entry.path().parent_path().filename() != "lzw") files.push_back(entry.path());
    if (const std::string corpus = CorpusDir(); !corpus.empty())
        for (const char* name : {"flic/pillow/a.fli", "flic/pillow/fli_overrun.bin", "gif/pillow/dispose_prev.gif",
                                 "gif/pillow/decompression_bomb.gif", "gif/pillow/iss634.gif"})
            files.push_back(std::filesystem::path(corpus) / name);
    for (const auto& path : files) {
        Bytes file = ReadFile(path.string());
        const FrameEnd inOrder = ReadAll(file, -1);
        EXPECT_EQ(ReadAll(file, 0), inOrder) << path;
        EXPECT_EQ(ReadAll(file, 1), inOrder) << path;
        EXPECT_EQ(ReadAll(file, 1 << 20), inOrder) << path;
        EXPECT_EQ(Feed(file).count, inOrder.count) << path;  // the feed does not look past the last frame
    }
    EXPECT_GT(files.size(), 12u);
}
