// The AVI stream on Windows, through Video for Windows: the user picks the
// compressor in the system's "Video Compression" dialog and the codec
// manager (MSVFW32) compresses the frames, which our writer puts in the file.
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

BITMAPINFOHEADER* Header(uint8_t* block) { return reinterpret_cast<BITMAPINFOHEADER*>(block); }

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
        if (const Status error = AviFileWriterFrame(s->out.writer, nullptr, 0, false, work); !error.ok())
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
                if (const Status error = AviFileWriterColorTable(s->out.writer, table); !error.ok()) return error;
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
    if (result.ok()) *lost = false;
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

