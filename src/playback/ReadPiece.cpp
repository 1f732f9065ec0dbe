#include "playback/ReadPiece.h"

#include <cstring>

#include "edge/TakeFiles.h"
#include "edge/Win32Edge.h"
#include "pure/FrameRecord.h"
#include "pure/PiecePath.h"

using namespace kestro;

namespace {

constexpr ULONG_PTR kReadPortKey = 2;

// Only a regular file on a disk volume: a directory, pipe, console or port is no piece.
bool IsDiskFile(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) &&
           !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

} // namespace

bool ReadPiece::Same(const char* path, size_t length) const {
    if (name[0] == 0)
        return false;
    // Letter case is folded by the system so that double-byte names compare correctly.
    return CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, name, -1, path, int(length)) ==
           CSTR_EQUAL;
}

ReadPiece::Opened ReadPiece::LookUp(const char* path, size_t length, bool overlapped,
                                    std::span<const std::string> dataFiles) {
    if (Same(path, length))
        return file ? Opened::Open : Opened::Failed;
    Close();
    if (length >= sizeof name)
        return Opened::Failed;
    std::memcpy(name, path, length);
    // A pipe, a port or a device may never answer a read; a file that is no piece is no picture;
    // opening a share nobody chose here hands the user's logon to its host. Refused by the name
    // alone, which stays, so that later frames naming it are refused without another try.
    if (!MayOpenPiecePath(std::string_view(path, length), dataFiles, FileCallName))
        return Opened::Failed;
    DWORD flags = FILE_FLAG_NO_BUFFERING | (overlapped ? FILE_FLAG_OVERLAPPED : 0);
    file.reset(CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, flags, nullptr));
    if (!file) {
        // A missing piece is a black frame; a folder of that name is no piece at all.
        DWORD attributes = GetFileAttributesA(name);
        bool folder =
            attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
        if (folder)
            return Opened::Failed;
        // A take whose pieces were removed on request leaves its take file to say so.
        ReadTakeBeside();
        return Opened::JustFailed;
    }
    if (!IsDiskFile(file.get())) {
        file.reset();
        return Opened::Failed;
    }
    ReadTakeBeside();
    if (overlapped) {
        port.reset(CreateIoCompletionPort(file.get(), nullptr, kReadPortKey, 0));
        if (!port) {
            file.reset();
            return Opened::JustFailed;
        }
        // A read that finishes at once (from the cache, or under Wine) then costs no port call.
        portSkips = SkipPacketsOnSuccess(file.get());
        LARGE_INTEGER bytes;
        size = GetFileSizeEx(file.get(), &bytes) ? uint64_t(bytes.QuadPart) : 0;
    }
    return Opened::Open;
}

void ReadPiece::Close() {
    port.reset();
    std::memset(name, 0, sizeof name);
    file.reset();
    size = 0;
    take = {};
    portSkips = false;
    nextFrame.reset();
}

bool ReadPiece::SizeChanged() {
    LARGE_INTEGER bytes;
    if (!GetFileSizeEx(file.get(), &bytes) || uint64_t(bytes.QuadPart) == size)
        return false;
    size = uint64_t(bytes.QuadPart);
    return true;
}

// The take file beside the piece just opened names the take the pieces hold now; a record of
// any other take has lost its frames to it.
void ReadPiece::ReadTakeBeside() {
    take = {};
    if (auto path = TakeFileOfPiece(name))
        take = ReadTakeFileAt(*path);
}

bool ReadPiece::TakeRefused(const FrameRecordView& record) const {
    const TakeMatch match = MatchTake(take, record.take);
    return match != TakeMatch::Same && match != TakeMatch::NoTakeFile;
}

bool ReadPiece::TakeRemoved(const FrameRecordView& record) const {
    return MatchTake(take, record.take) == TakeMatch::Removed;
}
