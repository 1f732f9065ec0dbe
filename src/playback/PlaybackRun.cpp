#include <cstring>
#include <new>

#include "edge/Win32Edge.h"
#include "playback/PlaybackRun.h"
#include "pure/StreamFormat.h"
#include "pure/FrameRecord.h"
#include "pure/PiecePath.h"
#include "pure/PixelRepack.h"
#include "pure/ReadPlan.h"

using namespace kestro;

namespace {

// Positions beyond this are garbage, and adding a frame to them could wrap.
constexpr uint64_t kLargestPosition = uint64_t(1) << 62;
// Disk reads finish in far less; past these a read is taken for lost and the frame fails.
constexpr DWORD kFrameReadTimeoutMs = 10000;

std::optional<FrameRecordView> RecordOf(const ICDECOMPRESS* icd) {
    // The input format may be shorter than the field: it is read only as far as biSize says.
    auto stream = ReadStreamFormat(icd->lpbiInput);
    uint32_t sizeImage = stream ? stream->biSizeImage : 0;
    return ParseFrameRecord(static_cast<const uint8_t*>(icd->lpInput), RecordLimit(sizeImage));
}

bool UsablePosition(uint64_t position, uint32_t pageSize) {
    return position < kLargestPosition && position % pageSize == 0;
}

} // namespace

PlaybackRun::PlaybackRun(CCodecSettings* shared, CodecFormats& formats, ChainedCodecs& chained)
    : settings(shared), formats(formats), chained(chained) {}

