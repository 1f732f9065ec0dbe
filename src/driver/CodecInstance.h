#pragma once
#include <windows.h>
#include <vfw.h>

#include <cstdint>

#include "capture/CaptureRun.h"
#include "playback/PlaybackRun.h"
#include "pure/PixelKind.h"
#include "settings/CodecSettings.h"

// One open of the codec: its identity, the chained codec's handles, and the fields of one capture
// run and one playback run; what only one run needs lives in that run's object. Settings are
// shared through the process-wide record.
class CCodecInstance {
public:
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

    // Chained codec calls (src/formats/ChainedCodec.cpp).
    bool OpenChainedCompressor();
    bool OpenChainedDecompressor(uint32_t handler);
    // Asks the decompressor of `handler` without disturbing a run that decodes with another.
    LRESULT AskChainedDecompressor(uint32_t handler, UINT message, const void* a, const void* b);
    void CloseChainedCompressor();
    void CloseChainedDecompressor();

    // Nothing outside the instance depends on the order of these fields: the host only ever
    // holds the instance's address.
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
    kestro::CaptureRun::FrameWriter frameWriter = nullptr;
    HIC hicDecompressor = nullptr;
    HANDLE hReadPort = nullptr;
    char readFileName[kestro::kReadFileNameBytes] = {};
    HANDLE hReadFile = INVALID_HANDLE_VALUE;
    uint64_t readAhead = 0;
    kestro::PixelKind sourceKind = kestro::KIND_NONE;
    kestro::PixelKind outputKind = kestro::KIND_NONE;
    kestro::PlaybackRun::FrameReader frameReader = nullptr;
    kestro::ReadSlot readSlots[2] = {};
    uint64_t readFileSize = 0;
    uint64_t pieceOffset = 0;
    uint64_t fileOffset = 0;
    kestro::WriteRequest* requests = nullptr;
    kestro::WriteRequest* nextRequest = nullptr;
    kestro::WriteRequest* lastRequest = nullptr;

    // The codes the chained handles were opened for: a handle left open under an earlier choice
    // answers for the old codec.
    uint32_t compressorCode = 0;
    uint32_t decompressorCode = 0;

    // Declared last: their destructors release what they hold while the fields above still exist.
    kestro::CaptureRun capture{*this};
    kestro::PlaybackRun playback{*this};

private:
    explicit CCodecInstance(CCodecSettings* shared);

    LRESULT CompressInputCheck(const BITMAPINFOHEADER* in);
    LRESULT DecompressInputCheck(const BITMAPINFOHEADER* in);
};
