#include "edge/Win32Edge.h"

namespace kestro {

uint32_t SystemPageSize() {
    static const uint32_t size = [] {
        SYSTEM_INFO info{};
        GetSystemInfo(&info);
        return uint32_t(info.dwPageSize);
    }();
    return size;
}

uint8_t* AllocatePages(size_t bytes, DWORD protection) {
    return static_cast<uint8_t*>(
        VirtualAlloc(nullptr, bytes ? bytes : 1, MEM_COMMIT | MEM_RESERVE, protection));
}

void FreePages(uint8_t*& pages) {
    if (pages) {
        VirtualFree(pages, 0, MEM_RELEASE);
        pages = nullptr;
    }
}

void CloseFile(HANDLE& file) {
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        file = INVALID_HANDLE_VALUE;
    }
}

void CloseObject(HANDLE& object) {
    if (object) {
        CloseHandle(object);
        object = nullptr;
    }
}

bool IsShortage(DWORD error) {
    return error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_INVALID_USER_BUFFER ||
           error == ERROR_NOT_ENOUGH_QUOTA;
}

bool IsDiskFull(DWORD error) {
    return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
}

namespace {

template <typename Fn> void Find(HMODULE module, Fn& fn, const char* name) {
    fn = module ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)))
                : nullptr;
}

} // namespace

const Kernel32Calls& Kernel32() {
    static const Kernel32Calls calls = [] {
        Kernel32Calls c{};
        HMODULE module = GetModuleHandleA("kernel32.dll");
        Find(module, c.CancelIoEx, "CancelIoEx");
        Find(module, c.GetQueuedCompletionStatusEx, "GetQueuedCompletionStatusEx");
        Find(module, c.SetFileCompletionNotificationModes, "SetFileCompletionNotificationModes");
        Find(module, c.SetFileInformationByHandle, "SetFileInformationByHandle");
        Find(module, c.GetFileInformationByHandleEx, "GetFileInformationByHandleEx");
        return c;
    }();
    return calls;
}

BOOL CancelRequest(HANDLE file, OVERLAPPED* which) {
    auto cancelEx = Kernel32().CancelIoEx;
    return cancelEx ? cancelEx(file, which) : CancelIo(file);
}

bool SkipPacketsOnSuccess(HANDLE file) {
    auto fn = Kernel32().SetFileCompletionNotificationModes;
    return fn && fn(file, FILE_SKIP_COMPLETION_PORT_ON_SUCCESS);
}

std::optional<std::u16string> FileCallName(std::string_view bytes) {
    if (bytes.empty())
        return std::u16string();
    // No flags: bytes that are no character become the default character, as the file calls
    // make them, never a separator or a letter.
    const UINT page = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
    const int n = MultiByteToWideChar(page, 0, bytes.data(), int(bytes.size()), nullptr, 0);
    if (n <= 0)
        return std::nullopt;
    std::u16string wide(size_t(n), u'\0');
    if (MultiByteToWideChar(page, 0, bytes.data(), int(bytes.size()),
                            reinterpret_cast<wchar_t*>(wide.data()), n) != n)
        return std::nullopt;
    return wide;
}

} // namespace kestro
