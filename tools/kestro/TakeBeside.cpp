#include "TakeBeside.h"

#include <fcntl.h>

#include <cerrno>

#include "Files.h"
#include "Pieces.h"

namespace kestro::tool {

std::optional<std::string> TakeFileBeside(const std::string& localPiece) {
    return TakeFileOfPiece(localPiece);
}

std::optional<TakeFile> ReadTakeFile(const std::string& path, std::string* found) {
    std::string name = path;
    PosixFile exact(path, O_RDONLY);
    std::optional<PosixFile> caseless;
    FdFile* file = &exact;
    if (!exact.ok()) {
        if (exact.notRegular())
            return std::nullopt;
        auto other = JoinCaseless(DirOf(path), {LeafOf(path)});
        if (!other || *other == path)
            return std::nullopt;
        name = *other;
        caseless.emplace(name, O_RDONLY);
        if (!caseless->ok())
            return std::nullopt;
        file = &*caseless;
    }
    const uint64_t size = file->Size();
    if (size > kMaxTakeFileBytes)
        return std::nullopt;
    std::string text(size_t(size), '\0');
    if (!file->ReadAt(0, text.data(), text.size()))
        return std::nullopt;
    auto take = ParseTakeFile(text);
    if (take && found)
        *found = name;
    return take;
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
