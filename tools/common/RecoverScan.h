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
    bool closed = false; // the file reads as a whole AVI, sizes and index right
};

// Sees every stream chunk ("NNxx") the walk meets, in file order, with what the walk found so far.
using ChunkVisitor = std::function<void(const ScannedChunk&, const AviScan&)>;

// Never reads a byte twice on an intact stretch; in damage it looks for the next chunk header at
// every even offset. Bounded by the file's size; keeps nothing for a chunk (a file may hold tens
// of millions): `visit` sees each one.
AviScan ScanAvi(ByteFile& file, const ChunkVisitor& visit = nullptr);

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

// The chunks of the id that holds the frame records. Only the records a recovery can keep are
// held: those up to the first that fails a check (after it no chunk can be a frame of its index),
// that one included; of the others only counts.
struct RecordStream {
    uint32_t chunkId = 0;                   // 0 when no chunk reads as a record
    std::vector<FoundRecord> records;       // in file order, up to the first refused one
    std::optional<FoundRecord> firstPassed; // the first that passes, wherever it lies
    uint64_t chunks = 0;                    // every chunk of that id
    uint64_t passed = 0;                    // of them, those that passed every check
    uint32_t passedBytes = 0;               // the size of the last one that passed
    bool passedSizesDiffer = false;         // not all that passed are of one size
    uint64_t audioChunks = 0;               // chunks of sound ("NNwb") of any stream, in the file
};

// Why a record that parses would be refused by a reader (its piece rule, the piece, the offset
// and size inside it, its take); empty when it would play.
using RecordJudge = std::function<std::optional<std::string>(const FrameRecordView&)>;

// The frame records, found in the one walk of ScanAvi (into `scan`): of the chunk ids whose
// chunks parse as records and pass `judge` (with `kestOnly`, limited to the KEST stream of a header
// met before them), the one with most of them (where none passes, the one with most chunks that
// parse); its chunks as RecordStream keeps them, each with its verdict.
RecordStream FindRecords(ByteFile& file, AviScan& scan, bool kestOnly, const RecordJudge& judge);

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
