// Playback frames per second of each reader through the codec manager, against a plain
// sequential read of the same data file in the same run.
//   playback_bench [folder]   (default: T:\ when mapped, else the temporary folder)
#include <windows.h>
#include <vfw.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr LONG kWidth = 720, kHeight = 480;
constexpr uint32_t kFrames = 120;
constexpr int kPasses = 3;
constexpr DWORD kKest = mmioFOURCC('K', 'E', 'S', 'T');
constexpr DWORD kKtst = mmioFOURCC('K', 'T', 'S', 'T');
constexpr DWORD kYuy2 = mmioFOURCC('Y', 'U', 'Y', '2');

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

uint32_t PageSize() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
}

uint64_t RoundUp(uint64_t n) {
    return (n + PageSize() - 1) / PageSize() * PageSize();
}

std::string IniPath() {
    char dir[MAX_PATH] = {};
    GetSystemDirectoryA(dir, MAX_PATH);
    return std::string(dir) + "\\kestdisk.ini";
}

// The codec reads its settings when it is loaded, which is when the first handle opens.
void WriteIni(bool fastread) {
    std::string text = std::string("[general]\r\nfastread=") + (fastread ? "1" : "0") + "\r\n";
    HANDLE f = CreateFileA(IniPath().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD done;
    WriteFile(f, text.data(), DWORD(text.size()), &done, nullptr);
    CloseHandle(f);
}

BITMAPINFOHEADER Bitmap(DWORD compression, WORD bits) {
    BITMAPINFOHEADER h{};
    h.biSize = sizeof h;
    h.biWidth = kWidth;
    h.biHeight = kHeight;
    h.biPlanes = 1;
    h.biBitCount = bits;
    h.biCompression = compression;
    h.biSizeImage = DWORD(((kWidth * bits + 31) / 32) * 4 * kHeight);
    return h;
}

struct Frame {
    uint64_t offset;
    uint32_t size;
};

// Frames laid out as a capture leaves them: each on a page, padded to whole pages.
std::vector<Frame> WriteData(const std::string& path, const std::vector<Bytes>& frames) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    std::vector<Frame> placed;
    uint64_t offset = 0;
    for (const Bytes& frame : frames) {
        Bytes padded(RoundUp(frame.size()), 0);
        std::memcpy(padded.data(), frame.data(), frame.size());
        DWORD done;
        WriteFile(f, padded.data(), DWORD(padded.size()), &done, nullptr);
        placed.push_back({offset, uint32_t(frame.size())});
        offset += padded.size();
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

Bytes StreamFormat(WORD bits, DWORD source, DWORD chain, const BITMAPINFOHEADER* chained) {
    Bytes f(52 + (chained ? sizeof *chained : 0), 0);
    BITMAPINFOHEADER h = Bitmap(kKest, bits);
    h.biSize = DWORD(f.size());
    std::memcpy(f.data(), &h, sizeof h);
    std::memcpy(f.data() + 40, &source, 4);
    std::memcpy(f.data() + 44, &chain, 4);
    if (chained) {
        DWORD n = sizeof *chained;
        std::memcpy(f.data() + 48, &n, 4);
        std::memcpy(f.data() + 52, chained, n);
    }
    return f;
}

// Frames per second of kPasses sequential plays; 0 when a frame failed.
double Play(bool fastread, Bytes streamFormat, BITMAPINFOHEADER out,
            const std::vector<Frame>& frames, const std::string& path) {
    WriteIni(fastread);
    HIC hic = ICOpen(ICTYPE_VIDEO, kKest, ICMODE_DECOMPRESS);
    if (!hic)
        return 0;
    auto* in = reinterpret_cast<BITMAPINFOHEADER*>(streamFormat.data());
    Bytes picture(out.biSizeImage);
    double fps = 0;
    if (ICDecompressBegin(hic, in, &out) == ICERR_OK) {
        std::vector<Bytes> records;
        for (const Frame& f : frames)
            records.push_back(Record(f, path));
        bool ok = true;
        auto start = Clock::now();
        // The first pass warms the file cache and the codec; it is not counted.
        for (int pass = -1; pass < kPasses && ok; ++pass) {
            if (pass == 0)
                start = Clock::now();
            for (Bytes& r : records) {
                in->biSizeImage = DWORD(r.size());
                if (ICDecompress(hic, 0, in, r.data(), &out, picture.data()) != ICERR_OK) {
                    ok = false;
                    break;
                }
            }
        }
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        fps = ok ? kPasses * frames.size() / seconds : 0;
        ICDecompressEnd(hic);
    }
    ICClose(hic);
    return fps;
}

// The baseline: the same frames read one after another with plain synchronous reads.
double SequentialRead(const std::vector<Frame>& frames, const std::string& path) {
    uint64_t largest = 0;
    for (const Frame& f : frames)
        largest = std::max<uint64_t>(largest, RoundUp(f.size));
    Bytes buffer(largest);
    auto start = Clock::now();
    for (int pass = -1; pass < kPasses; ++pass) {
        if (pass == 0)
            start = Clock::now();
        HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        for (const Frame& f : frames) {
            DWORD done = 0;
            ReadFile(file, buffer.data(), DWORD(RoundUp(f.size)), &done, nullptr);
        }
        CloseHandle(file);
    }
    return kPasses * frames.size() / std::chrono::duration<double>(Clock::now() - start).count();
}

std::string DefaultFolder() {
    if (GetFileAttributesA("T:\\") != INVALID_FILE_ATTRIBUTES)
        return "T:\\";
    char tmp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, tmp);
    return tmp;
}

void Bench(const std::string& folder) {
    std::mt19937 random(1);
    const uint32_t yuvBytes = uint32_t(kWidth) * kHeight * 2;
    std::vector<Bytes> raw, ktst;
    for (uint32_t i = 0; i < kFrames; ++i) {
        Bytes frame(yuvBytes);
        for (auto& b : frame)
            b = uint8_t(random());
        // KTST keeps the bytes up to the last non-zero one: frames of varying length.
        uint32_t used = yuvBytes / 2 + (random() % (yuvBytes / 3));
        Bytes packed(4 + used);
        std::memcpy(packed.data(), &yuvBytes, 4);
        std::memcpy(packed.data() + 4, frame.data(), used);
        packed.back() |= 1;
        raw.push_back(std::move(frame));
        ktst.push_back(std::move(packed));
    }
    std::string rawPath = folder + "kestbench-raw.000", chainedPath = folder + "kestbench-ktst.000";
    auto rawFrames = WriteData(rawPath, raw);
    auto chainedFrames = WriteData(chainedPath, ktst);

    BITMAPINFOHEADER ktstFormat = Bitmap(kKtst, 16);
    ktstFormat.biSizeImage = yuvBytes + 4;
    const Bytes rawStream = StreamFormat(16, kYuy2, 0, nullptr);
    const Bytes chainedStream = StreamFormat(16, kKtst, kKtst, &ktstFormat);
    const BITMAPINFOHEADER yuy2 = Bitmap(kYuy2, 16), rgb24 = Bitmap(BI_RGB, 24);

    struct Row {
        const char* reader;
        const char* what;
        bool fast;
        const Bytes* stream;
        BITMAPINFOHEADER out;
        const std::vector<Frame>* frames;
        const std::string* path;
    };
    const Row rows[] = {
        {"ReadFastRaw", "YUY2 copy", true, &rawStream, yuy2, &rawFrames, &rawPath},
        {"ReadPlainRaw", "YUY2 copy", false, &rawStream, yuy2, &rawFrames, &rawPath},
        {"ReadFastRaw", "YUY2->RGB24", true, &rawStream, rgb24, &rawFrames, &rawPath},
        {"ReadPlainRaw", "YUY2->RGB24", false, &rawStream, rgb24, &rawFrames, &rawPath},
        {"ReadFastChained", "KTST", true, &chainedStream, yuy2, &chainedFrames, &chainedPath},
        {"ReadPlainChained", "KTST", false, &chainedStream, yuy2, &chainedFrames, &chainedPath},
    };
    std::printf("\nfolder %s: %u frames of %ldx%ld, %d passes\n", folder.c_str(), kFrames, kWidth,
                kHeight, kPasses);
    std::printf("%-17s %-12s %10s %14s %7s\n", "reader", "frames", "fps", "baseline fps", "ratio");
    // KESTRO_BENCH_READER=ReadFastRaw runs only the rows of that reader (profiling).
    const char* only = std::getenv("KESTRO_BENCH_READER");
    for (const Row& row : rows) {
        if (only && std::strcmp(only, row.reader) != 0)
            continue;
        double base = SequentialRead(*row.frames, *row.path);
        double fps = Play(row.fast, *row.stream, row.out, *row.frames, *row.path);
        std::printf("%-17s %-12s %10.1f %14.1f %7.2f%s\n", row.reader, row.what, fps, base,
                    base > 0 ? fps / base : 0, fps == 0 ? "  (a frame failed)" : "");
        std::printf("BENCH|%s %s|%.1f|fps|plain ReadFile|%.1f\n", row.reader, row.what, fps, base);
    }
    DeleteFileA(rawPath.c_str());
    DeleteFileA(chainedPath.c_str());
}

} // namespace

int main(int argc, char** argv) {
    Bench(DefaultFolder());
    if (argc > 1) {
        std::string folder = argv[1];
        if (!folder.empty() && folder.back() != '\\')
            folder += '\\';
        Bench(folder);
    }
    DeleteFileA(IniPath().c_str());
    return 0;
}
