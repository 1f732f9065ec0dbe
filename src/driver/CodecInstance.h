#pragma once
#include <windows.h>
#include <vfw.h>

#include <cstdint>
#include <string>
#include <vector>

#include "pure/PixelKind.h"
#include "pure/RawConvert.h"
#include "settings/CodecSettings.h"

namespace kestro {

// One entry of the fast writers' request pool. The OVERLAPPED comes first: the completion port
// hands back its address, which is the request itself.
struct WriteRequest {
    OVERLAPPED overlapped;
    uint8_t* buffer;
    uint32_t inFlight;
};

// One overlapped read slot of a playback run; the completion port hands back its address.
struct ReadSlot {
    OVERLAPPED overlapped;
    uint8_t* buffer;
    uint32_t size;
    uint32_t index;
};

} // namespace kestro

// One open of the codec: identity, chained-codec handles, and the resources of one capture run
// and one playback run. Settings are shared through the process-wide record.
class CCodecInstance {
public:
    using FrameWriter = bool (CCodecInstance::*)(ICCOMPRESS* icc);
    using FrameReader = BOOL (CCodecInstance::*)(ICDECOMPRESS* icd);

    static CCodecInstance* Create(ICOPEN* open);
    virtual ~CCodecInstance();

    // Identity and state.
    LRESULT GetInfo(ICINFO* info, DWORD size);
    LRESULT GetState(void* buffer, DWORD size);
    LRESULT SetState(const void* buffer, DWORD size);
    LRESULT Configure();
    LRESULT About();

    // Negotiation.
    LRESULT CompressQuery(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out);
    LRESULT CompressGetFormat(const BITMAPINFOHEADER* in, BITMAPINFOHEADER* out);
    LRESULT CompressGetSize(const BITMAPINFOHEADER* in);
    LRESULT DecompressQuery(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out);
    LRESULT DecompressGetFormat(const BITMAPINFOHEADER* in, BITMAPINFOHEADER* out);

    // Capture run.
    LRESULT BeginCapture(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out);
    LRESULT CompressFrame(ICCOMPRESS* icc, DWORD size);
    LRESULT EndCapture();

    // Playback run.
    LRESULT BeginPlayback(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out);
    LRESULT DecompressFrame(ICDECOMPRESS* icd, DWORD size);
    LRESULT EndPlayback();

    // Fields, in their documented order.
    CCodecSettings* settings;
    char description[20];
    char name[10];
    bool decompressActive = false;
    bool compressActive = false;
    HIC hicCompressor = nullptr;
    HANDLE hWriteFile = INVALID_HANDLE_VALUE;
    HANDLE hWritePort = nullptr;
    BITMAPINFOHEADER* chainOutputFormat = nullptr;
    uint8_t* chainOutputBuffer = nullptr;
    uint32_t pageSize = 0;
    uint32_t frameBytes = 0;
    uint32_t writeBytes = 0;
    uint64_t pieceBytes = 0;
    int32_t pieceIndex = 0;
    uint32_t recordBytes = 0;
    FrameWriter frameWriter = nullptr;
    HIC hicDecompressor = nullptr;
    HANDLE hReadPort = nullptr;
    char readFileName[261] = {};
    HANDLE hReadFile = INVALID_HANDLE_VALUE;
    uint64_t readAhead = 0;
    kestro::PixelKind sourceKind = kestro::KIND_NONE;
    kestro::PixelKind outputKind = kestro::KIND_NONE;
    FrameReader frameReader = nullptr;
    kestro::ReadSlot readSlots[2] = {};
    uint64_t readFileSize = 0;
    uint64_t pieceOffset = 0;
    uint64_t fileOffset = 0;
    kestro::WriteRequest* requests = nullptr;
    kestro::WriteRequest* nextRequest = nullptr;
    kestro::WriteRequest* lastRequest = nullptr;

