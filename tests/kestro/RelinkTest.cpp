// Finding and rewriting frame records inside AVI files, over bytes in memory.
#include <gtest/gtest.h>

#include <cstring>

#include "AviRecords.h"
#include "Outputs.h"
#include "SynthAvi.h"
#include "pure/Fourcc.h"

using namespace kestro;
using namespace kestro::avi;

namespace {

class MemoryFile : public ByteFile {
public:
    explicit MemoryFile(std::vector<uint8_t> bytes = {}) : bytes_(std::move(bytes)) {}
    uint64_t Size() override { return bytes_.size(); }
    bool ReadAt(uint64_t offset, void* data, size_t n) override {
        if (offset > bytes_.size() || n > bytes_.size() - offset)
            return false;
        std::memcpy(data, bytes_.data() + offset, n);
        return true;
    }
    bool WriteAt(uint64_t offset, const void* data, size_t n) override {
        if (readOnly)
            return false;
        if (offset + n > bytes_.size())
            bytes_.resize(offset + n);
        std::memcpy(bytes_.data() + offset, data, n);
        return true;
    }
    std::vector<uint8_t> bytes_;
    bool readOnly = false;
};

struct Frame {
    uint64_t offset;
    uint32_t size;
    std::string path;
};

std::vector<Frame> RecordsOf(ByteFile& file, std::string* error = nullptr) {
    std::string e;
    std::vector<Frame> frames;
    auto layout = ReadAviLayout(file, true, e);
    if (layout)
        ForEachRecord(
            file, *layout,
            [&](const RecordChunk&, const FrameRecordView& r) -> std::optional<std::string> {
                frames.push_back({r.offset, r.size, std::string(r.path)});
                return std::nullopt;
            },
            e);
    if (error)
        *error = e;
    return frames;
}

synth::AviPlan Capture(size_t frames, const std::string& base, bool audio, bool rec) {
    synth::AviPlan plan;
    plan.format = synth::StreamFormat(64, 48, kestro::kFourccYuy2, 16);
    for (size_t i = 0; i < frames; ++i) {
        // Two pieces of two frames each, as a split capture with tiny pieces would name them.
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, ".%03zu", i / 2);
        plan.records.push_back(synth::Record((i % 2) * 8192, 6144, base + suffix));
    }
    plan.withAudio = audio;
    for (size_t i = 0; audio && i < frames; ++i)
        plan.audio.chunks.push_back(std::vector<uint8_t>(6400 + (i & 1), uint8_t(i)));
    plan.recLists = rec;
    return plan;
}

TEST(AviRecords, FindsEveryRecordInFileOrderWithAudioAndRecLists) {
    for (bool rec : {false, true}) {
        MemoryFile file(synth::BuildAvi(Capture(5, "c:\\kestro", true, rec)));
        std::string error;
        auto frames = RecordsOf(file, &error);
        ASSERT_EQ(frames.size(), 5u) << error;
        EXPECT_EQ(frames[3].path, "c:\\kestro.001");
        EXPECT_EQ(frames[3].offset, 8192u);
        auto layout = ReadAviLayout(file, true, error);
        ASSERT_TRUE(layout);
        EXPECT_EQ(layout->kestStream, 0);
        EXPECT_EQ(layout->totalFrames, 5u);
        ASSERT_EQ(layout->streams.size(), 2u);
        EXPECT_EQ(layout->streams[1].fccType, MakeFourcc("auds"));
    }
}

