#pragma once
#include <windows.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "capture/CaptureStats.h"
#include "pure/SettingsText.h"

namespace kestro {

struct RunTestAccess;

// A frame's size: the bytes it holds and the whole pages its write covers.
struct FrameSize {
    uint32_t bytes = 0;
    uint32_t write = 0;
};

// Where a writer put a frame; the frame's record is made of this and nothing else.
struct StoredFrame {
    uint64_t offset = 0;
    uint32_t bytes = 0;
    int32_t piece = 0;
};

// The piece of the data file a capture run writes into: its handle, the one offset where the next
// frame goes, how far the run grew it, and the earlier pieces the run still holds.
class PieceFile {
public:
    // What growing the piece for a frame decided.
    enum class Growth {
        Refused, // no room: the frame fails before its write
        Room,    // the write lands in space the piece has, or that was promised to it
        OwnWrite // the frame's own write grows the piece: the frame learns its outcome first
    };

    explicit PieceFile(CaptureStats& stats) : stats(stats) {}
    ~PieceFile() { Close(true); }
    PieceFile(const PieceFile&) = delete;
    PieceFile& operator=(const PieceFile&) = delete;

    // Opens piece 0 for a run that stores under `names`, created with `flags`; `pieceBytes` is the
    // size of a piece where `split`, and `driveRoot` where free space is asked for.
    bool OpenFirst(const std::array<std::string, kPieceCount>& names, uint32_t flags,
                   uint64_t pieceBytes, bool split, std::string driveRoot);
    // The header page, through the system-wide mapping name other programs look for.
    bool WriteHeader(const BITMAPINFOHEADER* in, uint32_t pageSize);
    // The frames start at offset 0 of a piece as long as the piece is now.
    void StartFrames();
    // Holds the current piece (trimmed unless `trim` is false) and opens the next one.
    bool OpenNext(bool trim);
    bool Full(uint32_t write) const;
    // Cuts a piece this run grew back to its frames (unless `trim` is false) and closes it and
    // every piece held before it. Idempotent.
    void Close(bool trim);
    void CloseCurrent();

    Growth Grow(uint64_t end, uint32_t write, uint64_t inFlightBytes);
    StoredFrame Store(FrameSize size);
    // Gives back the place of the last frame, whose write turned out to fail.
    void Undo(const StoredFrame& frame) { offset = frame.offset; }
    // Leaves `write` bytes unused for a write that may still land.
    void Skip(uint32_t write) { offset += write; }
    // The frames written so far end inside the piece.
    void CoverWritten() {
        if (offset > end)
            end = offset;
    }

    HANDLE Handle() const { return file; }
    // Why the last OpenFirst or WriteHeader failed: the system's error of opening piece 0, and
    // whether the drive had too little free space for the header.
    DWORD OpenError() const { return openError; }
    bool ShortOfSpace() const { return shortOfSpace; }
    uint64_t Offset() const { return offset; }
    uint32_t Flags() const { return flags; }
    const std::string& NameOf(int32_t index) const { return names[index]; }

private:
    friend struct RunTestAccess;

    HANDLE Open(int index, DWORD access) const;
    bool EnsureSize(uint64_t size);
    bool SetEnd(uint64_t end);
    uint64_t FreeBytes() const;
    void Trim();
    void ReleaseHeld();

    CaptureStats& stats;
    HANDLE file = INVALID_HANDLE_VALUE;
    int32_t index = 0;
    uint64_t offset = 0;     // where the next frame goes
    uint64_t end = 0;        // length of the piece as far as stored frames go
    uint64_t startBytes = 0; // length of the piece when the run reached it
    bool grown = false;      // the run set the piece's end itself: cut it back when done
    bool unbacked = false;   // growing a piece here reserves no disk space (sparse files)
    DWORD openError = ERROR_SUCCESS;
    bool shortOfSpace = false;
    uint32_t flags = 0;
    uint64_t pieceBytes = 0;
    bool split = false;
    std::array<std::string, kPieceCount> names; // names as the run began
    std::string driveRoot;
    std::vector<HANDLE> held; // earlier pieces of the run, still kept from other writers
};

} // namespace kestro
