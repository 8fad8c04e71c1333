// movrel: the image library on the command line.
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "codecs/codecs.h"
#include "codecs/export.h"
#include "formats/format.h"
#include "formats/frame_source.h"
#include "formats/save.h"
#include "codecs/gif_writer.h"
#include "codecs/tga.h"
#include "image/convert.h"
#include "platform/platform.h"
#include "resources/resource.h"  // MOVREL_VERSION_TEXT, as the plug-in and its package say it
#include "tools/md5.h"

namespace {

struct Command {
    const char* name;
    const char* usage;
    const char* summary;
    int (*run)(const std::vector<std::string>& args);
};

int Usage(const Command& command) {
    std::printf("usage: movrel %s\n\n%s\n", command.usage, command.summary);
    return 0;
}

// Why a command's arguments could not be used: "unknown option '--bogus'".
std::string gArgumentError;

// For a command that cannot use its arguments: says why, then its usage.
int BadArguments(std::string why) {
    gArgumentError = std::move(why);
    return -1;
}

int ArgumentsUnusable(const Command& command) {
    if (!gArgumentError.empty()) std::fprintf(stderr, "movrel %s: %s\n", command.name, gArgumentError.c_str());
    std::fprintf(stderr, "usage: movrel %s\n(movrel %s --help for details)\n", command.usage, command.name);
    return 2;
}

// The files a command was given against those it takes.
int WrongFileCount(size_t given, const char* takes) {
    return BadArguments(given == 0 ? std::string("needs ") + takes
                                   : std::string("takes ") + takes + ", not " + std::to_string(given) + " file(s)");
}

// A whole number from `text` within [low, high], or false after saying why.
bool ParseNumber(const std::string& option, const std::string& text, long low, long high, long* out) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE) {
        BadArguments(option + ": '" + text + "' is not a number");
        return false;
    }
    if (value < low || value > high) {
        BadArguments(option + ": " + text + " is not between " + std::to_string(low) + " and " + std::to_string(high));
        return false;
    }
    *out = value;
    return true;
}

bool WantsHelp(const std::vector<std::string>& args) {
    for (const std::string& a : args)
        if (a == "--help" || a == "-h") return true;
    return false;
}

// What keeps `path` from being read that the error code does not tell: it
// is a directory, or an empty file. None otherwise.
const char* PathTrouble(const std::string& path) {
    std::error_code error;
    const std::filesystem::path name(std::u8string(path.begin(), path.end()));
    if (std::filesystem::is_directory(name, error)) return "is a directory";
    if (std::filesystem::is_regular_file(name, error) && std::filesystem::file_size(name, error) == 0 && !error)
        return "is empty";
    return nullptr;
}

// What the user reads of a status: "Write error: access denied".
std::string Said(const Status& status) {
    char text[160];
    ErrorText(status, text, sizeof text);
    return text;
}

// A failure on stderr, with the file it concerns: "movrel: Write error: access denied: PATH".
void Complain(const Status& status, const std::string& path) {
    std::fprintf(stderr, "movrel: %s: %s\n", Said(status).c_str(), path.c_str());
}

// Why the frames ended, read as damage when the source does not say.
Status EndOf(const FrameSource* source) {
    const Status ended = FrameSourceEndedEarly(source);
    return ended.ok() ? Status(kErrorInvalidData) : ended;
}

// Why a file cannot be opened, on stderr: "movrel: File not found: PATH",
// "movrel: PATH: is a directory".
void ComplainUnreadable(const std::string& path, const Status& status) {
    if (const char* trouble = PathTrouble(path))
        std::fprintf(stderr, "movrel: %s: %s\n", path.c_str(), trouble);
    else
        Complain(status, path);
}

struct SourceCloser {
    void operator()(FrameSource* source) const { FrameSourceClose(source); }
};
using SourcePtr = std::unique_ptr<FrameSource, SourceCloser>;

// Opens a file's frames, which are decoded as they are read, or prints why
// it cannot be opened.
SourcePtr OpenOrComplain(const std::string& path) {
    LoadRequest request{};
    SourcePtr source(FrameSourceOpenFile(path.c_str(), &request));
    if (source) FrameSourceInOrder(source.get());  // the tool reads each file from the first frame on
    if (!source) ComplainUnreadable(path, request.error);
    return source;
}

// When not one frame could be decoded: why.
void ComplainNoFrame(const FrameSource* source, const std::string& path) { Complain(EndOf(source), path); }

