// A tiny lossless codec used only by the tests: it answers what the tests tell it to.
#include <windows.h>
#include <vfw.h>

#include <cstring>

#include "testcodec/TestCodecControl.h"

namespace {

TestCodecControl g_control;
TestCodecCounters g_counters;

uint32_t ImageBytes(const BITMAPINFOHEADER* h) {
    if (h->biSizeImage)
        return h->biSizeImage;
    long height = h->biHeight < 0 ? -h->biHeight : h->biHeight;
    return uint32_t(((h->biWidth * h->biBitCount + 31) / 32) * 4 * height);
}

LRESULT GetFormat(const BITMAPINFOHEADER* in, BITMAPINFOHEADER* out, bool compress) {
    if (!in)
        return ICERR_BADFORMAT;
    if (!out)
        return g_control.formatSizeAnswer ? g_control.formatSizeAnswer : LRESULT(sizeof *out);
    if (g_control.formatAnswer)
        return g_control.formatAnswer;
    *out = *in;
    out->biSize = sizeof *out;
    if (compress) {
        out->biCompression = kTestCodecFourcc;
        out->biSizeImage = ImageBytes(in) + 4;
    } else {
        out->biCompression = BI_RGB;
        out->biSizeImage = ImageBytes(in);
    }
    return ICERR_OK;
}

LRESULT Compress(ICCOMPRESS* icc) {
    ++g_counters.compressFrames;
    if (g_control.compressResult)
        return g_control.compressResult;
    if (g_control.failFrameEvery > 0 && g_counters.compressFrames % g_control.failFrameEvery == 0)
        return ICERR_ERROR;
    uint32_t n = ImageBytes(icc->lpbiInput);
    auto* src = static_cast<const uint8_t*>(icc->lpInput);
    uint32_t used = n;
    while (used > 0 && src[used - 1] == 0)
        --used;
    auto* dst = static_cast<uint8_t*>(icc->lpOutput);
    std::memcpy(dst, &n, 4);
    std::memcpy(dst + 4, src, used);
    icc->lpbiOutput->biSizeImage = used + 4 + uint32_t(g_control.reportedSizeExtra);
    if (icc->lpckid)
        *icc->lpckid = MAKEAVICKID(cktypeDIBcompressed, 0);
    if (icc->lpdwFlags)
        *icc->lpdwFlags = AVIIF_KEYFRAME;
    return ICERR_OK;
}

LRESULT Decompress(ICDECOMPRESS* icd) {
    ++g_counters.decompressFrames;
    if (g_control.decompressResult)
        return g_control.decompressResult;
    auto* src = static_cast<const uint8_t*>(icd->lpInput);
    uint32_t n;
    std::memcpy(&n, src, 4);
    uint32_t have = icd->lpbiInput->biSizeImage >= 4 ? icd->lpbiInput->biSizeImage - 4 : 0;
    uint32_t want = ImageBytes(icd->lpbiOutput);
    if (n > want)
        n = want;
    uint32_t copy = have < n ? have : n;
    std::memcpy(icd->lpOutput, src + 4, copy);
    std::memset(static_cast<uint8_t*>(icd->lpOutput) + copy, 0, want - copy);
    return ICERR_OK;
}

} // namespace

extern "C" void __cdecl KestTestControl(const TestCodecControl* control, TestCodecCounters* out) {
    if (control)
        g_control = *control;
    if (out)
        *out = g_counters;
}

extern "C" LRESULT WINAPI DriverProc(DWORD_PTR id, HDRVR driver, UINT msg, LPARAM p1, LPARAM p2) {
    switch (msg) {
    case DRV_LOAD:
    case DRV_FREE:
    case DRV_ENABLE:
    case DRV_DISABLE:
    case DRV_INSTALL:
    case DRV_REMOVE:
        return 1;
    case DRV_OPEN:
        ++g_counters.opens;
        return 1;
    case DRV_CLOSE:
        ++g_counters.closes;
        return 1;
    case ICM_GETINFO: {
        auto* info = reinterpret_cast<ICINFO*>(p1);
        if (!info)
            return sizeof(ICINFO);
        info->dwSize = sizeof(ICINFO);
        info->fccType = ICTYPE_VIDEO;
        info->fccHandler = kTestCodecFourcc;
        lstrcpyW(info->szName, L"KTST");
        lstrcpyW(info->szDescription, L"Kestro32 test codec");
        return sizeof(ICINFO);
    }
    case ICM_COMPRESS_QUERY:
        ++g_counters.compressQueries;
        return g_control.queryAnswer;
    case ICM_DECOMPRESS_QUERY:
        return g_control.queryAnswer;
    case ICM_COMPRESS_GET_FORMAT:
        return GetFormat(reinterpret_cast<BITMAPINFOHEADER*>(p1),
                         reinterpret_cast<BITMAPINFOHEADER*>(p2), true);
    case ICM_DECOMPRESS_GET_FORMAT:
        return GetFormat(reinterpret_cast<BITMAPINFOHEADER*>(p1),
                         reinterpret_cast<BITMAPINFOHEADER*>(p2), false);
    case ICM_COMPRESS_GET_SIZE:
        if (g_control.maxCompressedBytes)
            return g_control.maxCompressedBytes;
        return ImageBytes(reinterpret_cast<BITMAPINFOHEADER*>(p1)) + 8;
    case ICM_COMPRESS_BEGIN:
        ++g_counters.compressBegins;
        return g_control.beginAnswer;
    case ICM_COMPRESS_END:
        ++g_counters.compressEnds;
        return ICERR_OK;
    case ICM_COMPRESS:
        return Compress(reinterpret_cast<ICCOMPRESS*>(p1));
    case ICM_DECOMPRESS:
        return Decompress(reinterpret_cast<ICDECOMPRESS*>(p1));
    case ICM_DECOMPRESS_BEGIN:
    case ICM_DECOMPRESS_END:
        return ICERR_OK;
    }
    if (msg >= DRV_USER)
        return ICERR_UNSUPPORTED;
    return DefDriverProc(id, driver, msg, p1, p2);
}
