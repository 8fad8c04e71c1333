// The AVI stream on Windows, through Video for Windows: the user picks the
// compressor in the system's "Video Compression" dialog and the codec
// manager (MSVFW32) compresses the frames, which our writer puts in the file;
// the AVI file and stream services (AVIFIL32) read files, and the codec
// manager decompresses their frames.
//
// This is the Windows half behind the stream operations of avi.cpp, which
// also own the temporary file that is written here.
#include <windows.h>
#include <vfw.h>

#include <cstring>

#include <cwchar>

#include "codecs/avi.h"
#include "codecs/avi_writer.h"
#include "platform/platform.h"

namespace {

// A stream format larger than this is not a bitmap header of any real file.
constexpr LONG kMaxFormatSize = 64 * 1024;
constexpr uint32_t kOutFormatMinSize = 108;  // a BITMAPV4HEADER, which has room for bit-field masks

}  // namespace

// The Video for Windows state of a stream being read. Made by the open with
// the services started for it (AVIFileInit), freed by the close (AVIFileExit).
struct AviStreamState {
    AVISTREAMINFOA streamInfo;  // from the file
    PAVISTREAM stream;          // the video stream of the file
    uint8_t* inFormat;      // read: the stream's format as the file has it
    uint8_t* outFormat;     // read: the format asked of the decompressor, at least 108 bytes
    uint32_t inBufferSize;  // read
    HIC decompressor;       // read
    uint8_t* inBuffer;      // read: one frame as stored in the file
    CRITICAL_SECTION lock;  // read: held while a frame is decompressed
    Image* frameImage;      // read: every frame is decompressed into it; made at the first read
    // Ours besides.
    uint32_t inFormatSize;  // read
    bool lockReady;         // read
};
static_assert(sizeof(AVISTREAMINFOA) == 140);

struct AviReader : AviStreamState {};

