#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "edge/Win32Edge.h"
#include "pure/TakeFile.h"

namespace kestro {

struct FrameRecordView;

// MAX_PATH and one: a name as long as any the ANSI file calls take still ends in a zero here.
constexpr size_t kReadFileNameBytes = MAX_PATH + 1;

// What the piece being read shows of itself.
struct ReadPieceView {
    HANDLE file = INVALID_HANDLE_VALUE;
    HANDLE port = nullptr;
    uint64_t size = 0;
};

// A piece a playback run reads: its name, handle, completion port and size, the take file beside
// it, and where its next frame should start. It stays open from the frame that opened it until a
// frame names another piece in its folder (ReadPieces keeps one per folder).
class ReadPiece {
public:
    enum class Opened { Open, JustFailed, Failed };

    ReadPiece() = default;
    ReadPiece(const ReadPiece&) = delete;
    ReadPiece& operator=(const ReadPiece&) = delete;

    // The piece a record names, opened unless it is the one open (also when that one's opening
    // failed: it is not tried again). JustFailed: it cannot be opened now (a black frame);
    // Failed: it is no piece to read at all. `dataFiles` are the data files of the run: the
    // settings' data file and its stripes.
    Opened LookUp(const char* path, size_t length, bool overlapped,
                  std::span<const std::string> dataFiles);
    bool Same(const char* path, size_t length) const;
    // Idempotent; the reads into the run's slots must be over before it.
    void Close();
    // Whether a record's frames cannot be delivered for its take: the take file beside the piece
    // names another (they are gone), names the record's take as removed, or is damaged (which
    // take the pieces hold cannot be told).
    bool TakeRefused(const FrameRecordView& record) const;
    // Whether the piece that did not open belonged to the record's take and was removed with it:
    // its frames are refused, not shown black as those of a piece merely missing.
    bool TakeRemoved(const FrameRecordView& record) const;
    // A piece that another process is still writing grows past the size taken at its opening:
    // takes it again; true when it changed.
    bool SizeChanged();

    // A frame of `rounded` bytes at `position` was read, or is being read ahead: the piece's next
    // frame is expected after it.
    void NoteFrame(uint64_t position, uint32_t rounded) { nextFrame = position + rounded; }
    std::optional<uint64_t> NextFrame() const { return nextFrame; }

    std::string_view Name() const { return name; }
    const TakeFileRead& Take() const { return take; }
    HANDLE File() const { return file.get(); }
    HANDLE Port() const { return port.get(); }
    uint64_t Size() const { return size; }
    // Reads that finish inside ReadFile queue no packet on the port.
    bool PortSkips() const { return portSkips; }
    ReadPieceView View() const { return {file.get(), port.get(), size}; }

private:
    void ReadTakeBeside();

    char name[kReadFileNameBytes] = {};
    UniqueFile file;
    UniqueHandle port; // after the file: it goes first
    uint64_t size = 0;
    TakeFileRead take; // beside the open piece; no file: play as before
    bool portSkips = false;
    std::optional<uint64_t> nextFrame;
};

} // namespace kestro
