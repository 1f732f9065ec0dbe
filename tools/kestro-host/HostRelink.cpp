// relink: after the pieces of a data file were moved (and renamed), make every frame record of a
// capture name them under their new Windows path.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <vector>

#include "Host.h"
#include "HostWin.h"
#include "AviRecords.h"
#include "Outputs.h"
#include "pure/StreamFormat.h"

namespace host {

namespace {

namespace avi = kestro::avi;

std::string FileNameOf(std::string_view path) {
    const size_t slash = path.find_last_of("\\/");
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

bool IsRegularFile(const std::string& path, uint64_t* bytes) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)))
        return false;
    *bytes = uint64_t(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
    return true;
}

std::string Joined(const std::string& dir, const std::string& name) {
    if (dir.empty() || dir.back() == '\\' || dir.back() == '/')
        return dir + name;
    return dir + "\\" + name;
}

// Where a piece is now: the file of its new name in the data folder, else of its old name.
struct PieceLookup {
    std::string newName; // Windows path the records will hold
    std::string local;   // the file found in --data, empty when none
    int64_t bytes = -1;
    bool underOldName = false;
};

PieceLookup FindPiece(const std::string& dataDir, std::string_view oldPath,
                      std::string_view newBase) {
    PieceLookup look;
    auto name = avi::RelinkedPieceName(oldPath, newBase);
    if (!name)
        return look;
    look.newName = *name;
    uint64_t bytes = 0;
    for (const std::string& candidate : {FileNameOf(*name), FileNameOf(oldPath)}) {
        const std::string local = Joined(dataDir, candidate);
        if (IsRegularFile(local, &bytes)) {
            look.local = local;
            look.bytes = int64_t(bytes);
            look.underOldName = candidate != FileNameOf(*name);
            break;
        }
    }
    return look;
}

// Temporary files of `final` that killed runs left: a running relink holds its own open, shared
// with nobody, so only leftovers can be deleted.
void RemoveLeftovers(const std::string& final) {
    const std::string leaf(avi::LeafOf(final, "\\/"));
    const std::string folder = final.substr(0, final.size() - leaf.size());
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "." + leaf + ".kestro-*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    std::vector<std::string> names;
    do {
        if (avi::IsTemporaryOf(found.cFileName, leaf, true))
            names.push_back(folder + found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    for (const auto& name : names)
        if (DeleteFileA(name.c_str()))
            Note("kestro-host: removed " + name + ", left by a relink that was killed");
}

// Creates the temporary file of `final`, shared with nobody.
bool CreateTemporary(const std::string& final, HandleFile& file, std::string& name) {
    const std::string pattern = avi::TemporaryNameOf(final, "\\/");
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    uint64_t seed = uint64_t(now.QuadPart) ^ uint64_t(GetCurrentProcessId()) << 32;
    for (int attempt = 0; attempt < 16; ++attempt) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        name = avi::FillTemporaryName(pattern, seed >> 16);
        if (file.Open(name, true, true) || file.LastCode() != ERROR_FILE_EXISTS)
            return file.handle() != INVALID_HANDLE_VALUE;
    }
    return false;
}

// Rewrites the records in place after the original is kept, whole, as the backup: copied under a
// temporary name, flushed, and renamed only where no backup exists yet.
int RelinkInPlaceKeepingBackup(HandleFile& in, const std::string& input,
                               const avi::AviLayout& layout, const std::string& newBase) {
    const std::string backup = avi::BackupNameOf(input);
    if (GetFileAttributesA(backup.c_str()) != INVALID_FILE_ATTRIBUTES) {
        Error(backup + " exists already; move it away or relink with -o OUT.avi");
        return kExitUsage;
    }
    HandleFile rw;
    if (!rw.Open(input, true, false)) {
        Error("cannot open " + input + " for writing: " + rw.LastError() + "; nothing was changed");
        return kExitPartial;
    }
    RemoveLeftovers(backup);
    HandleFile copy;
    std::string temporary, error;
    if (!CreateTemporary(backup, copy, temporary)) {
        Error("cannot create " + temporary + ": " + copy.LastError() + "; nothing was changed");
        return kExitPartial;
    }
    bool copied = avi::CopyAll(in, copy, input, temporary, error);
    if (copied && !copy.Flush()) {
        copied = false;
        error = "cannot write " + temporary + ": " + copy.LastError();
    }
    copied = copy.Close() && copied;
    DWORD code = ERROR_SUCCESS;
    if (copied && !MoveFileExA(temporary.c_str(), backup.c_str(), MOVEFILE_WRITE_THROUGH)) {
        code = GetLastError();
        copied = false;
        error = code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS
                    ? backup + " exists already; move it away or relink with -o OUT.avi"
                    : "cannot rename " + temporary + " to " + backup + ": " + SystemMessage(code);
    }
    if (!copied) {
        DeleteFileA(temporary.c_str()); // never the backup: it may be another's
        Error(error + "; nothing was changed");
        return code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS ? kExitUsage
                                                                         : kExitPartial;
    }
    // From here on the backup is whole under its name: it stays, whatever happens to the AVI.
    auto done = avi::RelinkInPlace(rw, layout, newBase, error);
    if (done && !rw.Flush()) {
        done.reset();
        error = "cannot write it: " + rw.LastError();
    }
    if (!rw.Close() && done) {
        done.reset();
        error = "closing it failed";
    }
    if (!done) {
        Error(input + ": " + error + "; the original is kept as " + backup);
        return kExitPartial;
    }
    std::printf("relinked %llu records in place in %s (original kept as %s)\n",
                (unsigned long long)*done, input.c_str(), backup.c_str());
    return kExitOk;
}

} // namespace

