// Records and data files that are wrong or change under the player: each frame fails or is
// cleared, nothing is written past the picture, and the next good frame plays.
#include <gtest/gtest.h>

#include <cstring>

#include "PlaybackSupport.h"
#include "pure/TakeFile.h"

using namespace kp;

namespace {

constexpr LONG kWidth = 64, kHeight = 32; // YUY2: 4,096 bytes, one page per frame

class BadInput : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        PlaybackIni(GetParam());
        dir = kt::DataDir(std::string("bad") + (GetParam() ? "F-" : "P-") + TestName());
        for (uint32_t i = 0; i < 6; ++i)
            frames.push_back(Noise(kWidth * kHeight * 2, 500 + i));
        path = dir + "\\data.000";
        placed = WriteDataFile(path, frames);
        player = std::make_unique<Player>(RawStream(kWidth, kHeight, kt::kYuy2, 16),
                                          kt::MakeFormat(kWidth, kHeight, kt::kYuy2, 16));
        ASSERT_EQ(player->Begin(), ICERR_OK);
    }
    void TearDown() override {
        player.reset();
        kt::RemoveIni();
    }
    void ExpectPlays(int i) {
        Bytes picture;
        ASSERT_EQ(player->Play(MakeRecord(placed[i]), picture), ICERR_OK) << "frame " << i;
        EXPECT_EQ(picture, frames[i]) << "frame " << i;
    }
    LRESULT PlayRecord(const Bytes& record) {
        Bytes picture;
        return player->Play(record, picture);
    }

    std::string dir, path;
    std::vector<Bytes> frames;
    std::vector<Placed> placed;
    std::unique_ptr<Player> player;
};

TEST_P(BadInput, MissingFileIsClearedOnceThenRefused) {
    ExpectPlays(0);
    ExpectPlays(1); // leaves a read-ahead in flight in the fast reader
    Bytes picture;
    std::string missing = dir + "\\gone.001";
    ASSERT_EQ(player->Play(MakeRecord(0, 4096, missing), picture), ICERR_OK);
    EXPECT_EQ(picture, Bytes(picture.size(), 0)) << "a missing file gives a black picture";
    EXPECT_EQ(player->Play(MakeRecord(4096, 4096, missing), picture), ICERR_BADFORMAT);
    // Another case of the same name is the same file, not tried again.
    std::string upper = missing;
    for (auto& ch : upper)
        ch = char(toupper(ch));
    EXPECT_EQ(player->Play(MakeRecord(0, 4096, upper), picture), ICERR_BADFORMAT);
    ExpectPlays(2);
    // A take removed on request leaves its take file: its frames are refused, never black.
    kestro::TakeFile removed;
    removed.id = 0x5EED0001;
    removed.removed = kestro::TakeTimeText(2026, 12, 11, 8, 0, 0);
    kt::WriteFileBytes(dir + "\\removed.take", kestro::FormatTakeFile(removed));
    Bytes record = MakeRecord(0, 4096, dir + "\\removed.000");
    std::memcpy(record.data() + 12, &removed.id, 4);
    EXPECT_EQ(player->Play(record, picture), ICERR_BADFORMAT);
    EXPECT_EQ(picture, Bytes(picture.size(), 0xEE)) << "a removed take is no black frame";
    ExpectPlays(3);
}

TEST_P(BadInput, MalformedRecordsAreRefused) {
    ExpectPlays(0);
    Bytes good = MakeRecord(placed[1]);
    Bytes picture;
    // Truncated: the host's record is shorter than its fixed part, or cut inside the path.
    EXPECT_EQ(player->PlayClaiming(good, 17, picture), ICERR_BADFORMAT);
    EXPECT_EQ(player->PlayClaiming(good, uint32_t(good.size() - 1), picture), ICERR_BADFORMAT);
    EXPECT_EQ(PlayRecord(MakeRecord(0, 4096, "")), ICERR_BADFORMAT);
    // A path longer than 260 characters, with and without a terminator inside 261 bytes.
    EXPECT_EQ(PlayRecord(MakeRecord(0, 4096, dir + "\\" + std::string(270, 'a'))), ICERR_BADFORMAT);
    Bytes endless(16 + 400, 'b');
    std::memset(endless.data(), 0, 16);
    EXPECT_EQ(player->PlayClaiming(endless, 0, picture), ICERR_BADFORMAT);
    ExpectPlays(1);
    ExpectPlays(2);
}

