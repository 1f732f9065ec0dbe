#include "driver/DriverProc.h"

#include "driver/CodecInstance.h"

#include <cstdio>

namespace {

// Configure and about with -1 ask "is there a dialog?". A 32-bit -1 reaches a 64-bit codec
// zero-extended (0x00000000FFFFFFFF) from some callers, so only the low 32 bits decide; window
// handles, the other values, are 32-bit values too.
constexpr bool IsDialogQuery(LPARAM p) {
    return DWORD(p) == DWORD(-1);
}

template <typename T> T* As(LPARAM p) {
    return reinterpret_cast<T*>(p);
}

// Hosts and Wine differ in the order and arguments of what they send: with KESTRO_TRACE set (to
// anything but 0) every message and its answer goes to the debugger, one line each.
bool TraceWanted() {
    char value[2] = {};
    DWORD length = GetEnvironmentVariableA("KESTRO_TRACE", value, sizeof value);
    return length != 0 && !(length == 1 && value[0] == '0');
}

// Read as the library loads, not on every message.
const bool g_trace = TraceWanted();

void TraceMessage(DWORD_PTR id, UINT msg, LPARAM lParam1, LPARAM lParam2, LRESULT result) {
    char line[128];
    std::snprintf(line, sizeof line, "kestro32: %p msg 0x%04X %p %p -> %lld\n",
                  reinterpret_cast<void*>(id), msg, reinterpret_cast<void*>(lParam1),
                  reinterpret_cast<void*>(lParam2), static_cast<long long>(result));
    OutputDebugStringA(line);
}

} // namespace

extern "C" LRESULT WINAPI DriverProc(DWORD_PTR dwDriverId, HDRVR hDriver, UINT uMsg, LPARAM lParam1,
                                     LPARAM lParam2) {
    // The lambda answers with the access DriverProc has; the trace sees each of its returns.
    LRESULT result = [&]() -> LRESULT {
        auto* codec = reinterpret_cast<CCodecInstance*>(dwDriverId);

        switch (uMsg) {
        // Driver messages.
        case DRV_LOAD:
        case DRV_ENABLE:
        case DRV_DISABLE:
        case DRV_QUERYCONFIGURE:
        case DRV_INSTALL:
        case DRV_REMOVE:
            return 1;
        case DRV_OPEN:
            return reinterpret_cast<LRESULT>(CCodecInstance::Create(As<ICOPEN>(lParam2)));
        case DRV_CLOSE:
            delete codec;
            return 1;
        case ICM_DECOMPRESS_GET_PALETTE:
            return ICERR_BADFORMAT;
        case DRV_CONFIGURE:
            // Without an instance there is no settings record to edit.
            if (codec)
                codec->Configure();
            return 1;
        }

        // Codec messages need an instance; a host that sends one without opening gets no answer.
        if (uMsg >= DRV_USER && !codec)
            return ICERR_UNSUPPORTED;

        switch (uMsg) {
        case ICM_GETSTATE:
            return codec->GetState(As<void>(lParam1), DWORD(lParam2));
        case ICM_SETSTATE:
            return codec->SetState(As<const void>(lParam1), DWORD(lParam2));
        case ICM_GETINFO:
            return codec->GetInfo(As<ICINFO>(lParam1), DWORD(lParam2));
        case ICM_CONFIGURE:
            return IsDialogQuery(lParam1) ? ICERR_OK : codec->Configure();
        case ICM_ABOUT:
            return IsDialogQuery(lParam1) ? ICERR_OK : codec->About();
        case ICM_GETDEFAULTQUALITY:
            if (!lParam1)
                break;
            *As<DWORD>(lParam1) = 10000;
            return ICERR_OK;

        case ICM_COMPRESS_QUERY:
            return codec->formats.CompressQuery(As<BITMAPINFOHEADER>(lParam1),
                                                As<BITMAPINFOHEADER>(lParam2));
        case ICM_COMPRESS_GET_FORMAT:
            return codec->formats.CompressGetFormat(As<BITMAPINFOHEADER>(lParam1),
                                                    As<BITMAPINFOHEADER>(lParam2));
        case ICM_COMPRESS_GET_SIZE:
            return codec->formats.CompressGetSize(As<BITMAPINFOHEADER>(lParam1));
        case ICM_COMPRESS_BEGIN:
            return codec->capture.Begin(As<BITMAPINFOHEADER>(lParam1),
                                        As<BITMAPINFOHEADER>(lParam2));
        case ICM_COMPRESS:
            return codec->capture.Frame(As<ICCOMPRESS>(lParam1));
        case ICM_COMPRESS_END:
            return codec->capture.End();
        case ICM_COMPRESS_FRAMES_INFO:
            return codec->capture.FramesInfo(As<ICCOMPRESSFRAMES>(lParam1), DWORD(lParam2));

        case ICM_DECOMPRESS_QUERY:
            return codec->formats.DecompressQuery(As<BITMAPINFOHEADER>(lParam1),
                                                  As<BITMAPINFOHEADER>(lParam2));
        case ICM_DECOMPRESS_GET_FORMAT:
            return codec->formats.DecompressGetFormat(As<BITMAPINFOHEADER>(lParam1),
                                                      As<BITMAPINFOHEADER>(lParam2));
        case ICM_DECOMPRESS_BEGIN:
            return codec->playback.Begin(As<BITMAPINFOHEADER>(lParam1),
                                         As<BITMAPINFOHEADER>(lParam2));
        case ICM_DECOMPRESS:
            return codec->playback.Frame(As<ICDECOMPRESS>(lParam1));
        case ICM_DECOMPRESS_END:
            return codec->playback.End();
        }

        if (uMsg >= DRV_USER)
            return ICERR_UNSUPPORTED;
        return DefDriverProc(dwDriverId, hDriver, uMsg, lParam1, lParam2);
    }();
    if (g_trace)
        TraceMessage(dwDriverId, uMsg, lParam1, lParam2, result);
    return result;
}
