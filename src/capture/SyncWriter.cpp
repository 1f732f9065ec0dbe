#include "capture/SyncWriter.h"

#include <cstring>

#include "capture/RequestPool.h"
#include "edge/Win32Edge.h"

using namespace kestro;

bool SyncWriter::Begin(FrameSize size, uint32_t page, bool fromHost) {
    raw = size;
    pageSize = page;
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(piece.Handle(), zero, nullptr, FILE_BEGIN))
        return false;
    return !fromHost || raw.bytes % pageSize == 0 || (tailPage = AllocatePages(pageSize));
}

void SyncWriter::Release() {
    FreePages(tailPage);
}

// Positioned writes keep every frame at its recorded offset even after a write that failed
// half-way moved the file pointer.
bool SyncWriter::WriteAt(const void* data, uint32_t bytes, uint64_t offset) {
    if (bytes == 0)
        return true;
    OVERLAPPED at{};
    at.Offset = DWORD(offset);
    at.OffsetHigh = DWORD(offset >> 32);
    DWORD written = 0;
    BOOL ok = WriteFile(piece.Handle(), data, bytes, &written, &at);
    return WriteStored(ok != FALSE, written, bytes);
}

bool SyncWriter::WriteHostImage(const void* image) {
    uint64_t offset = piece.Offset();
    if (!tailPage)
        return WriteAt(image, raw.write, offset);
    // The host's image ends inside the last page: that page comes from memory of our own.
    uint32_t whole = raw.bytes - raw.bytes % pageSize;
    std::memcpy(tailPage, static_cast<const uint8_t*>(image) + whole, raw.bytes - whole);
    return WriteAt(image, whole, offset) && WriteAt(tailPage, pageSize, offset + whole);
}

std::optional<StoredFrame> SyncWriter::Write(const ICCOMPRESS* icc, bool compressed, bool split) {
    FrameSize size = raw;
    if (compressed) {
        auto produced = chain.Compress(icc, chain.Buffer());
        if (!produced)
            return std::nullopt;
        size = *produced;
    }
    if (split && piece.Full(size.write) && !piece.OpenNext(true))
        return std::nullopt;
    bool written = compressed ? WriteAt(chain.Buffer(), size.write, piece.Offset())
                              : WriteHostImage(icc->lpInput);
    if (!written)
        return std::nullopt;
    return piece.Store(size);
}
