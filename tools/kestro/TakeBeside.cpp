#include "TakeBeside.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "Files.h"
#include "Pieces.h"

namespace kestro::tool {

std::optional<std::string> TakeFileBeside(const std::string& localPiece) {
    return TakeFileOfPiece(localPiece);
}

namespace {

TakeFileRead Damaged(std::string why) {
    return TakeFileRead{std::nullopt, std::move(why)};
}

// Reads the regular file `name` whose lstat gave `seen`, never more than a take file may hold.
TakeFileRead ReadRegular(const std::string& name, const struct stat& seen) {
    const int fd = open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return Damaged("cannot be opened: " + Reason(errno));
    struct stat st;
    std::string text(kMaxTakeFileBytes + 1, '\0');
    size_t got = 0;
    bool failed = fstat(fd, &st) != 0;
    const bool same =
        !failed && S_ISREG(st.st_mode) && st.st_dev == seen.st_dev && st.st_ino == seen.st_ino;
    while (same && !failed && got < text.size()) {
        const ssize_t n = read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        failed = n < 0;
        if (n <= 0)
            break;
        got += size_t(n);
    }
    const int error = errno;
    close(fd);
    if (!same && !failed)
        return Damaged("was replaced while it was read");
    if (failed)
        return Damaged("cannot be read: " + Reason(error));
    text.resize(got);
    return ParseTakeFile(text);
}

} // namespace

TakeFileRead ReadTakeFile(const std::string& path, std::string* found) {
    std::string name = path;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT && errno != ENOTDIR)
            return Damaged("cannot be looked at: " + Reason(errno));
        auto other = JoinCaseless(DirOf(path), {LeafOf(path)});
        if (!other || *other == path || lstat(other->c_str(), &st) != 0)
            return {};
        name = *other;
    }
    if (found)
        *found = name;
    // A link may lead out of the folder, to a device or to nothing: it is not followed.
    if (S_ISLNK(st.st_mode))
        return Damaged("is a symbolic link, which is not followed");
    if (S_ISDIR(st.st_mode))
        return Damaged("is a folder");
    if (!S_ISREG(st.st_mode))
        return Damaged("is no regular file (a FIFO, a device or a socket)");
    if (uint64_t(st.st_size) > kMaxTakeFileBytes)
        return Damaged("is " + std::to_string(st.st_size) + " bytes, longer than " +
                       std::to_string(kMaxTakeFileBytes));
    return ReadRegular(name, st);
}

bool WriteNewTakeFile(const std::string& path, const TakeFile& take, std::string& error) {
    OutputFile out;
    if (!out.Create(path, UsualMode(), error))
        return false;
    const std::string text = FormatTakeFile(take);
    if (!WriteAll(out.fd(), text.data(), text.size())) {
        error = "cannot write " + out.temp() + ": " + Reason(errno);
        return false;
    }
    return out.Finish(false, true, error);
}

} // namespace kestro::tool
