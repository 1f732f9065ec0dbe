#pragma once
// Picture sizes that a damaged or hostile stream format claims. Every command of both tools
// refuses an unusable one before any arithmetic on it, and all of them agree on which those are.
// Plain C++, read by the native tool's tests and the host program's.
#include <cstdint>
#include <string>
#include <vector>

namespace hostile {

struct SizeRow {
    const char* kind; // the stored kind's four-character code
    uint16_t bits;
    int32_t width, height;
    bool usable;
    const char* shape = nullptr; // what is said of a size its kind cannot have
    uint32_t sizeImage = 0;      // the stream format's picture size, where it says one
};

// Every pair of 0, 1, -1 and 2^31 (which a header's signed field holds as -2^31) for 8-bit grey,
// whose pictures may be one pixel wide; the height 0 of the kinds it once crashed a command with;
// odd widths of the kinds whose pixels share chroma in pairs; and an RGB stream whose bit count was
// changed alone.
inline std::vector<SizeRow> SizeRows() {
    const int32_t sides[] = {0, 1, -1, INT32_MIN};
    std::vector<SizeRow> rows;
    for (int32_t width : sides)
        for (int32_t height : sides)
            rows.push_back({"Y800", 8, width, height, width == 1 && (height == 1 || height == -1)});
    for (const SizeRow& row :
         {SizeRow{"YUY2", 16, 64, 0, false}, SizeRow{"NV12", 12, 64, 0, false},
          SizeRow{"Y800", 8, 64, 0, false},
          SizeRow{"HDYC", 16, 65, 48, false, "hdyc pictures are 65x48: an odd width"},
          SizeRow{"v210", 20, 65, 48, false, "v210 pictures are 65x48: an odd width"},
          SizeRow{"P010", 24, 65, 48, false, "p010 pictures are 65x48: an odd width"},
          // RGB32 pictures whose stream format's bit count says 24.
          SizeRow{"\0\0\0\0", 24, 64, 48, false,
                  "bit count says rgb24, but its pictures are 12288 bytes", 64 * 48 * 4}})
        rows.push_back(row);
    return rows;
}

// What every command says of a size it refuses.
inline std::string SizeRefusal(const SizeRow& row) {
    if (row.shape)
        return row.shape;
    return "unusable picture size " + std::to_string(row.width) + "x" + std::to_string(row.height);
}

inline uint32_t FourccOf(const char* code) {
    return uint32_t(uint8_t(code[0])) | uint32_t(uint8_t(code[1])) << 8 |
           uint32_t(uint8_t(code[2])) << 16 | uint32_t(uint8_t(code[3])) << 24;
}

} // namespace hostile
