#pragma once
#include <windows.h>
#include <vfw.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "capture/TakeRecorder.h"
#include "settings/CodecSettings.h"

namespace kestro {

struct RunTestAccess;
enum class WriterKind;

// What a capture run asks of the codec instance it belongs to: the compress check of negotiation
// and the chained compressor, which the instance keeps because negotiation opens it too.
class CaptureContext {
public:
    // With a chained codec configured this opens it and asks it.
    virtual LRESULT CompressQuery(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out) = 0;
    // Opens the chained compressor of the current choice; false when none opens.
    virtual bool OpenChainedCompressor() = 0;
    virtual void CloseChainedCompressor() = 0;
    // The open chained compressor, or null, and the code it was opened for.
    virtual HIC ChainedCompressor() const = 0;
    virtual uint32_t ChainedCompressorCode() const = 0;

protected:
    ~CaptureContext() = default;
};

// The one rule by which a write counts as finished: it succeeded and moved every byte it was
// given.
constexpr bool WriteStored(bool succeeded, uint64_t transferred, uint32_t bytes) {
    return succeeded && transferred == bytes;
}

// One entry of the fast writers' request pool: the OVERLAPPED of its write (first: the completion
// port hands back its address, which is the request itself), the page buffer it owns, and the
// byte count of the write last issued with it.
struct WriteRequest {
    OVERLAPPED overlapped{};
    uint8_t* buffer = nullptr; // page-allocated, released with the request
    uint32_t bytes = 0;        // what the last write issued with it must transfer
    uint32_t inFlight = 0;     // 1 while the completion of that write is owed

    WriteRequest() = default;
    ~WriteRequest();
    WriteRequest(const WriteRequest&) = delete;
    WriteRequest& operator=(const WriteRequest&) = delete;

    // Sets up a write of `count` bytes at `offset`; `event` is null or the event it completes on.
    void Prepare(uint64_t offset, uint32_t count, HANDLE event);
    // Where every way of learning that the write finished ends: its status and byte count decide
    // whether it stored its bytes, and the request is free again.
    bool Complete(bool succeeded, uint64_t transferred);
    // The same, from what the system recorded in the OVERLAPPED (status, bytes).
    bool CompleteAsRecorded();
};

// What a capture run counts, for those who measure what it costs the host.
struct CaptureStats {
    uint32_t blockingWaits = 0; // waits of this run that could block the host
    uint32_t extensions = 0;    // times this run grew a piece ahead of its frames
    uint32_t framesCopied = 0;  // frames the copied writers copied before writing
};

// The capture run of one codec instance: begin, the ten frame writers, end, and everything that
// only a capture run has (the data file, its port, the request pool, the offsets...).
class CaptureRun {
public:
    CaptureRun(CCodecSettings* shared, CaptureContext& owner);
    ~CaptureRun();
    CaptureRun(const CaptureRun&) = delete;
    CaptureRun& operator=(const CaptureRun&) = delete;

    LRESULT Begin(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out);
    LRESULT Frame(ICCOMPRESS* icc);
    LRESULT End();

    // Idempotent releases; the pool goes first, so that no write is left to use the file.
    void ReleaseRequestPool();
    void CloseDataFile();

    // A run has begun and not ended; its chained compressor stays what it began with.
    bool Active() const { return compressActive; }
    const CaptureStats& Stats() const { return stats; }

private:
    friend struct RunTestAccess;
    using FrameWriter = bool (CaptureRun::*)(ICCOMPRESS* icc);
    static FrameWriter WriterFor(WriterKind kind);

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

    enum class FastSource { Host, Copied, Compressed };
    enum class Taken { Request, Empty, Broken };
    enum class HostWrite { NotTried, Stored, Failed };
    // What growing the piece for a frame decided.
    enum class Growth {
        Refused, // no room: the frame fails before its write
        Room,    // the write lands in space the piece has, or that was promised to it
        OwnWrite // the frame's own write grows the piece: the frame learns its outcome first
    };
    // How a frame's write went out: not at all, issued, or issued by a write that grows the
    // piece itself (Growth::OwnWrite), whose outcome the frame waits for.
    enum class Issue { Failed, Issued, AwaitOutcome };