LRESULT PlaybackRun::Begin(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out) {
    if (formats.DecompressQuery(in, out) != ICERR_OK)
        return ICERR_BADFORMAT;
    // The query accepts a missing output format; a run needs one to size its buffers.
    auto output = ReadBitmapHeader(out);
    auto stream = ReadStreamFormat(in);
    if (!output || !stream)
        return ICERR_BADFORMAT;

    // A top-down output picture counts its rows like a bottom-up one.
    const auto image = OutputImageOf(*output);
    if (!image)
        return ICERR_BADFORMAT;

    ReleaseReadSlots();
    CloseReadFile();
    // Until this begin succeeds no reader may touch the released buffers.
    frameReader = nullptr;

    pageSize = SystemPageSize();
    readRowsPadded = image->paddedRows;
    runDataFiles = settings->StripeFiles();
    runChainedExtraPages = settings->chainedExtraPages;

    // A slot holds a stored frame as well as the picture made of it: a stored kind may take more
    // bytes than its output (RGB32 played as RGB24, v210 played as YUY2).
    uint32_t slotFor = image->bytes;
    if (stream->biChainHandler == 0) {
        const PixelKind source = ClassifyPixelKind(stream->biSourceCompression, stream->biBitCount);
        const auto stored = StoredImageBytes(source, stream->biWidth, stream->biHeight);
        if (stored && *stored > slotFor)
            slotFor = *stored;
    }
    auto slotBytes = SlotBytes(slotFor, pageSize);
    if (!slotBytes)
        return ICERR_BADFORMAT;

    const bool fast = settings->overlappedReads;
    if (fast && *slotBytes > UINT32_MAX - pageSize)
        return ICERR_BADFORMAT;
    // The settings record holds a depth in its range: loading it takes the default for any other.
    if (!ring.Allocate(fast ? uint32_t(settings->readAheadDepth) + 1 : 1, *slotBytes, fast,
                       pageSize))
        return ICERR_BADFORMAT;

    if (stream->biChainHandler != 0) {
        // The previous run is over: a stream of another codec gets that codec from here on.
        if (!chained.OpenDecompressor(stream->biChainHandler))
            return ICERR_BADFORMAT;
        readChainFormat.reset(new (std::nothrow) uint8_t[stream->biChainFormatSize]);
        if (!readChainFormat)
            return ICERR_BADFORMAT;
        std::memcpy(readChainFormat.get(), ChainFormatOf(in, *stream), stream->biChainFormatSize);
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
    readImageBytes = image->bytes;
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

void PlaybackRun::ReleaseReadSlots() {
    ring.Release();
    readChainFormat.reset();
    NoteChainedHeld();
}

void PlaybackRun::NoteChainedHeld() {
    chained.HoldDecompressor(decompressActive && readChainFormat);
}

void PlaybackRun::CloseReadFile() {
    // The outstanding reads target slot buffers; they must be over before the file goes.
    ring.CollectPending();
    pieces.Close();
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

// What one frame of a run needs: the record and its page-rounded size.
struct PlaybackRun::FramePlan {
    FrameRecordView record;
    uint32_t rounded;
};

std::optional<PlaybackRun::FramePlan> PlaybackRun::PlanFrame(const ICDECOMPRESS* icd) const {
    auto record = RecordOf(icd);
    if (!record)
        return std::nullopt;
    uint64_t rounded = RoundUpToPage(record->size, pageSize);
    // Every read is bounded by the slot it goes into: a larger frame cannot be played.
    if (rounded > ring.First()->size)
        return std::nullopt;
    return FramePlan{*record, uint32_t(rounded)};
}

bool PlaybackRun::DecodeChained(const uint8_t* data, uint32_t size, ICDECOMPRESS* icd) {
    HIC hicDecompressor = chained.Decompressor();
    if (!hicDecompressor || !readChainFormat)
        return false;
    auto* format = reinterpret_cast<BITMAPINFOHEADER*>(readChainFormat.get());
    // The chained codec learns the frame's true length, not the largest one of the stream.
    format->biSizeImage = size;
    // Only the host may ask for a frame to be skipped; a codec that honours the flag would
    // otherwise leave every picture unpainted.
    DWORD flags = icd->dwFlags & ICDECOMPRESS_HURRYUP;
    return ICDecompress(hicDecompressor, flags, format, const_cast<uint8_t*>(data), icd->lpbiOutput,
                        icd->lpOutput) == ICERR_OK;
}

bool PlaybackRun::ProduceRaw(const uint8_t* data, uint32_t available, ICDECOMPRESS* icd) {
    if (readConversion.op == RawOp::Refuse || available < readConversion.storedBytes ||
        readConversion.outputBytes > readImageBytes)
        return false;
    ApplyRawConversion(readConversion, data, static_cast<uint8_t*>(icd->lpOutput));
    return true;
}

// Opens the data file the record names and checks where the frame lies. A result means the frame
// is finished without a read: cleared (a file that cannot be opened), refused, or empty.
std::optional<BOOL> PlaybackRun::OpenSource(const FramePlan& plan, bool overlapped, bool chained,
                                            ICDECOMPRESS* icd) {
    const FrameRecordView& record = plan.record;
    const char* path = record.path.data();
    // No read may be outstanding on a piece that closes.
    if (!pieces.Find(path, record.path.size()))
        ring.CollectPending();
    const ReadPiece::Opened opened =
        pieces.LookUp(path, record.path.size(), overlapped, runDataFiles);
    const ReadPiece& piece = pieces.Current();
    switch (opened) {
    case ReadPiece::Opened::JustFailed:
        if (piece.TakeRemoved(record))
            return FALSE;
        ClearFrame(icd);
        return TRUE;
    case ReadPiece::Opened::Failed:
        return FALSE;
    case ReadPiece::Opened::Open:
        break;
    }
    if (!UsablePosition(record.offset, pageSize) || piece.TakeRefused(record))
        return FALSE;
    if (plan.rounded == 0) // a frame of no bytes: nothing to read
        return chained && DecodeChained(ring.First()->Buffer(), 0, icd);
    return std::nullopt;
}

BOOL PlaybackRun::ReadFast(ICDECOMPRESS* icd, bool chained) {
    if (!ring.ReadsAhead())
        return FALSE;
    auto plan = PlanFrame(icd);
    if (!plan)
        return FALSE;
    const FrameRecordView& record = plan->record;
    uint32_t needed = record.size;
    // The conversion planned at begin says what a raw frame must hold.
    if (!chained) {
        if (readConversion.op == RawOp::Refuse || record.size < readConversion.storedBytes)
            return FALSE;
        needed = readConversion.storedBytes;
    }

    const ReadPiece* named = pieces.Find(record.path.data(), record.path.size());
    ReadSlot* slot =
        ring.TakePredicted(named && !named->TakeRefused(record) ? named : nullptr, record.offset);
    if (slot)
        pieces.MakeCurrent(slot->source);
    else {
        // A seek, a repeat or another piece: the reads ahead hold the wrong frames.
        ring.CollectPending();
        if (auto done = OpenSource(*plan, true, chained, icd))
            return *done;
        slot = ring.First();
        if (!ring.Issue(slot, &pieces.Current(), record.offset, 0, plan->rounded))
            return FALSE;
    }

    // A read that failed costs its own frame; the reads ahead still hold the frames after it.
    if (!ring.Await(slot, kFrameReadTimeoutMs))
        return FALSE;
    uint32_t have = slot->transferred;
    if (chained && have < needed) {
        // The read-ahead was planned from a smaller frame: fetch the rest into the same slot.
        uint32_t start = ContinuationStart(have, pageSize);
        if (!ring.Issue(slot, slot->source, slot->position + start, start, plan->rounded - start) ||
            !ring.Await(slot, kFrameReadTimeoutMs))
            return FALSE;
        have = start + slot->transferred;
    }
    if (have < needed) // the file ends inside the frame
        return FALSE;

    // Compressed frames of a striped take: that data file's next frame starts after this one.
    slot->source->NoteFrame(slot->position, plan->rounded);
    ring.TopUp(slot, plan->rounded, chained, runChainedExtraPages, pageSize);
    return chained ? DecodeChained(slot->Buffer(), record.size, icd)
                   : ProduceRaw(slot->Buffer(), have, icd);
}

// Sequential play leaves the file pointer at the next frame.
BOOL PlaybackRun::ReadPlain(ICDECOMPRESS* icd, bool chained) {
    ReadSlot* first = ring.First();
    if (!first->pages)
        return FALSE;
    uint32_t needed = 0;
    if (!chained) {
        // Nothing can be delivered from a stored kind this reader does not know.
        if (readConversion.op == RawOp::Refuse)
            return FALSE;
        needed = readConversion.storedBytes;
    }
    auto plan = PlanFrame(icd);
    if (!plan)
        return FALSE;
    const FrameRecordView& record = plan->record;
    if (chained)
        needed = record.size;
    else if (record.size < needed)
        return FALSE;

    if (auto done = OpenSource(*plan, false, chained, icd))
        return *done;

    LARGE_INTEGER zero{}, position;
    HANDLE file = pieces.Current().File();
    if (!SetFilePointerEx(file, zero, &position, FILE_CURRENT) ||
        uint64_t(position.QuadPart) != record.offset) {
        LARGE_INTEGER target;
        target.QuadPart = LONGLONG(record.offset);
        if (!SetFilePointerEx(file, target, nullptr, FILE_BEGIN))
            return FALSE;
    }

    // An unbuffered read needs an aligned buffer that holds every page it transfers: the host's
    // buffer takes a plain copy directly only when it is page-aligned and large enough.
    auto* output = static_cast<uint8_t*>(icd->lpOutput);
    const bool direct = !chained && IsStraightCopy(readConversion) &&
                        reinterpret_cast<uintptr_t>(output) % pageSize == 0 &&
                        plan->rounded <= readImageBytes;
    DWORD got = 0;
    if (!ReadFile(file, direct ? output : first->Buffer(), plan->rounded, &got, nullptr) ||
        got < needed)
        return FALSE;
    if (chained)
        return DecodeChained(first->Buffer(), record.size, icd);
    return direct || ProduceRaw(first->Buffer(), got, icd);
}

BOOL PlaybackRun::ReadFastChained(ICDECOMPRESS* icd) {
    return ReadFast(icd, true);
}
BOOL PlaybackRun::ReadFastRaw(ICDECOMPRESS* icd) {
    return ReadFast(icd, false);
}
BOOL PlaybackRun::ReadPlainChained(ICDECOMPRESS* icd) {
    return ReadPlain(icd, true);
}
BOOL PlaybackRun::ReadPlainRaw(ICDECOMPRESS* icd) {
    return ReadPlain(icd, false);
}
