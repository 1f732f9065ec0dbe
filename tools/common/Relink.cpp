#include "Relink.h"

#include <cctype>
#include <cstdio>
#include <map>
#include <set>

#include "Outputs.h"
#include "TakeRefusal.h"
#include "pure/PiecePath.h"

namespace kestro::avi {

namespace {

constexpr uint64_t kProblemsNamed = 20;

class RelinkRun {
public:
    RelinkRun(const RelinkRequest& request, RelinkTool& tool) : request_(request), tool_(tool) {}

    int Run() {
        if (int code = CheckNewBase())
            return code;
        if (int code = OpenInput())
            return code;
        auto capture = tool_.ReadCapture(*in_);
        if (!capture)
            return tool_.Interrupted() ? kRelinkInterrupted : kRelinkRefused;
        capture_ = std::move(*capture);
        if (int code = PairDataFiles())
            return code;
        if (int code = CheckRecords())
            return code;
        WarnOldNames();
        if (int code = CarryTakeFiles())
            return code;
        std::string error;
        const bool fits = RelinkFitsInPlace(*in_, capture_.layout, bases_, error);
        if (tool_.Interrupted())
            return Stopped("nothing was changed");
        if (fits && request_.output.empty())
            return InPlaceKeepingBackup();
        return IntoNewFile();
    }

private:
    int Stopped(const std::string& what) {
        tool_.Error("interrupted; " + what);
        return kRelinkInterrupted;
    }

    // The records must name what the codec opens: an absolute or a network base.
    int CheckNewBase() {
        for (size_t i = 0; i < request_.newBases.size(); ++i) {
            const auto shape = ClassifyPiecePath(request_.newBases[i] + ".000");
            if (shape.kind != PathKind::Refused)
                continue;
            tool_.Error("--to " + request_.shownBases[i] + ": " + RefusalText(shape.refusal) +
                        ", which the codec does not open; give an absolute Windows path "
                        "(e:\\archive\\take1)");
            return kRelinkRefused;
        }
        return request_.newBases.empty() ? kRelinkRefused : kRelinkDone;
    }

    // A take striped over several data files takes a new base for each, in turn order: frame 0's
    // data file the first, frame 1's the next. One base for several would give two stripes'
    // pieces one name.
    int PairDataFiles() {
        std::vector<std::string> recorded;
        std::string error;
        if (!RecordedDataFiles(*in_, capture_.layout, recorded, error)) {
            bases_ = RelinkBases(request_.newBases[0]); // the records' check says what is wrong
            return kRelinkDone;
        }
        if (recorded.size() <= 1 && request_.newBases.size() == 1) {
            bases_ = RelinkBases(request_.newBases[0]);
            return kRelinkDone;
        }
        if (recorded.size() == request_.newBases.size()) {
            bases_ = RelinkBases(std::move(recorded), request_.newBases);
            return kRelinkDone;
        }
        std::string named;
        for (const std::string& base : recorded)
            named += (named.empty() ? "" : ", ") + tool_.Shown(base);
        tool_.Error(request_.input + ": the records name " + std::to_string(recorded.size()) +
                    " data file(s) (" + named + ") and " +
                    std::to_string(request_.newBases.size()) +
                    " --to were given: give --to once for each data file, in that order"
                    "; nothing was changed");
        return kRelinkRefused;
    }

    int OpenInput() {
        const std::string& path = request_.input;
        std::string error;
        in_ = tool_.OpenInput(path, error);
        if (!in_) {
            tool_.Error(error);
            return kRelinkRefused;
        }
        // One relink of an AVI at a time; the system drops the lock however its holder ends.
        switch (tool_.LockInput(error)) {
        case RelinkTool::Lock::Held:
            break;
        case RelinkTool::Lock::Busy:
            tool_.Error("another relink of " + path + " is under way; nothing was changed");
            return kRelinkRefused;
        case RelinkTool::Lock::Failed:
            tool_.Warning("cannot lock " + path + " (" + error +
                          "); no other relink of it may run until this one ends");
            break;
        }
        if (!request_.output.empty() && tool_.IsInput(request_.output)) {
            tool_.Error("-o names the input itself; leave -o out to relink " + path +
                        " in place (the original is kept as .bak)");
            return kRelinkRefused;
        }
        return kRelinkDone;
    }

    // What stands between a record and its relinked name; empty when nothing does.
    std::optional<RecordProblem> ProblemOf(const RecordChunk& chunk,
                                           const FrameRecordView& record) {
        RecordProblem p{RecordProblem::Refused, chunk, record, {}, nullptr, {},
                        capture_.pictureBytes};
        if (auto refused = tool_.Refusal(record.path)) {
            p.why = *refused;
            return p;
        }
        auto name = RelinkedPieceName(record.path, bases_.For(record.path));
        if (!name) {
            p.kind = RecordProblem::NoPieceSuffix;
            return p;
        }
        p.newName = *name;
        p.piece = tool_.FindPiece(record.path, *name, p.why);
        if (!p.piece) {
            p.kind = RecordProblem::NotFound;
            return p;
        }
        if (p.piece->underOldName)
            oldNames_.emplace(std::string(record.path), std::pair{p.piece->local, *name});
        const PieceTake& take = TakeOf(*p.piece, record);
        if (auto replaced = TakeRefusalText(take.take, record.take,
                                            take.carryFrom.empty() ? take.file : take.carryFrom)) {
            p.kind = RecordProblem::ReplacedTake;
            p.why = *replaced;
            return p;
        }
        if (record.size < capture_.pictureBytes) {
            p.kind = RecordProblem::SmallerThanPicture;
            return p;
        }
        if (record.offset > p.piece->bytes || record.size > p.piece->bytes - record.offset) {
            p.kind = RecordProblem::OutsidePiece;
            return p;
        }
        return std::nullopt;
    }

