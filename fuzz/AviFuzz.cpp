// The RIFF walker, the record finder and both relinks over an AVI taken from the input, checked
// against what the walk itself promised: chunks inside their movi list, records in file order,
// a relink that changes nothing but the records and loses no chunk of another stream.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "AviRecords.h"
#include "FuzzSupport.h"
#include "pure/Fourcc.h"
#include "pure/StreamFormat.h"

using namespace kestro;
using namespace kestro::avi;
using fuzz::MemoryFile;

namespace {

struct Found {
    uint64_t offset;
    uint32_t size;
    std::string path;
    uint64_t chunkOffset;
    uint32_t chunkSize;
};

std::optional<std::vector<Found>> Records(ByteFile& file, const AviLayout& layout) {
    std::vector<Found> out;
    std::string error;
    bool ok = ForEachRecord(
        file, layout,
        [&](const RecordChunk& c, const FrameRecordView& r) -> std::optional<std::string> {
            FUZZ_CHECK(!r.path.empty() && r.path.size() <= kMaxRecordPath, r.path);
            FUZZ_CHECK(r.path.find('\0') == std::string_view::npos, "a zero inside the path");
            FUZZ_CHECK(FrameRecordBytes(r.path.size()) <= c.chunkSize, "path beyond its chunk");
            out.push_back({r.offset, r.size, std::string(r.path), c.chunkOffset, c.chunkSize});
            return std::nullopt;
        },
        error);
    if (!ok)
        return std::nullopt;
    return out;
}

// Chunk payloads of one stream, in file order.
std::vector<std::vector<uint8_t>> Payloads(ByteFile& file, const AviLayout& layout, int stream) {
    std::vector<std::vector<uint8_t>> out;
    std::string error;
    ForEachStreamChunk(
        file, layout, stream,
        [&](const RecordChunk& c) {
            std::vector<uint8_t> data(c.chunkSize);
            FUZZ_CHECK(file.ReadAt(c.chunkOffset + 8, data.data(), data.size()),
                       "a walked chunk cannot be read");
            out.push_back(std::move(data));
            return out.size() < 4096;
        },
        error);
    return out;
}

// The relinked records: as many, in the same order, the same fields, the piece names renamed.
void CheckRenamed(const std::vector<Found>& records, const std::optional<std::vector<Found>>& now,
                  std::string_view base) {
    FUZZ_CHECK(now && now->size() == records.size(), "records lost");
    for (size_t i = 0; i < records.size(); ++i) {
        const auto& was = records[i];
        const auto& is = (*now)[i];
        FUZZ_CHECK(is.offset == was.offset && is.size == was.size, "record fields changed");
        FUZZ_CHECK(is.path == RelinkedPieceName(was.path, base).value_or("?"), is.path);
    }
}

void CheckWalk(MemoryFile& file, const AviLayout& layout) {
    const uint64_t size = file.Size();
    FUZZ_CHECK(!layout.movi.empty(), "a layout without movi");
    for (const auto& m : layout.movi)
        FUZZ_CHECK(m.start >= 12 && m.start <= m.end && m.end <= size, "movi span outside");
    FUZZ_CHECK(layout.streams.size() <= 100, "too many streams");
    if (layout.kestStream >= 0) {
        FUZZ_CHECK(size_t(layout.kestStream) < layout.streams.size(), "kest stream index");
        const auto& s = layout.streams[size_t(layout.kestStream)];
        FUZZ_CHECK(s.fccType == MakeFourcc("vids"), "kest stream is not video");
        FUZZ_CHECK(s.format.size() >= kStreamHeaderBytes, "kest format short");
    }
    for (const auto& s : layout.streams)
        FUZZ_CHECK(s.headerOffset + 40 <= size && s.format.size() <= (1u << 20), "stream header");
    const int streams = int(std::min<size_t>(layout.streams.size(), 4));
    for (int stream = 0; stream < streams; ++stream) {
        uint64_t next = 0, last = 0;
        bool first = true;
        std::string error;
        ForEachStreamChunk(
            file, layout, stream,
            [&](const RecordChunk& c) {
                FUZZ_CHECK(c.index == next, "indices not consecutive");
                FUZZ_CHECK(first || c.chunkOffset > last, "chunks not in file order");
                bool inside = false;
                for (const auto& m : layout.movi)
                    inside = inside || (c.chunkOffset >= m.start &&
                                        c.chunkOffset + 8 + uint64_t(c.chunkSize) <= m.end);
                FUZZ_CHECK(inside, "chunk outside every movi list");
                FUZZ_CHECK(StreamOfChunkId(uint32_t(file.bytes[c.chunkOffset]) |
                                           uint32_t(file.bytes[c.chunkOffset + 1]) << 8) == stream,
                           "chunk of another stream");
                ++next, last = c.chunkOffset, first = false;
                return next < 100000;
            },
            error);
    }
}

void CheckInPlace(const std::vector<uint8_t>& original, const AviLayout& layout,
                  const std::vector<Found>& records, std::string_view base, bool fits,
                  uint64_t writeLimit) {
    MemoryFile copy(original);
    copy.writeLimit = writeLimit;
    std::string error;
    auto done = RelinkInPlace(copy, layout, base, error);
    if (writeLimit == UINT64_MAX)
        FUZZ_CHECK(done.has_value() == fits, "in-place relink disagrees with its check: " + error);
    if (!done)
        return;
    FUZZ_CHECK(*done == records.size(), "relinked count");
    FUZZ_CHECK(copy.bytes.size() == original.size(), "in-place relink changed the size");
    std::vector<bool> mayChange(original.size(), false);
    for (const auto& r : records)
        std::fill(mayChange.begin() + long(r.chunkOffset + 8),
                  mayChange.begin() + long(r.chunkOffset + 8 + r.chunkSize), true);
    for (size_t i = 0; i < original.size(); ++i)
        FUZZ_CHECK(mayChange[i] || copy.bytes[i] == original[i],
                   "byte " + std::to_string(i) + " outside every record changed");
    auto again = ReadAviLayout(copy, true, error);
    FUZZ_CHECK(again.has_value(), "relinked file no longer reads: " + error);
    CheckRenamed(records, Records(copy, *again), base);
}

uint32_t Le32(const std::vector<uint8_t>& b, uint64_t at) {
    return at <= b.size() && b.size() - at >= 4
               ? uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
                     uint32_t(b[at + 3]) << 24
               : 0;
}

// Where the entries of the idx1 and ix## indexes put their chunks' headers, in file order. An
// idx1 counts from the first movi list's type word when the first entry that names a chunk in
// a movi list from either origin is found there, else from the start of the file; an ix## index
// of chunks from its base, pointing at the data. The bytes of every index are noted: an entry
// pointing into an index names no chunk.
struct Pointer {
    uint32_t id;
    uint64_t header;
    const uint8_t* entry; // an idx1 entry's 16 bytes, else null
};

struct Indexes {
    std::vector<Pointer> pointers;
    std::vector<bool> relative; // each idx1's offsets (in walk order) from the movi type word
    std::vector<std::pair<uint64_t, uint64_t>> bytes; // every index chunk's data
    bool Inside(uint64_t at) const {
        for (const auto& [from, to] : bytes)
            if (at + 8 > from && at < to)
                return true;
        return false;
    }
};

bool InMovi(const std::vector<uint8_t>& b, const AviLayout& layout, uint64_t at, uint32_t id) {
    for (const auto& m : layout.movi)
        if (at >= m.start && at < m.end && m.end - at >= 8)
            return Le32(b, at) == id;
    return false;
}

uint64_t Idx1Origin(const std::vector<uint8_t>& b, const AviLayout& layout, uint64_t data,
                    uint64_t stop) {
    const uint64_t moviType = layout.movi.front().start - 4;
    for (uint64_t e = data; e + 16 <= stop; e += 16) {
        if (InMovi(b, layout, moviType + Le32(b, e + 8), Le32(b, e)))
            return moviType;
        if (InMovi(b, layout, Le32(b, e + 8), Le32(b, e)))
            return 0;
    }
    return 0;
}

// `relative`: whether each idx1's offsets count from the movi type word, where already known (a
// file's relinked copy keeps the origin its input's entries had: a file may hold more than one
// idx1, each with an origin of its own); else the entries tell.
void IndexWalk(const std::vector<uint8_t>& b, uint64_t start, uint64_t end, uint32_t parent,
               const AviLayout& layout, Indexes& indexes, const std::vector<bool>* relative) {
    std::vector<Pointer>& out = indexes.pointers;
    for (uint64_t p = start; p + 8 <= end && out.size() < 100000;) {
        const uint32_t id = Le32(b, p), size = Le32(b, p + 4);
        const uint64_t data = p + 8, stop = std::min<uint64_t>(end, data + uint64_t(size));
        // Only into the lists the reader enters: indexes anywhere else are not the file's.
        const uint32_t form = Le32(b, data);
        if (id == MakeFourcc("LIST") && size >= 4 &&
            ((parent == MakeFourcc("AVI ") || parent == MakeFourcc("AVIX"))
                 ? form == MakeFourcc("hdrl") || form == MakeFourcc("movi")
             : parent == MakeFourcc("hdrl") ? form == MakeFourcc("strl")
             : parent == MakeFourcc("movi") ? form == MakeFourcc("rec ")
                                            : false))
            IndexWalk(b, data + 4, stop, form, layout, indexes, relative);
        const bool index = id == MakeFourcc("idx1") || id == MakeFourcc("indx") ||
                           (id & 0xffff) == (MakeFourcc("ix00") & 0xffff);
        if (index)
            indexes.bytes.push_back({data, stop});
        if (id == MakeFourcc("idx1") && !layout.movi.empty()) {
            const uint64_t moviType = layout.movi.front().start - 4;
            const size_t nth = indexes.relative.size();
            const uint64_t origin = relative && nth < relative->size()
                                        ? ((*relative)[nth] ? moviType : 0)
                                        : Idx1Origin(b, layout, data, stop);
            indexes.relative.push_back(origin == moviType);
            for (uint64_t e = data; e + 16 <= stop; e += 16)
                out.push_back({Le32(b, e), origin + Le32(b, e + 8), b.data() + e});
        }
        if ((id & 0xffff) == (MakeFourcc("ix00") & 0xffff) && stop - data >= 24 && b[data] == 2 &&
            b[data + 1] == 0 && b[data + 3] == 1) {
            const uint64_t base = uint64_t(Le32(b, data + 12)) | uint64_t(Le32(b, data + 16)) << 32;
            const uint32_t chunkId = Le32(b, data + 8);
            for (uint64_t e = data + 24, n = 0; e + 8 <= stop && n < Le32(b, data + 4); e += 8, ++n)
                out.push_back(
                    {chunkId, base <= b.size() ? base + Le32(b, e) - 8 : UINT64_MAX, nullptr});
        }
        p = data + uint64_t(size) + (size & 1);
    }
}

// Only the RIFFs the layout was read from (AVI, then AVIX): what follows is not the file's.
Indexes IndexPointers(const std::vector<uint8_t>& b, const AviLayout& layout,
                      const std::vector<bool>* relative = nullptr) {
    Indexes out;
    for (uint64_t p = 0; p + 12 <= b.size();) {
        const uint32_t size = Le32(b, p + 4);
        if (Le32(b, p) != MakeFourcc("RIFF") ||
            Le32(b, p + 8) != (p ? MakeFourcc("AVIX") : MakeFourcc("AVI ")))
            break;
        IndexWalk(b, p + 12, std::min<uint64_t>(b.size(), p + 8 + uint64_t(size)), Le32(b, p + 8),
                  layout, out, relative);
        p += 8 + uint64_t(size) + (size & 1);
    }
    return out;
}

bool Names(const std::vector<uint8_t>& b, const Pointer& p) {
    return p.header <= b.size() && b.size() - p.header >= 8 && Le32(b, p.header) == p.id;
}

void CheckNewFile(MemoryFile& in, const AviLayout& layout, const std::vector<Found>& records,
                  std::string_view base, bool inPlaceWorked, uint64_t writeLimit) {
    MemoryFile out;
    out.writeLimit = writeLimit;
    std::string error;
    auto done = RelinkToNewFile(in, layout, out, base, error);
    if (!done) {
        if (inPlaceWorked && writeLimit == UINT64_MAX)
            FUZZ_CHECK(error.find("nested too deeply") != std::string::npos,
                       "a relink that fits in place fails into a new file: " + error);
        return;
    }
    FUZZ_CHECK(*done == records.size(), "relinked count");
    auto again = ReadAviLayout(out, true, error);
    FUZZ_CHECK(again.has_value(), "the new file does not read: " + error);
    FUZZ_CHECK(again->streams.size() == layout.streams.size(), "streams lost");
    FUZZ_CHECK(again->kestStream == layout.kestStream, "kest stream moved");
    for (size_t i = 0; i < layout.streams.size(); ++i) {
        const auto& a = layout.streams[i];
        const auto& b = again->streams[i];
        FUZZ_CHECK(a.fccType == b.fccType && a.fccHandler == b.fccHandler && a.scale == b.scale &&
                       a.rate == b.rate && a.start == b.start && a.length == b.length &&
                       a.format == b.format,
                   "stream " + std::to_string(i) + " header changed");
        if (int(i) == layout.kestStream)
            FUZZ_CHECK(b.suggestedBufferSize >= a.suggestedBufferSize, "buffer size shrank");
        else
            FUZZ_CHECK(b.suggestedBufferSize == a.suggestedBufferSize, "other buffer size");
    }
    CheckRenamed(records, Records(out, *again), base);
    // Every index entry that named a chunk still names it, and a chunk of another stream still
    // holds the same bytes.
    const Indexes indexesBefore = IndexPointers(in.bytes, layout);
    const auto& before = indexesBefore.pointers;
    // Read with the origin the input's entries had: entries that named nothing are copied as
    // they were, and one of them may name a chunk of the new file by chance from the other one.
    const auto after = IndexPointers(out.bytes, *again, &indexesBefore.relative).pointers;
    FUZZ_CHECK(before.size() == after.size(), "index entries lost");
    std::set<uint64_t> otherChunks; // the chunks of the other streams, as the walk finds them
    for (int s = 0; s < int(std::min<size_t>(layout.streams.size(), 4)); ++s)
        if (s != layout.kestStream)
            ForEachStreamChunk(
                in, layout, s,
                [&](const RecordChunk& c) { return otherChunks.insert(c.chunkOffset), true; },
                error);
    // Bytes inside a record's data (and pad) change; an entry that points there names nothing.
    auto inRecord = [&](uint64_t from, uint64_t to) {
        for (const auto& r : records)
            if (from < r.chunkOffset + 9 + uint64_t(r.chunkSize) && to > r.chunkOffset + 8)
                return true;
        return false;
    };
    for (size_t i = 0; i < before.size(); ++i) {
        // An idx1 entry that names no chunk of a movi list stays exactly as it was: shifted, it
        // could name another chunk, or wrap at 4 GiB.
        // Bytes outside the movi lists that happen to match its id are no chunk it names: the
        // bytes may move, the entry does not.
        if (before[i].entry && !InMovi(in.bytes, layout, before[i].header, before[i].id)) {
            FUZZ_CHECK(after[i].entry &&
                           std::equal(before[i].entry, before[i].entry + 16, after[i].entry),
                       "index entry " + std::to_string(i) + " named no chunk and was changed");
            continue;
        }
        if (!Names(in.bytes, before[i]) || inRecord(before[i].header, before[i].header + 8) ||
            indexesBefore.Inside(before[i].header))
            continue;
        FUZZ_CHECK(after[i].id == before[i].id && Names(out.bytes, after[i]),
                   "index entry " + std::to_string(i) + (before[i].entry ? " (idx1)" : " (ix##)") +
                       " no longer names its chunk: it named offset " +
                       std::to_string(before[i].header) + ", now " +
                       std::to_string(after[i].header) + " of " + std::to_string(out.Size()));
        if (StreamOfChunkId(before[i].id) == layout.kestStream)
            continue;
        if (!otherChunks.count(before[i].header))
            continue; // not a chunk of the walk: an entry pointing into the middle of something
        const uint32_t n = Le32(in.bytes, before[i].header + 4);
        FUZZ_CHECK(Le32(out.bytes, after[i].header + 4) == n &&
                       after[i].header + 8 + n <= out.bytes.size() &&
                       std::equal(in.bytes.begin() + long(before[i].header + 8),
                                  in.bytes.begin() + long(before[i].header + 8 + n),
                                  out.bytes.begin() + long(after[i].header + 8)),
                   "index entry " + std::to_string(i) + " names other bytes");
    }
    const int streams = int(std::min<size_t>(layout.streams.size(), 4));
    for (int s = 0; s < streams; ++s)
        if (s != layout.kestStream)
            FUZZ_CHECK(Payloads(in, layout, s) == Payloads(out, *again, s),
                       "stream " + std::to_string(s) + " chunks changed");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Reader input(data, size);
    const uint8_t flags = input.U8();
    const std::string base = input.Text(300);
    const uint32_t limit = input.U32();
    const uint64_t writeLimit = (flags & 4) ? limit : UINT64_MAX;
    MemoryFile file(input.Rest());
    file.readOnly = true;

    std::string error;
    auto layout = ReadAviLayout(file, false, error, flags & 1);
    auto kest = ReadAviLayout(file, true, error, flags & 1);
    FUZZ_CHECK(kest.has_value() == (layout && layout->kestStream >= 0), "needKest disagrees");
    if (!layout)
        return 0;
    CheckWalk(file, *layout);
    if (layout->kestStream < 0)
        return 0;
    // Relinks take a file only as the strict reader reads it, as the tools do.
    auto records = Records(file, *layout);
    if (!records || (flags & 1))
        return 0;
    const bool fits = RelinkFitsInPlace(file, *layout, base, error);
    CheckInPlace(file.bytes, *layout, *records, base, fits, writeLimit);
    CheckNewFile(file, *layout, *records, base, fits, (flags & 8) ? limit : UINT64_MAX);
    return 0;
}
