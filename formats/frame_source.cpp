#include "formats/frame_source.h"

#include <algorithm>
#include <new>
#include <vector>

namespace {

// A copy of the decoder as it stood before decoding frame `index`.
struct Checkpoint {
    int32_t index;
    DecoderPtr decoder;
    uint64_t bytes;
};

// Checkpoints are first taken this many frames apart; the distance doubles
// each time they outgrow kCheckpointMemory.
constexpr int32_t kFirstInterval = 8;
constexpr int32_t kNoCheckpoints = INT32_MAX;

}  // namespace

// The requests come first: the decoders and frames after them count into
// their budgets until they go.
struct FrameSource {
    LoadRequest request;  // the caller's, copied; decoders read through it
    LoadRequest kept{};   // the checkpoints' memory, apart from the decoders'
    // A second decoder that runs ahead of what is asked for, only to lay
    // checkpoints (FrameSourceScout). It has a budget and a work meter of its
    // own: what it holds never ends the frames for the live decoder, and
    // where it runs out it stops scouting without ending them either.
    LoadRequest scoutRequest{};
    MappedFile file;
    const FileFormat* format = nullptr;
    DecoderOpen open = nullptr;  // none: a still
    bool skips = false;          // the decoder goes past a frame without composing it
    ImagePtr still;              // its one frame

    DecoderPtr live;  // decodes frame `liveNext` next
    int32_t liveNext = 0;
    BudgetImage current;  // the frame `live` gave last, which it may read
    int32_t currentIndex = -1;
    std::vector<Checkpoint> checkpoints;  // by index
    uint64_t checkpointBytes = 0;
    int32_t interval = kFirstInterval;
    uint64_t framePixels = 0;  // of the frames decoded

    DecoderPtr scout;
    int32_t scoutNext = 0;
    BudgetImage scoutFrame;  // the frame it gave last, which it may read
    bool scoutDone = false;

    int32_t count = 0;
    int32_t stated = 0;
    int32_t reached = 0;  // the frames any decoder has gone past
    bool ended = false;  // the count is final
    Status endedEarly;  // why the frames end before the file's last one; ok when they do not
};