// A lock far beyond the end of any file, so that no read or write of the AVI meets it.
bool LockForRelink(HANDLE file) {
    OVERLAPPED at{};
    at.OffsetHigh = 0x7fffffff;
    return LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
}

int RunRelink(const RelinkOptions& options) {
    if (options.input.empty() || options.dataDir.empty() || options.newBase.empty()) {
        Error("relink needs IN.avi, --data DIR and --to BASE");
        return kExitUsage;
    }
    const DWORD dirAttributes = GetFileAttributesA(options.dataDir.c_str());
    if (dirAttributes == INVALID_FILE_ATTRIBUTES || !(dirAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        Error("--data " + options.dataDir + " is not a folder");
        return kExitUsage;
    }
    if (!options.output.empty() && lstrcmpiA(options.output.c_str(), options.input.c_str()) == 0) {
        Error("-o names the input itself; leave -o out to relink " + options.input +
              " in place (the original is kept as .bak)");
        return kExitUsage;
    }

    // Held to the end: it carries the lock, and the in-place rewrite opens a writer beside it.
    HandleFile in;
    if (!in.Open(options.input, false, false, true)) {
        Error("cannot open " + options.input + ": " + in.LastError());
        return kExitUsage;
    }
    if (!LockForRelink(in.handle())) {
        const DWORD code = GetLastError();
        if (code == ERROR_LOCK_VIOLATION) {
            Error("another relink of " + options.input + " is under way; nothing was changed");
            return kExitUsage;
        }
        Warning("cannot lock " + options.input + " (" + SystemMessage(code) +
                "); no other relink of it may run until this one ends");
    }
    auto layout = ReadCapture(in, options.input);
    if (!layout)
        return kExitUsage;
    std::string error;
    const avi::StreamInfo& stream = layout->streams[size_t(layout->kestStream)];
    auto format = stream.format.size() >= kestro::kStreamHeaderBytes
                      ? kestro::ReadStreamFormat(stream.format.data())
                      : std::nullopt;
    // A raw stream's records each hold one whole picture.
    const uint32_t pictureBytes = format && format->biChainHandler == 0 ? format->biSizeImage : 0;

    // Every piece must be found and hold the frames that name it; nothing is written otherwise.
    std::map<std::string, PieceLookup> pieces; // by the old name
    uint64_t problems = 0, records = 0;
    auto problem = [&](const std::string& text) {
        if (++problems <= 20)
            Error(text);
    };
    const bool walked = avi::ForEachRecord(
        in, *layout,
        [&](const avi::RecordChunk& chunk,
            const kestro::FrameRecordView& record) -> std::optional<std::string> {
            ++records;
            const std::string where = "frame " + std::to_string(chunk.index) + " (record at byte " +
                                      std::to_string(chunk.chunkOffset) + " of " + options.input +
                                      ", piece " + std::string(record.path) + ")";
            auto known = pieces.find(std::string(record.path));
            if (known == pieces.end())
                known = pieces
                            .emplace(std::string(record.path),
                                     FindPiece(options.dataDir, record.path, options.newBase))
                            .first;
            const PieceLookup& look = known->second;
            if (look.newName.empty())
                problem(where + ": the piece name has no .NNN suffix, or " + options.newBase +
                        " with one is longer than a record may hold");
            else if (look.local.empty())
                problem(where + ": the piece is in " + options.dataDir + " neither as " +
                        FileNameOf(look.newName) + " nor as " + FileNameOf(record.path));
            else if (pictureBytes && record.size < pictureBytes)
                problem(where + ": it holds " + std::to_string(record.size) +
                        " bytes, less than one picture of " + std::to_string(pictureBytes));
            else if (record.offset > uint64_t(look.bytes) ||
                     record.size > uint64_t(look.bytes) - record.offset)
                problem(where + ": its bytes " + std::to_string(record.offset) + " to " +
                        std::to_string(record.offset + record.size) + " lie beyond the end of " +
                        look.local + " (" + std::to_string(look.bytes) + " bytes)");
            return std::nullopt;
        },
        error);
    if (!walked) {
        Error(options.input + ": " + error + "; nothing was changed");
        return kExitUsage;
    }
    if (problems) {
        if (problems > 20)
            Error("... and " + std::to_string(problems - 20) + " more");
        Error(std::to_string(problems) + " of " + std::to_string(records) + " frames of " +
              options.input + " cannot be relinked; nothing was changed");
        return kExitBroken;
    }
    if (records < stream.length) {
        Error(options.input + ": the stream header promises " + std::to_string(stream.length) +
              " frames, the file holds " + std::to_string(records) + "; nothing was changed");
        return kExitUsage;
    }
    for (const auto& [old, look] : pieces)
        if (look.underOldName)
            Warning(look.local + " keeps its old name; the records now name " + look.newName +
                    ": rename it to " + FileNameOf(look.newName) + " where it goes");

    // Every record parsed above: a refusal here only says which record outgrows its chunk.
    const bool fits = avi::RelinkFitsInPlace(in, *layout, options.newBase, error);
    error.clear();
    if (fits && options.output.empty())
        return RelinkInPlaceKeepingBackup(in, options.input, *layout, options.newBase);

    std::string target = options.output;
    if (target.empty()) {
        const size_t n = options.input.size();
        const bool avi = n >= 4 && lstrcmpiA(options.input.c_str() + n - 4, ".avi") == 0;
        target = options.input.substr(0, avi ? n - 4 : n) + ".relinked.avi";
        Note("kestro-host: the new names do not fit the records' chunks; writing " + target);
    }
    // Written under a temporary name and renamed when whole.
    RemoveLeftovers(target);
    HandleFile out;
    std::string temporary;
    if (!CreateTemporary(target, out, temporary)) {
        Error("cannot create " + temporary + ": " + out.LastError());
        return kExitPartial;
    }
    auto done = avi::RelinkToNewFile(in, *layout, out, options.newBase, error);
    if (done && !out.Flush()) {
        done.reset();
        error = "cannot write " + temporary + ": " + out.LastError();
    }
    if (!out.Close() && done) {
        done.reset();
        error = "closing " + temporary + " failed";
    }
    if (!done || !MoveFileExA(temporary.c_str(), target.c_str(),
                              MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        if (done)
            error = "cannot rename " + temporary + " to " + target + ": " +
                    SystemMessage(GetLastError());
        DeleteFileA(temporary.c_str());
        Error(options.input + ": " + error + " (" + options.input + " is unchanged)");
        return kExitPartial;
    }
    std::printf("relinked %llu records into %s (%s unchanged)\n", (unsigned long long)*done,
                target.c_str(), options.input.c_str());
    return kExitOk;
}

} // namespace host
