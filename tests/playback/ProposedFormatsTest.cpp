// Whatever the format message proposes for a raw stream must pass the query, the begin and every
// frame, into a host buffer of exactly the proposed size.
#include <gtest/gtest.h>

#include <cstring>

#include "GuardedBuffer.h"
#include "PlaybackSupport.h"

using namespace kp;

namespace {

struct Stored {
    const char* name;
    DWORD compression;
    WORD bits;
};

const Stored kStored[] = {
    {"Yuy2", kt::kYuy2, 16}, {"Uyvy", kt::kUyvy, 16}, {"Rgb24", BI_RGB, 24}, {"Rgb32", BI_RGB, 32}};

// What hosts leave in the output buffer before asking: nothing, or the kind they would like.
struct Request {
    const char* name;
    DWORD compression;
    WORD bits;
    bool zeroed;
};

const Request kRequests[] = {{"zeroed", 0, 0, true},
                             {"rgb24", BI_RGB, 24, false},
                             {"rgb32", BI_RGB, 32, false},
                             {"yuy2", kt::kYuy2, 16, false},
                             {"uyvy", kt::kUyvy, 16, false}};

class ProposedFormats : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { PlaybackIni(GetParam()); }
    void TearDown() override { kt::RemoveIni(); }
};

TEST_P(ProposedFormats, PassQueryBeginAndEveryFrame) {
    const std::string dir = kt::DataDir(std::string("proposed") + (GetParam() ? "F" : "P"));
    const LONG width = 64, rows = 40;
    for (const Stored& s : kStored) {
        Bytes frame = Noise(size_t(width) * rows * s.bits / 8, 60);
        auto placed = WriteDataFile(dir + "\\" + s.name + ".000", {frame});
        for (LONG height : {rows, -rows}) {
            for (const Request& r : kRequests) {
                SCOPED_TRACE(::testing::Message()
                             << s.name << " stream of height " << height << ", request " << r.name);
                kt::Format in = RawStream(width, height, s.compression, s.bits);
                kt::Format out;
                if (r.zeroed)
                    out.bytes.assign(40, 0);
                else
                    out = kt::MakeFormat(width, height, r.compression, r.bits);
                kt::Hic hic = kt::OpenKest(ICMODE_DECOMPRESS);
                ASSERT_TRUE(hic);
                ASSERT_EQ(ICDecompressGetFormat(hic.get(), in.header(), out.header()), ICERR_OK);
                const BITMAPINFOHEADER* proposed = out.header();
                // A pair the stream cannot produce keeps the stream's own header: no proposal.
                if (proposed->biCompression == kt::kKest)
                    continue;
                EXPECT_EQ(ICDecompressQuery(hic.get(), in.header(), proposed), ICERR_OK);
                ASSERT_EQ(ICDecompressBegin(hic.get(), in.header(), proposed), ICERR_OK);
                ASSERT_GT(proposed->biSizeImage, 0u);
                kt::GuardedBuffer picture(proposed->biSizeImage);
                Bytes record = MakeRecord(placed[0]);
                in.header()->biSizeImage = DWORD(record.size());
                EXPECT_EQ(LONG(ICDecompress(hic.get(), 0, in.header(), record.data(), out.header(),
                                            picture.data())),
                          ICERR_OK);
                EXPECT_EQ(ICDecompressEnd(hic.get()), ICERR_OK);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(FastRead, ProposedFormats, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Fast" : "Plain"; });

} // namespace
