#include <cstring>
#include <new>

#include "capture/CaptureRun.h"
#include "edge/Win32Edge.h"
#include "pure/CaptureRules.h"
#include "pure/FrameRecord.h"
#include "pure/PiecePath.h"
#include "pure/StreamFormat.h"

using namespace kestro;

CaptureRun::FrameWriter CaptureRun::WriterFor(WriterKind kind) {
    switch (kind) {
    case WriterKind::Direct:
        return &CaptureRun::WriteDirect;
    case WriterKind::Compressed:
        return &CaptureRun::WriteCompressed;
    case WriterKind::DirectSplit:
        return &CaptureRun::WriteDirectSplit;
    case WriterKind::CompressedSplit:
        return &CaptureRun::WriteCompressedSplit;
    case WriterKind::DirectFast:
        return &CaptureRun::WriteDirectFast;
    case WriterKind::CopiedFast:
        return &CaptureRun::WriteCopiedFast;
    case WriterKind::CompressedFast:
        return &CaptureRun::WriteCompressedFast;
    case WriterKind::DirectFastSplit:
        return &CaptureRun::WriteDirectFastSplit;
    case WriterKind::CopiedFastSplit:
        return &CaptureRun::WriteCopiedFastSplit;
    case WriterKind::CompressedFastSplit:
        return &CaptureRun::WriteCompressedFastSplit;
    }
    return nullptr;
}

CaptureRun::CaptureRun(CCodecSettings* shared, CaptureContext& owner)
    : settings(shared), instance(owner) {}

CaptureRun::~CaptureRun() {
    ReleaseRequestPool();
    CloseDataFile();
}

LRESULT CaptureRun::Begin(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out) {
    LRESULT result = StartCapture(in, out);
    // The old run's pool and file are gone by now: later frames must begin afresh rather than
    // write through released handles.
    if (result != ICERR_OK) {
        ReleaseRequestPool();
        CloseDataFile();
        compressActive = false;
    }
    return result;
}

LRESULT CaptureRun::StartCapture(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out) {
    // A compressor left open by negotiation under an earlier choice is not this run's.
    if (instance.ChainedCompressor() &&
        instance.ChainedCompressorCode() != uint32_t(settings->fourcc))
        instance.CloseChainedCompressor();
    if (instance.CompressQuery(in, out) != ICERR_OK)
        return ICERR_BADFORMAT;
    // The chained compressor's own format comes out of the output format.
    if (settings->fourcc != 0 && !out)
        return ICERR_BADFORMAT;
    ReleaseRequestPool();
    CloseDataFile();

    pageSize = SystemPageSize();
    auto input = ReadBitmapHeader(in);
    auto imageBytes = input ? InputImageBytes(*input) : std::nullopt;
    if (!imageBytes || RoundUpToPage(*imageBytes, pageSize) > UINT32_MAX)
        return ICERR_BADFORMAT;
    if (!ImageSizeAccepted(*imageBytes, pageSize, settings->buffer,
                           instance.ChainedCompressor() != nullptr))
        return ICERR_BADFORMAT;
    runWidth = input->biWidth;
    runHeight = input->biHeight;
    runImageBytes = *imageBytes;
    pieceOffset = 0;
    pieceIndex = 0;

    // Hosts size the output buffer by ICM_COMPRESS_GET_SIZE; a record longer than that answer
    // would overrun it.
    recordBytes = FrameRecordBytes(settings->piecenames[0].size());
    auto largest = LargestFrameBytes(*input);
    if (!largest || uint32_t(*largest) < recordBytes)
        return ICERR_BADFORMAT;
    // Playback opens only what this rule accepts: frames stored under any other name (a relative
    // one, a stream, a dot component) could never be played.
    if (!DataFileNameUsable(settings->filename, FileCallName))
        return ICERR_BADFORMAT;
    // The configuration sheet may rename the data file during the run.
    runPieceNames = settings->piecenames;

    runFast = settings->fastwrite;
    runSplit = settings->divide;
    runDriveRoot = settings->datadrive.empty() ? std::string() : settings->datadrive + "\\";
    stats = CaptureStats{};
    hostWritesAtOnce = true;
    writesStuck = false;
    spaceUnbacked = false;
    pieceGrown = false;
    pieceFlags = PieceCreateFlags(settings->fastwrite, settings->cpu);
    hWriteFile = OpenPiece(0, GENERIC_READ | GENERIC_WRITE);
    if (hWriteFile == INVALID_HANDLE_VALUE)
        return ICERR_BADFORMAT;

    frameBytes = *imageBytes;
    writeBytes = uint32_t(RoundUpToPage(frameBytes, pageSize));
    bufferBytes = writeBytes;
    if (!BeginChainedCompressor(in, out))
        return ICERR_BADFORMAT;

    // The take file names the new take before the header overwrites the earlier one.
    take.Begin(runPieceNames[0], in, out, runSplit ? settings->EffectivePieceBytes() : 0);
    if (!WriteHeader(in))
        return ICERR_BADFORMAT;
    FlushFileBuffers(hWriteFile);
    LARGE_INTEGER size{};
    pieceEnd = GetFileSizeEx(hWriteFile, &size) ? uint64_t(size.QuadPart) : 0;
    pieceStartBytes = pieceEnd;
    fileOffset = 0;
    frameOffset = 0;
    completionFailed = false;

    WriterKind kind = ChooseWriter(runFast, settings->divide,
                                   instance.ChainedCompressor() != nullptr, settings->buffer);
    if (runFast) {
        if (!AttachWritePort() || !CreateRequestPool())
            return ICERR_BADFORMAT;
        // The direct writers, and the copied ones while they write the host's image, finish
        // their own write before the host gets its image back; an event of their own keeps
        // that wait off the completion port.
        bool direct = kind == WriterKind::DirectFast || kind == WriterKind::DirectFastSplit;
        bool copied = kind == WriterKind::CopiedFast || kind == WriterKind::CopiedFastSplit;
        if ((direct || copied) && !(hWriteEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr)))
            return ICERR_BADFORMAT;
        if (copied && frameBytes % pageSize != 0 && !(tailPage = AllocatePages(pageSize)))
            return ICERR_BADFORMAT;
    } else {
        LARGE_INTEGER zero{};
        if (!SetFilePointerEx(hWriteFile, zero, nullptr, FILE_BEGIN))
            return ICERR_BADFORMAT;
        bool directFromHost = kind == WriterKind::Direct || kind == WriterKind::DirectSplit;
        if (directFromHost && frameBytes % pageSize != 0 && !(tailPage = AllocatePages(pageSize)))
            return ICERR_BADFORMAT;
    }
    pieceBytes = settings->EffectivePieceBytes();
    frameWriter = WriterFor(kind);
    compressActive = true;
    return ICERR_OK;
}

