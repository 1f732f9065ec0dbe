// info and verify: every record of the KEST stream checked against the piece it names, and for
// info what the stream holds, where its pieces were found and what a pipe needs.
extern "C" {
#include <libavcodec/avcodec.h>
}

#include <cstdio>
#include <strings.h>
#include <set>

#include "CodePages.h"
#include "Commands.h"
#include "KestStream.h"
#include "Kestro.h"
#include "Messages.h"
#include "RawPictures.h"
#include "TakeRefusal.h"
#include "Signals.h"
#include "pure/Fourcc.h"

namespace kestro::tool {

namespace {

struct Tally {
    uint64_t frames = 0;
    uint64_t bad = 0;
    uint64_t bytes = 0; // of the frames whose records hold
};

// Reads every packet; the KEST stream's records are checked, the first ten problems named (all
// of them with `verify`). The last result of the reader.
int CheckEveryRecord(const Input& input, const KestInfo& info, RecordChecker& checker, bool verify,
                     Tally& tally) {
    AVPacket* pkt = av_packet_alloc();
    int r;
    while ((r = av_read_frame(input.ctx, pkt)) >= 0) {
        if (pkt->stream_index == info.stream) {
            FrameSource source;
            if (auto problem = checker.Check(tally.frames, pkt->data, size_t(pkt->size), source)) {
                if (verify || tally.bad < 10)
                    Error(*problem);
                ++tally.bad;
            } else {
                tally.bytes += source.record.size;
            }
            ++tally.frames;
        }
        av_packet_unref(pkt);
        if (Interrupted())
            break;
    }
    av_packet_free(&pkt);
    return r;
}

void PrintStream(const std::string& path, const KestInfo& info) {
    const auto& f = info.format;
    std::printf("file: %s\n", path.c_str());
    std::printf("stream: %d, KEST, %dx%d %s, %u/%u fps, start %u\n", info.stream, f.biWidth,
                f.biHeight, info.bottomUp ? "bottom-up" : "top-down", info.rate, info.scale,
                info.start);
    if (info.chained) {
        auto chain = ReadBitmapHeader(info.chainFormat.data());
        std::printf("stored: chained codec '%s', its format '%s' %u bits, %zu bytes\n",
                    FourccText(f.biChainHandler).c_str(),
                    FourccText(chain ? chain->biCompression : 0).c_str(),
                    chain ? chain->biBitCount : 0, info.chainFormat.size());
        return;
    }
    std::printf("stored: raw '%s' (%s), %u bytes a picture\n",
                FourccText(f.biSourceCompression).c_str(), avi::PixFmtName(info.kind),
                info.storedBytes);
    // Quoted for a POSIX shell, which would take 1:a? for a pattern of file names.
    const std::string base =
        path.size() >= 4 && strcasecmp(path.c_str() + path.size() - 4, ".avi") == 0
            ? path.substr(0, path.size() - 4)
            : path;
    for (const auto& target : avi::kExportTargets)
        std::printf("export: %s: kestro export '%s' - | ffmpeg %s -s %dx%d "
                    "-r %u/%u -i - -i '%s' -map 0:v -map '1:a?' %s%s%s%s '%s%s'\n",
                    target.label, path.c_str(), avi::FfmpegRawInput(info.kind).c_str(), info.width,
                    info.height, info.rate, info.scale, path.c_str(), *target.filter ? "-vf '" : "",
                    target.filter, *target.filter ? "' " : "", target.options, base.c_str(),
                    target.extension);
}

// The takes the data file holds, by the take files beside its pieces.
void PrintTakes(const RecordChecker& checker) {
    std::set<std::string> shown;
    for (const auto& [piece, beside] : checker.Takes()) {
        if (beside.file.empty() || !shown.insert(beside.file).second)
            continue;
        const TakeFileRead& read = beside.take;
        std::printf(
            "take: %s (%s)\n",
            (read.take ? avi::TakeSummary(*read.take) : avi::DamagedTakeSummary(read.damage))
                .c_str(),
            beside.file.c_str());
    }
    if (shown.empty() && !checker.Takes().empty())
        std::printf("take: no take file beside the pieces (a capture of a build before takes, or "
                    "its take file was lost): frames are not checked against a take\n");
}

void PrintInfo(const std::string& path, const KestInfo& info, const Input& input,
               RecordChecker& checker, const Tally& tally) {
    PrintStream(path, info);
    std::printf("frames: %llu (header: %u), %.1f MB of frame data\n",
                (unsigned long long)tally.frames, info.length, double(tally.bytes) / 1e6);
    for (unsigned i = 0; i < input.ctx->nb_streams; ++i) {
        if (int(i) == info.stream)
            continue;
        const AVCodecParameters* p = input.ctx->streams[i]->codecpar;
        const char* type = av_get_media_type_string(p->codec_type);
        std::printf("other stream: %u, %s %s (copied by export)\n", i, type ? type : "data",
                    avcodec_get_name(p->codec_id));
    }
    for (const auto& [name, piece] : checker.finder().Found()) {
        auto it = checker.framesPerPiece().find(name);
        std::printf("piece: %s -> %s (%llu bytes, %llu frames, found by %s)\n",
                    Shown(piece.name).c_str(), piece.path.c_str(), (unsigned long long)piece.size,
                    (unsigned long long)(it == checker.framesPerPiece().end() ? 0 : it->second),
                    piece.rule.c_str());
    }
    PrintTakes(checker);
}

} // namespace

int RunInspect(const Options& options, bool verify) {
    if (options.args.size() != 1) {
        Error(std::string("usage: kestro ") + (verify ? "verify" : "info") + " IN.avi [options]");
        return kExitUsage;
    }
    const std::string& path = options.args[0];
    KestInfo info;
    avi::AviLayout layout;
    std::string error;
    Input input;
    if (!ReadCapture(path, info, layout, error, true) || !input.Open(path, info, error)) {
        Error(error);
        return Interrupted() ? kExitInterrupted : kExitUsage;
    }
    RecordChecker checker(options, info);
    Tally tally;
    if (layout.cut) {
        Error(CutShortText(path));
        ++tally.bad;
    }
    const int r = CheckEveryRecord(input, info, checker, verify, tally);
    if (Interrupted())
        return Stopped(path + " was not read to its end");
    if (r != AVERROR_EOF && r < 0) {
        Error(path + ": reading stopped after frame " + std::to_string(tally.frames) + ": " +
              AvError(r));
        ++tally.bad;
    }
    if (tally.frames < info.length) {
        Error(path + ": the stream header promises " + std::to_string(info.length) +
              " frames, the file holds " + std::to_string(tally.frames) + " (AVI cut short?)");
        ++tally.bad;
    }
    if (!verify)
        PrintInfo(path, info, input, checker, tally);
    if (tally.bad) {
        Error(path + ": " + std::to_string(tally.bad) + " problem(s) found");
        return kExitBroken;
    }
    if (verify)
        std::printf("%s: %llu frames, every record inside an existing piece\n", path.c_str(),
                    (unsigned long long)tally.frames);
    return kExitOk;
}

} // namespace kestro::tool