    LRESULT StartCapture(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out);
    bool EnsureFileSize(HANDLE file, uint64_t size);
    bool WriteHeader(const BITMAPINFOHEADER* in);
    bool BeginChainedCompressor(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out);
    bool CreateRequestPool();
    bool AttachWritePort();
    HANDLE OpenPiece(int index, DWORD access) const;
    bool OpenNextPiece();
    bool SwitchPieceIfFull();
    bool InputMatchesRun(const ICCOMPRESS* icc) const;
    bool CompressChained(ICCOMPRESS* icc, void* destination);
    bool WriteAt(const void* data, uint32_t bytes, uint64_t offset);
    bool WriteHostImage(const void* image);
    bool SyncFrame(ICCOMPRESS* icc, bool compressed, bool split);
    bool FastFrame(ICCOMPRESS* icc, FastSource source, bool split);
    void StoreFrame();
    Issue IssueDirect(WriteRequest* r, const void* source);
    Issue IssueCopied(WriteRequest* r, const void* image);
    Issue IssueCompressed(WriteRequest* r, ICCOMPRESS* icc);
    Issue StartWrite(WriteRequest* r, const void* data, bool ownEvent = false);
    WriteRequest* AcquireRequest();
    bool CollectCompletions();
    WriteRequest* RequestOf(OVERLAPPED* overlapped) const;
    WriteRequest* FirstFreeRequest() const;
    WriteRequest* FirstInFlight() const;
    bool AnyInFlight() const;
    Taken TakeCompletion(DWORD timeout, WriteRequest** delivered = nullptr);
    bool WaitForRequest(WriteRequest* r);
    bool DrainWrites();
    bool WatchRequests();
    void CancelWrites();
    bool ConsumeWriteFailure();
    bool DirectFrame(ICCOMPRESS* icc);
    HANDLE OwnEvent() const;
    bool FinishPendingOwnWrite(WriteRequest* r, bool* waited = nullptr);
    bool WaitOwnWrite(WriteRequest* r);
    bool FinishedWrite(WriteRequest* r);
    void LeavePlaceToStuckWrite(const WriteRequest* r);
    bool WriteAndFinish(WriteRequest* r, const void* data, uint32_t bytes, uint64_t offset,
                        bool& pended);
    HostWrite WriteHostWhileAtOnce(WriteRequest* r, const void* image);
    Growth GrowPiece(uint64_t end);
    bool SetPieceEnd(uint64_t end);
    uint64_t InFlightBytes() const;
    uint64_t FreeBytesAt() const;
    void TrimPiece();
    void ReleaseHeldPieces();

    CCodecSettings* settings;
    CaptureContext& instance; // the codec instance, as far as a capture run may ask it
    bool compressActive = false;
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
    uint64_t pieceOffset = 0;
    uint64_t fileOffset = 0;
    WriteRequest* requests = nullptr;
    WriteRequest* nextRequest = nullptr;
    WriteRequest* lastRequest = nullptr;

    CaptureStats stats;
    TakeRecorder take;        // the run's identity and its take file
    uint32_t stallMs = 10000; // a write making no progress this long is given up on

    uint32_t requestCount = 0;   // entries the pool was built with
    uint32_t bufferBytes = 0;    // capacity of chainOutputBuffer and of every request buffer
    uint8_t* tailPage = nullptr; // last partial page of a host image that is not whole pages
    uint32_t pieceFlags = 0;     // create flags of this run's pieces
    bool runFast = false;
    bool skipOnSuccess = false;    // the port gets no packet for a write that completes at once
    bool completionFailed = false; // a write failed in the background and no frame reported it
    int32_t runWidth = 0;
    int32_t runHeight = 0;
    uint32_t runImageBytes = 0;
    uint64_t frameOffset = 0; // where the writer placed the current frame
    uint64_t pieceEnd = 0;    // length of the current piece as far as stored frames go
    std::array<std::string, kPieceCount> runPieceNames; // names as the run began
    // Space grown ahead of the frames and the run's claim on its pieces.
    uint64_t pieceStartBytes = 0;  // length of the current piece when the run reached it
    bool pieceGrown = false;       // the run set the piece's end itself: cut it back when done
    bool spaceUnbacked = false;    // growing a piece here reserves no disk space (sparse files)
    bool hostWritesAtOnce = false; // no write of this piece stayed pending: skip the copy
    bool runSplit = false;
    bool writesStuck = false;       // writes the platform never finished: keep their memory
    HANDLE hWriteEvent = nullptr;   // WriteDirectFast waits for its own write on this
    std::vector<HANDLE> heldPieces; // earlier pieces of the run, still kept from other writers
    std::string runDriveRoot;       // where free space is asked for
};

} // namespace kestro