    // The take file of a piece as the relink sees it.
    struct PieceTake {
        std::string file;      // beside the piece, under the piece's name
        TakeFileRead take;     // the take the piece holds, or that it cannot be told
        std::string carryFrom; // the old name's take file, to be carried as `file`, or named
    };

    // Pieces renamed without their take file keep the old name's, when it names the take of the
    // records that find them.
    const PieceTake& TakeOf(const RelinkPiece& piece, const FrameRecordView& record) {
        auto [at, added] = takes_.try_emplace(piece.local);
        PieceTake& t = at->second;
        auto file = added ? TakeFileOfPiece(piece.local) : std::nullopt;
        if (!file)
            return t;
        t.file = *file;
        t.take = tool_.ReadTake(t.file);
        auto oldLeaf = TakeFileOfPiece(LeafOf(record.path, "\\/"));
        if (MatchTake(t.take, record.take) != TakeMatch::NoTakeFile || piece.underOldName ||
            !oldLeaf)
            return t;
        const std::string old =
            piece.local.substr(0, piece.local.size() - LeafOf(piece.local, "\\/").size()) +
            *oldLeaf;
        TakeFileRead earlier = old == t.file ? TakeFileRead{} : tool_.ReadTake(old);
        // A damaged one says as little there as here: the records' frames cannot be told either.
        if ((earlier.take && earlier.take->id == record.take) || !earlier.damage.empty()) {
            t.take = std::move(earlier);
            t.carryFrom = old;
        }
        return t;
    }

    // Before the AVI changes: a take file that cannot be written leaves the AVI as it was.
    int CarryTakeFiles() {
        std::set<std::string> written;
        for (const auto& [local, t] : takes_) {
            if (t.carryFrom.empty() || !t.take.take || !written.insert(t.file).second)
                continue;
            std::string error;
            if (!tool_.WriteNewTake(t.file, *t.take.take, error)) {
                if (tool_.Interrupted())
                    return Stopped("nothing was changed");
                tool_.Error("cannot carry the take file " + t.carryFrom + " along: " + error +
                            "; " + request_.input + " was not changed");
                return kRelinkNotWritten;
            }
            tool_.Note("the take file " + t.carryFrom + " is carried along as " + t.file);
        }
        return kRelinkDone;
    }

    // Every piece found and holding its frames, every frame the header promises; nothing is
    // written otherwise.
    int CheckRecords() {
        const std::string& path = request_.input;
        uint64_t records = 0, problems = 0;
        bool stoppedByProblem = false;
        std::string error;
        const bool walked = ForEachRecord(
            *in_, capture_.layout,
            [&](const RecordChunk& chunk,
                const FrameRecordView& record) -> std::optional<std::string> {
                ++records;
                auto problem = ProblemOf(chunk, record);
                if (!problem)
                    return std::nullopt;
                const std::string text = tool_.Describe(*problem);
                if (tool_.StopsAtFirstProblem()) {
                    stoppedByProblem = true;
                    return text;
                }
                if (++problems <= kProblemsNamed)
                    tool_.Error(text);
                return std::nullopt;
            },
            error);
        if (!walked) {
            if (tool_.Interrupted())
                return Stopped("nothing was changed");
            tool_.Error(path + ": " + error + tool_.Unchanged());
            const bool unreadable = error.rfind("record ", 0) == 0;
            return stoppedByProblem || (unreadable && tool_.UnreadableRecordIsBroken())
                       ? kRelinkBroken
                       : kRelinkRefused;
        }
        if (problems) {
            if (problems > kProblemsNamed)
                tool_.Error("... and " + std::to_string(problems - kProblemsNamed) + " more");
            tool_.Error(std::to_string(problems) + " of " + std::to_string(records) +
                        " frames of " + path + " cannot be relinked; nothing was changed");
            return kRelinkBroken;
        }
        const uint32_t promised =
            capture_.layout.streams[size_t(capture_.layout.kestStream)].length;
        if (records < promised) {
            tool_.Error(path + ": the stream header promises " + std::to_string(promised) +
                        " frames, the file holds " + std::to_string(records) + tool_.Unchanged());
            return kRelinkRefused;
        }
        return kRelinkDone;
    }

