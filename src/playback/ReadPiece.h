#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

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

// The piece a playback run reads: its name, handle, completion port and size, and the take file
// beside it. It stays open from the frame that opened it until a frame names another piece.
class ReadPiece {
public:
    enum class Opened { Open, JustFailed, Failed };

    ReadPiece() = default;
    ReadPiece(const ReadPiece&) = delete;
    ReadPiece& operator=(const ReadPiece&) = delete;

    // The piece a record names, opened unless it is the one open (also when that one's opening
    // failed: it is not tried again). JustFailed: it cannot be opened now (a black frame);
    // Failed: it is no piece to read at all. `dataFile` is the data file of the run.
    Opened LookUp(const char* path, size_t length, bool overlapped, const std::string& dataFile);
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
};

} // namespace kestro
