#pragma once
// Builds KEST capture AVIs and their data files the way capture hosts lay them out, for the
// native tests and the export bench.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pure/StreamFormat.h"

namespace synth {

struct Audio {
    uint16_t channels = 2;
    uint32_t sampleRate = 48000;
    uint16_t bitsPerSample = 16;
    std::vector<std::vector<uint8_t>> chunks; // one chunk after each video frame, while there are
};

struct AviPlan {
    std::vector<uint8_t> format; // the KEST stream format, 52 + n bytes
    uint32_t scale = 1, rate = 30, start = 0;
    std::optional<uint32_t> length; // the stream header's frame count; else the records'
    std::vector<std::vector<uint8_t>> records; // one chunk per frame
    bool recLists = false;                     // each frame (and its audio) in a LIST rec
    bool idx1 = true;
    bool odml = false; // OpenDML indexes too: an indx per stream, an ix## per stream in movi
    Audio audio;
    bool withAudio = false;
};

std::vector<uint8_t> BuildAvi(const AviPlan& plan);

// Sets one 32-bit field of stream `stream`'s header in a built AVI: 20 scale, 24 rate, 28 start,
// 32 length, 36 suggested buffer size.
void PatchStreamHeader(std::vector<uint8_t>& avi, int stream, size_t field, uint32_t value);

std::vector<uint8_t> StreamFormat(int32_t width, int32_t height, uint32_t sourceCompression,
                                  uint16_t bitCount, uint32_t chainHandler = 0,
                                  const std::vector<uint8_t>& chainFormat = {});

std::vector<uint8_t> Record(uint64_t offset, uint32_t size, const std::string& path);

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadFile(const std::string& path);

} // namespace synth
