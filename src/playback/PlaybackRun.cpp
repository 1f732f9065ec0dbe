#include <cstring>
#include <new>

#include "driver/CodecInstance.h"
#include "pure/StreamFormat.h"
#include "pure/ReadPlan.h"

using namespace kestro;

namespace {

uint8_t* AllocatePages(uint32_t bytes) {
    return static_cast<uint8_t*>(VirtualAlloc(nullptr, bytes, MEM_COMMIT, PAGE_READWRITE));
}

} // namespace

LRESULT CCodecInstance::BeginPlayback(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out) {
    if (DecompressQuery(in, out) != ICERR_OK)
        return ICERR_BADFORMAT;
    // The query accepts a missing output format; a run needs one to size its buffers.
    auto output = ReadBitmapHeader(out);
    auto stream = ReadStreamFormat(in);
    if (!output || !stream)
        return ICERR_BADFORMAT;

    // A top-down output picture counts its rows like a bottom-up one.
    auto imageBytes = DibImageBytes(output->biWidth, output->biHeight, output->biBitCount);
    if (!imageBytes)
        return ICERR_BADFORMAT;
    bool padded = true;
    if (output->biSizeImage != 0 && output->biSizeImage < *imageBytes) {
        // Hosts lay out DIB rows padded to 4 bytes; one that declares the unpadded size this codec
        // reports gets unpadded rows. Any other smaller size cannot hold the picture.
        auto tightBytes = PictureBytes(output->biWidth, output->biHeight, output->biBitCount);
        if (!tightBytes || output->biSizeImage != *tightBytes)
            return ICERR_BADFORMAT;
        imageBytes = tightBytes;
        padded = false;
    }

    ReleaseReadSlots();
    CloseReadFile();
    // Until this begin succeeds no reader may touch the released buffers.
    frameReader = nullptr;

    SYSTEM_INFO system;
    GetSystemInfo(&system);
    pageSize = system.dwPageSize;
    readAhead = 0;
    readRowsPadded = padded;

    auto slotBytes = SlotBytes(*imageBytes, pageSize);
    if (!slotBytes)
        return ICERR_BADFORMAT;

    const bool fast = settings->fastread;
    for (ReadSlot& slot : readSlots) {
        std::memset(&slot, 0, sizeof slot);
        slot.index = uint32_t(&slot - readSlots);
    }
    for (int i = 0; i < (fast ? 2 : 1); ++i) {
        readSlots[i].size = *slotBytes;
        readSlots[i].buffer = AllocatePages(*slotBytes);
        if (!readSlots[i].buffer)
            return ICERR_BADFORMAT;
    }

    if (stream->biChainHandler != 0) {
        // The previous run is over: a stream of another codec gets that codec from here on.
        if (!OpenChainedDecompressor(stream->biChainHandler))
            return ICERR_BADFORMAT;
        readChainFormat = new (std::nothrow) uint8_t[stream->biChainFormatSize];
        if (!readChainFormat)
            return ICERR_BADFORMAT;
        std::memcpy(readChainFormat, ChainFormatOf(in, *stream), stream->biChainFormatSize);
        frameReader = fast ? &CCodecInstance::ReadFastChained : &CCodecInstance::ReadPlainChained;
    } else {
        sourceKind = ClassifyPixelKind(stream->biSourceCompression, stream->biBitCount);
        outputKind = KindOf(*output);
        auto conversion = PlanRawConversion(sourceKind, stream->biHeight, outputKind,
                                            output->biHeight, output->biWidth, readRowsPadded);
        // Kinds the stream does not know (the query lets them through) fail every frame.
        readConversion = conversion ? *conversion : RawConversion{};
        frameReader = fast ? &CCodecInstance::ReadFastRaw : &CCodecInstance::ReadPlainRaw;
    }
    readWidth = output->biWidth;
    readHeight = output->biHeight;
    readBitCount = output->biBitCount;
    readImageBytes = *imageBytes;
    decompressActive = true;
    return ICERR_OK;
}

LRESULT CCodecInstance::DecompressFrame(ICDECOMPRESS* icd, DWORD) {
    if (!icd)
        return ICERR_BADFORMAT;
    // Hosts may skip the begin message; a begin that failed left no reader either.
    if ((!decompressActive || !frameReader) &&
        BeginPlayback(icd->lpbiInput, icd->lpbiOutput) != ICERR_OK)
        return ICERR_BADFORMAT;
    if (!icd->lpInput || !icd->lpOutput || !OutputMatchesRun(icd->lpbiOutput))
        return ICERR_BADFORMAT;
    return (this->*frameReader)(icd) ? ICERR_OK : ICERR_BADFORMAT;
}

LRESULT CCodecInstance::EndPlayback() {
    ReleaseReadSlots();
    CloseReadFile();
    CloseChainedDecompressor();
    decompressActive = false;
    return ICERR_OK;
}

void CCodecInstance::ReleaseReadSlots() {
    CollectPendingRead();
    for (ReadSlot& slot : readSlots) {
        if (slot.buffer) {
            VirtualFree(slot.buffer, 0, MEM_RELEASE);
            slot.buffer = nullptr;
        }
    }
    delete[] readChainFormat;
    readChainFormat = nullptr;
}

void CCodecInstance::CloseReadFile() {
    // The outstanding read targets a slot buffer; it must be over before the file goes.
    CollectPendingRead();
    if (hReadPort) {
        CloseHandle(hReadPort);
        hReadPort = nullptr;
    }
    std::memset(readFileName, 0, sizeof readFileName);
    if (hReadFile != INVALID_HANDLE_VALUE) {
        CloseHandle(hReadFile);
        hReadFile = INVALID_HANDLE_VALUE;
    }
    readFileSize = 0;
}

bool CCodecInstance::OutputMatchesRun(const BITMAPINFOHEADER* out) const {
    auto header = ReadBitmapHeader(out);
    // The host may declare a smaller picture for a frame than for the run: the frame is refused
    // rather than written past the buffer that size describes.
    return header && header->biWidth == readWidth && header->biHeight == readHeight &&
           header->biBitCount == readBitCount &&
           (header->biSizeImage == 0 || header->biSizeImage >= readImageBytes);
}

void CCodecInstance::ClearFrame(ICDECOMPRESS* icd) {
    if (icd->lpOutput)
        std::memset(icd->lpOutput, 0, readImageBytes);
}
