// The frame journal's reader on what a capture leaves (whole pages, a killed host's cut file) and
// on bytes that are no journal of ours.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "pure/FrameJournal.h"

using namespace kestro;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kPage = 4096;

JournalHeader Header() {
    JournalHeader h;
    h.ticksPerSecond = 10'000'000;
    h.take = 0x1234abcd;
    h.requests = 8;
    h.width = 3840;
    h.height = 2160;
    h.compression = 0x30313050; // P010
    h.imageBytes = 3840 * 2160 * 3;
    h.rate = 60000;
    h.scale = 1001;
    h.beganFileTime = 0x01db0123456789abull;
    return h;
}

std::vector<JournalRow> Rows() {
    std::vector<JournalRow> rows(3);
    for (uint32_t i = 0; i < rows.size(); ++i) {
        rows[i].frame = i == 2 ? 7 : i; // the host skipped 2 to 6
        rows[i].bytes = 49770496;
        rows[i].arrived = 166'833 * uint64_t(i) + (i == 2 ? kJournalMaxArrival / 2 : 0);
        rows[i].piece = uint8_t(i);
        rows[i].stripe = uint8_t(i % 2);
        rows[i].inFlight = uint8_t(8 - i);
        rows[i].returned = 120 + i;
        rows[i].waited = i == 1 ? 410'000 : 0;
        rows[i].issued = 100 + i;
        rows[i].completed = i == 2 ? kJournalUnknown : 5000 + i;
    }
    return rows;
}

// One page, as the codec writes a journal of three frames: the header, the rows, zeros.
Bytes Page() {
    Bytes bytes(kPage, 0);
    EncodeJournalHeader(Header(), bytes.data());
    const auto rows = Rows();
    for (size_t i = 0; i < rows.size(); ++i)
        EncodeJournalRow(rows[i], bytes.data() + kJournalHeaderBytes + i * kJournalRowBytes);
    return bytes;
}

uint8_t* RowBytes(Bytes& b, size_t row) {
    return b.data() + kJournalHeaderBytes + row * kJournalRowBytes;
}

TEST(FrameJournal, RowsAndHeaderReadBackAsWritten) {
    const JournalRead read = ParseJournal(Page());
    EXPECT_EQ(read.damage, "");
    ASSERT_TRUE(read.header);
    EXPECT_EQ(*read.header, Header());
    EXPECT_EQ(read.rows, Rows());
    EXPECT_EQ(read.cutBytes, 0u);
}

TEST(FrameJournal, FieldsTooLargeAreClampedNotWrapped) {
    JournalRow row;
    row.arrived = kJournalMaxArrival + 5;
    row.piece = 255;
    uint8_t bytes[kJournalRowBytes];
    EncodeJournalRow(row, bytes);
    Bytes page = Page();
    std::memcpy(RowBytes(page, 3), bytes, sizeof bytes);
    const JournalRead read = ParseJournal(page);
    ASSERT_EQ(read.rows.size(), 4u) << read.damage;
    EXPECT_EQ(read.rows[3].arrived, kJournalMaxArrival);
    EXPECT_EQ(read.rows[3].piece, 254) << "255 would read as an unused row";
    EXPECT_EQ(JournalTicks(uint64_t(1) << 40), kJournalUnknown - 1);
    EXPECT_EQ(JournalTicks(77), 77u);
    EXPECT_EQ(JournalFileName("d:\\caps\\take"), "d:\\caps\\take.journal");
}

struct ParseRow {
    const char* name;
    std::function<void(Bytes&)> change;
    size_t rows;             // read when no damage
    size_t cutBytes;         // counted after them
    const char* damage = ""; // a part of the refusal; "" for none
};

class ParseTable : public ::testing::TestWithParam<ParseRow> {};

TEST_P(ParseTable, ReadsWhatIsWholeAndRefusesTheRest) {
    const ParseRow& row = GetParam();
    Bytes bytes = Page();
    row.change(bytes);
    const JournalRead read = ParseJournal(bytes);
    if (*row.damage) {
        EXPECT_NE(read.damage.find(row.damage), std::string::npos) << read.damage;
        EXPECT_FALSE(read.header) << "nothing of a damaged journal is believed";
        EXPECT_TRUE(read.rows.empty());
        return;
    }
    EXPECT_EQ(read.damage, "");
    EXPECT_TRUE(read.header);
    EXPECT_EQ(read.rows.size(), row.rows);
    EXPECT_EQ(read.cutBytes, row.cutBytes);
    const auto written = Rows();
    for (size_t i = 0; i < read.rows.size() && i < written.size(); ++i)
        EXPECT_EQ(read.rows[i].frame, written[i].frame) << "row " << i;
}