namespace {

BITMAPINFOHEADER* Header(uint8_t* block) { return reinterpret_cast<BITMAPINFOHEADER*>(block); }

// A zeroed record of the library's heap, and the AVI services started for it.
template <typename T>
T* NewRecord(Status* error) {
    auto* record = static_cast<T*>(MemAlloc(sizeof(T)));
    if (!record) {
        *error = kErrorOutOfMemory;
        return nullptr;
    }
    std::memset(record, 0, sizeof(T));
    AVIFileInit();
    return record;
}

template <typename T>
void FreeRecord(T* record) {
    AVIFileExit();
    MemFree(record);
}

// Video for Windows takes no long-path names: a file past the plain form's
// limit goes to it by its short (8.3) name, where the volume keeps them.
std::wstring VfwFileName(const char* name) {
    const std::wstring wide = WideFileName(name);
    if (wide.rfind(L"\\\\?\\", 0) != 0) return wide;
    wchar_t shortName[MAX_PATH];
    const DWORD length = GetShortPathNameW(wide.c_str(), shortName, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return wide;
    const std::wstring plain(shortName, length);
    if (plain.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + plain.substr(8);
    if (plain.rfind(L"\\\\?\\", 0) == 0) return plain.substr(4);
    return plain;
}

// Why a file's video stream cannot be opened.
Status OpenError(const char* fileName, HRESULT result) {
    if (result == AVIERR_MEMORY) return kErrorOutOfMemory;
    if (GetFileAttributesW(WideFileName(fileName).c_str()) == INVALID_FILE_ATTRIBUTES) return kErrorFileNotFound;
    return kErrorInvalidData;
}

// Sets up reading; false, with *error set, on failure.
bool OpenReader(AviReader* s, const char* fileName, int32_t* frameCount, int32_t* frameRate, Status* error) {
    const HRESULT opened = AVIStreamOpenFromFileW(&s->stream, VfwFileName(fileName).c_str(), streamtypeVIDEO, 0, OF_READ, nullptr);
    if (opened != 0) {
        s->stream = nullptr;
        *error = OpenError(fileName, opened);
        return false;
    }
    LONG formatSize = 0;
    if (AVIStreamReadFormat(s->stream, 0, nullptr, &formatSize) != 0 || formatSize < 40 || formatSize > kMaxFormatSize) {
        *error = kErrorInvalidData;
        return false;
    }
    s->inFormatSize = static_cast<uint32_t>(formatSize);
    const uint32_t outSize = s->inFormatSize > kOutFormatMinSize ? s->inFormatSize : kOutFormatMinSize;
    s->inFormat = static_cast<uint8_t*>(MemAlloc(s->inFormatSize));
    s->outFormat = static_cast<uint8_t*>(MemAlloc(outSize));
    if (!s->inFormat || !s->outFormat) {
        *error = kErrorOutOfMemory;
        return false;
    }
    std::memset(s->outFormat, 0, kOutFormatMinSize);
    if (AVIStreamReadFormat(s->stream, 0, s->inFormat, &formatSize) != 0 ||
        !AviFormatUsable(s->inFormat, s->inFormatSize)) {
        *error = kErrorInvalidData;
        return false;
    }
    const LONG length = AVIStreamLength(s->stream);
    *frameCount = length > 0 ? length : 0;
    AVIStreamInfoA(s->stream, &s->streamInfo, sizeof s->streamInfo);

    std::memcpy(s->outFormat, s->inFormat, s->inFormatSize);
    BITMAPINFOHEADER* in = Header(s->inFormat);
    BITMAPINFOHEADER* out = Header(s->outFormat);
    out->biSize = outSize;
    out->biCompression = in->biBitCount == 24 ? BI_RGB : BI_BITFIELDS;
    // Frames are wanted bottom-up, the way the frame image holds them.
    if (out->biHeight < 0) out->biHeight = -out->biHeight;

    // The stream's own suggestion wins when it has one; reads grow the buffer
    // when a frame needs more.
    const uint64_t frameSize = AviFrameSize(s->inFormat);
    const uint64_t suggested = s->streamInfo.dwSuggestedBufferSize;
    s->inBufferSize = static_cast<uint32_t>(suggested != 0 && suggested <= kImageMaxBitsSize ? suggested : frameSize);
    *frameRate = AviHeaderRate(s->streamInfo.dwRate, s->streamInfo.dwScale);

    s->inBuffer = static_cast<uint8_t*>(MemAlloc(s->inBufferSize));
    if (!s->inBuffer) {
        *error = kErrorOutOfMemory;
        return false;
    }
    s->decompressor = ICLocate(ICTYPE_VIDEO, s->streamInfo.fccHandler, in, out, ICMODE_DECOMPRESS);
    if (s->decompressor &&
        ICSendMessage(s->decompressor, ICM_DECOMPRESS_BEGIN, reinterpret_cast<DWORD_PTR>(in),
                      reinterpret_cast<DWORD_PTR>(out)) != ICERR_OK) {
        ICClose(s->decompressor);
        s->decompressor = nullptr;
    }
    InitializeCriticalSection(&s->lock);
    s->lockReady = true;
    return true;
}

// Reads the stored bytes of one frame into inBuffer, growing it when the
// frame is larger than the stream announced.
Status ReadSample(AviReader* s, LONG frame, LONG* bytes) {
    LONG needed = 0;
    if (AVIStreamRead(s->stream, frame, 1, nullptr, 0, &needed, nullptr) != 0 || needed < 0) return kErrorRead;
    if (static_cast<uint64_t>(needed) > kImageMaxBitsSize) return kErrorInvalidData;
    if (static_cast<uint32_t>(needed) > s->inBufferSize) {
        auto* grown = static_cast<uint8_t*>(MemRealloc(s->inBuffer, static_cast<size_t>(needed)));
        if (!grown) return kErrorOutOfMemory;
        s->inBuffer = grown;
        s->inBufferSize = static_cast<uint32_t>(needed);
    }
    *bytes = 0;
    if (needed > 0 && AVIStreamRead(s->stream, frame, 1, s->inBuffer, static_cast<LONG>(s->inBufferSize), bytes, nullptr) != 0)
        return kErrorRead;
    return kErrorNone;
}

// Decodes inBuffer into the frame image. Plain rows need no decompressor,
// and the platform does not always offer one for them.
Status Decode(AviReader* s, LONG bytes) {
    Status result = kErrorNone;
    EnterCriticalSection(&s->lock);
    Header(s->inFormat)->biSizeImage = static_cast<DWORD>(bytes);
    const bool decoded = s->decompressor && ICDecompress(s->decompressor, 0, Header(s->inFormat), s->inBuffer,
                                                         Header(s->outFormat), ImageBits(s->frameImage)) == ICERR_OK;
    if (!decoded) {
        if (AviFormatUncompressed(s->inFormat))
            result = AviCopyFrame(s->inFormat, s->inBuffer, static_cast<uint64_t>(bytes), s->frameImage);
        else
            result = s->decompressor ? kErrorInvalidData : kErrorUnsupportedType;
    }
    LeaveCriticalSection(&s->lock);
    return result;
}

}  // namespace

// ---- Writing ------------------------------------------------------------------
//
// Frames go through the compressor the user picks in the system's "Video
// Compression" dialog (the codec manager's sequence compression, key frames
// where the compressor marks them) into our own writer (avi_writer.h), which
// writes files of any length; Video for Windows' own files end at 1 GiB.
// Palette frames are offered to the compressor as they are, and as 24-bit
// only where it takes nothing else. "Full Frames (Uncompressed)" writes the
// frames' rows as they are.

struct AviWriter {
    AviOutput out;
    COMPVARS vars;          // the user's choice; no `hic`: no compressor
    bool varsChosen;
    bool started;           // a compression sequence is going on
    bool widen;             // palette frames go to the compressor as 24-bit
    bool indexedOutput;     // the compressed frames keep the palette's indices
    uint8_t in[sizeof(BitmapInfo)];  // the format the compressor is given
    uint32_t frameBytes;    // of an uncompressed frame as given
    uint8_t* wide;          // when widening: one frame's 24-bit rows
};

namespace {

const uint32_t kDib = mmioFOURCC('D', 'I', 'B', ' ');

uint32_t FormatBytes(const BITMAPINFOHEADER* h) {
    const uint32_t colors = h->biBitCount <= 8 ? (h->biClrUsed ? h->biClrUsed : 1u << h->biBitCount) : 0;
    return h->biSize + (colors > 256 ? 256 : colors) * 4;
}

// "The compressor NAME does not take 8-bit or 24-bit frames of W x H.", in a
// box that the export's owner owns; the export then ends as cancelled.
void TellRefused(AviWriter* s, const Image* first, void* owner) {
    ICINFO info{};
    info.dwSize = sizeof info;
    ICGetInfo(s->vars.hic, &info, sizeof info);
    wchar_t text[256];
    swprintf(text, 256, L"The compressor %ls does not take %ls24-bit frames of %d x %d.",
             info.szDescription[0] ? info.szDescription : L"chosen", ImageBitCount(first) == 8 ? L"8-bit or " : L"",
             ImageWidth(first), ImageHeight(first));
    MessageBoxW(static_cast<HWND>(owner), text, nullptr, MB_ICONERROR);
}

// Starts a compression sequence for frames of the format in `in`.
bool StartSequence(AviWriter* s) {
    if (s->started) ICSeqCompressFrameEnd(&s->vars);
    s->started = ICSeqCompressFrameStart(&s->vars, reinterpret_cast<BITMAPINFO*>(s->in)) != FALSE;
    return s->started;
}

// The writer for what the compressor makes, or for plain rows.
AviFileWriter* StartFile(AviWriter* s, uint32_t rate, uint32_t scale, Status* error) {
    AviVideoFormat video;
    video.rate = rate;
    video.scale = scale;
    if (!s->vars.hic) {
        video.format = s->in;
        video.formatSize = Header(s->in)->biSize + (Header(s->in)->biBitCount == 8 ? 1024u : 0u);
        video.handler = kDib;
    } else {
        const BITMAPINFOHEADER* out = &s->vars.lpbiOut->bmiHeader;
        video.format = reinterpret_cast<const uint8_t*>(out);
        video.formatSize = FormatBytes(out);
        video.handler = s->vars.fccHandler;
        if (s->vars.lQ >= 0) video.quality = static_cast<uint32_t>(s->vars.lQ);
    }
    return AviFileWriterCreate(s->out.file, video, error);
}

}  // namespace

AviWriter* AviWriterCreate(FileHandle* temp, const char*, const Image* first, uint32_t rate, uint32_t scale, void* owner,
                           Status* error) {
    auto* s = static_cast<AviWriter*>(MemAllocZeroed(sizeof(AviWriter)));
    if (!s) {
        FileClose(temp);
        *error = kErrorOutOfMemory;
        return nullptr;
    }
    s->out.file = temp;
    auto fail = [&](Status code) {
        AviWriterFree(s);
        *error = code;
        return nullptr;
    };
    const int depth = ImageBitCount(first);
    if (depth != 8 && depth != 24) return fail(kErrorColorNotSupported);
    s->frameBytes = static_cast<uint32_t>(ImageBitsSize(first));
    s->vars.cbSize = sizeof s->vars;
    s->vars.dwFlags = ICMF_COMPVARS_VALID;
    s->vars.fccType = ICTYPE_VIDEO;
    s->vars.fccHandler = kDib;
    s->vars.lQ = ICQUALITY_HIGH;  // the dialog starts at lossless; the user may lower it
    // With no window to own the dialog (the tool), the frames go as they
    // are, as the portable writer writes them: a command never waits for
    // a user who may not be there.
    if (owner) {
        if (!ICCompressorChoose(static_cast<HWND>(owner),
                                ICMF_CHOOSE_ALLCOMPRESSORS | ICMF_CHOOSE_KEYFRAME | ICMF_CHOOSE_DATARATE, nullptr, nullptr,
                                &s->vars, nullptr)) {
            return fail(Status::Cancelled());
        }
        s->varsChosen = true;
    }
    std::memcpy(s->in, ImageHeader(first), static_cast<size_t>(ImageHeaderSize(first)));
    Header(s->in)->biSizeImage = s->frameBytes;
    if (depth == 8) Header(s->in)->biClrUsed = 256;  // compressors read the table's size here
    if (!s->vars.hic && depth == 8) {
        // Plain rows of palette frames as 24-bit, as the portable writer
        // writes them: readers through AVIFile never apply palette changes.
        AviHeader24(first, s->in);
        s->widen = true;
    }
    if (s->vars.hic) {
        // Palette frames as they are where the compressor takes them.
        bool taken = ICCompressQuery(s->vars.hic, s->in, nullptr) == ICERR_OK;
        if (!taken && depth == 8) {
            AviHeader24(first, s->in);
            s->widen = taken = ICCompressQuery(s->vars.hic, s->in, nullptr) == ICERR_OK;
        }
        if (!taken) {
            TellRefused(s, first, owner);
            AviWriterFree(s);
            return nullptr;  // told: no other box
        }
        if (!StartSequence(s)) return fail(kErrorColorNotSupported);
        s->indexedOutput = !s->widen && depth == 8 && s->vars.lpbiOut->bmiHeader.biBitCount <= 8;
    }
    s->frameBytes = Header(s->in)->biSizeImage;
    if (s->widen && !(s->wide = static_cast<uint8_t*>(MemAlloc(s->frameBytes)))) return fail(kErrorOutOfMemory);
    s->out.writer = StartFile(s, rate, scale, error);
    return s->out.writer ? s : fail(*error);
}

Status AviWriterWrite(AviWriter* s, const Image* frame, uint32_t position, bool* lost, WorkMeter* work) {
    // The compressor takes a frame in one call: asked once before it.
    if (frame && work && !work->spend(static_cast<uint64_t>(ImageBitsSize(frame)))) return kErrorWrite;
    const uint32_t next = AviFileWriterFrames(s->out.writer);
    if (position < next || position - next > (uint32_t{1} << 20) || (next == 0 && position > 0)) return kErrorWrite;
    *lost = true;  // from here on a failure leaves the file incomplete
    for (uint32_t n = next; n < position; ++n)
        if (const Status error = AviFileWriterFrame(s->out.writer, nullptr, 0, false, work); error != kErrorNone)
            return error;
    if (!frame) {
        *lost = false;
        return kErrorNone;
    }
    const void* bits = ImageBits(frame);
    uint32_t size = s->frameBytes;
    if (ImageBitCount(frame) == 8 && !s->widen) {
        uint8_t table[256 * 4];
        AviFrameColorTable(frame, table);
        if (std::memcmp(table, s->in + 40, sizeof table) != 0) {
            // The compressor starts again with the new colours, from a key
            // frame: compressors compare pixels by their colours, so one that
            // went on with the old ones would keep pixels whose index changed
            // to another of the same old colour. Where the compressed frames
            // keep the indices, the file's palette changes too.
            std::memcpy(s->in + 40, table, sizeof table);
            if (!StartSequence(s)) return kErrorWrite;
            if (s->indexedOutput)
                if (const Status error = AviFileWriterColorTable(s->out.writer, table); error != kErrorNone) return error;
        }
    } else if (ImageBitCount(frame) == 8) {
        AviWidenRows(frame, s->wide);
        bits = s->wide;
    }
    Status result = kErrorNone;
    if (s->vars.hic) {
        BOOL key = FALSE;
        LONG bytes = 0;
        const void* packed = ICSeqCompressFrame(&s->vars, 0, const_cast<void*>(bits), &key, &bytes);
        result = packed && bytes >= 0 ? AviFileWriterFrame(s->out.writer, static_cast<const uint8_t*>(packed),
                                                          static_cast<uint32_t>(bytes), key != FALSE, work)
                                      : kErrorWrite;
    } else {
        result = AviFileWriterFrame(s->out.writer, static_cast<const uint8_t*>(bits), size, true, work);
    }
    if (result == kErrorNone) *lost = false;
    return result;
}

uint32_t AviWriterFrames(const AviWriter* s) { return AviFileWriterFrames(s->out.writer); }

AviOutput& AviWriterOutput(AviWriter* s) { return s->out; }

void AviWriterFree(AviWriter* s) {
    if (s->started) ICSeqCompressFrameEnd(&s->vars);
    if (s->varsChosen) ICCompressorFree(&s->vars);
    AviFileWriterFree(s->out.writer);
    if (s->out.file) FileClose(s->out.file);
    MemFree(s->wide);
    MemFree(s);
}

// ---- Reading ------------------------------------------------------------------

AviReader* AviReaderOpen(const char* fileName, int32_t* frameCount, int32_t* frameRate, Status* error) {
    AviReader* s = NewRecord<AviReader>(error);
    if (!s) return nullptr;
    if (OpenReader(s, fileName, frameCount, frameRate, error)) return s;
    AviReaderFree(s);
    return nullptr;
}

Image* AviReaderFrame(AviReader* s, int32_t frame, Status* error) {
    LONG bytes = 0;
    Status result = ReadSample(s, frame, &bytes);
    if (result == kErrorNone && !s->frameImage) {
        s->frameImage = AviCreateFrameImage(s->inFormat, s->inFormatSize);
        if (!s->frameImage) result = kErrorOutOfMemory;
    }
    // An empty sample is a dropped frame: the picture stays as it was.
    if (result == kErrorNone && bytes > 0) result = Decode(s, bytes);
    if (result != kErrorNone) {
        *error = result;
        return nullptr;
    }
    return s->frameImage;
}

void AviReaderFree(AviReader* s) {
    if (s->lockReady) DeleteCriticalSection(&s->lock);
    if (s->stream) AVIStreamRelease(s->stream);
    if (s->decompressor) {
        ICSendMessage(s->decompressor, ICM_DECOMPRESS_END, 0, 0);
        ICClose(s->decompressor);
    }
    MemFree(s->inFormat);
    MemFree(s->outFormat);
    MemFree(s->inBuffer);
    ImageDestroy(s->frameImage);
    FreeRecord(s);
}