// After the frames were read: says so when they ended before the file's
// last one, and why.
void ComplainIfEndedEarly(const FrameSource* source, const std::string& path) {
    const Status ended = FrameSourceEndedEarly(source);
    if (ended.ok()) return;
    char text[128];
    LoadEndText(ended, FrameSourceCount(source), FrameSourceStatedFrames(source), text, sizeof text);
    std::fprintf(stderr, "movrel: %s: %s\n", path.c_str(), text);
}

// Row y of a frame as packed RGB triples, read straight from the stored row
// where the depth allows.
void RgbRow(const Image* image, int y, uint8_t* out) {
    const int width = ImageWidth(image);
    const uint8_t* row = ImageRow(image, y);
    switch (ImageBitCount(image)) {
    case 8:
        for (int x = 0; x < width; ++x, out += 3) {
            const RgbQuad* q = ImageColorTable(image, row[x]);
            out[0] = q->rgbRed, out[1] = q->rgbGreen, out[2] = q->rgbBlue;
        }
        return;
    case 16:  // 5-5-5 values, widened as the 24-bit conversion widens them
        for (int x = 0; x < width; ++x, out += 3) {
            const uint32_t c = Rgb555To24(row[2 * x] | (uint32_t{row[2 * x + 1]} << 8));
            out[0] = static_cast<uint8_t>(c >> 16), out[1] = static_cast<uint8_t>(c >> 8);
            out[2] = static_cast<uint8_t>(c);
        }
        return;
    case 24:
    case 32: {
        const int step = ImageBitCount(image) / 8;
        for (int x = 0; x < width; ++x, out += 3, row += step) out[0] = row[2], out[1] = row[1], out[2] = row[0];
        return;
    }
    default:  // fewer than 8 bits a pixel
        for (int x = 0; x < width; ++x, out += 3) {
            const uint32_t c = ImageColorAt(image, x, y);
            out[0] = static_cast<uint8_t>(c >> 16), out[1] = static_cast<uint8_t>(c >> 8);
            out[2] = static_cast<uint8_t>(c);
        }
    }
}

// The frame as packed top-down RGB triples.
std::string RgbMd5(const Image* image, std::vector<uint8_t>& row) {
    row.resize(static_cast<size_t>(ImageWidth(image)) * 3);
    Md5 md5;
    for (int y = 0; y < ImageHeight(image); ++y) {
        RgbRow(image, y, row.data());
        md5.update(row.data(), row.size());
    }
    return md5.hexDigest();
}

// What ffmpeg's framemd5 hashes for a pal8 frame: the indices, top-down,
// width bytes a row, then the 256-entry palette as 32-bit ARGB words in
// memory order (blue, green, red, alpha), every entry opaque.
std::string Pal8Md5(const Image* image, std::vector<uint8_t>& row) {
    const int width = ImageWidth(image);
    Md5 md5;
    for (int y = 0; y < ImageHeight(image); ++y) {
        if (ImageBitCount(image) == 8) {
            md5.update(ImageRow(image, y), static_cast<size_t>(width));
            continue;
        }
        row.resize(static_cast<size_t>(width));  // fewer bits a pixel: one byte each
        for (int x = 0; x < width; ++x) row[x] = static_cast<uint8_t>(ImageGetPixel(image, x, y));
        md5.update(row.data(), row.size());
    }
    const int entries = 1 << ImageBitCount(image);
    uint8_t palette[256 * 4] = {};
    for (int i = 0; i < 256; ++i) {
        if (i < entries) {
            const RgbQuad* q = ImageColorTable(image, i);
            palette[4 * i] = q->rgbBlue, palette[4 * i + 1] = q->rgbGreen, palette[4 * i + 2] = q->rgbRed;
        }
        palette[4 * i + 3] = 0xFF;
    }
    md5.update(palette, sizeof palette);
    return md5.hexDigest();
}

