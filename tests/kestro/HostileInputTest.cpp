// Cut and scrambled captures: every run ends with a clear refusal or a complete file.
extern "C" {
#include <libavformat/avformat.h>
}

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <random>

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
    for (size_t at = 0; at <= whole.size(); at += 4096) {
        synth::WriteFile(cut, std::vector<uint8_t>(whole.begin(), whole.begin() + long(at)));
        Judge(cut, c.frames, "cut at " + std::to_string(at));
        if (HasFatalFailure())
            return;
    }
    EXPECT_GT(runs, 1800u);
    EXPECT_GT(outcomes[2], 1800u) << "cut files are refused as cut short";
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
