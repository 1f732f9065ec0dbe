// export: the raw pictures of a capture, read from its pieces as the native tool reads them, to
// standard output for a program such as ffmpeg.
#include <windows.h>

#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "Host.h"
#include "HostWin.h"
#include "PathGate.h"
#include "RawPictures.h"
#include "TakeRefusal.h"
#include "pure/FrameRecord.h"
#include "pure/StreamFormat.h"

namespace host {

namespace {

namespace avi = kestro::avi;

// The pieces a capture names, opened once each; a running capture may still be writing them.
class PieceReader {
public:
    // Empty when `bytes` at `offset` of the piece were read, else why not.
    std::string Read(const std::string& path, uint64_t offset, uint8_t* data, uint32_t bytes) {
        auto it = pieces_.find(path);
        if (it == pieces_.end())
            it = pieces_.emplace(path, Open(path)).first;
        const Piece& piece = it->second;
        if (!piece.error.empty())
            return piece.judged ? piece.error
                                : "its piece " + path + " cannot be opened: " + piece.error;
        if (offset > piece.bytes || bytes > piece.bytes - offset)
            return "bytes " + std::to_string(offset) + " to " + std::to_string(offset + bytes) +
                   " lie beyond the end of " + path + " (" + std::to_string(piece.bytes) +
                   " bytes)";
        for (uint32_t done = 0; done < bytes;) {
            OVERLAPPED at{};
            at.Offset = DWORD(offset + done);
            at.OffsetHigh = DWORD((offset + done) >> 32);
            DWORD got = 0;
            if (!ReadFile(piece.file.get(), data + done, bytes - done, &got, &at) || got == 0)
                return "cannot read " + std::to_string(bytes) + " bytes at " +
                       std::to_string(offset) + " of " + path + ": " +
                       SystemMessage(GetLastError());
            done += got;
        }
        return {};
    }
    // Why the record's take is no longer in the piece it names; empty when it is, or when no
    // take file lies beside the piece.
    std::optional<std::string> ReplacedTake(const kestro::FrameRecordView& r) {
        const std::string path(r.path);
        auto [at, added] = takes_.try_emplace(path);
        if (added)
            at->second.take = TakeBeside(path, &at->second.file);
        return avi::TakeRefusalText(at->second.take, r.take, at->second.file);
    }

private:
    struct Piece {
        UniqueFile file;
        uint64_t bytes = 0;
        std::string error;
        bool judged = false; // the error is the gate's whole message
    };
    struct Take {
        std::string file;
        kestro::TakeFileRead take;
    };
    // The piece rule first: a name it refuses is never handed to the file system.
    Piece Open(const std::string& path) const {
        Piece piece;
        const GatedPath gated = gate_.Piece(path, "");
        piece.judged = !gated.why.empty();
        if (gated.found == GatedPath::Found::Missing)
            piece.error = SystemMessage(ERROR_FILE_NOT_FOUND);
        else
            piece.file = OpenGated(gated, FILE_FLAG_SEQUENTIAL_SCAN, piece.error);
        LARGE_INTEGER size{};
        if (piece.file && GetFileSizeEx(piece.file.get(), &size))
            piece.bytes = uint64_t(size.QuadPart);
        return piece;
    }
    PathGate gate_;
    std::map<std::string, Piece> pieces_;
    std::map<std::string, Take> takes_;
};

enum class Sent { Done, Closed, Failed };

// Standard output as the handle the system gave: the runtime's text translation never sees the
// pictures, and a reader that went away shows as such.
Sent SendAll(HANDLE out, const uint8_t* data, size_t bytes, DWORD& error) {
    while (bytes) {
        const DWORD chunk = DWORD(std::min<size_t>(bytes, size_t(1) << 24));
        DWORD done = 0;
        if (!WriteFile(out, data, chunk, &done, nullptr) || done == 0) {
            error = GetLastError();
            const bool closed = error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA ||
                                error == ERROR_PIPE_NOT_CONNECTED;
            return closed ? Sent::Closed : Sent::Failed;
        }
        data += done;
        bytes -= done;
    }
    return Sent::Done;
}

bool IsConsole(HANDLE h) {
    DWORD mode = 0;
    return h && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode);
}

// One export to standard output, record by record.
class RawExport {
public:
    explicit RawExport(const ExportOptions& options) : options_(options) {}

    int Run() {
        if (int code = Open())
            return code;
        const bool walked = avi::ForEachStreamChunk(
            in_, layout_, layout_.kestStream,
            [&](const avi::RecordChunk& chunk) { return SendFrame(chunk); }, error_);
        if (progress_)
            std::fprintf(stderr, "\r");
        if (!problem_.empty())
            Error(problem_);
        if (code_ != kExitOk)
            return code_;
        if (!walked) {
            Error(options_.input + ": " + error_ + " (after frame " + std::to_string(frames_) +
                  ")");
            return kExitUsage;
        }
        if (frames_ < stream_->length) {
            Error(options_.input + ": the stream header promises " +
                  std::to_string(stream_->length) + " frames, the file holds " +
                  std::to_string(frames_) + " (AVI cut short?)");
            return kExitUsage;
        }
        if (!options_.quiet && progress_)
            Note("exported " + std::to_string(frames_) + " frames");
        return kExitOk;
    }

private:
    int Open();
    bool SendFrame(const avi::RecordChunk& chunk);
    // Ends the walk with `code`, and `problem` said after it.
    bool Stop(int code, const std::string& problem) {
        code_ = code;
        problem_ = problem;
        return false;
    }

