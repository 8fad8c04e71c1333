#include <gtest/gtest.h>

#include <cstring>

#include "codecs/flic.h"
#include "formats/format.h"
#include "formats/mem_buffer.h"
#include "tests/support/flic_writer.h"
#include "tests/support/gif_builder.h"
#include "tests/support/test_util.h"

namespace {

class Registry : public ::testing::Test {
protected:
    void SetUp() override { FormatRegistryReset(); }
    void TearDown() override {
        FormatRegistryReset();
        FormatRegisterAll();
    }
};

int AcceptAll(const LoadRequest*) { return 1; }

TEST_F(Registry, RegistersInOrderAndRefusesDuplicatesZeroAndOverflow) {
    FormatRegisterAll();
    const FormatId order[] = {kFormatFlic, kFormatBmp, kFormatGif, kFormatPcx, kFormatTga,
                              kFormatAvi,  kFormatSpr, kFormatPng, kFormatApng};
    int registered = 0;
    for (FormatId id : order) {
        EXPECT_EQ(FormatSlot(registered)->id, id);
        EXPECT_EQ(FormatFind(id), FormatSlot(registered));
        ++registered;
    }
    EXPECT_EQ(FormatSlot(registered)->id, kFormatNone);
    EXPECT_EQ(FormatFind(2), nullptr);
    EXPECT_EQ(FormatFind(0), nullptr);
    EXPECT_EQ(FormatRegister(kFlicFormat), 0);  // duplicate id
    FileFormat zero{};
    EXPECT_EQ(FormatRegister(zero), 0);
    for (int id = 100; registered < kFormatSlots; ++id, ++registered) {
        FileFormat entry{};
        entry.id = id;
        ASSERT_EQ(FormatRegister(entry), 1);
    }
    FileFormat seventeenth{};
    seventeenth.id = 999;
    EXPECT_EQ(FormatRegister(seventeenth), 0);
    EXPECT_EQ(FormatSlot(16), nullptr);
    EXPECT_EQ(FormatSlot(-1), nullptr);
}

TEST_F(Registry, ProbesInRegistrationOrderSoFlicWins) {
    FormatRegisterAll();
    FileFormat greedy{};
    greedy.id = 50;
    greedy.probe = AcceptAll;
    FormatRegister(greedy);
    Bytes flic = FlicWriter(kFlcMagic, 4, 4, 10).frame().black().finish();
    LoadRequest request{static_cast<uint32_t>(flic.size()), flic.data(), kErrorNone, 0};
    EXPECT_EQ(FormatProbe(&request), FormatFind(kFormatFlic));
    Bytes other(200, 'A');
    LoadRequest text{static_cast<uint32_t>(other.size()), other.data(), kErrorNone, 0};
    EXPECT_EQ(FormatProbe(&text)->id, 50);
}

TEST_F(Registry, ErrorMessagesAreTheSystemTexts) {
    const char* expected[] = {"No error",   "Unsupported type", "Unknown error", "Out of memory", "Color not supported",
                              "Read error", "Write error",      "Invalid data",  "File not found"};
    for (int code = 0; code <= 8; ++code) EXPECT_STREQ(ErrorMessage(static_cast<ErrorCode>(code)), expected[code]);
}

TEST(LoadFile, ReportsMissingEmptyUnknownAndDamagedFiles) {
    FormatRegisterAll();
    TempDir dir;
    LoadRequest request{};
    EXPECT_EQ(ImageLoadFile(dir.file("missing.flc").c_str(), &request), nullptr);
    EXPECT_EQ(request.error, kErrorFileNotFound);

    EXPECT_EQ(ImageLoadFile(dir.path().string().c_str(), &request), nullptr);  // a directory
    EXPECT_EQ(request.error, kErrorFileNotFound);

    WriteFile(dir.file("empty.flc"), {});
    EXPECT_EQ(ImageLoadFile(dir.file("empty.flc").c_str(), &request), nullptr);
    EXPECT_EQ(request.error, kErrorInvalidData);

    const std::string text = "Hello, this is plain text and no picture at all.\n";
    WriteFile(dir.file("text.flc"), Bytes(text.begin(), text.end()));
    EXPECT_EQ(ImageLoadFile(dir.file("text.flc").c_str(), &request), nullptr);
    EXPECT_EQ(request.error, kErrorUnsupportedType);

    Bytes riff = {'R', 'I', 'F', 'F', 0x10, 0, 0, 0, 'A', 'V', 'I', ' '};
    riff.resize(64, 0);
    WriteFile(dir.file("clip.avi"), riff);
    EXPECT_EQ(ImageLoadFile(dir.file("clip.avi").c_str(), &request), nullptr);
    EXPECT_EQ(request.error, kErrorUnsupportedType);

    Picture picture(8, 8, 3);
    Bytes flic = FlicWriter(kFlcMagic, 8, 8, 10).frame().byteRun(picture).finish();
    flic.resize(flic.size() - 5);  // cut inside the frame data
    WriteFile(dir.file("cut.flc"), flic);
    EXPECT_EQ(ImageLoadFile(dir.file("cut.flc").c_str(), &request), nullptr);
    EXPECT_EQ(request.error, kErrorInvalidData);

    // With no request the caller still gets the image or none.
    EXPECT_EQ(ImageLoadFile(dir.file("cut.flc").c_str(), nullptr), nullptr);
}

TEST(LoadFile, MarksOnlyTheFirstImageWithItsFormat) {
    FormatRegisterAll();
    TempDir dir;
    WriteFile(dir.file("two.flc"), FlicWriter(kFlcMagic, 4, 2, 10).frame().black().frame().black().finish());
    // Each GIF frame after the first starts as a copy of the one before.
    GifImage whole{0, 0, 4, 2}, part{1, 0, 2, 1};
    whole.pixels.assign(8, 1);
    part.pixels.assign(2, 2);
    WriteFile(dir.file("three.gif"), GifBuilder(4, 2).globalTable(TestColors(4)).image(whole).image(part).image(part).finish());
    for (const auto& [name, id] : {std::pair{"two.flc", kFormatFlic}, std::pair{"three.gif", kFormatGif}}) {
        LoadRequest request{};
        ImagePtr fromFile(ImageLoadFile(dir.file(name).c_str(), &request));
        EXPECT_EQ(request.error, kErrorNone) << name;
        const std::vector<uint8_t> bytes = ReadFile(dir.file(name));
        LoadRequest inMemory{};
        inMemory.data = const_cast<uint8_t*>(bytes.data());
        inMemory.size = static_cast<uint32_t>(bytes.size());
        ImagePtr fromBytes(FormatLoad(&inMemory));
        for (const Image* first : {fromFile.get(), fromBytes.get()}) {
            ASSERT_TRUE(first) << name;
            EXPECT_EQ(ImageFormat(first), FormatFind(id)) << name;
        }
    }
}

TEST(WorkMeter, SaysNoPastItsAllowanceOrSoonAfterAStopRequest) {
    WorkMeter meter;
    meter.earn(1000);
    uint64_t units = 0;
    while (meter.spend(1000)) units += 1000;
    EXPECT_GE(units, kWorkFloor + 1000 * kWorkPerPixel - 1000);
    EXPECT_LE(units, kWorkFloor + 1000 * kWorkPerPixel + kWorkCheckInterval);
    EXPECT_FALSE(meter.spend(0));  // and from then on

    std::atomic<bool> stop{false};
    WorkMeter asked;
    asked.watch(&stop);
    EXPECT_TRUE(asked.spend(kWorkCheckInterval / 2));
    stop = true;
    units = 0;
    while (asked.spend(1)) ++units;
    EXPECT_LE(units, kWorkCheckInterval);
    EXPECT_TRUE(asked.stopped());
}

TEST(MemBuffer, GrowsByWholeSteps) {
    MemBuffer* buffer = MemBufferCreate(16, 8);
    ASSERT_NE(buffer, nullptr);
    uint8_t source[40];
    for (int i = 0; i < 40; ++i) source[i] = static_cast<uint8_t>(i);
    uint8_t* end = MemBufferWrite(buffer, buffer->data, source, 20);
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(buffer->capacity, 24);
    EXPECT_EQ(buffer->size, 20);
    EXPECT_EQ(end, buffer->data + 20);
    MemBufferFree(buffer);

    buffer = MemBufferCreate(16, 8);
    MemBufferWrite(buffer, buffer->data, source, 40);
    EXPECT_EQ(buffer->capacity, 40);
    EXPECT_EQ(std::memcmp(buffer->data, source, 40), 0);
    MemBufferFree(buffer);
}

TEST(MemBuffer, SizeIsTheEndOfTheLatestWrite) {
    MemBuffer* buffer = MemBufferCreate(4, 4);
    const uint8_t ten[10] = {};
    MemBufferWrite(buffer, buffer->data, ten, 10);
    MemBufferWrite(buffer, buffer->data + 2, ten, 4);
    EXPECT_EQ(buffer->size, 6);
    uint8_t* cursor = buffer->cursor;
    EXPECT_EQ(MemBufferWrite(buffer, cursor, ten, 0), cursor);
    EXPECT_EQ(buffer->size, 6);
    uint8_t* next = MemBufferPutByte(buffer, cursor, 0x1FF);
    EXPECT_EQ(buffer->data[6], 0xFF);
    EXPECT_EQ(next, buffer->data + 7);
    EXPECT_EQ(MemBufferWrite(buffer, buffer->data - 1, ten, 1), nullptr);  // outside the buffer
    MemBufferFree(buffer);
}

TEST(FileHandles, OpenModesWriteAndSeek) {
    TempDir dir;
    const std::string path = dir.file("out.bin");
    EXPECT_EQ(FileOpen(path.c_str(), kFileReadWrite), nullptr);  // does not exist
    EXPECT_EQ(FileOpen(path.c_str(), 4), nullptr);
    WriteFile(path, Bytes(100, 1));
    FileHandle* file = FileOpen(path.c_str(), kFileReadWrite);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(FileSeek(file, 0, kSeekEnd), 0);
    EXPECT_EQ(FileWrite("abcde", 5, file), 5);
    EXPECT_EQ(FileClose(file), 0);
    EXPECT_EQ(ReadFile(path).size(), 105u);

    file = FileOpen(path.c_str(), kFileCreate);  // empties it
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(FileClose(file), 0);
    EXPECT_EQ(ReadFile(path).size(), 0u);
}

}  // namespace