TEST(AviRecords, RelinkInPlaceChangesOnlyTheRecordBytes) {
    auto plan = Capture(6, "c:\\kestro", true, false);
    MemoryFile file(synth::BuildAvi(plan));
    const auto before = file.bytes_;
    std::string error;
    auto layout = ReadAviLayout(file, true, error);
    ASSERT_TRUE(layout) << error;
    ASSERT_TRUE(RelinkFitsInPlace(file, *layout, "e:\\a\\t1", error)) << error;
    auto done = RelinkInPlace(file, *layout, "e:\\a\\t1", error);
    ASSERT_TRUE(done) << error;
    EXPECT_EQ(*done, 6u);
    ASSERT_EQ(file.bytes_.size(), before.size());
    auto frames = RecordsOf(file);
    ASSERT_EQ(frames.size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(frames[i].path, "e:\\a\\t1.00" + std::to_string(i / 2));
        EXPECT_EQ(frames[i].offset, (i % 2) * 8192);
        EXPECT_EQ(frames[i].size, 6144u);
    }
    // Every byte that differs lies in a record's name or in the zeros after it; the reserved word
    // (0xCD here) is kept.
    size_t changed = 0;
    for (size_t i = 0; i < before.size(); ++i) {
        if (before[i] == file.bytes_[i])
            continue;
        ++changed;
        EXPECT_TRUE(before[i] != 0xCD || file.bytes_[i] == 0) << "byte " << i;
    }
    EXPECT_GT(changed, 0u);
    size_t recordsAt = 0;
    for (size_t i = 0; i + 4 <= before.size(); ++i)
        if (std::memcmp(&before[i], "00dc", 4) == 0 && i > 200)
            recordsAt = recordsAt ? recordsAt : i;
    ASSERT_NE(recordsAt, 0u);
    // Record 0: 16 fixed bytes then "e:\a\t1.000", zero, then zero fill to 30.
    const uint8_t* r = &file.bytes_[recordsAt + 8];
    EXPECT_EQ(std::memcmp(r, &before[recordsAt + 8], 16), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r + 16)), "e:\\a\\t1.000");
    for (size_t i = 16 + 11; i < 30; ++i)
        EXPECT_EQ(r[i], 0) << i;
}

TEST(AviRecords, RelinkInPlaceRefusesNamesThatDoNotFitAndWritesNothing) {
    MemoryFile file(synth::BuildAvi(Capture(4, "c:\\kestro", false, false)));
    const auto before = file.bytes_;
    std::string error;
    auto layout = ReadAviLayout(file, true, error);
    ASSERT_TRUE(layout);
    EXPECT_FALSE(RelinkFitsInPlace(file, *layout, "e:\\archive\\take1", error));
    EXPECT_FALSE(RelinkInPlace(file, *layout, "e:\\archive\\take1", error));
    EXPECT_NE(error.find("does not fit"), std::string::npos) << error;
    EXPECT_EQ(file.bytes_, before);
}

TEST(AviRecords, RelinkToNewFileGrowsChunksAndKeepsIndexAndAudioExact) {
    for (bool rec : {false, true}) {
        auto plan = Capture(7, "c:\\kestro", true, rec);
        MemoryFile in(synth::BuildAvi(plan));
        const auto before = in.bytes_;
        std::string error;
        auto layout = ReadAviLayout(in, true, error);
        ASSERT_TRUE(layout);
        MemoryFile out;
        auto done = RelinkToNewFile(in, *layout, out, "e:\\archive\\long name\\take1", error);
        ASSERT_TRUE(done) << error;
        EXPECT_EQ(*done, 7u);
        EXPECT_EQ(in.bytes_, before);
        auto frames = RecordsOf(out, &error);
        ASSERT_EQ(frames.size(), 7u) << error;
        for (size_t i = 0; i < 7; ++i) {
            EXPECT_EQ(frames[i].path, "e:\\archive\\long name\\take1.00" + std::to_string(i / 2));
            EXPECT_EQ(frames[i].offset, (i % 2) * 8192);
        }
        // RIFF size covers the file; every idx1 entry names a chunk of that id and size.
        uint32_t riffSize;
        std::memcpy(&riffSize, &out.bytes_[4], 4);
        EXPECT_EQ(riffSize + 8u, out.bytes_.size());
        auto outLayout = ReadAviLayout(out, true, error);
        ASSERT_TRUE(outLayout) << error;
        const auto& b = out.bytes_;
        size_t idx = 0;
        for (size_t i = b.size() - 8; i > 0; --i)
            if (std::memcmp(&b[i], "idx1", 4) == 0) {
                idx = i;
                break;
            }
        ASSERT_NE(idx, 0u);
        uint32_t idxSize;
        std::memcpy(&idxSize, &b[idx + 4], 4);
        ASSERT_EQ(idxSize, 14u * 16);
        const size_t moviType = outLayout->movi[0].start - 4;
        size_t audio = 0;
        for (size_t e = 0; e < 14; ++e) {
            const uint8_t* entry = &b[idx + 8 + 16 * e];
            uint32_t off, size, chunkSize;
            std::memcpy(&off, entry + 8, 4);
            std::memcpy(&size, entry + 12, 4);
            ASSERT_LT(moviType + off + 8, b.size());
            EXPECT_EQ(std::memcmp(&b[moviType + off], entry, 4), 0) << "entry " << e;
            std::memcpy(&chunkSize, &b[moviType + off + 4], 4);
            EXPECT_EQ(chunkSize, size) << "entry " << e;
            if (std::memcmp(entry, "01wb", 4) == 0) {
                const auto& want = plan.audio.chunks[audio++];
                ASSERT_EQ(size, want.size());
                EXPECT_EQ(std::memcmp(&b[moviType + off + 8], want.data(), size), 0);
            }
        }
        EXPECT_EQ(audio, 7u);
    }
}

