// Writes the seed inputs of every fuzz target, one folder per target under the folder given:
// captures laid out as capture hosts lay them (through the tests' synthesizer), in each of the
// targets' input layouts. Run once before fuzzing; the fuzzers grow the corpus from there.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "CaptureInput.h"
#include "FuzzSupport.h"
#include "HostileTakeFiles.h"
#include "SynthAvi.h"
#include "pure/FrameJournal.h"
#include "pure/FrameRecord.h"
#include "pure/PixelKind.h"
#include "pure/TakeFile.h"

using fuzz::CaptureInput;
using fuzz::Writer;
using Bytes = std::vector<uint8_t>;

namespace {

std::string gOut;
int gCount = 0;

void Seed(const std::string& target, const Bytes& bytes) {
    const std::string dir = gOut + "/" + target;
    mkdir(dir.c_str(), 0755);
    char name[32];
    std::snprintf(name, sizeof name, "/seed-%03d", gCount++);
    synth::WriteFile(dir + name, bytes);
}

std::string Piece(const std::string& base, size_t i) {
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, ".%03zu", i);
    return base + suffix;
}

// Records of `frames` pictures of `bytes` each, two pieces' worth, frames page-aligned.
std::vector<Bytes> Records(size_t frames, uint32_t bytes, const std::string& base,
                           size_t perPiece = 4) {
    std::vector<Bytes> out;
    const uint64_t span = (uint64_t(bytes) + 4095) & ~uint64_t(4095);
    for (size_t i = 0; i < frames; ++i)
        out.push_back(synth::Record((i % perPiece) * span, bytes, Piece(base, i / perPiece)));
    return out;
}

Bytes Bitmap(int32_t w, int32_t h, uint16_t bits, uint32_t compression, size_t extra = 0) {
    Writer b;
    b.U32(uint32_t(40 + extra)).U32(uint32_t(w)).U32(uint32_t(h)).U16(1).U16(bits).U32(compression);
    b.U32(uint32_t(w * h * bits / 8)).U32(0).U32(0).U32(0).U32(0);
    b.bytes.resize(40 + extra, 0x42);
    return b.bytes;
}

// A second RIFF 'AVIX' with one more movi list, as OpenDML writers add past 1 GiB.
void AppendAvix(Bytes& avi, const Bytes& record) {
    Writer x;
    const uint32_t chunk = uint32_t(8 + record.size() + (record.size() & 1));
    x.Raw({'R', 'I', 'F', 'F'}).U32(4 + 12 + chunk).Raw({'A', 'V', 'I', 'X'});
    x.Raw({'L', 'I', 'S', 'T'}).U32(4 + chunk).Raw({'m', 'o', 'v', 'i'});
    x.Raw({'0', '0', 'd', 'c'}).U32(uint32_t(record.size())).Raw(record);
    if (record.size() & 1)
        x.U8(0);
    avi.insert(avi.end(), x.bytes.begin(), x.bytes.end());
}

void AviSeeds() {
    const std::string base = "c:\\capture\\kestro";
    struct Case {
        uint8_t flags;
        const char* newBase;
        bool audio, rec, odml, idx1, chained, avix;
        size_t cut;
    };
    const Case cases[] = {
        {0, "e:\\archive\\take1", false, false, false, true, false, false, 0},
        {0, "e:\\archive\\a\\much\\longer\\folder\\for\\the\\pieces\\take1", true, true, true, true,
         false, false, 0},
        {0, "d:\\x", true, false, false, true, true, false, 0},
        {0, "e:\\archive\\a\\longer\\folder\\take1", false, false, true, false, false, true, 0},
        {1, "e:\\t", true, true, false, true, false, false, 700},
        {4 | 8, "e:\\archive\\a\\longer\\folder\\take1", true, false, true, true, false, false, 0},
        {0, "", false, false, false, true, false, false, 0},
    };
    for (const auto& c : cases) {
        synth::AviPlan plan;
        plan.format =
            c.chained ? synth::StreamFormat(64, 48, 0, 16, kestro::MakeFourcc('M', 'R', 'L', 'E'),
                                            Bitmap(64, 48, 8, 1))
                      : synth::StreamFormat(64, 48, kestro::kFourccYuy2, 16);
        plan.records = Records(6, 6144, base, 2);
        plan.records[3].push_back(0); // an odd chunk, with its pad byte
        plan.withAudio = c.audio;
        for (size_t i = 0; c.audio && i < 6; ++i)
            plan.audio.chunks.push_back(Bytes(200 + (i & 1), uint8_t(i)));
        plan.recLists = c.rec;
        plan.odml = c.odml;
        plan.idx1 = c.idx1;
        Bytes avi = synth::BuildAvi(plan);
        if (c.avix)
            AppendAvix(avi, synth::Record(0, 6144, Piece(base, 3)));
        if (c.cut)
            avi.resize(c.cut);
        Writer w;
        w.U8(c.flags).Text(c.newBase).U32(uint32_t(avi.size() / 2)).Raw(avi);
        Seed("fuzz_avi", w.bytes);
    }
}

