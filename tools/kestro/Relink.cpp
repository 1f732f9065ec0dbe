// relink: the shared relink (tools/common/Relink.h) on this system's files, with the pieces
// found by the tool's rules (--map, the Wine prefix, --data, beside the AVI).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <utility>

#include "CodePages.h"
#include "Commands.h"
#include "KestStream.h"
#include "Kestro.h"
#include "Messages.h"
#include "Relink.h"
#include "Signals.h"
#include "TakeBeside.h"
#include "pure/TakeFile.h"

namespace kestro::tool {

namespace {

static_assert(kExitOk == avi::kRelinkDone && kExitBroken == avi::kRelinkBroken &&
              kExitUsage == avi::kRelinkRefused && kExitOutput == avi::kRelinkNotWritten &&
              kExitInterrupted == avi::kRelinkInterrupted);

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_ino == b.st_ino && a.st_dev == b.st_dev;
}

class KestroRelink : public avi::RelinkTool {
public:
    KestroRelink(const Options& options, const std::string& path)
        : path_(path), newFinder_(options.rules), oldChecker_(options, info_) {}

    void Error(const std::string& text) override { tool::Error(text); }
    void Warning(const std::string& text) override { tool::Warning(text); }
    void Note(const std::string& text) override { tool::Error(text); }
    std::string Describe(const avi::RecordProblem& p) override {
        const std::string where = "frame " + std::to_string(p.chunk.index) + ", record " +
                                  std::to_string(p.chunk.index) + " (" + Shown(p.record.path) + ")";
        switch (p.kind) {
        case avi::RecordProblem::Refused:
            return where + ": refused: " + p.why;
        case avi::RecordProblem::NoPieceSuffix:
            return where + ": the piece name has no .NNN suffix, or the new one is too long";
        case avi::RecordProblem::NotFound:
            return where + ": piece not found (as " + Shown(p.newName) + " or as itself): " + p.why;
        case avi::RecordProblem::ReplacedTake:
            return where + ": " + p.why;
        case avi::RecordProblem::SmallerThanPicture:
            return where + ": smaller than one picture";
        case avi::RecordProblem::OutsidePiece:
            break;
        }
        return where + ": outside its piece " + p.piece->local + " (" +
               std::to_string(p.piece->bytes) + " bytes)";
    }
    std::string Shown(std::string_view name) override { return tool::Shown(name); }
    bool StopsAtFirstProblem() const override { return true; }
    bool UnreadableRecordIsBroken() const override { return true; } // as in export
    std::string Unchanged() const override { return ""; }
    std::string NewFileFailure(const std::string& input, const std::string& error,
                               bool finishing) override {
        return finishing ? error : input + ": " + error;
    }

    bool Interrupted() override { return tool::Interrupted(); }
    std::string LastReason() override { return errno == 0 ? "" : ": " + Reason(errno); }
    avi::ByteFile* OpenInput(const std::string& path, std::string& error) override {
        in_ = std::make_unique<PosixFile>(path, O_RDONLY);
        if (in_->ok())
            return in_.get();
        error = CannotOpen(path, *in_);
        return nullptr;
    }
    // The flock keeps out other runs of this tool (and of its earlier releases); the record lock
    // keeps out Windows programs under Wine, whose LockFileEx the server holds as a POSIX lock of
    // the same byte (a read lock through a read-only handle), which no flock sees.
    Lock LockInput(std::string& reason) override {
        if (flock(in_->fd(), LOCK_EX | LOCK_NB) != 0) {
            const int code = errno;
            reason = std::strerror(code);
            return code == EWOULDBLOCK ? Lock::Busy : Lock::Failed;
        }
        // A write lock needs a writable descriptor; a capture this user may not write is locked
        // for reading, which still meets a writer's lock.
        struct stat opened, held;
        lock_ = std::make_unique<PosixFile>(path_, O_RDWR);
        const bool writable = lock_->ok() && fstat(lock_->fd(), &opened) == 0 &&
                              fstat(in_->fd(), &held) == 0 && SameFile(opened, held);
        struct flock range {};
        range.l_type = writable ? F_WRLCK : F_RDLCK;
        range.l_whence = SEEK_SET;
        range.l_start = off_t(avi::kRelinkLockOffset);
        range.l_len = 1;
        if (fcntl(writable ? lock_->fd() : in_->fd(), F_OFD_SETLK, &range) == 0)
            return Lock::Held;
        const int code = errno;
        // Without record locks on this file system (or in this kernel) the flock is all there is.
        if (code == EINVAL || code == ENOLCK || code == EOPNOTSUPP)
            return Lock::Held;
        reason = std::strerror(code);
        return code == EAGAIN || code == EACCES ? Lock::Busy : Lock::Failed;
    }
    bool IsInput(const std::string& path) override {
        struct stat self, other;
        return stat(path.c_str(), &other) == 0 && fstat(in_->fd(), &self) == 0 &&
               SameFile(self, other);
    }
    bool Exists(const std::string& path) override {
        struct stat st;
        return lstat(path.c_str(), &st) == 0;
    }
    avi::ByteFile* OpenForRewrite(std::string& reason, bool& replaced) override {
        rw_ = std::make_unique<PosixFile>(path_, O_RDWR);
        if (!rw_->ok()) {
            reason = Reason(errno);
            return nullptr;
        }
        struct stat checked, opened;
        if (fstat(in_->fd(), &checked) != 0 || fstat(rw_->fd(), &opened) != 0 ||
            !SameFile(checked, opened)) {
            replaced = true;
            return nullptr;
        }
        inputMode_ = checked.st_mode & 0777;
        return rw_.get();
    }
    bool FinishRewrite(std::string& error) override {
        if (fsync(rw_->fd()) == 0)
            return true;
        error = std::string("cannot write it: ") + std::strerror(errno);
        return false;
    }
    avi::ByteFile* CreateNew(const std::string& final, bool backup, std::string& error) override {
        if (!out_.Create(final, backup ? inputMode_ : UsualMode(), error))
            return nullptr;
        SayRemoved(out_);
        outFile_.emplace(out_.fd());
        return &*outFile_;
    }
    const std::string& NewFileName() const override { return out_.temp(); }
    bool FinishNew(bool replace, bool durable, bool& exists, std::string& error) override {
        if (out_.Finish(replace, durable, error))
            return true;
        exists = errno == EEXIST;
        return false;
    }
    void DiscardNew() override { out_.Discard(); }

