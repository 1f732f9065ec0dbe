#include "ImportPatch.h"

#include <cstring>
#include <stdexcept>

namespace kt {

ImportPatch::ImportPatch(const char* module) {
    // A counted reference: the codec manager may close its last handle while we patch.
    if (!GetModuleHandleExA(0, module, &module_))
        module_ = nullptr;
}

ImportPatch::~ImportPatch() {
    for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
        DWORD old;
        VirtualProtect(it->slot, sizeof(void*), PAGE_READWRITE, &old);
        *it->slot = it->original;
        VirtualProtect(it->slot, sizeof(void*), old, &old);
    }
    if (module_)
        FreeLibrary(module_);
}

template <typename Visit> void ImportPatch::ForEachImport(Visit visit) const {
    if (!module_)
        return;
    auto* base = reinterpret_cast<uint8_t*>(module_);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0)
        return;
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name;
         ++d) {
        const char* library = reinterpret_cast<const char*>(base + d->Name);
        // The name table lists what the address table held before binding.
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(
            base + (d->OriginalFirstThunk ? d->OriginalFirstThunk : d->FirstThunk));
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            visit(library, reinterpret_cast<const char*>(byName->Name),
                  reinterpret_cast<void**>(&slots->u1.Function));
        }
    }
}

void* ImportPatch::Replace(const char* function, void* replacement) {
    void* original = nullptr;
    ForEachImport([&](const char*, const char* name, void** slot) {
        if (original || std::strcmp(name, function) != 0)
            return;
        original = *slot;
        entries_.push_back({slot, original});
        DWORD old;
        VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &old);
        *slot = replacement;
        VirtualProtect(slot, sizeof(void*), old, &old);
    });
    return original;
}

std::vector<std::string> ImportPatch::Imports() const {
    std::vector<std::string> list;
    ForEachImport([&](const char* library, const char* name, void**) {
        list.push_back(std::string(library) + "!" + name);
    });
    return list;
}

