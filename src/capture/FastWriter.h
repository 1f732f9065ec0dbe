#pragma once
#include <windows.h>
#include <vfw.h>

#include <cstdint>
#include <optional>

#include "capture/CaptureStats.h"
#include "capture/ChainCompressor.h"
#include "capture/PieceFile.h"
#include "capture/RequestPool.h"
#include "pure/CaptureRules.h"

namespace kestro {

// The overlapped writers: frames go out through the request pool, and the host gets its image
// back while they are written, except where the writer writes the host's image itself.
class FastWriter {
public:
    FastWriter(PieceFile& piece, RequestPool& pool, ChainCompressor& chain, CaptureStats& stats)
        : piece(piece), pool(pool), chain(chain), stats(stats) {}
    ~FastWriter() { Release(); }
    FastWriter(const FastWriter&) = delete;
    FastWriter& operator=(const FastWriter&) = delete;

    // A run of host images of `raw` size, whose frames come from `source`.
    bool Begin(FrameSize raw, uint32_t pageSize, WriterSource source);
    std::optional<StoredFrame> Write(const ICCOMPRESS* icc, WriterSource source, bool split);
    void Release();

private:
    // How a frame's write went out: not at all, issued, or issued by a write that grows the
    // piece itself (PieceFile::Growth::OwnWrite), whose outcome the frame waits for.
    enum class Issue { Failed, Issued, AwaitOutcome };
    enum class HostWrite { NotTried, Stored, Failed };

    bool SwitchPieceIfFull(uint32_t write);
    Issue StartWrite(WriteRequest* r, const void* data, FrameSize size, bool ownEvent = false);
    HANDLE OwnEvent() const;
    bool FinishPendingOwnWrite(WriteRequest* r, bool* waited = nullptr);
    bool WaitOwnWrite(WriteRequest* r);
    bool FinishedWrite(WriteRequest* r);
    bool WriteAndFinish(WriteRequest* r, const void* data, uint32_t bytes, uint64_t offset,
                        bool& pended);
    HostWrite WriteHostWhileAtOnce(WriteRequest* r, const void* image, StoredFrame& stored);
    std::optional<StoredFrame> DirectFrame(const ICCOMPRESS* icc);
    std::optional<StoredFrame> PooledFrame(const ICCOMPRESS* icc, WriterSource source, bool split);

    PieceFile& piece;
    RequestPool& pool;
    ChainCompressor& chain;
    CaptureStats& stats;
    FrameSize raw;
    uint32_t pageSize = 0;
    HANDLE event = nullptr;        // the direct writers wait for their own write on this
    uint8_t* tailPage = nullptr;   // last partial page of a host image that is not whole pages
    bool hostWritesAtOnce = false; // no write of this piece stayed pending: skip the copy
};

} // namespace kestro