    std::optional<avi::RelinkCapture> ReadCapture(avi::ByteFile& in) override {
        avi::RelinkCapture capture;
        std::string error;
        if (!ReadKestInfo(in, path_, info_, capture.layout, error)) {
            tool::Error(error);
            return std::nullopt;
        }
        capture.pictureBytes = info_.chained ? 0 : info_.storedBytes;
        return capture;
    }
    std::optional<std::string> Refusal(std::string_view oldName) override {
        return oldChecker_.finder().Refusal(std::string(oldName));
    }
    const avi::RelinkPiece* FindPiece(std::string_view oldName, const std::string& newName,
                                      std::string& why) override {
        const Piece* piece = newFinder_.Find(newName, why);
        const bool underOldName = !piece;
        if (!piece)
            piece = oldChecker_.finder().Find(std::string(oldName), why);
        if (!piece)
            return nullptr;
        oldChecker_.WarnOnce(*piece);
        auto [at, added] = found_.try_emplace({piece, underOldName});
        if (added)
            at->second = {piece->path, piece->size, underOldName};
        return &at->second;
    }

    TakeFileRead ReadTake(const std::string& path) override { return ReadTakeFile(path); }
    bool WriteNewTake(const std::string& path, const TakeFile& take, std::string& error) override {
        return WriteNewTakeFile(path, take, error);
    }

private:
    const std::string& path_;
    KestInfo info_;
    std::unique_ptr<PosixFile> in_, rw_, lock_; // lock_: held with the input, for its lock
    mode_t inputMode_ = 0600;
    OutputFile out_;
    std::optional<FdFile> outFile_;
    PieceFinder newFinder_;
    RecordChecker oldChecker_; // its finder looks for pieces under the names the records hold
    std::map<std::pair<const Piece*, bool>, avi::RelinkPiece> found_;
};

} // namespace

int RunRelink(const Options& options) {
    if (options.args.size() != 1 || options.to.empty()) {
        Error("usage: kestro relink IN.avi --data DIR --to 'e:\\archive\\take1' [-o OUT.avi]");
        return kExitUsage;
    }
    if (options.to.size() > kMaxStripes) {
        Error("--to is given once for each data file of a striped take: at most " +
              std::to_string(kMaxStripes));
        return kExitUsage;
    }
    const std::string& path = options.args[0];
    // Records hold names in the capture's code page: a name typed here is UTF-8.
    std::vector<std::string> newBases;
    for (const std::string& to : options.to) {
        std::string& newBase = newBases.emplace_back(to);
        if (IsAscii(newBase))
            continue;
        const int page = options.rules.codePage;
        auto bytes = page == kCodePageAuto ? std::nullopt : FromUtf8(newBase, page);
        if (!bytes) {
            Error("--to " + to +
                  (page == kCodePageAuto
                       ? " is not plain ASCII: say with --codepage N which code page the "
                         "capture's Windows writes names in (1252 Western, 932 Japanese...)"
                       : " has characters that code page " + std::to_string(page) + " lacks"));
            return kExitUsage;
        }
        newBase = *bytes;
    }
    KestroRelink tool(options, path);
    return avi::Relink({path, newBases, options.to, options.output}, tool);
}

} // namespace kestro::tool
