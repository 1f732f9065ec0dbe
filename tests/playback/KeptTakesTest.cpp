// A capture application that knows nothing of takes captures again and again with the same
// settings: every take of frames keeps its place, and its frames keep playing.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "PlaybackSupport.h"
#include "Thread.h"
#include "edge/TakePlace.h"

using namespace kp;

namespace {

uint64_t SizeOf(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return UINT64_MAX;
    return uint64_t(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
}

// An earlier run's takes would be kept by this one's begins.
void Empty(const std::string& folder) {
    WIN32_FIND_DATAA found{};
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::string path = folder + "\\" + found.cFileName;
        if (!DeleteFileA(path.c_str()))
            RemoveDirectoryA(path.c_str());
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

struct Take {
    kt::Format stream;
    std::vector<Bytes> frames, records;
    LRESULT begin = ICERR_OK;
    std::string Piece() const {
        return records.empty() ? std::string() : reinterpret_cast<const char*>(&records[0][16]);
    }
};

// One run through "KEST" of `count` frames of noise, as an ordinary host makes it.
Take CaptureOn(HIC hic, const kt::Format& in, uint32_t count, uint32_t seed) {
    Take take;
    take.stream = kt::StreamFormatFor(hic, in);
    take.begin = ICCompressBegin(hic, in.header(), take.stream.header());
    for (uint32_t i = 0; take.begin == ICERR_OK && i < count; ++i) {
        take.frames.push_back(Noise(in.header()->biSizeImage, seed + i));
        Bytes record(512, 0);
        DWORD ckid = 0, flags = 0;
        EXPECT_EQ(ICCompress(hic, 0, take.stream.header(), record.data(),
                             const_cast<BITMAPINFOHEADER*>(in.header()), take.frames.back().data(),
                             &ckid, &flags, LONG(i), 0, 0, nullptr, nullptr),
                  ICERR_OK);
        record.resize(take.stream.header()->biSizeImage);
        take.records.push_back(record);
    }
    ICCompressEnd(hic);
    take.stream.header()->biSizeImage = 0;
    return take;
}

Take Capture(const kt::Format& in, uint32_t count, uint32_t seed) {
    kt::Hic hic = kt::OpenKest(ICMODE_COMPRESS);
    return CaptureOn(hic.get(), in, count, seed);
}

void ExpectPlays(const Take& take, const kt::Format& in, bool plays) {
    Player player(take.stream, in);
    ASSERT_EQ(player.Begin(), ICERR_OK);
    Bytes picture;
    for (size_t i = take.records.size(); i-- > 0;) {
        EXPECT_EQ(player.Play(take.records[i], picture), plays ? ICERR_OK : ICERR_BADFORMAT) << i;
        if (plays) {
            EXPECT_EQ(picture, take.frames[i]) << take.Piece() << " frame " << i;
        }
    }
}

class KeptTakes : public ::testing::Test {
protected:
    void SetUp() override {
        dir = kt::DataDir("kept-" + TestName());
        Empty(dir);
        base = dir + "\\cap";
        Settings("0");
    }
    void TearDown() override {
        kt::RemoveIni();
        Empty(dir);
    }
    void Settings(const char* overwrite) {
        kt::WriteIni({{"filename", base}, {"overwrite", overwrite}, {"fastwrite", "0"}});
    }
    std::string Piece0(const char* number = "") const { return base + number + ".000"; }
    std::string dir, base;
    const kt::Format in = kt::MakeFormat(64, 64, kt::kYuy2, 16);
};

TEST_F(KeptTakes, EveryTakeKeepsItsPlaceUnlessOverwriteIsOn) {
    const Take a = Capture(in, 3, 100), b = Capture(in, 2, 200), c = Capture(in, 3, 300);
    EXPECT_EQ(a.Piece(), Piece0());
    EXPECT_EQ(b.Piece(), Piece0("-2"));
    EXPECT_EQ(c.Piece(), Piece0("-3"));
    for (const Take* take : {&a, &b, &c})
        ExpectPlays(*take, in, true);
    EXPECT_TRUE(kt::ReadFileBytes(base + "-2.take").find("frames=2") != std::string::npos);

    // The user asked for one data file reused: the next take replaces the first.
    Settings("1");
    const Take d = Capture(in, 2, 400);
    EXPECT_EQ(d.Piece(), Piece0());
    ExpectPlays(a, in, false);
    for (const Take* take : {&b, &c, &d})
        ExpectPlays(*take, in, true);
}

// Reserved space is what a capture is for; a capture of an earlier build, without a take file,
// holds frames the sampling finds.
TEST_F(KeptTakes, ReservedSpaceIsCapturedIntoAndEarlierBuildsAreKept) {
    kt::WriteFileBytes(Piece0(), std::string(64 * PageSize(), '\0'));
    kt::WriteFileBytes(base + ".take", "[take]\r\nid=0000beef\r\nframes=0\r\n");
    const Take a = Capture(in, 2, 500), b = Capture(in, 2, 600);
    EXPECT_EQ(a.Piece(), Piece0());
    EXPECT_EQ(SizeOf(Piece0()), 64u * PageSize()) << "the reserved length stays";
    EXPECT_EQ(b.Piece(), Piece0("-2"));

    std::string release = "Z:" KESTRO_RELEASE_INPUTS "/x64-sync.000";
    for (char& ch : release)
        ch = ch == '/' ? '\\' : ch;
    const std::string old = kt::ReadFileBytes(release);
    ASSERT_FALSE(old.empty());
    const std::string oldBase = dir + "\\old";
    kt::WriteFileBytes(oldBase + ".000", old);
    kt::WriteIni({{"filename", oldBase}, {"overwrite", "0"}});
    EXPECT_EQ(Capture(in, 1, 700).Piece(), oldBase + "-2.000");
    EXPECT_EQ(kt::ReadFileBytes(oldBase + ".000"), old);
    for (const Take* take : {&a, &b})
        ExpectPlays(*take, in, true);
}

// What lies where a take file or a numbered piece belongs, and cannot be told from a take of
// frames, keeps its place too; a folder full of takes refuses the begin without writing.
TEST_F(KeptTakes, WhatCannotBeToldFromATakeKeepsItsPlace) {
    struct Row {
        const char* what;
        hostile::Entry entry;
        const char* goesTo; // the numbered name the capture must choose; empty: it is refused
    };
    const Row rows[] = {
        {"take file a folder", hostile::Entry::Folder, "-2"},
        {"take file a FIFO", hostile::Entry::Fifo, "-2"},
        {"take file held open by another program", hostile::Entry::Text, "-2"},
        {"take file of 10 MB of garbage", hostile::Entry::Text, "-2"},
        {"numbered sibling a folder", hostile::Entry::Text, "-3"},
        {"every name within the search taken", hostile::Entry::Text, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string folder = HostileTakeFolder(row.entry, kt::DataDir("kept-" + TestName()));
        base = folder + "\\kestro";
        const std::string take = base + ".take", piece0 = Piece0();
        const std::string frames(8 * PageSize(), '\x5A');
        kt::WriteFileBytes(piece0, frames);
        HANDLE held = INVALID_HANDLE_VALUE;
        std::vector<std::string> folders;
        const std::string what = row.what;
        if (row.entry == hostile::Entry::Folder) {
            CreateDirectoryA(take.c_str(), nullptr);
        } else if (what == "take file held open by another program") {
            kt::WriteFileBytes(take, "[take]\r\nid=0000beef\r\nframes=0\r\n");
            held = CreateFileA(take.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        } else if (what == "take file of 10 MB of garbage") {
            kt::WriteFileBytes(take, std::string(10 << 20, '\x07'));
        } else if (row.entry == hostile::Entry::Text) {
            // No take file: the sampling finds the frames.
            const uint32_t last =
                what == "numbered sibling a folder" ? 2 : kestro::kTakeNameTries + 1;
            for (uint32_t n = 2; n <= last; ++n)
                folders.push_back(base + "-" + std::to_string(n) + ".000");
            for (const std::string& f : folders)
                CreateDirectoryA(f.c_str(), nullptr);
        }
        Settings("0");
        const Take t = Capture(in, 2, 800);
        if (*row.goesTo) {
            EXPECT_EQ(t.begin, ICERR_OK);
            EXPECT_EQ(t.Piece(), Piece0(row.goesTo));
            ExpectPlays(t, in, true);
        } else {
            EXPECT_EQ(t.begin, ICERR_BADFORMAT);
            EXPECT_EQ(SizeOf(base + "-" + std::to_string(kestro::kTakeNameTries + 2) + ".000"),
                      UINT64_MAX)
                << "the search went past its bound";
        }
        EXPECT_TRUE(kt::ReadFileBytes(piece0) == frames) << "the kept take was written";
        if (held != INVALID_HANDLE_VALUE)
            CloseHandle(held);
        for (const std::string& f : folders)
            RemoveDirectoryA(f.c_str());
        RemoveDirectoryA(take.c_str());
        for (const std::string& p :
             {take, piece0, Piece0(row.goesTo), base + ".take", base + row.goesTo + ".take"})
            DeleteFileA(p.c_str());
    }
}

// A name at the path limit: the first take fits, the numbered name beside it does not, and the
// begin that would need it refuses instead of writing over the first.
TEST_F(KeptTakes, NamesNearThePathLimit) {
    const size_t room = 256 - (dir.size() + 1) - 4; // piece 0 of 256 characters
    base = dir + "\\" + std::string(room, 'n');
    Settings("0");
    const Take a = Capture(in, 2, 900);
    ASSERT_EQ(a.Piece(), Piece0());
    const std::string kept = kt::ReadFileBytes(Piece0());
    const Take b = Capture(in, 2, 1000);
    if (b.begin == ICERR_OK) {
        EXPECT_EQ(b.Piece(), Piece0("-2"));
        ExpectPlays(b, in, true);
    }
    EXPECT_EQ(kt::ReadFileBytes(Piece0()), kept);
    ExpectPlays(a, in, true);
    for (const char* n : {"", "-2"}) {
        DeleteFileA(Piece0(n).c_str());
        DeleteFileA((base + n + ".take").c_str());
    }
}

// Hosts that begin at the same moment never share a name, round after round. The instances are
// opened and closed one at a time: opens and closes on two threads at once under Wine's codec
// manager were seen to leave the library loaded for the rest of the program, failing every later
// test that writes the settings.
TEST_F(KeptTakes, HostsBeginningTogetherGetNamesOfTheirOwn) {
    std::vector<Take> all;
    for (int round = 0; round < 4; ++round) {
        Take one, two;
        kt::Hic hicOne = kt::OpenKest(ICMODE_COMPRESS), hicTwo = kt::OpenKest(ICMODE_COMPRESS);
        HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        {
            kt::Thread first([&] {
                WaitForSingleObject(go, INFINITE);
                one = CaptureOn(hicOne.get(), in, 2, 2000 + 10 * round);
            });
            kt::Thread second([&] {
                WaitForSingleObject(go, INFINITE);
                two = CaptureOn(hicTwo.get(), in, 2, 3000 + 10 * round);
            });
            SetEvent(go);
        }
        CloseHandle(go);
        ASSERT_EQ(one.begin, ICERR_OK) << "round " << round;
        ASSERT_EQ(two.begin, ICERR_OK) << "round " << round;
        all.push_back(one);
        all.push_back(two);
    }
    for (size_t i = 0; i < all.size(); ++i) {
        for (size_t j = 0; j < i; ++j)
            EXPECT_NE(all[i].Piece(), all[j].Piece());
        ExpectPlays(all[i], in, true);
    }
}

} // namespace