int RunInfo(const std::vector<std::string>& args) {
    for (const std::string& a : args)
        if (a.size() > 1 && a[0] == '-') return BadArguments("unknown option '" + a + "'");
    if (args.size() != 1) return WrongFileCount(args.size(), "one FILE");
    SourcePtr source = OpenOrComplain(args[0]);
    if (!source) return 1;
    const Image* first = FrameSourceFrame(source.get(), 0);
    if (!first) {
        ComplainNoFrame(source.get(), args[0]);
        return 1;
    }
    const int width = ImageWidth(first), height = ImageHeight(first), depth = ImageBitCount(first);
    std::vector<uint32_t> delays;
    FrameSourceDelays(source.get(), delays);
    ComplainIfEndedEarly(source.get(), args[0]);
    std::printf("format: %s\n", FrameSourceFormat(source.get())->description);
    std::printf("width: %d\nheight: %d\ndepth: %d\nframes: %d\n", width, height, depth, static_cast<int>(delays.size()));
    char duration[32];
    DurationText(FrameSourceDuration(source.get()), duration, sizeof duration);
    std::printf("duration: %s\n", duration);
    for (size_t index = 0; index < delays.size(); ++index) std::printf("frame %zu: %u ms\n", index, delays[index]);
    return 0;
}

// Decodes every frame of each file, as a player would, and says in one line
// per file whether all of them are there: "ok", or where the frames end and
// why. Non-zero when any file cannot be read whole.
int RunCheck(const std::vector<std::string>& args) {
    for (const std::string& a : args)
        if (a.size() > 1 && a[0] == '-') return BadArguments("unknown option '" + a + "'");
    if (args.empty()) return WrongFileCount(0, "one FILE or more");
    int status = 0;
    for (const std::string& path : args) {
        LoadRequest request{};
        SourcePtr source(FrameSourceOpenFile(path.c_str(), &request));
        if (!source) {
            const char* trouble = PathTrouble(path);
            std::printf("%s: cannot be read: %s\n", path.c_str(), trouble ? trouble : Said(request.error).c_str());
            status = 1;
            continue;
        }
        FrameSourceInOrder(source.get());
        int32_t frames = 0;
        uint64_t duration = 0;
        for (const Image* frame; (frame = FrameSourceFrame(source.get(), frames)); ++frames)
            duration += ImageGetDelay(frame);
        char playing[32];
        DurationText(duration, playing, sizeof playing);
        const Status ended = FrameSourceEndedEarly(source.get());
        const int32_t stated = FrameSourceStatedFrames(source.get());
        if (frames > 0 && ended.ok()) {
            std::printf("%s: %d frames, %s, ok\n", path.c_str(), static_cast<int>(frames), playing);
            continue;
        }
        status = 1;
        char counted[48];
        if (stated > frames)
            std::snprintf(counted, sizeof counted, "%d of %d frames", static_cast<int>(frames), static_cast<int>(stated));
        else
            std::snprintf(counted, sizeof counted, "%d frames", static_cast<int>(frames));
        // Frames count from 0, as everywhere in the tool: the one named is the first that is missing.
        if (ended == kErrorOutOfMemory)
            std::printf("%s: %s, %s, not enough memory for frame %d\n", path.c_str(), counted, playing, static_cast<int>(frames));
        else
            std::printf("%s: %s, %s, damaged at frame %d: %s\n", path.c_str(), counted, playing, static_cast<int>(frames),
                        Said(EndOf(source.get())).c_str());
    }
    return status;
}

int RunFrameMd5(const std::vector<std::string>& args) {
    bool pal8 = false;
    std::string path;
    for (const std::string& a : args) {
        if (a == "--pal8") pal8 = true;
        else if (a.size() > 1 && a[0] == '-') return BadArguments("unknown option '" + a + "'");
        else if (path.empty()) path = a;
        else return WrongFileCount(args.size() - (pal8 ? 1 : 0), "one FILE");
    }
    if (path.empty()) return WrongFileCount(0, "one FILE");
    SourcePtr source = OpenOrComplain(path);
    if (!source) return 1;
    int index = 0;
    std::vector<uint8_t> row;
    for (const Image* frame; (frame = FrameSourceFrame(source.get(), index)); ++index) {
        if (pal8 && ImageBitCount(frame) > 8) {
            std::fprintf(stderr, "movrel: --pal8 needs a palette image: %s\n", path.c_str());
            return 1;
        }
        const std::string md5 = pal8 ? Pal8Md5(frame, row) : RgbMd5(frame, row);
        std::printf("%d,%u,%dx%d,%s\n", index, ImageGetDelay(frame), ImageWidth(frame), ImageHeight(frame), md5.c_str());
    }
    if (index == 0) {
        ComplainNoFrame(source.get(), path);
        return 1;
    }
    ComplainIfEndedEarly(source.get(), path);
    return 0;
}

