// The tests' AVI reader off Windows (avi_read.h): the uncompressed frames
// of stream 0 ('00db' and '00dc' chunks) in the 'movi' lists of the file's
// RIFF parts, the first ('AVI ') with the headers and any OpenDML parts
// ('AVIX') after it. It walks the parts by their sizes and reads no index:
// a part or list whose size is wrong shows as frames missing or extra.
#include "tests/support/avi_read.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "formats/byte_reader.h"

namespace {

constexpr uint32_t FourCc(const char (&text)[5]) {
    return uint32_t(uint8_t(text[0])) | uint32_t(uint8_t(text[1])) << 8 | uint32_t(uint8_t(text[2])) << 16 |
           uint32_t(uint8_t(text[3])) << 24;
}

// Calls visit(id, dataOffset, size) for every chunk in [begin, end), a size
// that runs past the end cut there.
template <typename Visit>
void ForEachChunk(ByteReader& file, uint64_t begin, uint64_t end, Visit visit) {
    for (uint64_t at = begin; at + 8 <= end;) {
        const uint32_t size = file.u32At(static_cast<size_t>(at) + 4);
        const uint64_t data = at + 8;
        visit(file.u32At(static_cast<size_t>(at)), data, static_cast<uint32_t>(std::min<uint64_t>(size, end - data)));
        at = data + size + (size & 1);
    }
}

bool IsList(ByteReader& file, uint32_t id, uint64_t data, uint32_t size, uint32_t type) {
    return id == FourCc("LIST") && size >= 4 && file.u32At(static_cast<size_t>(data)) == type;
}

}  // namespace

struct AviRead::State {
    std::vector<uint8_t> bytes;
    std::vector<std::pair<uint64_t, uint32_t>> chunks;  // each frame's data: offset and size
    int32_t width = 0, height = 0, depth = 0;
    uint32_t compression = 0xFFFFFFFFu;
    ImagePtr image;
};

AviRead::AviRead(const std::string& path) : state_(std::make_unique<State>()) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = kErrorFileNotFound;
        return;
    }
    State& s = *state_;
    s.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    ByteReader file(s.bytes.data(), s.bytes.size());
    if (file.u32At(0) != FourCc("RIFF") || file.u32At(8) != FourCc("AVI ")) {
        error = kErrorInvalidData;
        return;
    }
    bool video = false;
    auto header = [&](uint32_t id, uint64_t data, uint32_t size) {  // of the first stream
        if (id == FourCc("strh") && size >= 32) {
            video = file.u32At(static_cast<size_t>(data)) == FourCc("vids");
            scale = file.u32At(static_cast<size_t>(data) + 20);
            rate = file.u32At(static_cast<size_t>(data) + 24);
        } else if (id == FourCc("strf") && size >= 40) {
            ByteReader format = file.sub(static_cast<size_t>(data), size);
            format.skip(4);
            s.width = format.s32();
            s.height = format.s32();
            format.skip(2);
            s.depth = format.u16();
            s.compression = format.u32();
        }
    };
    auto frameChunk = [&](uint32_t id, uint64_t data, uint32_t size) {
        if (id == FourCc("00db") || id == FourCc("00dc")) s.chunks.emplace_back(data, size);
    };
    ForEachChunk(file, 0, file.size(), [&](uint32_t id, uint64_t data, uint32_t size) {
        if (id != FourCc("RIFF") || size < 4) return;
        const bool first = data == 8;
        ForEachChunk(file, data + 4, data + size, [&](uint32_t listId, uint64_t list, uint32_t listSize) {
            if (IsList(file, listId, list, listSize, FourCc("movi"))) ForEachChunk(file, list + 4, list + listSize, frameChunk);
            if (!first || !IsList(file, listId, list, listSize, FourCc("hdrl"))) return;
            bool seen = false;
            ForEachChunk(file, list + 4, list + listSize, [&](uint32_t streamId, uint64_t stream, uint32_t streamSize) {
                if (seen || !IsList(file, streamId, stream, streamSize, FourCc("strl"))) return;
                seen = true;
                ForEachChunk(file, stream + 4, stream + streamSize, header);
            });
        });
    });
    if (!video || s.width < 1 || s.height < 1 || (s.depth != 16 && s.depth != 24 && s.depth != 32)) error = kErrorInvalidData;
    else if (s.compression != kBiRgb) error = kErrorUnsupportedType;
    else frames = static_cast<int32_t>(s.chunks.size());
}

AviRead::~AviRead() = default;

Image* AviRead::frame(int32_t n, ErrorCode* error) {
    ErrorCode ignored;
    ErrorCode& result = error ? *error : ignored;
    if (n < 0 || n >= frames) {
        result = kErrorRead;
        return nullptr;
    }
    State& s = *state_;
    if (!s.image) s.image.reset(ImageCreate(s.width, s.height, s.depth));
    if (!s.image) {
        result = kErrorOutOfMemory;
        return nullptr;
    }
    const auto [offset, size] = s.chunks[static_cast<size_t>(n)];
    if (size == 0) return s.image.get();  // a repeat of the frame before
    const size_t bytes = static_cast<size_t>(ImageBitsSize(s.image.get()));
    if (size < bytes) {
        result = kErrorInvalidData;
        return nullptr;
    }
    std::memcpy(ImageBits(s.image.get()), s.bytes.data() + offset, bytes);
    return s.image.get();
}
