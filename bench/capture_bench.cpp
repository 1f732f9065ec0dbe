// Capture throughput through ICCompress in every write mode, against a plain sequential write of
// the same bytes measured natively in the same run (bench/capture.sh passes its MB/s in).
// Usage: capture_bench <folder> [native MB/s per picture size, in the order of kSizes]
#include <windows.h>
#include <vfw.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Size {
    int width;
    int height;
};
const Size kSizes[] = {{720, 480}, {1920, 1080}, {1920, 1088}};

struct Mode {
    const char* name;
    int fastwrite;
    int buffer;
    int divide;
};
const Mode kModes[] = {
    {"sync", 0, 1, 0},        {"sync split", 0, 1, 1},
    {"fast copied", 1, 1, 0}, {"fast copied split", 1, 1, 1},
    {"fast direct", 1, 0, 0}, {"fast direct split", 1, 0, 1},
};

constexpr uint64_t kBytesPerCase = uint64_t(768) << 20;

double Now() {
    LARGE_INTEGER f, t;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t);
    return double(t.QuadPart) / double(f.QuadPart);
}

double ProcessCpuSeconds() {
    FILETIME c, e, k, u;
    GetProcessTimes(GetCurrentProcess(), &c, &e, &k, &u);
    auto s = [](FILETIME t) { return (uint64_t(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 1e7; };
    return s(k) + s(u);
}

void WriteIni(const std::string& base, const Mode& m) {
    char dir[MAX_PATH];
    GetSystemDirectoryA(dir, MAX_PATH);
    std::string ini = std::string(dir) + "\\kestdisk.ini";
    char text[1024];
    std::snprintf(text, sizeof text,
                  "[general]\r\nfilename=%s\r\nfastwrite=%d\r\nbuffer=%d\r\ndivide=%d\r\n"
                  "dividesize=1\r\nrequest=4\r\nfourcc=0\r\ncpu=0\r\n",
                  base.c_str(), m.fastwrite, m.buffer, m.divide);
    FILE* f = std::fopen(ini.c_str(), "wb");
    std::fputs(text, f);
    std::fclose(f);
}

struct Result {
    bool ran = false;
    double mbps = 0;
    double cpuPerFrameUs = 0;
    double wallPerFrameUs = 0;
};

Result RunCase(const std::string& base, const Size& size, const Mode& mode) {
    WriteIni(base, mode);
    Result result;
    HIC hic = ICOpen(ICTYPE_VIDEO, mmioFOURCC('K', 'E', 'S', 'T'), ICMODE_COMPRESS);
    if (!hic)
        return result;
    BITMAPINFOHEADER in{};
    in.biSize = sizeof in;
    in.biWidth = size.width;
    in.biHeight = size.height;
    in.biPlanes = 1;
    in.biBitCount = 16;
    in.biCompression = mmioFOURCC('Y', 'U', 'Y', '2');
    in.biSizeImage = DWORD(size.width * size.height * 2);
    std::vector<uint8_t> out(size_t(ICCompressGetFormatSize(hic, &in)));
    ICCompressGetFormat(hic, &in, out.data());
    auto* outFormat = reinterpret_cast<BITMAPINFOHEADER*>(out.data());
    if (ICCompressBegin(hic, &in, outFormat) != ICERR_OK) {
        ICClose(hic);
        return result;
    }
    // Page-aligned like a capture driver's buffers, so unbuffered writes take it as it is.
    auto* image = static_cast<uint8_t*>(
        VirtualAlloc(nullptr, in.biSizeImage, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    for (DWORD i = 0; i < in.biSizeImage; ++i)
        image[i] = uint8_t(i * 7 + (i >> 12));
    std::vector<uint8_t> record(size_t(ICCompressGetSize(hic, &in, outFormat)));
    int frames = int(kBytesPerCase / in.biSizeImage);
    double cpu0 = ProcessCpuSeconds();
    double t0 = Now();
    bool ok = true;
    for (int f = 0; f < frames && ok; ++f) {
        DWORD ckid, flags;
        image[0] = uint8_t(f);
        ok = ICCompress(hic, 0, outFormat, record.data(), &in, image, &ckid, &flags, f, 0, 0,
                        nullptr, nullptr) == ICERR_OK;
    }
    ICCompressEnd(hic);
    double seconds = Now() - t0;
    double cpu = ProcessCpuSeconds() - cpu0;
    ICClose(hic);
    VirtualFree(image, 0, MEM_RELEASE);
    if (!ok)
        return result;
    result.ran = true;
    result.mbps = double(frames) * in.biSizeImage / 1e6 / seconds;
    result.cpuPerFrameUs = cpu / frames * 1e6;
    result.wallPerFrameUs = seconds / frames * 1e6;
    return result;
}

void RemovePieces(const std::string& base) {
    for (int i = 0; i < 500; ++i) {
        char name[MAX_PATH];
        std::snprintf(name, sizeof name, "%s.%03d", base.c_str(), i);
        if (!DeleteFileA(name) && i > 0)
            break;
    }
}

} // namespace

int main(int argc, char** argv) {
    std::string folder = argc > 1 ? argv[1] : "T:\\";
    std::string base = folder + "\\capbench";
    std::printf("%-11s %-18s %9s %9s %7s %11s %11s\n", "picture", "mode", "MB/s", "native", "ratio",
                "cpu us/fr", "wall us/fr");
    // KESTRO_BENCH_ONLY="1920x1080 fast copied" runs the cases whose name contains it (profiling).
    const char* only = std::getenv("KESTRO_BENCH_ONLY");
    int sizeIndex = 0;
    for (const Size& size : kSizes) {
        double native = argc > 2 + sizeIndex ? std::atof(argv[2 + sizeIndex]) : 0;
        ++sizeIndex;
        double syncCpu =
            0; // the synchronous writer's CPU per frame: what the others cost beside it
        for (const Mode& mode : kModes) {
            char picture[32];
            std::snprintf(picture, sizeof picture, "%dx%d", size.width, size.height);
            if (only && (std::string(picture) + " " + mode.name).find(only) == std::string::npos)
                continue;
            RemovePieces(base);
            Result r = RunCase(base, size, mode);
            RemovePieces(base);
            if (!r.ran) {
                std::printf("%-11s %-18s %9s   (refused: image is not whole pages)\n", picture,
                            mode.name, "-");
                continue;
            }
            std::printf("%-11s %-18s %9.0f %9.0f %7.2f %11.0f %11.0f\n", picture, mode.name, r.mbps,
                        native, native > 0 ? r.mbps / native : 0.0, r.cpuPerFrameUs,
                        r.wallPerFrameUs);
            if (!mode.fastwrite && !mode.divide)
                syncCpu = r.cpuPerFrameUs;
            if (native > 0) // a row for bench/run's table
                std::printf("BENCH|%s %s|%.0f|MB/s|native write(2)|%.0f\n", picture, mode.name,
                            r.mbps, native);
            if (syncCpu > 0 && (mode.fastwrite || mode.divide))
                std::printf("BENCH|%s %s CPU|%.0f|us/frame|sync CPU|%.0f\n", picture, mode.name,
                            r.cpuPerFrameUs, syncCpu);
            std::fflush(stdout);
        }
    }
    char dir[MAX_PATH];
    GetSystemDirectoryA(dir, MAX_PATH);
    DeleteFileA((std::string(dir) + "\\kestdisk.ini").c_str());
    return 0;
}