void ExportSeeds() {
    const std::string base = "c:\\caps\\take";
    struct Case {
        uint8_t command, flags;
        int32_t w, h;
        uint32_t source;
        uint16_t bits;
        uint32_t scale, rate, start;
        bool chained;
    };
    const uint8_t standard = CaptureInput::kIdx1;
    std::vector<Case> cases;
    for (uint8_t command = 0; command < fuzz::kCommands; ++command)
        cases.push_back({command, standard, 64, 48, kestro::kFourccYuy2, 16, 1, 30, 0, false});
    cases.push_back(
        {fuzz::kAvi, standard | CaptureInput::kWinePrefix, 30, 20, 0, 24, 1001, 30000, 0, false});
    cases.push_back({fuzz::kNut, standard, 30, -20, 0, 24, 1, 25, 3, false});
    cases.push_back({fuzz::kPipe, standard, 30, 20, 0, 24, 1, 25, 0, false});
    cases.push_back({fuzz::kMkv,
                     CaptureInput::kAudio | CaptureInput::kRecLists | CaptureInput::kOdml, 32, -16,
                     kestro::kFourccUyvy, 16, 1, 60, 0, false});
    cases.push_back({fuzz::kMov, standard | CaptureInput::kAudio, 32, 16, kestro::kFourccUyvy, 16,
                     1, 24, 0, false});
    cases.push_back({fuzz::kAvi, standard | CaptureInput::kKeepGoing | CaptureInput::kLength, 64,
                     48, kestro::kFourccYuy2, 16, 1, 30, 2, false});
    cases.push_back({fuzz::kAvi, standard | CaptureInput::kKeepGoing | CaptureInput::kCut, 64, 48,
                     kestro::kFourccYuy2, 16, 1, 30, 0, false});
    for (uint8_t command : {fuzz::kAvi, fuzz::kMkv, fuzz::kNut, fuzz::kInfo})
        cases.push_back({command, standard, 32, 16, 0, 16, 1, 15, 0, true});
    for (const auto& c : cases) {
        CaptureInput in;
        in.command = c.command;
        in.flags = c.flags;
        in.scale = c.scale;
        in.rate = c.rate;
        in.start = c.start;
        in.length = 9;
        const uint32_t h = uint32_t(c.h < 0 ? -c.h : c.h);
        uint32_t stored;
        if (c.chained) {
            // Stored through a chained codec: packets of any size, the codec's format kept.
            in.format =
                synth::StreamFormat(c.w, c.h, 0, c.bits, kestro::MakeFourcc('M', 'J', 'P', 'G'),
                                    Bitmap(c.w, c.h, 24, kestro::MakeFourcc('M', 'J', 'P', 'G')));
            stored = 777;
        } else {
            in.format = synth::StreamFormat(c.w, c.h, c.source, c.bits);
            stored = c.source ? uint32_t(c.w) * 2 * h : ((uint32_t(c.w) * 3 + 3) & ~3u) * h;
        }
        in.records = Records(6, stored, base);
        if (c.flags & CaptureInput::kKeepGoing)
            in.records[2] = synth::Record(1u << 30, stored, Piece(base, 0)); // outside its piece
        in.pieceBytes[0] = in.pieceBytes[1] = 4 * ((stored + 4095) & ~4095u);
        in.pattern = uint8_t(c.w + c.h);
        for (size_t i = 0; (c.flags & CaptureInput::kAudio) && i < 6; ++i)
            in.audioChunks.push_back(uint16_t(6400 + (i & 1) * 4));
        in.cutAt = 900;
        Writer w;
        in.Write(w);
        Seed("fuzz_export", w.bytes);
    }
}

