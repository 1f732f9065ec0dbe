#pragma once
// The frame journal: what happened to each frame of a take, for telling afterwards why a frame
// was late or lost. The codec fills it in memory during the run and appends it in whole pages
// beside the take file (the data file's base name followed by ".journal"), so that a host killed
// mid-take still leaves every page written before. Times are ticks of the performance counter,
// whose frequency the header gives.
//
// Header, 64 bytes (little-endian):
//   0  char[4] "KJRN"          8  u32 header bytes (64)   16 u64 ticks per second
//   4  u32 version (2; 1 before striped takes)              24 u32 take identity
//                             12  u32 row bytes (32)
//   28 u32 requests of the run 32 u32 width  36 u32 height  40 u32 input compression (FOURCC or 0)
//   44 u32 image bytes        48 u32 rate   52 u32 scale   (frames per second = rate / scale; 0
//                                                            when the host never said)
//   56 u64 begin time, UTC, as a FILETIME
// Rows follow at byte 64, 32 bytes each:
//   0  u32 the host's frame number (lFrameNum of ICCOMPRESS)
//   4  u32 bytes written for the frame
//   8  u40 arrival, ticks since the take's begin (version 1: u48 at 8, no stripe)
//   13 u8  the stripe the frame went to (0 in a take written to one data file)
//   14 u8  piece index plus one (0 marks the unused rest of the last page); the piece of its
//          stripe's data file
//   15 u8  requests in flight when its write was issued
//   16 u32 ticks from arrival until the codec returned to the host
//   20 u32 ticks spent waiting for a free request
//   24 u32 ticks from arrival until the write was issued
//   28 u32 ticks from issue until the write completed (kJournalUnknown: never seen to complete)
// Tick counts too large for their field are stored as kJournalUnknown - 1.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestro {

constexpr char kJournalMagic[4] = {'K', 'J', 'R', 'N'};
constexpr uint32_t kJournalVersion = 2;
// The version before striped takes: rows with a six-byte arrival and no stripe.
constexpr uint32_t kJournalVersionUnstriped = 1;
constexpr uint32_t kJournalHeaderBytes = 64;
constexpr uint32_t kJournalRowBytes = 32;
constexpr uint32_t kJournalUnknown = 0xFFFFFFFF;
// About 30 hours of a 10 MHz clock.
constexpr uint64_t kJournalMaxArrival = (uint64_t(1) << 40) - 1;
// Larger journals are refused by readers: more rows than a day of 4K at 120 frames per second.
constexpr uint64_t kMaxJournalBytes = uint64_t(512) << 20;
constexpr std::string_view kJournalSuffix = ".journal";
// A take is striped over at most this many data files: a row naming a later one is damage.
constexpr uint8_t kJournalStripes = 4;

struct JournalHeader {
    uint64_t ticksPerSecond = 0;
    uint32_t take = 0;
    uint32_t requests = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t compression = 0;
    uint32_t imageBytes = 0;
    uint32_t rate = 0;
    uint32_t scale = 0;
    uint64_t beganFileTime = 0;
    bool operator==(const JournalHeader&) const = default;
};

struct JournalRow {
    uint32_t frame = 0;
    uint32_t bytes = 0;
    uint64_t arrived = 0; // at most kJournalMaxArrival
    uint8_t stripe = 0;   // the data file of a striped take it went to, in the take's order
    uint8_t piece = 0;    // the piece's index (stored plus one)
    uint8_t inFlight = 0;
    uint32_t returned = 0;
    uint32_t waited = 0;
    uint32_t issued = 0;
    uint32_t completed = kJournalUnknown;
    bool operator==(const JournalRow&) const = default;
};

// The journal of a data file: its base name followed by ".journal", which no piece can be named.
std::string JournalFileName(std::string_view dataFile);

// A tick count as a row field: counts beyond the field are clamped below kJournalUnknown.
uint32_t JournalTicks(uint64_t ticks);

void EncodeJournalHeader(const JournalHeader& header, uint8_t out[kJournalHeaderBytes]);
// `row.piece` must be below 255 and `row.arrived` at most kJournalMaxArrival (both clamped).
void EncodeJournalRow(const JournalRow& row, uint8_t out[kJournalRowBytes]);

// What a reader found: the header and every whole row up to the first unused one, or why the
// bytes are no journal (damage non-empty, nothing else believed). A cut last row is left out and
// counted, as a killed host leaves it.
struct JournalRead {
    std::optional<JournalHeader> header;
    std::vector<JournalRow> rows;
    size_t cutBytes = 0; // bytes after the last whole row that were not an unused rest
    std::string damage;
};

// Reads a journal's bytes; never looks past them. Damaged: shorter than the header, another
// magic, version, header or row size, no clock frequency, larger than kMaxJournalBytes, rows
// whose arrival goes back in time or whose stripe is beyond kJournalStripes, a used row after an
// unused one. Journals of version 1 read
// with every row in stripe 0.
JournalRead ParseJournal(std::span<const uint8_t> bytes);

} // namespace kestro
