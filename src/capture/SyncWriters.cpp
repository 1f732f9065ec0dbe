#include <cstring>

#include "capture/CaptureRun.h"
#include "pure/CaptureRules.h"

using namespace kestro;

bool CaptureRun::CompressChained(ICCOMPRESS* icc, void* destination) {
    // Tell the codec how much room it has; it reports what it used in the same field.
    chainOutputFormat->biSizeImage = bufferBytes;
    DWORD ckid = 0;
    DWORD flags = 0;
    if (ICCompress(instance.ChainedCompressor(), 0, chainOutputFormat, destination, icc->lpbiInput,
                   icc->lpInput, &ckid, &flags, 0, 0, 0, nullptr, nullptr) != ICERR_OK)
        return false;
    uint32_t produced = chainOutputFormat->biSizeImage;
    if (produced > bufferBytes)
        return false;
    frameBytes = produced;
    writeBytes = uint32_t(RoundUpToPage(produced, pageSize));
    return true;
}

// Positioned writes keep every frame at its recorded offset even after a write that failed
// half-way moved the file pointer.
bool CaptureRun::WriteAt(const void* data, uint32_t bytes, uint64_t offset) {
    if (bytes == 0)
        return true;
    OVERLAPPED at{};
    at.Offset = DWORD(offset);
    at.OffsetHigh = DWORD(offset >> 32);
    DWORD written = 0;
    BOOL ok = WriteFile(hWriteFile, data, bytes, &written, &at);
    return WriteStored(ok != FALSE, written, bytes);
}

bool CaptureRun::WriteHostImage(const void* image) {
    if (!tailPage)
        return WriteAt(image, writeBytes, fileOffset);
    // The host's image ends inside the last page: that page comes from memory of our own.
    uint32_t whole = frameBytes - frameBytes % pageSize;
    std::memcpy(tailPage, static_cast<const uint8_t*>(image) + whole, frameBytes - whole);
    return WriteAt(image, whole, fileOffset) && WriteAt(tailPage, pageSize, fileOffset + whole);
}

void CaptureRun::StoreFrame() {
    frameOffset = fileOffset;
    fileOffset += writeBytes;
    pieceOffset += writeBytes;
}

bool CaptureRun::SyncFrame(ICCOMPRESS* icc, bool compressed, bool split) {
    if (compressed && !CompressChained(icc, chainOutputBuffer))
        return false;
    if (split && !SwitchPieceIfFull())
        return false;
    bool written = compressed ? WriteAt(chainOutputBuffer, writeBytes, fileOffset)
                              : WriteHostImage(icc->lpInput);
    if (!written)
        return false;
    StoreFrame();
    return true;
}

bool CaptureRun::WriteDirect(ICCOMPRESS* icc) {
    return SyncFrame(icc, false, false);
}
bool CaptureRun::WriteCompressed(ICCOMPRESS* icc) {
    return SyncFrame(icc, true, false);
}
bool CaptureRun::WriteDirectSplit(ICCOMPRESS* icc) {
    return SyncFrame(icc, false, true);
}
bool CaptureRun::WriteCompressedSplit(ICCOMPRESS* icc) {
    return SyncFrame(icc, true, true);
}