    // ---- capture: additional state (owned by src/capture) ----
    // BEGIN capture-private
    uint32_t requestCount = 0;        // entries the pool was built with
    uint32_t* requestSizes = nullptr; // bytes of each entry's last write, to check its completion
    uint32_t bufferBytes = 0;         // capacity of chainOutputBuffer and of every request buffer
    uint8_t* tailPage = nullptr;      // last partial page of a host image that is not whole pages
    uint32_t pieceFlags = 0;          // create flags of this run's pieces
    bool runFast = false;
    bool skipOnSuccess = false;    // the port gets no packet for a write that completes at once
    bool completionFailed = false; // a write failed in the background and no frame reported it
    int32_t runWidth = 0;
    int32_t runHeight = 0;
    uint32_t runImageBytes = 0;
    uint64_t frameOffset = 0; // where the writer placed the current frame
    uint64_t pieceEnd = 0;    // length of the current piece as far as stored frames go
    std::array<std::string, kestro::kPieceCount> runPieceNames; // names as the run began
    uint32_t compressorCode = 0; // the code hicCompressor was opened for
    // Space grown ahead of the frames, the run's claim on its pieces, and what the run cost.
    uint64_t pieceStartBytes = 0; // length of the current piece when the run reached it
    bool pieceGrown = false;      // the run set the piece's end itself: cut it back when done
    bool spaceUnbacked = false;   // growing a piece here reserves no disk space (sparse files)
    bool frameMustWait = false;   // the current frame's write grows the piece: learn its outcome
    bool runSplit = false;
    bool writesStuck = false;       // writes the platform never finished: keep their memory
    HANDLE hWriteEvent = nullptr;   // WriteDirectFast waits for its own write on this
    std::vector<HANDLE> heldPieces; // earlier pieces of the run, still kept from other writers
    std::string runDriveRoot;       // where free space is asked for
    uint32_t stallMs = 10000;       // a write making no progress this long is given up on
    uint32_t blockingWaits = 0;     // waits of this run that could block the host
    uint32_t extensions = 0;        // times this run grew a piece ahead of its frames
    // END capture-private

    // ---- playback: additional state (owned by src/playback) ----
    // BEGIN playback-private
    // The slot whose overlapped read is outstanding (at most one), or null.
    kestro::ReadSlot* readPending = nullptr;
    // The chained codec's input format, copied at begin; each frame sets its biSizeImage.
    uint8_t* readChainFormat = nullptr;
    // The output picture of the run, as begin accepted it.
    int32_t readWidth = 0;
    int32_t readHeight = 0;
    uint16_t readBitCount = 0;
    uint32_t readImageBytes = 0;
    bool readRowsPadded = true; // output rows follow the DIB rule (padded to 4 bytes)
    // END playback-private

    // ---- output formats and chained decompressor choice ----
    // BEGIN conversion-private
    kestro::RawConversion readConversion; // how a raw run's frames become the output picture
    uint32_t decompressorCode = 0;        // the code hicDecompressor was opened for
    // END conversion-private

    // Chained codec calls (src/formats/ChainedCodec.cpp).
    bool OpenChainedCompressor();
    bool OpenChainedDecompressor(uint32_t handler);
    // Asks the decompressor of `handler` without disturbing a run that decodes with another.
    LRESULT AskChainedDecompressor(uint32_t handler, UINT message, const void* a, const void* b);
    void CloseChainedCompressor();
    void CloseChainedDecompressor();

private:
    explicit CCodecInstance(CCodecSettings* shared);

