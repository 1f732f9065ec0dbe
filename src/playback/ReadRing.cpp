#include "playback/ReadRing.h"

#include <cstring>

#include "edge/Win32Edge.h"
#include "pure/ReadPlan.h"

using namespace kestro;

namespace {

constexpr int kTransientRetries = 8;
constexpr DWORD kCancelGraceMs = 2000;
constexpr DWORD kPollMs = 5;

} // namespace

ReadRing::ReadRing(ReadPiece& piece) : piece(piece) {
    for (uint32_t i = 0; i < kMaxReadSlots; ++i)
        slots[i].index = i;
}

bool ReadRing::Allocate(uint32_t slotCount, uint32_t slotBytes, bool overlapped,
                        uint32_t pageSize) {
    this->slotCount = depth = first = count = lastRounded = 0;
    givenUp = false;
    for (uint32_t i = 0; i < kMaxReadSlots; ++i) {
        slots[i] = ReadSlot{};
        slots[i].index = i;
    }
    // However the count came to be, the slots are what the array holds.
    for (uint32_t i = 0; i < slotCount && i < kMaxReadSlots; ++i) {
        ReadSlot& slot = slots[i];
        slot.pages = PageBuffer(size_t(slotBytes) + (overlapped ? pageSize : 0));
        if (!slot.pages)
            break;
        slot.size = slotBytes;
        if (overlapped)
            slot.overlapped = reinterpret_cast<OVERLAPPED*>(slot.Buffer() + slotBytes);
        this->slotCount = i + 1;
    }
    depth = this->slotCount ? this->slotCount - 1 : 0;
    return this->slotCount >= (overlapped ? 2u : 1u);
}

void ReadRing::Release() {
    CollectPending();
    for (ReadSlot& slot : slots) {
        slot.pages.reset();
        slot.overlapped = nullptr;
    }
    slotCount = depth = 0;
}

ReadRingView ReadRing::View() const {
    ReadRingView view;
    view.slotCount = slotCount;
    for (uint32_t i = 0; i < kMaxReadSlots; ++i)
        view.slots[i] = {bool(slots[i].pages), slots[i].index, slots[i].transferred};
    return view;
}

void ReadRing::PopFront() {
    first = (first + 1) % slotCount;
    --count;
}

void ReadRing::PushBack(uint32_t index) {
    if (count++ == 0)
        first = index;
}

ReadSlot* ReadRing::TakePredicted(uint64_t position, bool samePiece) {
    if (!count || !samePiece || slots[first].position != position)
        return nullptr;
    ReadSlot* slot = &slots[first];
    PopFront();
    return slot;
}

bool ReadRing::Issue(ReadSlot* slot, uint64_t position, uint32_t offset, uint32_t length) {
    HANDLE file = piece.File();
    if (slot->pending || !slot->pages || !slot->overlapped || !piece.Port() ||
        file == INVALID_HANDLE_VALUE || length == 0 || offset > slot->size ||
        length > slot->size - offset)
        return false;
    const bool skips = piece.PortSkips();
    for (int attempt = 0;; ++attempt) {
        std::memset(slot->overlapped, 0, sizeof *slot->overlapped);
        slot->overlapped->Offset = DWORD(position);
        slot->overlapped->OffsetHigh = DWORD(position >> 32);
        if (ReadFile(file, slot->Buffer() + offset, length, nullptr, slot->overlapped)) {
            slot->position = position - offset;
            slot->pending = !skips;
            if (skips) {
                // Finished inside the call, and no packet follows: the result is the
                // OVERLAPPED's, where the system left it.
                slot->ok = true;
                slot->transferred = DWORD(slot->overlapped->InternalHigh);
            }
            return true;
        }
        DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) { // a pending answer always queues its packet
            slot->position = position - offset;
            slot->pending = true;
            return true;
        }
        // The reads ahead may hold what the system lacks, but waiting for them would stall the
        // frame asked for; give it a moment a few times, then give up on the read.
        if (!IsShortage(error) || attempt == kTransientRetries)
            return false;
        Sleep(1);
    }
}

