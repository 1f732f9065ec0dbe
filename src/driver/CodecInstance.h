#pragma once
#include <windows.h>
#include <vfw.h>

#include <cstdint>

#include "capture/CaptureRun.h"
#include "playback/PlaybackRun.h"
#include "settings/CodecSettings.h"

namespace kestro {
struct RunTestAccess;
}

// One open of the codec: its identity, the chained codec's handles, and one capture run and one
// playback run, each of which owns its state. Settings are shared through the process-wide
// record.
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

    // Nothing outside the instance depends on the order of these fields: the host only ever
    // holds the instance's address.
    CCodecSettings* settings;
    char description[20];
    char name[10];

private:
    friend struct kestro::RunTestAccess;

    // The instance as each run sees it: the negotiation's check and the chained codec.
    class RunLinks final : public kestro::CaptureContext, public kestro::PlaybackContext {
    public:
        explicit RunLinks(CCodecInstance& owner) : owner(owner) {}
        LRESULT CompressQuery(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out) override;
        bool OpenChainedCompressor() override;
        void CloseChainedCompressor() override;
        HIC ChainedCompressor() const override;
        uint32_t ChainedCompressorCode() const override;
        LRESULT DecompressQuery(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out) override;
        bool OpenChainedDecompressor(uint32_t handler) override;
        void CloseChainedDecompressor() override;
        HIC ChainedDecompressor() const override;

    private:
        CCodecInstance& owner;
    };

    explicit CCodecInstance(CCodecSettings* shared);

    LRESULT CompressInputCheck(const BITMAPINFOHEADER* in);
    LRESULT DecompressInputCheck(const BITMAPINFOHEADER* in);

    // Chained codec calls (src/formats/ChainedCodec.cpp).
    bool OpenChainedCompressor();
    bool OpenChainedDecompressor(uint32_t handler);
    // Asks the decompressor of `handler` without disturbing a run that decodes with another.
    LRESULT AskChainedDecompressor(uint32_t handler, UINT message, const void* a, const void* b);
    void CloseChainedCompressor();
    void CloseChainedDecompressor();

    HIC hicCompressor = nullptr;
    HIC hicDecompressor = nullptr;
    // The codes the chained handles were opened for: a handle left open under an earlier choice
    // answers for the old codec.
    uint32_t compressorCode = 0;
    uint32_t decompressorCode = 0;

    // Declared last: their destructors release what they hold while the fields above still exist.
    RunLinks links{*this};
    kestro::CaptureRun capture{settings, links};
    kestro::PlaybackRun playback{settings, links};
};
