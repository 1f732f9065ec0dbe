// info and verify: what a capture's stream format says, every frame record checked against the
// piece it names, and the command that exports the capture on Windows.
#include <windows.h>
#include <vfw.h>

#include <cstdio>
#include <set>
#include <vector>

#include "CaptureAvi.h"
#include "Host.h"
#include "HostWin.h"
#include "RawPictures.h"
#include "TakeRefusal.h"
#include "pure/FrameRecord.h"
#include "pure/StreamFormat.h"

namespace host {

namespace {

constexpr uint64_t kProblemsNamed = 20;

// A path as a command line takes it: quoted when the shell would split or interpret it.
std::string ShellArgument(const std::string& path) {
    return path.find_first_of(" \t&()^;,=%!'\"") == std::string::npos ? path : "\"" + path + "\"";
}

// The commands that turn the capture into standard files on Windows: the pictures through the
// pipe, the sound (if any) straight from the capture AVI. Empty, with the reason in `why`, when
// the frames are no raw pictures.
std::vector<std::string> ExportCommands(const std::string& path,
                                        const kestro::StreamFormatHeader& h,
                                        const AVISTREAMINFOA& info, std::string& why) {
    if (h.biChainHandler) {
        why = "none through the pipe: the frames are " + FourccText(h.biChainHandler) +
              " packets, not raw pictures (kestro export copies them into .avi or .mkv)";
        return {};
    }
    auto picture = kestro::avi::RawPictureOf(h, why);
    if (!picture) {
        why = "not possible: " + why;
        return {};
    }
    const size_t n = path.size();
    const bool avi = n >= 4 && lstrcmpiA(path.c_str() + n - 4, ".avi") == 0;
    const std::string base = path.substr(0, avi ? n - 4 : n);
    const std::string input =
        "kestro-host export " + ShellArgument(path) + " - | ffmpeg " +
        kestro::avi::FfmpegRawInput(picture->kind) + " -s " + std::to_string(picture->width) + "x" +
        std::to_string(picture->height) + " -r " + std::to_string(info.dwRate ? info.dwRate : 1) +
        "/" + std::to_string(info.dwScale ? info.dwScale : 1) + " -i - -i " + ShellArgument(path) +
        " -map 0:v -map 1:a? ";
    std::vector<std::string> commands;
    for (const auto& target : kestro::avi::kExportTargets)
        commands.push_back(input +
                           (*target.filter ? "-vf " + std::string(target.filter) + " " : "") +
                           target.options + " " + ShellArgument(base + target.extension));
    return commands;
}

void PrintFormat(const std::string& path, const AviReader& avi,
                 const kestro::StreamFormatHeader& h) {
    const AVISTREAMINFOA& info = avi.info();
    std::printf("%s\n", path.c_str());
    std::printf("stream   handler %s, %lu/%lu frames per second, %ld frames from %ld\n",
                FourccText(info.fccHandler).c_str(), (unsigned long)info.dwRate,
                (unsigned long)info.dwScale, long(avi.Length()), long(avi.Start()));
    std::printf("format   %zu bytes\n", avi.format().size());
    std::printf("  biSize               %lu\n", (unsigned long)h.biSize);
    std::printf("  biWidth x biHeight   %ld x %ld\n", long(h.biWidth), long(h.biHeight));
    std::printf("  biPlanes             %u\n", unsigned(h.biPlanes));
    std::printf("  biBitCount           %u\n", unsigned(h.biBitCount));
    std::printf("  biCompression        %s\n", FourccText(h.biCompression).c_str());
    std::printf("  biSizeImage          %lu\n", (unsigned long)h.biSizeImage);
    std::printf("  biXPelsPerMeter      %ld\n", long(h.biXPelsPerMeter));
    std::printf("  biYPelsPerMeter      %ld\n", long(h.biYPelsPerMeter));
    std::printf("  biClrUsed            %lu\n", (unsigned long)h.biClrUsed);
    std::printf("  biClrImportant       %lu\n", (unsigned long)h.biClrImportant);
    std::printf("  biSourceCompression  %s (stored %s)\n",
                FourccText(h.biSourceCompression).c_str(), StoredKindName(h).c_str());
    std::printf("  biChainHandler       %s\n",
                h.biChainHandler ? FourccText(h.biChainHandler).c_str() : "0 (none)");
    std::printf("  biChainFormatSize    %lu\n", (unsigned long)h.biChainFormatSize);
    std::string why;
    const std::vector<std::string> commands = ExportCommands(path, h, info, why);
    if (commands.empty())
        std::printf("export   %s\n", why.c_str());
    for (size_t i = 0; i < commands.size(); ++i)
        std::printf("export   %s: %s\n", kestro::avi::kExportTargets[i].label, commands[i].c_str());
}

// Every record of the stream against its piece; the first 20 problems are named.
class RecordCheck {
public:
    RecordCheck(const kestro::StreamFormatHeader& h, bool list) : h_(h), list_(list) {}

