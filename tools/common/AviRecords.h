#pragma once
// The frame records of a KEST stream inside an AVI file, found by walking the RIFF tree, and the
// rewrite of their piece names (relink). Plain bytes only: the platform supplies the file.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pure/FrameRecord.h"

namespace kestro::avi {

// Random access to one file. WriteAt may refuse (a file opened for reading).
class ByteFile {
public:
    virtual ~ByteFile() = default;
    virtual uint64_t Size() = 0;
    virtual bool ReadAt(uint64_t offset, void* data, size_t bytes) = 0;
    virtual bool WriteAt(uint64_t offset, const void* data, size_t bytes) = 0;
};

struct StreamInfo {
    uint32_t fccType = 0;
    uint32_t fccHandler = 0;
    uint32_t scale = 0;
    uint32_t rate = 0;
    uint32_t start = 0;
    uint32_t length = 0;
    uint32_t suggestedBufferSize = 0;
    uint64_t headerOffset = 0;   // file offset of the strh data
    std::vector<uint8_t> format; // strf data as stored
};

struct AviLayout {
    uint32_t totalFrames = 0; // avih
    std::vector<StreamInfo> streams;
    int kestStream = -1; // the first stream whose format is a KEST stream format
    struct List {
        uint64_t start; // offset of the list's first child
        uint64_t end;
    };
    std::vector<List> movi; // one per RIFF (AVI and every AVIX)
    bool cut = false;       // read with acceptCut from a file that ends inside a list
};

// Reads the header lists and finds every movi list. Refuses (with a message naming the offset)
// files that are not RIFF AVI, whose lists overrun their parent or the file, or that have no KEST
// stream when `needKest` is set.
// With `acceptCut`, a file cut short is read as far as it goes (its last list ends where the file
// does) and `cut` is set; the records then come from a reader that knows where chunks end.
std::optional<AviLayout> ReadAviLayout(ByteFile& file, bool needKest, std::string& error,
                                       bool acceptCut = false);

// The header list "LIST hdrl" whose chunk header lies at `listOffset`, read as if it ended at
// `end` at most (its own size where that is less): the streams and their formats, the KEST stream
// found as ReadAviLayout finds it; no movi list. Empty with `error` when it does not read.
std::optional<AviLayout> ReadHeaderListAt(ByteFile& file, uint64_t listOffset, uint64_t end,
                                          std::string& error);

struct RecordChunk {
    uint64_t index;       // position of the frame in the stream, from 0
    uint64_t chunkOffset; // file offset of the chunk header; the data follows 8 bytes later
    uint32_t chunkSize;   // as the chunk header says (without the pad byte)
};

// Calls `visit` for every chunk of `stream` in the movi lists (LIST rec included), in file order.
// Stops when visit returns false (result true) or at a malformed list (result false, error set).
bool ForEachStreamChunk(ByteFile& file, const AviLayout& layout, int stream,
                        const std::function<bool(const RecordChunk&)>& visit, std::string& error);

// The name a piece gets under a new Windows base path: the base followed by the old name's
// ".NNN" suffix. Empty when the old name has no such suffix or the result is longer than a record
// may hold.
std::optional<std::string> RelinkedPieceName(std::string_view oldName, std::string_view newBase);

// The bytes of a record chunk after relinking: the old offset and size (and reserved word), the
// new name, zeros up to `chunkSize`. Returns false when the new record does not fit.
bool RewriteRecord(const uint8_t* oldRecord, size_t chunkSize, std::string_view newName,
                   std::vector<uint8_t>& out);

// Every record of the KEST stream, parsed. `check` may refuse a record (returning a message);
// the walk then stops with that message. Garbage records are refused with their index.
bool ForEachRecord(ByteFile& file, const AviLayout& layout,
                   const std::function<std::optional<std::string>(const RecordChunk&,
                                                                  const FrameRecordView&)>& check,
                   std::string& error);

// The bases a relink gives the records' piece names: one for every record, or, for a take
// striped over several data files, one for each data file the records name, paired in the order
// the records first name them (the turn order: frame 0 in the first, frame 1 in the next...).
struct RelinkBases {
    RelinkBases(std::string_view one) : newBases{std::string(one)} {}
    RelinkBases(const std::string& one) : newBases{one} {}
    RelinkBases(const char* one) : newBases{one} {}
    RelinkBases(std::vector<std::string> olds, std::vector<std::string> news)
        : oldBases(std::move(olds)), newBases(std::move(news)) {}
    std::vector<std::string> oldBases; // empty: every record takes the one new base
    std::vector<std::string> newBases;
    // The new base for a record's piece name (letter case aside); empty when none is paired.
    std::string_view For(std::string_view oldName) const;
    size_t Longest() const;
};

// The data files the records name (piece names without their .NNN suffix), in the order the
// records first name them, letter case aside; false with `error` when a record does not read.
bool RecordedDataFiles(ByteFile& file, const AviLayout& layout, std::vector<std::string>& bases,
                       std::string& error);

// Whether every record of the KEST stream, renamed under its new base, fits its chunk.
bool RelinkFitsInPlace(ByteFile& file, const AviLayout& layout, const RelinkBases& bases,
                       std::string& error);

// Rewrites every record in place. Checks first that every record parses and fits (nothing is
// written otherwise); the rest of each chunk is zero-filled. Returns the number of records.
std::optional<uint64_t> RelinkInPlace(ByteFile& file, const AviLayout& layout,
                                      const RelinkBases& bases, std::string& error);

// Writes a new AVI into `out` (empty, writable): every byte of `in` copied, except that records
// that do not fit their chunk get larger chunks, and every size and offset that this moves (RIFF
// and LIST sizes, idx1, ix## and indx entries, the stream's suggested buffer size) follows.
std::optional<uint64_t> RelinkToNewFile(ByteFile& in, const AviLayout& layout, ByteFile& out,
                                        const RelinkBases& bases, std::string& error);

// "00dc" style chunk ids: the stream number in two decimal digits, then two letters.
int StreamOfChunkId(uint32_t id);

} // namespace kestro::avi
