#pragma once
#include <windows.h>
#include <vfw.h>

#include <cstdint>

#include "formats/PixelKind.h"
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
    // END capture-private

    // ---- playback: additional state (owned by src/playback) ----
    // BEGIN playback-private
    // END playback-private

    // Chained codec calls (src/formats/ChainedCodec.cpp).
    bool OpenChainedCompressor();
    bool OpenChainedDecompressor(uint32_t handler);
    void CloseChainedCompressor();
    void CloseChainedDecompressor();

private:
    explicit CCodecInstance(CCodecSettings* shared);

    LRESULT CompressInputCheck(const BITMAPINFOHEADER* in);
    LRESULT DecompressInputCheck(const BITMAPINFOHEADER* in);

public:
    // ---- capture steps and writers (src/capture) ----
    // BEGIN capture-methods
    void ReleaseRequestPool();
    void CloseDataFile();
    // END capture-methods

    // ---- playback steps and readers (src/playback) ----
    // BEGIN playback-methods
    void ReleaseReadSlots();
    void CloseReadFile();
    // END playback-methods
};