TEST(AviRecords, RefusesCutFilesGarbageRecordsAndOtherVideo) {
    const auto whole = synth::BuildAvi(Capture(4, "c:\\kestro", false, false));
    std::string error;
    for (size_t cut = 0; cut < whole.size(); cut += 7) {
        MemoryFile file(std::vector<uint8_t>(whole.begin(), whole.begin() + cut));
        EXPECT_FALSE(ReadAviLayout(file, true, error)) << "cut at " << cut;
        EXPECT_FALSE(error.empty());
        // Read as far as it goes when asked: every cut past the start of movi still has the
        // stream and a movi list that ends where the file does.
        auto lenient = ReadAviLayout(file, true, error, true);
        if (cut > 400) {
            ASSERT_TRUE(lenient) << "cut at " << cut << ": " << error;
            EXPECT_TRUE(lenient->cut);
            EXPECT_EQ(lenient->kestStream, 0);
            ASSERT_EQ(lenient->movi.size(), 1u);
            EXPECT_LE(lenient->movi[0].end, cut);
        }
    }
    auto plan = Capture(4, "c:\\kestro", false, false);
    plan.records[2].assign(30, 'x'); // no terminating zero anywhere
    MemoryFile garbage(synth::BuildAvi(plan));
    RecordsOf(garbage, &error);
    EXPECT_NE(error.find("record 2 "), std::string::npos) << error;

    plan = Capture(4, "c:\\kestro", false, false);
    std::memcpy(plan.format.data() + 16, "MJPG", 4);
    MemoryFile other(synth::BuildAvi(plan));
    EXPECT_FALSE(ReadAviLayout(other, true, error));
    EXPECT_NE(error.find("no KEST stream"), std::string::npos) << error;

    plan = Capture(2, "c:\\kestro", false, false);
    plan.records[1] = synth::Record(0, 6144, "c:\\kestro"); // no .NNN suffix to keep
    MemoryFile noSuffix(synth::BuildAvi(plan));
    auto layout = ReadAviLayout(noSuffix, true, error);
    ASSERT_TRUE(layout);
    MemoryFile out;
    EXPECT_FALSE(RelinkToNewFile(noSuffix, *layout, out, "e:\\x", error));
    EXPECT_NE(error.find("record 1"), std::string::npos) << error;
}

TEST(AviRecords, RelinkToNewFileKeepsWhatFollowsTheAviAsItWas) {
    // Past the last RIFF the reader judges nothing: a damaged chunk claiming the rest of the
    // disk, a foreign RIFF whose movi list holds chunks that look like records, a few bytes.
    const auto record = synth::Record(0, 6144, "c:\\kestro.000");
    std::string foreign;
    auto put = [&](const char* id, size_t n) {
        foreign.append(id, 4);
        if (n != SIZE_MAX)
            for (int i = 0; i < 4; ++i)
                foreign.push_back(char(n >> (8 * i)));
    };
    put("RIFF", 4 + 12 + 8 + record.size());
    put("WAVE", SIZE_MAX);
    put("LIST", 4 + 8 + record.size());
    put("movi", SIZE_MAX);
    put("00dc", record.size());
    foreign.append(record.begin(), record.end());
    const std::vector<uint8_t> foreignMovi(foreign.begin(), foreign.end());
    const std::vector<std::vector<uint8_t>> tails = {
        {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 1, 2, 3}, foreignMovi, {7, 7, 7}};
    for (const auto& tail : tails) {
        auto bytes = synth::BuildAvi(Capture(3, "c:\\kestro", true, false));
        bytes.insert(bytes.end(), tail.begin(), tail.end());
        MemoryFile in(bytes);
        std::string error;
        auto layout = ReadAviLayout(in, true, error);
        ASSERT_TRUE(layout) << error;
        MemoryFile out;
        ASSERT_TRUE(RelinkToNewFile(in, *layout, out, "e:\\archive\\long name\\take1", error))
            << "tail of " << tail.size() << " bytes: " << error;
        ASSERT_GT(out.bytes_.size(), bytes.size());
        EXPECT_TRUE(std::equal(tail.begin(), tail.end(), out.bytes_.end() - long(tail.size())))
            << "tail of " << tail.size() << " bytes";
        EXPECT_EQ(RecordsOf(out, &error).size(), 3u) << error;
    }
}

