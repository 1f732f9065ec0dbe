// What the frame journal costs a frame: the codec's time per frame with its journal, against the
// same capture in the same run whose journal cannot be opened (a folder holds its name, so the
// codec drops it), in the benchmark's folder (tmpfs under the tests). Small frames through the
// direct writer leave little else in a frame's time. The cost is below what a loaded machine
// moves a run by, so the runs alternate, each side counts its least disturbed run, and the row
// bounds the cost by their difference and what disturbs a run without the journal (its median
// less its best), set against a 4K60 frame's 16.7 ms, which it must stay well under 1 % of.
#include <windows.h>
#include <vfw.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "DiskBench.h"

namespace diskbench {

namespace {

constexpr int kFrames = 4000; // 31 pages of rows, and more than one timed write
constexpr int kRounds = 7;

// Seconds per frame of one capture of kFrames, the journal on or off.
double SecondsPerFrame(const std::string& base, bool journal) {
    const std::string folder = base + "\\journal";
    const std::string blocker = folder + "\\take.journal";
    CreateDirectoryA(folder.c_str(), nullptr);
    if (!journal)
        CreateDirectoryA(blocker.c_str(), nullptr);
    WriteIni("filename=" + folder + "\\take\r\nfastwrite=1\r\nbuffer=0\r\nrequest=3\r\n" +
             "divide=0\r\nquiet=1\r\n");
    double perFrame = 0;
    HIC hic = ICOpen(ICTYPE_VIDEO, kKest, ICMODE_COMPRESS);
    if (hic) {
        BITMAPINFOHEADER in = Bitmap({64, 32}, kYuy2, 16); // one page
        std::vector<uint8_t> format(size_t(ICCompressGetFormatSize(hic, &in)));
        ICCompressGetFormat(hic, &in, format.data());
        auto* out = reinterpret_cast<BITMAPINFOHEADER*>(format.data());
        const DWORD negotiated = out->biSizeImage;
        if (ICCompressBegin(hic, &in, out) == ICERR_OK) {
            Pages image(in.biSizeImage);
            std::vector<uint8_t> record(size_t(ICCompressGetSize(hic, &in, out)));
            const double start = Now();
            int k = 0;
            for (DWORD ckid, flags; k < kFrames; ++k) {
                out->biSizeImage = negotiated;
                if (ICCompress(hic, 0, out, record.data(), &in, image.p, &ckid, &flags, k, 0, 0,
                               nullptr, nullptr) != ICERR_OK)
                    break;
            }
            perFrame = k == kFrames ? (Now() - start) / kFrames : 0;
            ICCompressEnd(hic);
        }
    }
    if (hic)
        ICClose(hic);
    for (const char* name : {"take.000", "take.take", "take.journal"})
        DeleteFileA((folder + "\\" + name).c_str());
    RemoveDirectoryA(blocker.c_str());
    RemoveDirectoryA(folder.c_str());
    return perFrame;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double Best(const std::vector<double>& v) {
    return *std::min_element(v.begin(), v.end());
}

} // namespace

void JournalCostRow(const std::string& folder) {
    const std::string base = folder + "diskbench-journal";
    CreateDirectoryA(base.c_str(), nullptr);
    std::vector<double> with, without;
    // Alternated, so that a machine busy for a while weighs on both alike.
    for (int round = 0; round < kRounds; ++round) {
        without.push_back(SecondsPerFrame(base, false));
        with.push_back(SecondsPerFrame(base, true));
    }
    RemoveDirectoryA(base.c_str());
    const double on = Best(with), off = Best(without);
    if (on <= 0 || off <= 0) {
        std::printf("journal cost: a capture failed\n");
        return;
    }
    const double differenceUs = (on - off) * 1e6, noiseUs = (Median(without) - off) * 1e6;
    const double boundUs = std::max(differenceUs, 0.0) + noiseUs, frameUs = 1e6 / 60;
    std::printf("journal: best runs %.2f us a frame with it, %.2f us without: %+.2f us (a run "
                "without it disturbed by %.2f us); at most %.2f us, %.3f %% of a 4K60 frame's "
                "%.0f us\n",
                on * 1e6, off * 1e6, differenceUs, noiseUs, boundUs, boundUs / frameUs * 100,
                frameUs);
    std::printf("BENCH|codec time per frame with the journal|%.2f|us|without it|%.2f\n", on * 1e6,
                off * 1e6);
    std::printf("BENCH|journal cost per frame, at most|%.2f|us|4K60 frame time|%.0f\n", boundUs,
                frameUs);
    std::fflush(stdout);
}

} // namespace diskbench
