#include "formats/ChainedCodecs.h"

#include <cctype>

namespace kestro {

namespace {

// Chaining to this codec itself would recurse without end through the codec manager, which
// finds codes without regard to case.
bool IsOwnCode(uint32_t code) {
    for (int i = 0; i < 4; ++i) {
        char c = char(std::toupper(int((code >> (8 * i)) & 0xFF)));
        if (c != "KEST"[i])
            return false;
    }
    return true;
}

} // namespace

ChainedCodecs::~ChainedCodecs() {
    CloseCompressor();
    CloseDecompressor();
}

bool ChainedCodecs::OpenCompressor(uint32_t code) {
    // A handle opened before the sheet changed the choice answers for the old codec; a running
    // capture keeps the one it began with.
    if (hicCompressor) {
        if (code == compressorCode || compressorHeld)
            return true;
        CloseCompressor();
    }
    if (code == 0 || IsOwnCode(code))
        return false;
    hicCompressor = ICOpen(ICTYPE_VIDEO, code, ICMODE_COMPRESS);
    compressorCode = hicCompressor ? code : 0;
    return hicCompressor != nullptr;
}

bool ChainedCodecs::OpenDecompressor(uint32_t handler) {
    if (hicDecompressor && handler == decompressorCode)
        return true;
    if (handler == 0 || IsOwnCode(handler))
        return false;
    // A chained run decodes with its codec until it ends or begins again; a question about a
    // stream of another codec meanwhile is answered by AskDecompressor.
    if (hicDecompressor && decompressorHeld)
        return false;
    CloseDecompressor();
    hicDecompressor = ICOpen(ICTYPE_VIDEO, handler, ICMODE_DECOMPRESS);
    decompressorCode = hicDecompressor ? handler : 0;
    return hicDecompressor != nullptr;
}

LRESULT ChainedCodecs::AskDecompressor(uint32_t handler, UINT message, const void* a,
                                       const void* b) {
    auto ask = [&](HIC hic) {
        return LRESULT(ICSendMessage(hic, message, reinterpret_cast<DWORD_PTR>(a),
                                     reinterpret_cast<DWORD_PTR>(b)));
    };
    if (OpenDecompressor(handler))
        return ask(hicDecompressor);
    if (handler == 0 || IsOwnCode(handler) || !hicDecompressor)
        return ICERR_BADFORMAT;
    // The running chained playback keeps its codec: this stream's codec answers on a handle of
    // its own, for this question only.
    HIC once = ICOpen(ICTYPE_VIDEO, handler, ICMODE_DECOMPRESS);
    if (!once)
        return ICERR_BADFORMAT;
    LRESULT result = ask(once);
    ICClose(once);
    return result;
}

void ChainedCodecs::CloseCompressor() {
    if (hicCompressor) {
        ICClose(hicCompressor);
        hicCompressor = nullptr;
    }
}

void ChainedCodecs::CloseDecompressor() {
    if (hicDecompressor) {
        ICClose(hicDecompressor);
        hicDecompressor = nullptr;
    }
    decompressorCode = 0;
}

} // namespace kestro
