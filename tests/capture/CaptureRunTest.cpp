// Begin, end and the record of a capture run; the data file read back byte for byte.
#include <algorithm>
#include <cstring>

#include "CaptureFixture.h"
#include "pure/TakeFile.h"

using namespace kt;

namespace {

class CaptureRun : public CaptureTest {};

TEST_F(CaptureRun, EmptyRunLeavesOnePageHeader) {
    Open({{"fastwrite", "0"}});
    Format in = MakeFormat(64, 32, kYuy2, 16); // 4096 bytes
    ASSERT_EQ(Begin(in), ICERR_OK);
    EXPECT_EQ(End(), ICERR_OK);
    EXPECT_EQ(FileSizeOf(Piece(0)), kPage);
    auto bytes = ReadAt(Piece(0), 0, kPage);
    ASSERT_EQ(bytes.size(), kPage);
    EXPECT_EQ(std::memcmp(bytes.data(), in.header(), 40), 0);
    for (size_t i = 40; i < kPage; ++i)
        ASSERT_EQ(bytes[i], 0) << i;
    EXPECT_FALSE(Exists(Piece(1)));
}

TEST_F(CaptureRun, RecordsNameTheirPageAlignedFrames) {
    Open({{"fastwrite", "0"}});
    Format in = MakeFormat(64, 32, kYuy2, 16);
    ASSERT_EQ(Begin(in), ICERR_OK);
    for (int f = 0; f < 4; ++f) {
        auto image = FramePattern(4096, f);
        FrameResult r = Compress(in, image.data());
        ASSERT_EQ(r.result, ICERR_OK);
        EXPECT_EQ(r.record.offset, uint64_t(f) * 4096);
        EXPECT_EQ(r.record.size, 4096u);
        EXPECT_EQ(r.record.name, Piece(0));
        EXPECT_EQ(r.ckid, kKest);
        EXPECT_EQ(r.flags, DWORD(AVIIF_KEYFRAME));
        EXPECT_EQ(ReadAt(Piece(0), r.record.offset, 4096), image) << "frame " << f;
    }
    EXPECT_EQ(End(), ICERR_OK);
    EXPECT_EQ(FileSizeOf(Piece(0)), 4u * 4096);
}

TEST_F(CaptureRun, DefaultNameGivesThirtyByteRecords) {
    // c:\kestro.000 is the default piece; keep whatever lies there.
    std::string defaultPiece = "c:\\kestro.000", defaultTake = "c:\\kestro.take";
    std::string saved = ReadFileBytes(defaultPiece), savedTake = ReadFileBytes(defaultTake);
    bool existed = Exists(defaultPiece), takeExisted = Exists(defaultTake);
    WriteIni({{"fastwrite", "0"}});
    hic = OpenKest();
    ASSERT_TRUE(hic);
    Format in = MakeFormat(64, 32, kYuy2, 16);
    ASSERT_EQ(Begin(in), ICERR_OK);
    auto image = FramePattern(4096, 1);
    FrameResult r = Compress(in, image.data());
    ASSERT_EQ(r.result, ICERR_OK);
    EXPECT_EQ(r.outputSize, 30u);
    EXPECT_EQ(r.record.name, defaultPiece);
    End();
    hic.reset();
    if (existed)
        WriteFileBytes(defaultPiece, saved);
    else
        DeleteFileA(defaultPiece.c_str());
    if (takeExisted)
        WriteFileBytes(defaultTake, savedTake);
    else
        DeleteFileA(defaultTake.c_str());
}

TEST_F(CaptureRun, LongerPieceKeepsItsLengthAndTail) {
    std::string filler(10 * kPage, '\xEE');
    WriteFileBytes(base + ".000", filler);
    Open({{"fastwrite", "1"}, {"buffer", "1"}});
    Format in = MakeFormat(64, 32, kYuy2, 16);
    ASSERT_EQ(Begin(in), ICERR_OK);
    EXPECT_EQ(FileSizeOf(Piece(0)), 10u * kPage) << "begin neither shrinks nor extends";
    auto header = ReadAt(Piece(0), 0, 40);
    EXPECT_EQ(std::memcmp(header.data(), in.header(), 40), 0);
    EXPECT_EQ(ReadAt(Piece(0), 40, 1)[0], 0xEE) << "only the 40 bytes are written";
    for (int f = 0; f < 2; ++f) {
        auto image = FramePattern(4096, f);
        ASSERT_EQ(Compress(in, image.data()).result, ICERR_OK);
    }
    End();
    EXPECT_EQ(FileSizeOf(Piece(0)), 10u * kPage);
    EXPECT_EQ(ReadAt(Piece(0), 0, 4096), FramePattern(4096, 0)) << "frame 0 covers the header";
    auto tail = ReadAt(Piece(0), 2 * kPage, 8 * kPage);
    EXPECT_EQ(std::string(tail.begin(), tail.end()), filler.substr(0, 8 * kPage));
}

TEST_F(CaptureRun, SizeRuleAndImplicitBegin) {
    Format odd = MakeFormat(60, 30, kYuy2, 16); // 3600 bytes, not whole pages
    Open({{"fastwrite", "1"}, {"buffer", "0"}});
    EXPECT_EQ(Begin(odd), ICERR_BADFORMAT);
    EXPECT_FALSE(Exists(Piece(0))) << "refused before the file is touched";

    // A host that never sends the begin message still gets a run.
    Format in = MakeFormat(64, 32, kYuy2, 16);
    out = StreamFormatFor(hic.get(), in);
    auto image = FramePattern(4096, 3);
    FrameResult r = Compress(in, image.data());
    ASSERT_EQ(r.result, ICERR_OK);
    EXPECT_EQ(r.record.offset, 0u);
    r = Compress(in, image.data());
    EXPECT_EQ(r.record.offset, 4096u);
    End();
    EXPECT_EQ(ReadAt(Piece(0), 4096, 4096), image);
    EXPECT_EQ(End(), ICERR_OK) << "ending twice is harmless";
}

// With buffer set, an image that ends inside a page is stored without reading past its end: the
// host buffer here ends on an inaccessible page.
TEST_F(CaptureRun, PartialLastPageNeverReadsPastTheHostImage) {
    for (const char* fast : {"0", "1"}) {
        SCOPED_TRACE(std::string("fastwrite=") + fast);
        Open({{"fastwrite", fast}, {"buffer", "1"}});
        Format in = MakeFormat(60, 30, kYuy2, 16); // 3600 bytes
        ASSERT_EQ(Begin(in), ICERR_OK);
        auto* block = static_cast<uint8_t*>(
            VirtualAlloc(nullptr, 2 * kPage, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        DWORD old;
        VirtualProtect(block + kPage, kPage, PAGE_NOACCESS, &old);
        uint8_t* image = block + kPage - 3600;
        for (int f = 0; f < 3; ++f) {
            auto pattern = FramePattern(3600, f);
            std::memcpy(image, pattern.data(), pattern.size());
            FrameResult r = Compress(in, image);
            ASSERT_EQ(r.result, ICERR_OK);
            EXPECT_EQ(r.record.size, 3600u);
            EXPECT_EQ(r.record.offset, uint64_t(f) * kPage);
            EXPECT_EQ(ReadAt(Piece(0), r.record.offset, 3600), pattern);
        }
        End();
        hic.reset();
        VirtualFree(block, 0, MEM_RELEASE);
        DeleteFileA(Piece(0).c_str());
    }
}

TEST_F(CaptureRun, BadFramesFailAndTheRunGoesOn) {
    Open({{"fastwrite", "1"}, {"buffer", "1"}});
    Format in = MakeFormat(64, 32, kYuy2, 16);
    ASSERT_EQ(Begin(in), ICERR_OK);
    auto image = FramePattern(4096, 5);
    std::vector<uint8_t> record(64, 0xCD);
    DWORD ckid = 0, flags = 0;
    HIC h = hic.get();
    EXPECT_EQ(ICSendMessage(h, ICM_COMPRESS, 0, sizeof(ICCOMPRESS)), ICERR_BADFORMAT);
    EXPECT_EQ(LONG(ICCompress(h, 0, out.header(), record.data(), in.header(), nullptr, &ckid,
                              &flags, 0, 0, 0, nullptr, nullptr)),
              ICERR_BADFORMAT);
    EXPECT_EQ(LONG(ICCompress(h, 0, out.header(), nullptr, in.header(), image.data(), &ckid, &flags,
                              0, 0, 0, nullptr, nullptr)),
              ICERR_BADFORMAT);
    Format bigger = MakeFormat(64, 64, kYuy2, 16);
    auto big = FramePattern(8192, 0);
    EXPECT_EQ(LONG(ICCompress(h, 0, out.header(), record.data(), bigger.header(), big.data(), &ckid,
                              &flags, 0, 0, 0, nullptr, nullptr)),
              ICERR_BADFORMAT);
    EXPECT_EQ(record[0], 0xCD);

    // A host without a chunk-id place still gets the record.
    ASSERT_EQ(LONG(ICCompress(h, 0, out.header(), record.data(), in.header(), image.data(), nullptr,
                              &flags, 0, 0, 0, nullptr, nullptr)),
              ICERR_OK);
    uint64_t offset;
    std::memcpy(&offset, record.data(), 8);
    EXPECT_EQ(offset, 0u) << "failed frames take no space";
    End();
    EXPECT_EQ(ReadAt(Piece(0), 0, 4096), image);
}

TEST_F(CaptureRun, TopDownPicturesAreCaptured) {
    Open({{"fastwrite", "1"}, {"buffer", "0"}});
    Format in = MakeFormat(64, -32, kYuy2, 16); // 4096 bytes, rows from the top
    ASSERT_EQ(Begin(in), ICERR_OK);
    for (int f = 0; f < 2; ++f) {
        auto image = FramePattern(4096, f);
        FrameResult r = Compress(in, image.data());
        ASSERT_EQ(r.result, ICERR_OK);
        EXPECT_EQ(r.record.offset, uint64_t(f) * kPage);
        EXPECT_EQ(ReadAt(Piece(0), r.record.offset, 4096), image);
    }
    End();
}

TEST_F(CaptureRun, PictureTooSmallForTheRecordIsRefused) {
    // Hosts size their output buffer by ICM_COMPRESS_GET_SIZE: 5 bytes for one RGB pixel.
    Open({{"fastwrite", "0"}, {"buffer", "1"}});
    Format tiny = MakeFormat(1, 1, BI_RGB, 24);
    EXPECT_LT(ICCompressGetSize(hic.get(), tiny.header(), nullptr), 30);
    EXPECT_EQ(Begin(tiny), ICERR_BADFORMAT);
}

TEST_F(CaptureRun, DataFileNamesWhoseRecordsCouldNotPlayAreRefusedAtBegin) {
    // Playback opens local absolute pieces and pieces in the configured share only; a capture
    // into any other name would store frames nobody can play (and write who knows where).
    const std::string leaf = "kt-" + std::to_string(GetCurrentProcessId()) + "-refused";
    Format in = MakeFormat(64, 32, kYuy2, 16);
    auto image = FramePattern(4096, 0);
    // Where a capture that took these names would have written.
    extraCleanup = {leaf + ".000", dir + "\\..\\" + leaf + ".000", dir + "\\" + leaf + ".000"};
    for (const std::string& name :
         {leaf, "T:" + leaf, dir + "\\..\\" + leaf, dir + "\\" + leaf + ":s", dir + "\\.\\" + leaf,
          dir + "\\COM1"}) {
        SCOPED_TRACE(name);
        Open({{"fastwrite", "0"}, {"filename", name}});
        EXPECT_EQ(Begin(in), ICERR_BADFORMAT);
        EXPECT_EQ(Compress(in, image.data()).result, ICERR_BADFORMAT);
        EXPECT_EQ(End(), ICERR_OK);
        hic.reset();
        EXPECT_FALSE(Exists(leaf + ".000")) << "created in the current folder";
        EXPECT_FALSE(Exists(dir + "\\..\\" + leaf + ".000"));
        EXPECT_FALSE(Exists(dir + "\\" + leaf + ".000"));
    }
    Open({{"fastwrite", "0"}, {"filename", dir + "/" + leaf}});
    ASSERT_EQ(Begin(in), ICERR_OK);
    FrameResult r = Compress(in, image.data());
    ASSERT_EQ(r.result, ICERR_OK);
    EXPECT_EQ(r.record.name, dir + "/" + leaf + ".000");
    EXPECT_EQ(End(), ICERR_OK);
}

TEST_F(CaptureRun, UnopenablePieceZeroAndReadOnlyDrive) {
    CreateDirectoryA(Piece(0).c_str(), nullptr);
    Open({{"fastwrite", "0"}});
    Format in = MakeFormat(64, 32, kYuy2, 16);
    EXPECT_EQ(Begin(in), ICERR_BADFORMAT);
    auto image = FramePattern(4096, 0);
    EXPECT_EQ(Compress(in, image.data()).result, ICERR_BADFORMAT);
    EXPECT_EQ(End(), ICERR_OK);
    hic.reset();

    if (GetFileAttributesA("R:\\") == INVALID_FILE_ATTRIBUTES)
        GTEST_SKIP() << "no read-only drive R: (needs the capture_drives fixture)";
    Open({{"fastwrite", "1"}, {"filename", "R:\\data"}});
    EXPECT_EQ(Begin(in), ICERR_BADFORMAT);
    EXPECT_EQ(Compress(in, image.data()).result, ICERR_BADFORMAT);
    EXPECT_EQ(End(), ICERR_OK);
}

std::vector<std::string> NamesIn(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (found.cFileName[0] != '.')
            names.push_back(found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

// The take file beside piece 0 names the run's take from its begin on, with the formats; the end
// adds the frame count. Every run draws a new take, and the file remembers the ones it replaced.
TEST_F(CaptureRun, TakeFileNamesTheTakeThePiecesHold) {
    const std::string takeFile = base + ".take";
    for (const char* split : {"0", "1"}) {
        SCOPED_TRACE(std::string("divide=") + split);
        Open({{"fastwrite", "0"}, {"divide", split}, {"dividesize", "3"}});
        Format in = MakeFormat(64, 32, kYuy2, 16);
        std::vector<uint32_t> takes;
        for (int run = 0; run < 3; ++run) {
            ASSERT_EQ(Begin(in), ICERR_OK);
            auto begun = kestro::ParseTakeFile(ReadFileBytes(takeFile)).take;
            ASSERT_TRUE(begun) << "written before the first frame";
            EXPECT_FALSE(begun->frames);
            EXPECT_EQ(begun->pieceBytes, split[0] == '1' ? 3ull << 30 : 0);
            EXPECT_EQ(begun->inputFormat,
                      std::vector<uint8_t>(in.bytes.begin(), in.bytes.begin() + 40));
            EXPECT_EQ(begun->streamFormat, out.bytes);
            EXPECT_EQ(begun->started.size(), 20u);
            auto image = FramePattern(4096, run);
            for (int f = 0; f < run + 1; ++f) {
                FrameResult r = Compress(in, image.data());
                ASSERT_EQ(r.result, ICERR_OK);
                EXPECT_EQ(r.record.take, begun->id);
            }
            ASSERT_EQ(End(), ICERR_OK);
            auto ended = kestro::ParseTakeFile(ReadFileBytes(takeFile)).take;
            ASSERT_TRUE(ended);
            EXPECT_EQ(ended->id, begun->id);
            EXPECT_EQ(ended->frames, uint64_t(run + 1));
            EXPECT_EQ(ended->ended.size(), 20u);
            EXPECT_EQ(ended->replaced.size(), takes.size() + (split[0] == '1' ? 3 : 0));
            if (!takes.empty()) {
                ASSERT_TRUE(kestro::FindEarlierTake(*ended, takes.back()));
                EXPECT_NE(kestro::FindEarlierTake(*ended, takes.back())->started, "");
            }
            for (uint32_t earlier : takes)
                EXPECT_NE(ended->id, earlier) << "a new identity for every run";
            takes.push_back(ended->id);
        }
        hic.reset();
    }
    EXPECT_EQ(NamesIn(dir), (std::vector<std::string>{"data.000", "data.journal", "data.take"}))
        << "no temporary file is left";
}

// A take file that cannot be written (a folder of its name) stops no capture, with either writer
// family; the frames still carry their take, and no temporary file stays behind.
TEST_F(CaptureRun, TakeFileThatCannotBeWrittenStopsNoCapture) {
    const std::string takeFile = base + ".take";
    ASSERT_TRUE(CreateDirectoryA(takeFile.c_str(), nullptr));
    for (const char* fast : {"0", "1"}) {
        SCOPED_TRACE(std::string("fastwrite=") + fast);
        Open({{"fastwrite", fast}});
        Format in = MakeFormat(64, 32, kYuy2, 16);
        ASSERT_EQ(Begin(in), ICERR_OK);
        for (int f = 0; f < 3; ++f) {
            auto image = FramePattern(4096, f);
            FrameResult r = Compress(in, image.data());
            ASSERT_EQ(r.result, ICERR_OK) << "frame " << f;
            EXPECT_EQ(ReadAt(Piece(0), r.record.offset, 4096), image);
        }
        EXPECT_EQ(End(), ICERR_OK);
        hic.reset();
        DWORD attributes = GetFileAttributesA(takeFile.c_str());
        EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES &&
                    (attributes & FILE_ATTRIBUTE_DIRECTORY));
        EXPECT_EQ(NamesIn(dir), (std::vector<std::string>{"data.000", "data.journal", "data.take"}))
            << "no temporary file is left";
    }
}

} // namespace