namespace {

CRITICAL_SECTION* Lock() {
    static struct Section {
        Section() { InitializeCriticalSection(&cs); }
        CRITICAL_SECTION cs;
    } section;
    return &section.cs;
}

struct Call {
    std::string function, name;
};
std::vector<Call>* g_calls = nullptr;

void Record(const char* call, const char* name) {
    EnterCriticalSection(Lock());
    if (g_calls)
        g_calls->push_back({call, name ? name : "(null)"});
    LeaveCriticalSection(Lock());
}

void Record(const char* call, const wchar_t* name) {
    char text[1024] = "(null)";
    if (name && !WideCharToMultiByte(CP_UTF8, 0, name, -1, text, sizeof text, nullptr, nullptr))
        std::strcpy(text, "(not convertible)");
    Record(call, text);
}

// One replacement per call: record the name, then call what the module would have called.
#define KT_TRACED(Ret, Fn, Params, Args, Name)                                                     \
    void* g_original##Fn = nullptr;                                                                \
    Ret WINAPI Traced##Fn Params {                                                                 \
        Record(#Fn, Name);                                                                         \
        return reinterpret_cast<decltype(&::Fn)>(g_original##Fn) Args;                             \
    }

KT_TRACED(HANDLE, CreateFileA,
          (LPCSTR n, DWORD a, DWORD s, LPSECURITY_ATTRIBUTES sa, DWORD c, DWORD f, HANDLE t),
          (n, a, s, sa, c, f, t), n)
KT_TRACED(HANDLE, CreateFileW,
          (LPCWSTR n, DWORD a, DWORD s, LPSECURITY_ATTRIBUTES sa, DWORD c, DWORD f, HANDLE t),
          (n, a, s, sa, c, f, t), n)
KT_TRACED(DWORD, GetFileAttributesA, (LPCSTR n), (n), n)
KT_TRACED(DWORD, GetFileAttributesW, (LPCWSTR n), (n), n)
KT_TRACED(BOOL, GetFileAttributesExA, (LPCSTR n, GET_FILEEX_INFO_LEVELS l, LPVOID i), (n, l, i), n)
KT_TRACED(BOOL, GetFileAttributesExW, (LPCWSTR n, GET_FILEEX_INFO_LEVELS l, LPVOID i), (n, l, i), n)
KT_TRACED(HANDLE, FindFirstFileA, (LPCSTR n, LPWIN32_FIND_DATAA d), (n, d), n)
KT_TRACED(HANDLE, FindFirstFileW, (LPCWSTR n, LPWIN32_FIND_DATAW d), (n, d), n)
KT_TRACED(HANDLE, FindFirstFileExA,
          (LPCSTR n, FINDEX_INFO_LEVELS l, LPVOID d, FINDEX_SEARCH_OPS o, LPVOID f, DWORD x),
          (n, l, d, o, f, x), n)
KT_TRACED(HANDLE, FindFirstFileExW,
          (LPCWSTR n, FINDEX_INFO_LEVELS l, LPVOID d, FINDEX_SEARCH_OPS o, LPVOID f, DWORD x),
          (n, l, d, o, f, x), n)
KT_TRACED(BOOL, GetDiskFreeSpaceExA,
          (LPCSTR n, PULARGE_INTEGER a, PULARGE_INTEGER t, PULARGE_INTEGER f), (n, a, t, f), n)
KT_TRACED(BOOL, GetDiskFreeSpaceExW,
          (LPCWSTR n, PULARGE_INTEGER a, PULARGE_INTEGER t, PULARGE_INTEGER f), (n, a, t, f), n)
KT_TRACED(BOOL, GetDiskFreeSpaceA, (LPCSTR n, LPDWORD s, LPDWORD b, LPDWORD f, LPDWORD t),
          (n, s, b, f, t), n)
KT_TRACED(BOOL, GetDiskFreeSpaceW, (LPCWSTR n, LPDWORD s, LPDWORD b, LPDWORD f, LPDWORD t),
          (n, s, b, f, t), n)
KT_TRACED(UINT, GetDriveTypeA, (LPCSTR n), (n), n)
KT_TRACED(UINT, GetDriveTypeW, (LPCWSTR n), (n), n)
KT_TRACED(BOOL, GetVolumeInformationA,
          (LPCSTR n, LPSTR v, DWORD vs, LPDWORD s, LPDWORD m, LPDWORD f, LPSTR fs, DWORD fss),
          (n, v, vs, s, m, f, fs, fss), n)
KT_TRACED(BOOL, GetVolumeInformationW,
          (LPCWSTR n, LPWSTR v, DWORD vs, LPDWORD s, LPDWORD m, LPDWORD f, LPWSTR fs, DWORD fss),
          (n, v, vs, s, m, f, fs, fss), n)
KT_TRACED(BOOL, CreateDirectoryA, (LPCSTR n, LPSECURITY_ATTRIBUTES s), (n, s), n)
KT_TRACED(BOOL, CreateDirectoryW, (LPCWSTR n, LPSECURITY_ATTRIBUTES s), (n, s), n)
KT_TRACED(BOOL, DeleteFileA, (LPCSTR n), (n), n)
KT_TRACED(BOOL, DeleteFileW, (LPCWSTR n), (n), n)
KT_TRACED(DWORD, GetPrivateProfileStringA,
          (LPCSTR a, LPCSTR k, LPCSTR d, LPSTR r, DWORD s, LPCSTR n), (a, k, d, r, s, n), n)
KT_TRACED(BOOL, WritePrivateProfileStringA, (LPCSTR a, LPCSTR k, LPCSTR v, LPCSTR n), (a, k, v, n),
          n)
KT_TRACED(UINT, GetPrivateProfileIntA, (LPCSTR a, LPCSTR k, INT d, LPCSTR n), (a, k, d, n), n)

#undef KT_TRACED

struct Traced {
    const char* name;
    void* replacement;
    void** original;
};

#define KT_ENTRY(Fn)                                                                               \
    { #Fn, reinterpret_cast < void*>(&Traced##Fn), &g_original##Fn }
const Traced kTraced[] = {
    KT_ENTRY(CreateFileA),
    KT_ENTRY(CreateFileW),
    KT_ENTRY(GetFileAttributesA),
    KT_ENTRY(GetFileAttributesW),
    KT_ENTRY(GetFileAttributesExA),
    KT_ENTRY(GetFileAttributesExW),
    KT_ENTRY(FindFirstFileA),
    KT_ENTRY(FindFirstFileW),
    KT_ENTRY(FindFirstFileExA),
    KT_ENTRY(FindFirstFileExW),
    KT_ENTRY(GetDiskFreeSpaceExA),
    KT_ENTRY(GetDiskFreeSpaceExW),
    KT_ENTRY(GetDiskFreeSpaceA),
    KT_ENTRY(GetDiskFreeSpaceW),
    KT_ENTRY(GetDriveTypeA),
    KT_ENTRY(GetDriveTypeW),
    KT_ENTRY(GetVolumeInformationA),
    KT_ENTRY(GetVolumeInformationW),
    KT_ENTRY(CreateDirectoryA),
    KT_ENTRY(CreateDirectoryW),
    KT_ENTRY(DeleteFileA),
    KT_ENTRY(DeleteFileW),
    KT_ENTRY(GetPrivateProfileStringA),
    KT_ENTRY(WritePrivateProfileStringA),
    KT_ENTRY(GetPrivateProfileIntA),
};
#undef KT_ENTRY

} // namespace

FileNameTrace::FileNameTrace(const char* module) : patch_(module) {
    EnterCriticalSection(Lock());
    if (g_calls) {
        LeaveCriticalSection(Lock());
        throw std::logic_error("one file name trace at a time");
    }
    g_calls = new std::vector<Call>;
    LeaveCriticalSection(Lock());
    for (const Traced& t : kTraced) {
        void* original = patch_.Replace(t.name, t.replacement);
        if (original)
            *t.original = original;
        if (original && std::strncmp(t.name, "CreateFile", 10) == 0)
            active_ = true;
    }
}

FileNameTrace::~FileNameTrace() {
    // The table is put back after this body runs: a call in between finds no list.
    EnterCriticalSection(Lock());
    delete g_calls;
    g_calls = nullptr;
    LeaveCriticalSection(Lock());
}

std::vector<std::string> FileNameTrace::Calls() const {
    std::vector<std::string> list;
    EnterCriticalSection(Lock());
    for (const Call& call : *g_calls)
        list.push_back(call.function + " " + call.name);
    LeaveCriticalSection(Lock());
    return list;
}

bool FileNameTrace::Named(const std::string& name) const {
    EnterCriticalSection(Lock());
    bool found = false;
    for (const Call& call : *g_calls)
        found = found || call.name == name;
    LeaveCriticalSection(Lock());
    return found;
}

void FileNameTrace::Clear() {
    EnterCriticalSection(Lock());
    if (g_calls)
        g_calls->clear();
    LeaveCriticalSection(Lock());
}

} // namespace kt