uint32_t Le32At(const std::vector<uint8_t>& b, size_t at) {
    uint32_t v;
    std::memcpy(&v, &b[at], 4);
    return v;
}
void Add32At(std::vector<uint8_t>& b, size_t at, uint32_t n) {
    const uint32_t v = Le32At(b, at) + n;
    std::memcpy(&b[at], &v, 4);
}
size_t Find(const std::vector<uint8_t>& b, const char* text, size_t from = 0) {
    const size_t n = std::strlen(text);
    for (size_t i = from; i + n <= b.size(); ++i)
        if (std::memcmp(&b[i], text, n) == 0)
            return i;
    return b.size();
}

// Every idx1 entry names a chunk of its id and, but for records, of its size.
size_t Idx1EntriesNamingTheirChunks(const std::vector<uint8_t>& b) {
    const size_t movi = Find(b, "movi"), idx = Find(b, "idx1");
    size_t named = 0;
    for (size_t e = idx + 8; e + 16 <= idx + 8 + Le32At(b, idx + 4); e += 16) {
        const size_t at = movi + Le32At(b, e + 8);
        named += at + 8 <= b.size() && Le32At(b, at) == Le32At(b, e) &&
                 (std::memcmp(&b[e], "00dc", 4) == 0 || Le32At(b, at + 4) == Le32At(b, e + 12));
    }
    return named;
}

TEST(AviRecords, RelinkToNewFileCopiesWhatTheWalkDoesNotEnterAndKeepsStrayBytes) {
    // A damaged list the reader never enters (a LIST 'INFO' in hdrl whose child overruns it),
    // and a rec list that ends in four stray bytes, which every later offset counts.
    auto bytes = synth::BuildAvi(Capture(4, "c:\\kestro", true, true));
    const std::vector<uint8_t> info = {'L', 'I', 'S', 'T', 16,  0, 0, 0, 'I', 'N', 'F', 'O',
                                       'I', 'S', 'F', 'T', 200, 0, 0, 0, 'a', 'b', 'c', 'd'};
    const size_t hdrlEnd = 12 + 8 + Le32At(bytes, 16);
    bytes.insert(bytes.begin() + long(hdrlEnd), info.begin(), info.end());
    Add32At(bytes, 16, uint32_t(info.size()));
    Add32At(bytes, 4, uint32_t(info.size()));
    const size_t movi = Find(bytes, "movi") - 8, rec = Find(bytes, "rec ", movi) - 8;
    const size_t recEnd = rec + 8 + Le32At(bytes, rec + 4);
    bytes.insert(bytes.begin() + long(recEnd), {9, 9, 9, 9});
    for (size_t at : {rec + 4, movi + 4, size_t(4)})
        Add32At(bytes, at, 4);
    const size_t idx = Find(bytes, "idx1");
    for (size_t e = idx + 8; e + 16 <= bytes.size(); e += 16)
        if (movi + 8 + Le32At(bytes, e + 8) >= recEnd)
            Add32At(bytes, e + 8, 4);
    ASSERT_EQ(Idx1EntriesNamingTheirChunks(bytes), 8u) << "the input's own index";

    MemoryFile in(bytes);
    std::string error;
    auto layout = ReadAviLayout(in, true, error);
    ASSERT_TRUE(layout) << error;
    MemoryFile out;
    ASSERT_TRUE(RelinkToNewFile(in, *layout, out, "e:\\archive\\long name\\take1", error)) << error;
    EXPECT_EQ(RecordsOf(out, &error).size(), 4u) << error;
    EXPECT_NE(Find(out.bytes_, "INFOISFT"), out.bytes_.size()) << "the damaged list, as it was";
    EXPECT_EQ(Idx1EntriesNamingTheirChunks(out.bytes_), 8u);
}

