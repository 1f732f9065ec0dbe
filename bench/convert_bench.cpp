// Megapixels per second of the pixel repacking routines at every kernel level, against memcpy of
// the same source bytes and, in native builds, against libyuv.
#include "pure/PixelRepack.h"
#include "pure/RawConversions.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#ifdef KESTRO_HAVE_LIBYUV
#include <libyuv.h>
#endif

using namespace kestro;

namespace {

using Clock = std::chrono::steady_clock;

// A sample: calls of the operation that take at least half a millisecond, short enough that
// many samples run while the machine's other work leaves this core (and its sibling) alone.
struct Sample {
    int calls;
    double seconds;
};

Sample SampleOf(const std::function<void()>& op) {
    op();
    for (int calls = 1;; calls *= 2) {
        const auto t0 = Clock::now();
        for (int i = 0; i < calls; ++i) {
            op();
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
        if (seconds >= 0.0005) {
            return {calls, seconds};
        }
    }
}

// The best sample per operation out of up to 200 (fewer for slow ones, about 0.3 s each, at
// least 20), taken in rounds that run each operation in turn: every implementation of a routine
// then meets the same load.
std::vector<double> BestSecondsPerCall(const std::vector<std::function<void()>>& ops) {
    std::vector<Sample> samples;
    std::vector<int> rounds;
    int most = 0;
    for (const auto& op : ops) {
        samples.push_back(SampleOf(op));
        rounds.push_back(std::clamp(static_cast<int>(0.3 / samples.back().seconds), 20, 200));
        most = std::max(most, rounds.back());
    }
    std::vector<double> best(ops.size(), 1e30);
    for (int round = 0; round < most; ++round) {
        for (size_t k = 0; k < ops.size(); ++k) {
            if (round >= rounds[k]) {
                continue;
            }
            const auto t0 = Clock::now();
            for (int i = 0; i < samples[k].calls; ++i) {
                ops[k]();
            }
            best[k] = std::min(best[k], std::chrono::duration<double>(Clock::now() - t0).count() /
                                            samples[k].calls);
        }
    }
    return best;
}

double BestSecondsPerCall(const std::function<void()>& op) {
    return BestSecondsPerCall(std::vector<std::function<void()>>{op})[0];
}

const char* LevelName(KernelLevel level) {
    switch (level) {
    case KernelLevel::Scalar:
        return "scalar";
    case KernelLevel::Sse2:
        return "sse2";
    case KernelLevel::Ssse3:
        return "ssse3";
    case KernelLevel::Avx2:
        return "avx2";
    default:
        return "avx512";
    }
}

void PrintRow(const std::string& routine, const char* impl, double mpix, double memcpyMpix,
              double libyuvMpix) {
    std::printf("  %-16s %-8s %10.1f %10.2f", routine.c_str(), impl, mpix, mpix / memcpyMpix);
    if (libyuvMpix > 0) {
        std::printf(" %10.2f\n", mpix / libyuvMpix);
    } else {
        std::printf(" %10s\n", "-");
    }
}

// A kind's name as a routine's name starts ("yuy2": "Yuy2"); one word, which bench/run reads.
std::string Capitalised(const char* name) {
    std::string word = name;
    if (!word.empty() && word[0] >= 'a' && word[0] <= 'z')
        word[0] = char(word[0] - 'a' + 'A');
    return word;
}

// libyuv's routine for a conversion of ours, as it is called for a whole picture; none where
// libyuv has no such routine. libyuv* marks a routine built from two of libyuv's per row.
struct Baseline {
    const char* name = "";
    std::function<void()> run;
};

Baseline BaselineFor(PixelKind source, PixelKind output, const uint8_t* src, uint8_t* dst,
                     uint8_t* row, uint32_t width, uint32_t height) {
#ifdef KESTRO_HAVE_LIBYUV
    const int w = static_cast<int>(width), h = static_cast<int>(height);
    const bool packed = source == KIND_YUY2 || source == KIND_UYVY;
    const auto toArgb = source == KIND_UYVY ? libyuv::UYVYToARGB : libyuv::YUY2ToARGB;
    if (packed && output == KIND_RGB32) {
        // Negative height: libyuv turns the picture over as ours does.
        return {"libyuv", [=] { toArgb(src, 2 * w, dst, 4 * w, w, -h); }};
    }
    if (packed && output == KIND_RGB24) {
        // libyuv has no packed 4:2:2 to RGB24: ARGB into a cached scratch row, then RGB24.
        return {"libyuv*", [=] {
                    for (int j = 0; j < h; ++j) {
                        toArgb(src + size_t(h - 1 - j) * 2 * w, 0, row, 0, w, 1);
                        libyuv::ARGBToRGB24(row, 0, dst + size_t(j) * 3 * w, 0, w, 1);
                    }
                }};
    }
    if (source == KIND_RGB24 && output == KIND_RGB32) {
        // RGB24ToARGB does the same work with an opaque alpha byte where ours writes 0.
        return {"libyuv", [=] { libyuv::RGB24ToARGB(src, 3 * w, dst, 4 * w, w, h); }};
    }
    if (source == KIND_RGB32 && output == KIND_RGB24)
        return {"libyuv", [=] { libyuv::ARGBToRGB24(src, 4 * w, dst, 3 * w, w, h); }};
    // Grey into RGB32: its luma term is ours with no chroma; libyuv has no grey to RGB24.
    if (source == KIND_Y800 && output == KIND_RGB32)
        return {"libyuv", [=] { libyuv::I400ToARGB(src, w, dst, 4 * w, w, -h); }};
    // The 4:2:0 kinds: the planes of one picture, its rows turned over as ours are.
    const uint8_t* luma = src;
    const uint8_t* first = src + size_t(w) * h;
    const uint8_t* second = first + size_t(w / 2) * (h / 2);
    if (source == KIND_NV12 && output == KIND_RGB32)
        return {"libyuv", [=] { libyuv::NV12ToARGB(luma, w, first, w, dst, 4 * w, w, -h); }};
    if (source == KIND_NV12 && output == KIND_RGB24)
        return {"libyuv", [=] { libyuv::NV12ToRGB24(luma, w, first, w, dst, 3 * w, w, -h); }};
    if ((source == KIND_P010 || source == KIND_P210) && output == KIND_RGB32) {
        // Its strides count 16-bit samples; libyuv has no P010 or P210 to RGB24 or to YUY2.
        const auto* y16 = reinterpret_cast<const uint16_t*>(src);
        const uint16_t* uv16 = y16 + size_t(w) * h;
        const auto toArgb =
            source == KIND_P010 ? libyuv::P010ToARGBMatrix : libyuv::P210ToARGBMatrix;
        return {"libyuv",
                [=] { toArgb(y16, w, uv16, w, dst, 4 * w, &libyuv::kYuvI601Constants, w, -h); }};
    }
    if (source == KIND_I420 || source == KIND_YV12) {
        const uint8_t* u = source == KIND_I420 ? first : second;
        const uint8_t* v = source == KIND_I420 ? second : first;
        if (output == KIND_RGB32)
            return {"libyuv",
                    [=] { libyuv::I420ToARGB(luma, w, u, w / 2, v, w / 2, dst, 4 * w, w, -h); }};
        if (output == KIND_RGB24)
            return {"libyuv",
                    [=] { libyuv::I420ToRGB24(luma, w, u, w / 2, v, w / 2, dst, 3 * w, w, -h); }};
        if (output == KIND_YUY2)
            return {"libyuv",
                    [=] { libyuv::I420ToYUY2(luma, w, u, w / 2, v, w / 2, dst, 2 * w, w, h); }};
    }
#else
    (void)source, (void)output, (void)src, (void)dst, (void)row, (void)width, (void)height;
#endif
    return {};
}

// The routines named on the command line (a part of the name each), every one without any.
std::vector<std::string> gChosen;

bool Chosen(const std::string& routine) {
    return gChosen.empty() || std::any_of(gChosen.begin(), gChosen.end(), [&](const auto& part) {
               return routine.find(part) != std::string::npos;
           });
}

void BenchSize(uint32_t w, uint32_t h) {
    const size_t pixels = size_t{w} * h;
    std::vector<uint8_t> src(2 * pixels), dst(4 * pixels), scratch(4 * size_t{w});
    std::mt19937 rng(7);
    std::generate(src.begin(), src.end(), [&] { return static_cast<uint8_t>(rng()); });
    const double mpix = pixels / 1e6;

    const double memcpyMpix =
        mpix / BestSecondsPerCall([&] { std::memcpy(dst.data(), src.data(), src.size()); });
    std::printf("\n%ux%u  (Mpix/s; ratios: ours/memcpy of the source bytes, ours/libyuv)\n", w, h);
    std::printf("  %-16s %-8s %10s %10s %10s\n", "routine", "impl", "Mpix/s", "/memcpy", "/libyuv");
    PrintRow("memcpy", "libc", memcpyMpix, memcpyMpix, 0);

    std::vector<KernelLevel> levels;
    for (int l = 0; l <= static_cast<int>(BestKernelLevel()); ++l) {
        levels.push_back(static_cast<KernelLevel>(l));
    }

    // One routine: its baseline (when there is one) and our routine at every level, timed in
    // turn, one row each.
    const auto compare = [&](const char* routine, const char* baselineName,
                             const std::function<void()>& baseline,
                             const std::function<void()>& ours, double memcpyOfSource) {
        if (!Chosen(routine)) {
            return;
        }
        std::vector<std::function<void()>> ops;
        if (baseline) {
            ops.push_back(baseline);
        }
        for (KernelLevel level : levels) {
            ops.push_back([&ours, level] {
                SetKernelLevel(level);
                ours();
            });
        }
        const std::vector<double> seconds = BestSecondsPerCall(ops);
        const double base = baseline ? mpix / seconds[0] : 0;
        if (baseline) {
            PrintRow(routine, baselineName, base, memcpyOfSource, base);
        }
        for (size_t k = 0; k < levels.size(); ++k) {
            PrintRow(routine, LevelName(levels[k]), mpix / seconds[k + (baseline ? 1 : 0)],
                     memcpyOfSource, base);
        }
    };
    const std::function<void()> none;

#ifdef KESTRO_HAVE_LIBYUV
    static const uint8_t swapBytes[16] = {1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14};
    compare(
        "SwapBytePairs", "libyuv",
        [&] {
            libyuv::ARGBShuffle(src.data(), 0, dst.data(), 0, swapBytes,
                                static_cast<int>(pixels / 2), 1);
        },
        [&] { SwapBytePairs(dst.data(), src.data(), src.size()); }, memcpyMpix);
#else
    compare(
        "SwapBytePairs", "", none, [&] { SwapBytePairs(dst.data(), src.data(), src.size()); },
        memcpyMpix);
#endif

    // Every converting row of the conversion table, against memcpy of its source bytes and the
    // libyuv routine that does the same work where there is one.
    for (size_t i = kFirstConversion; i < kRawOpCount; ++i) {
        const RawOp op = RawOp(i);
        const RawConversionRow& row = *RowOfOp(op);
        const std::string name = Capitalised(FormatOf(row.source)->name) + "To" +
                                 Capitalised(FormatOf(row.output)->name);
        if (!Chosen(name)) {
            continue;
        }
        const PixelFormat& source = *FormatOf(row.source);
        std::vector<uint8_t> from(size_t(ShapeOf(source, w, h, RowRule::Packed).bytes));
        std::generate(from.begin(), from.end(), [&] { return static_cast<uint8_t>(rng()); });
        const double fromMemcpy =
            mpix / BestSecondsPerCall([&] { std::memcpy(dst.data(), from.data(), from.size()); });
        // Stored YUV lies top row first, RGB output bottom row first: the YUV rows turn over
        // (a planar kind's into YUY2 keep their order, as libyuv's I420ToYUY2 does).
        const bool turn =
            source.layout != Layout::Rgb &&
            (source.layout != Layout::Planar || FormatOf(row.output)->layout == Layout::Rgb);
        const auto ours = [&] { ConvertPicture(op, from.data(), dst.data(), w, h, turn); };
        const Baseline base =
            BaselineFor(row.source, row.output, from.data(), dst.data(), scratch.data(), w, h);
        compare(name.c_str(), base.name, base.run, ours, fromMemcpy);
    }
    SetKernelLevel(BestKernelLevel());
}

} // namespace

int main(int argc, char** argv) {
    gChosen.assign(argv + 1, argv + argc);
    std::printf("convert_bench: best kernel level on this CPU: %s\n", LevelName(BestKernelLevel()));
#ifdef KESTRO_HAVE_LIBYUV
    std::printf("libyuv* = YUY2ToARGB/UYVYToARGB into one scratch row, then ARGBToRGB24, per row;\n"
                "SwapBytePairs libyuv = ARGBShuffle with a byte-pair shuffle; YV12 rows are\n"
                "I420's libyuv routines with the chroma planes exchanged.\n");
#else
    std::printf("built without libyuv: the /libyuv column is empty.\n");
#endif
    BenchSize(720, 480);
    BenchSize(1920, 1080);
    return 0;
}
