// Captures of today's streams onto each drive preset (tests/support/DiskModel.h): frames arrive
// at the stream's rate, as a capture card delivers them, and a frame whose time passed while the
// codec still held the one before is lost, as capture programs lose it. Each case gives the
// frames a second stored against the stream's rate and against what the modelled disk could
// store of the same stream at best (every frame written as soon as it arrived, however many wait),
// and the codec's mean time per frame against a frame's time. A case runs past the drive's write
// cache wherever the rate after it falls short of the stream with a margin of 20 %.
//
// Drives and streams are at the benchmark's scale: bytes 50 times fewer, seconds 5 times shorter
// (rates a tenth), so a 4K60 P010 frame is 498 KB and arrives 300 times a second here; the
// figures are given back in the stream's own seconds. The settings are the codec's defaults
// (overlapped copied writes, three requests).
#include <windows.h>
#include <vfw.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "DiskBench.h"
#include "pure/ReserveMath.h"

namespace diskbench {

namespace {

constexpr double kSizeDivisor = 50, kTimeDivisor = 5;
constexpr double kAfterCacheSeconds = 10; // of the stream, past the cache or from the start
constexpr double kLongestSeconds = 80;
constexpr DWORD kP010 = mmioFOURCC('P', '0', '1', '0');

struct Stream {
    const char* name;
    DWORD fourcc;
    WORD bits;
    Size size; // the picture of the benchmark's scale: a fiftieth of the stream's bytes
    double fps;
};
const Stream kStreams[] = {
    {"1080p60 YUY2", kYuy2, 16, {288, 144}, 60},
    {"4K60 YUY2", kYuy2, 16, {576, 288}, 60},
    {"4K60 P010", kP010, 24, {576, 288}, 60},
};

// How a take lies on the modelled drives: each folder a drive of its own. A take striped over
// several drives names its other folders in the settings beside `filename` ("stripe1"...); each
// drive takes every n-th frame, and the codec's requests serve them all.
struct Layout {
    const char* name;
    int disks;
};
const Layout kLayouts[] = {{"one disk", 1}, {"two disks striped", 2}};

struct Outcome {
    double fps = 0;      // stored, per second of the stream
    double limitFps = 0; // the disk's best for the same stream
    double waitMs = 0;   // the codec's mean time per frame, in the stream's milliseconds
    uint64_t lost = 0;
};

// Seconds of the stream that show what the drive does with it.
double StreamSeconds(const kt::DiskModel& disk, double writeBytes, double fps) {
    const double need = writeBytes * fps;
    const double after = disk.cacheBytes > 0 ? disk.sustainedBytesPerSecond : disk.bytesPerSecond;
    if (kestro::KeepsUp(after, need))
        return kAfterCacheSeconds;
    return std::min(disk.cacheBytes / need * kTimeDivisor + kAfterCacheSeconds, kLongestSeconds);
}

void WaitUntil(double due) {
    for (double left = due - Now(); left > 0; left = due - Now()) {
        if (left > 0.002)
            Sleep(DWORD((left - 0.001) * 1000));
        else
            SwitchToThread();
    }
}

Outcome PacedCapture(const std::string& base, const Stream& stream, const Layout& layout,
                     const kt::DiskModel& disk, double streamSeconds) {
    std::string stripes;
    for (int d = 1; d < layout.disks; ++d)
        stripes +=
            "stripe" + std::to_string(d) + "=" + base + "\\disk" + std::to_string(d) + "\\take\r\n";
    WriteIni("filename=" + base + "\\disk0\\take\r\nfastwrite=1\r\nbuffer=1\r\nrequest=3\r\n" +
             "divide=0\r\nquiet=1\r\n" + stripes);
    Outcome out;
    HIC hic = ICOpen(ICTYPE_VIDEO, kKest, ICMODE_COMPRESS);
    if (!hic)
        return out;
    {
        kt::AsyncOptions options = LayerOptions();
        for (int d = 0; d < layout.disks; ++d) {
            const std::string folder = base + "\\disk" + std::to_string(d);
            CreateDirectoryA(folder.c_str(), nullptr);
            options.disks.push_back({folder + "\\", disk.Rested(), true});
        }
        kt::AsyncIo io(options);
        BITMAPINFOHEADER in = Bitmap(stream.size, stream.fourcc, stream.bits);
        std::vector<uint8_t> format(size_t(ICCompressGetFormatSize(hic, &in)));
        ICCompressGetFormat(hic, &in, format.data());
        auto* outFormat = reinterpret_cast<BITMAPINFOHEADER*>(format.data());
        const DWORD negotiated = outFormat->biSizeImage;
        if (io.active() && ICCompressBegin(hic, &in, outFormat) == ICERR_OK) {
            Pages image(in.biSizeImage);
            for (DWORD i = 0; i < in.biSizeImage; ++i)
                image.p[i] = uint8_t(i * 7 + (i >> 12) + 1);
            std::vector<uint8_t> record(size_t(ICCompressGetSize(hic, &in, outFormat)));
            const double fps = stream.fps * kTimeDivisor, seconds = streamSeconds / kTimeDivisor;
            uint64_t stored = 0;
            double waited = 0;
            const double start = Now();
            for (uint64_t k = 0; double(k) / fps < seconds;) {
                WaitUntil(start + double(k) / fps);
                DWORD ckid, flags;
                outFormat->biSizeImage = negotiated;
                const double t0 = Now();
                if (ICCompress(hic, 0, outFormat, record.data(), &in, image.p, &ckid, &flags,
                               LONG(k), 0, 0, nullptr, nullptr) != ICERR_OK)
                    break;
                const double t1 = Now();
                waited += t1 - t0;
                ++stored;
                // The frame that arrived last is taken next; those before it are lost.
                const uint64_t next = std::max<uint64_t>(k + 1, uint64_t((t1 - start) * fps));
                out.lost += next - k - 1;
                k = next;
            }
            const double elapsed = std::max(Now() - start, seconds);
            ICCompressEnd(hic);
            out.fps = double(stored) / (elapsed * kTimeDivisor);
            out.waitMs = stored ? waited / double(stored) * 1000 * kTimeDivisor : 0;
            // Each drive's best with its share of the frames, which reach it at 1/n of the rate.
            out.limitFps = double(layout.disks) *
                           double(disk.FramesStoredWithin(RoundUp(in.biSizeImage),
                                                          fps / layout.disks, seconds)) /
                           streamSeconds;
        }
    }
    ICClose(hic);
    for (int d = 0; d < layout.disks; ++d) {
        const std::string folder = base + "\\disk" + std::to_string(d);
        DeleteFileA((folder + "\\take.000").c_str());
        DeleteFileA((folder + "\\take.take").c_str());
        DeleteFileA((folder + "\\take.journal").c_str());
        RemoveDirectoryA(folder.c_str());
    }
    return out;
}

} // namespace

void PresetRows(const std::string& folder) {
    const std::string base = folder + "diskbench-presets";
    CreateDirectoryA(base.c_str(), nullptr);
    for (const kt::DiskPreset& preset : kt::DiskPresets()) {
        const kt::DiskModel disk = preset.model.Scaled(kSizeDivisor, kTimeDivisor);
        for (const Layout& layout : kLayouts)
            for (const Stream& stream : kStreams) {
                const BITMAPINFOHEADER in = Bitmap(stream.size, stream.fourcc, stream.bits);
                const double seconds = StreamSeconds(disk, double(RoundUp(in.biSizeImage)),
                                                     stream.fps * kTimeDivisor / layout.disks);
                char name[128];
                std::snprintf(name, sizeof name, "%s, %s, %s, %.0f s", stream.name, preset.name,
                              layout.name, seconds);
                const Outcome o = PacedCapture(base, stream, layout, disk, seconds);
                std::printf("%-72s %9.1f %9.1f %6.2f  wait %.2f ms, %llu lost\n", name, o.fps,
                            o.limitFps, o.limitFps > 0 ? o.fps / o.limitFps : 0, o.waitMs,
                            (unsigned long long)o.lost);
                if (o.fps > 0) {
                    std::printf("BENCH|capture %s|%.1f|fps|stream|%.1f\n", name, o.fps, stream.fps);
                    std::printf("BENCH|capture %s|%.1f|fps|disk limit|%.1f\n", name, o.fps,
                                o.limitFps);
                    std::printf("BENCH|codec wait per frame %s|%.2f|ms|frame time|%.2f\n", name,
                                o.waitMs, 1000 / stream.fps);
                }
                std::fflush(stdout);
            }
    }
    RemoveDirectoryA(base.c_str());
}

} // namespace diskbench
