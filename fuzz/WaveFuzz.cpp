// kestro-host's WAV reader on a file taken from the input (all of it, or its first bytes of a
// longer file), checked against what it promises: samples that begin inside the bytes it was
// given and end inside the file, whole blocks, a stored format that says what the fmt chunk
// said; and the format it keeps, written into a new file, reads back the same. The interleaving
// arithmetic is checked against exact 128-bit sums.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "WaveFile.h"

using host::WaveLayout;

namespace {

uint16_t Le16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}
uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

std::vector<uint8_t> Rewrite(const WaveLayout& w, uint32_t dataBytes) {
    fuzz::Writer out;
    out.Raw({'R', 'I', 'F', 'F'}).U32(0).Raw({'W', 'A', 'V', 'E'});
    out.Raw({'f', 'm', 't', ' '}).U32(uint32_t(w.format.size())).Raw(w.format);
    if (w.format.size() & 1)
        out.U8(0);
    out.Raw({'d', 'a', 't', 'a'}).U32(dataBytes);
    out.bytes.resize(out.bytes.size() + dataBytes, 0x11);
    return out.bytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Reader in(data, size);
    const uint8_t mode = in.U8();
    const uint32_t more = in.U32();
    const uint64_t frames = in.U32();
    const uint32_t rate = in.U32(), scale = in.U32();
    const std::vector<uint8_t> head = in.Rest();
    // The host reads the first bytes of a file that may go on beyond them.
    const uint64_t fileBytes = head.size() + ((mode & 1) ? more : 0);

    WaveLayout w;
    const std::string why = host::ParseWave(head.data(), head.size(), fileBytes, w);
    if (!why.empty())
        return 0;
    FUZZ_CHECK(w.dataOffset >= 20 && w.dataOffset <= head.size(), "samples start outside the head");
    FUZZ_CHECK(w.dataOffset + w.dataBytes <= fileBytes, "samples run past the file");
    FUZZ_CHECK(w.blockAlign && w.dataBytes % w.blockAlign == 0, "not whole blocks");
    FUZZ_CHECK(w.channels && w.samplesPerSecond && w.samplesPerSecond <= 1000000 &&
                   uint64_t(w.samplesPerSecond) * w.blockAlign == w.bytesPerSecond,
               "format numbers");
    FUZZ_CHECK(w.format.size() >= 18 && w.format.size() == 18u + Le16(w.format.data() + 16),
               "stored format size");
    const uint8_t* f = w.format.data();
    FUZZ_CHECK(Le16(f + 2) == w.channels && Le32(f + 4) == w.samplesPerSecond &&
                   Le32(f + 8) == w.bytesPerSecond && Le16(f + 12) == w.blockAlign &&
                   Le16(f + 14) == w.bitsPerSample,
               "stored format says otherwise");
    FUZZ_CHECK(w.Blocks() * w.blockAlign == w.dataBytes, "blocks");

    const uint32_t dataBytes = uint32_t(std::min<uint64_t>(w.dataBytes, 1u << 16));
    const auto again = Rewrite(w, dataBytes);
    WaveLayout v;
    const std::string whyNot = host::ParseWave(again.data(), again.size(), again.size(), v);
    FUZZ_CHECK(whyNot.empty(), "the kept format does not read back: " + whyNot);
    FUZZ_CHECK(v.format == w.format && v.channels == w.channels &&
                   v.samplesPerSecond == w.samplesPerSecond && v.blockAlign == w.blockAlign &&
                   v.bitsPerSample == w.bitsPerSample &&
                   v.dataBytes == dataBytes - dataBytes % w.blockAlign,
               "the kept format reads back otherwise");

    // The capture's frame rates: scale 1 or 1000 over rates up to 240 frames a second.
    if (rate && scale <= 2048) {
        const auto exact = [&](uint64_t n) {
            return uint64_t((unsigned __int128)n * w.samplesPerSecond * scale / rate);
        };
        const uint64_t n = frames;
        FUZZ_CHECK(host::AudioBlocksBefore(n, w.samplesPerSecond, rate, scale) == exact(n),
                   "blocks before frame " + std::to_string(n));
        FUZZ_CHECK(host::AudioBlocksBefore(n + 1, w.samplesPerSecond, rate, scale) >= exact(n),
                   "blocks go backwards");
    }
    return 0;
}
