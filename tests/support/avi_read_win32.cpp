// The tests' AVI reader on Windows (avi_read.h): Video for Windows' AVI file
// and stream services (AVIFIL32) find the stream, its length, rate and
// frames, as the players there do; the frames are uncompressed 16-, 24- or
// 32-bit rows.
#include <windows.h>
#include <vfw.h>

#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "tests/support/avi_read.h"

struct AviRead::State {
    PAVISTREAM stream = nullptr;
    int32_t width = 0, height = 0, depth = 0;
    std::vector<uint8_t> sample;  // one frame as stored
    ImagePtr image;

    State() { AVIFileInit(); }
    ~State() {
        if (stream) AVIStreamRelease(stream);
        AVIFileExit();
    }
};

namespace {

// Video for Windows takes no long-path names: a file past the plain form's
// limit goes to it by its short (8.3) name, where the volume keeps them.
std::wstring VfwFileName(const std::string& name) {
    const std::wstring wide = WideFileName(name.c_str());
    if (wide.rfind(L"\\\\?\\", 0) != 0) return wide;
    wchar_t shortName[MAX_PATH];
    const DWORD length = GetShortPathNameW(wide.c_str(), shortName, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return wide;
    const std::wstring plain(shortName, length);
    if (plain.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + plain.substr(8);
    if (plain.rfind(L"\\\\?\\", 0) == 0) return plain.substr(4);
    return plain;
}

}  // namespace

AviRead::AviRead(const std::string& path) : state_(std::make_unique<State>()) {
    State& s = *state_;
    if (AVIStreamOpenFromFileW(&s.stream, VfwFileName(path).c_str(), streamtypeVIDEO, 0, OF_READ, nullptr) != 0) {
        s.stream = nullptr;
        const bool missing = GetFileAttributesW(WideFileName(path.c_str()).c_str()) == INVALID_FILE_ATTRIBUTES;
        error = missing ? kErrorFileNotFound : kErrorInvalidData;
        return;
    }
    LONG formatSize = 0;
    AVIStreamReadFormat(s.stream, 0, nullptr, &formatSize);
    std::vector<uint8_t> block(static_cast<size_t>(formatSize > 40 ? formatSize : 40));
    AVISTREAMINFOA info{};
    if (formatSize < 40 || AVIStreamReadFormat(s.stream, 0, block.data(), &formatSize) != 0 ||
        AVIStreamInfoA(s.stream, &info, sizeof info) != 0) {
        error = kErrorInvalidData;
        return;
    }
    BITMAPINFOHEADER format;
    std::memcpy(&format, block.data(), sizeof format);
    s.width = format.biWidth;
    s.height = format.biHeight;
    s.depth = format.biBitCount;
    if (s.width < 1 || s.height < 1 || (s.depth != 16 && s.depth != 24 && s.depth != 32)) {
        error = kErrorInvalidData;
        return;
    }
    if (format.biCompression != BI_RGB) {
        error = kErrorUnsupportedType;
        return;
    }
    const LONG length = AVIStreamLength(s.stream);
    frames = length > 0 ? length : 0;
    rate = info.dwRate;
    scale = info.dwScale;
}

AviRead::~AviRead() = default;

Image* AviRead::frame(int32_t n, ErrorCode* error) {
    ErrorCode ignored;
    ErrorCode& result = error ? *error : ignored;
    State& s = *state_;
    LONG needed = 0, bytes = 0;
    if (n < 0 || n >= frames || AVIStreamRead(s.stream, n, 1, nullptr, 0, &needed, nullptr) != 0 || needed < 0) {
        result = kErrorRead;
        return nullptr;
    }
    s.sample.resize(static_cast<size_t>(needed));
    if (needed > 0 && AVIStreamRead(s.stream, n, 1, s.sample.data(), needed, &bytes, nullptr) != 0) {
        result = kErrorRead;
        return nullptr;
    }
    if (!s.image) s.image.reset(ImageCreate(s.width, s.height, s.depth));
    if (!s.image) {
        result = kErrorOutOfMemory;
        return nullptr;
    }
    if (bytes == 0) return s.image.get();  // a repeat of the frame before
    const size_t size = static_cast<size_t>(ImageBitsSize(s.image.get()));
    if (static_cast<size_t>(bytes) < size) {
        result = kErrorInvalidData;
        return nullptr;
    }
    std::memcpy(ImageBits(s.image.get()), s.sample.data(), size);
    return s.image.get();
}
