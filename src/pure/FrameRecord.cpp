#include "pure/FrameRecord.h"

#include <cstring>

namespace kestro {

bool WriteFrameRecord(uint8_t* out, size_t capacity, uint64_t offset, uint32_t size,
                      std::string_view name) {
    if (!out || capacity < FrameRecordBytes(name.size()))
        return false;
    for (int i = 0; i < 8; ++i)
        out[i] = uint8_t(offset >> (8 * i));
    for (int i = 0; i < 4; ++i)
        out[8 + i] = uint8_t(size >> (8 * i));
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

namespace {

bool IsSlash(char c) {
    return c == '\\' || c == '/';
}

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
}

bool SameLetters(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Upper(a[i]) != Upper(b[i]))
            return false;
    return true;
}

// The system maps these names to devices in any folder and with any extension.
bool IsDeviceName(std::string_view base) {
    // Trailing dots and spaces are dropped before the name is looked up.
    while (!base.empty() && (base.back() == ' ' || base.back() == '.'))
        base.remove_suffix(1);
    for (std::string_view device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"})
        if (SameLetters(base, device))
            return true;
    if (base.size() == 4 &&
        (SameLetters(base.substr(0, 3), "COM") || SameLetters(base.substr(0, 3), "LPT")))
        return base[3] >= '0' && base[3] <= '9';
    return false;
}

} // namespace

bool IsPiecePath(std::string_view path) {
    // \\.\, \\?\ and \??\ reach pipes, volumes and devices by their object names.
    if (path.size() >= 4 && IsSlash(path[3]) &&
        ((IsSlash(path[0]) && IsSlash(path[1]) && (path[2] == '.' || path[2] == '?')) ||
         (IsSlash(path[0]) && path[1] == '?' && path[2] == '?')))
        return false;
    if (path.size() < 5)
        return false;
    std::string_view suffix = path.substr(path.size() - 4);
    if (suffix[0] != '.' || suffix[1] < '0' || suffix[1] > '4' || suffix[2] < '0' ||
        suffix[2] > '9' || suffix[3] < '0' || suffix[3] > '9')
        return false;
    size_t slash = path.find_last_of("\\/:");
    std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
    return !IsDeviceName(last.substr(0, last.find('.')));
}

} // namespace kestro