// ---- Writing ----------------------------------------------------------------

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// "BMP (Windows or OS/2 Bitmap), GIF (...)": every format with a saver.
std::string WritableFormats() {
    FormatFilterList list;
    FormatFilter(&list, kFilterSave, -1);
    std::string text;
    char extension[kMaxPath];
    for (FormatId id : list.ids) {
        if (id == kFormatNone || !FormatExtension(id, extension, 0, sizeof extension)) continue;
        if (!text.empty()) text += ", ";
        text += std::string(extension) + " (" + FormatFind(id)->description + ")";
    }
    return text;
}

// The writable format that has `name` among its extensions (any case), or 0.
FormatId WritableFormatNamed(const std::string& name) {
    FormatFilterList list;
    FormatFilter(&list, kFilterSave, -1);
    char extension[kMaxPath];
    for (FormatId id : list.ids)
        for (int n = 0; id != kFormatNone && FormatExtension(id, extension, n, sizeof extension); ++n)
            if (Upper(name) == extension) return id;
    return kFormatNone;
}

// The text after the last "." of the path's last component, or empty.
std::string ExtensionOf(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return std::string();
    return path.substr(dot + 1);
}

struct WriteOptions {
    std::vector<std::string> files;
    std::string format;
    long frame = 0;
    bool quiet = false;
    bool runLength = false;
    bool dither = false;
};

// Parses FILE... [--format NAME] [--frame N] [--quiet] [--rle] [--dither]; false on a usage error.
bool ParseWriteOptions(const std::vector<std::string>& args, bool allowFrame, bool allowQuiet, WriteOptions& out) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--format" && i + 1 < args.size()) {
            out.format = args[++i];
        } else if (a.rfind("--format=", 0) == 0) {
            out.format = a.substr(9);
        } else if (allowFrame && a == "--frame" && i + 1 < args.size()) {
            if (!ParseNumber("--frame", args[++i], 0, LONG_MAX, &out.frame)) return false;
        } else if (allowQuiet && a == "--quiet") {
            out.quiet = true;
        } else if (a == "--rle") {
            out.runLength = true;
        } else if (a == "--dither") {
            out.dither = true;
        } else if (a.size() > 1 && a[0] == '-') {
            BadArguments((a == "--format" || a == "--frame") && i + 1 == args.size() ? a + " needs a value"
                                                                                   : "unknown option '" + a + "'");
            return false;
        } else {
            out.files.push_back(a);
        }
    }
    if (out.files.size() != 2) WrongFileCount(out.files.size(), "IN and OUT");
    return out.files.size() == 2;
}

// The format to write: named by --format, else by the output's extension.
FormatId ChooseFormat(const WriteOptions& options, const std::string& output) {
    const std::string name = options.format.empty() ? ExtensionOf(output) : options.format;
    const FormatId id = name.empty() ? kFormatNone : WritableFormatNamed(name);
    if (id == kFormatNone) {
        if (!options.format.empty())
            std::fprintf(stderr, "movrel: cannot write the format '%s'\n", options.format.c_str());
        else if (name.empty())
            std::fprintf(stderr, "movrel: %s has no extension to tell the format; use --format NAME\n", output.c_str());
        else
            std::fprintf(stderr, "movrel: cannot write the format of %s (extension '%s'); use --format NAME\n",
                         output.c_str(), name.c_str());
        std::fprintf(stderr, "formats that can be written: %s\n", WritableFormats().c_str());
    }
    return id;
}

// --rle means something only for TGA output, --dither only for GIF.
bool OptionsFit(const WriteOptions& options, FormatId id) {
    if (options.runLength && id != kFormatTga) {
        std::fprintf(stderr, "movrel: --rle is for TGA output only\n");
        return false;
    }
    if (options.dither && id != kFormatGif) {
        std::fprintf(stderr, "movrel: --dither is for GIF output only\n");
        return false;
    }
    return true;
}

// The options record of a save in `id` as the command line asks for it.
struct SaveOptions {
    TgaSaveOptions tga{};
    GifSaveOptions gif{7, 0, 0};
    explicit SaveOptions(const WriteOptions& options) {
        tga.runLength = options.runLength;
        gif.dither = options.dither;
    }
    void* forFormat(FormatId id) { return id == kFormatTga ? static_cast<void*>(&tga) : id == kFormatGif ? &gif : nullptr; }
};

