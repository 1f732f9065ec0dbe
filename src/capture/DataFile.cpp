#include <cstring>

#include "capture/CaptureRun.h"
#include "edge/Win32Edge.h"
#include "pure/CaptureRules.h"

using namespace kestro;

namespace {

bool MoveFilePointer(HANDLE file, uint64_t position) {
    LARGE_INTEGER to;
    to.QuadPart = LONGLONG(position);
    return SetFilePointerEx(file, to, nullptr, FILE_BEGIN) != FALSE;
}

// Reserves real space for the piece up to `bytes` without moving its end. On NTFS the clusters
// are allocated at once and a full disk answers here; systems without the call (before Vista) and
// Wine (which does not implement this class) answer that they cannot, and the piece is grown by
// its end alone.
enum class Reserve { Done, Full, Unavailable };
Reserve ReserveAllocation(HANDLE file, uint64_t bytes) {
    auto fn = Kernel32().SetFileInformationByHandle;
    if (!fn)
        return Reserve::Unavailable;
    FILE_ALLOCATION_INFO info;
    info.AllocationSize.QuadPart = LONGLONG(bytes);
    if (fn(file, FileAllocationInfo, &info, sizeof info))
        return Reserve::Done;
    return IsDiskFull(GetLastError()) ? Reserve::Full : Reserve::Unavailable;
}

// The disk space the piece really holds; UINT64_MAX where the system cannot say (there, growing
// a file's end allocates its clusters: NTFS and FAT do).
uint64_t AllocatedBytes(HANDLE file) {
    auto fn = Kernel32().GetFileInformationByHandleEx;
    FILE_STANDARD_INFO info{};
    if (!fn || !fn(file, FileStandardInfo, &info, sizeof info))
        return UINT64_MAX;
    return uint64_t(info.AllocationSize.QuadPart);
}

} // namespace

HANDLE CaptureRun::OpenPiece(int index, DWORD access) const {
    if (index < 0 || index >= kPieceCount)
        return INVALID_HANDLE_VALUE;
    // Readers may open a piece the run is writing (playback of a capture in progress); writers
    // may not, so a second capture into the same data file and a space reservation are refused
    // instead of overwriting this run's frames.
    HANDLE file = CreateFileA(runPieceNames[index].c_str(), access, FILE_SHARE_READ, nullptr,
                              OPEN_ALWAYS, pieceFlags, nullptr);
    // A pipe, a console or a device never ends and has no size: frames go to disk files only.
    if (file != INVALID_HANDLE_VALUE && GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

bool CaptureRun::AttachWritePort() {
    hWritePort = CreateIoCompletionPort(hWriteFile, nullptr, 1, 0);
    if (!hWritePort)
        return false;
    skipOnSuccess = SkipPacketsOnSuccess(hWriteFile);
    return true;
}

bool CaptureRun::EnsureFileSize(HANDLE file, uint64_t size) {
    const std::string& drive = settings->datadrive;
    std::string root = drive.empty() ? std::string() : drive + "\\";
    ULARGE_INTEGER freeBytes{};
    if (!GetDiskFreeSpaceExA(root.empty() ? nullptr : root.c_str(), nullptr, nullptr, &freeBytes) ||
        freeBytes.QuadPart < size)
        return false;
    if (!MoveFilePointer(file, 0) || !MoveFilePointer(file, size) || !SetEndOfFile(file))
        return false;
    return MoveFilePointer(file, 0);
}

bool CaptureRun::WriteHeader(const BITMAPINFOHEADER* in) {
    uint64_t header = HeaderBytes(pageSize);
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(hWriteFile, &size))
        return false;
    if (uint64_t(size.QuadPart) < header && !EnsureFileSize(hWriteFile, header))
        return false;
    SetLastError(ERROR_SUCCESS);
    // The header has always gone through a mapping of this one name, which other programs may
    // look for; the name is system-wide, hence the check below for one that is already there.
    UniqueHandle mapping(CreateFileMappingA(hWriteFile, nullptr, PAGE_READWRITE, 0, 0, "Kestrohd"));
    if (!mapping)
        return false;
    // An existing mapping of that name belongs to another run's file: writing through it would
    // put this header into someone else's data.
    if (GetLastError() == ERROR_ALREADY_EXISTS)
        return false;
    void* view = MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, SIZE_T(header));
    if (!view)
        return false;
    std::memcpy(view, in, kBitmapHeaderBytes);
    bool flushed = FlushViewOfFile(view, SIZE_T(header)) != FALSE;
    UnmapViewOfFile(view);
    return flushed;
}

bool CaptureRun::SetPieceEnd(uint64_t end) {
    return MoveFilePointer(hWriteFile, end) && SetEndOfFile(hWriteFile);
}

uint64_t CaptureRun::InFlightBytes() const {
    uint64_t bytes = 0;
    for (uint32_t i = 0; i < requestCount; ++i)
        if (requests[i].inFlight)
            bytes += requests[i].bytes;
    return bytes;
}

