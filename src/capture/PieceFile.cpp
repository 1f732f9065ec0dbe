#include "capture/PieceFile.h"

#include <cstring>
#include <utility>

#include "capture/CaptureStats.h"
#include "edge/Win32Edge.h"
#include "pure/CaptureRules.h"
#include "pure/StreamFormat.h"

using namespace kestro;

namespace {

// About a second: another begin holds the header's mapping while it writes one page.
constexpr int kHeaderMappingTries = 100;

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

uint64_t SizeOf(HANDLE file) {
    LARGE_INTEGER size{};
    return GetFileSizeEx(file, &size) ? uint64_t(size.QuadPart) : 0;
}

} // namespace

UniqueFile PieceFile::Open(int at, DWORD access) const {
    if (at < 0 || at >= kPieceCount)
        return UniqueFile();
    // Readers may open a piece the run is writing (playback of a capture in progress); writers
    // may not, so a second capture into the same data file and a space reservation are refused
    // instead of overwriting this run's frames.
    UniqueFile opened(CreateFileA(names[at].c_str(), access, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                  flags, nullptr));
    // A pipe, a console or a device never ends and has no size: frames go to disk files only.
    if (opened && GetFileType(opened.get()) != FILE_TYPE_DISK) {
        opened.reset();
        SetLastError(ERROR_BAD_FILE_TYPE);
    }
    return opened;
}

void PieceFile::OpenFirst(const std::array<std::string, kPieceCount>& runNames, UniqueFile first,
                          uint32_t createFlags, uint64_t bytesPerPiece, bool splitRun,
                          std::string root) {
    names = runNames;
    flags = createFlags;
    pieceBytes = bytesPerPiece;
    split = splitRun;
    driveRoot = std::move(root);
    index = 0;
    offset = 0;
    unbacked = false;
    grown = false;
    shortOfSpace = false;
    file = std::move(first);
}

bool PieceFile::EnsureSize(uint64_t size) {
    ULARGE_INTEGER freeBytes{};
    if (!GetDiskFreeSpaceExA(driveRoot.empty() ? nullptr : driveRoot.c_str(), nullptr, nullptr,
                             &freeBytes) ||
        freeBytes.QuadPart < size) {
        shortOfSpace = true;
        return false;
    }
    if (!MoveFilePointer(file.get(), 0) || !MoveFilePointer(file.get(), size) ||
        !SetEndOfFile(file.get()))
        return false;
    return MoveFilePointer(file.get(), 0);
}

bool PieceFile::WriteHeader(const BITMAPINFOHEADER* in, uint32_t pageSize) {
    uint64_t header = HeaderBytes(pageSize);
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size))
        return false;
    if (uint64_t(size.QuadPart) < header && !EnsureSize(header))
        return false;
    // The header has always gone through a mapping of this one name, which other programs may
    // look for; the name is system-wide. An existing mapping of that name belongs to another
    // run's file: writing through it would put this header into someone else's data. Another
    // begin holds it only while it writes its own header, so two hosts beginning at once wait
    // their turn for a moment rather than one of them failing.
    UniqueHandle mapping;
    for (int tries = 0;; ++tries) {
        SetLastError(ERROR_SUCCESS);
        mapping.reset(CreateFileMappingA(file.get(), nullptr, PAGE_READWRITE, 0, 0, "Kestrohd"));
        if (!mapping)
            return false;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            break;
        mapping.reset();
        if (tries == kHeaderMappingTries)
            return false;
        Sleep(10);
    }
    void* view = MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, SIZE_T(header));
    if (!view)
        return false;
    std::memcpy(view, in, kBitmapHeaderBytes);
    bool flushed = FlushViewOfFile(view, SIZE_T(header)) != FALSE;
    UnmapViewOfFile(view);
    return flushed;
}

void PieceFile::StartFrames() {
    FlushFileBuffers(file.get());
    end = SizeOf(file.get());
    startBytes = end;
    offset = 0;
}

bool PieceFile::SetEnd(uint64_t to) {
    return MoveFilePointer(file.get(), to) && SetEndOfFile(file.get());
}

uint64_t PieceFile::FreeBytes() const {
    ULARGE_INTEGER freeBytes{};
    if (!GetDiskFreeSpaceExA(driveRoot.empty() ? nullptr : driveRoot.c_str(), &freeBytes, nullptr,
                             nullptr))
        return 0;
    return freeBytes.QuadPart;
}