// Saves, or prints why not.
bool SaveOrComplain(Image* image, const std::string& path, FormatId id, void* options) {
    if (path.size() >= kMaxPath) {
        std::fprintf(stderr, "movrel: file name too long (at most %zu characters): %s\n", kMaxPath - 1, path.c_str());
        return false;
    }
    SaveRequest request{id, options, nullptr, kErrorNone};
    FileErrorClear();
    if (ImageSaveFile(image, path.c_str(), &request)) return true;
    Complain(request.error, path);
    return false;
}

// Frame n of the source, or none after saying why there is none.
const Image* FrameOrComplain(FrameSource* source, const std::string& input, long n) {
    // Only the frames up to the one asked for are decoded.
    const Image* frame = FrameSourceFrame(source, n > INT32_MAX ? INT32_MAX : static_cast<int32_t>(n));
    if (frame) return frame;
    while (FrameSourceFrame(source, FrameSourceCount(source))) {
    }
    if (FrameSourceCount(source) == 0)
        ComplainNoFrame(source, input);
    else
        std::fprintf(stderr, "movrel: %s has %d frame(s); frames count from 0\n", input.c_str(), FrameSourceCount(source));
    return nullptr;
}

// A format that holds animations (SPR) takes the frame asked for and every
// frame after it.
bool ConvertTail(FrameSource* source, const std::string& input, const std::string& output, long n) {
    if (!FrameOrComplain(source, input, n)) return false;
    ExportRequest request;
    request.formatId = kFormatSpr;
    request.fileName = output.c_str();
    request.source = source;
    request.firstFrame = static_cast<int32_t>(n);
    if (ExportAnimation(&request)) {
        ComplainIfEndedEarly(source, input);
        return true;
    }
    Complain(request.error, output);
    return false;
}

int RunConvert(const std::vector<std::string>& args) {
    WriteOptions options;
    if (!ParseWriteOptions(args, true, false, options)) return -1;
    const std::string& input = options.files[0];
    const std::string& output = options.files[1];
    const FormatId id = ChooseFormat(options, output);
    if (id == kFormatNone || !OptionsFit(options, id)) return 1;
    SaveOptions saveOptions(options);
    SourcePtr source = OpenOrComplain(input);
    if (!source) return 1;
    if (id == kFormatSpr) return ConvertTail(source.get(), input, output, options.frame) ? 0 : 1;
    const Image* shown = FrameOrComplain(source.get(), input, options.frame);
    if (!shown) return 1;
    ImagePtr frame(ImageDuplicate(shown));
    if (!frame) {
        std::fprintf(stderr, "movrel: %s: %s\n", ErrorMessage(kErrorOutOfMemory), input.c_str());
        return 1;
    }
    return SaveOrComplain(frame.get(), output, id, saveOptions.forFormat(id)) ? 0 : 1;
}

int RunThumbnail(const std::vector<std::string>& args) {
    WriteOptions options;
    long size = 96;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--size" && i + 1 < args.size()) {
            if (!ParseNumber("--size", args[++i], 1, kImageMaxDimension, &size)) return -1;
        } else if (args[i].size() > 1 && args[i][0] == '-') {
            return BadArguments(args[i] == "--size" ? "--size needs a value" : "unknown option '" + args[i] + "'");
        } else {
            options.files.push_back(args[i]);
        }
    }
    if (options.files.size() != 2) return WrongFileCount(options.files.size(), "IN and OUT");
    const std::string& output = options.files[1];
    const FormatId id = ChooseFormat(options, output);
    if (id == kFormatNone) return 1;
    LoadRequest request{};
    const int box = static_cast<int>(size);
    ImagePtr thumbnail(ImageLoadThumbnail(options.files[0].c_str(), box, box, &request));
    if (!thumbnail) {
        ComplainUnreadable(options.files[0], request.error);
        return 1;
    }
    return SaveOrComplain(thumbnail.get(), output, id, nullptr) ? 0 : 1;
}

