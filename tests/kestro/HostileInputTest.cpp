// Cut and scrambled captures: every run ends with a clear refusal or a complete file.
extern "C" {
#include <libavformat/avformat.h>
}

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>

#include "HostileSizes.h"
#include "ToolFixture.h"
#include "pure/PixelKind.h"

using namespace kestro;

namespace {

// Video packets of the first stream, as any other program reading the file would count them.
int64_t CountVideoPackets(const std::string& path) {
    AVFormatContext* ctx = nullptr;
    if (avformat_open_input(&ctx, path.c_str(), nullptr, nullptr) < 0)
        return -1;
    int64_t n = 0;
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(ctx, pkt) >= 0) {
        if (ctx->streams[pkt->stream_index]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
            ++n;
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&ctx);
    return n;
}

class Hostile : public ToolTest {
protected:
    // One run: either a refusal that says what is wrong (and leaves no output), or an export of
    // every frame the header promises.
    void Judge(const std::string& avi, size_t frames, const std::string& label,
               bool keepGoing = false) {
        const std::string out = dir + "/out.nut";
        auto r = keepGoing ? RunKestro({"export", avi, out, "--keep-going"})
                           : RunKestro({"export", avi, out});
        ASSERT_TRUE(r.code == 0 || r.code == 1 || r.code == 2) << label << ": code " << r.code;
        if (r.code == 0) {
            // Complete: every frame the run reports is in the file, and no fewer than the
            // capture holds (`frames`, or 0 where a scrambled header may change the count).
            long long reported = -1;
            auto at = r.err.find("kestro: exported ");
            ASSERT_NE(at, std::string::npos) << label << ": " << r.err;
            reported = std::atoll(r.err.c_str() + at + 17);
            ASSERT_GE(reported, (long long)frames) << label;
            ASSERT_EQ(CountVideoPackets(out), reported) << label;
            unlink(out.c_str());
        } else {
            ASSERT_EQ(r.err.rfind("kestro: ", 0), 0u) << label << ": " << r.err;
            ASSERT_GT(r.err.size(), 20u) << label;
            struct stat st;
            ASSERT_NE(stat(out.c_str(), &st), 0) << label << ": a refused export left its output";
        }
        ++runs;
        outcomes[r.code]++;
    }
    void TearDown() override {
        std::printf("%zu runs: %zu complete exports, %zu broken references, %zu unreadable AVIs\n",
                    runs, outcomes[0], outcomes[1], outcomes[2]);
        ToolTest::TearDown();
    }
    size_t runs = 0;
    std::map<int, size_t> outcomes;
};

TEST_F(Hostile, AviCutAtEvery4KiBBoundary) {
    RawCapture c;
    c.source = MakeFourcc('Y', 'U', 'Y', '2');
    c.width = 16;
    c.height = 8;
    c.frames = 1200;
    c.framesPerPiece = 1200;
    c.audio = true; // 6.4 kB of audio per frame: the AVI is 7.7 MB
    const std::string avi = dir + "/take.avi";
    MakeRawCapture(c, dir, avi);
    const auto whole = synth::ReadFile(avi);
    const std::string cut = dir + "/cut.avi";
    // Every boundary of the headers and the index; of the frames between them every 13th, or
    // every one with KESTRO_LONG=1.
    const size_t step = size_t(LongCount(13, 1));
    const size_t edge = 64 * 1024;
    size_t tried = 0;
    for (size_t at = 0, k = 0; at <= whole.size(); at += 4096, ++k) {
        if (at >= edge && at + edge <= whole.size() && k % step != 0)
            continue;
        synth::WriteFile(cut, std::vector<uint8_t>(whole.begin(), whole.begin() + long(at)));
        Judge(cut, c.frames, "cut at " + std::to_string(at));
        if (HasFatalFailure())
            return;
        ++tried;
    }
    EXPECT_GT(tried, whole.size() / 4096 / step);
    EXPECT_GT(outcomes[2], tried * 9 / 10) << "cut files are refused as cut short";
    // With --keep-going the frames before the cut are exported, into a complete file.
    for (size_t at = 4096; at < whole.size(); at += 4096 * 61) {
        synth::WriteFile(cut, std::vector<uint8_t>(whole.begin(), whole.begin() + long(at)));
        Judge(cut, 0, "keep going, cut at " + std::to_string(at), true);
        if (HasFatalFailure())
            return;
    }
    EXPECT_GT(outcomes[0], 25u) << "cut captures export what they hold";
}

TEST_F(Hostile, RandomBytesInRecordsAndHeaders) {
    RawCapture c;
    c.source = MakeFourcc('Y', 'U', 'Y', '2');
    c.width = 16;
    c.height = 8;
    c.frames = 40;
    c.framesPerPiece = 16;
    c.audio = true;
    const std::string avi = dir + "/take.avi";
    auto plan = MakeRawCapture(c, dir, avi);
    const auto whole = synth::ReadFile(avi);
    std::mt19937 random(20261208);
    const std::string bad = dir + "/bad.avi";
    for (int round = 0; round < 2500; ++round) {
        auto s = plan;
        std::string label = "round " + std::to_string(round);
        std::vector<uint8_t> bytes;
        if (round % 5 == 4) {
            // Anywhere in the file, headers and index included.
            bytes = whole;
            for (int k = 0; k < 1 + int(random() % 8); ++k)
                bytes[random() % bytes.size()] = uint8_t(random());
        } else {
            // Inside records: offsets, sizes, names, lengths.
            for (int k = 0; k < 1 + int(random() % 4); ++k) {
                auto& rec = s.records[random() % s.records.size()];
                if (rec.size() < 16) {
                    rec.resize(random() % 40, uint8_t(random()));
                    continue;
                }
                switch (random() % 4) {
                case 0:
                    rec[random() % rec.size()] = uint8_t(random());
                    break;
                case 1:
                    for (auto& b : rec)
                        b = uint8_t(random());
                    break;
                case 2:
                    rec.resize(random() % 40);
                    break;
                default:
                    rec[random() % 16] ^= uint8_t(1u << (random() % 8));
                }
            }
            bytes = synth::BuildAvi(s);
        }
        synth::WriteFile(bad, bytes);
        Judge(bad, round % 5 == 4 ? 0 : c.frames, label);
        if (HasFatalFailure())
            return;
    }
    EXPECT_GT(outcomes[1], 1000u) << "broken records are refused";
}

TEST_F(Hostile, ScrambledStreamFormatsRawAndChained) {
    // A chained stream (its codec's format carried after the 52 bytes) and a raw one; random
    // bytes in the sizes, kinds, handler and the chained format itself.
    std::vector<uint8_t> chain(48, 0);
    const uint32_t header[] = {48, 16, 8, 0x00180001u, MakeFourcc('M', 'J', 'P', 'G'), 0};
    std::memcpy(chain.data(), header, sizeof header);
    synth::AviPlan chained;
    chained.format = synth::StreamFormat(16, 8, MakeFourcc('Y', 'U', 'Y', '2'), 16,
                                         MakeFourcc('M', 'J', 'P', 'G'), chain);
    std::vector<uint8_t> piece(4096 * 8, 0x55);
    for (uint32_t i = 0; i < 8; ++i)
        chained.records.push_back(synth::Record(4096 * i, 100 + i, "c:\\kestro.000"));
    synth::WriteFile(dir + "/kestro.000", piece);
    synth::AviPlan raw = chained;
    raw.format = synth::StreamFormat(16, 8, MakeFourcc('Y', 'U', 'Y', '2'), 16);
    for (auto& r : raw.records)
        r = synth::Record(r[0] | r[1] << 8, 256, "c:\\kestro.000");
    std::mt19937 random(7);
    for (int round = 0; round < 600; ++round) {
        auto plan = round % 2 ? chained : raw;
        for (int k = 0; k < 1 + int(random() % 3); ++k) {
            const size_t at =
                random() % 2 ? 4 + random() % 12 : 16 + random() % (plan.format.size() - 16);
            plan.format[at] = uint8_t(random() % 4 ? random() : 0);
        }
        synth::WriteFile(dir + "/bad.avi", synth::BuildAvi(plan));
        Judge(dir + "/bad.avi", 0, "format round " + std::to_string(round));
        if (HasFatalFailure())
            return;
    }
    EXPECT_GT(outcomes[0], 50u) << "harmless changes still export";
    EXPECT_GT(outcomes[2], 50u) << "unusable formats are refused";
}

} // namespace

