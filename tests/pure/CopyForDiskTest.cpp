#include "pure/PixelRepack.h"
#include "PageEndBuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace kestro {
namespace {

struct LevelGuard {
    KernelLevel saved = CurrentKernelLevel();
    ~LevelGuard() { SetKernelLevel(saved); }
};

// Every level copies exactly memcpy's bytes: around the size where streaming starts, with every
// misalignment of the destination's head and tail, from a source that ends at a no-access page,
// and without touching a byte past the count.
TEST(CopyForDisk, SameBytesAsMemcpyAtEveryLevelAndAlignment) {
    LevelGuard guard;
    const size_t sizes[] = {0,
                            1,
                            15,
                            16,
                            63,
                            64,
                            65,
                            kStreamCopyMin - 1,
                            kStreamCopyMin,
                            kStreamCopyMin + 1,
                            kStreamCopyMin + 63,
                            1920 * 1080 * 2};
    for (KernelLevel level : {KernelLevel::Scalar, KernelLevel::Sse2, KernelLevel::Ssse3,
                              KernelLevel::Avx2, KernelLevel::Avx512}) {
        if (level > BestKernelLevel())
            continue;
        SetKernelLevel(level);
        for (size_t size : sizes) {
            PageEndBuffer source(size);
            for (size_t i = 0; i < size; ++i)
                source.data()[i] = uint8_t(i * 131 + (i >> 9) + 7);
            for (size_t shift : {size_t(0), size_t(1), size_t(8), size_t(15), size_t(17)}) {
                std::vector<uint8_t> out(size + shift + 64, 0xA5);
                CopyForDisk(out.data() + shift, source.data(), size);
                ASSERT_TRUE(size == 0 || std::memcmp(out.data() + shift, source.data(), size) == 0)
                    << "level " << int(level) << " size " << size << " shift " << shift;
                for (size_t k = 0; k < out.size(); ++k)
                    if (k < shift || k >= shift + size) {
                        ASSERT_EQ(out[k], 0xA5) << "level " << int(level) << " size " << size
                                                << " shift " << shift << " wrote byte " << k;
                    }
            }
        }
    }
}

// The destination may end at a no-access page too: the tail must not be written in wider steps.
TEST(CopyForDisk, DestinationEndingAtANoAccessPage) {
    LevelGuard guard;
    SetKernelLevel(BestKernelLevel());
    for (size_t size : {kStreamCopyMin + 1, kStreamCopyMin + 33, kStreamCopyMin + 4095}) {
        std::vector<uint8_t> source(size);
        for (size_t i = 0; i < size; ++i)
            source[i] = uint8_t(i ^ (i >> 8));
        PageEndBuffer target(size);
        CopyForDisk(target.data(), source.data(), size);
        ASSERT_EQ(std::memcmp(target.data(), source.data(), size), 0) << size;
    }
}

} // namespace
} // namespace kestro
