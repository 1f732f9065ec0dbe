#include "Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kestro::tool {

namespace {

template <typename Call, typename Byte>
bool TransferAt(Call call, int fd, Byte* p, size_t bytes, uint64_t offset) {
    while (bytes > 0) {
        if (Interrupted()) {
            errno = EINTR;
            return false;
        }
        ssize_t n = call(fd, p, bytes, off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0) {
            errno = 0;
            return false;
        }
        p += n, bytes -= size_t(n), offset += uint64_t(n);
    }
    return true;
}

std::string InFolderOf(const std::string& path, const std::string& name) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? name : path.substr(0, slash + 1) + name;
}

} // namespace

bool ReadAt(int fd, void* data, size_t bytes, uint64_t offset) {
    return TransferAt(pread, fd, static_cast<uint8_t*>(data), bytes, offset);
}

bool WriteAt(int fd, const void* data, size_t bytes, uint64_t offset) {
    return TransferAt(pwrite, fd, static_cast<const uint8_t*>(data), bytes, offset);
}

bool WriteAll(int fd, const void* data, size_t bytes) {
    auto p = static_cast<const uint8_t*>(data);
    while (bytes > 0) {
        if (Interrupted()) {
            errno = EINTR;
            return false;
        }
        ssize_t done = write(fd, p, bytes);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return false;
        p += done, bytes -= size_t(done);
    }
    return true;
}

std::string Reason(int code) {
    if (code == 0)
        return "the file ends before them";
    if (code == EINTR && Interrupted())
        return "interrupted";
    return std::strerror(code);
}

PosixFile::PosixFile(const std::string& path, int flags) : FdFile(-1) {
    fd_ = open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat st;
    if (fd_ >= 0 && (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd_);
        fd_ = -1;
        notRegular_ = true;
        errno = EINVAL;
    }
    if (fd_ >= 0)
        fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
}

PosixFile::~PosixFile() {
    if (fd_ >= 0)
        close(fd_);
}

uint64_t FdFile::Size() {
    struct stat st;
    return fstat(fd_, &st) == 0 ? uint64_t(st.st_size) : 0;
}

bool FdFile::ReadAt(uint64_t offset, void* data, size_t bytes) {
    return tool::ReadAt(fd_, data, bytes, offset);
}

bool FdFile::WriteAt(uint64_t offset, const void* data, size_t bytes) {
    return tool::WriteAt(fd_, data, bytes, offset);
}

std::string CannotOpen(const std::string& path, const PosixFile& file) {
    if (file.notRegular())
        return path + " is not a regular file";
    return "cannot open " + path + ": " + Reason(errno);
}

mode_t UsualMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

std::string DirOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string LeafOf(const std::string& path) {
    return std::string(avi::LeafOf(path, "/"));
}

bool SyncFolderOf(const std::string& path) {
    const int fd = open(DirOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    // Some file systems cannot flush a folder; they keep their names by other means.
    const bool ok = fsync(fd) == 0 || errno == EINVAL;
    close(fd);
    return ok;
}

std::vector<std::string> RemoveLeftovers(const std::string& final) {
    std::vector<std::string> removed;
    const std::string leaf = LeafOf(final);
    DIR* dir = opendir(DirOf(final).c_str());
    if (!dir)
        return removed;
    std::vector<std::string> candidates;
    while (dirent* e = readdir(dir))
        if (avi::IsTemporaryOf(e->d_name, leaf))
            candidates.push_back(InFolderOf(final, e->d_name));
    closedir(dir);
    for (const auto& path : candidates) {
        const int fd =
            open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd < 0)
            continue;
        // Its creator holds the lock while it lives; a name that still leads to the locked file
        // is a leftover.
        struct stat held, named;
        if (fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
            lstat(path.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
            held.st_dev == named.st_dev && unlink(path.c_str()) == 0)
            removed.push_back(path);
        close(fd);
    }
    return removed;
}

bool OutputFile::Create(const std::string& final, mode_t mode, std::string& error) {
    Discard();
    final_ = final;
    removed_ = RemoveLeftovers(final);
    const std::string pattern = avi::TemporaryNameOf(final, "/");
    for (int attempt = 0; attempt < 8; ++attempt) {
        if (!slot_.Take(pattern.c_str())) {
            error = "cannot create a file beside " + final + ": the name is too long";
            return false;
        }
        const int fd = mkostemp(slot_.data(), O_CLOEXEC);
        if (fd < 0) {
            error = "cannot create a file beside " + final + ": " + std::strerror(errno);
            slot_.Release();
            return false;
        }
        // A cleaner of another run may have taken the new file for a leftover before the lock
        // was held: then it is gone (or going), and another name is tried.
        struct stat st;
        const bool locked = flock(fd, LOCK_EX | LOCK_NB) == 0;
        const bool unlockable = !locked && errno != EWOULDBLOCK; // no locks on this file system
        if ((locked || unlockable) && fstat(fd, &st) == 0 && st.st_nlink > 0) {
            fd_ = fd;
            temp_ = slot_.data();
            if (fchmod(fd_, mode) != 0) {
                error = "cannot set the mode of " + temp_ + ": " + std::strerror(errno);
                Discard();
                return false;
            }
            return true;
        }
        close(fd);
        slot_.Release();
    }
    error = "cannot create a file beside " + final + ": its temporary files keep vanishing";
    return false;
}

bool OutputFile::Finish(bool replace, bool durable, std::string& error) {
    if (fsync(fd_) != 0) {
        error = "cannot write " + final_ + ": " + std::strerror(errno);
        return false;
    }
    // Renamed while still open and locked: a cleaner never takes it for a leftover.
    int done = replace
                   ? rename(temp_.c_str(), final_.c_str())
                   : renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, final_.c_str(), RENAME_NOREPLACE);
    if (done != 0 && !replace && (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP)) {
        // A file system without that rename: a second name, then the temporary one removed.
        done = link(temp_.c_str(), final_.c_str());
        struct stat st;
        if (done != 0 && errno != EEXIST && lstat(final_.c_str(), &st) != 0)
            done = rename(temp_.c_str(), final_.c_str()); // nor hard links (FAT)
        else if (done != 0 && errno != EEXIST)
            errno = EEXIST;
        if (done == 0)
            unlink(temp_.c_str());
    }
    if (done != 0) {
        error = errno == EEXIST
                    ? final_ + " exists already"
                    : "cannot rename " + temp_ + " to " + final_ + ": " + std::strerror(errno);
        return false;
    }
    temp_.clear();
    slot_.Release();
    const bool synced = !durable || SyncFolderOf(final_);
    const bool closed = close(fd_) == 0;
    fd_ = -1;
    if (!synced || !closed) {
        error = "cannot write " + final_ + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void OutputFile::Discard() {
    if (!temp_.empty())
        unlink(temp_.c_str());
    temp_.clear();
    slot_.Release();
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

} // namespace kestro::tool