namespace {

void DropCurrent(FrameSource* s) {
    s->current.reset();
    s->currentIndex = -1;
}

// Keeps every checkpoint whose index the interval divides.
void Thin(FrameSource* s) {
    size_t kept = 0;
    for (Checkpoint& c : s->checkpoints) {
        if (s->interval != kNoCheckpoints && c.index % s->interval == 0) {
            s->checkpoints[kept++] = std::move(c);
            continue;
        }
        s->checkpointBytes -= c.bytes;
    }
    s->checkpoints.resize(kept);
}

// A checkpoint of `decoder` before frame `index`, where one is due and fits.
void MaybeCheckpoint(FrameSource* s, const FrameDecoder* decoder, int32_t index) {
    if (index == 0 || s->interval == kNoCheckpoints || index % s->interval != 0) return;
    if (!s->checkpoints.empty() && s->checkpoints.back().index >= index) return;
    const uint64_t bytes = decoder->footprint();
    if (bytes > kCheckpointMemory / 4) {  // too large to keep enough of them to help
        s->interval = kNoCheckpoints;
        return;
    }
    while (s->checkpointBytes + bytes > kCheckpointMemory && s->interval < kNoCheckpoints / 2) {
        s->interval *= 2;
        Thin(s);
    }
    if (index % s->interval != 0) return;
    DecoderPtr copy = decoder->clone(&s->kept);
    if (!copy) return;  // out of memory or budget: decoding goes on without it
    try {  // on a player's worker, where the list may find no memory to grow into: as above
        s->checkpoints.push_back({index, std::move(copy), bytes});
    } catch (const std::bad_alloc&) {
        return;  // the copy goes with the entry that was not made
    }
    s->checkpointBytes += bytes;
}

// The latest checkpoint at or before frame n; none when there is none.
const Checkpoint* NearestCheckpoint(const FrameSource* s, int32_t n) {
    const Checkpoint* from = nullptr;
    for (const Checkpoint& c : s->checkpoints)
        if (c.index <= n) from = &c;
    return from;
}

// Puts the live decoder at the latest checkpoint at or before frame n, or
// at the top of the file.
bool Rewind(FrameSource* s, int32_t n) {
    s->live.reset();
    DropCurrent(s);
    // Each pass from a checkpoint may do the work that the first one did.
    s->request.work.restart();
    s->request.work.earn(s->framePixels);
    const Checkpoint* from = NearestCheckpoint(s, n);
    if (from) {
        s->live = from->decoder->clone(&s->request);
        s->liveNext = from->index;
    }
    if (!s->live) {
        s->live = s->open(&s->request);
        s->liveNext = 0;
    }
    return s->live != nullptr;
}

// The decoder gave no frame `liveNext`, for `why`. The first time a
// decoder comes that far, that is where the frames end; a later pass that
// fails short of where one went before (out of memory, or its work) ends
// only itself, and `why` is that pass's failure.
void End(FrameSource* s, Status why, Status* passEnd) {
    if (!s->ended && s->liveNext >= s->reached) {
        s->ended = true;
        s->count = s->liveNext;
        s->endedEarly = why.ended() ? Status() : why;
    }
    *passEnd = why.ok() ? Status(kErrorUnknown, nullptr, s->liveNext) : why.at(s->liveNext);  // a decoder that said nothing
    s->live.reset();
}

void Passed(FrameSource* s, int32_t next) { s->reached = std::max(s->reached, next); }

void StopScout(FrameSource* s) {
    s->scout.reset();
    s->scoutFrame.reset();
    s->scoutDone = true;
}

const Image* DecodeTo(FrameSource* s, int32_t n, Status* why) {
    // Back, or on from a checkpoint that scouting laid past the live decoder.
    // (Looked for only when some checkpoint lies past it: most calls go on.)
    const bool laidPast = !s->checkpoints.empty() && s->checkpoints.back().index > s->liveNext;
    const Checkpoint* near = laidPast ? NearestCheckpoint(s, n) : nullptr;
    if (!s->live || n < s->liveNext || (near && near->index > s->liveNext)) {
        if (!Rewind(s, n)) {
            End(s, Status(kErrorOutOfMemory, nullptr, s->liveNext), why);
            return nullptr;
        }
    }
    while (s->liveNext <= n) {
        MaybeCheckpoint(s, s->live.get(), s->liveNext);
        Status stop;
        // On the way to frame n, the frames before it need no picture.
        if (s->liveNext < n && s->skips && s->framePixels) {
            DropCurrent(s);  // the decoder goes on without it
            if (!s->live->skip(&stop)) {
                End(s, stop, why);
                return nullptr;
            }
            s->request.work.earn(s->framePixels);
            Passed(s, ++s->liveNext);
            continue;
        }
        BudgetImage image = s->live->next(&stop);
        if (!image) {
            DropCurrent(s);
            End(s, stop, why);
            return nullptr;
        }
        s->framePixels = uint64_t(ImageWidth(image.get())) * uint64_t(ImageHeight(image.get()));
        s->request.work.earn(s->framePixels);
        s->current = std::move(image);  // the decoder has made the new frame from the one before
        s->currentIndex = s->liveNext++;
        Passed(s, s->liveNext);
    }
    return s->current.get();
}

FrameSource* OpenWith(LoadRequest* request, const MappedFile& file) {
    auto unmap = [&] {
        if (file.data) {
            MappedFile copy = file;
            MappedFileClose(&copy);
        }
    };
    const FileFormat* format = FormatProbe(request);
    if (!format) {
        unmap();
        return Fail(request, kErrorUnsupportedType);
    }
    auto* s = new (std::nothrow) FrameSource;
    if (!s) {
        unmap();
        return Fail(request, kErrorOutOfMemory);
    }
    s->request = *request;
    s->request.error = kErrorNone;
    s->request.budgetUsed = 0;
    s->kept = s->scoutRequest = s->request;
    s->file = file;
    s->format = format;
    s->open = format->open;
    if (s->open) {
        s->live = s->open(&s->request);
        if (s->live) {
            s->count = s->live->frames();
            s->stated = s->live->statedFrames();
            s->skips = s->live->skips();
        }
    } else if (format->load) {
        s->still.reset(format->load(&s->request));
        s->count = 1;
        s->ended = true;
    }
    if ((s->open && !s->live) || (!s->open && !s->still)) {
        const Status error = s->request.error.failed() ? s->request.error : Status(kErrorInvalidData);
        FrameSourceClose(s);
        return Fail(request, error);
    }
    request->error = kErrorNone;
    return s;
}

}  // namespace

