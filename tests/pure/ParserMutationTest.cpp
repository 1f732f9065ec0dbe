// Mutated frame records and stream formats through the pure parsers, each in a buffer that ends
// where unreadable memory begins, checked against a plain model of what may be accepted.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <cctype>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "PageEndBuffer.h"
#include "pure/FrameRecord.h"
#include "pure/PiecePath.h"
#include "pure/StreamFormat.h"
#include "pure/ReadPlan.h"

using namespace kestro;

namespace {

uint32_t Seed() {
    const char* text = std::getenv("KESTRO_FUZZ_SEED");
    return text ? uint32_t(std::strtoul(text, nullptr, 0)) : 20261208u;
}

int Rounds(int fallback) {
    const char* text = std::getenv("KESTRO_FUZZ_ITERATIONS");
    return text ? std::atoi(text) : fallback;
}

std::vector<uint8_t> GoodRecord(std::mt19937& random) {
    static const char* const names[] = {"c:\\kestro.000", "T:\\take\\clip.avi.017",
                                        "\\\\server\\share\\k.499", "D:\\x.123"};
    std::string name = names[random() % 4];
    std::vector<uint8_t> record(FrameRecordBytes(name.size()));
    WriteFrameRecord(record.data(), record.size(), uint64_t(random()) << 12, random(), random(),
                     name);
    return record;
}

void Mutate(std::vector<uint8_t>& bytes, std::mt19937& random) {
    int edits = 1 + int(random() % 4);
    for (int i = 0; i < edits; ++i) {
        switch (random() % 6) {
        case 0: // one byte changed
            if (!bytes.empty())
                bytes[random() % bytes.size()] = uint8_t(random());
            break;
        case 1: // cut short, possibly inside the fixed part
            bytes.resize(random() % (bytes.size() + 1));
            break;
        case 2: // the terminator replaced, so the path runs on
            for (auto& b : bytes)
                if (b == 0 && random() % 2)
                    b = 'z';
            break;
        case 3: // grown with text, terminated or not
            bytes.insert(bytes.end(), random() % 300, uint8_t('a' + random() % 26));
            break;
        case 4: // a zero somewhere
            if (!bytes.empty())
                bytes[random() % bytes.size()] = 0;
            break;
        default: // garbage throughout
            for (auto& b : bytes)
                b = uint8_t(random());
        }
    }
}

// What a record of `available` bytes may give, decided byte by byte.
bool ModelAccepts(const uint8_t* record, size_t available, size_t* length) {
    if (available < kFrameRecordFixedBytes + 2)
        return false;
    size_t end = std::min<size_t>(available, kMaxFrameRecordBytes);
    for (size_t i = kFrameRecordFixedBytes; i < end; ++i)
        if (record[i] == 0) {
            *length = i - kFrameRecordFixedBytes;
            return *length > 0;
        }
    return false;
}

TEST(ParserMutation, FrameRecordsAtThePageEndFollowTheModel) {
    std::mt19937 random(Seed());
    const int rounds = Rounds(20000);
    int accepted = 0;
    PageEndBuffer buffer(4096);
    for (int round = 0; round < rounds; ++round) {
        std::vector<uint8_t> bytes = GoodRecord(random);
        if (round % 8)
            Mutate(bytes, random);
        // What the host vouches for: the record's length, or less, and never more than it holds.
        size_t claim = round % 3 ? bytes.size() : random() % (bytes.size() + 1);
        const uint8_t* record = buffer.Place(bytes);
        size_t available = RecordLimit(uint32_t(claim));
        auto view = ParseFrameRecord(record, available);
        size_t length = 0;
        bool expected = ModelAccepts(record, available, &length);
        ASSERT_EQ(bool(view), expected)
            << "round " << round << ", " << bytes.size() << " bytes, claim " << claim;
        if (!view)
            continue;
        ++accepted;
        ASSERT_EQ(view->path.size(), length) << "round " << round;
        ASSERT_EQ(static_cast<const void*>(view->path.data()), record + 16);
        uint64_t offset = 0;
        uint32_t size = 0;
        std::memcpy(&offset, record, 8);
        std::memcpy(&size, record + 8, 4);
        ASSERT_EQ(view->offset, offset);
        ASSERT_EQ(view->size, size);
    }
    // The mutations must leave both outcomes common, or the model compared nothing.
    EXPECT_GT(accepted, rounds / 10);
    EXPECT_LT(accepted, rounds - rounds / 10);
}

TEST(ParserMutation, PiecePathsAreOnlyPlainPieceNames) {
    std::mt19937 random(Seed());
    const std::string alphabet = "\\/.?:$ aAcCkKnNoOlLmMpPrRuUxX0123459";
    const int rounds = Rounds(20000);
    int opened = 0;
    for (int round = 0; round < rounds; ++round) {
        std::string path;
        size_t length = random() % 24;
        for (size_t i = 0; i < length; ++i)
            path += alphabet[random() % alphabet.size()];
        if (round % 2) {
            char suffix[8];
            std::snprintf(suffix, sizeof suffix, round % 4 == 1 ? ".%03u" : ".%u",
                          unsigned(random() % 600));
            path += suffix;
        }
        // Roots of every kind, so that the full rule gets past its first test.
        static const char* const roots[] = {"",
                                            "",
                                            "C:\\",
                                            "x:/",
                                            "\\\\srv\\caps\\",
                                            "//SRV/Caps/",
                                            "\\\\srv\\",
                                            "\\\\evil\\caps\\"};
        path = roots[random() % 8] + path;
        if (MayOpenPiecePath(path, "\\\\srv\\caps\\take")) {
            ++opened;
            // Whatever may be opened is a piece name, absolute on a drive or inside \\srv\caps,
            // with no colon past the drive letter and no component of dots.
            ASSERT_TRUE(IsPiecePath(path)) << path;
            std::string folded = path;
            for (auto& c : folded)
                c = c == '/' ? '\\' : char(std::toupper(static_cast<unsigned char>(c)));
            const bool local = std::isalpha(static_cast<unsigned char>(path[0])) &&
                               path[1] == ':' && folded[2] == '\\';
            ASSERT_TRUE(local || folded.rfind("\\\\SRV\\CAPS\\", 0) == 0) << path;
            ASSERT_EQ(path.find(':', local ? 2 : 0), std::string::npos) << path;
            std::string_view rest = std::string_view(folded).substr(local ? 3 : 2);
            for (size_t at = 0; at <= rest.size();) {
                size_t end = std::min(rest.find('\\', at), rest.size());
                std::string_view component = rest.substr(at, end - at);
                ASSERT_TRUE(component.empty() ||
                            component.find_first_not_of(". ") != std::string_view::npos)
                    << path;
                at = end + 1;
            }
        }
        bool accepted = IsPiecePath(path);
        if (!accepted)
            continue;
        // Whatever passes ends in a piece suffix and is in no device namespace.
        ASSERT_GE(path.size(), 5u) << path;
        std::string_view suffix = std::string_view(path).substr(path.size() - 4);
        ASSERT_EQ(suffix[0], '.') << path;
        int number = std::atoi(std::string(suffix.substr(1)).c_str());
        ASSERT_TRUE(suffix.substr(1).find_first_not_of("0123456789") == std::string_view::npos &&
                    number <= 499)
            << path;
        std::string head = path.substr(0, 4);
        for (auto& c : head)
            c = c == '/' ? '\\' : c;
        ASSERT_NE(head, "\\\\.\\") << path;
        ASSERT_NE(head, "\\\\?\\") << path;
        ASSERT_NE(head, "\\??\\") << path;
    }
    EXPECT_GT(opened, rounds / 100) << "the roots must lead to paths that may be opened";
    for (const char* name : {"c:\\kestro.000", "T:\\a\\b.c.499", "\\\\host\\share\\x.250", "k.001",
                             "D:\\console.000", "D:\\COM10.000", "D:\\nul1.000"})
        EXPECT_TRUE(IsPiecePath(name)) << name;
    for (const char* name :
         {"c:\\kestro.500", "c:\\kestro.00", "c:\\kestro.0000", "c:\\kestdisk.ini",
          "c:\\kestro.0a0", "\\\\.\\pipe\\k.000", "//./pipe/k.000", "\\\\?\\C:\\k.000",
          "\\??\\C:\\k.000", "/\\.\\COM1.000", "C:\\dir\\COM1.000", "c:\\nul.000",
          "C:\\a\\Con .txt.000", "LPT9.001", "c:aux.000", "c:\\x\\CONOUT$.000", ".000", ""})
        EXPECT_FALSE(IsPiecePath(name)) << name;
}

TEST(ParserMutation, StreamFormatsAtThePageEndStayInsideWhatTheyClaim) {
    std::mt19937 random(Seed());
    const int rounds = Rounds(20000);
    int accepted = 0;
    PageEndBuffer buffer(4096);
    for (int round = 0; round < rounds; ++round) {
        // A buffer that holds exactly the bytes its biSize promises (at least the size field).
        static const uint32_t sizes[] = {0, 4, 12, 39, 40, 41, 51, 52, 53, 60, 92, 300};
        uint32_t claimed = sizes[random() % 12];
        size_t held = std::max<uint32_t>(claimed, 4);
        std::vector<uint8_t> bytes(held);
        for (auto& b : bytes)
            b = uint8_t(random());
        std::memcpy(bytes.data(), &claimed, 4);
        if (held >= 52 && random() % 2) { // a plausible chained size, honest or one too many
            uint32_t chain = uint32_t(held - 52) + (random() % 3 == 0 ? 1 : 0);
            std::memcpy(bytes.data() + 48, &chain, 4);
        }
        const uint8_t* format = buffer.Place(bytes);

        auto bitmap = ReadBitmapHeader(format);
        ASSERT_EQ(bool(bitmap), claimed >= 40) << "round " << round;
        auto stream = ReadStreamFormat(format);
        uint32_t chain = 0;
        if (held >= 52)
            std::memcpy(&chain, bytes.data() + 48, 4);
        bool fits = claimed >= 52 && chain <= claimed - 52;
        ASSERT_EQ(bool(stream), fits) << "round " << round << " biSize " << claimed;
        if (!stream)
            continue;
        ++accepted;
        const uint8_t* chained = static_cast<const uint8_t*>(ChainFormatOf(format, *stream));
        if (stream->biChainFormatSize == 0) {
            ASSERT_EQ(chained, nullptr);
        } else {
            ASSERT_EQ(chained, format + 52);
            ASSERT_LE(52 + stream->biChainFormatSize, held);
        }
        // The sizes every run derives from a header never wrap.
        if (auto image = DibImageBytes(stream->biWidth, stream->biHeight, stream->biBitCount)) {
            uint64_t rows = stream->biHeight < 0 ? uint64_t(-int64_t(stream->biHeight))
                                                 : uint64_t(stream->biHeight);
            ASSERT_EQ(uint64_t(*image),
                      uint64_t(DibRowBytes(stream->biWidth, stream->biBitCount)) * rows);
        }
        if (auto largest = LargestFrameBytes(*stream)) {
            ASSERT_GT(*largest, 0);
        }
    }
    EXPECT_GT(accepted, rounds / 10);
}

} // namespace
