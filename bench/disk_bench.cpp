// Capture and playback through the codec manager on a modelled disk: the asynchronous I/O layer
// of the tests (tests/support/AsyncIo.h) sits under the codec's imports and times every transfer,
// synchronous or overlapped, by a disk model (an access time that overlaps between transfers, a
// bandwidth at which transfers move one at a time). Each row is frames per second against the
// model's limit for that frame size (the bandwidth, with every access hidden), computed for the
// same model; rows "ideal, 16 in flight" drive the same model with a plain loop of overlapped
// transfers, which shows what the layer itself reaches here. Then captures paced at today's
// streams' rates onto the drive presets, past their write caches (disk_presets.cpp).
//   disk_bench [folder]   (default: T:\ when mapped, else the temporary folder)
#include <windows.h>
#include <vfw.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "DiskBench.h"

using namespace diskbench;

namespace {

constexpr double kModelledSeconds = 0.3; // of disk time per case, at the model's limit
constexpr int kIdealDepth = 16;

using Bytes = std::vector<uint8_t>;

struct Model {
    const char* name;
    double access;
    double bytesPerSecond;
};
const Model kModels[] = {{"0.1 ms 3000 MB/s", 0.0001, 3000e6}, {"5 ms 1500 MB/s", 0.005, 1500e6}};

kt::AsyncOptions Options(const Model& m) {
    kt::AsyncOptions o = LayerOptions();
    o.model = kt::DiskModel{m.access, m.bytesPerSecond};
    return o;
}

void Row(const char* what, const std::string& name, double fps, double limit) {
    std::printf("%-72s %9.1f %9.1f %6.2f\n", name.c_str(), fps, limit, limit > 0 ? fps / limit : 0);
    if (fps > 0)
        std::printf("BENCH|%s %s|%.1f|fps|disk limit|%.1f\n", what, name.c_str(), fps, limit);
    std::fflush(stdout);
}

void RemovePieces(const std::string& base) {
    for (int i = 0; i < 4; ++i) {
        char name[MAX_PATH];
        std::snprintf(name, sizeof name, "%s.%03d", base.c_str(), i);
        DeleteFileA(name);
    }
}

struct Writer {
    const char* name;
    int fastwrite, buffer, divide;
    bool chained;
};
const Writer kWriters[] = {
    {"sync", 0, 1, 0, false},        {"sync split", 0, 1, 1, false},
    {"sync KTST", 0, 1, 0, true},    {"sync KTST split", 0, 1, 1, true},
    {"fast direct", 1, 0, 0, false}, {"fast direct split", 1, 0, 1, false},
    {"fast copied", 1, 1, 0, false}, {"fast copied split", 1, 1, 1, false},
    {"fast KTST", 1, 0, 0, true},    {"fast KTST split", 1, 0, 1, true},
};

// Frames per second of a capture through ICCompress to ICCompressEnd; 0 when a frame failed.
double Capture(const std::string& base, Size size, const Writer& w, const Model& m, int frames) {
    char text[512];
    std::snprintf(text, sizeof text,
                  "filename=%s\r\nfastwrite=%d\r\nbuffer=%d\r\ndivide=%d\r\ndividesize=1\r\n"
                  "request=3\r\nfourcc=%d\r\ncpu=0\r\n",
                  base.c_str(), w.fastwrite, w.buffer, w.divide, w.chained ? int32_t(kKtst) : 0);
    WriteIni(text);
    HIC hic = ICOpen(ICTYPE_VIDEO, kKest, ICMODE_COMPRESS);
    if (!hic)
        return 0;
    double fps = 0;
    {
        kt::AsyncIo io(Options(m));
        BITMAPINFOHEADER in = Bitmap(size, kYuy2, 16);
        std::vector<uint8_t> out(size_t(ICCompressGetFormatSize(hic, &in)));
        ICCompressGetFormat(hic, &in, out.data());
        auto* outFormat = reinterpret_cast<BITMAPINFOHEADER*>(out.data());
        if (io.active() && ICCompressBegin(hic, &in, outFormat) == ICERR_OK) {
            Pages image(in.biSizeImage);
            for (DWORD i = 0; i < in.biSizeImage; ++i)
                image.p[i] = uint8_t(i * 7 + (i >> 12) + 1);
            std::vector<uint8_t> record(size_t(ICCompressGetSize(hic, &in, outFormat)));
            bool ok = true;
            double start = Now();
            for (int f = 0; f < frames && ok; ++f) {
                DWORD ckid, flags;
                image.p[0] = uint8_t(f);
                ok = ICCompress(hic, 0, outFormat, record.data(), &in, image.p, &ckid, &flags, f, 0,
                                0, nullptr, nullptr) == ICERR_OK;
            }
            ICCompressEnd(hic);
            double seconds = Now() - start;
            fps = ok ? frames / seconds : 0;
        }
        ICClose(hic);
    }
    return fps;
}

// Writes `bytes` into a new file, so that later writes find its pages there: the tmpfs folder
// under drive T: allocates a page at a rate below the faster model's, which would show instead
// of the model (a capture onto space reserved beforehand does the same).
void Prefill(const std::string& path, uint64_t bytes) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    Bytes chunk(8u << 20, 0);
    for (uint64_t at = 0; at < bytes; at += chunk.size()) {
        DWORD done;
        WriteFile(f, chunk.data(), DWORD(std::min<uint64_t>(chunk.size(), bytes - at)), &done,
                  nullptr);
    }
    CloseHandle(f);
}

