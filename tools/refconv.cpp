// Reference converter for checking decoded frames: raw 4:2:2 frames on standard input, raw RGB
// frames (blue-green-red[-zero], top row first, as "kestro-host play --as rgb24|rgb32" writes
// them) on standard output. Built natively; shares no code with the codec's converters.
//   refconv yuy2|uyvy rgb24|rgb32 WIDTHxHEIGHT < in > out
#include <cstdio>
#include <string>
#include <vector>

#include "kestro-host/RawFrames.h"
#include "pure/PixelFormats.h"

int main(int argc, char** argv) {
    using namespace host;
    if (argc != 4) {
        std::fprintf(stderr, "usage: refconv yuy2|uyvy rgb24|rgb32 WIDTHxHEIGHT < in > out\n");
        return 2;
    }
    const auto from = ParseRawKind(argv[1]), to = ParseRawKind(argv[2]);
    const auto size = ParseFrameSize(argv[3]);
    if (!from || !to || !size || kestro::FormatOf(*from)->layout != kestro::Layout::Packed422 ||
        (*to != kestro::KIND_RGB24 && *to != kestro::KIND_RGB32) || SizeProblem(*from, *size)) {
        std::fprintf(stderr, "refconv: bad arguments\n");
        return 2;
    }
    const uint32_t bpp = BitsPerPixel(*to) / 8;
    std::vector<uint8_t> in(RawFrameBytes(*from, *size)), out(RawFrameBytes(*to, *size));
    unsigned long frames = 0;
    size_t got;
    while ((got = std::fread(in.data(), 1, in.size(), stdin)) == in.size()) {
        ReferenceYuvToRgb(in.data(), out.data(), *size, *from, bpp, false);
        if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size()) {
            std::fprintf(stderr, "refconv: write failed\n");
            return 1;
        }
        ++frames;
    }
    if (got != 0) {
        std::fprintf(stderr, "refconv: input ends inside frame %lu\n", frames);
        return 1;
    }
    return 0;
}