// A progress line on stderr, only once a run has taken more than a second.
class Progress {
public:
    Progress(int total, bool quiet) : total_(total), quiet_(quiet), start_(Clock::now()), last_(start_) {}
    ~Progress() { end(); }
    // Ends the progress line, so that other messages start on their own.
    void end() {
        if (shown_) std::fprintf(stderr, "\rmovrel: %d of %d frames written\n", done_, total_);
        shown_ = false;
    }
    // A callback for the export driver that shows the progress and never cancels.
    ExportProgress callback() {
        ExportProgress progress;
        progress.frameDone = [](void* self, int done, int) {
            static_cast<Progress*>(self)->update(done);
            return true;
        };
        progress.context = this;
        return progress;
    }
    void update(int done) {
        done_ = done;
        if (quiet_) return;
        const auto now = Clock::now();
        if (now - start_ < std::chrono::seconds(1) || (shown_ && now - last_ < std::chrono::milliseconds(250))) return;
        std::fprintf(stderr, "\rmovrel: %d of %d frames written", done, total_);
        std::fflush(stderr);
        shown_ = true;
        last_ = now;
    }

private:
    using Clock = std::chrono::steady_clock;
    int total_;
    int done_ = 0;
    bool quiet_;
    bool shown_ = false;
    Clock::time_point start_, last_;
};

// Ends an export's progress line and says what its input needs said: where
// the frames ended early, after a run that went through, or that there was
// not one frame. True when nothing is left for the caller to say.
bool ReportInput(bool exported, const ExportRequest& request, Progress& progress, const std::string& input) {
    progress.end();
    if (exported) {
        ComplainIfEndedEarly(request.source, input);
        return true;
    }
    if (!request.source || FrameSourceCount(request.source) > 0) return false;
    ComplainNoFrame(request.source, input);
    return true;
}

int RunFrames(const std::vector<std::string>& args) {
    WriteOptions options;
    if (!ParseWriteOptions(args, false, true, options)) return -1;
    const std::string& input = options.files[0];
    const std::string& base = options.files[1];
    // Without --format the base's extension is part of the name, as in the
    // viewer, so the first writable format is the default.
    FormatId id = kFormatNone;
    if (options.format.empty()) {
        FormatFilterList list;
        FormatFilter(&list, kFilterSave, -1);
        id = list.ids[0];
    } else {
        id = ChooseFormat(options, base);
    }
    char extension[kMaxPath];
    if (id == kFormatNone || !FormatExtension(id, extension, 0, sizeof extension)) return 1;
    if (!OptionsFit(options, id)) return 1;
    SaveOptions saveOptions(options);
    SourcePtr source = OpenOrComplain(input);
    if (!source) return 1;
    Progress progress(FrameSourceCount(source.get()), options.quiet);
    ExportRequest request;
    request.formatId = id;
    request.fileName = base.c_str();
    request.source = source.get();
    request.options = saveOptions.forFormat(id);
    request.progress = progress.callback();
    const bool exported = ExportNumberedFiles(&request);
    if (ReportInput(exported, request, progress, input)) return exported ? 0 : 1;
    char name[kMaxPath];
    if (!ExportNumberedName(base.c_str(), id, request.written, FrameSourceCount(source.get()), name, sizeof name)) {
        std::fprintf(stderr, "movrel: file names too long (at most %zu characters): %s\n", kMaxPath - 1, base.c_str());
        return 1;
    }
    Complain(request.error, name);
    return 1;
}

// ---- Exporting a whole animation through a multi-frame stream -----------------

// The formats that hold a whole animation, in the order the help lists them.
const FormatId kExportFormats[] = {kFormatGif, kFormatApng, kFormatAvi, kFormatFlic, kFormatSpr};

// "AVI (Audio Video Interleaved animation file)": the formats export can write.
std::string ExportFormats() {
    std::string text;
    char extension[kMaxPath];
    for (FormatId id : kExportFormats) {
        if (!FormatFind(id) || !FormatExtension(id, extension, 0, sizeof extension)) continue;
        if (!text.empty()) text += ", ";
        text += std::string(extension) + " (" + FormatFind(id)->description + ")";
    }
    return text;
}

// The format that --format or the output's extension names, or none after a message.
FormatId ChooseExportFormat(const WriteOptions& options, const std::string& output) {
    const std::string name = Upper(options.format.empty() ? ExtensionOf(output) : options.format);
    char extension[kMaxPath];
    for (FormatId id : kExportFormats)
        for (int n = 0; !name.empty() && FormatFind(id) && FormatExtension(id, extension, n, sizeof extension); ++n)
            if (name == extension) return id;
    if (name.empty())
        std::fprintf(stderr, "movrel: %s has no extension to tell the format; use --format NAME\n", output.c_str());
    else
        std::fprintf(stderr, "movrel: cannot export to the format '%s'\n", name.c_str());
    std::fprintf(stderr, "formats that can be exported: %s\n", ExportFormats().c_str());
    return kFormatNone;
}

