#include "playback/ReadRing.h"

#include <cstring>

#include "edge/Win32Edge.h"
#include "pure/ReadPlan.h"
#include "pure/SettingsText.h"

using namespace kestro;

namespace {

constexpr int kTransientRetries = 8;
constexpr DWORD kCancelGraceMs = 2000;
constexpr DWORD kPollMs = 5;

} // namespace

ReadRing::ReadRing(ReadPieces& pieces) : pieces(pieces) {
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

ReadSlot* ReadRing::TakePredicted(const ReadPiece* piece, uint64_t position) {
    if (!count || !piece || slots[first].source != piece || slots[first].position != position)
        return nullptr;
    ReadSlot* slot = &slots[first];
    PopFront();
    return slot;
}

bool ReadRing::Issue(ReadSlot* slot, ReadPiece* piece, uint64_t position, uint32_t offset,
                     uint32_t length) {
    if (!piece)
        return false;
    HANDLE file = piece->File();
    if (slot->pending || !slot->pages || !slot->overlapped || !piece->Port() ||
        file == INVALID_HANDLE_VALUE || length == 0 || offset > slot->size ||
        length > slot->size - offset)
        return false;
    const bool skips = piece->PortSkips();
    slot->source = piece;
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
        // Each piece has its port: the slot's read completes on its own piece's.
        BOOL ok = GetQueuedCompletionStatus(slot->source->Port(), &bytes, &key, &overlapped,
                                            timeout - waited);
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
// bounded time. Their packets may still reach a port, where a later read of the same slot would
// take them for its own, so the pieces and their ports are dropped and the next frame opens them
// afresh.
void ReadRing::GiveUpOutstanding() {
    auto outstanding = [&](const ReadSlot& slot) {
        return slot.pending && !HasOverlappedIoCompleted(slot.overlapped);
    };
    for (uint32_t i = 0; i < slotCount; ++i)
        if (slots[i].pending)
            CancelRequest(slots[i].source->File(), slots[i].overlapped);
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
    pieces.Close();
}

void ReadRing::CollectPending() {
    count = 0;
    bool any = false;
    for (uint32_t i = 0; i < slotCount; ++i)
        if (slots[i].pending) {
            CancelRequest(slots[i].source->File(), slots[i].overlapped);
            any = true;
        }
    for (uint32_t i = 0; any && i < slotCount; ++i)
        if (slots[i].pending)
            Await(&slots[i], kCancelGraceMs);
}

// Where the read after a frame goes: the piece and the read there (none when `piece` is null).
struct ReadRing::NextRead {
    ReadPiece* piece = nullptr;
    ReadAhead read;
};

// The frame after the one in `after`: further on in its piece, or, where the take file beside
// the piece says the take is striped, in the piece of the next data file of the turn, when a
// frame of the same take opened it (a read ahead opens nothing). Compressed frames leave each
// data file its own positions: the next one there starts after the last frame read from it, or
// after the last one read ahead from it before `after`, among the first `inFlight` reads ahead.
ReadRing::NextRead ReadRing::PlanNext(const ReadSlot& after, uint32_t inFlight, uint32_t rounded,
                                      bool chained, bool extraPages, uint32_t pageSize) {
    NextRead next;
    ReadPiece* target = after.source;
    if (!target)
        return next;
    uint32_t stripe = 0, stripes = 1;
    std::optional<uint64_t> nextOfStripe;
    if (const auto& take = target->Take().take; take && take->stripeFiles.size() > 1) {
        stripe = take->stripe;
        stripes = uint32_t(take->stripeFiles.size());
        const auto index = PieceIndexOf(target->Name());
        if (!index || stripe >= stripes)
            return next;
        // Compared with the names of open pieces only: no file call ever sees this name.
        target = pieces.Find(FormatPieceName(take->stripeFiles[(stripe + 1) % stripes], *index));
        if (!target || target->File() == INVALID_HANDLE_VALUE || !target->Take().take ||
            target->Take().take->id != take->id)
            return next;
        if (chained)
            nextOfStripe = target->NextFrame();
        for (uint32_t i = 0; chained && i < inFlight; ++i) {
            const ReadSlot& ahead = slots[(first + i) % slotCount];
            if (ahead.source == target)
                nextOfStripe = ahead.position + rounded;
        }
    }
    const auto turn = NextInTurn(stripe, stripes, after.position, rounded, nextOfStripe);
    if (!turn)
        return next;
    auto plan = [&] {
        return chained ? PlanChainedReadAt(turn->position, rounded, target->Size(), pageSize,
                                           after.size, extraPages)
                       : PlanRawReadAt(turn->position, rounded, target->Size());
    };
    next.piece = target;
    next.read = plan();
    // A piece that another process is still writing grows past the size taken at its opening.
    if (!next.read.issue && target->SizeChanged())
        next.read = plan();
    return next;
}

void ReadRing::TopUp(const ReadSlot* current, uint32_t rounded, bool chained, bool extraPages,
                     uint32_t pageSize) {
    // Reads predicted from a frame of another size lie off the frames that follow this one.
    if (count) {
        const NextRead expected = PlanNext(*current, 0, rounded, chained, extraPages, pageSize);
        if (slots[first].source != expected.piece ||
            slots[first].position != expected.read.position)
            CollectPending();
    }
    // Compressed frames of changing sizes would send every read past the next one astray: those
    // go one frame ahead until two frames in a row have the same size.
    const bool steady = !chained || rounded == lastRounded;
    lastRounded = rounded;
    const uint32_t reach = steady ? depth : 1;
    while (count < reach) {
        const ReadSlot* last = count ? &slots[Back()] : current;
        const NextRead next = PlanNext(*last, count, rounded, chained, extraPages, pageSize);
        ReadSlot* target = &slots[(last->index + 1) % slotCount];
        // A read ahead that cannot start only costs its frame a fresh read.
        if (!next.read.issue || target == current ||
            !Issue(target, next.piece, next.read.position, 0, next.read.length))
            return;
        PushBack(target->index);
    }
}
