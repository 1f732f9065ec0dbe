#include <cstring>

#include "edge/Win32Edge.h"
#include "playback/PlaybackRun.h"
#include "pure/FrameRecord.h"
#include "pure/PiecePath.h"
#include "pure/PixelRepack.h"
#include "pure/ReadPlan.h"

using namespace kestro;

namespace {

constexpr ULONG_PTR kReadPortKey = 2;
// Positions beyond this are garbage, and adding a frame to them could wrap.
constexpr uint64_t kLargestPosition = uint64_t(1) << 62;
constexpr int kTransientRetries = 8;
// Disk reads finish in far less; past these a read is taken for lost and the frame fails.
constexpr DWORD kFrameReadTimeoutMs = 10000;
constexpr DWORD kCancelGraceMs = 2000;
constexpr DWORD kPollMs = 5;

std::optional<FrameRecordView> RecordOf(const ICDECOMPRESS* icd) {
    // The input format may be shorter than the field: it is read only as far as biSize says.
    auto stream = ReadStreamFormat(icd->lpbiInput);
    uint32_t sizeImage = stream ? stream->biSizeImage : 0;
    return ParseFrameRecord(static_cast<const uint8_t*>(icd->lpInput), RecordLimit(sizeImage));
}

// Only a regular file on a disk volume: a directory, pipe, console or port is no piece.
bool IsDiskFile(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) &&
           !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool UsablePosition(uint64_t position, uint32_t pageSize) {
    return position < kLargestPosition && position % pageSize == 0;
}

// Bytes of the stored raw picture that the conversion reads.
std::optional<uint32_t> StoredPictureBytes(PixelKind source, int32_t width, int32_t height) {
    return StoredImageBytes(source, width, height);
}

} // namespace

// What one frame of a run needs: the record and its page-rounded size.
struct PlaybackRun::FramePlan {
    FrameRecordView record;
    uint32_t rounded;
};

std::optional<PlaybackRun::FramePlan> PlaybackRun::PlanFrame(const ICDECOMPRESS* icd) const {
    auto record = RecordOf(icd);
    if (!record)
        return std::nullopt;
    uint64_t rounded = RoundUpToPage(record->size, pageSize);
    // Every read is bounded by the slot it goes into: a larger frame cannot be played.
    if (rounded > readSlots[0].size)
        return std::nullopt;
    return FramePlan{*record, uint32_t(rounded)};
}

bool PlaybackRun::SameDataFile(const char* path, size_t length) const {
    if (readFileName[0] == 0)
        return false;
    // Letter case is folded by the system so that double-byte names compare correctly.
    return CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, readFileName, -1, path,
                          int(length)) == CSTR_EQUAL;
}

PlaybackRun::DataFile PlaybackRun::LookUpDataFile(const char* path, size_t length,
                                                  bool overlapped) {
    if (SameDataFile(path, length))
        return hReadFile != INVALID_HANDLE_VALUE ? DataFile::Open : DataFile::Failed;
    CloseReadFile();
    if (length >= sizeof readFileName)
        return DataFile::Failed;
    std::memcpy(readFileName, path, length);
    // A pipe, a port or a device may never answer a read; a file that is no piece is no picture;
    // opening a share nobody chose here hands the user's logon to its host. Refused by the name
    // alone, which stays, so that later frames naming it are refused without another try.
    if (!MayOpenPiecePath(std::string_view(path, length), settings->filename))
        return DataFile::Failed;
    DWORD flags = FILE_FLAG_NO_BUFFERING | (overlapped ? FILE_FLAG_OVERLAPPED : 0);
    hReadFile = CreateFileA(readFileName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, flags, nullptr);
    if (hReadFile == INVALID_HANDLE_VALUE) {
        // A missing piece is a black frame; a folder of that name is no piece at all.
        DWORD attributes = GetFileAttributesA(readFileName);
        bool folder =
            attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
        return folder ? DataFile::Failed : DataFile::JustFailed;
    }
    if (!IsDiskFile(hReadFile)) {
        CloseFile(hReadFile);
        return DataFile::Failed;
    }
    ReadTakeBeside(readFileName);
    if (overlapped) {
        hReadPort = CreateIoCompletionPort(hReadFile, nullptr, kReadPortKey, 0);
        if (!hReadPort) {
            CloseFile(hReadFile);
            return DataFile::JustFailed;
        }
        // A read that finishes at once (from the cache, or under Wine) then costs no port call.
        readPortSkips = SkipPacketsOnSuccess(hReadFile);
        LARGE_INTEGER size;
        readFileSize = GetFileSizeEx(hReadFile, &size) ? uint64_t(size.QuadPart) : 0;
    }
    return DataFile::Open;
}

