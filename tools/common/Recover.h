#pragma once
// recover, as both tools run it: the frame records of an AVI whose writer died found by the scan,
// the stream format from what survived, and a new, complete AVI of the frames that still play.
// Each tool gives its file system calls (every path a record names goes through its piece rule
// there) and its words.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "AviRecords.h"
#include "RecoverScan.h"
#include "pure/PixelKind.h"
#include "pure/TakeFile.h"

namespace kestro::avi {

constexpr int kRecoverDone = 0;
constexpr int kRecoverBroken = 1;     // no record passes, or the first ones name missing pieces
constexpr int kRecoverRefused = 2;    // bad arguments, no format can be decided
constexpr int kRecoverNotWritten = 4; // the output could not be written (nothing else changed)
constexpr int kRecoverInterrupted = 130;

struct RecoverRequest {
    std::string input;
    std::string output;
    // --format KIND --size WxH [--rate FPS]: used where neither the header nor a take file says.
    PixelKind kind = KIND_NONE;
    int32_t width = 0, height = 0;
    double rate = 0; // 0: not given
    bool keepZeroFrames = false;
    std::string command; // how the user runs recover with this tool, for the messages
};

class RecoverTool {
public:
    virtual ~RecoverTool() = default;
    virtual void Say(const std::string& line) = 0; // the report, on standard output
    virtual void Error(const std::string& text) = 0;
    virtual void Warning(const std::string& text) = 0;
    virtual bool Interrupted() { return false; }

    virtual ByteFile* OpenInput(const std::string& path, std::string& error) = 0;
    virtual bool IsInput(const std::string& path) = 0; // the same file as the opened input
    virtual bool Exists(const std::string& path) = 0;
    // Why a reader would refuse the record (its piece rule, the piece a regular file, the offset
    // and size inside it, its take); empty when it plays.
    virtual std::optional<std::string> CheckRecord(const FrameRecordView& record) = 0;
    // The take file beside the record's piece (after the piece rule), and its name.
    virtual std::optional<TakeFile> TakeOf(const FoundRecord& record, std::string& name) = 0;
    // Whether the record's frame area reads all zero (a read that fails counts as not zero: the
    // frame is then refused when played, as any reader would).
    virtual bool FrameIsZero(const FoundRecord& record) = 0;

    // The output under a temporary name beside `final`, renamed to it by FinishNew only when
    // whole and never over an existing file; DiscardNew removes it.
    virtual ByteFile* CreateNew(const std::string& final, std::string& error) = 0;
    virtual bool FinishNew(std::string& error) = 0;
    virtual void DiscardNew() = 0;
};

int Recover(const RecoverRequest& request, RecoverTool& tool);

// What info, verify, export and play say about an AVI that its writer never closed but that
// holds frame records (`command`: the recover command to name); empty for a closed AVI or one
// without records.
std::optional<std::string> UnclosedCaptureText(ByteFile& file, const std::string& command);

// The common picture sizes a raw stream is inferred from, when nothing else says.
struct FrameGuess {
    PixelKind kind;
    int32_t width, height;
};
std::vector<FrameGuess> GuessesForFrameBytes(uint32_t bytes, bool withUyvy);

} // namespace kestro::avi
