#include "driver/CodecInstance.h"

#include <cctype>

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

bool CCodecInstance::OpenChainedCompressor() {
    uint32_t code = settings ? uint32_t(settings->fourcc) : 0;
    // A handle opened before the sheet changed the choice answers for the old codec; a running
    // capture keeps the one it began with.
    if (hicCompressor) {
        if (code == compressorCode || compressActive)
            return true;
        CloseChainedCompressor();
    }
    if (code == 0 || IsOwnCode(code))
        return false;
    hicCompressor = ICOpen(ICTYPE_VIDEO, code, ICMODE_COMPRESS);
    compressorCode = hicCompressor ? code : 0;
    return hicCompressor != nullptr;
}

bool CCodecInstance::OpenChainedDecompressor(uint32_t handler) {
    if (hicDecompressor)
        return true;
    if (handler == 0 || IsOwnCode(handler))
        return false;
    hicDecompressor = ICOpen(ICTYPE_VIDEO, handler, ICMODE_DECOMPRESS);
    return hicDecompressor != nullptr;
}

void CCodecInstance::CloseChainedCompressor() {
    if (hicCompressor) {
        ICClose(hicCompressor);
        hicCompressor = nullptr;
    }
}

void CCodecInstance::CloseChainedDecompressor() {
    if (hicDecompressor) {
        ICClose(hicDecompressor);
        hicDecompressor = nullptr;
    }
}