struct Frame {
    uint64_t offset;
    uint32_t size;
};

// Frames laid out as a capture leaves them: each on a page, padded to whole pages.
std::vector<Frame> WriteData(const std::string& path, const Bytes& frame, int count) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    std::vector<Frame> placed;
    Bytes padded(RoundUp(frame.size()), 0);
    std::memcpy(padded.data(), frame.data(), frame.size());
    for (int i = 0; i < count; ++i) {
        padded[0] = uint8_t(i);
        DWORD done;
        WriteFile(f, padded.data(), DWORD(padded.size()), &done, nullptr);
        placed.push_back({uint64_t(i) * padded.size(), uint32_t(frame.size())});
    }
    CloseHandle(f);
    return placed;
}

Bytes Record(const Frame& frame, const std::string& path) {
    Bytes record(16 + path.size() + 1, 0);
    std::memcpy(record.data(), &frame.offset, 8);
    std::memcpy(record.data() + 8, &frame.size, 4);
    std::memcpy(record.data() + 16, path.data(), path.size());
    return record;
}

Bytes StreamFormat(Size s, DWORD chain, const BITMAPINFOHEADER* chained) {
    Bytes f(52 + (chained ? sizeof *chained : 0), 0);
    BITMAPINFOHEADER h = Bitmap(s, kKest, 16);
    h.biSize = DWORD(f.size());
    std::memcpy(f.data(), &h, sizeof h);
    DWORD source = chained ? chained->biCompression : kYuy2;
    std::memcpy(f.data() + 40, &source, 4);
    std::memcpy(f.data() + 44, &chain, 4);
    if (chained) {
        DWORD n = sizeof *chained;
        std::memcpy(f.data() + 48, &n, 4);
        std::memcpy(f.data() + 52, chained, n);
    }
    return f;
}

// Frames per second of sequential plays of `frames` frames (the file's frames over and over).
// `readahead` 0 leaves the key out: the codec's default.
double Play(bool fastread, int readahead, Bytes stream, BITMAPINFOHEADER out,
            const std::vector<Frame>& placed, const std::string& path, const Model& m, int frames) {
    std::string ini = std::string("fastread=") + (fastread ? "1" : "0") + "\r\n";
    if (readahead)
        ini += "readahead=" + std::to_string(readahead) + "\r\n";
    WriteIni(ini);
    HIC hic = ICOpen(ICTYPE_VIDEO, kKest, ICMODE_DECOMPRESS);
    if (!hic)
        return 0;
    double fps = 0;
    {
        kt::AsyncIo io(Options(m));
        auto* in = reinterpret_cast<BITMAPINFOHEADER*>(stream.data());
        Pages picture(out.biSizeImage);
        if (io.active() && ICDecompressBegin(hic, in, &out) == ICERR_OK) {
            std::vector<Bytes> records;
            for (const Frame& f : placed)
                records.push_back(Record(f, path));
            bool ok = true;
            double start = Now();
            for (int i = 0; i < frames && ok; ++i) {
                Bytes& r = records[size_t(i) % records.size()];
                in->biSizeImage = DWORD(r.size());
                ok = ICDecompress(hic, 0, in, r.data(), &out, picture.p) == ICERR_OK;
            }
            double seconds = Now() - start;
            fps = ok ? frames / seconds : 0;
            ICDecompressEnd(hic);
        }
        ICClose(hic);
    }
    return fps;
}

