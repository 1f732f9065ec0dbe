// recover: the shared recovery (tools/common/Recover.h) on this system's files, with the pieces
// found by the tool's rules (--map, the Wine prefix, --data, beside the AVI).
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <memory>

#include "CodePages.h"
#include "Commands.h"
#include "Kestro.h"
#include "Messages.h"
#include "Recover.h"
#include "Signals.h"
#include "TakeBeside.h"
#include "TakeRefusal.h"

namespace kestro::tool {

namespace {

static_assert(kExitOk == avi::kRecoverDone && kExitBroken == avi::kRecoverBroken &&
              kExitUsage == avi::kRecoverRefused && kExitOutput == avi::kRecoverNotWritten &&
              kExitInterrupted == avi::kRecoverInterrupted);

class KestroRecover : public avi::RecoverTool {
public:
    explicit KestroRecover(const Options& options) : finder_(options.rules) {}

    void Say(const std::string& line) override { std::printf("%s\n", line.c_str()); }
    void Error(const std::string& text) override { tool::Error(text); }
    void Warning(const std::string& text) override { tool::Warning(text); }
    bool Interrupted() override { return tool::Interrupted(); }

    avi::ByteFile* OpenInput(const std::string& path, std::string& error) override {
        in_ = std::make_unique<PosixFile>(path, O_RDONLY);
        if (in_->ok())
            return in_.get();
        error = CannotOpen(path, *in_);
        return nullptr;
    }
    bool IsInput(const std::string& path) override {
        struct stat self, other;
        return stat(path.c_str(), &other) == 0 && fstat(in_->fd(), &self) == 0 &&
               self.st_ino == other.st_ino && self.st_dev == other.st_dev;
    }
    bool Exists(const std::string& path) override {
        struct stat st;
        return lstat(path.c_str(), &st) == 0;
    }

    std::optional<std::string> CheckRecord(const FrameRecordView& r) override {
        const std::string name(r.path);
        const std::string what = Shown(name) + " at " + std::to_string(r.offset) + ", " +
                                 std::to_string(r.size) + " bytes";
        if (auto refused = finder_.Refusal(name))
            return what + ": refused: " + *refused;
        std::string why;
        const Piece* piece = finder_.Find(name, why);
        if (!piece)
            return what + ": piece not found: " + why;
        const TakeFileRead& beside = TakeOf(*piece); // first: it finds the take file's name
        if (auto replaced = avi::TakeRefusalText(beside, r.take, takeNames_[piece]))
            return what + ": " + *replaced;
        if (r.offset > piece->size || r.size > piece->size - r.offset)
            return what + ": outside its piece " + piece->path + " (" +
                   std::to_string(piece->size) + " bytes)";
        return std::nullopt;
    }
    std::optional<TakeFile> TakeOf(const avi::FoundRecord& r, std::string& name) override {
        std::string why;
        const Piece* piece = finder_.Find(r.path, why);
        if (!piece)
            return std::nullopt;
        auto take = TakeOf(*piece).take;
        name = takeNames_[piece];
        return take;
    }
    bool FrameIsZero(const avi::FoundRecord& r) override {
        std::string why;
        const Piece* piece = finder_.Find(r.path, why);
        if (!piece)
            return false;
        PosixFile file(piece->path, O_RDONLY);
        std::vector<uint8_t> block(1 << 20);
        for (uint64_t done = 0; file.ok() && done < r.size;) {
            const size_t n = size_t(std::min<uint64_t>(block.size(), r.size - done));
            if (!file.ReadAt(r.offset + done, block.data(), n))
                return false;
            for (size_t i = 0; i < n; ++i)
                if (block[i])
                    return false;
            done += n;
        }
        return file.ok();
    }

    avi::ByteFile* CreateNew(const std::string& final, std::string& error) override {
        if (!out_.Create(final, UsualMode(), error))
            return nullptr;
        SayRemoved(out_);
        outFile_.emplace(out_.fd());
        return &*outFile_;
    }
    bool FinishNew(std::string& error) override { return out_.Finish(false, true, error); }
    void DiscardNew() override { out_.Discard(); }

private:
    const TakeFileRead& TakeOf(const Piece& piece) {
        auto [at, added] = takes_.try_emplace(&piece);
        if (auto file = added ? TakeFileBeside(piece.path) : std::nullopt)
            at->second = ReadTakeFile(*file, &takeNames_[&piece]);
        return at->second;
    }

    PieceFinder finder_;
    std::unique_ptr<PosixFile> in_;
    OutputFile out_;
    std::optional<FdFile> outFile_;
    std::map<const Piece*, TakeFileRead> takes_;
    std::map<const Piece*, std::string> takeNames_;
};

} // namespace

int RunRecover(const Options& options) {
    if (options.args.size() != 1 || options.output.empty()) {
        Error("usage: kestro recover IN.avi -o OUT.avi [--format KIND --size WxH] [--rate FPS] "
              "[--keep-zero-frames]");
        return kExitUsage;
    }
    if ((options.kind != KIND_NONE) != (options.width > 0)) {
        Error("--format and --size go together");
        return kExitUsage;
    }
    avi::RecoverRequest request;
    request.input = options.args[0];
    request.output = options.output;
    request.kind = options.kind;
    request.width = options.width;
    request.height = options.height;
    request.rate = options.rate;
    request.keepZeroFrames = options.keepZeroFrames;
    request.command = "kestro recover";
    KestroRecover tool(options);
    const int code = avi::Recover(request, tool);
    if (code == kExitInterrupted)
        return Stopped(request.output + " was not written");
    return code;
}

} // namespace kestro::tool