    const ExportOptions& options_;
    HandleFile in_;
    avi::AviLayout layout_;
    const avi::StreamInfo* stream_ = nullptr;
    std::optional<avi::RawPicture> picture_;
    HANDLE out_ = INVALID_HANDLE_VALUE;
    bool progress_ = false;
    std::vector<uint8_t> stored_, packed_;
    PieceReader pieces_;
    uint64_t frames_ = 0;
    int code_ = kExitOk;
    std::string problem_, error_;
    double start_ = 0, shown_ = 0;
};

int RawExport::Open() {
    if (options_.output != "-") {
        Error("kestro-host export writes raw frames to standard output only: kestro-host export " +
              options_.input + " - | ffmpeg ... (\"kestro-host info " + options_.input +
              "\" prints the whole command)");
        return kExitUsage;
    }
    auto layout = OpenCapture(in_, options_.input);
    if (!layout)
        return kExitUsage;
    layout_ = std::move(*layout);
    stream_ = &layout_.streams[size_t(layout_.kestStream)];
    const auto format = kestro::ReadStreamFormat(stream_->format.data()); // the layout checked it
    if (format->biChainHandler) {
        Error(options_.input + ": a chained stream holds the chained codec's packets (" +
              FourccText(format->biChainHandler) +
              "), not raw pictures; play it through the codec (kestro-host play), or export it "
              "to a file with kestro export");
        return kExitUsage;
    }
    std::string error;
    picture_ = avi::RawPictureOf(*format, error);
    if (!picture_) {
        Error(options_.input + ": " + error);
        return kExitUsage;
    }
    out_ = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!out_ || out_ == INVALID_HANDLE_VALUE) {
        Error("there is no standard output to write the frames to");
        return kExitPartial;
    }
    if (IsConsole(out_)) {
        Error("standard output is a console; pipe it into a program");
        return kExitUsage;
    }
    // The pictures go out through the handle itself; the runtime's stream is made binary as well
    // so that nothing it might write is translated.
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
    progress_ = !options_.quiet && IsConsole(GetStdHandle(STD_ERROR_HANDLE));
    stored_.resize(picture_->storedBytes);
    packed_.resize(picture_->PackedBytes());
    start_ = Seconds();
    return kExitOk;
}

bool RawExport::SendFrame(const avi::RecordChunk& chunk) {
    const std::string where =
        "frame " + std::to_string(chunk.index) + ", record " + std::to_string(chunk.index);
    uint8_t record[kestro::kMaxFrameRecordBytes];
    const size_t n = std::min<size_t>(chunk.chunkSize, sizeof record);
    if (!in_.ReadAt(chunk.chunkOffset + 8, record, n))
        return Stop(kExitUsage, where + ": cannot be read from " + options_.input);
    auto r = kestro::ParseFrameRecord(record, n);
    if (!r)
        return Stop(kExitBroken, where + " (" + std::to_string(chunk.chunkSize) +
                                     " bytes): not a frame record (no terminated piece name)");
    const std::string piece(r->path);
    const std::string what = where + " (" + piece + " at " + std::to_string(r->offset) + ", " +
                             std::to_string(r->size) + " bytes)";
    if (r->size < picture_->storedBytes)
        return Stop(kExitBroken, what + ": smaller than one " + std::to_string(picture_->width) +
                                     "x" + std::to_string(picture_->height) + " picture (" +
                                     std::to_string(picture_->storedBytes) + " bytes)");
    if (auto replaced = pieces_.ReplacedTake(*r))
        return Stop(kExitBroken, what + ": " + *replaced);
    if (std::string why = pieces_.Read(piece, r->offset, stored_.data(), picture_->storedBytes);
        !why.empty())
        return Stop(kExitBroken, what + ": " + why);
    avi::PackRows(*picture_, stored_.data(), packed_.data());
    DWORD writeError = 0;
    switch (SendAll(out_, packed_.data(), packed_.size(), writeError)) {
    case Sent::Done:
        break;
    case Sent::Closed: // the reader has what it wanted
        return Stop(kExitPartial, "");
    case Sent::Failed:
        return Stop(kExitPartial,
                    "cannot write raw frames to standard output: " + SystemMessage(writeError));
    }
    ++frames_;
    if (progress_ && Seconds() - shown_ >= 0.25) {
        shown_ = Seconds();
        std::fprintf(stderr, "\rframe %llu/%u  %.1f MB/s   ", (unsigned long long)frames_,
                     stream_->length,
                     double(frames_) * double(packed_.size()) / (shown_ - start_ + 1e-9) / 1e6);
        std::fflush(stderr);
    }
    return true;
}

} // namespace

int RunExport(const ExportOptions& options) {
    return RawExport(options).Run();
}

} // namespace host