FrameSource* FrameSourceOpen(LoadRequest* request) { return OpenWith(request, MappedFile{}); }

FrameSource* FrameSourceOpenFile(const char* fileName, LoadRequest* request) {
    MappedFile file;
    if (!MapForLoad(fileName, request, &file)) return nullptr;
    FrameSource* source = OpenWith(request, file);
    request->data = nullptr;  // the view belongs to the source, or is gone
    return source;
}

void FrameSourceClose(FrameSource* source) {
    if (!source) return;
    // Everything that reads the mapped bytes goes before them.
    DropCurrent(source);
    source->live.reset();
    StopScout(source);
    source->checkpoints.clear();
    if (source->file.data) MappedFileClose(&source->file);
    delete source;
}

const FileFormat* FrameSourceFormat(const FrameSource* source) { return source->format; }
int32_t FrameSourceCount(const FrameSource* source) { return source->count; }
int32_t FrameSourceStatedFrames(const FrameSource* source) { return source->stated; }
Status FrameSourceEndedEarly(const FrameSource* source) { return source->endedEarly; }
WorkMeter& FrameSourceWork(FrameSource* source) { return source->request.work; }
uint64_t FrameSourceMemory(const FrameSource* source) {
    return source->request.budgetUsed + source->kept.budgetUsed + source->scoutRequest.budgetUsed;
}

const Image* FrameSourceFrame(FrameSource* source, int32_t n, Status* why) {
    Status local;
    if (!why) why = &local;
    *why = {};
    if (n < 0 || (source->ended && n >= source->count)) {
        *why = Status::End();
        return nullptr;
    }
    if (!source->open) return source->still.get();
    if (source->current && n == source->currentIndex) return source->current.get();
    const Image* frame = DecodeTo(source, n, why);
    // Frames past those the file's structure promised, when it goes on.
    if (frame && n >= source->count) source->count = n + 1;
    return frame;
}

int32_t FrameSourceStart(const FrameSource* source, int32_t n) {
    if (!source->open || n <= 0) return n < 0 ? 0 : n;
    if (source->current && n == source->currentIndex) return n;
    const Checkpoint* near = NearestCheckpoint(source, n);
    const int32_t checkpoint = near ? near->index : 0;
    if (source->live && n >= source->liveNext) return std::max(source->liveNext, checkpoint);
    return checkpoint;
}

