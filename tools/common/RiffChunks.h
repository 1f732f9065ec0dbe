#pragma once
// The RIFF structure of an AVI file as the record walker and the relink read it: little-endian
// fields, chunk ids, and the walk over the children of a list.
#include <cstdint>
#include <cstdio>
#include <string>

#include "AviRecords.h"
#include "pure/Fourcc.h"

namespace kestro::avi::riff {

constexpr uint32_t kRiff = MakeFourcc("RIFF");
constexpr uint32_t kList = MakeFourcc("LIST");
constexpr uint32_t kAvi = MakeFourcc("AVI ");
constexpr uint32_t kAvix = MakeFourcc("AVIX");
constexpr uint32_t kHdrl = MakeFourcc("hdrl");
constexpr uint32_t kStrl = MakeFourcc("strl");
constexpr uint32_t kMovi = MakeFourcc("movi");
constexpr uint32_t kRec = MakeFourcc("rec ");
constexpr uint32_t kAvih = MakeFourcc("avih");
constexpr uint32_t kStrh = MakeFourcc("strh");
constexpr uint32_t kStrf = MakeFourcc("strf");
constexpr uint32_t kIdx1 = MakeFourcc("idx1");
constexpr uint32_t kIndx = MakeFourcc("indx");

inline uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t Le64(const uint8_t* p) {
    return uint64_t(Le32(p)) | uint64_t(Le32(p + 4)) << 32;
}
inline void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}
inline void Put64(uint8_t* p, uint64_t v) {
    Put32(p, uint32_t(v));
    Put32(p + 4, uint32_t(v >> 32));
}

inline std::string Hex(uint64_t v) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
    return text;
}

struct Chunk {
    uint64_t offset; // of the header
    uint32_t id;
    uint32_t size;
    uint32_t form; // list type for RIFF and LIST, else 0
    uint64_t dataStart() const { return offset + 8; }
    uint64_t dataEnd() const { return offset + 8 + size; }
};

// Children of the span [start, end), one after another; each must lie inside the span.
class ChildWalk {
public:
    ChildWalk(ByteFile& file, uint64_t start, uint64_t end, bool acceptCut = false)
        : file_(file), pos_(start), end_(end), acceptCut_(acceptCut) {}
    bool cut() const { return cut_; }
    // false at the end of the span or on a malformed child (error then set)
    bool Next(Chunk& chunk, std::string& error);

private:
    ByteFile& file_;
    uint64_t pos_;
    uint64_t end_;
    bool acceptCut_;
    bool cut_ = false;
};

} // namespace kestro::avi::riff