// Makes room for the current frame (ending at `frameEnd`) before its write is issued. A frame
// that passes the piece's end grows the piece by a large step at once, so that the frames after
// it write into space that exists and nobody waits for them; a full disk shows here, before the
// frame is reported stored. Where growing reserves nothing, the free space behind the grown part
// stands in for it, and once that runs short each frame that grows the piece waits for its own
// write, so that a full disk still fails the frame it hit.
PieceFile::Growth PieceFile::Grow(uint64_t frameEnd, uint32_t write, uint64_t inFlightBytes) {
    if (frameEnd <= end)
        return Growth::Room;
    uint64_t target = GrowTarget(offset, write, split ? pieceBytes : 0);
    if (unbacked) {
        target = CoveredGrowth(FreeBytes(), inFlightBytes, offset, frameEnd, target);
        if (target == 0) {
            grown = true; // a write that fails half-way may leave bytes past the frames
            return Growth::OwnWrite;
        }
    }
    ++stats.extensions;
    Reserve reserved = ReserveAllocation(file.get(), target);
    if (reserved == Reserve::Full && target > frameEnd) {
        target = frameEnd;
        reserved = ReserveAllocation(file.get(), target);
    }
    if (reserved == Reserve::Full)
        return Growth::Refused;
    grown = true;
    if (!SetEnd(target) && (target == frameEnd || !SetEnd(target = frameEnd)))
        return Growth::Refused;
    if (reserved != Reserve::Done && !unbacked && AllocatedBytes(file.get()) < target) {
        unbacked = true;
        uint64_t covered = CoveredGrowth(FreeBytes(), inFlightBytes, offset, frameEnd, target);
        if (covered == 0) {
            // Back to where it was: this frame's own write grows the piece, and is waited for.
            SetEnd(end);
            return Growth::OwnWrite;
        }
        if (covered < target && SetEnd(covered))
            target = covered;
    }
    end = target;
    return Growth::Room;
}

std::optional<Placement> PieceFile::Place(FrameSize size, uint64_t inFlightBytes) {
    Growth growth = Grow(offset + size.write, size.write, inFlightBytes);
    if (growth == Growth::Refused)
        return std::nullopt;
    const WriteTarget target{file.get(), offset};
    return Placement{Store(size), target, growth == Growth::OwnWrite};
}

StoredFrame PieceFile::Store(FrameSize size) {
    StoredFrame stored{offset, size.bytes, index};
    offset += size.write;
    return stored;
}

// Positioned writes keep every frame at its recorded offset even after a write that failed
// half-way moved the file pointer.
bool PieceFile::WriteAt(const void* data, uint32_t bytes, uint64_t at) const {
    if (bytes == 0)
        return true;
    OVERLAPPED position{};
    position.Offset = DWORD(at);
    position.OffsetHigh = DWORD(at >> 32);
    DWORD written = 0;
    BOOL ok = WriteFile(file.get(), data, bytes, &written, &position);
    return WriteStored(ok != FALSE, written, bytes);
}

// A piece this run grew ends where its last stored frame ends, or at the length it had when the
// run reached it if that was longer: exactly as if every frame had grown it by its own write.
void PieceFile::Trim() {
    if (!file || !grown)
        return;
    uint64_t to = offset > startBytes ? offset : startBytes;
    if (SetEnd(to))
        end = to;
    grown = false;
}

void PieceFile::Close() {
    // Only a write the platform never finished leaves the piece as it is.
    if (stats.writesGivenUp == 0)
        Trim();
    grown = false;
    held.clear();
    file.reset();
}

void PieceFile::CloseCurrent() {
    file.reset();
}

bool PieceFile::Full(uint32_t write) const {
    // After a failed switch no piece is open: the frame goes to the next one that opens.
    return !file || NeedsNextPiece(offset, write, pieceBytes);
}

bool PieceFile::OpenNext() {
    if (file) {
        if (stats.writesGivenUp == 0)
            Trim();
        grown = false;
        // The frames in it belong to this run until it ends: keep other writers out. Where the
        // list cannot grow, the piece stays where it is and is closed.
        try {
            held.push_back(std::move(file));
        } catch (...) {
        }
        file.reset();
    }
    if (index >= kPieceCount - 1) {
        index = kPieceCount; // every later frame of the run fails here too
        return false;
    }
    ++index;
    file = Open(index, GENERIC_WRITE);
    if (!file)
        return false;
    end = SizeOf(file.get());
    startBytes = end;
    offset = 0;
    return true;
}
