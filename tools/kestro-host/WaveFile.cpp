#include "WaveFile.h"

#include <cstring>

namespace host {

namespace {

uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t Le16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatFloat = 3;
constexpr uint16_t kFormatExtensible = 0xFFFE;

std::string CheckFormat(const uint8_t* fmt, uint32_t bytes, WaveLayout& out) {
    if (bytes < 16)
        return "its fmt chunk has " + std::to_string(bytes) +
               " bytes, fewer than the 16 of a "
               "wave format";
    const uint16_t tag = Le16(fmt);
    out.channels = Le16(fmt + 2);
    out.samplesPerSecond = Le32(fmt + 4);
    out.bytesPerSecond = Le32(fmt + 8);
    out.blockAlign = Le16(fmt + 12);
    out.bitsPerSample = Le16(fmt + 14);
    if (out.channels == 0 || out.samplesPerSecond == 0 || out.blockAlign == 0 ||
        out.bytesPerSecond == 0)
        return "its format declares " + std::to_string(out.channels) + " channels, " +
               std::to_string(out.samplesPerSecond) + " samples/s, " +
               std::to_string(out.bytesPerSecond) + " bytes/s and blocks of " +
               std::to_string(out.blockAlign) + " bytes: none of them may be 0";
    if (out.samplesPerSecond > 1000000)
        return "its rate of " + std::to_string(out.samplesPerSecond) +
               " samples per second is above 1000000";
    // Sample-exact interleaving needs a block per sample frame: the uncompressed formats.
    if (tag != kFormatPcm && tag != kFormatFloat && tag != kFormatExtensible)
        return "its samples are compressed (format tag " + std::to_string(tag) +
               "); only PCM or floating-point samples can be interleaved";
    if (uint64_t(out.samplesPerSecond) * out.blockAlign != out.bytesPerSecond)
        return "its bytes per second (" + std::to_string(out.bytesPerSecond) +
               ") are not its rate times its block size (" + std::to_string(out.samplesPerSecond) +
               " x " + std::to_string(out.blockAlign) + ")";
    // The stored format carries cbSize (a 16-byte PCM chunk gets it as 0) and what it announces.
    uint32_t keep = 16;
    if (bytes >= 18) {
        const uint32_t extra = Le16(fmt + 16);
        if (18 + extra > bytes)
            return tag == kFormatExtensible ? std::string("its extensible format is cut short")
                                            : "its format announces " + std::to_string(extra) +
                                                  " extra bytes, more than its fmt chunk of " +
                                                  std::to_string(bytes) + " holds";
        keep = 18 + extra;
    } else if (tag == kFormatExtensible) {
        return "its extensible format is cut short";
    }
    out.format.assign(fmt, fmt + keep);
    if (out.format.size() < 18)
        out.format.resize(18, 0);
    return {};
}

} // namespace

std::string ParseWave(const uint8_t* head, size_t headBytes, uint64_t fileBytes, WaveLayout& out) {
    out = {};
    if (headBytes > fileBytes)
        headBytes = size_t(fileBytes);
    if (headBytes < 12 || std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4))
        return "it is not a WAV file (no RIFF/WAVE header)";
    bool haveFormat = false;
    uint64_t at = 12;
    while (at + 8 <= headBytes) {
        const uint8_t* chunk = head + at;
        const uint32_t bytes = Le32(chunk + 4);
        const uint64_t body = at + 8;
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (body + bytes > headBytes)
                return "its fmt chunk at byte " + std::to_string(at) +
                       " runs past the end of "
                       "the file";
            if (std::string why = CheckFormat(chunk + 8, bytes, out); !why.empty())
                return why;
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat)
                return "its data chunk comes before any fmt chunk";
            if (body + bytes > fileBytes)
                return "its data chunk claims " + std::to_string(bytes) +
                       " bytes but the file "
                       "ends " +
                       std::to_string(fileBytes - body) +
                       " bytes after its start "
                       "(truncated?)";
            out.dataOffset = body;
            out.dataBytes = bytes - bytes % out.blockAlign;
            return {};
        }
        at = body + bytes + (bytes & 1);
    }
    if (!haveFormat)
        return "it has no fmt chunk";
    return "no data chunk starts in its first " + std::to_string(headBytes) + " bytes";
}

uint64_t AudioBlocksBefore(uint64_t frames, uint32_t blocksPerSecond, uint32_t rate,
                           uint32_t scale) {
    if (rate == 0)
        return 0;
    // frames < 2^32, blocks/s <= 10^6 < 2^20, scale < 2^11 (the capture uses 1 or 1000): no
    // overflow in 64 bits.
    return frames * blocksPerSecond * uint64_t(scale) / rate;
}

} // namespace host