int RunExport(const std::vector<std::string>& args) {
    WriteOptions options;
    if (!ParseWriteOptions(args, false, true, options)) return -1;
    const std::string& input = options.files[0];
    const std::string& output = options.files[1];
    const FormatId id = ChooseExportFormat(options, output);
    if (id == kFormatNone || !OptionsFit(options, id)) return 1;
    if (output.size() >= kMaxPath) {
        std::fprintf(stderr, "movrel: file name too long (at most %zu characters): %s\n", kMaxPath - 1, output.c_str());
        return 1;
    }
    SourcePtr source = OpenOrComplain(input);
    if (!source) return 1;
    Progress progress(FrameSourceCount(source.get()), options.quiet);
    ExportRequest request;
    request.formatId = id;
    request.fileName = output.c_str();
    request.source = source.get();
    request.progress = progress.callback();
    request.dither = options.dither;
    const bool exported = ExportAnimation(&request);
    if (ReportInput(exported, request, progress, input)) return exported ? 0 : 1;
    if (request.error.cancelled()) {
        std::fprintf(stderr, "movrel: export cancelled: %s\n", output.c_str());
        return 1;
    }
    Complain(request.error, output);
    return 1;
}

const Command kCommands[] = {
    {"info", "info FILE", "Prints the format, width, height, bit depth, number of frames, how long they play\n"
     "(m:ss.mmm, the sum of the delays) and each frame's delay.", RunInfo},
    {"check", "check FILE...",
     "Decodes every frame of each FILE and prints one line per file: the frames, how long they\n"
     "play and \"ok\", or the first frame that cannot be decoded (counting from 0) and why.\n"
     "Exits with 1 when any file cannot be read whole.",
     RunCheck},
    {"framemd5", "framemd5 [--pal8] FILE",
     "Prints one line per frame: index,delay_ms,WIDTHxHEIGHT,md5 where md5 is the MD5 of the frame\n"
     "as packed top-down RGB24 (the bytes that ffmpeg's framemd5 with -pix_fmt rgb24 hashes).\n"
     "--pal8 (palette images only): the MD5 of the bytes that ffmpeg's framemd5 with -pix_fmt pal8\n"
     "hashes: the palette indices, width bytes a row, then the 256 palette entries as 4 bytes each\n"
     "(blue, green, red, 255).",
     RunFrameMd5},
    {"convert", "convert IN OUT [--format NAME] [--frame N] [--rle] [--dither]",
     "Saves one frame of IN (the first, or frame N counting from 0) as OUT. The format is NAME\n"
     "(an extension such as BMP), else the one OUT's extension names. An existing OUT is replaced\n"
     "only once the new file is complete. SPR (Pro Motion) holds animations: it gets that frame\n"
     "and every one after it. --rle: run-length encoded TGA output. GIF holds 256 colours: a frame\n"
     "with more gets a palette chosen for it, its pixels the nearest colours; --dither diffuses\n"
     "the difference (Floyd-Steinberg) instead. PNG: palette images with the colours they use,\n"
     "RGB, or RGBA where there is alpha.",
     RunConvert},
    {"thumbnail", "thumbnail IN OUT [--size N]",
     "Saves the first frame of IN reduced to fit N x N pixels (96 unless given), the aspect\n"
     "ratio kept and never enlarged, each pixel the average of the pixels it covers, as a 24-bit\n"
     "image (as GIF, with a palette chosen for it). When the first frame is flat (fewer than 1%\n"
     "of its pixels differ from its most common colour) it is the first frame that is not, looked\n"
     "for at most 120 frames or 2 seconds of playing ahead; only those frames are decoded. The\n"
     "format is the one OUT's extension names, as for convert. An existing OUT is replaced only\n"
     "once the new file is complete.",
     RunThumbnail},
    {"frames", "frames IN BASE [--format NAME] [--quiet] [--rle] [--dither]",
     "Saves every frame of IN as BASE000.EXT, BASE001.EXT, ... where EXT is the format's default\n"
     "extension (BMP unless --format names another). BASE is used as given: an extension in it\n"
     "becomes part of the names. Long runs show progress on stderr; --quiet turns it off.\n"
     "--rle: run-length encoded TGA output. --dither: as for convert, GIF output.",
     RunFrames},
    {"export", "export IN OUT [--format NAME] [--quiet] [--dither]",
     "Writes every frame of IN into one animation file OUT, as the viewer's export commands do.\n"
     "The format is NAME, else the one OUT's extension names. GIF: each frame with its own delay\n"
     "(rounded to hundredths of a second, at least 2), looping for ever; one colour table for\n"
     "the frames that share their colours, after the first frame only the rectangle that\n"
     "changed, equal frames joined.\n"
     "Frames of more than 256 colours get a palette chosen for the animation (or their own when\n"
     "it serves them clearly better), the nearest colours or, with --dither, Floyd-Steinberg.\n"
     "APNG (OUT.png or OUT.apng, or --format apng): lossless, one palette when the frames share\n"
     "it, else RGB (RGBA where there is alpha); after the first frame only the rectangle that\n"
     "changed, equal frames joined, delays exact, looping for ever.\n"
     "AVI: uncompressed 24-bit video of any length (OpenDML past 1 GiB) at the exact rate:\n"
     "1000 / the greatest common divisor of the delays (delays below 10 ms count as 10), as a\n"
     "ratio (80 ms: 25/2 = 12.5 frames per second), frames that show longer repeated.\n"
     "FLC: 8-bit frames (deeper ones reduced to 256 colours each), the speed the greatest\n"
     "common divisor of the delays, longer frames repeated as empty frames, the ring frame at\n"
     "the end. SPR (Pro Motion): 8-bit frames of one size,\n"
     "each with its palette and delay. An existing OUT is replaced only once the new file is\n"
     "complete. Long runs show progress on stderr; --quiet turns it off.",
     RunExport},
};