    // The records now name files that are not there under those names.
    void WarnOldNames() {
        for (const auto& [old, found] : oldNames_) {
            const auto& [local, newName] = found;
            std::string take;
            auto held = takes_.find(local);
            auto newTake = TakeFileOfPiece(LeafOf(newName, "\\/"));
            if (held != takes_.end() && held->second.take.take && newTake)
                take = ", and its take file " + held->second.file + " to " + tool_.Shown(*newTake) +
                       " with it";
            tool_.Warning(local + " keeps its old name; the records now name " +
                          tool_.Shown(newName) + ": rename it to " +
                          tool_.Shown(LeafOf(newName, "\\/")) + " where it goes" + take);
        }
    }

    // The backup is made whole under its name before the first byte of the AVI changes.
    int InPlaceKeepingBackup() {
        const std::string& path = request_.input;
        const std::string backup = BackupNameOf(path);
        if (tool_.Exists(backup)) {
            tool_.Error(backup + " exists already; move it away or relink with -o OUT.avi");
            return kRelinkRefused;
        }
        std::string error;
        bool replaced = false;
        ByteFile* rw = tool_.OpenForRewrite(error, replaced);
        if (!rw && replaced) {
            tool_.Error(path + " was replaced while it was checked; nothing was changed");
            return kRelinkRefused;
        }
        if (!rw) {
            tool_.Error("cannot open " + path + " for writing: " + error + "; nothing was changed");
            return kRelinkNotWritten;
        }
        if (int code = MakeBackup(backup))
            return code;
        // From here on the backup is whole under its name: it stays, whatever happens to the AVI.
        auto done = RelinkInPlace(*rw, capture_.layout, bases_, error);
        if (done && !tool_.FinishRewrite(error))
            done.reset();
        if (!done) {
            if (tool_.Interrupted())
                return Stopped("the original is kept as " + backup + " (" + path +
                               " may be partly relinked)");
            tool_.Error(path + ": " + error + "; the original is kept as " + backup);
            return kRelinkNotWritten;
        }
        std::printf("relinked %llu records in place in %s (original kept as %s)\n",
                    (unsigned long long)*done, path.c_str(), backup.c_str());
        return kRelinkDone;
    }

    int MakeBackup(const std::string& backup) {
        std::string error;
        ByteFile* copy = tool_.CreateNew(backup, true, error);
        if (!copy) {
            tool_.Error(error + "; nothing was changed");
            return kRelinkNotWritten;
        }
        bool exists = false;
        if (CopyAll(*in_, *copy, request_.input, tool_.NewFileName(), error) &&
            tool_.FinishNew(false, true, exists, error))
            return kRelinkDone;
        tool_.DiscardNew(); // never the backup: it may be another's
        if (tool_.Interrupted())
            return Stopped("nothing was changed");
        tool_.Error(error + tool_.LastReason() + "; nothing was changed");
        return exists ? kRelinkRefused : kRelinkNotWritten;
    }

    int IntoNewFile() {
        const std::string& path = request_.input;
        std::string target = request_.output;
        if (target.empty()) {
            target = RelinkedFileName(path);
            tool_.Note("the new names do not fit the records' chunks; writing " + target);
        }
        std::string error;
        ByteFile* out = tool_.CreateNew(target, false, error);
        if (!out) {
            tool_.Error(error);
            return kRelinkNotWritten;
        }
        auto done = RelinkToNewFile(*in_, capture_.layout, *out, bases_, error);
        bool exists = false;
        const bool written = done.has_value();
        if (done && !tool_.FinishNew(true, false, exists, error))
            done.reset();
        if (!done) {
            tool_.DiscardNew();
            if (tool_.Interrupted())
                return Stopped("nothing written to " + target);
            tool_.Error(tool_.NewFileFailure(path, error, written));
            return kRelinkNotWritten;
        }
        std::printf("relinked %llu records into %s (%s unchanged)\n", (unsigned long long)*done,
                    target.c_str(), path.c_str());
        return kRelinkDone;
    }

    const RelinkRequest& request_;
    RelinkTool& tool_;
    ByteFile* in_ = nullptr;
    RelinkCapture capture_;
    RelinkBases bases_{""}; // paired with the data files the records name, by PairDataFiles
    // Pieces found under the names the records held, by that name: where, and the new name.
    std::map<std::string, std::pair<std::string, std::string>> oldNames_;
    std::map<std::string, PieceTake> takes_; // by the piece's local name
};

bool EndsWithAvi(const std::string& path) {
    if (path.size() < 4)
        return false;
    const std::string tail = path.substr(path.size() - 4);
    return tail[0] == '.' && std::tolower(static_cast<unsigned char>(tail[1])) == 'a' &&
           std::tolower(static_cast<unsigned char>(tail[2])) == 'v' &&
           std::tolower(static_cast<unsigned char>(tail[3])) == 'i';
}

} // namespace

std::string RelinkedFileName(const std::string& input) {
    return input.substr(0, input.size() - (EndsWithAvi(input) ? 4 : 0)) + ".relinked.avi";
}

int Relink(const RelinkRequest& request, RelinkTool& tool) {
    return RelinkRun(request, tool).Run();
}

} // namespace kestro::avi
