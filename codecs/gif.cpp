#include "codecs/gif.h"

#include <memory>

#include "codecs/gif_animation.h"
#include "codecs/gif_reader.h"
#include "codecs/gif_writer.h"
#include "formats/save.h"

namespace {

int GifStreamOpen(Stream* stream, StreamOpenRequest* request) {
    if (stream->mode != 1) return Fail(request, kErrorUnsupportedType);
    const GifStreamOptions options = request->options ? *static_cast<const GifStreamOptions*>(request->options)
                                                      : GifStreamOptions{0, nullptr};
    Status status;
    GifAnimation* animation = GifAnimationStartWith(request->image, options.colors, options.dither != 0,
                                                    stream->pending, &status, stream->work);
    stream->state = animation;
    return status.ok() ? 1 : Fail(request, status);
}

int GifStreamWriteFrame(Stream* stream, StreamFrameRequest* request) {
    Status status;
    GifAnimationAdd(static_cast<GifAnimation*>(stream->state), request->image, request->delay, stream->pending, &status);
    return status.ok() ? 1 : Fail(request, status);
}

int GifStreamClose(Stream* stream, StreamCloseRequest* request) {
    std::unique_ptr<GifAnimation, void (*)(GifAnimation*)> animation(static_cast<GifAnimation*>(stream->state),
                                                                     GifAnimationDestroy);
    stream->state = nullptr;
    if (stream->abandoned) return 1;  // the file is not wanted: nothing to end
    Status status;
    GifAnimationFinish(animation.get(), stream->pending, &status);
    return status.ok() ? 1 : Fail(request, status);
}

}  // namespace

const StreamOps kGifStreamOps = {GifStreamOpen, nullptr, GifStreamWriteFrame, GifStreamClose};

const FileFormat kGifFormat = {
    kFormatGif, GifProbe, nullptr, GifSave, "Graphics Interchange Format", "GIF", &kGifStreamOps, GifOpen, GifDuration,
};