// The model driven by a plain loop that keeps kIdealDepth overlapped transfers of `bytes` in
// flight through the layer's own replacements, as a deep reader or writer would.
double Ideal(bool write, const std::string& path, uint64_t bytes, const Model& m, int frames) {
    kt::AsyncIo io(Options(m), nullptr);
    const auto& call = kt::AsyncIo::Replacements();
    HANDLE file = call.CreateFileA(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                                   FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OVERLAPPED | FILE_FLAG_NO_BUFFERING, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    HANDLE port = call.CreateIoCompletionPort(file, nullptr, 1, 0);
    LARGE_INTEGER size{};
    GetFileSizeEx(file, &size);
    uint64_t span = uint64_t(size.QuadPart) / bytes * bytes;
    std::vector<OVERLAPPED> ov(kIdealDepth);
    Pages buffers(size_t(bytes) * kIdealDepth);
    int issued = 0, done = 0;
    auto issue = [&](int slot) {
        OVERLAPPED& o = ov[size_t(slot)];
        o = OVERLAPPED{};
        uint64_t at = (uint64_t(issued) * bytes) % (span ? span : bytes);
        o.Offset = DWORD(at);
        o.OffsetHigh = DWORD(at >> 32);
        uint8_t* b = buffers.p + size_t(slot) * bytes;
        if (write)
            call.WriteFile(file, b, DWORD(bytes), nullptr, &o);
        else
            call.ReadFile(file, b, DWORD(bytes), nullptr, &o);
        ++issued;
    };
    double start = Now();
    for (int i = 0; i < kIdealDepth && issued < frames; ++i)
        issue(i);
    while (done < frames) {
        DWORD n = 0;
        ULONG_PTR key = 0;
        OVERLAPPED* got = nullptr;
        GetQueuedCompletionStatus(port, &n, &key, &got, INFINITE);
        if (!got)
            break;
        ++done;
        if (issued < frames)
            issue(int(got - ov.data()));
    }
    double seconds = Now() - start;
    call.CloseHandle(port);
    call.CloseHandle(file);
    return done == frames ? frames / seconds : 0;
}

int FramesFor(const Model& m, uint64_t bytes) {
    return std::max(16, int(std::lround(kModelledSeconds * m.bytesPerSecond / double(bytes))));
}

std::string DefaultFolder() {
    if (GetFileAttributesA("T:\\") != INVALID_FILE_ATTRIBUTES)
        return "T:\\";
    char tmp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, tmp);
    return tmp;
}

void CaptureRows(const std::string& folder) {
    const std::string base = folder + "diskbench";
    for (Size size : {Size{1920, 1088}, Size{3840, 2160}}) {
        uint64_t image = uint64_t(size.width) * size.height * 2;
        int most = 0;
        for (const Model& m : kModels)
            most = std::max(most, FramesFor(m, RoundUp(image)));
        // The chained writers store a page more per frame.
        Prefill(base + ".000", uint64_t(most) * (RoundUp(image) + PageSize()));
        for (const Model& m : kModels) {
            char tag[96];
            std::snprintf(tag, sizeof tag, "%ldx%ld, disk %s", size.width, size.height, m.name);
            kt::DiskModel disk{m.access, m.bytesPerSecond};
            double limit = disk.LimitPerSecond(RoundUp(image));
            int frames = FramesFor(m, RoundUp(image));
            Row("capture", std::string("ideal, 16 in flight ") + tag,
                Ideal(true, base + ".000", RoundUp(image), m, frames), limit);
            for (const Writer& w : kWriters) {
                // The chained codec stores four bytes more than the picture: a page more.
                double wlimit = w.chained ? disk.LimitPerSecond(RoundUp(image + 4)) : limit;
                Row("capture", std::string(w.name) + " " + tag, Capture(base, size, w, m, frames),
                    wlimit);
            }
        }
        RemovePieces(base);
    }
}