bool FrameSourceScout(FrameSource* s) {
    if (!s->open || s->scoutDone) return false;
    if (s->interval == kNoCheckpoints || (s->ended && s->scoutNext >= s->count)) {
        StopScout(s);
        return false;
    }
    if (!s->scout) {
        // Stopped when the live decoder is (the meter watches the same request to stop).
        s->scoutRequest.work = s->request.work;
        s->scoutRequest.work.restart();
        // From the furthest checkpoint: what lies before it is laid already.
        if (!s->checkpoints.empty()) {
            s->scout = s->checkpoints.back().decoder->clone(&s->scoutRequest);
            s->scoutNext = s->checkpoints.back().index;
            s->scoutRequest.work.earn(s->framePixels);  // as a pass from a checkpoint does
        } else {
            s->scout = s->open(&s->scoutRequest);
            s->scoutNext = 0;
        }
        if (!s->scout) {
            StopScout(s);
            return false;
        }
    }
    MaybeCheckpoint(s, s->scout.get(), s->scoutNext);
    Status stop;
    bool advanced = false;
    if (s->skips && s->framePixels) {  // the scout needs no pictures
        advanced = s->scout->skip(&stop);
    } else if (BudgetImage image = s->scout->next(&stop)) {
        advanced = true;
        s->framePixels = uint64_t(ImageWidth(image.get())) * uint64_t(ImageHeight(image.get()));
        s->scoutFrame = std::move(image);
    }
    // Out of its own memory or work, the scout stops; only the file's end
    // or damage ends the frames.
    const bool ranOut = stop == kErrorOutOfMemory || s->scoutRequest.work.stopped();
    if (!advanced) {
        if (!s->ended && !ranOut) {  // where the frames end, found first by the scout
            s->ended = true;
            s->count = s->scoutNext;
            s->endedEarly = stop.ended() ? Status() : stop;
        }
        StopScout(s);
        return false;
    }
    s->scoutRequest.work.earn(s->framePixels);
    Passed(s, ++s->scoutNext);
    if (s->scoutNext > s->count && !s->ended) s->count = s->scoutNext;
    return true;
}

uint64_t FrameSourceDuration(FrameSource* source) {
    if (source->format->duration) return source->format->duration(&source->request, source->count, nullptr);
    uint64_t total = 0;
    for (int32_t n = 0; const Image* frame = FrameSourceFrame(source, n); ++n) total += ImageGetDelay(frame);
    return total;
}

bool FrameSourceStructureDelays(FrameSource* source, std::vector<uint32_t>& each) {
    if (!source->open || source->skips || !source->format->duration) return false;
    each.assign(static_cast<size_t>(std::max(source->count, 0)), 0);
    source->format->duration(&source->request, source->count, each.data());
    // A file that states more frames than it holds is cut short after them.
    if (source->stated > source->count && source->endedEarly.ok()) {
        source->ended = true;
        source->endedEarly = Status::Damaged("it is cut short", source->count);
    }
    return true;
}

void FrameSourceDelays(FrameSource* source, std::vector<uint32_t>& each) {
    if (FrameSourceStructureDelays(source, each)) return;
    each.clear();
    if (source->skips && source->format->duration && FrameSourceFrame(source, 0)) {
        Status end;
        if (!source->ended) DecodeTo(source, INT32_MAX - 1, &end);  // past every frame, to where they end
        each.assign(static_cast<size_t>(source->count), 0);
        source->format->duration(&source->request, source->count, each.data());
        return;
    }
    for (int32_t n = 0; const Image* frame = FrameSourceFrame(source, n); ++n) each.push_back(ImageGetDelay(frame));
}

void FrameSourceInOrder(FrameSource* source) {
    if (!source->open) return;
    source->interval = kNoCheckpoints;
    Thin(source);
}

Image* FormatLoad(LoadRequest* request) {
    FrameSource* source = FrameSourceOpen(request);
    if (!source) return nullptr;
    FrameSourceInOrder(source);
    Image* first = const_cast<Image*>(FrameSourceFrame(source, 0));
    // The frame leaves the source.
    if (first == source->still.get()) source->still.release();
    if (first == source->current.get()) source->current.release();
    if (first) first->format = source->format;
    request->error = first ? Status() : !source->endedEarly.ok() ? source->endedEarly : Status(kErrorInvalidData);
    FrameSourceClose(source);
    return first;
}

Image* ImageLoadFile(const char* fileName, LoadRequest* request) {
    LoadRequest local{};
    if (!request) request = &local;
    MappedFile file;
    if (!MapForLoad(fileName, request, &file)) return nullptr;
    Image* first = FormatLoad(request);
    MappedFileClose(&file);
    request->data = nullptr;
    return first;
}