bool CaptureRun::BeginChainedCompressor(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out) {
    if (settings->fourcc == 0)
        return true;
    if (!instance.ChainedCompressor() && !instance.OpenChainedCompressor())
        return true;
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
    chainOutputFormat = reinterpret_cast<BITMAPINFOHEADER*>(copy);

    HIC hicCompressor = instance.ChainedCompressor();
    if (ICSendMessage(hicCompressor, ICM_COMPRESS_BEGIN, DWORD_PTR(in),
                      DWORD_PTR(chainOutputFormat)) == ICERR_BADFORMAT)
        return false;
    LRESULT largest = ICSendMessage(hicCompressor, ICM_COMPRESS_GET_SIZE, DWORD_PTR(in),
                                    DWORD_PTR(chainOutputFormat));
    bufferBytes = ChainBufferBytes(writeBytes, largest, pageSize);
    if (bufferBytes == 0 && writeBytes != 0)
        return false;
    chainOutputBuffer = AllocatePages(bufferBytes);
    return chainOutputBuffer != nullptr;
}

bool CaptureRun::InputMatchesRun(const ICCOMPRESS* icc) const {
    auto input = ReadBitmapHeader(icc->lpbiInput);
    if (!input || input->biWidth != runWidth || input->biHeight != runHeight)
        return false;
    auto bytes = InputImageBytes(*input);
    return bytes && *bytes == runImageBytes;
}

LRESULT CaptureRun::Frame(ICCOMPRESS* icc) {
    // Without a place for the record and its size the host could not store the frame; the size
    // goes into the output format, which must be as long as a header for that.
    if (!icc || !icc->lpbiInput || !icc->lpInput || !ReadBitmapHeader(icc->lpbiOutput) ||
        !icc->lpOutput)
        return ICERR_BADFORMAT;
    if (!compressActive && Begin(icc->lpbiInput, icc->lpbiOutput) != ICERR_OK)
        return ICERR_BADFORMAT;
    if (!InputMatchesRun(icc) || !frameWriter || !(this->*frameWriter)(icc))
        return ICERR_BADFORMAT;
    if (pieceIndex < 0 || pieceIndex >= kPieceCount)
        return ICERR_BADFORMAT;

    if (icc->lpckid)
        *icc->lpckid = kFourccKest;
    if (icc->lpdwFlags)
        *icc->lpdwFlags = AVIIF_KEYFRAME;
    icc->lpbiOutput->biSizeImage = recordBytes;
    WriteFrameRecord(static_cast<uint8_t*>(icc->lpOutput), recordBytes, frameOffset, frameBytes,
                     take.Stored(), runPieceNames[pieceIndex]);
    return ICERR_OK;
}

LRESULT CaptureRun::End() {
    ReleaseRequestPool();
    CloseDataFile();
    take.End();
    instance.CloseChainedCompressor();
    compressActive = false;
    return ICERR_OK;
}
