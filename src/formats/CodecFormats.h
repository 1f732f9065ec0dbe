#pragma once
#include <windows.h>
#include <vfw.h>

#include <cstdint>

#include "settings/CodecSettings.h"

namespace kestro {

// Whether a run holds a chained codec: a question asked meanwhile must not close it under the run.
class ChainedCodecUse {
public:
    // A capture run has begun: its compressor stays the one it began with.
    virtual bool CompressorHeld() const = 0;
    // A chained playback run decodes with the open decompressor.
    virtual bool DecompressorHeld() const = 0;

protected:
    ~ChainedCodecUse() = default;
};

// The format questions of one codec instance and the chained codecs they open, answered from the
// settings that every instance shares. Opened for a question, a chained codec stays open for the
// run that follows.
class CodecFormats {
public:
    CodecFormats(CCodecSettings* shared, const ChainedCodecUse& runs);
    ~CodecFormats();
    CodecFormats(const CodecFormats&) = delete;
    CodecFormats& operator=(const CodecFormats&) = delete;

    // Negotiation (src/formats/CodecFormatsNegotiation.cpp).
    LRESULT CompressQuery(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out);
    LRESULT CompressGetFormat(const BITMAPINFOHEADER* in, BITMAPINFOHEADER* out);
    LRESULT CompressGetSize(const BITMAPINFOHEADER* in);
    LRESULT DecompressQuery(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out);
    LRESULT DecompressGetFormat(const BITMAPINFOHEADER* in, BITMAPINFOHEADER* out);

    // Chained codec calls (src/formats/CodecFormatsChained.cpp).
    bool OpenChainedCompressor();
    bool OpenChainedDecompressor(uint32_t handler);
    // Asks the decompressor of `handler` without disturbing a run that decodes with another.
    LRESULT AskChainedDecompressor(uint32_t handler, UINT message, const void* a, const void* b);
    void CloseChainedCompressor();
    void CloseChainedDecompressor();

    HIC Compressor() const { return hicCompressor; }
    uint32_t CompressorCode() const { return compressorCode; }
    HIC Decompressor() const { return hicDecompressor; }

private:
    LRESULT CompressInputCheck(const BITMAPINFOHEADER* in);
    LRESULT DecompressInputCheck(const BITMAPINFOHEADER* in);

    CCodecSettings* settings;
    const ChainedCodecUse& runs;
    HIC hicCompressor = nullptr;
    HIC hicDecompressor = nullptr;
    // The codes the chained handles were opened for: a handle left open under an earlier choice
    // answers for the old codec.
    uint32_t compressorCode = 0;
    uint32_t decompressorCode = 0;
};

} // namespace kestro