// Index entries that name no chunk in the file: far beyond its end (shifted, 0xffffffff would
// wrap to a small offset and name a chunk), just beyond it, and into the index itself onto an
// entry of the same id. Each is copied exactly as it was; the others still name their chunks.
TEST(AviRecords, RelinkToNewFileKeepsIndexEntriesThatNameNoChunkAsTheyWere) {
    auto bytes = synth::BuildAvi(Capture(4, "c:\\kestro", true, false));
    const size_t movi = Find(bytes, "movi"), idx = Find(bytes, "idx1");
    ASSERT_EQ(Idx1EntriesNamingTheirChunks(bytes), 8u);
    auto entry = [&](size_t e) { return idx + 8 + 16 * e; };
    size_t twin = 4; // a later entry of the same id as entry 3
    while (Le32At(bytes, entry(twin)) != Le32At(bytes, entry(3)))
        ++twin;
    const struct {
        size_t entry;
        uint32_t offset; // from the movi type word, as the writer counted
    } strays[] = {{1, 0xffffffffu},
                  {2, uint32_t(bytes.size() - movi + 64)},
                  {3, uint32_t(entry(twin) - movi)}};
    for (const auto& stray : strays)
        Add32At(bytes, entry(stray.entry) + 8,
                stray.offset - Le32At(bytes, entry(stray.entry) + 8));
    ASSERT_EQ(Idx1EntriesNamingTheirChunks(bytes), 5u);

    MemoryFile in(bytes);
    std::string error;
    auto layout = ReadAviLayout(in, true, error);
    ASSERT_TRUE(layout) << error;
    MemoryFile out;
    ASSERT_TRUE(RelinkToNewFile(in, *layout, out, "e:\\archive\\long name\\take1", error)) << error;
    const size_t outIdx = Find(out.bytes_, "idx1");
    ASSERT_LT(outIdx, out.bytes_.size());
    for (const auto& stray : strays)
        EXPECT_EQ(
            std::memcmp(&out.bytes_[outIdx + 8 + 16 * stray.entry], &bytes[entry(stray.entry)], 16),
            0)
            << "entry " << stray.entry;
    EXPECT_EQ(Idx1EntriesNamingTheirChunks(out.bytes_), 5u) << "the five that named chunks";
}

TEST(AviRecords, RelinkedNamesKeepTheSuffix) {
    EXPECT_EQ(RelinkedPieceName("c:\\kestro.012", "e:\\archive\\take1"), "e:\\archive\\take1.012");
    EXPECT_FALSE(RelinkedPieceName("c:\\kestro.01x", "e:\\t"));
    EXPECT_FALSE(RelinkedPieceName("c:\\kestro.000", ""));
    EXPECT_FALSE(RelinkedPieceName("c:\\kestro.000", std::string(257, 'a')));
    EXPECT_TRUE(RelinkedPieceName("c:\\kestro.000", std::string(256, 'a')));
}

} // namespace

