#include "capture/CaptureRun.h"

#include <algorithm>

#include "edge/TakePlace.h"
#include "edge/Win32Edge.h"
#include "pure/FrameRecord.h"
#include "pure/PiecePath.h"
#include "pure/SettingsText.h"
#include "pure/StreamFormat.h"

using namespace kestro;

namespace {

// Names of one file as the system compares them: letter case aside, either slash.
bool SameFileName(std::string a, std::string b) {
    std::replace(a.begin(), a.end(), '/', '\\');
    std::replace(b.begin(), b.end(), '/', '\\');
    return lstrcmpiA(a.c_str(), b.c_str()) == 0;
}

} // namespace

CaptureRun::CaptureRun(CCodecSettings* shared, CodecFormats& formats, ChainedCodecs& chained)
    : settings(shared), formats(formats), chained(chained) {}

void CaptureRun::CloseRun() {
    fastWriter.Release();
    syncWriter.Release();
    journal.End(); // after the writes it notes
    chain.Release();
    for (PieceFile& piece : pieces)
        piece.Close();
}

LRESULT CaptureRun::Begin(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out) {
    refusalSaid = false;
    return BeginRun(in, out);
}

LRESULT CaptureRun::BeginRun(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out) {
    refusal.reset();
    refusalError = ERROR_SUCCESS;
    refusalFile = settings->dataFileName;
    refusalPiece = settings->piecenames[0];
    refusalPlace.clear();
    LRESULT result = StartCapture(in, out);
    // The old run's pool and file are gone by now: later frames must begin afresh rather than
    // write through released handles.
    if (result != ICERR_OK) {
        CloseRun();
        SetActive(false);
        SayRefusal();
    }
    return result;
}

// A host that sends frames without a begin tries a begin with every frame: the user hears of
// the reason once, until the host begins or ends the run itself.
void CaptureRun::SayRefusal() {
    if (!refusal || refusalSaid)
        return;
    refusalSaid = true;
    SayBeginRefusal(
        BeginRefusalText(*refusal, refusalFile, refusalPiece, refusalError, refusalPlace),
        settings->quiet);
}

void CaptureRun::Refuse(BeginRefusal why, uint32_t stripe) {
    refusal = why;
    refusalFile = files[stripe];
    refusalPiece = FormatPieceName(files[stripe], 0);
}

// Piece 0 of the data file that keeps every earlier take of frames: the configured one when it
// holds none, else a free name beside it. The configuration sheet may rename the data file during
// the run: the piece keeps the names the run began with.
bool CaptureRun::OpenPlace(uint32_t stripe, uint32_t largestFrame) {
    const uint32_t flags = PieceCreateFlags(settings->overlappedWrites, settings->cachedWrites);
    TakePlace place = TakePlace::Claim(files[stripe], flags, largestFrame - FrameRecordBytes(0),
                                       settings->overwrite);
    refusalFile = files[stripe];
    refusalPlace = place.Context();
    if (!place.Chosen()) {
        refusalPiece = FormatPieceName(place.tried, 0);
        refusalError = place.error;
        refusal = place.failure == PlaceFailure::NameRefused ? BeginRefusal::NameTooLong
                  : place.failure == PlaceFailure::AllTaken
                      ? BeginRefusal::AllNamesTaken
                      : OpenRefusal(refusalPiece, place.error);
        return false;
    }
    // A take file keeps the name of every data file of a striped take.
    if (stripes > 1 && place.base.size() > kMaxStripeFileName) {
        refusalPiece = FormatPieceName(place.base, 0);
        refusal = BeginRefusal::NameTooLong;
        return false;
    }
    std::array<std::string, kPieceCount> names;
    for (int i = 0; i < kPieceCount; ++i)
        names[i] = FormatPieceName(place.base, i);
    refusalPiece = names[0];
    chosen[stripe] = place.base;
    recordBytes[stripe] = FrameRecordBytes(names[0].size());
    const std::string drive = stripe == 0 ? settings->datadrive : DriveOf(files[stripe]);
    pieces[stripe].OpenFirst(names, std::move(place.piece0), flags, settings->EffectivePieceBytes(),
                             settings->splitPieces, drive.empty() ? std::string() : drive + "\\");
    return true;
}

// Every data file claims its place before any take file is written: a begin refused for the
// last one leaves the others' earlier takes as they were.
bool CaptureRun::OpenPlaces(uint32_t largestFrame) {
    for (uint32_t k = 0; k < stripes; ++k)
        if (!OpenPlace(k, largestFrame))
            return false;
    refusalFile = files[0];
    refusalPiece = pieces[0].NameOf(0);
    return true;
}

