// Raw streams delivered in the row order the host asks for, by both raw readers: a request of the
// other order gets the same picture turned over, row by row, padding or not.
#include <gtest/gtest.h>

#include <cstring>

#include "GuardedBuffer.h"
#include "PlaybackSupport.h"

using namespace kp;

namespace {

struct OrderCase {
    const char* name;
    DWORD source;
    WORD storedBits;
    DWORD output;
    WORD outputBits;
};

const OrderCase kCases[] = {
    {"Yuy2AsYuy2", kt::kYuy2, 16, kt::kYuy2, 16}, {"UyvyAsYuy2", kt::kUyvy, 16, kt::kYuy2, 16},
    {"Yuy2AsRgb24", kt::kYuy2, 16, BI_RGB, 24},   {"UyvyAsRgb32", kt::kUyvy, 16, BI_RGB, 32},
    {"Rgb24AsRgb24", BI_RGB, 24, BI_RGB, 24},     {"Rgb24AsRgb32", BI_RGB, 24, BI_RGB, 32},
    {"Rgb32AsRgb32", BI_RGB, 32, BI_RGB, 32},
};

size_t Stride(LONG width, WORD bits) {
    return size_t((width * bits + 31) / 32) * 4;
}

// The picture bytes of every row (padding left out), last row first when `turned`.
Bytes Rows(const Bytes& picture, LONG width, LONG rows, WORD bits, bool turned) {
    Bytes out;
    const size_t stride = Stride(width, bits), used = size_t(width) * bits / 8;
    for (LONG j = 0; j < rows; ++j) {
        const uint8_t* row = picture.data() + size_t(turned ? rows - 1 - j : j) * stride;
        out.insert(out.end(), row, row + used);
    }
    return out;
}

Bytes PlayOne(const OrderCase& c, LONG width, LONG streamHeight, LONG outputHeight,
              const Placed& frame) {
    Player player(RawStream(width, streamHeight, c.source, c.storedBits),
                  kt::MakeFormat(width, outputHeight, c.output, c.outputBits));
    EXPECT_EQ(ICDecompressQuery(player.hic(), player.in().header(), player.out().header()),
              ICERR_OK);
    EXPECT_EQ(player.Begin(), ICERR_OK);
    Bytes picture;
    EXPECT_EQ(player.Play(MakeRecord(frame), picture), ICERR_OK);
    // Padding of a turned-over picture is the codec's own: zeros.
    const size_t stride = Stride(width, c.outputBits), used = size_t(width) * c.outputBits / 8;
    const LONG rows = outputHeight < 0 ? -outputHeight : outputHeight;
    if ((streamHeight < 0) != (outputHeight < 0) && c.output == BI_RGB)
        for (LONG j = 0; j < rows; ++j)
            for (size_t i = used; i < stride; ++i) {
                EXPECT_EQ(picture[size_t(j) * stride + i], 0) << "padding of row " << j;
            }
    return picture;
}

class RowOrder : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { PlaybackIni(GetParam()); }
    void TearDown() override { kt::RemoveIni(); }
};

TEST_P(RowOrder, TheOtherOrderIsTheSamePictureTurnedOver) {
    const std::string dir = kt::DataDir(std::string("roworder") + (GetParam() ? "F" : "P"));
    for (const OrderCase& c : kCases) {
        for (LONG width : {64L, 6L}) { // 6: RGB24 rows carry padding
            const LONG rows = 12;
            SCOPED_TRACE(::testing::Message() << c.name << " width " << width);
            Bytes stored = Noise(Stride(width, c.storedBits) * rows, uint32_t(width) * 7);
            auto placed =
                WriteDataFile(dir + "\\" + c.name + std::to_string(width) + ".000", {stored});
            for (LONG streamSign : {1L, -1L}) {
                SCOPED_TRACE(streamSign > 0 ? "bottom-up stream" : "top-down stream");
                const LONG h = streamSign * rows;
                Bytes same = PlayOne(c, width, h, h, placed[0]);
                Bytes other = PlayOne(c, width, h, -h, placed[0]);
                // Packed 4:2:2 pictures lie top row first whatever their height says.
                const bool turned = c.output == BI_RGB;
                EXPECT_EQ(Rows(other, width, rows, c.outputBits, false),
                          Rows(same, width, rows, c.outputBits, turned));
                if (c.source == BI_RGB && c.outputBits == c.storedBits) {
                    EXPECT_EQ(Rows(same, width, rows, c.outputBits, false),
                              Rows(stored, width, rows, c.storedBits, false))
                        << "the same order is the stored picture";
                }
            }
        }
    }
}

TEST_P(RowOrder, Rgb24AsRgb32AddsAZeroFourthByte) {
    const LONG width = 10, rows = 6;
    Bytes stored = Noise(Stride(width, 24) * rows, 31);
    auto placed = WriteDataFile(
        kt::DataDir(std::string("rgb32") + (GetParam() ? "F" : "P")) + "\\rgb24.000", {stored});
    Bytes expected;
    for (LONG j = 0; j < rows; ++j)
        for (LONG x = 0; x < width; ++x) {
            const uint8_t* p = stored.data() + size_t(j) * Stride(width, 24) + 3 * x;
            expected.insert(expected.end(), {p[0], p[1], p[2], 0});
        }
    Bytes picture = PlayOne(kCases[5], width, rows, rows, placed[0]);
    EXPECT_EQ(picture, expected);
    // The host's buffer holds exactly the picture: nothing may land past it.
    kt::Format in = RawStream(width, -rows, BI_RGB, 24);
    kt::Format out = kt::MakeFormat(width, rows, BI_RGB, 32);
    kt::Hic hic = kt::OpenKest(ICMODE_DECOMPRESS);
    ASSERT_EQ(ICDecompressBegin(hic.get(), in.header(), out.header()), ICERR_OK);
    kt::GuardedBuffer guarded(expected.size());
    Bytes record = MakeRecord(placed[0]);
    in.header()->biSizeImage = DWORD(record.size());
    ASSERT_EQ(
        LONG(ICDecompress(hic.get(), 0, in.header(), record.data(), out.header(), guarded.data())),
        ICERR_OK);
    EXPECT_EQ(Rows(Bytes(guarded.data(), guarded.data() + expected.size()), width, rows, 32, true),
              expected)
        << "a top-down stream as a bottom-up picture";
}

INSTANTIATE_TEST_SUITE_P(FastRead, RowOrder, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Fast" : "Plain"; });

} // namespace
