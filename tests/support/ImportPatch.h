#pragma once
// Seeing and replacing what a loaded library calls: entries of its import address table are
// pointed elsewhere for the life of an object and put back at its end.
#include <windows.h>

#include <string>
#include <vector>

namespace kt {

// Replaces entries of one loaded module's import table. The module is kept loaded meanwhile,
// so that the entries put back at the end are still its own.
class ImportPatch {
public:
    explicit ImportPatch(const char* module);
    ~ImportPatch();
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;

    bool loaded() const { return module_ != nullptr; }
    // Points the module's import of `function` (by name, from whichever library) at
    // `replacement`; returns the address it held, or null when the module does not import it.
    void* Replace(const char* function, void* replacement);
    // What the module imports by name, as "KERNEL32.dll!CreateFileA".
    std::vector<std::string> Imports() const;

private:
    struct Entry {
        void** slot;
        void* original;
    };
    template <typename Visit> void ForEachImport(Visit visit) const;
    HMODULE module_ = nullptr;
    std::vector<Entry> entries_;
};

// Records, while it lives, every name that `module` hands to the calls that open or query files
// by name (CreateFile, GetFileAttributes(Ex), FindFirstFile(Ex), GetDiskFreeSpace(Ex),
// GetDriveType, GetVolumeInformation, CreateDirectory, DeleteFile, the profile calls; ANSI and
// wide). The calls still happen. One trace at a time.
class FileNameTrace {
public:
    explicit FileNameTrace(const char* module = "kestro32.dll");
    ~FileNameTrace();
    FileNameTrace(const FileNameTrace&) = delete;
    FileNameTrace& operator=(const FileNameTrace&) = delete;

    // The module is loaded and its file opens are traced (it imports CreateFileA or W).
    bool active() const { return active_; }
    // "CreateFileA T:\data.000", in the order of the calls; wide names in UTF-8.
    std::vector<std::string> Calls() const;
    // Whether a call was given exactly `name` (letter case as given).
    bool Named(const std::string& name) const;
    void Clear();

private:
    ImportPatch patch_;
    bool active_ = false;
};

} // namespace kt