bool CaptureRun::NamesUsable(uint32_t largestFrame) {
    for (uint32_t k = 0; k < stripes; ++k) {
        // Hosts size the output buffer by ICM_COMPRESS_GET_SIZE; a record longer than that
        // answer would overrun it.
        if (largestFrame < FrameRecordBytes(FormatPieceName(files[k], 0).size()))
            return false;
        // Playback opens only what this rule accepts: frames stored under any other name (a
        // relative one, a stream, a dot component) could never be played.
        if (!DataFileNameUsable(files[k], FileCallName)) {
            Refuse(BeginRefusal::NameRefused, k);
            return false;
        }
        // Two stripes in one data file would fight over its piece 0.
        for (uint32_t j = 0; j < k; ++j)
            if (SameFileName(files[j], files[k])) {
                Refuse(BeginRefusal::StripeRepeated, k);
                return false;
            }
    }
    return true;
}

// The take files name the new take before the headers overwrite the earlier ones; a striped
// take's name every data file of it and repeat the identity the first drew.
bool CaptureRun::BeginTakes(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out) {
    const uint64_t pieceBytes = settings->splitPieces ? settings->EffectivePieceBytes() : 0;
    StripeOfTake stripe;
    try {
        if (stripes > 1)
            stripe.files.assign(chosen.begin(), chosen.begin() + stripes);
    } catch (...) {
        return false;
    }
    for (uint32_t k = 0; k < stripes; ++k) {
        stripe.stripe = k;
        stripe.drawn = k == 0 ? nullptr : &takes[0].Take();
        takes[k].Begin(pieces[k].NameOf(0), in, out, pieceBytes, stripe);
        if (!pieces[k].WriteHeader(in, pageSize)) {
            refusalFile = files[k];
            refusalPiece = pieces[k].NameOf(0);
            if (pieces[k].ShortOfSpace())
                refusal = BeginRefusal::NoSpace;
            return false;
        }
        pieces[k].StartFrames();
    }
    return true;
}

LRESULT CaptureRun::StartCapture(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out) {
    // A compressor left open by negotiation under an earlier choice is not this run's.
    if (chained.Compressor() && chained.CompressorCode() != uint32_t(settings->chainedFourcc))
        chained.CloseCompressor();
    if (formats.CompressQuery(in, out) != ICERR_OK)
        return ICERR_BADFORMAT;
    // The chained compressor's own format comes out of the output format.
    if (settings->chainedFourcc != 0 && !out)
        return ICERR_BADFORMAT;
    CloseRun();

    pageSize = SystemPageSize();
    auto input = ReadBitmapHeader(in);
    auto imageBytes = input ? InputImageBytes(*input) : std::nullopt;
    if (!imageBytes || RoundUpToPage(*imageBytes, pageSize) > UINT32_MAX)
        return ICERR_BADFORMAT;
    if (!ImageSizeAccepted(*imageBytes, pageSize, settings->copyBeforeWrite,
                           chained.Compressor() != nullptr))
        return ICERR_BADFORMAT;
    runWidth = input->biWidth;
    runHeight = input->biHeight;
    runImageBytes = *imageBytes;

    try {
        files = settings->StripeFiles();
    } catch (...) {
        return ICERR_MEMORY;
    }
    stripes = uint32_t(std::min(files.size(), kMaxStripes));
    turn = 0;
    auto largest = LargestFrameBytes(*input);
    if (!largest || !NamesUsable(uint32_t(*largest)))
        return ICERR_BADFORMAT;

    stats = CaptureStats{};
    const bool split = settings->splitPieces;
    if (!OpenPlaces(uint32_t(*largest)))
        return ICERR_BADFORMAT;

    FrameSize raw{*imageBytes, uint32_t(RoundUpToPage(*imageBytes, pageSize))};
    chain.Reset(raw.write);
    if (!BeginChainedCompressor(in, out, raw.write))
        return ICERR_BADFORMAT;

    if (!BeginTakes(in, out))
        return ICERR_BADFORMAT;

    WriterKind kind = ChooseWriter(settings->overlappedWrites, split,
                                   chained.Compressor() != nullptr, settings->copyBeforeWrite);
    if (!BeginWriter(kind, raw))
        return ICERR_BADFORMAT;
    writer = &WriterRowOf(kind);
    BeginJournal(input->biCompression);
    SetActive(true);
    return ICERR_OK;
}

