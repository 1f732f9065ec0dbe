#include "pure/FrameRecord.h"

#include <cstring>

namespace kestro {

bool WriteFrameRecord(uint8_t* out, size_t capacity, uint64_t offset, uint32_t size, uint32_t take,
                      std::string_view name) {
    if (!out || capacity < FrameRecordBytes(name.size()))
        return false;
    for (int i = 0; i < 8; ++i)
        out[i] = uint8_t(offset >> (8 * i));
    for (int i = 0; i < 4; ++i)
        out[8 + i] = uint8_t(size >> (8 * i));
    for (int i = 0; i < 4; ++i)
        out[12 + i] = uint8_t(take >> (8 * i));
    std::memcpy(out + kFrameRecordFixedBytes, name.data(), name.size());
    out[kFrameRecordFixedBytes + name.size()] = 0;
    return true;
}

std::optional<FrameRecordView> ParseFrameRecord(const uint8_t* record, size_t available) {
    if (!record || available <= kFrameRecordFixedBytes)
        return std::nullopt;
    FrameRecordView view{};
    for (int i = 0; i < 8; ++i)
        view.offset |= uint64_t(record[i]) << (8 * i);
    for (int i = 0; i < 4; ++i)
        view.size |= uint32_t(record[8 + i]) << (8 * i);
    for (int i = 0; i < 4; ++i)
        view.take |= uint32_t(record[12 + i]) << (8 * i);
    const char* path = reinterpret_cast<const char*>(record + kFrameRecordFixedBytes);
    size_t limit = available - kFrameRecordFixedBytes;
    if (limit > kMaxRecordPath + 1)
        limit = kMaxRecordPath + 1;
    const void* end = std::memchr(path, 0, limit);
    if (!end)
        return std::nullopt;
    size_t length = static_cast<const char*>(end) - path;
    if (length == 0)
        return std::nullopt;
    view.path = std::string_view(path, length);
    return view;
}

} // namespace kestro
