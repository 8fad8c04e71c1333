// Small helpers shared by the unit tests.
#pragma once

#include <cstdint>
#include <unistd.h>

#include <filesystem>
#include <ostream>
#include <memory>
#include <string>
#include <vector>

#include "codecs/codecs.h"
#include "formats/format.h"
#include "formats/save.h"

// How a status reads in a test's failure: "Invalid data: it is cut short (frame 3)".
inline std::ostream& operator<<(std::ostream& out, const Status& status) {
    char text[160];
    ErrorText(status, text, sizeof text);
    out << (status.ok() ? "ok" : status.ended() ? "end" : text);
    if (status.frame >= 0) out << " (frame " << status.frame << ")";
    return out;
}

// Every frame of a file, read through a frame source and copied: frames[n]
// is frame n, none past the last.
class LoadedFrames {
public:
    std::vector<ImagePtr> list;
    Status error = kErrorNone;       // why there is no frame
    Status endedEarly = kErrorNone;  // why the frames end before the file's last one
    int32_t stated = 0;                 // the frames the file says it has

    Image* get() const { return list.empty() ? nullptr : list[0].get(); }
    explicit operator bool() const { return !list.empty(); }
    int count() const { return static_cast<int>(list.size()); }
    Image* operator[](size_t n) const { return n < list.size() ? list[n].get() : nullptr; }
    void reset() { list.clear(); }
};

LoadedFrames LoadFrames(const uint8_t* data, size_t size, uint64_t budget = 0);
LoadedFrames LoadFileFrames(const std::string& path);

// Loads bytes through the registry as a frame source; `error` gets the code
// and `endedEarly` why the frames end before the file's last one.
inline LoadedFrames LoadBytes(std::vector<uint8_t> bytes, Status* error = nullptr, uint64_t budget = 0,
                              Status* endedEarly = nullptr) {
    LoadedFrames frames = LoadFrames(bytes.data(), bytes.size(), budget);
    if (error) *error = frames.error;
    if (endedEarly) *endedEarly = frames.endedEarly;
    return frames;
}

// The file's first frame, as FormatLoad gives it; `error` gets the code.
inline ImagePtr LoadFirst(std::vector<uint8_t> bytes, Status* error = nullptr, uint64_t budget = 0) {
    FormatRegisterAll();
    LoadRequest request{};
    request.data = bytes.data();
    request.size = static_cast<uint32_t>(bytes.size());
    request.budget = budget;
    ImagePtr image(FormatLoad(&request));
    if (error) *error = request.error;
    return image;
}

// The bytes a saver left in the request, which gives its buffer up.
inline std::vector<uint8_t> TakeOutput(SaveRequest& request) {
    if (!request.output) return {};
    std::vector<uint8_t> bytes(request.output->data, request.output->data + request.output->size);
    MemBufferFree(request.output);
    request.output = nullptr;
    return bytes;
}

// A fresh directory under the system's temporary directory, removed at the end.
class TempDir {
public:
    TempDir() {
        static int counter = 0;
        path_ = std::filesystem::temp_directory_path() /
                ("movrel-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadFile(const std::string& path);

// The PSNR of `b` against `a` (same size) over their colours, as the usual
// tools measure it.
double PicturePsnr(const Image* a, const Image* b);

// The third-party corpus beside the checkout, or empty when it is absent.
std::string CorpusDir();
