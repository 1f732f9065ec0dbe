// export: the raw pictures of a capture, read from its pieces as the native tool reads them, to
// standard output for a program such as ffmpeg.
#include <windows.h>

#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <map>
#include <memory>
#include <vector>

#include "Host.h"
#include "HostWin.h"
#include "RawPictures.h"
#include "pure/FrameRecord.h"
#include "pure/StreamFormat.h"

namespace host {

namespace {

namespace avi = kestro::avi;

// The pieces a capture names, opened once each; a running capture may still be writing them.
class PieceReader {
public:
    ~PieceReader() {
        for (auto& [path, piece] : pieces_)
            if (piece.handle != INVALID_HANDLE_VALUE)
                CloseHandle(piece.handle);
    }

    // Empty when `bytes` at `offset` of the piece were read, else why not.
    std::string Read(const std::string& path, uint64_t offset, uint8_t* data, uint32_t bytes) {
        auto it = pieces_.find(path);
        if (it == pieces_.end()) {
            Piece piece;
            piece.handle =
                CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
            LARGE_INTEGER size{};
            if (piece.handle == INVALID_HANDLE_VALUE)
                piece.error = SystemMessage(GetLastError());
            else if (GetFileType(piece.handle) != FILE_TYPE_DISK)
                piece.error = "not a file on a disk";
            else if (GetFileSizeEx(piece.handle, &size))
                piece.bytes = uint64_t(size.QuadPart);
            it = pieces_.emplace(path, piece).first;
        }
        const Piece& piece = it->second;
        if (!piece.error.empty())
            return "its piece " + path + " cannot be opened: " + piece.error;
        if (offset > piece.bytes || bytes > piece.bytes - offset)
            return "bytes " + std::to_string(offset) + " to " + std::to_string(offset + bytes) +
                   " lie beyond the end of " + path + " (" + std::to_string(piece.bytes) +
                   " bytes)";
        for (uint32_t done = 0; done < bytes;) {
            OVERLAPPED at{};
            at.Offset = DWORD(offset + done);
            at.OffsetHigh = DWORD((offset + done) >> 32);
            DWORD got = 0;
            if (!ReadFile(piece.handle, data + done, bytes - done, &got, &at) || got == 0)
                return "cannot read " + std::to_string(bytes) + " bytes at " +
                       std::to_string(offset) + " of " + path + ": " +
                       SystemMessage(GetLastError());
            done += got;
        }
        return {};
    }

private:
    struct Piece {
        HANDLE handle = INVALID_HANDLE_VALUE;
        uint64_t bytes = 0;
        std::string error;
    };
    std::map<std::string, Piece> pieces_;
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

} // namespace

int RunExport(const ExportOptions& options) {
    if (options.output != "-") {
        Error("kestro-host export writes raw frames to standard output only: kestro-host export " +
              options.input + " - | ffmpeg ... (\"kestro-host info " + options.input +
              "\" prints the whole command)");
        return kExitUsage;
    }
    HandleFile in;
    auto layout = OpenCapture(in, options.input);
    if (!layout)
        return kExitUsage;
    std::string error;
    const avi::StreamInfo& stream = layout->streams[size_t(layout->kestStream)];
    const auto format = kestro::ReadStreamFormat(stream.format.data()); // the layout checked it
    if (format->biChainHandler) {
        Error(options.input + ": a chained stream holds the chained codec's packets (" +
              FourccText(format->biChainHandler) +
              "), not raw pictures; play it through the codec (kestro-host play), or export it "
              "to a file with kestro export");
        return kExitUsage;
    }
    auto picture = avi::RawPictureOf(*format, error);
    if (!picture) {
        Error(options.input + ": " + error);
        return kExitUsage;
    }
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!out || out == INVALID_HANDLE_VALUE) {
        Error("there is no standard output to write the frames to");
        return kExitPartial;
    }
    if (IsConsole(out)) {
        Error("standard output is a console; pipe it into a program");
        return kExitUsage;
    }
    // The pictures go out through the handle itself; the runtime's stream is made binary as well
    // so that nothing it might write is translated.
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);

    const bool progress = !options.quiet && IsConsole(GetStdHandle(STD_ERROR_HANDLE));
    std::vector<uint8_t> stored(picture->storedBytes), packed(picture->PackedBytes());
    PieceReader pieces;
    uint64_t frames = 0;
    int code = kExitOk;
    std::string problem;
    const double start = Seconds();
    double shown = 0;
    const bool walked = avi::ForEachStreamChunk(
        in, *layout, layout->kestStream,
        [&](const avi::RecordChunk& chunk) {
            const std::string where =
                "frame " + std::to_string(chunk.index) + ", record " + std::to_string(chunk.index);
            uint8_t record[kestro::kMaxFrameRecordBytes];
            const size_t n = std::min<size_t>(chunk.chunkSize, sizeof record);
            if (!in.ReadAt(chunk.chunkOffset + 8, record, n)) {
                problem = where + ": cannot be read from " + options.input;
                code = kExitUsage;
                return false;
            }
            auto r = kestro::ParseFrameRecord(record, n);
            if (!r) {
                problem = where + " (" + std::to_string(chunk.chunkSize) +
                          " bytes): not a frame record (no terminated piece name)";
                code = kExitBroken;
                return false;
            }
            const std::string piece(r->path);
            const std::string what = where + " (" + piece + " at " + std::to_string(r->offset) +
                                     ", " + std::to_string(r->size) + " bytes)";
            if (r->size < picture->storedBytes) {
                problem = what + ": smaller than one " + std::to_string(picture->width) + "x" +
                          std::to_string(picture->height) + " picture (" +
                          std::to_string(picture->storedBytes) + " bytes)";
                code = kExitBroken;
                return false;
            }
            if (std::string why =
                    pieces.Read(piece, r->offset, stored.data(), picture->storedBytes);
                !why.empty()) {
                problem = what + ": " + why;
                code = kExitBroken;
                return false;
            }
            avi::PackRows(*picture, stored.data(), packed.data());
            DWORD writeError = 0;
            switch (SendAll(out, packed.data(), packed.size(), writeError)) {
            case Sent::Done:
                break;
            case Sent::Closed: // the reader has what it wanted
                code = kExitPartial;
                return false;
            case Sent::Failed:
                problem =
                    "cannot write raw frames to standard output: " + SystemMessage(writeError);
                code = kExitPartial;
                return false;
            }
            ++frames;
            if (progress && Seconds() - shown >= 0.25) {
                shown = Seconds();
                std::fprintf(stderr, "\rframe %llu/%u  %.1f MB/s   ", (unsigned long long)frames,
                             stream.length,
                             double(frames) * double(packed.size()) / (shown - start + 1e-9) / 1e6);
                std::fflush(stderr);
            }
            return true;
        },
        error);
    if (progress)
        std::fprintf(stderr, "\r");
    if (!problem.empty())
        Error(problem);
    if (code != kExitOk)
        return code;
    if (!walked) {
        Error(options.input + ": " + error + " (after frame " + std::to_string(frames) + ")");
        return kExitUsage;
    }
    if (frames < stream.length) {
        Error(options.input + ": the stream header promises " + std::to_string(stream.length) +
              " frames, the file holds " + std::to_string(frames) + " (AVI cut short?)");
        return kExitUsage;
    }
    if (!options.quiet && progress)
        Note("exported " + std::to_string(frames) + " frames");
    return kExitOk;
}

} // namespace host
