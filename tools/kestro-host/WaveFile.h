#pragma once
// The parts of a WAV file that a capture interleaves with its video: plain bytes, no <windows.h>.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace host {

struct WaveLayout {
    std::vector<uint8_t> format; // the fmt chunk as a WAVEFORMATEX (cbSize present, 18+ bytes)
    uint64_t dataOffset = 0;     // where the samples start in the file
    uint64_t dataBytes = 0;      // whole blocks only
    uint16_t channels = 0;
    uint32_t samplesPerSecond = 0;
    uint32_t bytesPerSecond = 0;
    uint16_t blockAlign = 0;
    uint16_t bitsPerSample = 0;
    uint64_t Blocks() const { return blockAlign ? dataBytes / blockAlign : 0; }
};

// Reads the chunk list at the start of a WAV file (`head` holds its first bytes, `fileBytes` is
// its whole length). On success fills `out` and returns an empty string; otherwise says what is
// wrong. The samples must begin inside `head`: chunks after the data are not looked at.
std::string ParseWave(const uint8_t* head, size_t headBytes, uint64_t fileBytes, WaveLayout& out);

// Blocks of audio that belong before the end of video frame `frames` (counted from 1) at
// rate/scale frames per second: floor(frames * blocksPerSecond * scale / rate).
uint64_t AudioBlocksBefore(uint64_t frames, uint32_t blocksPerSecond, uint32_t rate,
                           uint32_t scale);

} // namespace host
