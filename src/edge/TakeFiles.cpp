#include "edge/TakeFiles.h"

#include "edge/Win32Edge.h"

namespace kestro {

namespace {

using GenRandom = BOOLEAN(WINAPI*)(PVOID, ULONG);

// RtlGenRandom is exported by advapi32 under the name SystemFunction036.
GenRandom FindGenRandom() {
    HMODULE advapi = GetModuleHandleA("advapi32.dll");
    if (!advapi)
        advapi = LoadLibraryA("advapi32.dll");
    if (!advapi)
        return nullptr;
    return reinterpret_cast<GenRandom>(
        reinterpret_cast<void*>(GetProcAddress(advapi, "SystemFunction036")));
}

uint64_t Mixed(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Enough to tell two takes apart where the system has no random source to offer.
uint32_t FallbackId(uint32_t attempt) {
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    uint64_t seed = uint64_t(counter.QuadPart) ^ uint64_t(GetTickCount()) << 32 ^
                    uint64_t(GetCurrentProcessId()) << 16 ^ uint64_t(GetCurrentThreadId()) ^
                    uint64_t(reinterpret_cast<uintptr_t>(&counter)) ^ attempt;
    return uint32_t(Mixed(seed));
}

TakeFileRead Damaged(std::string why) {
    return TakeFileRead{std::nullopt, std::move(why)};
}

// Whether the folder lists the name although it does not open: a link to nothing.
bool Listed(const std::string& path) {
    if (path.find_first_of("*?") != std::string::npos)
        return false;
    WIN32_FIND_DATAA found{};
    HANDLE search = FindFirstFileA(path.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    FindClose(search);
    return true;
}

} // namespace

uint32_t DrawTakeId() {
    static const GenRandom genRandom = FindGenRandom();
    for (uint32_t attempt = 0;; ++attempt) {
        uint32_t id = 0;
        if (!genRandom || !genRandom(&id, sizeof id))
            id = FallbackId(attempt);
        if (id != 0)
            return id;
    }
}

std::string TakeTimeNow() {
    SYSTEMTIME now{};
    GetSystemTime(&now);
    return TakeTimeText(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
}

TakeFile FreshTake() {
    TakeFile take;
    take.id = DrawTakeId();
    take.started = TakeTimeNow();
    return take;
}

TakeFileRead ReadTakeFileAt(const std::string& path) {
    // Opened as itself: a link or junction is not followed, and a folder opens to be told apart.
    UniqueFile file(CreateFileA(
        path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        if ((error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) && !Listed(path))
            return {};
        return Damaged("cannot be opened (system error " + std::to_string(error) + ")");
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(file.get()) != FILE_TYPE_DISK || !GetFileInformationByHandle(file.get(), &info))
        return Damaged("is no file on a disk (a pipe, a device or a port)");
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return Damaged("is a link (a reparse point), which is not followed");
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return Damaged("is a folder");
    const uint64_t size = uint64_t(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    if (size > kMaxTakeFileBytes)
        return Damaged("is " + std::to_string(size) + " bytes, longer than " +
                       std::to_string(kMaxTakeFileBytes));
    // One byte more than a take file may hold: a file that grew meanwhile reads as too long.
    std::string text(size_t(size) + 1, '\0');
    DWORD got = 0;
    if (!ReadFile(file.get(), text.data(), DWORD(text.size()), &got, nullptr))
        return Damaged("cannot be read (system error " + std::to_string(GetLastError()) + ")");
    text.resize(got);
    return ParseTakeFile(text);
}

bool WriteTakeFileAt(const std::string& path, const TakeFile& take, bool replace) {
    // Ends in neither a piece suffix nor ".take"; unique to this process and moment.
    const std::string temporary =
        path + ".tmp-" + TakeIdText(GetCurrentProcessId()) + "-" + TakeIdText(GetTickCount());
    const std::string text = FormatTakeFile(take);
    bool written = false;
    {
        UniqueFile file(CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file)
            return false;
        DWORD done = 0;
        written = GetFileType(file.get()) == FILE_TYPE_DISK &&
                  WriteFile(file.get(), text.data(), DWORD(text.size()), &done, nullptr) &&
                  done == text.size() && FlushFileBuffers(file.get());
    }
    if (written && MoveFileExA(temporary.c_str(), path.c_str(),
                               MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0)))
        return true;
    const DWORD error = GetLastError();
    DeleteFileA(temporary.c_str());
    SetLastError(error);
    return false;
}

bool ReplaceTakeFile(const std::string& path, TakeFile next) {
    if (auto earlier = ReadTakeFileAt(path); earlier.take)
        NoteReplacedTake(next, *earlier.take);
    return WriteTakeFileAt(path, next);
}

} // namespace kestro