// Makes room for the current frame (ending at `end`) before its write is issued. A frame that
// passes the piece's end grows the piece by a large step at once, so that the frames after it
// write into space that exists and nobody waits for them; a full disk shows here, before the
// frame is reported stored. Where growing reserves nothing, the free space behind the grown part
// stands in for it, and once that runs short each frame that grows the piece waits for its own
// write, so that a full disk still fails the frame it hit.
CaptureRun::Growth CaptureRun::GrowPiece(uint64_t end) {
    if (end <= pieceEnd)
        return Growth::Room;
    uint64_t target = GrowTarget(fileOffset, writeBytes, runSplit ? pieceBytes : 0);
    if (spaceUnbacked) {
        target = CoveredGrowth(FreeBytesAt(), InFlightBytes(), fileOffset, end, target);
        if (target == 0) {
            pieceGrown = true; // a write that fails half-way may leave bytes past the frames
            return Growth::OwnWrite;
        }
    }
    ++stats.extensions;
    Reserve reserved = ReserveAllocation(hWriteFile, target);
    if (reserved == Reserve::Full && target > end) {
        target = end;
        reserved = ReserveAllocation(hWriteFile, target);
    }
    if (reserved == Reserve::Full)
        return Growth::Refused;
    pieceGrown = true;
    if (!SetPieceEnd(target) && (target == end || !SetPieceEnd(target = end)))
        return Growth::Refused;
    if (reserved != Reserve::Done && !spaceUnbacked && AllocatedBytes(hWriteFile) < target) {
        spaceUnbacked = true;
        uint64_t covered = CoveredGrowth(FreeBytesAt(), InFlightBytes(), fileOffset, end, target);
        if (covered == 0) {
            // Back to where it was: this frame's own write grows the piece, and is waited for.
            SetPieceEnd(pieceEnd);
            return Growth::OwnWrite;
        }
        if (covered < target && SetPieceEnd(covered))
            target = covered;
    }
    pieceEnd = target;
    return Growth::Room;
}

uint64_t CaptureRun::FreeBytesAt() const {
    ULARGE_INTEGER freeBytes{};
    if (!GetDiskFreeSpaceExA(runDriveRoot.empty() ? nullptr : runDriveRoot.c_str(), &freeBytes,
                             nullptr, nullptr))
        return 0;
    return freeBytes.QuadPart;
}

// A piece this run grew ends where its last stored frame ends, or at the length it had when the
// run reached it if that was longer: exactly as if every frame had grown it by its own write.
void CaptureRun::TrimPiece() {
    if (hWriteFile == INVALID_HANDLE_VALUE || !pieceGrown)
        return;
    uint64_t end = fileOffset > pieceStartBytes ? fileOffset : pieceStartBytes;
    if (SetPieceEnd(end))
        pieceEnd = end;
    pieceGrown = false;
}

void CaptureRun::ReleaseHeldPieces() {
    for (HANDLE piece : heldPieces)
        CloseHandle(piece);
    heldPieces.clear();
}

void CaptureRun::CancelWrites() {
    for (uint32_t i = 0; i < requestCount; ++i)
        if (requests[i].inFlight)
            CancelRequest(hWriteFile, &requests[i].overlapped);
}

void CaptureRun::CloseDataFile() {
    // The writes are over (the pool is released first); only a write the platform never
    // finished leaves the piece as it is.
    if (!writesStuck)
        TrimPiece();
    pieceGrown = false;
    ReleaseHeldPieces();
    CloseObject(hWriteEvent);
    FreePages(chainOutputBuffer);
    FreePages(tailPage);
    CloseObject(hWritePort);
    CloseFile(hWriteFile);
    if (chainOutputFormat) {
        ::operator delete(chainOutputFormat);
        chainOutputFormat = nullptr;
    }
}

bool CaptureRun::OpenNextPiece() {
    if (hWritePort) {
        DrainWrites();
        CloseObject(hWritePort);
    }
    if (hWriteFile != INVALID_HANDLE_VALUE) {
        if (!writesStuck)
            TrimPiece();
        pieceGrown = false;
        // The frames in it belong to this run until it ends: keep other writers out.
        bool held = false;
        try {
            heldPieces.push_back(hWriteFile);
            held = true;
        } catch (...) {
        }
        if (!held)
            CloseHandle(hWriteFile);
        hWriteFile = INVALID_HANDLE_VALUE;
    }
    if (pieceIndex >= kPieceCount - 1) {
        pieceIndex = kPieceCount; // every later frame of the run fails here too
        return false;
    }
    ++pieceIndex;
    hWriteFile = OpenPiece(pieceIndex, GENERIC_WRITE);
    if (hWriteFile == INVALID_HANDLE_VALUE)
        return false;
    if (runFast && !AttachWritePort()) {
        CloseFile(hWriteFile);
        return false;
    }
    LARGE_INTEGER size{};
    pieceEnd = GetFileSizeEx(hWriteFile, &size) ? uint64_t(size.QuadPart) : 0;
    pieceStartBytes = pieceEnd;
    fileOffset = 0;
    pieceOffset = 0;
    nextRequest = requests;
    hostWritesAtOnce = true; // a fresh piece may finish writes at once where the last did not
    return true;
}

bool CaptureRun::SwitchPieceIfFull() {
    // After a failed switch no piece is open: the frame goes to the next one that opens.
    if (hWriteFile != INVALID_HANDLE_VALUE && !NeedsNextPiece(pieceOffset, writeBytes, pieceBytes))
        return true;
    return OpenNextPiece();
}
