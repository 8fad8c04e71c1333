#include "codecs/gif.h"

#include <memory>

#include "codecs/gif_animation.h"
#include "codecs/gif_reader.h"
#include "codecs/gif_writer.h"
#include "formats/save.h"

namespace {

MemBufferPtr NewBuffer() { return MemBufferPtr(MemBufferCreate(kMemBufferGrowStep, kMemBufferGrowStep)); }

int GifStreamOpen(Stream* stream, StreamOpenRequest* request) {
    if (stream->mode != 1) return Fail(request, kErrorUnsupportedType);
    const GifStreamOptions options = request->options ? *static_cast<const GifStreamOptions*>(request->options)
                                                      : GifStreamOptions{0, nullptr};
    MemBufferPtr buffer = NewBuffer();
    if (!buffer) return Fail(request, kErrorOutOfMemory);
    Status status;
    GifAnimation* animation =
        GifAnimationStartWith(request->image, options.colors, options.dither != 0, buffer.get(), &status, stream->work);
    stream->state = animation;
    return StreamPending(stream, std::move(buffer), status, request);
}

int GifStreamWriteFrame(Stream* stream, StreamFrameRequest* request) {
    MemBufferPtr buffer = NewBuffer();
    if (!buffer) return Fail(request, kErrorOutOfMemory);
    Status status;
    GifAnimationAdd(static_cast<GifAnimation*>(stream->state), request->image, request->delay, buffer.get(), &status);
    return StreamPending(stream, std::move(buffer), status, request);
}

int GifStreamClose(Stream* stream, StreamCloseRequest* request) {
    std::unique_ptr<GifAnimation, void (*)(GifAnimation*)> animation(static_cast<GifAnimation*>(stream->state),
                                                                     GifAnimationDestroy);
    stream->state = nullptr;
    if (stream->abandoned) return 1;  // the file is not wanted: nothing to end
    MemBufferPtr buffer = NewBuffer();
    Status status = buffer ? kErrorNone : kErrorOutOfMemory;
    if (buffer) GifAnimationFinish(animation.get(), buffer.get(), &status);
    animation.reset();
    return StreamPending(stream, std::move(buffer), status, request);
}

}  // namespace

const StreamOps kGifStreamOps = {GifStreamOpen, nullptr, GifStreamWriteFrame, GifStreamClose};

const FileFormat kGifFormat = {
    kFormatGif, GifProbe, nullptr, GifSave, "Graphics Interchange Format", "GIF", &kGifStreamOps, GifOpen, GifDuration,
};
