#include "formats/format.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

namespace {
FileFormat gRegistry[kFormatSlots];
}

int FormatRegister(const FileFormat& entry) {
    for (const FileFormat& slot : gRegistry)
        if (slot.id == entry.id) return 0;  // also refuses id 0: empty slots have it
    for (FileFormat& slot : gRegistry) {
        if (slot.id == kFormatNone) {
            slot = entry;
            return 1;
        }
    }
    return 0;
}

const FileFormat* FormatFind(FormatId id) {
    if (id == kFormatNone) return nullptr;
    for (const FileFormat& slot : gRegistry)
        if (slot.id == id) return &slot;
    return nullptr;
}

const FileFormat* FormatSlot(int index) {
    if (index < 0 || index >= kFormatSlots) return nullptr;
    return &gRegistry[index];
}

const FileFormat* FormatProbe(const LoadRequest* request) {
    for (const FileFormat& slot : gRegistry) {
        if (slot.id == kFormatNone) break;
        if (slot.probe && slot.probe(request)) return &slot;
    }
    return nullptr;
}

const char* ErrorMessage(ErrorCode code) {
    static const char* const kMessages[] = {
        "No error",      "Unsupported type",    "Unknown error", "Out of memory",  "Color not supported",
        "Read error",    "Write error",         "Invalid data",  "File not found",
    };
    if (code < 0 || code > 8) return "Unknown error";
    return kMessages[code];
}

void FormatRegistryReset() { std::memset(gRegistry, 0, sizeof gRegistry); }

// ---- Loading frame by frame ----------------------------------------------------

struct ProgressiveLoad {
    LoadRequest request;  // the caller's, copied; the decoder reads through it
    MappedFile file;      // while frames are still to come, when opened from a file
    const FrameDecoderOps* ops = nullptr;
    FrameDecoder* decoder = nullptr;  // none once the load is complete
    Image* first = nullptr;           // owned until taken
    Image* last = nullptr;
    int32_t decoded = 0;  // frames linked, as the stepping thread counts them
    int32_t statedFrames = 0;
    ErrorCode endedEarly = kErrorNone;  // written before `complete` is published
    std::atomic<int32_t> published{0};
    std::atomic<bool> complete{false};
    std::atomic<bool> cancelled{false};
};

namespace {

ProgressiveLoad* OpenFail(LoadRequest* request, ErrorCode error) {
    request->error = error;
    request->endedEarly = kErrorNone;
    return nullptr;
}

void FreeLoad(ProgressiveLoad* load) {
    load->~ProgressiveLoad();
    MemFree(load);
}

void Unmap(MappedFile file) {
    if (file.data) MappedFileClose(&file);
}

// Closes the decoder and the file it reads, where they are still open.
void CloseSources(ProgressiveLoad* load) {
    if (load->decoder) load->ops->close(load->decoder);
    load->decoder = nullptr;
    Unmap(load->file);
    load->file = MappedFile{};
}

// Ends the load: nothing more will be linked, and the decoder and the file
// it read are no longer needed.
void Complete(ProgressiveLoad* load, ErrorCode endedEarly) {
    CloseSources(load);
    load->request.data = nullptr;  // nothing may point into the bytes from now on
    load->endedEarly = endedEarly;
    load->complete.store(true, std::memory_order_release);
}

// The load with its first frame, or none with the request's error. It takes
// the mapping, when there is one, also when it fails.
ProgressiveLoad* OpenWith(LoadRequest* request, const MappedFile& file, const FileFormat* format,
                          const FrameDecoderOps* ops) {
    void* block = MemAlloc(sizeof(ProgressiveLoad));
    if (!block) {
        Unmap(file);
        return OpenFail(request, kErrorOutOfMemory);
    }
    auto* load = new (block) ProgressiveLoad;
    load->request = *request;
    load->request.error = kErrorNone;
    load->request.endedEarly = kErrorNone;
    load->file = file;
    load->ops = ops;
    LoadRequest& own = load->request;
    own.work.watch(&load->cancelled);
    if (ops) {
        load->decoder = ops->open(&own);
        if (load->decoder) {
            load->statedFrames = ops->statedFrames(load->decoder);
            ProgressiveStep(load);
        }
    } else {
        load->first = load->last = format->load ? format->load(&own) : nullptr;
        load->decoded = ImageCount(load->first);
        load->published.store(load->decoded, std::memory_order_relaxed);
    }
    if (!load->first) {
        // Whatever stopped it before a frame; a decoder that had none to give
        // found no picture in the file.
        const ErrorCode error = own.error != kErrorNone ? own.error : load->endedEarly;
        ProgressiveClose(load);
        return OpenFail(request, error != kErrorNone ? error : kErrorInvalidData);
    }
    if (!ops) Complete(load, own.endedEarly);
    if (format) load->first->format = format;
    request->error = kErrorNone;
    return load;
}

ProgressiveLoad* OpenProbed(LoadRequest* request, const MappedFile& file) {
    const FileFormat* format = FormatProbe(request);
    if (!format) {
        Unmap(file);
        return OpenFail(request, kErrorUnsupportedType);
    }
    return OpenWith(request, file, format, format->frames);
}

// Steps a load to its end on this thread and hands its chain over.
Image* LoadToEnd(ProgressiveLoad* load, LoadRequest* request) {
    if (!load) return nullptr;
    while (ProgressiveStep(load)) {
    }
    request->endedEarly = load->endedEarly;
    request->statedFrames = load->statedFrames;
    Image* first = ProgressiveTakeChain(load);
    ProgressiveClose(load);
    return first;
}

}  // namespace

