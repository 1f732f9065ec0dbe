#include "Recover.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <numeric>

#include "RawPictures.h"
#include "RebuiltAvi.h"
#include "RiffChunks.h"
#include "pure/Fourcc.h"
#include "pure/PixelFormats.h"
#include "pure/StreamFormat.h"

namespace kestro::avi {

using riff::Le32;

namespace {

// Sizes capture cards and cameras deliver, most common first.
constexpr std::pair<int32_t, int32_t> kCommonSizes[] = {
    {640, 480},   {320, 240}, {720, 480}, {720, 576},   {1920, 1080}, {1280, 720},
    {352, 288},   {352, 240}, {768, 576}, {800, 600},   {1024, 768},  {1280, 1024},
    {1440, 1080}, {160, 120}, {176, 144}, {1920, 1200}, {2560, 1440}, {3840, 2160},
};

struct Format {
    std::vector<uint8_t> bytes; // the stream format as stored
    uint32_t scale = 1, rate = 30;
    bool timed = false; // scale and rate came with it
    std::string source; // where it came from, for the report
};

std::string Where(size_t i, const FoundRecord& r) {
    const std::string where = "frame " + std::to_string(i) + ", record " + std::to_string(i);
    if (r.path.empty()) // not a record that parses
        return where + " (the chunk at offset " + riff::Hex(r.chunk.offset) + ")";
    return where + " (" + r.path + " at " + std::to_string(r.offset) + ", " +
           std::to_string(r.size) + " bytes)";
}

std::string AndAfter(uint64_t after) {
    return after == 0 ? std::string("the last record")
                      : "it and the " + std::to_string(after) + " records after it";
}

std::string Describe(const StreamFormatHeader& h) {
    const PixelFormat* kind = FormatOf(ClassifyPixelKind(h.biSourceCompression, h.biBitCount));
    std::string text = std::to_string(h.biWidth) + "x" + std::to_string(h.biHeight) + " ";
    if (h.biChainHandler)
        return text + "chained '" + FourccText(h.biChainHandler) + "'";
    return text + (kind ? kind->name : FourccText(h.biSourceCompression));
}

std::optional<Format> HeaderFormat(const AviScan& scan) {
    if (!scan.header || scan.header->kestStream < 0)
        return std::nullopt;
    const StreamInfo& s = scan.header->streams[size_t(scan.header->kestStream)];
    Format f{s.format, s.scale, s.rate, s.scale && s.rate, "the header the file kept"};
    if (!f.timed)
        f.scale = 1, f.rate = 30;
    return f;
}

std::optional<Format> TakeFormat(const RecordStream& stream, RecoverTool& tool) {
    if (!stream.firstPassed)
        return std::nullopt;
    const FoundRecord& r = *stream.firstPassed;
    std::string name;
    auto take = tool.TakeOf(r, name);
    if (!take || take->id != r.take || take->streamFormat.size() < kStreamHeaderBytes ||
        !ReadStreamFormat(take->streamFormat.data()) ||
        Le32(take->streamFormat.data() + 16) != kFourccKest)
        return std::nullopt;
    return Format{take->streamFormat, 1, 30, false, "the take file " + name};
}

std::vector<uint8_t> RawFormat(PixelKind kind, int32_t width, int32_t height) {
    const PixelFormat* f = FormatOf(kind);
    BitmapHeader in{};
    in.biSize = kBitmapHeaderBytes;
    in.biWidth = width;
    in.biHeight = height;
    in.biPlanes = 1;
    in.biBitCount = f->bitCount;
    in.biCompression = f->fourcc;
    in.biSizeImage = DibImageBytes(width, height, f->bitCount).value_or(0);
    const StreamFormatHeader out = MakeStreamFormat(in);
    const auto* p = reinterpret_cast<const uint8_t*>(&out);
    return {p, p + kStreamHeaderBytes};
}

// The format when nothing in the files says: given, or inferred from the frames' size. Empty
// with `code` set after a message.
std::optional<Format> ChosenFormat(const RecoverRequest& request, const RecordStream& stream,
                                   RecoverTool& tool, int& code) {
    if (request.kind != KIND_NONE)
        return Format{RawFormat(request.kind, request.width, request.height), 1, 30, false,
                      "the command line"};
    const uint32_t bytes = stream.passedBytes;
    const bool same = !stream.passedSizesDiffer;
    const auto guesses = same ? GuessesForFrameBytes(bytes, false) : std::vector<FrameGuess>{};
    if (guesses.size() == 1) {
        const FrameGuess& g = guesses[0];
        const std::string named =
            std::to_string(g.width) + "x" + std::to_string(g.height) + " " + FormatOf(g.kind)->name;
        tool.Warning("no stream format survived; " + named +
                     " is the one common size and kind of " + std::to_string(bytes) +
                     "-byte frames" +
                     (g.kind == KIND_YUY2 ? " (uyvy frames are as large: say --format uyvy "
                                            "--size WxH if they are)"
                                          : ""));
        return Format{RawFormat(g.kind, g.width, g.height), 1, 30, false,
                      "inferred from the frame size: " + named};
    }
    std::string text = "no stream format survived (no header, no take file beside the pieces)";
    if (!same) {
        text += " and the frames differ in size (a chained codec's packets): the format cannot be "
                "inferred";
    } else {
        std::string list;
        for (const auto& g : GuessesForFrameBytes(bytes, true))
            list.append(list.empty() ? " " : ", ")
                .append(std::to_string(g.width) + "x" + std::to_string(g.height) + " ")
                .append(FormatOf(g.kind)->name);
        text.append("; ").append(std::to_string(bytes)).append("-byte frames are ");
        text.append(list.empty() ? std::string("no common size") : "any of:" + list);
    }
    tool.Error(text + ". Say which with --format KIND --size WxH [--rate FPS]");
    code = kRecoverRefused;
    return std::nullopt;
}

// Records too small for one picture of the format are refused, as the readers refuse them.
void CheckPictureSize(const StreamFormatHeader& h, RecordStream& stream) {
    if (h.biChainHandler)
        return;
    const PixelFormat* kind = FormatOf(ClassifyPixelKind(h.biSourceCompression, h.biBitCount));
    const auto picture = DibImageBytes(h.biWidth, h.biHeight, kind ? kind->bitCount : 0);
    for (auto& r : stream.records)
        if (!r.refused && picture && r.size < *picture)
            r.refused = "smaller than one " + Describe(h) + " picture (" +
                        std::to_string(*picture) + " bytes)";
}

void ApplyRate(const RecoverRequest& request, Format& f, RecoverTool& tool) {
    if (f.timed && request.rate > 0)
        tool.Warning("--rate ignored: the header the file kept says " + std::to_string(f.rate) +
                     "/" + std::to_string(f.scale) + " frames a second");
    if (f.timed)
        return;
    if (request.rate > 0) {
        const uint64_t rate = uint64_t(std::llround(request.rate * 1000));
        const uint64_t g = std::gcd(rate, uint64_t(1000));
        f.rate = uint32_t(rate / g), f.scale = uint32_t(1000 / g);
    } else {
        tool.Warning("the frame rate did not survive: 30 frames a second assumed (say --rate FPS)");
    }
}

// The audio streams of a surviving header, their chunks placed among the frames as they lay (one
// more walk, where there are any); chunks from `limit` on belong to frames that are not
// recovered.
void AddAudio(ByteFile& in, const AviScan& scan, uint64_t audioChunks, uint64_t limit,
              RebuiltAvi& avi, RecoverTool& tool) {
    if (!audioChunks)
        return;
    std::vector<int> target(100, -1);
    if (scan.header)
        for (size_t i = 0; i < scan.header->streams.size(); ++i) {
            const StreamInfo& s = scan.header->streams[i];
            if (s.fccType != MakeFourcc("auds") || s.format.size() < 16 || !s.scale || !s.rate)
                continue;
            const uint16_t align = uint16_t(s.format[12] | s.format[13] << 8);
            target[i] = int(avi.streams.size());
            avi.streams.push_back({s.fccType, s.fccHandler, s.scale, s.rate, align, s.format});
        }
    uint64_t leftOut = 0;
    std::vector<RebuiltChunk> merged;
    size_t video = 0;
    ScanAvi(in, [&](const ScannedChunk& c, const AviScan&) {
        while (video < avi.chunks.size() && avi.chunks[video].inputOffset < c.offset)
            merged.push_back(avi.chunks[video++]);
        if (video < avi.chunks.size() && avi.chunks[video].inputOffset == c.offset) {
            merged.push_back(avi.chunks[video++]);
            return;
        }
        const int stream = StreamOfChunkId(c.id);
        const int to = stream >= 0 && stream < 100 ? target[size_t(stream)] : -1;
        if (to > 0 && c.whole && c.offset < limit && char(c.id >> 16) == 'w')
            merged.push_back({uint8_t(to), c.offset, c.size});
        else if (char(c.id >> 16) == 'w')
            ++leftOut;
    });
    while (video < avi.chunks.size())
        merged.push_back(avi.chunks[video++]);
    avi.chunks = std::move(merged);
    if (leftOut)
        tool.Warning(std::to_string(leftOut) +
                     " audio chunks left out: their stream's format did not survive, or they "
                     "follow the last frame recovered");
}

void Report(const RecordStream& stream, const RecoveredRun& run, const Format& f,
            RecoverTool& tool) {
    tool.Say("records: " + std::to_string(stream.chunks) + " chunks '" +
             FourccText(stream.chunkId) + "', " + std::to_string(stream.passed) +
             " pass every check a reader makes");
    StreamFormatHeader h = *ReadStreamFormat(f.bytes.data());
    tool.Say("format: " + Describe(h) + ", from " + f.source + "; " + std::to_string(f.rate) + "/" +
             std::to_string(f.scale) + " frames a second");
    const double seconds = double(run.frames) * f.scale / f.rate;
    char span[64];
    std::snprintf(span, sizeof span, "%.3f s", seconds);
    tool.Say("frames: " + std::to_string(run.frames) + " recovered (frames 0 to " +
             (run.frames ? std::to_string(run.frames - 1) : std::string("none")) + "), " + span);
    if (!run.stop)
        return;
    const uint64_t after = stream.chunks - *run.stop;
    const FoundRecord& r = stream.records[*run.stop];
    if (run.stoppedByZero)
        tool.Say("zero frames: " + Where(*run.stop, r) +
                 " reads all zero (a write that had not reached the disk): " + AndAfter(after - 1) +
                 " left out (--keep-zero-frames keeps them)");
    else
        tool.Say("left out: " + Where(*run.stop, r) + ": " + *r.refused + "; " +
                 AndAfter(after - 1));
}

} // namespace

std::vector<FrameGuess> GuessesForFrameBytes(uint32_t bytes, bool withUyvy) {
    std::vector<FrameGuess> out;
    for (PixelKind kind : {KIND_YUY2, KIND_UYVY, KIND_RGB24}) {
        if (kind == KIND_UYVY && !withUyvy)
            continue;
        for (const auto& [w, h] : kCommonSizes)
            if (DibImageBytes(w, h, FormatOf(kind)->bitCount) == bytes)
                out.push_back({kind, w, h});
    }
    return out;
}

std::optional<std::string> UnclosedCaptureText(ByteFile& file, const std::string& command) {
    std::string error;
    if (ReadAviLayout(file, false, error)) // closed: no walk over its chunks
        return std::nullopt;
    AviScan scan;
    const auto stream = FindRecords(
        file, scan, true, [](const FrameRecordView&) { return std::optional<std::string>(); });
    if (scan.closed || !stream.passed)
        return std::nullopt;
    return "the AVI was not closed by the program that wrote it; `" + command +
           "` rebuilds it from its " + std::to_string(stream.passed) + " frame records";
}

namespace {

// A take striped over several data files has its frames in each in turn: when the first record
// of one of them is refused, that data file is missing (its disk not here, or moved), and no run
// of frames longer than the turn goes on without it. Says which one; nothing when the run did not
// stop so.
std::optional<std::string> MissingStripe(const RecordStream& stream, const RecoveredRun& run,
                                         RecoverTool& tool) {
    if (!run.stop || !stream.firstPassed)
        return std::nullopt;
    std::string takeName;
    const auto take = tool.TakeOf(*stream.firstPassed, takeName);
    const FoundRecord& stop = stream.records[*run.stop];
    if (!take || take->stripeFiles.size() < 2 || !stop.refused || stop.path.size() < 4)
        return std::nullopt;
    const auto dataFile = [](std::string_view path) {
        std::string lower(path.substr(0, path.size() < 4 ? 0 : path.size() - 4));
        for (char& c : lower)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        return lower;
    };
    const std::string missing = dataFile(stop.path);
    for (size_t i = 0; i < *run.stop; ++i)
        if (dataFile(stream.records[i].path) == missing)
            return std::nullopt; // frames of it were found: it is there, this frame is not
    for (size_t k = 0; k < take->stripeFiles.size(); ++k) {
        if (dataFile(take->stripeFiles[k] + ".000") == missing)
            return "stripe " + std::to_string(k) + " of take " + TakeIdText(take->id) + " (" +
                   take->stripeFiles[k] + ", as " + takeName +
                   " names it) is missing: its first frame, " + Where(*run.stop, stop) + ": " +
                   *stop.refused +
                   ". Frames go to each data file of the take in turn: bring that one back "
                   "(or name where it lies), then recover again; nothing was written";
    }
    return std::nullopt;
}

} // namespace

int Recover(const RecoverRequest& request, RecoverTool& tool) {
    std::string error;
    ByteFile* in = tool.OpenInput(request.input, error);
    if (!in) {
        tool.Error(error);
        return kRecoverRefused;
    }
    if (tool.IsInput(request.output) || request.output == request.input) {
        tool.Error(request.output + " is the input: recover writes a new AVI beside it");
        return kRecoverRefused;
    }
    if (tool.Exists(request.output)) {
        tool.Error(request.output + " exists already: name a new file");
        return kRecoverRefused;
    }
    AviScan scan;
    RecordStream stream =
        FindRecords(*in, scan, true, [&](const FrameRecordView& r) { return tool.CheckRecord(r); });
    if (scan.closed)
        tool.Warning(request.input + " reads as a whole AVI; its records are rebuilt all the same");
    if (tool.Interrupted())
        return kRecoverInterrupted;
    if (!stream.chunks || !stream.passed) {
        tool.Error(request.input + ": no chunk of the " + std::to_string(scan.fileSize) +
                   "-byte file is a frame record whose frame is on the disk" +
                   (!stream.chunks ? std::string()
                                   : "; the first: " + Where(0, stream.records[0]) + ": " +
                                         *stream.records[0].refused));
        return !stream.chunks ? kRecoverRefused : kRecoverBroken;
    }
    int code = kRecoverRefused;
    auto format = HeaderFormat(scan);
    if (!format)
        format = TakeFormat(stream, tool);
    if (format && request.kind != KIND_NONE)
        tool.Warning("--format ignored: " + format->source + " names the stream format");
    if (!format && !(format = ChosenFormat(request, stream, tool, code)))
        return code;
    const StreamFormatHeader h = *ReadStreamFormat(format->bytes.data());
    if (auto refused = PictureSizeRefusal(h)) {
        tool.Error(request.input + ": " + *refused + " (the stream format of " + format->source +
                   "); nothing was written");
        return kRecoverRefused;
    }
    ApplyRate(request, *format, tool);
    CheckPictureSize(h, stream);
    const RecoveredRun run =
        RecoverableRun(stream, request.keepZeroFrames, kMostWritesInFlight,
                       [&](const FoundRecord& r) { return tool.FrameIsZero(r); });
    if (auto missing = MissingStripe(stream, run, tool)) {
        tool.Error(request.input + ": " + *missing);
        return kRecoverBroken;
    }
    if (run.frames == 0) {
        const FoundRecord& first = stream.records[0];
        tool.Error(request.input + ": " + Where(0, first) + ": " +
                   (first.refused ? *first.refused : std::string("reads all zero")) +
                   ": no frame can be recovered");
        return kRecoverBroken;
    }
    RebuiltAvi avi;
    avi.streams.push_back({MakeFourcc("vids"), kFourccKest, format->scale, format->rate, 0,
                           format->bytes, int16_t(h.biWidth), int16_t(AbsoluteHeight(h.biHeight))});
    for (size_t i = 0; i < run.frames; ++i)
        avi.chunks.push_back({0, stream.records[i].chunk.offset, stream.records[i].chunk.size});
    AddAudio(*in, scan, stream.audioChunks,
             run.stop ? stream.records[*run.stop].chunk.offset : UINT64_MAX, avi, tool);
    Report(stream, run, *format, tool);
    ByteFile* out = tool.CreateNew(request.output, error);
    if (!out) {
        tool.Error(error);
        return kRecoverNotWritten;
    }
    if (!WriteRebuiltAvi(*in, *out, avi, error) || tool.Interrupted() || !tool.FinishNew(error)) {
        tool.DiscardNew();
        if (tool.Interrupted())
            return kRecoverInterrupted;
        tool.Error(request.output + " not written: " + error);
        return kRecoverNotWritten;
    }
    tool.Say("written: " + request.output + " (" + std::to_string(run.frames) + " frames, " +
             std::to_string(RebuiltAviBytes(avi)) + " bytes)");
    return kRecoverDone;
}

} // namespace kestro::avi
