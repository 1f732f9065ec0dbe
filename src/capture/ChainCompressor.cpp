#include "capture/ChainCompressor.h"

#include <cstring>
#include <new>

#include "edge/Win32Edge.h"
#include "pure/CaptureRules.h"
#include "pure/StreamFormat.h"

using namespace kestro;

bool ChainCompressor::Begin(HIC hic, const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out,
                            uint32_t writeBytes, uint32_t page) {
    compressor = hic;
    pageSize = page;
    const void* source = out;
    uint32_t size = kBitmapHeaderBytes;
    if (out->biSize >= kStreamHeaderBytes) {
        auto stream = ReadStreamFormat(out);
        if (!stream)
            return false;
        if (stream->biChainFormatSize != 0) {
            // The chained codec writes biSizeImage into the copy: it must hold a whole header.
            if (stream->biChainFormatSize < kBitmapHeaderBytes)
                return false;
            source = ChainFormatOf(out, *stream);
            size = stream->biChainFormatSize;
        }
    }
    auto* copy = static_cast<uint8_t*>(::operator new(size_t(size) + 1, std::nothrow));
    if (!copy)
        return false;
    std::memcpy(copy, source, size);
    copy[size] = 0;
    outputFormat = reinterpret_cast<BITMAPINFOHEADER*>(copy);

    if (ICSendMessage(compressor, ICM_COMPRESS_BEGIN, DWORD_PTR(in), DWORD_PTR(outputFormat)) ==
        ICERR_BADFORMAT)
        return false;
    LRESULT largest =
        ICSendMessage(compressor, ICM_COMPRESS_GET_SIZE, DWORD_PTR(in), DWORD_PTR(outputFormat));
    bufferBytes = ChainBufferBytes(writeBytes, largest, pageSize);
    if (bufferBytes == 0 && writeBytes != 0)
        return false;
    buffer = AllocatePages(bufferBytes);
    return buffer != nullptr;
}

std::optional<FrameSize> ChainCompressor::Compress(const ICCOMPRESS* icc, void* destination) {
    // Tell the codec how much room it has; it reports what it used in the same field.
    outputFormat->biSizeImage = bufferBytes;
    DWORD ckid = 0;
    DWORD flags = 0;
    if (ICCompress(compressor, 0, outputFormat, destination, icc->lpbiInput, icc->lpInput, &ckid,
                   &flags, 0, 0, 0, nullptr, nullptr) != ICERR_OK)
        return std::nullopt;
    uint32_t produced = outputFormat->biSizeImage;
    if (produced > bufferBytes)
        return std::nullopt;
    return FrameSize{produced, uint32_t(RoundUpToPage(produced, pageSize))};
}

void ChainCompressor::Release() {
    FreePages(buffer);
    if (outputFormat) {
        ::operator delete(outputFormat);
        outputFormat = nullptr;
    }
    compressor = nullptr;
}
