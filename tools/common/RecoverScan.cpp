#include "RecoverScan.h"

#include <algorithm>
#include <map>

#include "RiffChunks.h"

namespace kestro::avi {

using namespace riff;

namespace {

// Chunks larger than this are never frame records (a relink leaves at most a few zeros after
// one); they are not read to find out.
constexpr uint32_t kLargestRecordChunk = 64 * 1024;
// A chunk cut short by the end of the file is believed up to this size only: a larger one found
// in damage is a chance pattern.
constexpr uint32_t kLargestCutChunk = 64u << 20;

bool IsLetter(uint8_t c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsIdCharacter(uint8_t c) {
    return (c >= '0' && c <= '9') || IsLetter(c) || c == ' ' || c == '_';
}

bool IsPlainId(uint32_t id) {
    for (int i = 0; i < 4; ++i)
        if (!IsIdCharacter(uint8_t(id >> (8 * i))))
            return false;
    return true;
}

// Bytes of the file through a block cache: the scan reads chunk headers at every even offset of
// a damaged stretch.
class BlockReader {
public:
    explicit BlockReader(ByteFile& file) : file_(file), size_(file.Size()) {}
    uint64_t size() const { return size_; }
    // Up to kBlock bytes at `at`; the count read (0 past the end or on a read error).
    size_t Get(uint64_t at, uint8_t* out, size_t n) {
        if (at >= size_)
            return 0;
        n = size_t(std::min<uint64_t>(n, size_ - at));
        if (at < start_ || at + n > start_ + length_) {
            start_ = at;
            length_ = size_t(std::min<uint64_t>(kBlock, size_ - at));
            block_.resize(kBlock);
            if (!file_.ReadAt(start_, block_.data(), length_)) {
                length_ = 0;
                return 0;
            }
        }
        std::copy_n(block_.begin() + long(at - start_), n, out);
        return n;
    }

private:
    static constexpr size_t kBlock = 64 * 1024;
    ByteFile& file_;
    uint64_t size_;
    std::vector<uint8_t> block_;
    uint64_t start_ = 0;
    size_t length_ = 0;
};

struct Header {
    uint32_t id = 0, size = 0, form = 0;
    bool hasForm = false;
    bool fits = false; // size bytes of data lie in the file
};

bool ReadHeader(BlockReader& bytes, uint64_t at, Header& h) {
    uint8_t b[12];
    const size_t n = bytes.Get(at, b, 12);
    if (n < 8)
        return false;
    h.id = Le32(b);
    h.size = Le32(b + 4);
    h.hasForm = n == 12;
    h.form = h.hasForm ? Le32(b + 8) : 0;
    h.fits = h.size <= bytes.size() - at - 8;
    return true;
}

bool IsEnteredList(const Header& h) {
    return h.hasForm && ((h.id == kRiff && (h.form == kAvi || h.form == kAvix)) ||
                         (h.id == kList && (h.form == kMovi || h.form == kRec)));
}

// Ids a chunk found in damage may have: those a capture AVI holds.
bool IsKnownId(uint32_t id) {
    static constexpr uint32_t kKnown[] = {
        MakeFourcc("idx1"), MakeFourcc("JUNK"), MakeFourcc("indx"), MakeFourcc("strh"),
        MakeFourcc("strf"), MakeFourcc("strd"), MakeFourcc("strn"), MakeFourcc("avih"),
        MakeFourcc("vprp"), MakeFourcc("dmlh")};
    for (uint32_t known : kKnown)
        if (id == known)
            return true;
    return uint8_t(id) == 'i' && uint8_t(id >> 8) == 'x' && StreamOfChunkId(id >> 16) >= 0;
}

bool Plausible(const Header& h) {
    if (IsEnteredList(h))
        return true;
    if (h.id == kList)
        return h.hasForm && h.fits && h.size >= 4 && IsPlainId(h.form);
    if (IsStreamChunkId(h.id))
        return h.fits || h.size <= kLargestCutChunk;
    return h.fits && IsKnownId(h.id);
}

// The next even offset from `from` where a chunk header could start; the file's size if none.
uint64_t Resync(BlockReader& bytes, uint64_t from) {
    Header h;
    for (uint64_t at = from + (from & 1); at + 8 <= bytes.size(); at += 2)
        if (ReadHeader(bytes, at, h) && Plausible(h))
            return at;
    return bytes.size();
}

} // namespace

bool IsStreamChunkId(uint32_t id) {
    return StreamOfChunkId(id) >= 0 && IsLetter(uint8_t(id >> 16)) && IsLetter(uint8_t(id >> 24));
}

namespace {

// The verdict on one chunk: a record that passes, or why it is none.
struct Verdict {
    std::optional<FrameRecordView> record;
    std::optional<std::string> refused;
};

// One id's chunks as they come: counts, and the records a recovery may keep.
struct IdRecords {
    RecordStream stream;
    uint64_t parsed = 0; // chunks that read as records, passed or not
    bool open = true;    // no chunk has failed yet: records are still kept

