// The frame journal's reader, on whatever a disk or a hostile user leaves under a journal's name.
// The first byte says how the rest lies: as the file's bytes, or as rows behind a header a codec
// would write (so that the rows are reached). A read is a header with its rows or a refusal with
// a reason, never both; rows are whole, in time order, fewer than the bytes hold; written back
// they read the same, and a journal cut after any of its rows (a killed host) reads as those rows.
#include <algorithm>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "pure/FrameJournal.h"

using namespace kestro;

namespace {

std::vector<uint8_t> Encode(const JournalHeader& header, const std::vector<JournalRow>& rows) {
    std::vector<uint8_t> bytes(kJournalHeaderBytes + rows.size() * kJournalRowBytes);
    EncodeJournalHeader(header, bytes.data());
    for (size_t i = 0; i < rows.size(); ++i)
        EncodeJournalRow(rows[i], bytes.data() + kJournalHeaderBytes + i * kJournalRowBytes);
    return bytes;
}

void CheckRead(const JournalRead& read, size_t size) {
    FUZZ_CHECK(read.header.has_value() == read.damage.empty(), "neither a journal nor damaged");
    if (!read.header) {
        FUZZ_CHECK(read.damage.size() < 200 && read.rows.empty() && read.cutBytes == 0,
                   read.damage);
        for (char c : read.damage)
            FUZZ_CHECK(uint8_t(c) >= 0x20, "a control character in the reason");
        return;
    }
    FUZZ_CHECK(read.header->ticksPerSecond != 0, "a journal without a clock");
    FUZZ_CHECK(size <= kMaxJournalBytes, "a journal larger than any take writes");
    FUZZ_CHECK(kJournalHeaderBytes + read.rows.size() * kJournalRowBytes + read.cutBytes <= size,
               "more rows than bytes");
    FUZZ_CHECK(read.cutBytes < kJournalRowBytes, "a whole row counted as cut");
    for (size_t i = 0; i < read.rows.size(); ++i) {
        FUZZ_CHECK(read.rows[i].arrived < (uint64_t(1) << 48) && read.rows[i].piece < 255 &&
                       read.rows[i].stripe < kJournalStripes,
                   "a field beyond its width");
        FUZZ_CHECK(i == 0 || read.rows[i].arrived >= read.rows[i - 1].arrived,
                   "rows out of time order");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Reader in(data, size);
    const uint8_t how = in.U8();
    std::vector<uint8_t> bytes;
    if (how % 2 == 0) {
        bytes = in.Rest();
    } else {
        JournalHeader header;
        header.ticksPerSecond = in.U32() | 1;
        header.take = in.U32();
        header.requests = in.U8();
        header.rate = in.U16();
        header.scale = in.U16();
        const std::vector<uint8_t> rows = in.Rest();
        bytes = Encode(header, {});
        bytes.insert(bytes.end(), rows.begin(), rows.end());
    }
    const JournalRead read = ParseJournal(bytes);
    CheckRead(read, bytes.size());
    if (!read.header)
        return 0;

    // A journal of the version before stripes may hold arrivals wider than rows now keep: the
    // writer clamps them, so only the others read back the same.
    const bool fits = std::all_of(read.rows.begin(), read.rows.end(), [](const JournalRow& r) {
        return r.arrived <= kJournalMaxArrival;
    });
    const JournalRead again = ParseJournal(Encode(*read.header, read.rows));
    FUZZ_CHECK(!fits || (again.damage.empty() && again.header == read.header &&
                         again.rows == read.rows && again.cutBytes == 0),
               "written back, it reads otherwise");
    // Cut after row k, as a host killed then leaves it: the first k rows.
    const size_t k = read.rows.size() / 2;
    const std::vector<uint8_t> cut(bytes.begin(),
                                   bytes.begin() + kJournalHeaderBytes + k * kJournalRowBytes);
    const JournalRead prefix = ParseJournal(cut);
    FUZZ_CHECK(prefix.header && prefix.rows.size() == k &&
                   std::equal(prefix.rows.begin(), prefix.rows.end(), read.rows.begin()),
               "a cut journal reads other rows than it holds");
    return 0;
}