int MainUsage(FILE* out) {
    std::fprintf(out, "usage: movrel COMMAND [ARGS]   (movrel COMMAND --help for details; movrel --version)\n\n"
                      "commands:\n");
    for (const Command& c : kCommands) std::fprintf(out, "  %s\n", c.usage);
    return out == stdout ? 0 : 2;
}

#ifndef _WIN32
// Interrupted: the file being written goes, and none is put in place after
// it, then the signal ends the program as it would have (so the exit status
// tells the shell what happened). The handler runs on the thread it
// interrupts: a file being put in place there is either in place or never.
void RemovePendingAndDie(int signal) {
    SaveInterrupt(false);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void HandleSignals() {
    // Past a file-size limit a write fails (and is reported) instead of
    // ending the program with the file half written.
    std::signal(SIGXFSZ, SIG_IGN);
    // A signal the caller ignores (a background job's SIGINT) stays ignored.
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        if (std::signal(s, RemovePendingAndDie) == SIG_IGN) std::signal(s, SIG_IGN);
}
#else
// Ctrl+C, Ctrl+Break, a closed console window: the file being written goes,
// and none is put in place after it (the handler runs on a thread of its
// own, so it waits for one being put in place); the system then ends the
// program as it would have.
BOOL WINAPI RemovePendingOnControl(DWORD) {
    SaveInterrupt(true);
    return FALSE;
}

void HandleSignals() { SetConsoleCtrlHandler(RemovePendingOnControl, TRUE); }
#endif

}  // namespace

int Main(const std::vector<std::string>& arguments) {
    HandleSignals();
    if (arguments.size() < 2) return MainUsage(stderr);
    const std::string& name = arguments[1];
    if (name == "--help" || name == "-h" || name == "help") return MainUsage(stdout);
    if (name == "--version") {
        std::printf("movrel %s\n", MOVREL_VERSION_TEXT);
        return 0;
    }
    const std::vector<std::string> args(arguments.begin() + 2, arguments.end());
    for (const Command& command : kCommands) {
        if (name != command.name) continue;
        if (WantsHelp(args)) return Usage(command);
        FormatRegisterAll();
        const int result = command.run(args);
        return result < 0 ? ArgumentsUnusable(command) : result;
    }
    std::fprintf(stderr, "movrel: unknown command '%s'\n", name.c_str());
    return MainUsage(stderr);
}

#ifdef _WIN32
// File names reach the library as UTF-8, whatever the console's code page.
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i) {
        std::vector<char> text(std::wcslen(argv[i]) * 3 + 1);
        if (!Utf8FromWide(argv[i], text.data(), text.size())) {
            std::fprintf(stderr, "movrel: argument %d is not valid text\n", i);
            return 1;
        }
        arguments.emplace_back(text.data());
    }
    return Main(arguments);
}
#else
int main(int argc, char** argv) { return Main(std::vector<std::string>(argv, argv + argc)); }
#endif
