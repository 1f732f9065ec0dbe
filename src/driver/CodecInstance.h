#pragma once
#include <windows.h>
#include <vfw.h>

#include <cstdint>

#include "capture/CaptureRun.h"
#include "driver/DriverProc.h"
#include "formats/ChainedCodecs.h"
#include "formats/CodecFormats.h"
#include "playback/PlaybackRun.h"
#include "settings/CodecSettings.h"

// One open of the codec: its identity, the chained codecs, the negotiation, and one capture run and
// one playback run, each of which owns its state. Settings are shared through the
// process-wide record.
class CCodecInstance {
public:
    static CCodecInstance* Create(ICOPEN* open);
    // The parts release what they hold, each before the ones declared above it that it uses.
    virtual ~CCodecInstance() = default;

    // Identity and state.
    LRESULT GetInfo(ICINFO* info, DWORD size);
    LRESULT GetState(void* buffer, DWORD size);
    LRESULT SetState(const void* buffer, DWORD size);
    LRESULT Configure();
    LRESULT About();

    // What the runs show of themselves; nothing here changes them.
    kestro::CaptureRunView CaptureView() const { return capture.View(); }
    kestro::PlaybackRunView PlaybackView() const { return playback.View(); }

    // Nothing outside the instance depends on the order of these fields: the host only ever
    // holds the instance's address.
    CCodecSettings* settings;
    char description[20];
    char name[10];

private:
    // Each codec message goes straight to the part that answers it.
    friend LRESULT WINAPI ::DriverProc(DWORD_PTR, HDRVR, UINT, LPARAM, LPARAM);

    explicit CCodecInstance(CCodecSettings* shared);

    // Declared in this order: each may use those before it, and is destroyed before them.
    kestro::ChainedCodecs chained; // the chained codecs' handles, codes and which run holds them
    kestro::CodecFormats formats{settings, chained};
    kestro::CaptureRun capture{settings, formats, chained};
    kestro::PlaybackRun playback{settings, formats, chained};
};
