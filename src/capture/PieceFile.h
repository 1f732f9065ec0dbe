#pragma once
#include <windows.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "capture/CaptureStats.h"
#include "capture/Frame.h"
#include "edge/Win32Edge.h"
#include "pure/SettingsText.h"

namespace kestro {

// Where a frame goes in the piece, with room made for it: its place (its record's offset and
// piece), the target of its write, and whether the frame must learn its write's outcome before it
// is reported stored (its own write grows the piece).
struct Placement {
    StoredFrame frame;
    WriteTarget target;
    bool awaitOutcome = false;
};

// What the piece file shows of itself.
struct PieceFileView {
    HANDLE file = INVALID_HANDLE_VALUE;
    int32_t index = 0;
    uint64_t offset = 0;
};

// The piece of the data file a capture run writes into: its handle, the one offset where the next
// frame goes, how far the run grew it, and the earlier pieces the run still holds. A piece the run
// grew is cut back to its frames when it is left, unless the run gave up writes that may still
// land in it.
class PieceFile {
public:
    // What growing the piece for a frame decided.
    enum class Growth {
        Refused, // no room: the frame fails before its write
        Room,    // the write lands in space the piece has, or that was promised to it
        OwnWrite // the frame's own write grows the piece: the frame learns its outcome first
    };

    explicit PieceFile(CaptureStats& stats) : stats(stats) {}
    ~PieceFile() { Close(); }
    PieceFile(const PieceFile&) = delete;
    PieceFile& operator=(const PieceFile&) = delete;

    // Starts a run that stores under `names` in `first`, its piece 0 as the run's choice of a
    // place opened it; later pieces are created with `flags`. `pieceBytes` is the size of a piece
    // where `split`, and `driveRoot` where free space is asked for.
    void OpenFirst(const std::array<std::string, kPieceCount>& names, UniqueFile first,
                   uint32_t flags, uint64_t pieceBytes, bool split, std::string driveRoot);
    // The header page, through the system-wide mapping name other programs look for.
    bool WriteHeader(const BITMAPINFOHEADER* in, uint32_t pageSize);
    // The frames start at offset 0 of a piece as long as the piece is now.
    void StartFrames();
    // Holds the current piece, cut back to its frames, and opens the next one.
    bool OpenNext();
    bool Full(uint32_t write) const;
    // Cuts a piece this run grew back to its frames and closes it and every piece held before
    // it. Idempotent.
    void Close();
    void CloseCurrent();

    // The next frame's place, with room made for it ahead of its write; none when there is no
    // room. `inFlightBytes` are on their way to the piece and not yet in it.
    std::optional<Placement> Place(FrameSize size, uint64_t inFlightBytes);
    // The next frame's place, for a writer that finished its write there.
    StoredFrame Store(FrameSize size);
    // Gives back the place of the last frame, whose write turned out to fail. A write that may
    // still land keeps its place: no later frame lies under it.
    void Undo(const StoredFrame& frame) { offset = frame.offset; }
    // The frames written so far end inside the piece.
    void CoverWritten() {
        if (offset > end)
            end = offset;
    }
    // Writes and finishes `bytes` from `data` at `at` of the piece, whatever the file pointer.
    bool WriteAt(const void* data, uint32_t bytes, uint64_t at) const;

    HANDLE Handle() const { return file.get(); }
    // Whether the drive had too little free space for the header when WriteHeader failed.
    bool ShortOfSpace() const { return shortOfSpace; }
    uint64_t Offset() const { return offset; }
    uint32_t Flags() const { return flags; }
    const std::string& NameOf(int32_t index) const { return names[index]; }
    PieceFileView View() const { return {file.get(), index, offset}; }

private:
    Growth Grow(uint64_t end, uint32_t write, uint64_t inFlightBytes);
    UniqueFile Open(int index, DWORD access) const;
    bool EnsureSize(uint64_t size);
    bool SetEnd(uint64_t end);
    uint64_t FreeBytes() const;
    void Trim();

    CaptureStats& stats;
    int32_t index = 0;
    uint64_t offset = 0;     // where the next frame goes
    uint64_t end = 0;        // length of the piece as far as stored frames go
    uint64_t startBytes = 0; // length of the piece when the run reached it
    bool grown = false;      // the run set the piece's end itself: cut it back when done
    bool unbacked = false;   // growing a piece here reserves no disk space (sparse files)
    bool shortOfSpace = false;
    uint32_t flags = 0;
    uint64_t pieceBytes = 0;
    bool split = false;
    std::array<std::string, kPieceCount> names; // names as the run began
    std::string driveRoot;
    std::vector<UniqueFile> held; // earlier pieces of the run, still kept from other writers
    UniqueFile file;
};

} // namespace kestro
