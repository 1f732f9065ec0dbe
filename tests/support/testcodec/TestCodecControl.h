#pragma once
#include <cstdint>

// Steers the test codec "KTST" from a test in the same process: the test finds the exported
// KestTestControl in the loaded kesttest.dll and passes this record.
struct TestCodecControl {
    int32_t queryAnswer = 0;        // ICM_COMPRESS_QUERY and ICM_DECOMPRESS_QUERY
    int32_t formatSizeAnswer = 0;   // ICM_*_GET_FORMAT with no output; 0 means the true size
    int32_t formatAnswer = 0;       // ICM_*_GET_FORMAT with an output
    int32_t beginAnswer = 0;        // ICM_COMPRESS_BEGIN
    int32_t compressResult = 0;     // ICM_COMPRESS result; non-zero fails every frame
    int32_t failFrameEvery = 0;     // with n > 0, every n-th ICM_COMPRESS fails
    int32_t reportedSizeExtra = 0;  // added to the size reported in biSizeImage (a lying codec)
    int32_t decompressResult = 0;   // ICM_DECOMPRESS result
    int32_t maxCompressedBytes = 0; // ICM_COMPRESS_GET_SIZE answer; 0 means the input size + 8
};

struct TestCodecCounters {
    int32_t compressQueries;
    int32_t compressBegins;
    int32_t compressEnds;
    int32_t compressFrames;
    int32_t decompressFrames;
    int32_t opens;
    int32_t closes;
};

using KestTestControlFn = void(__cdecl*)(const TestCodecControl* control, TestCodecCounters* out);

// The codec's compressed form: a 4-byte count of the original bytes, then the original bytes
// up to the last non-zero one. It is lossless, and its size follows the picture's content.
constexpr uint32_t kTestCodecFourcc = 'K' | 'T' << 8 | 'S' << 16 | 'T' << 24;
