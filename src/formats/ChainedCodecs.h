#pragma once
#include <windows.h>
#include <vfw.h>

#include <cstdint>

namespace kestro {

// The chained codecs of one codec instance: their handles, the codes they were opened for, and
// which run holds them. Negotiation opens one to ask it and it stays open for the run that follows;
// a question asked during a run must not close the codec under it.
class ChainedCodecs {
public:
    ChainedCodecs() = default;
    ~ChainedCodecs();
    ChainedCodecs(const ChainedCodecs&) = delete;
    ChainedCodecs& operator=(const ChainedCodecs&) = delete;

    // Opens the compressor of `code` (0: none), or keeps the open one.
    bool OpenCompressor(uint32_t code);
    // Opens the decompressor of `handler`, or keeps the one open for it.
    bool OpenDecompressor(uint32_t handler);
    // Asks the decompressor of `handler` without disturbing a run that decodes with another.
    LRESULT AskDecompressor(uint32_t handler, UINT message, const void* a, const void* b);
    void CloseCompressor();
    void CloseDecompressor();

    HIC Compressor() const { return hicCompressor; }
    uint32_t CompressorCode() const { return compressorCode; }
    HIC Decompressor() const { return hicDecompressor; }

    // A capture run has begun: its compressor stays the one it began with.
    void HoldCompressor(bool held) { compressorHeld = held; }
    // A chained playback run decodes with the open decompressor.
    void HoldDecompressor(bool held) { decompressorHeld = held; }

private:
    HIC hicCompressor = nullptr;
    HIC hicDecompressor = nullptr;
    // The codes the handles were opened for: a handle left open under an earlier choice answers
    // for the old codec.
    uint32_t compressorCode = 0;
    uint32_t decompressorCode = 0;
    bool compressorHeld = false;
    bool decompressorHeld = false;
};

} // namespace kestro
