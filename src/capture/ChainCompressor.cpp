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
    outputFormat.reset(new (std::nothrow) uint8_t[size_t(size) + 1]);
    if (!outputFormat)
        return false;
    std::memcpy(outputFormat.get(), source, size);
    outputFormat[size] = 0;
    auto* format = reinterpret_cast<BITMAPINFOHEADER*>(outputFormat.get());

    if (ICSendMessage(compressor, ICM_COMPRESS_BEGIN, DWORD_PTR(in), DWORD_PTR(format)) ==
        ICERR_BADFORMAT)
        return false;
    LRESULT largest =
        ICSendMessage(compressor, ICM_COMPRESS_GET_SIZE, DWORD_PTR(in), DWORD_PTR(format));
    bufferBytes = ChainBufferBytes(writeBytes, largest, pageSize);
    if (bufferBytes == 0 && writeBytes != 0)
        return false;
    buffer = PageBuffer(bufferBytes);
    return bool(buffer);
}

std::optional<FrameSize> ChainCompressor::Compress(const ImageView& image, void* destination) {
    auto* format = reinterpret_cast<BITMAPINFOHEADER*>(outputFormat.get());
    // Tell the codec how much room it has; it reports what it used in the same field.
    format->biSizeImage = bufferBytes;
    DWORD ckid = 0;
    DWORD flags = 0;
    // The codec manager's call takes no const image; the codec only reads it.
    if (ICCompress(compressor, 0, format, destination, const_cast<BITMAPINFOHEADER*>(image.format),
                   const_cast<uint8_t*>(image.bits), &ckid, &flags, 0, 0, 0, nullptr,
                   nullptr) != ICERR_OK)
        return std::nullopt;
    uint32_t produced = format->biSizeImage;
    if (produced > bufferBytes)
        return std::nullopt;
    return FrameSize{produced, uint32_t(RoundUpToPage(produced, pageSize))};
}

void ChainCompressor::Release() {
    buffer.reset();
    outputFormat.reset();
    compressor = nullptr;
}