void PlaybackRows(const std::string& folder) {
    for (Size size : {Size{1920, 1080}, Size{3840, 2160}}) {
        const uint32_t yuv = uint32_t(size.width) * size.height * 2;
        Bytes raw(yuv);
        for (uint32_t i = 0; i < yuv; ++i)
            raw[i] = uint8_t(i * 13 + (i >> 10) + 1);
        // The test codec's form: the byte count, then the bytes up to the last non-zero one. A
        // picture ending in two pages of zeros: its stored form fits the buffer of one picture.
        const uint32_t used = yuv - 2 * PageSize();
        Bytes packed(4 + used);
        std::memcpy(packed.data(), &yuv, 4);
        std::memcpy(packed.data() + 4, raw.data(), used);
        // About 256 MB of frames per file; longer plays go round it again.
        int count = std::max(8, int((256u << 20) / RoundUp(yuv)));
        std::string rawPath = folder + "diskbench-raw.000";
        std::string chainedPath = folder + "diskbench-ktst.000";
        auto rawFrames = WriteData(rawPath, raw, count);
        auto chainedFrames = WriteData(chainedPath, packed, count);
        BITMAPINFOHEADER ktst = Bitmap(size, kKtst, 16);
        ktst.biSizeImage = yuv + 4;
        const Bytes rawStream = StreamFormat(size, 0, nullptr);
        const Bytes chainedStream = StreamFormat(size, kKtst, &ktst);
        const BITMAPINFOHEADER asYuy2 = Bitmap(size, kYuy2, 16), asRgb32 = Bitmap(size, BI_RGB, 32);
        struct Reader {
            const char* name;
            bool fast;
            bool chained;
            const BITMAPINFOHEADER* out;
            int readahead; // 0: the default
        };
        // The fast readers with one read ahead, as before the key, and with the default depth.
        const Reader readers[] = {
            {"ReadFastRaw as YUY2, readahead 1", true, false, &asYuy2, 1},
            {"ReadFastRaw as YUY2, readahead 4", true, false, &asYuy2, 0},
            {"ReadPlainRaw as YUY2", false, false, &asYuy2, 0},
            {"ReadFastRaw as RGB32, readahead 1", true, false, &asRgb32, 1},
            {"ReadFastRaw as RGB32, readahead 4", true, false, &asRgb32, 0},
            {"ReadPlainRaw as RGB32", false, false, &asRgb32, 0},
            {"ReadFastChained KTST as YUY2, readahead 1", true, true, &asYuy2, 1},
            {"ReadFastChained KTST as YUY2, readahead 4", true, true, &asYuy2, 0},
            {"ReadPlainChained KTST as YUY2", false, true, &asYuy2, 0},
        };
        for (const Model& m : kModels) {
            char tag[96];
            std::snprintf(tag, sizeof tag, "%ldx%ld, disk %s", size.width, size.height, m.name);
            kt::DiskModel disk{m.access, m.bytesPerSecond};
            double limit = disk.LimitPerSecond(RoundUp(yuv));
            int frames = FramesFor(m, RoundUp(yuv));
            Row("playback", std::string("ideal, 16 in flight ") + tag,
                Ideal(false, rawPath, RoundUp(yuv), m, frames), limit);
            for (const Reader& r : readers) {
                double rlimit = r.chained ? disk.LimitPerSecond(RoundUp(used + 4)) : limit;
                double fps = Play(r.fast, r.readahead, r.chained ? chainedStream : rawStream,
                                  *r.out, r.chained ? chainedFrames : rawFrames,
                                  r.chained ? chainedPath : rawPath, m, frames);
                Row("playback", std::string(r.name) + " " + tag, fps, rlimit);
            }
        }
        DeleteFileA(rawPath.c_str());
        DeleteFileA(chainedPath.c_str());
    }
}

} // namespace

int main(int argc, char** argv) {
    std::string folder = argc > 1 ? argv[1] : DefaultFolder();
    if (!folder.empty() && folder.back() != '\\')
        folder += '\\';
    std::printf("disk_bench: folder %s; frames per second against the modelled disk's limit\n",
                folder.c_str());
    std::printf("%-72s %9s %9s %6s\n", "case", "fps", "limit", "ratio");
    // KESTRO_BENCH_ONLY=capture, =playback, =presets or =journal runs one part (profiling).
    const char* only = std::getenv("KESTRO_BENCH_ONLY");
    auto wanted = [only](const char* part) { return !only || std::strcmp(only, part) == 0; };
    if (wanted("capture"))
        CaptureRows(folder);
    if (wanted("playback"))
        PlaybackRows(folder);
    if (wanted("presets"))
        PresetRows(folder);
    if (wanted("journal"))
        JournalCostRow(folder);
    DeleteFileA(IniPath().c_str());
    return 0;
}
