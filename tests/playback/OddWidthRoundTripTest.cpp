// Pictures whose rows are not a multiple of 4 bytes, from a host that leaves biSizeImage 0: what
// the capture stores must be what playback reads back, byte for byte.
#include <gtest/gtest.h>

#include <cstring>

#include "GuardedBuffer.h"
#include "PlaybackSupport.h"

using namespace kp;

namespace {

struct OddCase {
    const char* name;
    DWORD compression;
    WORD bits;
    uint32_t rowBytes; // a row as the host lays it out: padded to 4 bytes
};

constexpr LONG kWidth = 641, kHeight = 4;
constexpr OddCase kOddCases[] = {
    {"RGB24", BI_RGB, 24, 1924},
    {"YUY2", kt::kYuy2, 16, 1284},
    {"UYVY", kt::kUyvy, 16, 1284},
};

// (fastwrite)
class OddWidthRoundTrip : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        dir = kt::DataDir("odd-" + TestName());
        // The picture is not a whole number of pages: the run copies it into buffers of its own.
        kt::WriteIni(
            {{"filename", dir + "\\cap"}, {"buffer", "1"}, {"fastwrite", GetParam() ? "1" : "0"}});
    }
    void TearDown() override { kt::RemoveIni(); }
    std::string dir;
};

TEST_P(OddWidthRoundTrip, FramesWithoutADeclaredSizePlayBackAsTheyWent) {
    for (const OddCase& c : kOddCases) {
        SCOPED_TRACE(c.name);
        kt::Format in = kt::MakeFormat(kWidth, kHeight, c.compression, c.bits);
        in.header()->biSizeImage = 0;
        const size_t imageBytes = size_t(c.rowBytes) * kHeight;

        kt::Format stream;
        std::vector<Bytes> frames, records;
        {
            kt::Hic hic = kt::OpenKest(ICMODE_COMPRESS);
            ASSERT_TRUE(hic);
            stream = kt::StreamFormatFor(hic.get(), in);
            ASSERT_EQ(stream.bytes.size(), 52u);
            ASSERT_EQ(ICCompressBegin(hic.get(), in.header(), stream.header()), ICERR_OK);
            for (uint32_t i = 0; i < 3; ++i) {
                // The host's picture ends at a no-access page: the run reads no byte beyond it.
                frames.push_back(Noise(imageBytes, 4100 + i));
                kt::GuardedBuffer picture(imageBytes);
                picture.fill(frames.back().data(), imageBytes);
                Bytes record(512, 0);
                DWORD ckid = 0, flags = 0;
                ASSERT_EQ(ICCompress(hic.get(), 0, stream.header(), record.data(), in.header(),
                                     picture.data(), &ckid, &flags, LONG(i), 0, 0, nullptr,
                                     nullptr),
                          ICERR_OK)
                    << "frame " << i;
                record.resize(stream.header()->biSizeImage);
                uint32_t stored;
                std::memcpy(&stored, record.data() + 8, 4);
                EXPECT_EQ(stored, imageBytes) << "frame " << i << " is stored without row padding";
                records.push_back(record);
            }
            EXPECT_EQ(ICCompressEnd(hic.get()), ICERR_OK);
        }
        stream.header()->biSizeImage = 0;

        kt::Format out = kt::MakeFormat(kWidth, kHeight, c.compression, c.bits);
        ASSERT_EQ(out.header()->biSizeImage, imageBytes);
        Player player(stream, out);
        ASSERT_TRUE(player.ok());
        ASSERT_EQ(player.Begin(), ICERR_OK);
        Bytes picture;
        for (int i : {0, 1, 2, 0}) {
            ASSERT_EQ(player.Play(records[i], picture), ICERR_OK) << "frame " << i;
            EXPECT_TRUE(picture == frames[i]) << "frame " << i << " differs";
        }
        EXPECT_EQ(player.End(), ICERR_OK);
    }
}

INSTANTIATE_TEST_SUITE_P(Writers, OddWidthRoundTrip, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "fast" : "plain"; });

} // namespace