    LRESULT CompressInputCheck(const BITMAPINFOHEADER* in);
    LRESULT DecompressInputCheck(const BITMAPINFOHEADER* in);

public:
    // ---- capture steps and writers (src/capture) ----
    // BEGIN capture-methods
    enum class FastSource { Host, Copied, Compressed };
    enum class Taken { Request, Empty, Broken };
    void ReleaseRequestPool();
    void CloseDataFile();
    LRESULT StartCapture(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out);
    bool EnsureFileSize(HANDLE file, uint64_t size);
    bool WriteHeader(const BITMAPINFOHEADER* in);
    bool BeginChainedCompressor(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out);
    bool CreateRequestPool();
    bool AttachWritePort();
    HANDLE OpenPiece(int index, DWORD access) const;
    bool OpenNextPiece();
    bool SplitTest();
    bool InputMatchesRun(const ICCOMPRESS* icc) const;
    bool CompressChained(ICCOMPRESS* icc, void* destination);
    bool WriteAt(const void* data, uint32_t bytes, uint64_t offset);
    bool WriteHostImage(const void* image);
    bool SyncFrame(ICCOMPRESS* icc, bool compressed, bool split);
    bool FastFrame(ICCOMPRESS* icc, FastSource source, bool split);
    void StoreFrame();
    bool WriteDirect(ICCOMPRESS* icc);
    bool WriteCompressed(ICCOMPRESS* icc);
    bool WriteDirectSplit(ICCOMPRESS* icc);
    bool WriteCompressedSplit(ICCOMPRESS* icc);
    bool WriteDirectFast(ICCOMPRESS* icc);
    bool WriteCopiedFast(ICCOMPRESS* icc);
    bool WriteCompressedFast(ICCOMPRESS* icc);
    bool WriteDirectFastSplit(ICCOMPRESS* icc);
    bool WriteCopiedFastSplit(ICCOMPRESS* icc);
    bool WriteCompressedFastSplit(ICCOMPRESS* icc);
    bool IssueDirect(kestro::WriteRequest* r, const void* source);
    bool IssueCopied(kestro::WriteRequest* r, const void* image);
    bool IssueCompressed(kestro::WriteRequest* r, ICCOMPRESS* icc);
    bool StartWrite(kestro::WriteRequest* r, const void* data, bool ownEvent = false);
    kestro::WriteRequest* AcquireRequest();
    bool CollectCompletions();
    kestro::WriteRequest* RequestOf(OVERLAPPED* overlapped) const;
    kestro::WriteRequest* FirstFreeRequest() const;
    kestro::WriteRequest* FirstInFlight() const;
    bool AnyInFlight() const;
    Taken TakeCompletion(DWORD timeout, kestro::WriteRequest** delivered = nullptr);
    bool WaitForRequest(kestro::WriteRequest* r);
    bool DrainWrites();
    bool WatchRequests();
    void CancelWrites();
    bool ConsumeWriteFailure();
    bool DirectFrame(ICCOMPRESS* icc);
    bool WaitOwnWrite(kestro::WriteRequest* r);
    bool GrowPiece(uint64_t end);
    bool SetPieceEnd(uint64_t end);
    uint64_t InFlightBytes() const;
    uint64_t FreeBytesAt() const;
    void TrimPiece();
    void ReleaseHeldPieces();
    // END capture-methods

    // ---- playback steps and readers (src/playback) ----
    // BEGIN playback-methods
    void ReleaseReadSlots();
    void CloseReadFile();
    BOOL ReadFastChained(ICDECOMPRESS* icd);
    BOOL ReadFastRaw(ICDECOMPRESS* icd);
    BOOL ReadPlainChained(ICDECOMPRESS* icd);
    BOOL ReadPlainRaw(ICDECOMPRESS* icd);
    void ClearFrame(ICDECOMPRESS* icd);
    enum class DataFile { Open, JustFailed, Failed };
    DataFile LookUpDataFile(const char* path, size_t length, bool overlapped);
    bool IssueRead(kestro::ReadSlot* slot, uint64_t position, uint32_t offset, uint32_t length);
    bool AwaitRead(DWORD* transferred, DWORD timeout);
    void CollectPendingRead();
    bool SameDataFile(const char* path, size_t length) const;
    bool OutputMatchesRun(const BITMAPINFOHEADER* out) const;
    bool DecodeChained(const uint8_t* data, uint32_t size, ICDECOMPRESS* icd);
    bool ProduceRaw(const uint8_t* data, uint32_t available, ICDECOMPRESS* icd);
    // END playback-methods
};