void PureSeeds() {
    for (const std::string name :
         {"c:\\kestro.000", "T:\\take\\clip.avi.017", "\\\\.\\pipe\\x.000", "D:\\x\\com1.123"}) {
        Seed("fuzz_pure", Writer().U8(0).Raw(synth::Record(1u << 20, 614400, name)).bytes);
        Seed("fuzz_pure", Writer().U8(1).U64(8192).U32(6144).U16(300).Text(name).bytes);
    }
    Seed("fuzz_pure",
         Writer().U8(2).Raw(synth::StreamFormat(640, 480, kestro::kFourccYuy2, 16)).bytes);
    Seed("fuzz_pure",
         Writer()
             .U8(2)
             .Raw(synth::StreamFormat(641, -480, 0, 24, kestro::MakeFourcc('M', 'R', 'L', 'E'),
                                      Bitmap(641, 480, 8, 1, 1024)))
             .bytes);
    Seed("fuzz_pure", Writer().U8(2).Raw(Bitmap(720, 480, 32, 0, 12)).bytes);
    Seed("fuzz_pure", Writer().U8(3).Text("c:\\kestro").Text("e:\\archive\\take1").U16(7).bytes);
    Seed("fuzz_pure",
         Writer().U8(3).Text("C:\\Program Files\\kestro32.dll").Text("x").U16(499).bytes);
    // Read-ahead: 4 KiB pages, a 600 KiB frame at 8 KiB in a 10 MB file, a 1 MiB slot.
    Seed("fuzz_pure", Writer()
                          .U8(4)
                          .U8(3)
                          .U64(8192 << 2)
                          .U32(614400)
                          .U64(10000000ull << 2)
                          .U32(1 << 20)
                          .U8(1)
                          .U32(5000)
                          .bytes);
    for (uint8_t source = 0; source < 4; ++source)
        for (uint8_t output = 0; output < 5; ++output)
            Seed("fuzz_pure", Writer()
                                  .U8(5)
                                  .U8(uint8_t((source + output) & 9))
                                  .U8(source)
                                  .U8(output)
                                  .U16(uint16_t(2 + 17 + source))
                                  .U8(uint8_t(20 + 5))
                                  .Raw({1, 2, 3, 200, 17})
                                  .bytes);
    Seed("fuzz_pure", Writer().U8(5).U8(2).U8(3).U8(4).U32(1u << 29).U32(2).bytes);
}

Bytes Wave(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits, size_t formatBytes,
           uint32_t samples, bool junk) {
    const uint16_t block = uint16_t(channels * bits / 8);
    Writer w;
    w.Raw({'R', 'I', 'F', 'F'}).U32(0).Raw({'W', 'A', 'V', 'E'});
    if (junk)
        w.Raw({'L', 'I', 'S', 'T'}).U32(5).Raw({'I', 'N', 'F', 'O', 'x', 0});
    Writer f;
    f.U16(tag).U16(channels).U32(rate).U32(rate * block).U16(block).U16(bits);
    if (formatBytes >= 18)
        f.U16(uint16_t(formatBytes - 18));
    f.bytes.resize(formatBytes, 0);
    w.Raw({'f', 'm', 't', ' '}).U32(uint32_t(formatBytes)).Raw(f.bytes);
    w.Raw({'d', 'a', 't', 'a'}).U32(samples);
    w.bytes.resize(w.bytes.size() + samples, 0x33);
    return w.bytes;
}

// Captures as a crashed writer leaves them: whole, the headers zeroed up to the movi list, RIFF
// and movi sizes 0, cut in the middle; with and without audio, LIST rec and OpenDML indexes.
void RecoverSeeds() {
    const std::string base = "c:\\capture\\kestro";
    for (int variant = 0; variant < 4; ++variant) {
        synth::AviPlan plan;
        plan.format = synth::StreamFormat(64, 48, kestro::kFourccYuy2, 16);
        plan.records = Records(6, 6144, base, 3);
        plan.withAudio = variant & 1;
        for (size_t i = 0; plan.withAudio && i < 6; ++i)
            plan.audio.chunks.push_back(Bytes(200 + (i & 1), uint8_t(i)));
        plan.recLists = variant == 2;
        plan.odml = variant == 3;
        const Bytes avi = synth::BuildAvi(plan);
        size_t movi = 0;
        for (size_t i = 0; i + 12 <= avi.size() && !movi; ++i)
            if (std::equal(avi.begin() + long(i + 8), avi.begin() + long(i + 12), "movi"))
                movi = i;
        Bytes zeroed = avi, unsized = avi;
        std::fill(zeroed.begin(), zeroed.begin() + long(movi), 0);
        for (size_t at : {size_t(4), movi + 4})
            for (size_t k = 0; k < 4; ++k)
                unsized[at + k] = 0;
        Bytes cut(avi.begin(), avi.begin() + long(avi.size() / 2));
        uint8_t flags = 0;
        for (const Bytes* b : std::initializer_list<const Bytes*>{&avi, &zeroed, &unsized, &cut})
            Seed("fuzz_recover", Writer()
                                     .U8(flags++ & 3)
                                     .U8(variant == 1 ? 4 : 0)
                                     .U8(variant == 2 ? 5 : 255)
                                     .Raw(*b)
                                     .bytes);
    }
}