TEST_P(BadInput, PositionsAndSizesOutsideTheFileFail) {
    ExpectPlays(0);
    const uint64_t page = PageSize();
    EXPECT_EQ(PlayRecord(MakeRecord(page * 100, 4096, path)), ICERR_BADFORMAT) << "past EOF";
    EXPECT_EQ(PlayRecord(MakeRecord(uint64_t(-1) - page + 1, 4096, path)), ICERR_BADFORMAT);
    EXPECT_EQ(PlayRecord(MakeRecord(100, 4096, path)), ICERR_BADFORMAT) << "not on a page";
    EXPECT_EQ(PlayRecord(MakeRecord(0, 0xFFFFFFF0u, path)), ICERR_BADFORMAT) << "huge size";
    EXPECT_EQ(PlayRecord(MakeRecord(0, 8192, path)), ICERR_BADFORMAT) << "beyond the buffer";
    EXPECT_EQ(PlayRecord(MakeRecord(0, 100, path)), ICERR_BADFORMAT) << "less than a picture";
    // The last page of the file holds only part of a picture.
    Bytes cut = Noise(kWidth * kHeight * 2 - 100, 9);
    kt::WriteFileBytes(dir + "\\short.000", std::string(cut.begin(), cut.end()));
    EXPECT_EQ(PlayRecord(MakeRecord(0, 4096, dir + "\\short.000")), ICERR_BADFORMAT);
    ExpectPlays(5);
    ExpectPlays(0);
}

TEST_P(BadInput, GarbageRecordsNeverCrash) {
    ExpectPlays(0);
    for (uint32_t seed = 0; seed < 60; ++seed) {
        Bytes garbage = Noise(16 + 64, 7000 + seed);
        if (seed % 3 == 0) // a real path with garbage numbers
            garbage = MakeRecord(*reinterpret_cast<uint64_t*>(garbage.data()) & 0x3FFFF000u,
                                 *reinterpret_cast<uint32_t*>(garbage.data() + 8) % 20000, path);
        LRESULT result = PlayRecord(garbage);
        EXPECT_TRUE(result == ICERR_OK || result == ICERR_BADFORMAT) << result;
    }
    ExpectPlays(3);
    ExpectPlays(4);
}

TEST_P(BadInput, FileShrinkingDuringPlayback) {
    // One read ahead: a deeper one has read frame 3 before the cut and delivers it as it was.
    player.reset();
    PlaybackIni(GetParam(), false, 1);
    player = std::make_unique<Player>(RawStream(kWidth, kHeight, kt::kYuy2, 16),
                                      kt::MakeFormat(kWidth, kHeight, kt::kYuy2, 16));
    ASSERT_EQ(player->Begin(), ICERR_OK);
    ExpectPlays(0);
    ExpectPlays(1);
    HANDLE other = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    LARGE_INTEGER cut;
    cut.QuadPart = LONGLONG(placed[3].offset);
    ASSERT_TRUE(SetFilePointerEx(other, cut, nullptr, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(other));
    CloseHandle(other);
    ExpectPlays(2);
    EXPECT_EQ(PlayRecord(MakeRecord(placed[3])), ICERR_BADFORMAT);
    EXPECT_EQ(PlayRecord(MakeRecord(placed[5])), ICERR_BADFORMAT);
    ExpectPlays(1);
    ExpectPlays(2);
}

TEST_P(BadInput, PieceStillBeingWritten) {
    // Another handle keeps the piece open for writing and appends while it is played.
    std::string growing = dir + "\\growing.000";
    HANDLE writer = CreateFileA(growing.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    auto append = [&](int i) {
        DWORD done = 0;
        ASSERT_TRUE(WriteFile(writer, frames[i].data(), DWORD(frames[i].size()), &done, nullptr));
    };
    Bytes picture;
    append(0);
    append(1);
    for (int i : {0, 1}) {
        ASSERT_EQ(player->Play(MakeRecord(uint64_t(i) * 4096, 4096, growing), picture), ICERR_OK);
        EXPECT_EQ(picture, frames[i]);
    }
    EXPECT_EQ(player->Play(MakeRecord(2 * 4096, 4096, growing), picture), ICERR_BADFORMAT)
        << "not written yet";
    for (int i : {2, 3, 4})
        append(i);
    for (int i : {2, 3, 4}) {
        ASSERT_EQ(player->Play(MakeRecord(uint64_t(i) * 4096, 4096, growing), picture), ICERR_OK);
        EXPECT_EQ(picture, frames[i]);
    }
    CloseHandle(writer);
}

TEST_P(BadInput, DeletingThePlayedFile) {
    ExpectPlays(0);
    ExpectPlays(1);
    // The system refuses, or unlinks a file that stays readable through the open handle;
    // either way the frames already recorded keep playing.
    DeleteFileA(path.c_str());
    ExpectPlays(2);
    ExpectPlays(0);
    // A new run opens the file afresh: if it is gone now, the frame is cleared.
    ASSERT_EQ(player->Begin(), ICERR_OK);
    Bytes picture;
    LRESULT result = player->Play(MakeRecord(placed[3]), picture);
    ASSERT_EQ(result, ICERR_OK);
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES)
        EXPECT_EQ(picture, Bytes(picture.size(), 0));
    else
        EXPECT_EQ(picture, frames[3]);
}

INSTANTIATE_TEST_SUITE_P(FastRead, BadInput, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Fast" : "Plain"; });

} // namespace
