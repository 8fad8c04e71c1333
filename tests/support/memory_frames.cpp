#include "tests/support/memory_frames.h"

#include <cstring>
#include <new>

namespace {

constexpr FormatId kFormatMemory = 31;
constexpr char kMagic[8] = {'M', 'E', 'M', 'F', 'R', 'A', 'M', 'E'};

// The bytes: the magic, then the frames' addresses.
struct MemoryDecoder : FrameDecoder {
    const Image* const* frames = nullptr;
    int32_t count = 0;
    int32_t next = 0;
};

int Probe(const LoadRequest* request) { return request->size >= 8 && std::memcmp(request->data, kMagic, 8) == 0; }

FrameDecoder* Open(LoadRequest* request) {
    auto* d = new (std::nothrow) MemoryDecoder;
    if (!d) return DecoderFail(request, kErrorOutOfMemory);
    d->frames = reinterpret_cast<const Image* const*>(request->data + 8);
    d->count = static_cast<int32_t>((request->size - 8) / sizeof(Image*));
    return d;
}

Image* Next(FrameDecoder* base, ErrorCode* stop) {
    auto* d = static_cast<MemoryDecoder*>(base);
    *stop = kErrorNone;
    if (d->next >= d->count) return nullptr;
    Image* copy = ImageDuplicate(d->frames[d->next++]);
    if (!copy) *stop = kErrorOutOfMemory;
    return copy;
}

int32_t Count(const FrameDecoder* base) { return static_cast<const MemoryDecoder*>(base)->count; }
void Close(FrameDecoder* base) { delete static_cast<MemoryDecoder*>(base); }
FrameDecoder* Clone(const FrameDecoder* base, LoadRequest*) {
    return new (std::nothrow) MemoryDecoder(*static_cast<const MemoryDecoder*>(base));
}
uint64_t Footprint(const FrameDecoder*) { return sizeof(MemoryDecoder); }

const FrameDecoderOps kOps = {Open, Next, Count, Close, Count, Clone, Footprint, nullptr, nullptr};

}  // namespace

MemoryFrames::MemoryFrames(const std::vector<const Image*>& frames) {
    FormatRegisterAll();
    FormatRegister({kFormatMemory, Probe, nullptr, nullptr, "frames in memory", "", nullptr, &kOps});
    bytes_.assign(kMagic, kMagic + 8);
    const auto* addresses = reinterpret_cast<const uint8_t*>(frames.data());
    bytes_.insert(bytes_.end(), addresses, addresses + frames.size() * sizeof(Image*));
    LoadRequest request{};
    request.data = bytes_.data();
    request.size = static_cast<uint32_t>(bytes_.size());
    source_ = FrameSourceOpen(&request);
}

MemoryFrames::~MemoryFrames() { FrameSourceClose(source_); }
