#include <cstring>

#include "capture/CaptureRules.h"
#include "driver/CodecInstance.h"

using namespace kestro;

namespace {

bool MoveFilePointer(HANDLE file, uint64_t position) {
    LARGE_INTEGER to;
    to.QuadPart = LONGLONG(position);
    return SetFilePointerEx(file, to, nullptr, FILE_BEGIN) != FALSE;
}

using SkipModesFn = BOOL(WINAPI*)(HANDLE, UCHAR);

// Older systems lack the call; there every write keeps its request until its packet is taken.
bool SkipPacketsOnSuccess(HANDLE file) {
    static auto fn = reinterpret_cast<SkipModesFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetFileCompletionNotificationModes")));
    return fn && fn(file, FILE_SKIP_COMPLETION_PORT_ON_SUCCESS);
}

} // namespace

HANDLE CCodecInstance::OpenPiece(int index, DWORD access) const {
    if (index < 0 || index >= kPieceCount)
        return INVALID_HANDLE_VALUE;
    return CreateFileA(runPieceNames[index].c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_ALWAYS, pieceFlags, nullptr);
}

bool CCodecInstance::AttachWritePort() {
    hWritePort = CreateIoCompletionPort(hWriteFile, nullptr, 1, 0);
    if (!hWritePort)
        return false;
    skipOnSuccess = SkipPacketsOnSuccess(hWriteFile);
    return true;
}

bool CCodecInstance::EnsureFileSize(HANDLE file, uint64_t size) {
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

bool CCodecInstance::WriteHeader(const BITMAPINFOHEADER* in) {
    uint64_t header = HeaderBytes(pageSize);
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(hWriteFile, &size))
        return false;
    if (uint64_t(size.QuadPart) < header && !EnsureFileSize(hWriteFile, header))
        return false;
    SetLastError(ERROR_SUCCESS);
    HANDLE mapping = CreateFileMappingA(hWriteFile, nullptr, PAGE_READWRITE, 0, 0, "Kestrohd");
    if (!mapping)
        return false;
    // An existing mapping of that name belongs to another run's file: writing through it would
    // put this header into someone else's data.
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mapping);
        return false;
    }
    void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, SIZE_T(header));
    if (!view) {
        CloseHandle(mapping);
        return false;
    }
    std::memcpy(view, in, kBitmapHeaderBytes);
    bool flushed = FlushViewOfFile(view, SIZE_T(header)) != FALSE;
    UnmapViewOfFile(view);
    CloseHandle(mapping);
    return flushed;
}

void CCodecInstance::CloseDataFile() {
    if (chainOutputBuffer) {
        VirtualFree(chainOutputBuffer, 0, MEM_RELEASE);
        chainOutputBuffer = nullptr;
    }
    if (tailPage) {
        VirtualFree(tailPage, 0, MEM_RELEASE);
        tailPage = nullptr;
    }
    if (hWritePort) {
        CloseHandle(hWritePort);
        hWritePort = nullptr;
    }
    if (hWriteFile != INVALID_HANDLE_VALUE) {
        CloseHandle(hWriteFile);
        hWriteFile = INVALID_HANDLE_VALUE;
    }
    if (chainOutputFormat) {
        ::operator delete(chainOutputFormat);
        chainOutputFormat = nullptr;
    }
}

bool CCodecInstance::OpenNextPiece() {
    if (hWritePort) {
        DrainWrites();
        CloseHandle(hWritePort);
        hWritePort = nullptr;
    }
    if (hWriteFile != INVALID_HANDLE_VALUE) {
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
        CloseHandle(hWriteFile);
        hWriteFile = INVALID_HANDLE_VALUE;
        return false;
    }
    LARGE_INTEGER size{};
    pieceEnd = GetFileSizeEx(hWriteFile, &size) ? uint64_t(size.QuadPart) : 0;
    fileOffset = 0;
    pieceOffset = 0;
    nextRequest = requests;
    return true;
}

bool CCodecInstance::SplitTest() {
    // After a failed switch no piece is open: the frame goes to the next one that opens.
    if (hWriteFile != INVALID_HANDLE_VALUE && !NeedsNextPiece(pieceOffset, writeBytes, pieceBytes))
        return true;
    return OpenNextPiece();
}
