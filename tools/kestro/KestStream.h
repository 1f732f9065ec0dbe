#pragma once
// The KEST stream of a capture as the commands read it: its format and timing checked, its
// records checked against the pieces they name, and the frames read from those pieces.
extern "C" {
#include <libavformat/avformat.h>
}

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "AviRecords.h"
#include "CommandLine.h"
#include "Files.h"
#include "Pieces.h"
#include "pure/FrameRecord.h"
#include "pure/PixelKind.h"
#include "pure/StreamFormat.h"
#include "pure/TakeFile.h"

namespace kestro::tool {

constexpr uint64_t kMaxBufferedBytes = 1u << 30; // one picture or packet, held whole

struct KestInfo {
    int stream = -1;
    StreamFormatHeader format{};
    std::vector<uint8_t> chainFormat;
    bool chained = false;
    PixelKind kind = KIND_NONE;
    int width = 0, height = 0;
    bool bottomUp = false;
    uint32_t storedBytes = 0;  // bytes of one stored raw picture (DIB rows padded to 4 bytes)
    uint32_t storedStride = 0; // bytes of one stored row
    uint32_t rowBytes = 0;     // bytes of one unpadded row
    uint32_t scale = 1, rate = 1, start = 0, length = 0;
};

// Reads the layout and the KEST stream's format from `file`, checking every number that sizes a
// picture before any arithmetic with it.
bool ReadKestInfo(avi::ByteFile& file, const std::string& aviPath, KestInfo& info,
                  avi::AviLayout& layout, std::string& error, bool acceptCut = false);

// The capture of export, info and verify: its layout, its KEST stream and every stream's timing.
bool ReadCapture(const std::string& path, KestInfo& info, avi::AviLayout& layout,
                 std::string& error, bool acceptCut);

// What info, verify and export say about an AVI whose writer never closed it, when it holds
// frame records; empty otherwise.
std::optional<std::string> UnclosedText(avi::ByteFile& file);
// The message for a capture read with its last list cut short: the unclosed AVI's words where
// they apply.
std::string CutShortText(const std::string& path);

// Opens the input with libavformat, which does the container work (OpenDML indexes included).
struct Input {
    AVFormatContext* ctx = nullptr;
    ~Input();
    bool Open(const std::string& path, const KestInfo& info, std::string& error);
};

// A record that names a frame this tool can read.
struct FrameSource {
    const Piece* piece = nullptr;
    FrameRecordView record{};
};

class RecordChecker {
public:
    RecordChecker(const Options& options, const KestInfo& info)
        : finder_(options.rules), info_(info) {}

    // Empty on success; otherwise the message naming frame, record and path.
    std::optional<std::string> Check(uint64_t frame, const uint8_t* data, size_t size,
                                     FrameSource& source);
    PieceFinder& finder() { return finder_; }
    const std::map<std::string, uint64_t>& framesPerPiece() const { return frames_; }
    // Once per piece: a file found by name alone beside a folder that exists.
    void WarnOnce(const Piece& piece);

    // The take file beside a piece found here, read once; `file` empty when there is none.
    struct PieceTake {
        std::string file;
        TakeFileRead take;
    };
    const PieceTake& TakeOf(const Piece& piece);
    const std::map<std::string, PieceTake>& Takes() const { return takes_; } // by local piece

private:
    // Why a record whose piece is not found gets no frame when its take was removed on request,
    // by the take file the finder's rules find where the piece was.
    std::optional<std::string> RemovedTake(const std::string& name, uint32_t take);

    PieceFinder finder_;
    const KestInfo& info_;
    std::map<std::string, uint64_t> frames_;
    std::set<const Piece*> warned_;
    std::map<std::string, PieceTake> takes_;
    std::map<std::string, PieceTake> removed_; // by the take file's Windows name
};

// Reads frames from the pieces: one descriptor per piece, sequential hints, whole-frame reads.
class PieceReader {
public:
    // False with `why` set: the piece cannot be opened, or no longer holds the bytes.
    bool Read(const std::string& path, uint64_t offset, void* data, size_t bytes, std::string& why);

private:
    std::map<std::string, std::unique_ptr<PosixFile>> files_;
};

} // namespace kestro::tool
