#include "codecs/export.h"

#include <cstdio>
#include <memory>
#include <new>
#include <vector>

#include "codecs/apng.h"
#include "codecs/avi.h"
#include "codecs/flic_writer.h"
#include "codecs/gif.h"
#include "codecs/gif_animation.h"
#include "codecs/spr.h"
#include "image/convert.h"
#include "platform/platform.h"

namespace {

// The frames of the request in order, from its source.
class Frames {
public:
    explicit Frames(const ExportRequest& request) : source_(request.source), first_(request.firstFrame) {}

    // Frame n, where n is the frame after the one before; none after the
    // last, or when this pass cannot have it (missed).
    Image* at(int n) { return const_cast<Image*>(FrameSourceFrame(source_, first_ + n, &why_)); }
    // How many there are: the count may drop as decoding finds damage.
    int total(const ExportRequest&) const { return FrameSourceCount(source_) - first_; }
    // Why the frame asked for last did not come though the frames go on past
    // it (out of memory, where an earlier pass went by); ok when they end.
    Status missed() const { return why_.failed() && why_.frame < FrameSourceCount(source_) ? why_ : Status(); }

private:
    FrameSource* source_;
    int32_t first_;
    Status why_;
};

// Whether the caller has asked the export to stop.
bool Stopped(const ExportRequest& request) { return request.work && request.work->stopAsked(); }

// Counts work on the request's meter; false once it has stopped.
bool Spend(const ExportRequest& request, uint64_t units) { return !request.work || request.work->spend(units); }

// One more frame read by a pass before the writing: counted as work and
// shown as progress.
bool PassStep(const ExportRequest& request, int read, uint64_t units = 1) {
    const ExportProgress& progress = request.progress;
    if (progress.frameRead && request.source)
        progress.frameRead(progress.context, read, FrameSourceCount(request.source) - request.firstFrame);
    return Spend(request, units);
}

bool HasFrames(const ExportRequest& request) {
    return request.source && FrameSourceFrame(request.source, request.firstFrame) != nullptr;
}

// Why the export has no frame to start from: the source's reason when it
// gives one. A frame the source has, which it could not make again, found
// no memory.
Status NoFrame(const ExportRequest& request) {
    if (!request.source) return {kErrorUnsupportedType, "there is no frame"};
    if (request.firstFrame < FrameSourceCount(request.source)) return kErrorOutOfMemory;
    const Status ended = FrameSourceEndedEarly(request.source);
    return ended.failed() ? ended : Status(kErrorInvalidData, "there is no such frame", request.firstFrame);
}

// How the frames of an animation reach one stream format.
struct ExportPlan {
    int depth = 0;                // every frame is converted to this depth first; 0 keeps it
    void* openOptions = nullptr;  // the open request's options
    bool positions = false;       // each frame request carries the frame's 0-based position
    AviExportOptions avi{};
    uint32_t aviPeriod = 0;       // AVI: ms a stream frame lasts; positions count in these
    GifStreamOptions gif{};
    SprStreamOptions spr{};
    ApngPlan apng{};
    FlicStreamOptions flic{};
    std::unique_ptr<GifColorCollector, void (*)(GifColorCollector*)> colors{nullptr, GifColorCollectorDestroy};
};

bool PlanApng(const ExportRequest& request, ExportPlan& plan) {
    std::unique_ptr<ApngScan, void (*)(ApngScan*)> scan(ApngScanCreate(), ApngScanDestroy);
    if (!scan) return false;
    Frames frames(request);
    for (int n = 0; const Image* frame = frames.at(n); ++n)
        if (!PassStep(request, n + 1, uint64_t(ImageWidth(frame)) * uint64_t(ImageHeight(frame))) ||
            !ApngScanAdd(scan.get(), frame, ImageGetDelay(frame)))
            return false;
    plan.apng = ApngScanResult(scan.get());
    plan.openOptions = &plan.apng;
    return true;
}

bool PlanFlic(const ExportRequest& request, ExportPlan& plan) {
    Frames frames(request);
    for (int n = 0; const Image* frame = frames.at(n); ++n) {
        if (!PassStep(request, n + 1)) return false;
        FlicPlanDelay(plan.flic, ImageGetDelay(frame));
    }
    plan.openOptions = &plan.flic;
    return true;
}

// The stream that writes the format's animations frame by frame: the
// registry row's, or the Pro Motion writer, which the row does not offer.
// None: the format is saved whole.
const StreamOps* WriterOf(const FileFormat& format) {
    if (format.id == kFormatSpr) return &kSprStreamOps;
    return format.streamOps && format.streamOps->writeFrame ? format.streamOps : nullptr;
}

uint32_t Gcd(uint32_t a, uint32_t b) {
    while (b != 0) {
        const uint32_t r = a % b;
        a = b;
        b = r;
    }
    return a;
}

// How an animation goes into an AVI stream: its frame period, the greatest
// common divisor of the delays, so that every frame starts at its own time;
// and whether every frame is a palette frame, which the stream then takes as
// it is (a compressor may take 8-bit frames; the colours may change). A
// source whose format tells the delays without decoding (FLIC: one speed and
// one depth for every frame) and whose frames all play as long as the first
// costs no pass over the frames.
struct AviTiming {
    uint32_t period = 0;
    bool palette = false;
};

AviTiming AviTimingOf(const ExportRequest& request, const Image* first) {
    AviTiming timing{AviFrameDelay(ImageGetDelay(first)), ImageBitCount(first) == 8};
    auto add = [&](const Image* frame) {
        timing.period = Gcd(timing.period, AviFrameDelay(ImageGetDelay(frame)));
        timing.palette = timing.palette && ImageBitCount(frame) == 8;
    };
    FrameSource* source = request.source;
    const FileFormat* format = FrameSourceFormat(source);
    const uint64_t count = static_cast<uint64_t>(FrameSourceCount(source));
    if (request.firstFrame == 0 && format->duration && FrameSourceDuration(source) == count * ImageGetDelay(first))
        return timing;
    // A format whose structure tells every delay (GIF, SPR) is timed without
    // decoding: the viewer begins an AVI export on its window's thread, which
    // a pass over the frames would hold up. Its frames may change depth, so
    // the stream takes them all at 24 bits.
    std::vector<uint32_t> delays;
    if (FrameSourceStructureDelays(source, delays)) {
        timing.palette = false;
        for (size_t n = static_cast<size_t>(request.firstFrame); n < delays.size(); ++n)
            timing.period = Gcd(timing.period, AviFrameDelay(delays[n]));
        return timing;
    }
    for (int n = request.firstFrame; const Image* frame = FrameSourceFrame(source, n); ++n) {
        if (!PassStep(request, n - request.firstFrame + 1)) return timing;  // the stop ends the export where it next asks
        add(frame);
    }
    return timing;
}

// Fills the plan in place: its open options point into it. False when
// memory runs out or the meter stops.
bool PlanFor(const ExportRequest& request, uint32_t /*firstDelay*/, ExportPlan& plan) {
    if (request.formatId == kFormatAvi) {
        const AviTiming timing = AviTimingOf(request, Frames(request).at(0));
        plan.depth = timing.palette ? 0 : 24;
        plan.aviPeriod = timing.period;
        const AviRate rate = AviRateOfPeriod(plan.aviPeriod);
        plan.avi = {request.owner, rate.rate, rate.scale};
        plan.openOptions = &plan.avi;
        plan.positions = true;
    } else if (request.formatId == kFormatGif) {
        // The whole animation chooses the colour table that its frames
        // share: they are gathered in a pass of their own.
        plan.gif = {request.dither ? 1u : 0u};
        plan.openOptions = &plan.gif;
        plan.colors.reset(GifColorCollectorCreate(request.work));
        if (!plan.colors) return false;
        for (int n = request.firstFrame; const Image* frame = FrameSourceFrame(request.source, n); ++n)
            if (!PassStep(request, n - request.firstFrame + 1) || !GifColorCollectorAdd(plan.colors.get(), frame)) return false;
        plan.gif.colors = plan.colors.get();
    } else if (request.formatId == kFormatSpr) {
        // The header counts the frames: they are decoded to the end first,
        // where damage may end them before the count the file states.
        for (int n = request.firstFrame; FrameSourceFrame(request.source, n); ++n)
            if (!PassStep(request, n - request.firstFrame + 1)) return false;
        plan.spr.frames = Frames(request).total(request);
        plan.openOptions = &plan.spr;
    } else if (request.formatId == kFormatApng || request.formatId == kFormatFlic) {
        // The header says what the frames hold (APNG: their count and
        // colours; FLIC: the speed that all delays are multiples of): a pass
        // of their own first.
        return request.formatId == kFormatApng ? PlanApng(request, plan) : PlanFlic(request, plan);
    }
    return true;
}

// PlanFor, whose passes gather in containers that throw where memory runs
// out: that is the plan failing.
bool Planned(const ExportRequest& request, ExportPlan& plan) {
    try {
        return PlanFor(request, ImageGetDelay(Frames(request).at(0)), plan);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// The stream frame where a frame starting at `time` ms goes: never before
// `next`, where the frames' delays are not all multiples of the period (the
// delays of a source whose format tells them without decoding were taken as
// equal).
uint32_t AviPosition(uint64_t time, uint32_t period, uint32_t next) {
    const uint64_t at = time / period;
    if (at > 0xFFFFFFFEu) return 0xFFFFFFFFu;  // past what a stream counts: the write fails
    return at < next ? next : static_cast<uint32_t>(at);
}

// A frame as the plan wants it: the frame itself, or a converted copy that
// the caller destroys (`made`).
Image* PlannedFrame(Image* frame, const ExportPlan& plan, Image** made, WorkMeter* work) {
    *made = nullptr;
    if (plan.depth == 0 || ImageBitCount(frame) == plan.depth) return frame;
    *made = ImageConvert(frame, plan.depth, work);
    return *made;
}

bool GoOn(const ExportRequest& request, int done, int total) {
    return !request.progress.frameDone || request.progress.frameDone(request.progress.context, done, total);
}

// What ended the export: a cancel when it was asked to stop, whatever the
// step it stopped in said; otherwise `why`, a write error with the reason
// the system gave this thread when the step named none.
Status Outcome(const ExportRequest& request, Status why) {
    if (Stopped(request)) return Status::Cancelled();
    if (why == kErrorWrite && !why.reason) why.reason = FileErrorReason();
    return why;
}

// Formats that hold one picture: the first frame.
int SaveFirst(ExportRequest* request) {
    Image* frame = Frames(*request).at(0);
    // Asked before the save, whose meter is asked once more right before
    // the file is put in place: a stop up to then leaves the target as it was.
    if (!GoOn(*request, 0, 1) || Stopped(*request)) return Fail(request, Status::Cancelled());
    if (!frame) return Fail(request, Outcome(*request, NoFrame(*request)));
    SaveRequest save{request->formatId, request->options, nullptr, kErrorNone, request->work};
    if (!ImageSaveFile(frame, request->fileName, &save)) return Fail(request, Outcome(*request, save.error));
    request->written = 1;
    return 1;
}

}  // namespace

struct ExportRun {
    ExportPlan plan;
    Stream* stream = nullptr;  // none: the format is saved whole
};

ExportRun* ExportAnimationBegin(ExportRequest* request) {
    request->error = {};
    request->written = 0;
    FileErrorClear();
    const FileFormat* format = FormatFind(request->formatId);
    if (!format || !HasFrames(*request)) {
        Fail(request, Outcome(*request, format ? NoFrame(*request) : Status(kErrorUnsupportedType)));
        return nullptr;
    }
    std::unique_ptr<ExportRun> run(new (std::nothrow) ExportRun);
    if (!run) {
        Fail(request, Outcome(*request, kErrorOutOfMemory));
        return nullptr;
    }
    const StreamOps* writer = WriterOf(*format);
    if (!writer) return run.release();

    ExportPlan& plan = run->plan;
    if (!Planned(*request, plan)) {
        Fail(request, Outcome(*request, kErrorOutOfMemory));
        return nullptr;
    }
    Image* first = Frames(*request).at(0);  // from the first again, after any pass the plan made
    Image* made = nullptr;
    Image* firstFrame = first ? PlannedFrame(first, plan, &made, request->work) : nullptr;
    if (!firstFrame) {
        Fail(request, Outcome(*request, first ? Status(kErrorOutOfMemory) : NoFrame(*request)));
        return nullptr;
    }
    StreamOpenRequest open{request->formatId, request->fileName, 1, firstFrame, plan.openOptions, kErrorNone,
                           request->work, writer};
    run->stream = StreamOpen(&open);
    ImageDestroy(made);
    // The colours gathered have chosen the table: the memory of their pass
    // (a copy of the latest frame) goes before the frames are written.
    plan.gif.colors = nullptr;
    plan.colors.reset();
    if (!run->stream) {
        Fail(request, Outcome(*request, open.error));  // or the user cancelled
        return nullptr;
    }
    return run.release();
}

int ExportAnimationFinish(ExportRun* begun, ExportRequest* request) {
    std::unique_ptr<ExportRun> run(begun);
    FileErrorClear();  // perhaps another thread's than the beginning's
    if (!run->stream) return SaveFirst(request);
    // An unfinished animation is no use to anyone: a failure or a cancel
    // abandons the stream, which leaves nothing behind.
    const ExportPlan& plan = run->plan;
    Frames frames(*request);
    uint32_t position = 0;
    // AVI: where the frame starts, in ms and in stream frames.
    uint64_t time = 0;
    uint32_t at = 0;
    for (Image* frame = frames.at(0); frame; frame = frames.at(static_cast<int>(++position))) {
        Image* made = nullptr;
        Image* planned = PlannedFrame(frame, plan, &made, request->work);
        if (plan.aviPeriod) {
            at = AviPosition(time, plan.aviPeriod, position == 0 ? 0 : at + 1);
            time += AviFrameDelay(ImageGetDelay(frame));
        }
        StreamFrameRequest write{planned, ImageGetDelay(frame), plan.positions ? (plan.aviPeriod ? &at : &position) : nullptr,
                                 planned ? kErrorNone : kErrorOutOfMemory};
        const bool written = planned && StreamWriteFrame(run->stream, &write);
        ImageDestroy(made);
        if (written) ++request->written;
        if (!written || !GoOn(*request, request->written, frames.total(*request))) {
            StreamCloseRequest close{nullptr, nullptr, kErrorNone};
            StreamAbandon(run->stream, &close);
            return Fail(request, written ? Status::Cancelled() : Outcome(*request, write.error));
        }
    }
    // A cancel that stopped the decoding ends the frames early: asked once
    // more, the progress says whether they ended or were stopped. The close
    // asks the meter once more, right before the file is put in place.
    uint32_t end = plan.aviPeriod ? AviPosition(time, plan.aviPeriod, at + 1) : 0;
    StreamCloseRequest close{nullptr, plan.aviPeriod ? &end : nullptr, kErrorNone};
    if (!GoOn(*request, request->written, request->written) || Stopped(*request)) {
        StreamAbandon(run->stream, &close);
        return Fail(request, Status::Cancelled());
    }
    if (const Status missed = frames.missed(); missed.failed()) {  // not a shorter animation
        StreamAbandon(run->stream, &close);
        return Fail(request, Outcome(*request, missed));
    }
    if (!StreamClose(run->stream, &close)) return Fail(request, Outcome(*request, close.error));
    return 1;
}

int ExportAnimation(ExportRequest* request) {
    ExportRun* run = ExportAnimationBegin(request);
    return run ? ExportAnimationFinish(run, request) : 0;
}

bool ExportNumberedName(const char* base, FormatId id, int n, int count, char* out, size_t outSize) {
    char extension[16];
    if (!FormatExtension(id, extension, 0, sizeof extension)) return false;
    int digits = 3;
    for (int largest = count - 1; largest >= 1000; largest /= 10) ++digits;
    const int length = std::snprintf(out, outSize, "%s%0*d.%s", base, digits, n, extension);
    return length >= 0 && static_cast<size_t>(length) < outSize;
}

int ExportNumberedFiles(ExportRequest* request) {
    request->error = {};
    request->written = 0;
    FileErrorClear();
    if (!HasFrames(*request)) return Fail(request, Outcome(*request, NoFrame(*request)));
    Frames frames(*request);
    char name[kMaxPath];
    // The names' width follows the frames the file's structure tells, which
    // decoding can only lower. Refused before any file is written when the
    // last, longest name would not fit.
    const int count = frames.total(*request);
    if (!ExportNumberedName(request->fileName, request->formatId, count - 1, count, name, sizeof name))
        return Fail(request, {kErrorWrite, "the name is too long"});
    for (Image* frame; (frame = frames.at(request->written));) {
        ExportNumberedName(request->fileName, request->formatId, request->written, count, name, sizeof name);
        if (request->formatId == kFormatSpr) {
            // A Pro Motion file holds the frames from its own to the last.
            ExportRequest tail = *request;
            tail.fileName = name;
            tail.firstFrame = request->firstFrame + request->written;
            tail.progress = {};
            if (!ExportAnimation(&tail)) return Fail(request, Outcome(*request, tail.error));
        } else {
            SaveRequest save{request->formatId, request->options, nullptr, kErrorNone, request->work};
            if (!ImageSaveFile(frame, name, &save)) return Fail(request, Outcome(*request, save.error));
        }
        ++request->written;
        if (!GoOn(*request, request->written, frames.total(*request))) return Fail(request, Status::Cancelled());
    }
    if (!GoOn(*request, request->written, request->written)) return Fail(request, Status::Cancelled());
    return frames.missed().failed() ? Fail(request, Outcome(*request, frames.missed())) : 1;
}