bool PlaybackRun::IssueRead(ReadSlot* slot, uint64_t position, uint32_t offset, uint32_t length) {
    if (slot->pending || !slot->buffer || !slot->overlapped || !hReadPort ||
        hReadFile == INVALID_HANDLE_VALUE || length == 0 || offset > slot->size ||
        length > slot->size - offset)
        return false;
    for (int attempt = 0;; ++attempt) {
        std::memset(slot->overlapped, 0, sizeof *slot->overlapped);
        slot->overlapped->Offset = DWORD(position);
        slot->overlapped->OffsetHigh = DWORD(position >> 32);
        if (ReadFile(hReadFile, slot->buffer + offset, length, nullptr, slot->overlapped)) {
            slot->position = position - offset;
            slot->pending = !readPortSkips;
            if (readPortSkips) {
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
void PlaybackRun::TakeCompletion(DWORD bytes, OVERLAPPED* overlapped, BOOL ok) {
    for (uint32_t i = 0; i < readSlotCount; ++i) {
        ReadSlot& slot = readSlots[i];
        if (slot.pending && slot.overlapped == overlapped) {
            slot.pending = false;
            slot.ok = ok != FALSE;
            slot.transferred = bytes;
            return;
        }
    }
}

bool PlaybackRun::AwaitRead(ReadSlot* slot, DWORD timeout) {
    const DWORD start = GetTickCount();
    while (slot->pending) {
        DWORD waited = GetTickCount() - start;
        if (waited >= timeout)
            break;
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        OVERLAPPED* overlapped = nullptr;
        BOOL ok = GetQueuedCompletionStatus(hReadPort, &bytes, &key, &overlapped, timeout - waited);
        if (!overlapped)
            break; // no completion in time, or the port failed
        TakeCompletion(bytes, overlapped, ok);
    }
    if (!slot->pending)
        return slot->ok;
    GiveUpOutstandingReads();
    return false;
}

// A read is still outstanding past its time: every outstanding read is cancelled and given a
// bounded time. Their packets may still reach the port, where a later read of the same slot would
// take them for its own, so the file and its port are dropped and the next frame opens them
// afresh.
void PlaybackRun::GiveUpOutstandingReads() {
    auto outstanding = [&](const ReadSlot& slot) {
        return slot.pending && !HasOverlappedIoCompleted(slot.overlapped);
    };
    for (uint32_t i = 0; i < readSlotCount; ++i)
        if (readSlots[i].pending)
            CancelRequest(hReadFile, readSlots[i].overlapped);
    for (DWORD waited = 0; waited < kCancelGraceMs; waited += kPollMs) {
        bool any = false;
        for (uint32_t i = 0; i < readSlotCount; ++i)
            any = any || outstanding(readSlots[i]);
        if (!any)
            break;
        Sleep(kPollMs);
    }
    for (uint32_t i = 0; i < readSlotCount; ++i) {
        ReadSlot& slot = readSlots[i];
        if (outstanding(slot)) {
            // The system may still write into the buffer and the OVERLAPPED after it: both are
            // given up rather than freed or reused, and the run fails its frames until the next
            // begin allocates new slots.
            slot.buffer = nullptr;
            slot.overlapped = nullptr;
            readSlotGivenUp = true;
        }
        slot.pending = false;
        slot.ok = false;
    }
    aheadCount = 0;
    CloseReadFile();
}

// Cancels every read ahead and takes each one's completion, in bounded time.
void PlaybackRun::CollectPendingReads() {
    aheadCount = 0;
    bool any = false;
    for (uint32_t i = 0; i < readSlotCount; ++i)
        if (readSlots[i].pending) {
            CancelRequest(hReadFile, readSlots[i].overlapped);
            any = true;
        }
    for (uint32_t i = 0; any && i < readSlotCount; ++i)
        if (readSlots[i].pending)
            AwaitRead(&readSlots[i], kCancelGraceMs);
}

bool PlaybackRun::DecodeChained(const uint8_t* data, uint32_t size, ICDECOMPRESS* icd) {
    HIC hicDecompressor = instance.ChainedDecompressor();
    if (!hicDecompressor || !readChainFormat)
        return false;
    auto* format = reinterpret_cast<BITMAPINFOHEADER*>(readChainFormat);
    // The chained codec learns the frame's true length, not the largest one of the stream.
    format->biSizeImage = size;
    // Only the host may ask for a frame to be skipped; a codec that honours the flag would
    // otherwise leave every picture unpainted.
    DWORD flags = icd->dwFlags & ICDECOMPRESS_HURRYUP;
    return ICDecompress(hicDecompressor, flags, format, const_cast<uint8_t*>(data), icd->lpbiOutput,
                        icd->lpOutput) == ICERR_OK;
}

bool PlaybackRun::ProduceRaw(const uint8_t* data, uint32_t available, ICDECOMPRESS* icd) {
    if (readConversion.op == RawOp::Refuse || available < readConversion.storedBytes ||
        readConversion.outputBytes > readImageBytes)
        return false;
    ApplyRawConversion(readConversion, data, static_cast<uint8_t*>(icd->lpOutput));
    return true;
}

// Opens the data file the record names and checks where the frame lies. A result means the frame
// is finished without a read: cleared (a file that cannot be opened), refused, or empty.
std::optional<BOOL> PlaybackRun::OpenSource(const FramePlan& plan, bool overlapped, bool chained,
                                            ICDECOMPRESS* icd) {
    const FrameRecordView& record = plan.record;
    switch (LookUpDataFile(record.path.data(), record.path.size(), overlapped)) {
    case DataFile::JustFailed:
        ClearFrame(icd);
        return TRUE;
    case DataFile::Failed:
        return FALSE;
    case DataFile::Open:
        break;
    }
    if (!UsablePosition(record.offset, pageSize) || TakeReplaced(record))
        return FALSE;
    if (plan.rounded == 0) // a frame of no bytes: nothing to read
        return chained && DecodeChained(readSlots[0].buffer, 0, icd);
    return std::nullopt;
}

BOOL PlaybackRun::ReadFast(ICDECOMPRESS* icd, bool chained) {
    ReadSlot* first = &readSlots[0];
    if (readSlotCount < 2 || readSlotGivenUp)
        return FALSE;
    auto plan = PlanFrame(icd);
    if (!plan)
        return FALSE;
    const FrameRecordView& record = plan->record;
    uint32_t needed = record.size;
    if (!chained) {
        auto stored = StoredPictureBytes(sourceKind, readWidth, readHeight);
        if (ChooseRawOp(sourceKind, outputKind) == RawOp::Refuse || !stored ||
            record.size < *stored)
            return FALSE;
        needed = *stored;
    }

    ReadSlot* slot = aheadCount ? &readSlots[aheadFirst] : nullptr;
    if (slot && slot->position == record.offset &&
        SameDataFile(record.path.data(), record.path.size()) && !TakeReplaced(record)) {
        aheadFirst = (aheadFirst + 1) % readSlotCount;
        --aheadCount;
    } else {
        // A seek, a repeat or another piece: the reads ahead hold the wrong frames.
        CollectPendingReads();
        if (auto done = OpenSource(*plan, true, chained, icd))
            return *done;
        slot = first;
        if (!IssueRead(slot, record.offset, 0, plan->rounded))
            return FALSE;
    }

    // A read that failed costs its own frame; the reads ahead still hold the frames after it.
    if (!AwaitRead(slot, kFrameReadTimeoutMs))
        return FALSE;
    uint32_t have = slot->transferred;
    if (chained && have < needed) {
        // The read-ahead was planned from a smaller frame: fetch the rest into the same slot.
        uint32_t start = ContinuationStart(have, pageSize);
        if (!IssueRead(slot, slot->position + start, start, plan->rounded - start) ||
            !AwaitRead(slot, kFrameReadTimeoutMs))
            return FALSE;
        have = start + slot->transferred;
    }
    if (have < needed) // the file ends inside the frame
        return FALSE;

    IssueReadsAhead(slot, plan->rounded, chained);
    return chained ? DecodeChained(slot->buffer, record.size, icd)
                   : ProduceRaw(slot->buffer, have, icd);
}

// Tops the reads ahead up to the run's depth, each next frame at the previous position plus this
// frame's page-rounded size, into the slots after the one being decoded.
void PlaybackRun::IssueReadsAhead(const ReadSlot* current, uint32_t rounded, bool chained) {
    // Reads predicted from a frame of another size lie off the frames that follow this one.
    if (aheadCount && readSlots[aheadFirst].position != current->position + rounded)
        CollectPendingReads();
    auto planAhead = [&](uint64_t from) {
        return chained ? PlanChainedReadAhead(from, rounded, readFileSize, pageSize, current->size,
                                              settings->huffyuv)
                       : PlanRawReadAhead(from, rounded, readFileSize);
    };
    // Compressed frames of changing sizes would send every read past the next one astray: those
    // go one frame ahead until two frames in a row have the same size.
    const bool steady = !chained || rounded == lastRounded;
    lastRounded = rounded;
    const uint32_t depth = steady ? readSlotCount - 1 : 1;
    bool sizeTaken = false;
    while (aheadCount < depth) {
        const ReadSlot* last =
            aheadCount ? &readSlots[(aheadFirst + aheadCount - 1) % readSlotCount] : current;
        ReadAhead ahead = planAhead(last->position);
        LARGE_INTEGER size;
        // A file that another process is still writing grows past the size taken at its opening.
        if (!ahead.issue && !sizeTaken && GetFileSizeEx(hReadFile, &size) &&
            uint64_t(size.QuadPart) != readFileSize) {
            readFileSize = uint64_t(size.QuadPart);
            ahead = planAhead(last->position);
        }
        sizeTaken = sizeTaken || !ahead.issue;
        ReadSlot* target = &readSlots[(last->index + 1) % readSlotCount];
        // A read ahead that cannot start only costs its frame a fresh read.
        if (!ahead.issue || target == current ||
            !IssueRead(target, ahead.position, 0, ahead.length))
            return;
        if (aheadCount++ == 0)
            aheadFirst = target->index;
    }
}

// Sequential play leaves the file pointer at the next frame.
BOOL PlaybackRun::ReadPlain(ICDECOMPRESS* icd, bool chained) {
    ReadSlot* first = &readSlots[0];
    if (!first->buffer)
        return FALSE;
    uint32_t needed = 0;
    if (!chained) {
        // Nothing can be delivered from a stored kind this reader does not know.
        if (ChooseRawOp(sourceKind, outputKind) == RawOp::Refuse)
            return FALSE;
        auto stored = StoredPictureBytes(sourceKind, readWidth, readHeight);
        if (!stored)
            return FALSE;
        needed = *stored;
    }
    auto plan = PlanFrame(icd);
    if (!plan)
        return FALSE;
    const FrameRecordView& record = plan->record;
    if (chained)
        needed = record.size;
    else if (record.size < needed)
        return FALSE;

    if (auto done = OpenSource(*plan, false, chained, icd))
        return *done;

    LARGE_INTEGER zero{}, position;
    if (!SetFilePointerEx(hReadFile, zero, &position, FILE_CURRENT) ||
        uint64_t(position.QuadPart) != record.offset) {
        LARGE_INTEGER target;
        target.QuadPart = LONGLONG(record.offset);
        if (!SetFilePointerEx(hReadFile, target, nullptr, FILE_BEGIN))
            return FALSE;
    }

    // An unbuffered read needs an aligned buffer that holds every page it transfers: the host's
    // buffer takes a plain copy directly only when it is page-aligned and large enough.
    auto* output = static_cast<uint8_t*>(icd->lpOutput);
    const bool direct = !chained && IsStraightCopy(readConversion) &&
                        reinterpret_cast<uintptr_t>(output) % pageSize == 0 &&
                        plan->rounded <= readImageBytes;
    DWORD got = 0;
    if (!ReadFile(hReadFile, direct ? output : first->buffer, plan->rounded, &got, nullptr) ||
        got < needed)
        return FALSE;
    if (chained)
        return DecodeChained(first->buffer, record.size, icd);
    return direct || ProduceRaw(first->buffer, got, icd);
}

BOOL PlaybackRun::ReadFastChained(ICDECOMPRESS* icd) {
    return ReadFast(icd, true);
}
BOOL PlaybackRun::ReadFastRaw(ICDECOMPRESS* icd) {
    return ReadFast(icd, false);
}
BOOL PlaybackRun::ReadPlainChained(ICDECOMPRESS* icd) {
    return ReadPlain(icd, true);
}
BOOL PlaybackRun::ReadPlainRaw(ICDECOMPRESS* icd) {
    return ReadPlain(icd, false);
}