namespace {

// Numbers of the headers that no library may see unchecked: each row changes one and names the
// command's answer. The tool runs as its own process, since a number that reaches a library
// unchecked has ended in an assertion (134) or a loop without end.
class HeaderNumbers : public ToolTest {
protected:
    struct Row {
        const char* label;
        int stream;   // whose header changes; -1: none
        size_t field; // in the stream header
        uint32_t value;
        bool chained;
        int32_t chainWidth, chainHeight; // of the chained codec's own format
        int32_t height;                  // of the KEST stream format
        int code;                        // of every command
        const char* says;                // on standard error, every command
        const char* only = nullptr;      // the one command the row is about
        uint32_t recordSize = 256;
    };
    // A YUY2 or MJPG-chained capture of 6 frames with audio, one piece.
    std::vector<uint8_t> Capture(const Row& row) {
        synth::AviPlan plan;
        std::vector<uint8_t> chain;
        if (row.chained) {
            chain.assign(40, 0);
            const uint32_t header[] = {40, uint32_t(row.chainWidth), uint32_t(row.chainHeight),
                                       0x00180001u, MakeFourcc('M', 'J', 'P', 'G')};
            std::memcpy(chain.data(), header, sizeof header);
        }
        plan.format = synth::StreamFormat(16, row.height, MakeFourcc('Y', 'U', 'Y', '2'), 16,
                                          row.chained ? MakeFourcc('M', 'J', 'P', 'G') : 0, chain);
        for (uint32_t i = 0; i < 6; ++i)
            plan.records.push_back(synth::Record(4096 * i, row.recordSize, "c:\\kestro.000"));
        plan.withAudio = true;
        for (int i = 0; i < 6; ++i)
            plan.audio.chunks.push_back(std::vector<uint8_t>(6400, uint8_t(i)));
        auto avi = synth::BuildAvi(plan);
        if (row.stream >= 0)
            synth::PatchStreamHeader(avi, row.stream, row.field, row.value);
        return avi;
    }
    // The tool as its own process, ended after 20 s if it has not ended by then.
    RunResult Run(const std::string& args) {
        RunResult r;
        auto out = Shell("timeout -s KILL 20 '" KESTRO_TOOL "' " + args + " 2>'" + dir +
                             "/err'; echo \" $?\"",
                         nullptr);
        std::string text(out.begin(), out.end());
        r.code = std::atoi(text.c_str() + text.rfind(' '));
        auto err = synth::ReadFile(dir + "/err");
        r.err.assign(err.begin(), err.end());
        return r;
    }
};

TEST_F(HeaderNumbers, AreCheckedBeforeAnyLibraryOrArithmeticSeesThem) {
    constexpr size_t kScale = 20, kRate = 24, kStart = 28;
    const Row rows[] = {
        {"video rate 2^32-1", 0, kRate, 0xffffffffu, false, 0, 0, 8, 2,
         "stream 0 (KEST): rate 4294967295 is "},
        {"video rate 2^31", 0, kRate, 0x80000000u, false, 0, 0, 8, 2,
         "stream 0 (KEST): rate 2147483648 is "},
        {"video scale 2^31", 0, kScale, 0x80000000u, false, 0, 0, 8, 2,
         "stream 0 (KEST): scale 2147483648 is "},
        {"video rate 0", 0, kRate, 0, false, 0, 0, 8, 2, "stream 0 (KEST): rate 0 is "},
        {"video scale 0", 0, kScale, 0, false, 0, 0, 8, 2, "stream 0 (KEST): scale 0 is "},
        {"audio rate 2^32-1", 1, kRate, 0xffffffffu, false, 0, 0, 8, 2,
         "stream 1 (auds): rate 4294967295 is "},
        {"audio scale 0", 1, kScale, 0, false, 0, 0, 8, 2, "stream 1 (auds): scale 0 is "},
        {"video height -2^31", -1, 0, 0, false, 0, 0, INT32_MIN, 2,
         "unusable picture size 16x-2147483648"},
        {"chained height -2^31", -1, 0, 0, true, 16, INT32_MIN, 8, 2,
         "the chained codec's format claims 16x-2147483648 pictures"},
        {"chained width 2^31-1", -1, 0, 0, true, INT32_MAX, 8, 8, 2,
         "the chained codec's format claims 2147483647x8 pictures"},
        // Readers give up on a start more than an hour late and begin at 0: so does the export.
        {"video start 2^32-1", 0, kStart, 0xffffffffu, false, 0, 0, 8, 0,
         "kestro: warning: stream 0 (KEST): a start of 4294967295 frames (more than an hour) "
         "is not believed; the video begins at 0"},
        // Believed, but an AVI would need 100,000 empty frames first: refused for AVI only.
        {"video start 100000 into an AVI", 0, kStart, 100000, false, 0, 0, 8, 2,
         "the video starts 100000 frames late", "avi"},
        // A frame period of 68 years is valid, but more than MOV can hold: the input's fault.
        {"video scale 2^31-1", 0, kScale, 0x7fffffffu, false, 0, 0, 8, 2,
         "kestro: the mov writer refuses frame 0 of ", "mov"},
        // Packets are read whole: a record claiming more than a gigabyte (in a piece that large)
        // is refused; it once became a negative packet size.
        {"chained record of 1.25 GiB", -1, 0, 0, true, 16, 8, 8, 1,
         "a packet larger than this tool believes", nullptr, 0x50000000u},
    };
    for (const Row& row : rows) {
        synth::WriteFile(dir + "/kestro.000", std::vector<uint8_t>(4096 * 6, 0x40));
        if (row.recordSize > 4096) { // sparse: no disk is filled
            ASSERT_EQ(0, truncate((dir + "/kestro.000").c_str(), 4096 * 6 + row.recordSize));
        }
        synth::WriteFile(dir + "/take.avi", Capture(row));
        for (const char* command : {"info", "verify", "nut", "mkv", "avi", "mov"}) {
            if (row.only && row.only != std::string(command))
                continue;
            const bool info = command == std::string("info") || command == std::string("verify");
            const std::string out = dir + "/out." + command;
            auto r = Run(info ? std::string(command) + " '" + dir + "/take.avi'"
                              : "export '" + dir + "/take.avi' '" + out + "' -q");
            EXPECT_EQ(r.code, row.code) << row.label << ", " << command << ": " << r.err;
            EXPECT_NE(r.err.find(row.says), std::string::npos)
                << row.label << ", " << command << ": " << r.err;
            if (row.code == 0 && !info) {
                auto first = Shell("ffprobe -v error -select_streams v -show_entries "
                                   "packet=pts_time -of csv=p=0 '" +
                                   out + "' | head -1");
                EXPECT_EQ(std::string(first.begin(), first.end()), "0.000000\n")
                    << row.label << ", " << command;
            }
            struct stat st;
            EXPECT_EQ(row.code == 0 && !info, stat(out.c_str(), &st) == 0)
                << row.label << ", " << command;
            unlink(out.c_str());
        }
    }
}

// Sizes no picture can have are refused by every command before any arithmetic on them (a height
// of 0 once divided by zero), with the same words; the usable ones pass every command.
TEST_F(HeaderNumbers, EveryCommandAgreesOnWhichPictureSizesAreUsable) {
    synth::WriteFile(dir + "/kestro.000", std::vector<uint8_t>(4096 * 2 + 12288, 0x40));
    for (const hostile::SizeRow& row : hostile::SizeRows()) {
        const std::string label = std::string(row.kind) + " " + std::to_string(row.width) + "x" +
                                  std::to_string(row.height);
        synth::AviPlan plan;
        plan.format = synth::StreamFormat(row.width, row.height, hostile::FourccOf(row.kind),
                                          row.bits, 0, {});
        std::memcpy(plan.format.data() + 20, &row.sizeImage, 4); // biSizeImage
        for (uint32_t i = 0; i < 2; ++i)
            plan.records.push_back(
                synth::Record(4096 * i, std::max(64u, row.sizeImage), "c:\\kestro.000"));
        synth::WriteFile(dir + "/take.avi", synth::BuildAvi(plan));
        const std::string avi = "'" + dir + "/take.avi'";
        for (const std::string& command :
             {"info " + avi, "verify " + avi, "export " + avi + " '" + dir + "/out.nut' -q",
              "export " + avi + " - -q >/dev/null",
              "relink " + avi + " --data '" + dir + "' --to 'e:\\moved\\kestro' -o '" + dir +
                  "/relinked.avi'",
              "recover " + avi + " -o '" + dir + "/recovered.avi' -q"}) {
            auto r = Run(command);
            const bool refused = r.err.find(hostile::SizeRefusal(row)) != std::string::npos;
            EXPECT_EQ(refused, !row.usable) << label << ", " << command << ": " << r.err;
            if (!row.usable) {
                EXPECT_NE(r.code, 0) << label << ", " << command;
            } else if (command.rfind("info", 0) == 0) {
                EXPECT_EQ(r.code, 0) << label << ": " << r.err;
            }
            EXPECT_LT(r.code, 128) << label << ", " << command << ": ended by a signal";
            unlink((dir + "/out.nut").c_str());
            unlink((dir + "/relinked.avi").c_str());
            unlink((dir + "/recovered.avi").c_str());
        }
    }
}

} // namespace
