// recover: a new AVI from the frame records of one whose writer died (tools/common/Recover.h),
// with the pieces the records name opened only where the codec's piece rule lets it read them.
#include <windows.h>

#include <cstdio>
#include <map>
#include <vector>

#include "Host.h"
#include "HostWin.h"
#include "PathGate.h"
#include "Recover.h"
#include "TakeRefusal.h"

namespace host {

namespace {

namespace avi = kestro::avi;

static_assert(kExitOk == avi::kRecoverDone && kExitBroken == avi::kRecoverBroken &&
              kExitUsage == avi::kRecoverRefused && kExitPartial == avi::kRecoverNotWritten &&
              kExitInterrupted == avi::kRecoverInterrupted);

// Every path a record names passes the gate before any file call: the codec's piece rule, then a
// regular file on a disk. Its size in `bytes`; why not, when it may not be opened.
std::optional<std::string> PieceRefusal(const PathGate& gate, const std::string& piece,
                                        uint64_t* bytes) {
    const GatedPath gated = gate.Piece(piece, "");
    switch (gated.found) {
    case GatedPath::Found::Regular:
        if (bytes)
            *bytes = gated.bytes;
        return std::nullopt;
    case GatedPath::Found::Missing:
        return "its piece does not exist";
    default:
        return gated.why;
    }
}

class HostRecoverTool : public avi::RecoverTool {
public:
    void Say(const std::string& line) override { std::printf("%s\n", line.c_str()); }
    void Error(const std::string& text) override { host::Error(text); }
    void Warning(const std::string& text) override { host::Warning(text); }

    avi::ByteFile* OpenInput(const std::string& path, std::string& error) override {
        if (in_.Open(path, false, false))
            return &in_;
        error = "cannot open " + path + ": " + in_.LastError();
        return nullptr;
    }
    bool IsInput(const std::string& path) override {
        BY_HANDLE_FILE_INFORMATION a{}, b{};
        HandleFile other;
        if (!other.Open(path, false, false, true))
            return false;
        return GetFileInformationByHandle(in_.handle(), &a) &&
               GetFileInformationByHandle(other.handle(), &b) &&
               a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
               a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
    }
    bool Exists(const std::string& path) override {
        return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    }

    std::optional<std::string> CheckRecord(const kestro::FrameRecordView& r) override {
        const std::string piece(r.path);
        const std::string what =
            piece + " at " + std::to_string(r.offset) + ", " + std::to_string(r.size) + " bytes";
        uint64_t bytes = 0;
        if (auto refused = PieceRefusal(gate_, piece, &bytes))
            return what + ": " + *refused;
        const Beside& take = TakeOf(piece);
        if (auto replaced = avi::TakeRefusalText(take.take, r.take, take.file))
            return what + ": " + *replaced;
        if (r.offset > bytes || r.size > bytes - r.offset)
            return what + ": beyond the end of its piece (" + std::to_string(bytes) + " bytes)";
        return std::nullopt;
    }
    std::optional<kestro::TakeFile> TakeOf(const avi::FoundRecord& r, std::string& name) override {
        if (PieceRefusal(gate_, r.path, nullptr))
            return std::nullopt;
        const Beside& take = TakeOf(r.path);
        name = take.file;
        return take.take.take;
    }
    bool FrameIsZero(const avi::FoundRecord& r) override {
        HandleFile piece;
        if (PieceRefusal(gate_, r.path, nullptr) || !piece.Open(r.path, false, false, true))
            return false;
        std::vector<uint8_t> block(1 << 20);
        for (uint64_t done = 0; done < r.size;) {
            const size_t n = size_t(std::min<uint64_t>(block.size(), r.size - done));
            if (!piece.ReadAt(r.offset + done, block.data(), n))
                return false;
            for (size_t i = 0; i < n; ++i)
                if (block[i])
                    return false;
            done += n;
        }
        return true;
    }

    avi::ByteFile* CreateNew(const std::string& final, std::string& error) override {
        final_ = final;
        RemoveLeftovers(final, "recover");
        if (CreateTemporary(final, new_, temporary_))
            return &new_;
        error = "cannot create " + temporary_ + ": " + new_.LastError();
        return nullptr;
    }
    // Never over an existing file; on the disk when the rename returns.
    bool FinishNew(std::string& error) override {
        if (!new_.Flush() || !new_.Close()) {
            error = "cannot write " + temporary_ + ": " + new_.LastError();
            return false;
        }
        if (MoveFileExA(temporary_.c_str(), final_.c_str(), MOVEFILE_WRITE_THROUGH))
            return true;
        error =
            "cannot rename " + temporary_ + " to " + final_ + ": " + SystemMessage(GetLastError());
        return false;
    }
    void DiscardNew() override {
        new_.Close();
        DeleteFileA(temporary_.c_str());
    }

private:
    struct Beside {
        std::string file;
        kestro::TakeFileRead take;
    };
    // The take file beside a piece that PieceRefusal let through, read once.
    const Beside& TakeOf(const std::string& piece) {
        auto [at, added] = takes_.try_emplace(piece);
        if (added)
            at->second.take = TakeBeside(piece, &at->second.file);
        return at->second;
    }

    const PathGate gate_;
    std::string final_, temporary_;
    HandleFile in_, new_;
    std::map<std::string, Beside> takes_;
};

} // namespace

int RunRecover(const RecoverOptions& options) {
    avi::RecoverRequest request;
    request.input = options.input;
    request.output = options.output;
    request.kind = options.kind;
    request.width = int32_t(options.size.width);
    request.height = int32_t(options.size.height);
    request.rate = options.rate;
    request.keepZeroFrames = options.keepZeroFrames;
    request.command = "kestro-host recover";
    HostRecoverTool tool;
    return avi::Recover(request, tool);
}

} // namespace host
