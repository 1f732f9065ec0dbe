#include <cstring>
#include <new>

#include "edge/Win32Edge.h"
#include "playback/PlaybackRun.h"
#include "pure/StreamFormat.h"
#include "pure/ReadPlan.h"

using namespace kestro;

PlaybackRun::PlaybackRun(CCodecSettings* shared, PlaybackContext& owner)
    : settings(shared), instance(owner) {
    readSlots[0].index = 0;
    readSlots[1].index = 1;
}

PlaybackRun::~PlaybackRun() {
    ReleaseReadSlots();
    CloseReadFile();
}

LRESULT PlaybackRun::Begin(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out) {
    if (instance.DecompressQuery(in, out) != ICERR_OK)
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

    pageSize = SystemPageSize();
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
    if (fast && *slotBytes > UINT32_MAX - pageSize)
        return ICERR_BADFORMAT;
    for (int i = 0; i < (fast ? 2 : 1); ++i) {
        readSlots[i].size = *slotBytes;
        readSlots[i].buffer = AllocatePages(size_t(*slotBytes) + (fast ? pageSize : 0));
        if (!readSlots[i].buffer)
            return ICERR_BADFORMAT;
        if (fast)
            readSlots[i].overlapped =
                reinterpret_cast<OVERLAPPED*>(readSlots[i].buffer + *slotBytes);
    }

    if (stream->biChainHandler != 0) {
        // The previous run is over: a stream of another codec gets that codec from here on.
        if (!instance.OpenChainedDecompressor(stream->biChainHandler))
            return ICERR_BADFORMAT;
        readChainFormat = new (std::nothrow) uint8_t[stream->biChainFormatSize];
        if (!readChainFormat)
            return ICERR_BADFORMAT;
        std::memcpy(readChainFormat, ChainFormatOf(in, *stream), stream->biChainFormatSize);
        frameReader = fast ? &PlaybackRun::ReadFastChained : &PlaybackRun::ReadPlainChained;
    } else {
        sourceKind = ClassifyPixelKind(stream->biSourceCompression, stream->biBitCount);
        outputKind = KindOf(*output);
        auto conversion = PlanRawConversion(sourceKind, stream->biHeight, outputKind,
                                            output->biHeight, output->biWidth, readRowsPadded);
        // Kinds the stream does not know (the query lets them through) fail every frame.
        readConversion = conversion ? *conversion : RawConversion{};
        frameReader = fast ? &PlaybackRun::ReadFastRaw : &PlaybackRun::ReadPlainRaw;
    }
    readWidth = output->biWidth;
    readHeight = output->biHeight;
    readBitCount = output->biBitCount;
    readImageBytes = *imageBytes;
    decompressActive = true;
    return ICERR_OK;
}

LRESULT PlaybackRun::Frame(ICDECOMPRESS* icd) {
    if (!icd)
        return ICERR_BADFORMAT;
    // Hosts may skip the begin message; a begin that failed left no reader either.
    if ((!decompressActive || !frameReader) && Begin(icd->lpbiInput, icd->lpbiOutput) != ICERR_OK)
        return ICERR_BADFORMAT;
    // A run that has begun still reads each frame's formats, so they are checked each time.
    if (!icd->lpInput || !icd->lpOutput || !ReadStreamFormat(icd->lpbiInput) ||
        !OutputMatchesRun(icd->lpbiOutput))
        return ICERR_BADFORMAT;
    return (this->*frameReader)(icd) ? ICERR_OK : ICERR_BADFORMAT;
}

LRESULT PlaybackRun::End() {
    ReleaseReadSlots();
    CloseReadFile();
    instance.CloseChainedDecompressor();
    decompressActive = false;
    return ICERR_OK;
}

void PlaybackRun::ReleaseReadSlots() {
    CollectPendingRead();
    for (ReadSlot& slot : readSlots) {
        FreePages(slot.buffer);
        slot.overlapped = nullptr;
    }
    delete[] readChainFormat;
    readChainFormat = nullptr;
}

void PlaybackRun::CloseReadFile() {
    // The outstanding read targets a slot buffer; it must be over before the file goes.
    CollectPendingRead();
    CloseObject(hReadPort);
    std::memset(readFileName, 0, sizeof readFileName);
    CloseFile(hReadFile);
    readFileSize = 0;
}

bool PlaybackRun::OutputMatchesRun(const BITMAPINFOHEADER* out) const {
    auto header = ReadBitmapHeader(out);
    // The host may declare a smaller picture for a frame than for the run: the frame is refused
    // rather than written past the buffer that size describes.
    return header && header->biWidth == readWidth && header->biHeight == readHeight &&
           header->biBitCount == readBitCount &&
           (header->biSizeImage == 0 || header->biSizeImage >= readImageBytes);
}

void PlaybackRun::ClearFrame(ICDECOMPRESS* icd) {
    if (icd->lpOutput)
        std::memset(icd->lpOutput, 0, readImageBytes);
}
