#pragma once
// The frame journal of a capture run (its layout in pure/FrameJournal.h): per frame when it
// arrived, when its write was issued and completed, how long it waited for a request and when the
// host got it back. Rows live in memory allocated at begin and reach the file beside the take in
// whole pages, a page once its writes are known and the last one now and then, so that a host
// killed mid-take leaves all but the last moments. The journal never fails or slows a capture: one
// that cannot be opened or written is dropped (a debugger line says so) and the frames go on.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "edge/Win32Edge.h"
#include "pure/FrameJournal.h"

namespace kestro {

class FrameJournal {
public:
    // The row of no frame: a write issued outside a frame.
    static constexpr uint32_t kNoRow = UINT32_MAX;

    FrameJournal() = default;
    ~FrameJournal() { End(); }
    FrameJournal(const FrameJournal&) = delete;
    FrameJournal& operator=(const FrameJournal&) = delete;

    // The performance counter: the clock of every row.
    static int64_t Now();

    // A fresh journal beside the data file whose piece 0 is `firstPiece`, with `header` (the clock
    // and the begin time are filled in here, the stream's rate where the host said it).
    void Begin(const std::string& firstPiece, JournalHeader header);
    // The host's frame rate (ICM_COMPRESS_FRAMES_INFO): kept for the next begin, and written
    // into the journal of the run under way.
    void SetRate(uint32_t rate, uint32_t scale);

    // A frame with the host's number `frame`, which arrived at `tick`, opens the next row.
    void Arrive(uint32_t frame, int64_t tick);
    // A write of the open row goes out now, `inFlight` writes on their way with it: the row of the
    // write, whose completion is noted by Complete.
    uint32_t Issue(uint32_t inFlight);
    void Complete(uint32_t row);
    // Ticks the open row spent waiting for a free request.
    void Waited(int64_t ticks);
    // The host gets the frame back: `bytes` written into piece `piece` of the data file `stripe`
    // of the take (0 bytes: not stored).
    void Return(uint32_t bytes, int32_t piece, uint32_t stripe);
    // Writes what is left and closes the file. Idempotent.
    void End();

private:
    uint64_t PageOf(uint64_t row) const {
        return (kJournalHeaderBytes + row * kJournalRowBytes) / page;
    }
    uint64_t FirstRowOf(uint64_t filePage) const;
    bool InRing(uint64_t filePage) const;
    JournalRow* RowAt(uint64_t row);
    void MarkDirty(uint64_t row);
    void WritePage(uint64_t filePage);
    void WriteHeaderOnly();
    void WriteDue(int64_t now);
    void Drop(const char* what);

    UniqueFile file;
    std::string path;
    JournalHeader header;
    uint32_t pendingRate = 0, pendingScale = 0; // as the host last said
    int64_t began = 0;                          // the clock at begin
    int64_t lastWrite = 0;                      // the clock at the last timed write
    uint32_t page = 0;                          // the system's page: the unit of every write
    uint32_t ringPages = 0;
    uint64_t rows = 0;                  // rows opened so far
    bool rowOpen = false;               // the last row's frame has not returned yet
    bool rowIssued = false;             // and its first write has gone out
    uint64_t lag = 0;                   // rows after a page's end by which its writes are known
    std::unique_ptr<JournalRow[]> ring; // the rows of the last ringPages pages
    std::unique_ptr<bool[]> dirty;      // per page of the ring: changed since written
    PageBuffer scratch;                 // one page as written
};

} // namespace kestro
