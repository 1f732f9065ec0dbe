#pragma once
// A new, complete AVI made of chunks copied from another file: the header lists with true
// counts, one movi list, an idx1. Plain bytes only.
#include <cstdint>
#include <string>
#include <vector>

#include "AviRecords.h"

namespace kestro::avi {

struct RebuiltStream {
    uint32_t fccType = 0; // "vids", "auds"
    uint32_t fccHandler = 0;
    uint32_t scale = 1, rate = 1;
    uint32_t sampleSize = 0; // 0: a chunk is one sample (video); else bytes of one sample
    std::vector<uint8_t> format;
    int16_t width = 0, height = 0; // the frame rectangle, for video
};

struct RebuiltChunk {
    uint8_t stream = 0;       // index into the streams; it becomes the chunk id "NNdc"/"NNwb"
    uint64_t inputOffset = 0; // of the chunk's header in the input: its data is copied
    uint32_t size = 0;
};

struct RebuiltAvi {
    std::vector<RebuiltStream> streams; // the video stream first
    std::vector<RebuiltChunk> chunks;   // in the order they are to lie
};

// AVI 1.0 readers give up where an idx1 offset or a RIFF size passes this; larger outputs are
// refused rather than written in a form that only some readers read.
constexpr uint64_t kLargestRebuiltAvi = 1ull << 30;

// The output's size in bytes, known before anything is written.
uint64_t RebuiltAviBytes(const RebuiltAvi& avi);

// Writes the AVI into `out` (empty) from offset 0. False with `error` when a read of `in` or a
// write of `out` fails, or the output would be larger than kLargestRebuiltAvi.
bool WriteRebuiltAvi(ByteFile& in, ByteFile& out, const RebuiltAvi& avi, std::string& error);

} // namespace kestro::avi
