#pragma once
// Files of the `kestro` tool: positioned transfers that stop when asked to, and outputs written
// under a hidden temporary name beside their final one, renamed only when whole.
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "AviRecords.h"
#include "Outputs.h"
#include "Signals.h"

namespace kestro::tool {

// pread and pwrite may move fewer bytes than asked (a signal, a file that ends early); go on until
// all of it moved. False on a hard error (errno set), on an interrupt (errno EINTR) or when the
// file ends first (errno 0): every caller asks for bytes that must be there.
bool ReadAt(int fd, void* data, size_t bytes, uint64_t offset);
bool WriteAt(int fd, const void* data, size_t bytes, uint64_t offset);
bool WriteAll(int fd, const void* data, size_t bytes);

// errno as text, or what a transfer that failed with errno 0 means.
std::string Reason(int code);

// A descriptor as the record walker sees it; not closed here.
class FdFile : public avi::ByteFile {
public:
    explicit FdFile(int fd) : fd_(fd) {}
    int fd() const { return fd_; }
    uint64_t Size() override;
    bool ReadAt(uint64_t offset, void* data, size_t bytes) override;
    bool WriteAt(uint64_t offset, const void* data, size_t bytes) override;

protected:
    int fd_;
};

class PosixFile : public FdFile {
public:
    // Opens only a regular file, and without waiting at a FIFO for a writer.
    PosixFile(const std::string& path, int flags);
    ~PosixFile() override;
    PosixFile(const PosixFile&) = delete;
    PosixFile& operator=(const PosixFile&) = delete;
    bool ok() const { return fd_ >= 0; }
    bool notRegular() const { return notRegular_; }

private:
    bool notRegular_ = false;
};

// The text for a failed open of `path`.
std::string CannotOpen(const std::string& path, const PosixFile& file);

// The mode a new file gets from open(2) with 0666: the user's umask applied.
mode_t UsualMode();

// An output written as ".NAME.kestro-XXXXXX" beside NAME. The temporary file is locked while its
// creator lives, so that leftovers of killed runs are told from outputs still being written.
class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile() { Discard(); }

    // Removes the leftovers of earlier runs for `final` (see Removed()), then creates the
    // temporary file with `mode`.
    bool Create(const std::string& final, mode_t mode, std::string& error);
    int fd() const { return fd_; }
    const std::string& temp() const { return temp_; }
    const std::vector<std::string>& Removed() const { return removed_; }

    // Flushes the file to the disk and renames it to its final name; with `replace` false an
    // existing final file is left alone and the call fails with EEXIST. With `durable`, the folder
    // is flushed as well, so that the new name survives a crash (a backup must, before the file it
    // keeps changes).
    bool Finish(bool replace, bool durable, std::string& error);
    void Discard(); // closes and removes the temporary file; idempotent

private:
    std::string final_;
    std::string temp_;
    TemporaryName slot_;
    int fd_ = -1;
    std::vector<std::string> removed_;
};

// Temporary files of earlier runs for `final` whose creator is gone, removed; their names.
std::vector<std::string> RemoveLeftovers(const std::string& final);

// Flushes the folder holding `path`, so that a rename or a new name in it is on the disk.
bool SyncFolderOf(const std::string& path);

std::string DirOf(const std::string& path);
std::string LeafOf(const std::string& path);

} // namespace kestro::tool
