#include "driver/CodecInstance.h"

// Playback is not built yet: every run is refused.
LRESULT CCodecInstance::BeginPlayback(const BITMAPINFOHEADER*, const BITMAPINFOHEADER*) {
    return ICERR_BADFORMAT;
}
LRESULT CCodecInstance::DecompressFrame(ICDECOMPRESS*, DWORD) { return ICERR_BADFORMAT; }
LRESULT CCodecInstance::EndPlayback() {
    ReleaseReadSlots();
    CloseReadFile();
    CloseChainedDecompressor();
    decompressActive = false;
    return ICERR_OK;
}
void CCodecInstance::ReleaseReadSlots() {}
void CCodecInstance::CloseReadFile() {}
