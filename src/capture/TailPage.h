#pragma once
#include <cstdint>
#include <cstring>

#include "edge/Win32Edge.h"

namespace kestro {

// Writes a host image as whole pages, as unbuffered writes need: the pages the image fills from
// the image itself, and a last page it ends inside from a page of our own, since the bytes past
// the image are not the host's to hand out.
class TailPage {
public:
    // A run of images of `imageBytes`; the page is taken only when they end inside one.
    bool Begin(uint32_t imageBytes, uint32_t pageSize);
    void Release();
    // Images of the run can be written so: they are whole pages, or the page is there.
    bool Ready() const { return pageSize != 0 && (bytes % pageSize == 0 || page); }

    // `writeAt(data, count, offset)` writes and finishes one span; false as soon as one fails.
    template <typename WriteAt>
    bool Write(const uint8_t* image, uint64_t offset, WriteAt&& writeAt) {
        const uint32_t whole = bytes - bytes % pageSize;
        if (whole != 0 && !writeAt(image, whole, offset))
            return false;
        if (whole == bytes)
            return true;
        std::memcpy(page.data(), image + whole, bytes - whole);
        return writeAt(static_cast<const uint8_t*>(page.data()), pageSize, offset + whole);
    }

private:
    uint32_t bytes = 0;
    uint32_t pageSize = 0;
    PageBuffer page;
};

} // namespace kestro