// Notes a completion taken from the port on the slot whose read it ends.
void ReadRing::TakeCompletion(DWORD bytes, OVERLAPPED* overlapped, BOOL ok) {
    for (uint32_t i = 0; i < slotCount; ++i) {
        ReadSlot& slot = slots[i];
        if (slot.pending && slot.overlapped == overlapped) {
            slot.pending = false;
            slot.ok = ok != FALSE;
            slot.transferred = bytes;
            return;
        }
    }
}

bool ReadRing::Await(ReadSlot* slot, DWORD timeout) {
    const DWORD start = GetTickCount();
    while (slot->pending) {
        DWORD waited = GetTickCount() - start;
        if (waited >= timeout)
            break;
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        OVERLAPPED* overlapped = nullptr;
        BOOL ok =
            GetQueuedCompletionStatus(piece.Port(), &bytes, &key, &overlapped, timeout - waited);
        if (!overlapped)
            break; // no completion in time, or the port failed
        TakeCompletion(bytes, overlapped, ok);
    }
    if (!slot->pending)
        return slot->ok;
    GiveUpOutstanding();
    return false;
}

// A read is still outstanding past its time: every outstanding read is cancelled and given a
// bounded time. Their packets may still reach the port, where a later read of the same slot would
// take them for its own, so the piece and its port are dropped and the next frame opens them
// afresh.
void ReadRing::GiveUpOutstanding() {
    auto outstanding = [&](const ReadSlot& slot) {
        return slot.pending && !HasOverlappedIoCompleted(slot.overlapped);
    };
    for (uint32_t i = 0; i < slotCount; ++i)
        if (slots[i].pending)
            CancelRequest(piece.File(), slots[i].overlapped);
    for (DWORD waited = 0; waited < kCancelGraceMs; waited += kPollMs) {
        bool any = false;
        for (uint32_t i = 0; i < slotCount; ++i)
            any = any || outstanding(slots[i]);
        if (!any)
            break;
        Sleep(kPollMs);
    }
    for (uint32_t i = 0; i < slotCount; ++i) {
        ReadSlot& slot = slots[i];
        if (outstanding(slot)) {
            // The system may still write into the buffer and the OVERLAPPED after it: both are
            // given up rather than freed or reused, and the run fails its frames until the next
            // begin allocates new slots.
            slot.pages.release();
            slot.overlapped = nullptr;
            givenUp = true;
        }
        slot.pending = false;
        slot.ok = false;
    }
    count = 0;
    piece.Close();
}

void ReadRing::CollectPending() {
    count = 0;
    bool any = false;
    for (uint32_t i = 0; i < slotCount; ++i)
        if (slots[i].pending) {
            CancelRequest(piece.File(), slots[i].overlapped);
            any = true;
        }
    for (uint32_t i = 0; any && i < slotCount; ++i)
        if (slots[i].pending)
            Await(&slots[i], kCancelGraceMs);
}

void ReadRing::TopUp(const ReadSlot* current, uint32_t rounded, bool chained, bool extraPages,
                     uint32_t pageSize) {
    // Reads predicted from a frame of another size lie off the frames that follow this one.
    if (count && slots[first].position != current->position + rounded)
        CollectPending();
    auto planAhead = [&](uint64_t from) {
        return chained ? PlanChainedReadAhead(from, rounded, piece.Size(), pageSize, current->size,
                                              extraPages)
                       : PlanRawReadAhead(from, rounded, piece.Size());
    };
    // Compressed frames of changing sizes would send every read past the next one astray: those
    // go one frame ahead until two frames in a row have the same size.
    const bool steady = !chained || rounded == lastRounded;
    lastRounded = rounded;
    const uint32_t reach = steady ? depth : 1;
    bool sizeTaken = false;
    while (count < reach) {
        const ReadSlot* last = count ? &slots[Back()] : current;
        ReadAhead next = planAhead(last->position);
        // A piece that another process is still writing grows past the size taken at its opening.
        if (!next.issue && !sizeTaken && piece.SizeChanged())
            next = planAhead(last->position);
        sizeTaken = sizeTaken || !next.issue;
        ReadSlot* target = &slots[(last->index + 1) % slotCount];
        // A read ahead that cannot start only costs its frame a fresh read.
        if (!next.issue || target == current || !Issue(target, next.position, 0, next.length))
            return;
        PushBack(target->index);
    }
}
