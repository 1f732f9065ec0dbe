// Megapixels per second of the pixel repacking routines at every kernel level, against memcpy of
// the same source bytes and, in native builds, against libyuv.
#include "pure/PixelRepack.h"

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

using PlaneFn = void (*)(const uint8_t*, uint8_t*, uint32_t, uint32_t, bool);

void BenchSize(uint32_t w, uint32_t h) {
    const size_t pixels = size_t{w} * h;
    std::vector<uint8_t> src(2 * pixels), dst(4 * pixels);
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

    struct Routine {
        const char* name;
        PlaneFn ours;
        bool uyvy;
        int bpp;
    };
    const Routine routines[] = {{"Yuy2ToRgb24", Yuy2ToRgb24, false, 3},
                                {"UyvyToRgb24", UyvyToRgb24, true, 3},
                                {"Yuy2ToRgb32", Yuy2ToRgb32, false, 4},
                                {"UyvyToRgb32", UyvyToRgb32, true, 4}};
    std::vector<uint8_t> row(4 * size_t{w});
    for (const Routine& r : routines) {
        const auto ours = [&] { r.ours(src.data(), dst.data(), w, h, true); };
#ifdef KESTRO_HAVE_LIBYUV
        const auto toArgb = r.uyvy ? libyuv::UYVYToARGB : libyuv::YUY2ToARGB;
        const int iw = static_cast<int>(w), ih = static_cast<int>(h);
        if (r.bpp == 4) {
            // Negative height: libyuv turns the picture over as ours does.
            compare(
                r.name, "libyuv", [&] { toArgb(src.data(), 2 * iw, dst.data(), 4 * iw, iw, -ih); },
                ours, memcpyMpix);
        } else {
            // libyuv has no packed 4:2:2 to RGB24: ARGB into a cached scratch row, then RGB24.
            compare(
                r.name, "libyuv*",
                [&] {
                    for (int j = 0; j < ih; ++j) {
                        toArgb(src.data() + size_t(ih - 1 - j) * 2 * iw, 0, row.data(), 0, iw, 1);
                        libyuv::ARGBToRGB24(row.data(), 0, dst.data() + size_t(j) * 3 * iw, 0, iw,
                                            1);
                    }
                },
                ours, memcpyMpix);
        }
#else
        compare(r.name, "", none, ours, memcpyMpix);
#endif
    }

    // RGB24 stored, RGB32 asked for; libyuv's RGB24ToARGB does the same work with an opaque
    // alpha byte where ours writes 0.
    std::vector<uint8_t> rgb24(3 * pixels);
    std::generate(rgb24.begin(), rgb24.end(), [&] { return static_cast<uint8_t>(rng()); });
    const double rgbMemcpy =
        mpix / BestSecondsPerCall([&] { std::memcpy(dst.data(), rgb24.data(), rgb24.size()); });
    const auto rgbOurs = [&] { Rgb24ToRgb32(rgb24.data(), dst.data(), w, h); };
#ifdef KESTRO_HAVE_LIBYUV
    compare(
        "Rgb24ToRgb32", "libyuv",
        [&] {
            libyuv::RGB24ToARGB(rgb24.data(), 3 * static_cast<int>(w), dst.data(),
                                4 * static_cast<int>(w), static_cast<int>(w), static_cast<int>(h));
        },
        rgbOurs, rgbMemcpy);
#else
    compare("Rgb24ToRgb32", "", none, rgbOurs, rgbMemcpy);
#endif
    SetKernelLevel(BestKernelLevel());
}

} // namespace

int main() {
    std::printf("convert_bench: best kernel level on this CPU: %s\n", LevelName(BestKernelLevel()));
#ifdef KESTRO_HAVE_LIBYUV
    std::printf("libyuv* = YUY2ToARGB/UYVYToARGB into one scratch row, then ARGBToRGB24, per row;\n"
                "SwapBytePairs libyuv = ARGBShuffle with a byte-pair shuffle.\n");
#else
    std::printf("built without libyuv: the /libyuv column is empty.\n");
#endif
    BenchSize(720, 480);
    BenchSize(1920, 1080);
    return 0;
}
