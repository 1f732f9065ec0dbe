#pragma once
// A relink as both tools run it. Every piece must be found, under its new name or else its old
// one, and hold the frames that name it, or nothing is written. When every new record fits its
// chunk (and no output is named) the AVI is rewritten in place, after the original is kept whole
// as the backup: copied under a temporary name, flushed, renamed only where no backup exists.
// Otherwise a new AVI is written under a temporary name and renamed when whole. One relink of an
// AVI runs at a time. A frame of a take that its pieces no longer hold (their take file names
// another) is a broken record; pieces found under their new name get the take file of the old
// name beside them under the new one, when it names the records' take and theirs is missing. The
// tool supplies the file system calls and its own words; plain bytes only.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AviRecords.h"
#include "pure/TakeFile.h"

namespace kestro::avi {

// Exit codes of a relink; both tools use these numbers.
constexpr int kRelinkDone = 0;
constexpr int kRelinkBroken = 1;  // a piece missing or short, or a broken record: nothing written
constexpr int kRelinkRefused = 2; // bad input, another relink under way, a backup in the way
constexpr int kRelinkNotWritten = 4; // writing failed; the original is kept
constexpr int kRelinkInterrupted = 130;

// The byte both tools lock while they relink an AVI: far beyond the end of any file, so that no
// read or write of it meets the lock.
constexpr uint64_t kRelinkLockOffset = 0x7fffffff00000000;

struct RelinkRequest {
    std::string input;
    // The bases the records will name, as bytes of the capture's code page: one, or one for each
    // data file of a striped take in turn order (the order the records first name them).
    std::vector<std::string> newBases;
    std::vector<std::string> shownBases; // the same as they were given, for messages
    std::string output;                  // empty: in place when every new record fits its chunk
};

// The capture as the relink needs it.
struct RelinkCapture {
    AviLayout layout;
    uint32_t pictureBytes = 0; // a raw stream's record holds at least this much; 0 when chained
};

// Where a record's piece lies now.
struct RelinkPiece {
    std::string local;
    uint64_t bytes = 0;
    bool underOldName = false; // found under the name the records hold now, not the new one
};

// What is wrong with one record, for the tool to word.
struct RecordProblem {
    enum Kind { Refused, NoPieceSuffix, NotFound, ReplacedTake, SmallerThanPicture, OutsidePiece };
    Kind kind;
    const RecordChunk& chunk;
    const FrameRecordView& record;
    std::string newName;      // empty for Refused and NoPieceSuffix
    const RelinkPiece* piece; // set for SmallerThanPicture and OutsidePiece
    std::string why;          // Refused, NotFound: what the tool's lookup said; ReplacedTake
    uint32_t pictureBytes;
};

class RelinkTool {
public:
    virtual ~RelinkTool() = default;

    // The tool's words: its prefixes, and the texts in which the two tools differ.
    virtual void Error(const std::string& text) = 0;
    virtual void Warning(const std::string& text) = 0;
    virtual void Note(const std::string& text) = 0; // on standard error, after the tool's name
    virtual std::string Describe(const RecordProblem& problem) = 0;
    // A record's name in a message (its bytes are in the capture's code page).
    virtual std::string Shown(std::string_view name) { return std::string(name); }
    // True: the first broken record ends the relink; false: every one is counted, 20 are named.
    virtual bool StopsAtFirstProblem() const = 0;
    // A chunk that holds no frame record counts as a broken reference, not as bad input.
    virtual bool UnreadableRecordIsBroken() const = 0;
    // Appended to the refusals of the records ("" or "; nothing was changed").
    virtual std::string Unchanged() const = 0;
    // The message of a new file that could not be written (`finishing`: all of it was).
    virtual std::string NewFileFailure(const std::string& input, const std::string& error,
                                       bool finishing) = 0;

    // The platform.
    virtual bool Interrupted() { return false; }
    // What the last failed call said, appended to a failed copy (may be "").
    virtual std::string LastReason() { return {}; }
    // Opens the input for reading, writers allowed (the in-place rewrite opens one beside it).
    virtual ByteFile* OpenInput(const std::string& path, std::string& error) = 0;
    enum class Lock { Held, Busy, Failed };
    virtual Lock LockInput(std::string& reason) = 0; // held until the tool's input is closed
    virtual bool IsInput(const std::string& path) = 0;
    virtual bool Exists(const std::string& path) = 0;
    // The input for writing, beside its reader; null with `reason`, or with `replaced` when the
    // path no longer leads to the file that was checked. FinishRewrite flushes it to the disk.
    virtual ByteFile* OpenForRewrite(std::string& reason, bool& replaced) = 0;
    virtual bool FinishRewrite(std::string& error) = 0;
    // One new file, written under a temporary name beside `final` (a backup gets the input's
    // permissions); leftovers of killed runs are removed (and named) first.
    virtual ByteFile* CreateNew(const std::string& final, bool backup, std::string& error) = 0;
    virtual const std::string& NewFileName() const = 0; // its temporary name
    // Flushes, closes and renames it to its final name. With `replace` false an existing final
    // file is left alone and the call fails with `exists` set; with `durable` the folder is
    // flushed too, so that the name survives a crash.
    virtual bool FinishNew(bool replace, bool durable, bool& exists, std::string& error) = 0;
    virtual void DiscardNew() = 0; // closes and removes the temporary file; never the final one

    // The capture and its pieces.
    virtual std::optional<RelinkCapture> ReadCapture(ByteFile& in) = 0; // says why not
    // Why a record's name is not looked for at all; empty when it may be.
    virtual std::optional<std::string> Refusal(std::string_view oldName) {
        (void)oldName;
        return std::nullopt;
    }
    // The piece under `newName`, else under `oldName`; null with `why` when neither is found.
    virtual const RelinkPiece* FindPiece(std::string_view oldName, const std::string& newName,
                                         std::string& why) = 0;
    // The take file at `path`, a local name beside a piece found: none, damaged, or the take.
    virtual TakeFileRead ReadTake(const std::string& path) = 0;
    // Writes `take` as the take file `path`, which must not exist (written whole, then named).
    virtual bool WriteNewTake(const std::string& path, const TakeFile& take,
                              std::string& error) = 0;
};

// Runs the relink; one of the exit codes above.
int Relink(const RelinkRequest& request, RelinkTool& tool);

// The AVI a relink writes when the new names do not fit: IN.relinked.avi beside IN.avi.
std::string RelinkedFileName(const std::string& input);

} // namespace kestro::avi