namespace {

uint32_t At32(const std::vector<uint8_t>& b, size_t at) {
    uint32_t v;
    std::memcpy(&v, &b[at], 4);
    return v;
}

// Follows every indx to its ix## chunk and every ix## entry to its chunk; counts entries checked.
size_t CheckOpenDmlIndexes(const std::vector<uint8_t>& b) {
    size_t checked = 0;
    for (size_t i = 0; i + 8 < b.size(); ++i) {
        if (std::memcmp(&b[i], "indx", 4) != 0 || b[i + 8 + 3] != 0)
            continue;
        const uint32_t id = At32(b, i + 8 + 8);
        uint64_t ix;
        std::memcpy(&ix, &b[i + 8 + 24], 8);
        EXPECT_LT(ix + 32, b.size());
        if (ix + 32 >= b.size())
            return 0;
        EXPECT_EQ(b[size_t(ix)], 'i');
        EXPECT_EQ(b[size_t(ix) + 1], 'x');
        EXPECT_EQ(At32(b, size_t(ix) + 8 + 8), id) << "the ix chunk indexes the same stream";
        const uint32_t n = At32(b, size_t(ix) + 8 + 4);
        uint64_t base;
        std::memcpy(&base, &b[size_t(ix) + 8 + 12], 8);
        for (uint32_t e = 0; e < n; ++e) {
            const size_t entry = size_t(ix) + 8 + 24 + 8 * e;
            const uint64_t data = base + At32(b, entry);
            EXPECT_LT(data, b.size());
            if (data >= b.size())
                return 0;
            EXPECT_EQ(At32(b, size_t(data) - 8), id) << "entry " << e;
            EXPECT_EQ(At32(b, size_t(data) - 4), At32(b, entry + 4) & 0x7fffffffu) << "entry " << e;
            ++checked;
        }
    }
    return checked;
}

TEST(AviRecords, RelinkToNewFileMovesOpenDmlIndexEntriesWithTheirChunks) {
    auto plan = Capture(9, "c:\\kestro", true, true);
    plan.odml = true;
    MemoryFile in(synth::BuildAvi(plan));
    EXPECT_EQ(CheckOpenDmlIndexes(in.bytes_), 18u) << "the capture's own indexes";
    std::string error;
    auto layout = ReadAviLayout(in, true, error);
    ASSERT_TRUE(layout) << error;
    MemoryFile out;
    ASSERT_TRUE(RelinkToNewFile(in, *layout, out, "e:\\a far longer archive folder\\take", error))
        << error;
    ASSERT_GT(out.bytes_.size(), in.bytes_.size() + 9 * 20);
    EXPECT_EQ(CheckOpenDmlIndexes(out.bytes_), 18u);
}

} // namespace

namespace {

// A leftover is removed by its name: a name that merely looks alike must not match.
TEST(Outputs, TemporaryNamesMatchOnlyTheirOutput) {
    EXPECT_EQ(TemporaryNameOf("/a/b/out.mkv", "/"), "/a/b/.out.mkv.kestro-XXXXXX");
    EXPECT_EQ(TemporaryNameOf("out.mkv", "/"), ".out.mkv.kestro-XXXXXX");
    EXPECT_EQ(TemporaryNameOf("Z:\\caps\\take.avi.bak", "\\/"),
              "Z:\\caps\\.take.avi.bak.kestro-XXXXXX");
    EXPECT_EQ(TemporaryNameOf("a\\b", "/"), ".a\\b.kestro-XXXXXX") << "a backslash is a Linux name";
    const struct {
        const char* name;
        const char* leaf;
        bool caseless, matches;
    } rows[] = {
        {".out.mkv.kestro-Ab12Cd", "out.mkv", false, true},
        {".OUT.MKV.kestro-Ab12Cd", "out.mkv", false, false},
        {".OUT.MKV.kestro-Ab12Cd", "out.mkv", true, true},
        {".out.mkv.kestro-Ab12C", "out.mkv", false, false},   // five characters
        {".out.mkv.kestro-Ab12Cde", "out.mkv", false, false}, // seven
        {".out.mkv.kestro-Ab.2Cd", "out.mkv", false, false},
        {".out.mkv.kestro-Ab/2Cd", "out.mkv", false, false},
        {"out.mkv.kestro-Ab12Cd", "out.mkv", false, false},
        {".xout.mkv.kestro-Ab12Cd", "out.mkv", false, false},
        {".out.mkv.kestro-Ab12Cd", "mkv", false, false},
        {".out.mkv.bak.kestro-Ab12Cd", "out.mkv", false, false}, // the backup's, not the output's
        {".out.mkv.kestro-Ab12Cd", "", false, false},
        {".take.avi.bak.kestro-000000", "take.avi.bak", false, true},
    };
    for (const auto& row : rows)
        EXPECT_EQ(IsTemporaryOf(row.name, row.leaf, row.caseless), row.matches) << row.name;
    // Filled names are names of their output, and differ with the seed.
    const std::string pattern = TemporaryNameOf("Z:\\take.avi.bak", "\\/");
    const std::string a = FillTemporaryName(pattern, 1), b = FillTemporaryName(pattern, 2);
    EXPECT_NE(a, b);
    EXPECT_TRUE(IsTemporaryOf(std::string(LeafOf(a, "\\/")), "take.avi.bak"));
    EXPECT_TRUE(IsTemporaryOf(std::string(LeafOf(FillTemporaryName(pattern, UINT64_MAX), "\\/")),
                              "take.avi.bak"));
}

} // namespace