    // `refused`: why the chunk is no frame that plays (words only where they are kept).
    void Add(const ScannedChunk& chunk, const std::optional<FrameRecordView>& record,
             std::optional<std::string> refused) {
        ++stream.chunks;
        if (record)
            ++parsed;
        if (record && !refused) {
            ++stream.passed;
            stream.passedSizesDiffer |= stream.passedBytes && record->size != stream.passedBytes;
            stream.passedBytes = record->size;
        }
        const bool firstPassing = record && !refused && !stream.firstPassed;
        if (!open && !firstPassing)
            return;
        FoundRecord found;
        found.chunk = chunk;
        if (record) {
            found.offset = record->offset;
            found.size = record->size;
            found.take = record->take;
            found.path = std::string(record->path);
        }
        found.refused = std::move(refused);
        if (firstPassing)
            stream.firstPassed = found;
        if (open)
            stream.records.push_back(std::move(found));
        open = open && !refused;
    }
};

} // namespace

AviScan ScanAvi(ByteFile& file, const ChunkVisitor& visit) {
    AviScan scan;
    BlockReader bytes(file);
    scan.fileSize = bytes.size();
    std::string error;
    scan.closed = ReadAviLayout(file, false, error).has_value();
    uint64_t at = 0;
    Header h;
    while (at + 8 <= scan.fileSize) {
        if (!ReadHeader(bytes, at, h))
            break;
        const uint64_t next = at + 8 + uint64_t(h.size) + (h.size & 1);
        if (IsEnteredList(h)) {
            at += 12; // its size is what a crashed writer leaves wrong
            continue;
        }
        if (h.id == kList && h.hasForm && h.form == kHdrl && !scan.header) {
            auto header = ReadHeaderListAt(file, at, scan.fileSize, error);
            if (header && !header->streams.empty())
                scan.header = std::move(header);
        }
        if (IsStreamChunkId(h.id)) {
            if (visit)
                visit(ScannedChunk{at, h.id, h.size, h.fits}, scan);
            if (h.fits) {
                at = next;
                continue;
            }
        } else if (h.fits && (IsPlainId(h.id) || h.id == kList) && (h.id != kList || h.size >= 4)) {
            at = next;
            continue;
        }
        at = Resync(bytes, at + 2);
    }
    return scan;
}

RecordStream FindRecords(ByteFile& file, AviScan& scan, bool kestOnly, const RecordJudge& judge) {
    std::map<uint32_t, IdRecords> byId;
    IdRecords* last = nullptr; // the id of the chunk before: most files are runs of one id
    uint64_t audio = 0;
    BlockReader bytes(file);
    std::vector<uint8_t> data;
    scan = ScanAvi(file, [&](const ScannedChunk& chunk, const AviScan& sofar) {
        audio += char(chunk.id >> 16) == 'w';
        const int kest = sofar.header ? sofar.header->kestStream : -1;
        if (kestOnly && kest >= 0 && StreamOfChunkId(chunk.id) != kest)
            return;
        if (!last || last->stream.chunkId != chunk.id) {
            last = &byId[chunk.id];
            last->stream.chunkId = chunk.id;
        }
        IdRecords& id = *last;
        std::optional<FrameRecordView> record;
        // A record holds its fixed part and a name: smaller chunks are not read.
        if (chunk.whole && chunk.size > kFrameRecordFixedBytes &&
            chunk.size <= kLargestRecordChunk) {
            data.resize(chunk.size);
            if (bytes.Get(chunk.offset + 8, data.data(), data.size()) == data.size())
                record = ParseFrameRecord(data.data(), data.size());
        }
        // Words are made only for a chunk that is kept: most chunks of a damaged file are not.
        std::optional<std::string> refused;
        if (record)
            refused = judge(*record);
        else if (!id.open)
            refused.emplace();
        else if (!chunk.whole)
            refused = "the file ends inside it (" +
                      std::to_string(scan.fileSize - chunk.offset - 8) + " of its " +
                      std::to_string(chunk.size) + " bytes are there)";
        else
            refused = "not a frame record (" + std::to_string(chunk.size) + " bytes)";
        id.Add(chunk, record, std::move(refused));
    });
    // Where no record passes, the id of most records that parse still is the stream: its first
    // record's refusal is what the user is told (a piece the rule refuses, a piece gone).
    RecordStream best;
    uint64_t bestParsed = 0;
    for (auto& [id, found] : byId)
        if (found.stream.passed > best.passed ||
            (found.stream.passed == best.passed && found.parsed > bestParsed)) {
            bestParsed = found.parsed;
            best = std::move(found.stream);
        }
    best.audioChunks = audio;
    return best;
}

RecoveredRun RecoverableRun(const RecordStream& stream, bool keepZero, size_t zeroWindow,
                            const std::function<bool(const FoundRecord&)>& frameIsZero) {
    RecoveredRun run;
    const auto& records = stream.records;
    while (run.frames < records.size() && !records[run.frames].refused)
        ++run.frames;
    if (run.frames < records.size())
        run.stop = run.frames;
    if (keepZero)
        return run;
    for (size_t i = run.frames - std::min(run.frames, zeroWindow); i < run.frames; ++i) {
        if (frameIsZero(records[i])) {
            run.frames = i;
            run.stop = i;
            run.stoppedByZero = true;
            break;
        }
    }
    return run;
}

} // namespace kestro::avi