void Put32(Bytes& b, size_t at, uint32_t v) {
    std::memcpy(b.data() + at, &v, 4);
}

const size_t kAfterRows = kJournalHeaderBytes + 3 * kJournalRowBytes;

INSTANTIATE_TEST_SUITE_P(
    Rows, ParseTable,
    ::testing::Values(
        ParseRow{"WholePage", [](Bytes&) {}, 3, 0},
        // A killed host: the file ends where its last write did.
        ParseRow{"EndsAfterTheLastRow", [](Bytes& b) { b.resize(kAfterRows); }, 3, 0},
        ParseRow{"HeaderOnly", [](Bytes& b) { b.resize(kJournalHeaderBytes); }, 0, 0},
        ParseRow{"LastRowCut", [](Bytes& b) { b.resize(kAfterRows - 10); }, 2, 22},
        ParseRow{"CutInsideTheZeros", [](Bytes& b) { b.resize(kAfterRows + 20); }, 3, 0},
        ParseRow{"EqualArrivals",
                 [](Bytes& b) { std::memcpy(RowBytes(b, 1) + 8, RowBytes(b, 0) + 8, 5); }, 3, 0},
        ParseRow{"CutHeader", [](Bytes& b) { b.resize(kJournalHeaderBytes - 1); }, 0, 0,
                 "shorter than"},
        ParseRow{"Empty", [](Bytes& b) { b.clear(); }, 0, 0, "shorter than"},
        ParseRow{"OtherMagic", [](Bytes& b) { b[3] = 'X'; }, 0, 0, "KJRN"},
        ParseRow{"LaterVersion", [](Bytes& b) { Put32(b, 4, 3); }, 0, 0, "version 3"},
        ParseRow{"VersionZero", [](Bytes& b) { Put32(b, 4, 0); }, 0, 0, "version 0"},
        ParseRow{"OtherHeaderSize", [](Bytes& b) { Put32(b, 8, 128); }, 0, 0, "header or row"},
        ParseRow{"OtherRowSize", [](Bytes& b) { Put32(b, 12, 16); }, 0, 0, "header or row"},
        ParseRow{"NoClock", [](Bytes& b) { std::memset(b.data() + 16, 0, 8); }, 0, 0,
                 "clock frequency"},
        ParseRow{"ArrivalGoesBack", [](Bytes& b) { std::memset(RowBytes(b, 2) + 8, 0, 5); }, 0, 0,
                 "row 2 arrived before"},
        ParseRow{"StripeBeyondFour", [](Bytes& b) { RowBytes(b, 1)[13] = 4; }, 0, 0,
                 "row 1 names data file 4"},
        ParseRow{"UsedAfterUnused", [](Bytes& b) { RowBytes(b, 1)[14] = 0; }, 0, 0,
                 "after an unused one"},
        // Bytes past the rows that are neither a row nor zeros: a used row far on is damage.
        ParseRow{"UsedRowPastTheZeros", [](Bytes& b) { RowBytes(b, 100)[14] = 1; }, 0, 0,
                 "after an unused one"}),
    [](const auto& info) { return std::string(info.param.name); });

// A journal of the build before striped takes: a six-byte arrival where the stripe is now.
TEST(FrameJournal, VersionOneReadsInStripeZeroWithItsLongerArrival) {
    Bytes page = Page();
    Put32(page, 4, kJournalVersionUnstriped);
    RowBytes(page, 1)[13] = 0x02; // arrival bits 40-47 of row 1
    RowBytes(page, 2)[13] = 0x03;
    const JournalRead read = ParseJournal(page);
    ASSERT_EQ(read.rows.size(), 3u) << read.damage;
    EXPECT_EQ(read.rows[1].arrived, Rows()[1].arrived + (uint64_t(2) << 40));
    for (const JournalRow& row : read.rows)
        EXPECT_EQ(row.stripe, 0) << "version 1 knew no stripes";
}

TEST(FrameJournal, HugeIsRefusedBeforeAnyByteIsRead) {
    // Only the length is looked at: a journal larger than any take writes is no journal.
    Bytes page = Page();
    const JournalRead read =
        ParseJournal(std::span<const uint8_t>(page.data(), size_t(kMaxJournalBytes) + 1));
    EXPECT_NE(read.damage.find("larger than"), std::string::npos) << read.damage;
    EXPECT_FALSE(read.header);
}

} // namespace