ProgressiveLoad* ProgressiveOpen(LoadRequest* request) {
    // The decoders read through bounded readers and never fault, so no
    // processor-level guard is needed around them.
    return OpenProbed(request, MappedFile{});
}

bool MapForLoad(const char* fileName, LoadRequest* request, MappedFile* file) {
    switch (MappedFileOpen(fileName, file)) {
        case MapResult::cannotOpen: request->error = kErrorFileNotFound; return false;
        case MapResult::cannotMap: request->error = kErrorInvalidData; return false;
        case MapResult::ok: break;
    }
    if (file->size > 0xFFFFFFFFu) {  // sizes travel as 32 bits
        MappedFileClose(file);
        request->error = kErrorInvalidData;
        return false;
    }
    request->data = file->data;
    request->size = static_cast<uint32_t>(file->size);
    return true;
}

ProgressiveLoad* ProgressiveOpenFile(const char* fileName, LoadRequest* request) {
    MappedFile file;
    if (!MapForLoad(fileName, request, &file)) return OpenFail(request, request->error);
    ProgressiveLoad* load = OpenProbed(request, file);
    request->data = nullptr;  // the view belongs to the load, or is gone
    return load;
}

bool ProgressiveStep(ProgressiveLoad* load) {
    if (!load->decoder) return false;
    const int32_t limit = load->request.frameLimit;
    ErrorCode stop = kErrorNone;
    const bool more = (limit <= 0 || load->decoded < limit) && !load->cancelled.load(std::memory_order_relaxed);
    Image* image = more ? load->ops->next(load->decoder, &stop) : nullptr;
    if (!image) {
        Complete(load, stop);
        return false;
    }
    // Writes the last published frame's `next`, which readers leave alone
    // until the count below tells them the frame after it is there.
    ImageLink(image, load->last);
    if (!load->first) load->first = image;
    load->last = image;
    load->request.work.earn(uint64_t(ImageWidth(image)) * uint64_t(ImageHeight(image)));
    load->published.store(++load->decoded, std::memory_order_release);
    return true;
}

void ProgressiveCancel(ProgressiveLoad* load) { load->cancelled.store(true, std::memory_order_relaxed); }

int32_t ProgressiveFrames(const ProgressiveLoad* load, bool* complete) {
    // `complete` first: once it holds, the count read after it is the last.
    const bool done = load->complete.load(std::memory_order_acquire);
    if (complete) *complete = done;
    return load->published.load(std::memory_order_acquire);
}

