// The WAV reader of capture --audio meets files nobody here wrote: every cut and thousands of
// scrambled headers, each ending exactly at an inaccessible page.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "GuardedBuffer.h"
#include "WaveFile.h"

using host::AudioBlocksBefore;
using host::ParseWave;
using host::WaveLayout;

namespace {

using Bytes = std::vector<uint8_t>;

void Put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(uint8_t(v >> (8 * i)));
}
void Put16(Bytes& b, uint16_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void Tag(Bytes& b, const char* t) {
    for (int i = 0; i < 4; ++i)
        b.push_back(uint8_t(t[i]));
}

// RIFF/WAVE with a 16-byte PCM fmt chunk, an odd-sized chunk (with its pad byte) before the
// samples, and `samples` bytes of data.
Bytes MakeWave(uint32_t samples, uint16_t channels = 2, uint32_t rate = 44100) {
    Bytes b;
    Tag(b, "RIFF");
    Put32(b, 0);
    Tag(b, "WAVE");
    Tag(b, "fmt ");
    Put32(b, 16);
    Put16(b, 1);
    Put16(b, channels);
    Put32(b, rate);
    Put32(b, rate * channels * 2);
    Put16(b, uint16_t(channels * 2));
    Put16(b, 16);
    Tag(b, "junk");
    Put32(b, 3);
    b.insert(b.end(), {'a', 'b', 'c', 0}); // three bytes and the pad byte
    Tag(b, "data");
    Put32(b, samples);
    for (uint32_t i = 0; i < samples; ++i)
        b.push_back(uint8_t(i * 7 + 1));
    const uint32_t riff = uint32_t(b.size() - 8);
    std::memcpy(b.data() + 4, &riff, 4);
    return b;
}

// Parses `bytes` placed against a guard page, as the head of a file of `fileBytes`.
std::string ParseGuarded(const Bytes& bytes, uint64_t fileBytes, WaveLayout& out) {
    kt::GuardedBuffer guarded(bytes.size());
    if (!bytes.empty())
        guarded.fill(bytes.data(), bytes.size());
    return ParseWave(guarded.data(), bytes.size(), fileBytes, out);
}

// What a layout that the reader accepted must promise the capture.
void ExpectSound(const WaveLayout& w, uint64_t fileBytes) {
    ASSERT_GT(w.blockAlign, 0);
    ASSERT_GT(w.channels, 0);
    EXPECT_EQ(uint64_t(w.samplesPerSecond) * w.blockAlign, w.bytesPerSecond);
    EXPECT_EQ(w.dataBytes % w.blockAlign, 0u);
    EXPECT_LE(w.dataOffset + w.dataBytes, fileBytes);
    ASSERT_GE(w.format.size(), 18u);
    uint16_t cb;
    std::memcpy(&cb, w.format.data() + 16, 2);
    EXPECT_EQ(w.format.size(), 18u + cb) << "the stored format must hold what cbSize announces";
}

} // namespace

TEST(WaveFile, FindsTheSamplesBehindAnOddSizedChunk) {
    const Bytes wave = MakeWave(4 * 100 + 3); // a partial block at the end
    WaveLayout w;
    ASSERT_EQ(ParseGuarded(wave, wave.size(), w), "");
    EXPECT_EQ(w.dataOffset, wave.size() - (4 * 100 + 3));
    EXPECT_EQ(w.dataBytes, 400u) << "only whole blocks are interleaved";
    EXPECT_EQ(w.Blocks(), 100u);
    EXPECT_EQ(w.channels, 2);
    EXPECT_EQ(w.samplesPerSecond, 44100u);
    ExpectSound(w, wave.size());
}

TEST(WaveFile, EveryCutIsRefusedOrReadWithinTheCut) {
    const Bytes wave = MakeWave(64);
    for (size_t n = 0; n <= wave.size(); ++n) {
        const Bytes cut(wave.begin(), wave.begin() + ptrdiff_t(n));
        WaveLayout w;
        // The head is cut at n; the file is either cut there too or longer.
        for (uint64_t fileBytes : {uint64_t(n), uint64_t(wave.size())}) {
            const std::string why = ParseGuarded(cut, fileBytes, w);
            if (why.empty()) {
                ExpectSound(w, fileBytes);
                EXPECT_LE(w.dataOffset, n) << "cut at " << n;
            } else if (fileBytes == n && n >= 56 && n < wave.size()) {
                EXPECT_NE(why.find("truncated"), std::string::npos) << n << ": " << why;
            }
        }
    }
}

TEST(WaveFile, ScrambledHeadersNeverReadPastTheirBytes) {
    const Bytes wave = MakeWave(256);
    std::mt19937 random(20261208);
    int accepted = 0;
    for (int round = 0; round < 5000; ++round) {
        Bytes bytes = wave;
        const int flips = 1 + int(random() % 6);
        for (int f = 0; f < flips; ++f)
            bytes[random() % 64] = uint8_t(random());
        const size_t keep = round % 3 ? bytes.size() : random() % bytes.size();
        bytes.resize(keep);
        WaveLayout w;
        if (ParseGuarded(bytes, keep, w).empty()) {
            ++accepted;
            ExpectSound(w, keep);
        }
    }
    EXPECT_GT(accepted, 0) << "some flips leave a valid file: the check above must have run";
}

TEST(WaveFile, ExtensibleFormatsKeepTheirWholeFormat) {
    Bytes b;
    Tag(b, "RIFF");
    Put32(b, 0);
    Tag(b, "WAVE");
    Tag(b, "fmt ");
    Put32(b, 40);
    Put16(b, 0xFFFE);
    Put16(b, 1);
    Put32(b, 48000);
    Put32(b, 48000 * 3);
    Put16(b, 3);
    Put16(b, 24);
    Put16(b, 22);
    for (int i = 0; i < 22; ++i)
        b.push_back(uint8_t(i));
    Tag(b, "data");
    Put32(b, 30);
    b.resize(b.size() + 30, 0x55);
    WaveLayout w;
    ASSERT_EQ(ParseGuarded(b, b.size(), w), "");
    ASSERT_EQ(w.format.size(), 40u);
    EXPECT_EQ(0, std::memcmp(w.format.data(), b.data() + 20, 40));
    EXPECT_EQ(w.Blocks(), 10u);
    // The same format announcing more bytes than its chunk holds.
    b[20 + 16] = 30;
    EXPECT_NE(ParseGuarded(b, b.size(), w).find("cut short"), std::string::npos);
}

TEST(WaveFile, AudioSpansAddUpExactlyOverLongCaptures) {
    // 29.97 fps: spans are not whole numbers of samples; the sum never drifts.
    EXPECT_EQ(AudioBlocksBefore(30, 44100, 29970, 1000), 44144u);
    EXPECT_EQ(AudioBlocksBefore(107892, 48000, 30000, 1001), 172799827u); // one hour
    // The largest frame count at the largest rate stays inside 64 bits.
    EXPECT_EQ(AudioBlocksBefore(0xffffffffull, 1000000, 30000, 1001), 143308742076500ull);
    EXPECT_EQ(AudioBlocksBefore(10, 48000, 0, 1), 0u);
}
