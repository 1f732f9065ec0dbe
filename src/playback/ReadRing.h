#pragma once
#include <windows.h>

#include <cstdint>

#include "edge/Win32Edge.h"
#include "playback/ReadPieces.h"
#include "settings/CodecSettings.h"

namespace kestro {

// One overlapped read slot of a playback run. Its OVERLAPPED lies in the page after its buffer
// (the completion port hands back that address): a read that never ends keeps both, and no later
// read or release of the instance touches memory the platform may still write.
struct ReadSlot {
    PageBuffer pages; // the buffer, and in an overlapped run the OVERLAPPED's page after it
    OVERLAPPED* overlapped = nullptr;
    uint32_t size = 0; // of the buffer
    uint32_t index = 0;
    // The slot's last read: where it started, whether it is still outstanding, and how it ended
    // (its completion may be taken from the port while another slot's is awaited).
    uint64_t position = 0;
    ReadPiece* source = nullptr; // the piece it read from
    bool pending = false;
    bool ok = false;
    DWORD transferred = 0;

    uint8_t* Buffer() const { return pages.data(); }
};

// The frame being decoded and the deepest read-ahead of the fast readers.
constexpr uint32_t kMaxReadSlots = uint32_t(CCodecSettings::kMaxReadAhead) + 1;

// What the read slots show of themselves.
struct ReadSlotView {
    bool buffered = false;
    uint32_t index = 0;
    DWORD transferred = 0;
};
struct ReadRingView {
    uint32_t slotCount = 0;
    ReadSlotView slots[kMaxReadSlots];
};

// The read slots of a run and the reads in flight in them, on the pieces the run keeps open. A
// fast run's slots form a ring: the frame being decoded takes one, and the reads ahead, in the
// order of the frames they predict, are `count` slots from `first` on, the first holding the
// frame predicted next. The frames of a striped take follow in turn over the pieces of its data
// files, each open piece reading on its own completion port. A plain run has one slot and reads
// nothing ahead.
class ReadRing {
public:
    explicit ReadRing(ReadPieces& pieces);
    ~ReadRing() { Release(); }
    ReadRing(const ReadRing&) = delete;
    ReadRing& operator=(const ReadRing&) = delete;

    // A fast run takes the frame's slot and one per read ahead; where memory runs short it reads
    // less far ahead rather than not at all. False when not even that many slots came.
    bool Allocate(uint32_t slotCount, uint32_t slotBytes, bool overlapped, uint32_t pageSize);
    // Idempotent; the outstanding reads are collected before the slots go.
    void Release();
    // Cancels every read ahead and takes each one's completion, in bounded time.
    void CollectPending();

    ReadSlot* First() { return &slots[0]; }
    const ReadSlot* First() const { return &slots[0]; }
    // The overlapped readers have their frame's slot and one to read ahead into, and no slot was
    // lost to a read that never ended.
    bool ReadsAhead() const { return slotCount >= 2 && !givenUp; }
    // The slot of the frame predicted next, taken off the reads ahead, when it is the one at
    // `position` of `piece`; null otherwise (and for no piece).
    ReadSlot* TakePredicted(const ReadPiece* piece, uint64_t position);

    bool Issue(ReadSlot* slot, ReadPiece* piece, uint64_t position, uint32_t offset,
               uint32_t length);
    // False when the read failed or did not end within `timeout`; every read still outstanding
    // then is given up, and the pieces closed.
    bool Await(ReadSlot* slot, DWORD timeout);
    // Tops the reads ahead up to the depth, into the slots after the one being decoded: each next
    // frame at the previous position plus this frame's page-rounded size, or, in a striped take,
    // in the next data file of the turn where its piece is open.
    void TopUp(const ReadSlot* current, uint32_t rounded, bool chained, bool extraPages,
               uint32_t pageSize);

    ReadRingView View() const;

private:
    void TakeCompletion(DWORD bytes, OVERLAPPED* overlapped, BOOL ok);
    void GiveUpOutstanding();
    void PopFront();
    uint32_t Back() const { return (first + count - 1) % slotCount; }
    void PushBack(uint32_t index);
    struct NextRead;
    NextRead PlanNext(const ReadSlot& after, uint32_t inFlight, uint32_t rounded, bool chained,
                      bool extraPages, uint32_t pageSize);

    ReadPieces& pieces;
    ReadSlot slots[kMaxReadSlots];
    uint32_t slotCount = 0; // allocated: the frame's own and one per read ahead
    uint32_t depth = 0; // reads kept in flight ahead: the setting, or less where memory ran short
    uint32_t first = 0;
    uint32_t count = 0;
    // The page-rounded size of the frame before, from which the reads ahead were predicted.
    uint32_t lastRounded = 0;
    // A read that never ended took its slot with it: the run fails its frames until a new begin.
    bool givenUp = false;
};

} // namespace kestro
