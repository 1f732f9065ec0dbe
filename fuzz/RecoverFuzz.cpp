// The recovery scan over whatever bytes a crashed writer may leave, checked against what the scan
// promises: chunks in file order and inside the file, one chunk id for the records, a run that
// stops at the first refused record, and a rebuilt AVI that reads as closed and holds exactly
// the run's records, byte for byte.
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "RebuiltAvi.h"
#include "RecoverScan.h"
#include "pure/Fourcc.h"
#include "pure/StreamFormat.h"

using namespace kestro;
using namespace kestro::avi;
using fuzz::MemoryFile;

namespace {

std::vector<uint8_t> Payload(MemoryFile& file, uint64_t chunkOffset, uint32_t size) {
    std::vector<uint8_t> data(size);
    FUZZ_CHECK(file.ReadAt(chunkOffset + 8, data.data(), size), "a whole chunk cannot be read");
    return data;
}

void CheckScan(const std::vector<ScannedChunk>& chunks, uint64_t size) {
    uint64_t last = 0;
    bool first = true;
    for (const auto& c : chunks) {
        FUZZ_CHECK(c.offset + 8 <= size, "a chunk header past the end");
        FUZZ_CHECK(first || c.offset > last, "chunks not in file order");
        FUZZ_CHECK(c.whole == (uint64_t(c.size) <= size - c.offset - 8), "wrongly whole");
        FUZZ_CHECK(IsStreamChunkId(c.id), "not a stream chunk id");
        last = c.offset, first = false;
    }
}

// A stream format for the rebuilt file: the surviving one, else a small raw one.
std::vector<uint8_t> FormatFor(const AviScan& scan) {
    if (scan.header && scan.header->kestStream >= 0)
        return scan.header->streams[size_t(scan.header->kestStream)].format;
    BitmapHeader in{};
    in.biSize = kBitmapHeaderBytes;
    in.biWidth = 16;
    in.biHeight = 8;
    in.biPlanes = 1;
    in.biBitCount = 16;
    in.biCompression = kFourccYuy2;
    const StreamFormatHeader h = MakeStreamFormat(in);
    const auto* p = reinterpret_cast<const uint8_t*>(&h);
    return {p, p + kStreamHeaderBytes};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Reader in(data, size);
    const uint8_t flags = in.U8();
    const uint32_t refuseEvery = in.U8(); // the judge refuses every n-th record (0: none)
    const uint32_t zeroAt = in.U8();      // the frame that reads all zero (255: none)
    MemoryFile file(in.Rest());
    file.readOnly = true;
    std::vector<ScannedChunk> chunks;
    const AviScan whole =
        ScanAvi(file, [&](const ScannedChunk& c, const AviScan&) { chunks.push_back(c); });
    CheckScan(chunks, file.Size());
    const bool kestOnly = !(flags & 1);
    AviScan scan;
    uint32_t judged = 0;
    const RecordStream stream = FindRecords(
        file, scan, kestOnly, [&](const FrameRecordView& r) -> std::optional<std::string> {
            FUZZ_CHECK(!r.path.empty() && r.path.size() <= kMaxRecordPath, r.path);
            ++judged;
            if (refuseEvery && judged % refuseEvery == 0)
                return "refused";
            return std::nullopt;
        });
    FUZZ_CHECK(scan.closed == whole.closed && scan.header.has_value() == whole.header.has_value(),
               "two walks over one file differ");
    // Only the records up to the first refused one are kept; of the rest only counts.
    uint64_t ofId = 0, audio = 0;
    for (const auto& c : chunks) {
        ofId += c.id == stream.chunkId;
        audio += char(c.id >> 16) == 'w';
    }
    // Chunks of other streams than the header's KEST one count only before the header.
    FUZZ_CHECK(kestOnly ? stream.chunks <= ofId : stream.chunks == (stream.chunkId ? ofId : 0),
               "the chunk count");
    FUZZ_CHECK(stream.audioChunks == audio, "the sound chunk count");
    FUZZ_CHECK(stream.records.size() <= stream.chunks, "more records than chunks");
    uint64_t passed = 0;
    for (size_t i = 0; i < stream.records.size(); ++i) {
        const auto& r = stream.records[i];
        FUZZ_CHECK(r.chunk.id == stream.chunkId, "records of two chunk ids");
        FUZZ_CHECK(!r.refused || i + 1 == stream.records.size(), "a record kept after a refusal");
        passed += r.refused ? 0 : 1;
    }
    FUZZ_CHECK(stream.records.size() == stream.chunks ||
                   (!stream.records.empty() && stream.records.back().refused),
               "records dropped before any refusal");
    FUZZ_CHECK(passed <= stream.passed, "the passed count");
    FUZZ_CHECK(stream.passed == 0 || (stream.firstPassed && !stream.firstPassed->refused),
               "the first record that passes");
    size_t index = 0;
    const RecoveredRun run =
        RecoverableRun(stream, flags & 2, kMostWritesInFlight, [&](const FoundRecord& r) {
            FUZZ_CHECK(!r.refused, "a refused record read for zeros");
            return index++ == zeroAt;
        });
    FUZZ_CHECK(run.frames <= stream.records.size(), "more frames than records");
    for (size_t i = 0; i < run.frames; ++i)
        FUZZ_CHECK(!stream.records[i].refused, "a refused record recovered");
    FUZZ_CHECK(run.stop.has_value() == (run.frames < stream.records.size()), "where it stopped");
    if (run.frames == 0)
        return 0;

    RebuiltAvi avi;
    avi.streams.push_back({MakeFourcc("vids"), kFourccKest, 1, 30, 0, FormatFor(scan), 16, 8});
    for (size_t i = 0; i < run.frames; ++i)
        avi.chunks.push_back({0, stream.records[i].chunk.offset, stream.records[i].chunk.size});
    MemoryFile out;
    std::string error;
    FUZZ_CHECK(WriteRebuiltAvi(file, out, avi, error), error);
    FUZZ_CHECK(out.Size() == RebuiltAviBytes(avi), "the size promised");
    std::vector<ScannedChunk> rebuilt;
    const AviScan again =
        ScanAvi(out, [&](const ScannedChunk& c, const AviScan&) { rebuilt.push_back(c); });
    FUZZ_CHECK(again.closed, "the rebuilt AVI is not whole");
    FUZZ_CHECK(rebuilt.size() == run.frames, "chunks of the rebuilt AVI");
    for (size_t i = 0; i < run.frames; ++i) {
        const auto& was = stream.records[i].chunk;
        const auto& is = rebuilt[i];
        FUZZ_CHECK(is.size == was.size, "a record's size changed");
        FUZZ_CHECK(Payload(out, is.offset, is.size) == Payload(file, was.offset, was.size),
                   "a record's bytes changed");
    }
    return 0;
}
