// kestro-host's check --sustain in-process, the codec writing through the asynchronous I/O layer
// onto a modelled drive at the data folder (tests/support/DiskModel.h, at the tests' scale, a
// sink: nothing is stored): what it reports against what the model does.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>

#include "AsyncIo.h"
#include "Host.h"
#include "SustainRate.h"
#include "WineCodec.h"
#include "settings/CodecSettings.h"

using namespace host;

namespace {

enum class Fault { None, Interrupt, DiskFull };

struct SustainRow {
    const char* name;
    int preset; // of kt::DiskPresets()
    kestro::PixelKind kind;
    FrameSize size;
    double rate;
    double minutes;
    int exitCode;
    const char* verdict; // what the verdict says
    bool cacheSeen;      // the model's cache and the rate after it, each within 10 %
    Fault fault = Fault::None;
    bool striped = false; // a stripe in a folder of its own on a second such disk
};

bool WaitCodecUnloaded() {
    for (int i = 0; i < 100 && kt::CodecLoaded(); ++i)
        Sleep(50);
    return !kt::CodecLoaded();
}

class Sustain : public ::testing::TestWithParam<SustainRow> {
protected:
    void SetUp() override {
        ASSERT_TRUE(WaitCodecUnloaded()) << "the check loads the codec itself";
        savedIni = kt::ReadFileBytes(kt::IniPath());
        dir = kt::DataDir(std::string("sustain-") + GetParam().name);
        second = dir + "\\second";
        CreateDirectoryA(second.c_str(), nullptr);
        // More requests than the default keep the modelled disk busy on a loaded machine.
        kt::WriteIni({{"filename", dir + "\\take"},
                      {"request", "8"},
                      {"stripe1", GetParam().striped ? second + "\\take" : ""}});
    }
    void TearDown() override {
        io.reset();
        // The codec saves its settings as it unloads: the file of the other tests comes back.
        EXPECT_TRUE(WaitCodecUnloaded());
        kt::WriteFileBytes(kt::IniPath(), savedIni);
    }
    kt::DiskModel Model() const {
        return kt::DiskPresets()[size_t(GetParam().preset)].model.Scaled(kt::kTestSizeDivisor,
                                                                         kt::kTestTimeDivisor);
    }
    // The layer goes under the codec once it is loaded, before its run.
    void InstallLayer() {
        kt::AsyncOptions o;
        o.maxDelayUs = 0;
        o.guardBuffers = false;
        o.checksumWrites = false;
        o.checkFiles = false;
        o.disks.push_back({second + "\\", Model(), true});
        o.disks.push_back({dir + "\\", Model(), true});
        io.emplace(o);
        ASSERT_TRUE(io->active());
        const Fault fault = GetParam().fault;
        if (fault != Fault::None)
            io->SetPolicy([fault](const kt::Transfer& t) {
                if (t.sequence != 40)
                    return kt::Fate{};
                if (fault == Fault::Interrupt)
                    RequestStop();
                return fault == Fault::DiskFull ? kt::Fate::Failing(ERROR_DISK_FULL) : kt::Fate{};
            });
    }
    std::string savedIni, dir, second;
    std::optional<kt::AsyncIo> io;
};

TEST_P(Sustain, ReportsTheCacheAndTheRateAfterItAndRemovesWhatItWrote) {
    const SustainRow& row = GetParam();
    SustainOptions o;
    o.kind = row.kind;
    o.size = row.size;
    o.rate = row.rate;
    o.minutes = row.minutes;
    o.sampleSeconds = 1 / kt::kTestTimeDivisor;
    o.steadySeconds = 30 / kt::kTestTimeDivisor;
    o.onCodecOpen = [&] { InstallLayer(); };
    SustainResult r;
    EXPECT_EQ(RunSustain(o, &r), row.exitCode) << r.verdict;
    ASSERT_TRUE(io.has_value()) << "the codec never opened";
    EXPECT_NE(r.verdict.find(row.verdict), std::string::npos) << r.verdict;
    const kt::DiskModel disk = Model();
    const double after = disk.cacheBytes > 0 ? disk.sustainedBytesPerSecond : disk.bytesPerSecond;
    std::printf("measured: cache %.1f MB (model %.1f MB), after it %.2f MB/s (model %.2f MB/s)\n",
                double(r.cacheBytes) / 1e6, disk.cacheBytes / 1e6, r.sustainedRate / 1e6,
                after / 1e6);
    // Striped, each disk takes half the frames: together they cache and write twice as much.
    const double disks = row.striped ? 2 : 1;
    if (row.cacheSeen) {
        EXPECT_NEAR(double(r.cacheBytes), disks * disk.cacheBytes, 0.1 * disks * disk.cacheBytes)
            << r.verdict;
        EXPECT_NEAR(r.sustainedRate, disks * after, 0.1 * disks * after) << r.verdict;
        ASSERT_EQ(r.stripeRates.size(), row.striped ? 2u : 0u);
        for (size_t k = 0; k < r.stripeRates.size(); ++k) {
            EXPECT_NEAR(double(r.stripeCacheBytes[k]), disk.cacheBytes, 0.1 * disk.cacheBytes)
                << "data file " << k;
            EXPECT_NEAR(r.stripeRates[k], after, 0.1 * after) << "data file " << k;
        }
    } else if (row.fault == Fault::None) {
        EXPECT_EQ(r.cacheBytes, 0u) << r.verdict;
        if (r.stop == SustainResult::Stop::BelowNeed) {
            EXPECT_NEAR(r.sustainedRate, after, 0.1 * after) << r.verdict;
        }
    }
    EXPECT_GT(io->Counters().discarded, 0u) << "the writes went past the layer";
    EXPECT_EQ(io->Counters().Faults(), 0u) << io->Report();
    // Nothing of the check is left, and the settings name the user's data file again.
    EXPECT_FALSE(r.removed.empty());
    for (const std::string& folder : {dir, second}) {
        WIN32_FIND_DATAA found{};
        HANDLE search = FindFirstFileA((folder + "\\kestro-sustain-check*").c_str(), &found);
        EXPECT_EQ(search, INVALID_HANDLE_VALUE) << found.cFileName;
        if (search != INVALID_HANDLE_VALUE)
            FindClose(search);
    }
    EXPECT_EQ(ReadSetting(SettingKeyOf(&CCodecSettings::dataFileName)), dir + "\\take");
    EXPECT_EQ(ReadSetting(SettingKeyOf(&CCodecSettings::stripeFile1)),
              row.striped ? second + "\\take" : "");
}

// Two data files of a take in one folder spread no writes: the check refuses them before it
// loads the codec, and the settings stay as they were.
TEST(SustainStripes, TwoDataFilesInOneFolderAreRefused) {
    ASSERT_TRUE(WaitCodecUnloaded());
    const std::string saved = kt::ReadFileBytes(kt::IniPath());
    const std::string dir = kt::DataDir("sustain-one-folder");
    kt::WriteIni({{"filename", dir + "\\take"}, {"stripe1", dir + "\\other"}});
    const std::string before = kt::ReadFileBytes(kt::IniPath());
    SustainOptions o;
    o.kind = kestro::PixelKind::KIND_YUY2;
    o.size = {640, 384};
    o.rate = 38;
    o.minutes = 0.05;
    SustainResult r;
    EXPECT_EQ(RunSustain(o, &r), kExitUsage);
    EXPECT_TRUE(r.removed.empty());
    EXPECT_EQ(kt::ReadFileBytes(kt::IniPath()), before);
    EXPECT_TRUE(WaitCodecUnloaded());
    kt::WriteFileBytes(kt::IniPath(), saved);
}

// The streams are 4K60 P010 and the like at the tests' scale: a tenth of the bytes a second,
// in frames of a size whose count the layer keeps up with.
constexpr FrameSize kP010{1024, 640}; // 1,966,080 bytes: 76 fps need 149.4 MB/s (4K60 P010)
constexpr FrameSize kYuy2{640, 384};  // 491,520 bytes: 38 fps need 18.7 MB/s (1080p60 NV12)
using K = kestro::PixelKind;

INSTANTIATE_TEST_SUITE_P(
    Presets, Sustain,
    ::testing::Values(
        SustainRow{"FastNvme", 0, K::KIND_P010, kP010, 76, 10, kExitBroken, "falls to", true},
        SustainRow{"QlcNvme", 1, K::KIND_P010, kP010, 76, 10, kExitBroken, "falls to", true},
        SustainRow{"QlcNvmeStriped", 1, K::KIND_P010, kP010, 76, 10, kExitBroken, "falls to", true,
                   Fault::None, true},
        SustainRow{"SataSsd", 2, K::KIND_YUY2, kYuy2, 38, 10, kExitOk, "(its write cache)", true},
        SustainRow{"HardDisk", 3, K::KIND_YUY2, kYuy2, 200, 10, kExitBroken, "does not keep",
                   false},
        // A short capture written whole before the cache is full.
        SustainRow{"QlcShortCapture", 1, K::KIND_YUY2, kYuy2, 38, 0.05, kExitOk,
                   "without slowing down", false},
        // The same over two such disks: the check writes beside both data files and removes it.
        SustainRow{"QlcShortStriped", 1, K::KIND_YUY2, kYuy2, 38, 0.05, kExitOk,
                   "without slowing down", false, Fault::None, true},
        SustainRow{"CtrlC", 1, K::KIND_P010, kP010, 76, 10, kExitInterrupted, "stopped after",
                   false, Fault::Interrupt},
        SustainRow{"DiskFull", 1, K::KIND_P010, kP010, 76, 10, kExitPartial, "stopped after", false,
                   Fault::DiskFull}),
    [](const auto& info) { return std::string(info.param.name); });

// The reading of the check's samples on made-up frame times: a rate that falls, stalls that are
// no fall, a disk that never falls, a second fall from heat, the writes still in flight.
struct TraceRow {
    const char* name;
    double fastRate, fallAt, slowRate; // the disk: fallAt 0 for none
    double hotAt, hotRate;             // a second fall, 0 for none
    double stallEvery, stallSeconds;   // 0 for none
    uint64_t inFlight;
    double until;      // seconds of frames fed
    double cacheBytes; // the fall expected, 0 for none
    std::optional<double> steady;
};

class Trace : public ::testing::TestWithParam<TraceRow> {};

TEST_P(Trace, FindsTheFallAndTheRateAfterIt) {
    const TraceRow& row = GetParam();
    SustainTrace trace({0.05, 8, 0.5}, row.inFlight);
    constexpr uint64_t kFrame = 64 << 10;
    double t = 0, nextStall = row.stallEvery;
    while (t < row.until) {
        double rate = row.fallAt > 0 && t >= row.fallAt ? row.slowRate : row.fastRate;
        if (row.hotAt > 0 && t >= row.hotAt)
            rate = row.hotRate;
        t += double(kFrame) / rate;
        if (row.stallEvery > 0 && t >= nextStall) {
            t += row.stallSeconds;
            nextStall += row.stallEvery;
        }
        trace.Add(t, kFrame);
    }
    const RateReading r = trace.Read();
    EXPECT_NEAR(r.fastRate, row.fastRate, 0.05 * row.fastRate);
    ASSERT_EQ(r.steadyRate.has_value(), row.steady.has_value());
    if (row.steady) {
        EXPECT_NEAR(*r.steadyRate, *row.steady, 0.05 * *row.steady);
    }
    ASSERT_EQ(r.fall.has_value(), row.cacheBytes > 0);
    if (r.fall) {
        EXPECT_NEAR(double(r.fall->cacheBytes), row.cacheBytes, 0.02 * row.cacheBytes);
    }
}

constexpr double MB = 1e6;

INSTANTIATE_TEST_SUITE_P(
    Rows, Trace,
    ::testing::Values(
        TraceRow{"CacheThenSlow", 100 * MB, 0.5, 20 * MB, 0, 0, 0, 0, 0, 1.5, 50 * MB, 20 * MB},
        TraceRow{"RequestsInFlight", 100 * MB, 0.5, 20 * MB, 0, 0, 0, 0, 8 << 20, 1.5,
                 50 * MB - (8 << 20), 20 * MB},
        // 15 ms every 400 ms cost a sample in eight a fifth of its rate: no fall.
        TraceRow{"StallsAreNoFall", 100 * MB, 0, 0, 0, 0, 0.4, 0.015, 0, 1.5, 0, 100 * MB},
        TraceRow{"NoCache", 50 * MB, 0, 0, 0, 0, 0, 0, 0, 1.5, 0, 50 * MB},
        // The first fall is the cache; the rate read is the one after the last.
        TraceRow{"HeatAfterTheCache", 100 * MB, 0.5, 20 * MB, 1.2, 16 * MB, 0, 0, 0, 2.5, 50 * MB,
                 16 * MB},
        // Still falling: nothing steady, so no fall is read yet.
        TraceRow{"NotSettled", 100 * MB, 0.5, 20 * MB, 0, 0, 0, 0, 0, 0.8, 0, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