void CaptureRun::BeginJournal(uint32_t compression) {
    JournalHeader h;
    h.take = takes[0].Id();
    h.requests = fastWriter.PoolView().requests;
    h.width = uint32_t(runWidth);
    // Bottom-up or top-down, the picture is as high.
    h.height = runHeight < 0 ? 0u - uint32_t(runHeight) : uint32_t(runHeight);
    h.compression = compression;
    h.imageBytes = runImageBytes;
    journal.Begin(pieces[0].NameOf(0), h);
}

LRESULT CaptureRun::FramesInfo(const ICCOMPRESSFRAMES* info, DWORD bytes) {
    if (info && bytes >= offsetof(ICCOMPRESSFRAMES, dwScale) + sizeof info->dwScale)
        journal.SetRate(info->dwRate, info->dwScale);
    return ICERR_UNSUPPORTED;
}

bool CaptureRun::BeginWriter(WriterKind kind, FrameSize raw) {
    const WriterRow& row = WriterRowOf(kind);
    syncWriter.Use(pieces[0]);
    fastWriter.Use(pieces[0]);
    if (!row.fast)
        return syncWriter.Begin(raw, pageSize, row.source == WriterSource::Host);
    if (!fastWriter.Begin(raw, pageSize, row.source, settings->EffectiveRequestCount()))
        return false;
    for (uint32_t k = 1; k < stripes; ++k)
        if (!fastWriter.Join(pieces[k]))
            return false;
    fastWriter.Use(pieces[0]);
    return true;
}

bool CaptureRun::BeginChainedCompressor(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out,
                                        uint32_t writeBytes) {
    if (settings->chainedFourcc == 0)
        return true;
    if (!chained.Compressor() && !formats.OpenChainedCompressor())
        return true;
    return chain.Begin(chained.Compressor(), in, out, writeBytes, pageSize);
}

bool CaptureRun::InputMatchesRun(const ICCOMPRESS* icc) const {
    auto input = ReadBitmapHeader(icc->lpbiInput);
    if (!input || input->biWidth != runWidth || input->biHeight != runHeight)
        return false;
    auto bytes = InputImageBytes(*input);
    return bytes && *bytes == runImageBytes;
}

void CaptureRun::SetActive(bool active) {
    compressActive = active;
    chained.HoldCompressor(active);
}

LRESULT CaptureRun::Frame(ICCOMPRESS* icc) {
    const int64_t arrived = FrameJournal::Now();
    // Without a place for the record and its size the host could not store the frame; the size
    // goes into the output format, which must be as long as a header for that.
    if (!icc || !icc->lpbiInput || !icc->lpInput || !ReadBitmapHeader(icc->lpbiOutput) ||
        !icc->lpOutput)
        return ICERR_BADFORMAT;
    if (!compressActive && BeginRun(icc->lpbiInput, icc->lpbiOutput) != ICERR_OK)
        return ICERR_BADFORMAT;
    if (!InputMatchesRun(icc) || !writer)
        return ICERR_BADFORMAT;
    journal.Arrive(uint32_t(icc->lFrameNum), arrived);
    const uint32_t stripe = uint32_t(turn++ % stripes);
    PieceFile& piece = pieces[stripe];
    syncWriter.Use(piece);
    fastWriter.Use(piece);
    const ImageView image{icc->lpbiInput, static_cast<const uint8_t*>(icc->lpInput), runImageBytes};
    std::optional<StoredFrame> stored =
        writer->fast
            ? fastWriter.Write(image, writer->source, writer->split)
            : syncWriter.Write(image, writer->source == WriterSource::Compressed, writer->split);
    if (!stored || stored->piece < 0 || stored->piece >= kPieceCount) {
        journal.Return(0, piece.View().index, stripe);
        return ICERR_BADFORMAT;
    }

    if (icc->lpckid)
        *icc->lpckid = kFourccKest;
    if (icc->lpdwFlags)
        *icc->lpdwFlags = AVIIF_KEYFRAME;
    icc->lpbiOutput->biSizeImage = recordBytes[stripe];
    WriteFrameRecord(static_cast<uint8_t*>(icc->lpOutput), recordBytes[stripe], stored->offset,
                     stored->bytes, takes[stripe].Stored(), piece.NameOf(stored->piece));
    journal.Return(uint32_t(RoundUpToPage(stored->bytes, pageSize)), stored->piece, stripe);
    return ICERR_OK;
}

LRESULT CaptureRun::End() {
    CloseRun();
    for (TakeRecorder& take : takes)
        take.End();
    chained.CloseCompressor();
    SetActive(false);
    refusalSaid = false;
    return ICERR_OK;
}
