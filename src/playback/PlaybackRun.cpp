#include <cstring>
#include <new>

#include "edge/Win32Edge.h"
#include "playback/PlaybackRun.h"
#include "pure/StreamFormat.h"
#include "pure/ReadPlan.h"

using namespace kestro;

PlaybackRun::PlaybackRun(CCodecSettings* shared, CodecFormats& formats, ChainedCodecs& chained)
    : settings(shared), formats(formats), chained(chained) {
    for (uint32_t i = 0; i < kMaxReadSlots; ++i)
        readSlots[i].index = i;
}

PlaybackRun::~PlaybackRun() {
    ReleaseReadSlots();
    CloseReadFile();
}

LRESULT PlaybackRun::Begin(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out) {
    if (formats.DecompressQuery(in, out) != ICERR_OK)
        return ICERR_BADFORMAT;
    // The query accepts a missing output format; a run needs one to size its buffers.
    auto output = ReadBitmapHeader(out);
    auto stream = ReadStreamFormat(in);
    if (!output || !stream)
        return ICERR_BADFORMAT;

    // A top-down output picture counts its rows like a bottom-up one.
    auto imageBytes = DibImageBytes(output->biWidth, output->biHeight, output->biBitCount);
    const PixelFormat* shown =
        FormatOf(ClassifyPixelKind(output->biCompression, output->biBitCount));
    if (shown && shown->layout == Layout::Packed10) { // whole blocks a row, and no other size
        imageBytes = StoredImageBytes(shown->kind, output->biWidth, output->biHeight);
        if (imageBytes && output->biSizeImage != 0 && output->biSizeImage != *imageBytes)
            return ICERR_BADFORMAT;
    }
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
    readRowsPadded = padded;
    runDataFileName = settings->filename;
    runChainedExtraPages = settings->chainedExtraPages;

    // A slot holds a stored frame as well as the picture made of it: a stored kind may take more
    // bytes than its output (RGB32 played as RGB24, v210 played as YUY2).
    uint32_t slotFor = *imageBytes;
    if (stream->biChainHandler == 0) {
        const PixelKind source = ClassifyPixelKind(stream->biSourceCompression, stream->biBitCount);
        const auto stored = StoredImageBytes(source, stream->biWidth, stream->biHeight);
        if (stored && *stored > slotFor)
            slotFor = *stored;
    }
    auto slotBytes = SlotBytes(slotFor, pageSize);
    if (!slotBytes)
        return ICERR_BADFORMAT;

    const bool fast = settings->fastread;
    if (fast && *slotBytes > UINT32_MAX - pageSize)
        return ICERR_BADFORMAT;
    // The settings record holds a depth in its range: loading it takes the default for any other.
    if (!AllocateReadSlots(fast ? uint32_t(settings->readahead) + 1 : 1, *slotBytes, fast))
        return ICERR_BADFORMAT;

    if (stream->biChainHandler != 0) {
        // The previous run is over: a stream of another codec gets that codec from here on.
        if (!chained.OpenDecompressor(stream->biChainHandler))
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
    NoteChainedHeld();
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
    chained.CloseDecompressor();
    decompressActive = false;
    NoteChainedHeld();
    return ICERR_OK;
}

// A fast run takes the frame's slot and one per read ahead; where memory runs short it reads
// less far ahead rather than not at all.
bool PlaybackRun::AllocateReadSlots(uint32_t count, uint32_t slotBytes, bool overlapped) {
    ahead = ReadAheadRing{};
    readSlotGivenUp = false;
    for (ReadSlot& slot : readSlots) {
        uint32_t index = slot.index;
        std::memset(&slot, 0, sizeof slot);
        slot.index = index;
    }
    // However the count came to be, the slots are what the array holds.
    for (uint32_t i = 0; i < count && i < kMaxReadSlots; ++i) {
        ReadSlot& slot = readSlots[i];
        slot.buffer = AllocatePages(size_t(slotBytes) + (overlapped ? pageSize : 0));
        if (!slot.buffer)
            break;
        slot.size = slotBytes;
        if (overlapped)
            slot.overlapped = reinterpret_cast<OVERLAPPED*>(slot.buffer + slotBytes);
        ahead.slots = i + 1;
    }
    ahead.depth = ahead.slots ? ahead.slots - 1 : 0;
    return ahead.slots >= (overlapped ? 2u : 1u);
}

void PlaybackRun::ReleaseReadSlots() {
    CollectPendingReads();
    for (ReadSlot& slot : readSlots) {
        FreePages(slot.buffer);
        slot.overlapped = nullptr;
    }
    ahead.slots = ahead.depth = 0;
    delete[] readChainFormat;
    readChainFormat = nullptr;
    NoteChainedHeld();
}

void PlaybackRun::NoteChainedHeld() {
    chained.HoldDecompressor(decompressActive && readChainFormat);
}

void PlaybackRun::CloseReadFile() {
    // The outstanding reads target slot buffers; they must be over before the file goes.
    CollectPendingReads();
    CloseObject(hReadPort);
    std::memset(readFileName, 0, sizeof readFileName);
    CloseFile(hReadFile);
    readFileSize = 0;
    readTake.reset();
    readPortSkips = false;
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