void WaveSeeds() {
    const Bytes waves[] = {
        Wave(1, 2, 44100, 16, 16, 4000, false), Wave(1, 1, 8000, 8, 18, 801, true),
        Wave(0xFFFE, 6, 48000, 24, 40, 1800, false), Wave(3, 2, 96000, 32, 18, 4096, true)};
    for (const auto& wave : waves)
        for (uint8_t mode : {0, 1})
            Seed("fuzz_wave",
                 Writer().U8(mode).U32(1000).U32(30).U32(30000).U32(1001).Raw(wave).bytes);
}

// Take files as the codec writes them, in each of the ways the target lays them down, and the
// hostile list's texts (those of a reasonable length) as files.
void TakeSeeds() {
    kestro::TakeFile take;
    take.id = 0x8F3A91C2u;
    take.started = kestro::TakeTimeText(2026, 12, 9, 10, 11, 12);
    take.pieceBytes = 2ull << 30;
    take.inputFormat = Bitmap(640, 480, 16, kestro::kFourccYuy2);
    take.streamFormat = synth::StreamFormat(640, 480, kestro::kFourccYuy2, 16);
    take.frames = 277;
    take.ended = kestro::TakeTimeText(2026, 12, 9, 10, 21, 2);
    take.replaced = {{0x5E6F7A8Bu, "2026-12-08T09:00:00Z"}, {0x0BADCAFEu, ""}};
    const std::string real = kestro::FormatTakeFile(take);
    for (uint8_t how : {0, 1, 2})
        Seed("fuzz_take", Writer().U8(how).Raw(Bytes(real.begin(), real.end())).bytes);
    for (const hostile::TakeFileRow& row : hostile::TakeFileRows()) {
        const std::string text = row.text ? row.text(real) : std::string();
        if (row.text && text.size() < 80000)
            Seed("fuzz_take", Writer().U8(0).Raw(Bytes(text.begin(), text.end())).bytes);
    }
}

// A journal as the codec leaves it, a page of 4K frames with a skip, a wait and a write never
// seen to complete: whole, cut inside a row, and its rows behind the header the target makes.
void JournalSeeds() {
    kestro::JournalHeader header;
    header.ticksPerSecond = 10'000'000;
    header.take = 0x8F3A91C2u;
    header.requests = 8;
    header.width = 3840;
    header.height = 2160;
    header.compression = kestro::kFourccYuy2;
    header.imageBytes = 3840 * 2160 * 2;
    header.rate = 60000;
    header.scale = 1001;
    Bytes page(4096, 0);
    kestro::EncodeJournalHeader(header, page.data());
    for (uint32_t i = 0; i < 20; ++i) {
        kestro::JournalRow row;
        row.frame = i < 10 ? i : i + 3;
        row.bytes = header.imageBytes;
        row.arrived = 166'833 * uint64_t(row.frame);
        row.piece = uint8_t(i / 8);
        row.inFlight = uint8_t(std::min<uint32_t>(i + 1, 8));
        row.returned = 900;
        row.waited = i > 12 ? 120'000 : 0;
        row.issued = 400;
        row.completed = i == 19 ? kestro::kJournalUnknown : 80'000;
        kestro::EncodeJournalRow(row, page.data() + kestro::kJournalHeaderBytes + 32 * i);
    }
    Seed("fuzz_journal", Writer().U8(0).Raw(page).bytes);
    Seed("fuzz_journal",
         Writer().U8(0).Raw(Bytes(page.begin(), page.begin() + 64 + 32 * 7 + 9)).bytes);
    Seed("fuzz_journal", Writer()
                             .U8(1)
                             .U32(10'000'000)
                             .U32(header.take)
                             .U8(8)
                             .U16(60)
                             .U16(1)
                             .Raw(Bytes(page.begin() + 64, page.begin() + 64 + 32 * 20))
                             .bytes);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds DIR (writes DIR/<target>/seed-NNN)\n");
        return 2;
    }
    gOut = argv[1];
    mkdir(gOut.c_str(), 0755);
    AviSeeds();
    ExportSeeds();
    PureSeeds();
    WaveSeeds();
    RecoverSeeds();
    TakeSeeds();
    JournalSeeds();
    std::printf("fuzz_seeds: %d seeds in %s\n", gCount, gOut.c_str());
    return 0;
}
