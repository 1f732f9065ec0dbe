#pragma once
#include <windows.h>
#include <vfw.h>

#include <cstdint>

#include "formats/ChainedCodecs.h"
#include "settings/CodecSettings.h"

namespace kestro {

// The format questions of one codec instance and the chained codecs they open, answered from the
// settings that every instance shares. Opened for a question, a chained codec stays open for the
// run that follows.
class CodecFormats {
public:
    CodecFormats(CCodecSettings* shared, ChainedCodecs& chained);
    CodecFormats(const CodecFormats&) = delete;
    CodecFormats& operator=(const CodecFormats&) = delete;

    // Negotiation.
    LRESULT CompressQuery(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out);
    LRESULT CompressGetFormat(const BITMAPINFOHEADER* in, BITMAPINFOHEADER* out);
    LRESULT CompressGetSize(const BITMAPINFOHEADER* in);
    LRESULT DecompressQuery(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out);
    LRESULT DecompressGetFormat(const BITMAPINFOHEADER* in, BITMAPINFOHEADER* out);

    // Opens the chained compressor of the current choice; false when none opens.
    bool OpenChainedCompressor();

private:
    LRESULT CompressInputCheck(const BITMAPINFOHEADER* in);
    LRESULT DecompressInputCheck(const BITMAPINFOHEADER* in);

    CCodecSettings* settings;
    ChainedCodecs& chained;
};

} // namespace kestro
