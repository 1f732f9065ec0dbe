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

void CheckScan(const AviScan& scan, uint64_t size) {
    uint64_t last = 0;
    bool first = true;
    for (const auto& c : scan.chunks) {
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
    const AviScan scan = ScanAvi(file);
    CheckScan(scan, file.Size());
    uint32_t judged = 0;
    const RecordStream stream =
        FindRecords(file, scan, (flags & 1) ? -1 : (scan.header ? scan.header->kestStream : -1),
                    [&](const FrameRecordView& r) -> std::optional<std::string> {
                        FUZZ_CHECK(!r.path.empty() && r.path.size() <= kMaxRecordPath, r.path);
                        ++judged;
                        if (refuseEvery && judged % refuseEvery == 0)
                            return "refused";
                        return std::nullopt;
                    });
    uint64_t passed = 0;
    for (const auto& r : stream.records) {
        FUZZ_CHECK(r.chunk.id == stream.chunkId, "records of two chunk ids");
        passed += r.refused ? 0 : 1;
    }
    FUZZ_CHECK(passed == stream.passed, "the passed count");
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
    const AviScan again = ScanAvi(out);
    FUZZ_CHECK(again.closed, "the rebuilt AVI is not whole");
    FUZZ_CHECK(again.chunks.size() == run.frames, "chunks of the rebuilt AVI");
    for (size_t i = 0; i < run.frames; ++i) {
        const auto& was = stream.records[i].chunk;
        const auto& is = again.chunks[i];
        FUZZ_CHECK(is.size == was.size, "a record's size changed");
        FUZZ_CHECK(Payload(out, is.offset, is.size) == Payload(file, was.offset, was.size),
                   "a record's bytes changed");
    }
    return 0;
}
