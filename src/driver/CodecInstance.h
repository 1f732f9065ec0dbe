#pragma once
#include <windows.h>
#include <vfw.h>

#include <cstdint>

#include "capture/CaptureRun.h"
#include "formats/CodecFormats.h"
#include "playback/PlaybackRun.h"
#include "settings/CodecSettings.h"

namespace kestro {
struct RunTestAccess;
}

// One open of the codec: its identity, its negotiation with the chained codec's handles, and one
// capture run and one playback run, each of which owns its state. Settings are shared through the
// process-wide record.
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

    // The instance as each run sees it (the negotiation's check and the chained codec), and the
    // runs as the negotiation sees them.
    class RunLinks final : public kestro::CaptureContext,
                           public kestro::PlaybackContext,
                           public kestro::ChainedCodecUse {
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
        bool CompressorHeld() const override;
        bool DecompressorHeld() const override;

    private:
        CCodecInstance& owner;
    };

    explicit CCodecInstance(CCodecSettings* shared);

    // Declared in this order: each may use those before it, and is destroyed before them.
    RunLinks links{*this};
    kestro::CodecFormats formats{settings, links}; // hicCompressor, hicDecompressor, their codes
    kestro::CaptureRun capture{settings, links};
    kestro::PlaybackRun playback{settings, links};
};
