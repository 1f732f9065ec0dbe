#pragma once
// The chunks of an AVI that its writer never closed: found by walking whatever is left of the
// RIFF tree without believing its sizes (a crashed writer leaves RIFF and LIST sizes of 0 or
// beyond the end, zeroed headers, no index, a last chunk cut short), and the frame records among
// them. Plain bytes only: the platform judges what a record names.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "AviRecords.h"
#include "pure/FrameRecord.h"

namespace kestro::avi {

struct ScannedChunk {
    uint64_t offset = 0; // of the chunk header; the data follows 8 bytes later
    uint32_t id = 0;     // "00dc" style
    uint32_t size = 0;   // as its header says
    bool whole = false;  // every byte of it lies inside the file
};

struct AviScan {
    uint64_t fileSize = 0;
    // The header lists, where they survived: the streams, their formats and timing.
    std::optional<AviLayout> header;
    std::vector<ScannedChunk> chunks; // every stream chunk ("NNxx") met, in file order
    bool closed = false;              // the file reads as a whole AVI, sizes and index right
};

// Never reads a byte twice on an intact stretch; in damage it looks for the next chunk header at
// every even offset. Bounded by the file's size.
AviScan ScanAvi(ByteFile& file);

// "NN" then two letters: the chunk ids of stream data.
bool IsStreamChunkId(uint32_t id);

struct FoundRecord {
    ScannedChunk chunk;
    uint64_t offset = 0; // the record's fields
    uint32_t size = 0;
    uint32_t take = 0;
    std::string path;
    std::optional<std::string> refused; // why a reader would refuse it; empty when it passes
};

struct RecordStream {
    uint32_t chunkId = 0;             // 0 when no chunk reads as a record
    std::vector<FoundRecord> records; // every chunk of that id, in file order
    uint64_t passed = 0;              // of them, those that passed every check
};

// Why a record that parses would be refused by a reader (its piece rule, the piece, the offset
// and size inside it, its take); empty when it would play.
using RecordJudge = std::function<std::optional<std::string>(const FrameRecordView&)>;

// The frame records: of the chunk ids whose chunks parse as records and pass `judge` (limited to
// stream `onlyStream` when the header names the KEST stream), the one with most of them (where
// none passes, the one with most chunks that parse); then every chunk of that id, each with its
// verdict.
RecordStream FindRecords(ByteFile& file, const AviScan& scan, int onlyStream,
                         const RecordJudge& judge);

// The record chunks that play, in order: up to the first one that fails (a later chunk cannot
// be a frame of its index any more), and, unless `keepZero`, up to the first of the last
// `zeroWindow` whose frame reads all zero (a write of the fast writers that never reached the
// disk; the frames after it are not the ones of their index either).
struct RecoveredRun {
    size_t frames = 0;          // records[0, frames) are recovered
    std::optional<size_t> stop; // the record that ended the run, when one did
    bool stoppedByZero = false;
};
RecoveredRun RecoverableRun(const RecordStream& stream, bool keepZero, size_t zeroWindow,
                            const std::function<bool(const FoundRecord&)>& frameIsZero);

// The fast writers' pool holds at most this many writes: the zero frames can only be there.
constexpr size_t kMostWritesInFlight = 20;

} // namespace kestro::avi
