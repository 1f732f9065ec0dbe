// relink: after the pieces of a data file were moved (and renamed), make every frame record of a
// capture name them under their new Windows path. The relink itself is tools/common/Relink.h;
// here are its Windows files and the pieces looked for in the --data folder.
#include <windows.h>

#include <cstdio>
#include <map>
#include <vector>

#include "AviRecords.h"
#include "Host.h"
#include "HostWin.h"
#include "Outputs.h"
#include "PathGate.h"
#include "RawPictures.h"
#include "Relink.h"
#include "edge/TakeFiles.h"
#include "pure/StreamFormat.h"

namespace host {

namespace {

namespace avi = kestro::avi;

static_assert(kExitOk == avi::kRelinkDone && kExitBroken == avi::kRelinkBroken &&
              kExitUsage == avi::kRelinkRefused && kExitPartial == avi::kRelinkNotWritten &&
              kExitInterrupted == avi::kRelinkInterrupted);

std::string FileNameOf(std::string_view path) {
    return std::string(avi::LeafOf(path, "\\/"));
}

std::string FullPathOf(const std::string& path) {
    char full[MAX_PATH] = {};
    const DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    return n == 0 || n >= sizeof full ? path : std::string(full, n);
}

std::string Joined(const std::string& dir, const std::string& name) {
    if (dir.empty() || dir.back() == '\\' || dir.back() == '/')
        return dir + name;
    return dir + "\\" + name;
}

} // namespace

// Temporary files of `final` that killed runs left: a running relink holds its own open, shared
// with nobody, so only leftovers can be deleted.
void RemoveLeftovers(const std::string& final, const char* command) {
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
            Note("kestro-host: removed " + name + ", left by a " + command + " that was killed");
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

namespace {

class HostRelinkTool : public avi::RelinkTool {
public:
    explicit HostRelinkTool(const RelinkOptions& options) : options_(options) {}

    void Error(const std::string& text) override { host::Error(text); }
    void Warning(const std::string& text) override { host::Warning(text); }
    void Note(const std::string& text) override { host::Note("kestro-host: " + text); }
    std::string Describe(const avi::RecordProblem& p) override {
        const std::string where = "frame " + std::to_string(p.chunk.index) + " (record at byte " +
                                  std::to_string(p.chunk.chunkOffset) + " of " + options_.input +
                                  ", piece " + std::string(p.record.path) + ")";
        switch (p.kind) {
        case avi::RecordProblem::Refused:
            return where + ": " + p.why;
        case avi::RecordProblem::NoPieceSuffix:
            return where + ": the piece name has no .NNN suffix, or its new base with one is " +
                   "longer than a record may hold";
        case avi::RecordProblem::NotFound:
            return where + ": the piece is in " + DataDirOf(p.newName) + " neither as " +
                   FileNameOf(p.newName) + " nor as " + FileNameOf(p.record.path) +
                   (p.why.empty() ? "" : " (" + p.why + ")");
        case avi::RecordProblem::ReplacedTake:
            return where + ": " + p.why;
        case avi::RecordProblem::SmallerThanPicture:
            return where + ": it holds " + std::to_string(p.record.size) +
                   " bytes, less than one picture of " + std::to_string(p.pictureBytes);
        case avi::RecordProblem::OutsidePiece:
            break;
        }
        return where + ": its bytes " + std::to_string(p.record.offset) + " to " +
               std::to_string(p.record.offset + p.record.size) + " lie beyond the end of " +
               p.piece->local + " (" + std::to_string(p.piece->bytes) + " bytes)";
    }
    bool StopsAtFirstProblem() const override { return false; }
    bool UnreadableRecordIsBroken() const override { return false; }
    std::string Unchanged() const override { return "; nothing was changed"; }
    std::string NewFileFailure(const std::string& input, const std::string& error,
                               bool finishing) override {
        (void)finishing;
        return input + ": " + error + " (" + input + " is unchanged)";
    }

    // Held to the end: it carries the lock, and the in-place rewrite opens a writer beside it.
    avi::ByteFile* OpenInput(const std::string& path, std::string& error) override {
        if (in_.Open(path, false, false, true))
            return &in_;
        error = "cannot open " + path + ": " + in_.LastError();
        return nullptr;
    }
    Lock LockInput(std::string& reason) override {
        if (LockForRelink(in_.handle()))
            return Lock::Held;
        const DWORD code = GetLastError();
        reason = SystemMessage(code);
        return code == ERROR_LOCK_VIOLATION ? Lock::Busy : Lock::Failed;
    }
    bool IsInput(const std::string& path) override {
        return lstrcmpiA(path.c_str(), options_.input.c_str()) == 0;
    }
    bool Exists(const std::string& path) override {
        return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    }
    avi::ByteFile* OpenForRewrite(std::string& reason, bool& replaced) override {
        (void)replaced;
        if (rw_.Open(options_.input, true, false))
            return &rw_;
        reason = rw_.LastError();
        return nullptr;
    }
    bool FinishRewrite(std::string& error) override {
        if (!rw_.Flush()) {
            error = "cannot write it: " + rw_.LastError();
            return false;
        }
        if (!rw_.Close()) {
            error = "closing it failed";
            return false;
        }
        return true;
    }
    // Shared with nobody while it is written: no other relink takes it for a leftover.
    avi::ByteFile* CreateNew(const std::string& final, bool backup, std::string& error) override {
        (void)backup;
        final_ = final;
        RemoveLeftovers(final, "relink");
        if (CreateTemporary(final, new_, temporary_))
            return &new_;
        error = "cannot create " + temporary_ + ": " + new_.LastError();
        return nullptr;
    }
    const std::string& NewFileName() const override { return temporary_; }
    // Renamed with MOVEFILE_WRITE_THROUGH: on the disk when the call returns.
    bool FinishNew(bool replace, bool durable, bool& exists, std::string& error) override {
        (void)durable;
        if (!new_.Flush()) {
            error = "cannot write " + temporary_ + ": " + new_.LastError();
            return false;
        }
        if (!new_.Close()) {
            error = "closing " + temporary_ + " failed";
            return false;
        }
        const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
        if (MoveFileExA(temporary_.c_str(), final_.c_str(), flags))
            return true;
        const DWORD code = GetLastError();
        exists = !replace && (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS);
        error = exists
                    ? final_ + " exists already; move it away or relink with -o OUT.avi"
                    : "cannot rename " + temporary_ + " to " + final_ + ": " + SystemMessage(code);
        return false;
    }
    void DiscardNew() override {
        new_.Close();
        DeleteFileA(temporary_.c_str());
    }

    std::optional<avi::RelinkCapture> ReadCapture(avi::ByteFile& in) override {
        auto layout = host::ReadCapture(in_, options_.input);
        (void)in;
        if (!layout)
            return std::nullopt;
        const avi::StreamInfo& stream = layout->streams[size_t(layout->kestStream)];
        auto format = stream.format.size() >= kestro::kStreamHeaderBytes
                          ? kestro::ReadStreamFormat(stream.format.data())
                          : std::nullopt;
        if (std::optional<std::string> refused =
                format ? avi::PictureSizeRefusal(*format) : std::nullopt) {
            Error(options_.input + ": " + *refused + "; it was not changed");
            return std::nullopt;
        }
        // A raw stream's records each hold one whole picture.
        const uint32_t pictureBytes =
            format && format->biChainHandler == 0 ? format->biSizeImage : 0;
        return avi::RelinkCapture{std::move(*layout), pictureBytes};
    }
    // The file of the new name in the data folder, else of the old name; looked for once. A
    // record's file name joined to the folder passes the piece rule by its full name first: a
    // record may name AUX.000 or a stream, and the folder may be a share.
    const avi::RelinkPiece* FindPiece(std::string_view oldName, const std::string& newName,
                                      std::string& why) override {
        auto [known, added] = pieces_.try_emplace(std::string(oldName));
        if (added) {
            for (const std::string& candidate : {FileNameOf(newName), FileNameOf(oldName)}) {
                const std::string local = FullPathOf(Joined(DataDirOf(newName), candidate));
                const GatedPath gated = gate_.Piece(local, "");
                if (gated.Regular()) {
                    known->second =
                        avi::RelinkPiece{local, gated.bytes, candidate != FileNameOf(newName)};
                    break;
                }
                if (!gated.why.empty())
                    refusals_[known->first] +=
                        (refusals_[known->first].empty() ? "" : "; ") + gated.why;
            }
        }
        if (known->second.local.empty())
            why = refusals_[known->first];
        return known->second.local.empty() ? nullptr : &known->second;
    }

    // Take files in the data folder, by their full name: the piece rule sees absolute names.
    kestro::TakeFileRead ReadTake(const std::string& path) override {
        return ReadTakeFile(FullPathOf(path));
    }
    bool WriteNewTake(const std::string& path, const kestro::TakeFile& take,
                      std::string& error) override {
        if (kestro::WriteTakeFileAt(FullPathOf(path), take, false))
            return true;
        const DWORD code = GetLastError();
        error = code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS
                    ? path + " exists already"
                    : "cannot write " + path + ": " + SystemMessage(code);
        return false;
    }

private:
    // The folder given with the new base that `newName` takes: a striped take's pieces lie in a
    // folder for each of its data files.
    const std::string& DataDirOf(std::string_view newName) const {
        const std::string_view base =
            newName.substr(0, newName.size() < 4 ? 0 : newName.size() - 4);
        for (const auto& [dir, newBase] : options_.moreStripes)
            if (base.size() == newBase.size() &&
                lstrcmpiA(std::string(base).c_str(), newBase.c_str()) == 0)
                return dir;
        return options_.dataDir;
    }

    const RelinkOptions& options_;
    HandleFile in_, rw_, new_;
    std::string final_, temporary_;
    std::map<std::string, avi::RelinkPiece> pieces_; // by the old name; empty `local`: not found
    std::map<std::string, std::string> refusals_;    // by the old name: what the gate said
    PathGate gate_;
};

} // namespace

// Wine holds it as a POSIX lock of the same byte too, which the native tool's lock meets.
bool LockForRelink(HANDLE file) {
    OVERLAPPED at{};
    at.Offset = DWORD(avi::kRelinkLockOffset);
    at.OffsetHigh = DWORD(avi::kRelinkLockOffset >> 32);
    return LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
}

int RunRelink(const RelinkOptions& options) {
    if (options.input.empty() || options.dataDir.empty() || options.newBase.empty()) {
        Error("relink needs IN.avi, --data DIR and --to BASE");
        return kExitUsage;
    }
    std::vector<std::string> dirs = {options.dataDir}, bases = {options.newBase};
    for (const auto& [dir, base] : options.moreStripes) {
        dirs.push_back(dir);
        bases.push_back(base);
    }
    for (const std::string& dir : dirs) {
        const DWORD dirAttributes = GetFileAttributesA(dir.c_str());
        if (dirAttributes == INVALID_FILE_ATTRIBUTES ||
            !(dirAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            Error("--data " + dir + " is not a folder");
            return kExitUsage;
        }
    }
    HostRelinkTool tool(options);
    return avi::Relink({options.input, bases, bases, options.output}, tool);
}

} // namespace host