Image* ProgressiveFirst(const ProgressiveLoad* load) { return load->first; }

int32_t ProgressiveStatedFrames(const ProgressiveLoad* load) { return load->statedFrames; }

ErrorCode ProgressiveEndedEarly(const ProgressiveLoad* load) {
    return load->complete.load(std::memory_order_acquire) ? load->endedEarly : kErrorNone;
}

Image* ProgressiveTakeChain(ProgressiveLoad* load) {
    Image* first = load->first;
    load->first = load->last = nullptr;
    return first;
}

void ProgressiveClose(ProgressiveLoad* load) {
    if (!load) return;
    CloseSources(load);
    ImageDestroy(load->first);
    FreeLoad(load);
}

Image* FormatLoad(LoadRequest* request) { return LoadToEnd(ProgressiveOpen(request), request); }

Image* FormatLoadFrames(LoadRequest* request, const FrameDecoderOps& ops) {
    return LoadToEnd(OpenWith(request, MappedFile{}, nullptr, &ops), request);
}

void ErrorText(ErrorCode code, const char* reason, char* out, size_t size) {
    if (size == 0) return;
    if (reason)
        std::snprintf(out, size, "%s: %s", ErrorMessage(code), reason);
    else
        std::snprintf(out, size, "%s", ErrorMessage(code));
}

void LoadEndText(ErrorCode endedEarly, int32_t frames, int32_t statedFrames, char* out, size_t size) {
    if (size == 0) return;
    out[0] = '\0';
    if (endedEarly == kErrorInvalidData) {
        if (frames > 0)
            std::snprintf(out, size, "the file is damaged after frame %d", static_cast<int>(frames) - 1);
        else
            std::snprintf(out, size, "the file is damaged in its first frame");
    } else if (endedEarly == kErrorOutOfMemory) {
        if (statedFrames > frames)
            std::snprintf(out, size, "%d of %d frames: not enough memory for the rest", static_cast<int>(frames),
                          static_cast<int>(statedFrames));
        else
            std::snprintf(out, size, "%d frames: not enough memory for the rest", static_cast<int>(frames));
    }
}

void DurationText(uint64_t milliseconds, char* out, size_t size) {
    if (size == 0) return;
    const uint64_t seconds = milliseconds / 1000, minutes = seconds / 60, hours = minutes / 60;
    const auto ms = static_cast<unsigned>(milliseconds % 1000), s = static_cast<unsigned>(seconds % 60);
    if (hours > 0)
        std::snprintf(out, size, "%llu:%02u:%02u.%03u", static_cast<unsigned long long>(hours),
                      static_cast<unsigned>(minutes % 60), s, ms);
    else
        std::snprintf(out, size, "%u:%02u.%03u", static_cast<unsigned>(minutes), s, ms);
}

Image* ImageLoadFile(const char* fileName, LoadRequest* request) {
    LoadRequest local{};
    if (!request) request = &local;
    return LoadToEnd(ProgressiveOpenFile(fileName, request), request);
}

Image* LoadBudget::createImage(int width, int height, int depth) {
    return take(ImageFootprint(width, height, depth)) ? ImageCreate(width, height, depth) : nullptr;
}

Image* LoadBudget::duplicateImage(const Image* image) {
    const uint64_t bytes = ImageFootprint(image);
    if (!take(bytes)) return nullptr;
    Image* copy = ImageDuplicate(image);
    if (!copy) give(bytes);
    return copy;
}

uint64_t LoadBudget::ImageFootprint(const Image* image) {
    return ImageFootprint(ImageWidth(image), ImageHeight(image), ImageBitCount(image));
}

uint64_t LoadBudget::ImageFootprint(int width, int height, int depth) {
    // The 2048 bytes stood for the logical palette that each Image once
    // carried; they stay, so that the budget cuts animations where it did.
    return DibStride(width, depth) * uint64_t(height) + sizeof(Image) + sizeof(BitmapInfo) + 2048;
}
