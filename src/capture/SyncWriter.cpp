#include "capture/SyncWriter.h"

using namespace kestro;

bool SyncWriter::Begin(FrameSize size, uint32_t pageSize, bool fromHost) {
    raw = size;
    tail.Release();
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(piece->Handle(), zero, nullptr, FILE_BEGIN))
        return false;
    return !fromHost || tail.Begin(raw.bytes, pageSize);
}

std::optional<StoredFrame> SyncWriter::Write(const ImageView& image, bool compressed, bool split) {
    FrameSize size = raw;
    if (compressed) {
        auto produced = chain.Compress(image, chain.Buffer());
        if (!produced)
            return std::nullopt;
        size = *produced;
    }
    if (split && piece->Full(size.write) && !piece->OpenNext())
        return std::nullopt;
    // The write is its own completion: the journal notes the time around it.
    auto writeAt = [&](const uint8_t* data, uint32_t bytes, uint64_t offset) {
        const uint32_t row = journal.Issue(1);
        const bool written = piece->WriteAt(data, bytes, offset);
        journal.Complete(row);
        return written;
    };
    const uint64_t offset = piece->Offset();
    bool written = compressed ? writeAt(chain.Buffer(), size.write, offset)
                              : tail.Write(image.bits, offset, writeAt);
    if (!written)
        return std::nullopt;
    return piece->Store(size);
}
