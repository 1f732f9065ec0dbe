#include "driver/CodecInstance.h"

// Capture is not built yet: every run is refused.
LRESULT CCodecInstance::BeginCapture(const BITMAPINFOHEADER*, const BITMAPINFOHEADER*) {
    return ICERR_BADFORMAT;
}
LRESULT CCodecInstance::CompressFrame(ICCOMPRESS*, DWORD) { return ICERR_BADFORMAT; }
LRESULT CCodecInstance::EndCapture() {
    ReleaseRequestPool();
    CloseDataFile();
    CloseChainedCompressor();
    compressActive = false;
    return ICERR_OK;
}
void CCodecInstance::ReleaseRequestPool() {}
void CCodecInstance::CloseDataFile() {}