    // False when a sample could not be read at all.
    bool Run(AviReader& avi) {
        std::vector<uint8_t> record;
        for (LONG frame = avi.Start(); frame < avi.Start() + avi.Length(); ++frame) {
            if (!avi.Read(frame, record))
                return false;
            Check(frame, record);
        }
        if (problems_ > kProblemsNamed)
            std::fprintf(stderr, "kestro-host: ... and %llu more broken references\n",
                         (unsigned long long)(problems_ - kProblemsNamed));
        return true;
    }
    uint64_t problems() const { return problems_; }
    uint64_t referenced() const { return referenced_; }
    const ReferenceChecker& pieces() const { return checker_; }

private:
    void Problem(LONG frame, const std::string& text) {
        if (++problems_ <= kProblemsNamed)
            std::fprintf(stderr, "kestro-host: broken reference: frame %ld: %s\n", long(frame),
                         text.c_str());
    }
    void Check(LONG frame, const std::vector<uint8_t>& record) {
        auto r = kestro::ParseFrameRecord(record.data(), record.size());
        if (!r) {
            Problem(frame, "the " + std::to_string(record.size()) +
                               "-byte sample is not a frame record (no terminated piece name)");
            return;
        }
        if (list_)
            std::printf("%5ld %10llu %11lu  %s\n", long(frame), (unsigned long long)r->offset,
                        (unsigned long)r->size, std::string(r->path).c_str());
        referenced_ += r->size;
        // Raw storage: every frame is one whole picture of the source kind.
        const bool raw = h_.biChainHandler == 0;
        if (std::string why = checker_.Problem(*r); !why.empty())
            Problem(frame, why);
        else if (raw && h_.biSizeImage && r->size != h_.biSizeImage)
            Problem(frame, "it holds " + std::to_string(r->size) + " bytes but the stream's " +
                               "pictures are " + std::to_string(h_.biSizeImage) + " bytes");
    }

    const kestro::StreamFormatHeader& h_;
    const bool list_;
    ReferenceChecker checker_;
    uint64_t problems_ = 0, referenced_ = 0;
};

// The pieces, and the takes they hold by the take files beside them.
void PrintPieces(const std::string& pieceList, const ReferenceChecker& pieces) {
    std::printf("pieces   %s\n", pieceList.empty() ? "(none)" : pieceList.c_str());
    std::set<std::string> shown;
    for (const auto& [piece, beside] : pieces.Takes()) {
        const kestro::TakeFileRead& read = beside.take;
        if (kestro::MatchTake(read, 0) == kestro::TakeMatch::NoTakeFile ||
            !shown.insert(beside.file).second)
            continue;
        std::printf("take     %s (%s)\n",
                    (read.take ? kestro::avi::TakeSummary(*read.take)
                               : kestro::avi::DamagedTakeSummary(read.damage))
                        .c_str(),
                    beside.file.c_str());
    }
    if (shown.empty() && !pieces.Takes().empty())
        std::printf("take     no take file beside the pieces (a capture of a build before takes, "
                    "or its take file was lost)\n");
}

} // namespace

int RunInspect(const std::string& path, bool verify, bool listFrames) {
    AviLibrary aviLibrary;
    AviReader avi;
    if (!avi.Open(path))
        return kExitUsage;
    auto stream = StreamFormatOf(path, avi.format());
    if (!stream)
        return verify ? kExitBroken : kExitUsage;
    if (!verify) {
        PrintFormat(path, avi, *stream);
        if (listFrames)
            std::printf("frame     offset        size  piece\n");
    }
    RecordCheck check(*stream, listFrames && !verify);
    if (!check.Run(avi))
        return kExitBroken;
    std::string pieceList;
    for (const auto& [name, bytes] : check.pieces().Pieces())
        pieceList += (pieceList.empty() ? "" : ", ") + name;
    if (!verify)
        PrintPieces(pieceList, check.pieces());
    if (check.problems()) {
        std::fprintf(stderr, "kestro-host: %s: %llu of %ld frames have broken references\n",
                     path.c_str(), (unsigned long long)check.problems(), long(avi.Length()));
        return kExitBroken;
    }
    if (verify)
        std::printf("verify: %s: all %ld frames intact, %s in %zu piece(s): %s\n", path.c_str(),
                    long(avi.Length()), Megabytes(check.referenced()).c_str(),
                    check.pieces().Pieces().size(), pieceList.c_str());
    return kExitOk;
}

} // namespace host
