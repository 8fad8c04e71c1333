// The AVI stream through Video for Windows, with the "Video Compression"
// dialog answered by the helper thread: the export driver writing the sample,
// one cancelled in the dialog, the size limit, and the stream's read mode on
// what was written.
#include <cstring>
#include <tuple>

#include "codecs/avi.h"
#include "codecs/export.h"
#include "image/convert.h"
#include "tests/win32/host.h"

using avi = HostTest;

namespace {

// An animation through the export driver, its dialog owned by a lister's window.
int Export(const std::string& path, Image* first, ExportRequest* request) {
    Lister owner(gFiles.still, 0, 0, 0, 200, 150, false);
    *request = {kFormatAvi, path.c_str(), first, owner.parent()};
    return ExportAnimation(request);
}

Stream* OpenForReading(const std::string& path, ErrorCode* error) {
    StreamOpenRequest open{kFormatAvi, path.c_str(), 0, nullptr, nullptr, kErrorNone};
    Stream* stream = StreamOpen(&open);
    *error = open.error;
    return stream;
}

}  // namespace

TEST_F(avi, export_and_read_back) {
    OutputDir out("avistream");
    // In a folder past the plain form's 260 characters, named outside the
    // ANSI code page, which Video for Windows reaches by its short name.
    std::string folder = out.path();
    for (const char* letter : {"д", "ж"}) {
        folder += "\\";
        for (int i = 0; i < 120; ++i) folder += letter;
        ASSERT_TRUE(CreateDirectoryW(Wide(folder).c_str(), nullptr));
    }
    const std::string file = folder + "\\кино.avi";
    ChainPtr sample = Decode(gFiles.sample);
    ExportRequest request;
    ExpectWindows({CompressionDialog(true)});
    EXPECT_EQ(Export(file, sample.get(), &request), 1) << ErrorMessage(request.error);
    EXPECT_TRUE(ExpectationMet());
    EXPECT_EQ(request.written, 24);
    EXPECT_EQ(NameList(out.entries(folder.substr(out.path().size() + 1))), "{кино.avi}");
    KeepForPeers(file, "stream-sample.avi");

    // Read mode: every frame as the 24-bit frame written, one image reused.
    ErrorCode error;
    Stream* stream = OpenForReading(file, &error);
    ASSERT_TRUE(stream) << ErrorMessage(error);
    EXPECT_EQ(stream->frameCount, 24);
    EXPECT_EQ(stream->frameRate, static_cast<int32_t>(AviFrameRate(80)));
    const StreamOps* ops = FormatFind(kFormatAvi)->streamOps;
    Image* previous = nullptr;
    int n = 0;
    for (const Image* source = sample.get(); source; source = ImageNext(source), ++n) {
        StreamReadRequest read{nullptr, n, nullptr, kErrorNone};
        Image* image = ops->readFrame(stream, &read);
        ASSERT_TRUE(image) << "frame " << n << ": " << ErrorMessage(read.error);
        EXPECT_TRUE(!previous || image == previous);
        previous = image;
        ChainPtr wanted(ImageConvert(source, 24));
        ASSERT_EQ(std::tuple(ImageWidth(image), ImageHeight(image), ImageBitCount(image)), std::tuple(320, 200, 24));
        EXPECT_EQ(std::memcmp(ImageBits(image), ImageBits(wanted.get()), ImageBitsSize(wanted.get())), 0) << "frame " << n;
    }
    StreamReadRequest past{nullptr, stream->frameCount, nullptr, kErrorNone};
    EXPECT_FALSE(ops->readFrame(stream, &past));
    EXPECT_EQ(past.error, kErrorRead);
    StreamCloseRequest close{};
    EXPECT_EQ(StreamClose(stream, &close), 1);

    EXPECT_FALSE(OpenForReading(out.file("missing.avi"), &error));
    EXPECT_EQ(error, kErrorFileNotFound);
    EXPECT_FALSE(OpenForReading(gFiles.sample, &error));
    EXPECT_EQ(error, kErrorInvalidData);
}

TEST_F(avi, a_cancelled_dialog_writes_nothing_and_keeps_an_old_file) {
    OutputDir out("avicancelled");
    ChainPtr sample = Decode(gFiles.sample);
    WriteBytes(out.file("existing.avi"), {'o', 'l', 'd'});
    for (const char* name : {"fresh.avi", "existing.avi"}) {
        ExportRequest request;
        ExpectWindows({CompressionDialog(false)});
        EXPECT_EQ(Export(out.file(name), sample.get(), &request), 0);
        EXPECT_TRUE(ExpectationMet());
        // A cancel, not a failure.
        EXPECT_EQ(request.error, kErrorNone);
        EXPECT_EQ(NameList(out.entries()), "{existing.avi}");
        EXPECT_EQ(ReadBytes(out.file("existing.avi")), std::vector<uint8_t>({'o', 'l', 'd'}));
    }
}

TEST_F(avi, stops_before_the_size_limit) {
    OutputDir out("avilimit");
    ChainPtr sample = Decode(gFiles.sample);
    WriteBytes(out.file("limited.avi"), {'o', 'l', 'd'});
    ChainPtr deep(ImageConvert(sample.get(), 24));
    AviInjectSizeLimit(64 * 1024 + 3 * (static_cast<uint64_t>(ImageBitsSize(deep.get())) + 64));  // room for three frames
    ExportRequest request;
    ExpectWindows({CompressionDialog(true)});
    EXPECT_EQ(Export(out.file("limited.avi"), sample.get(), &request), 0);
    AviInjectSizeLimit(0);
    EXPECT_TRUE(ExpectationMet());
    EXPECT_EQ(request.written, 3);
    EXPECT_EQ(request.error, kErrorWrite);
    // The unfinished file is removed and the old one kept; nothing temporary is left.
    EXPECT_EQ(NameList(out.entries()), "{limited.avi}");
    EXPECT_EQ(ReadBytes(out.file("limited.avi")), std::vector<uint8_t>({'o', 'l', 'd'}));
}
