#include "tests/support/memory_frames.h"

#include <cstring>

#include "codecs/codecs.h"

namespace {

constexpr FormatId kFormatMemory = 31;
constexpr char kMagic[8] = {'M', 'E', 'M', 'F', 'R', 'A', 'M', 'E'};

// The bytes: the magic, the address of the frame that fails, then the
// frames' addresses.
constexpr size_t kHeader = 8 + sizeof(void*);

class MemoryDecoder : public FrameDecoder {
public:
    explicit MemoryDecoder(const LoadRequest* request)
        : failAt_(*reinterpret_cast<std::atomic<int32_t>* const*>(request->data + 8)),
          frames_(reinterpret_cast<const Image* const*>(request->data + kHeader)),
          count_(static_cast<int32_t>((request->size - kHeader) / sizeof(Image*))) {}

    BudgetImage next(Status* stop) override {
        *stop = {};
        if (next_ >= count_) {
            *stop = Status::End();
            return {};
        }
        if (next_ == failAt_->load()) {
            *stop = kErrorOutOfMemory;
            return {};
        }
        BudgetImage copy(ImageDuplicate(frames_[next_++]), LoadBudget{});
        if (!copy) *stop = kErrorOutOfMemory;
        return copy;
    }
    DecoderPtr clone(LoadRequest*) const override { return MakeDecoder<MemoryDecoder>(*this); }
    uint64_t footprint() const override { return sizeof(MemoryDecoder); }
    int32_t frames() const override { return count_; }

private:
    const std::atomic<int32_t>* failAt_;
    const Image* const* frames_;
    int32_t count_;
    int32_t next_ = 0;
};

int Probe(const LoadRequest* request) {
    return request->size >= kHeader && std::memcmp(request->data, kMagic, 8) == 0;
}

DecoderPtr Open(LoadRequest* request) {
    DecoderPtr d = MakeDecoder<MemoryDecoder>(request);
    if (!d) return Fail(request, kErrorOutOfMemory);
    return d;
}

}  // namespace

MemoryFrames::MemoryFrames(const std::vector<const Image*>& frames) {
    FormatRegisterAll();
    FormatRegister({kFormatMemory, Probe, nullptr, nullptr, "frames in memory", "", nullptr, Open, nullptr});
    bytes_.assign(kMagic, kMagic + 8);
    const std::atomic<int32_t>* failAt = &failAt_;
    const auto* control = reinterpret_cast<const uint8_t*>(&failAt);
    bytes_.insert(bytes_.end(), control, control + sizeof failAt);
    const auto* addresses = reinterpret_cast<const uint8_t*>(frames.data());
    bytes_.insert(bytes_.end(), addresses, addresses + frames.size() * sizeof(Image*));
    LoadRequest request{};
    request.data = bytes_.data();
    request.size = static_cast<uint32_t>(bytes_.size());
    source_ = FrameSourceOpen(&request);
}

MemoryFrames::~MemoryFrames() { FrameSourceClose(source_); }
