// The message table as hosts reach it through the codec manager.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ImportPatch.h"
#include "WineCodec.h"

using namespace kt;

namespace {

class DriverMessages : public ::testing::Test {
protected:
    void SetUp() override {
        RemoveIni();
        hic = OpenKest();
        ASSERT_TRUE(hic) << "vidc.KEST is not registered or the library does not load";
    }
    LRESULT Send(UINT msg, DWORD_PTR a = 0, DWORD_PTR b = 0) {
        return ICSendMessage(hic.get(), msg, a, b);
    }
    Hic hic;
};

TEST_F(DriverMessages, GetInfoReportsIdentity) {
    EXPECT_EQ(Send(ICM_GETINFO, 0, 0), 568);
    ICINFO info{};
    EXPECT_EQ(Send(ICM_GETINFO, DWORD_PTR(&info), 567), 0);
    EXPECT_EQ(info.dwSize, 0u) << "a short buffer must stay untouched";

    wcscpy(info.szDriver, L"left alone");
    ASSERT_EQ(Send(ICM_GETINFO, DWORD_PTR(&info), sizeof info), 568);
    EXPECT_EQ(info.dwSize, 568u);
    EXPECT_EQ(info.fccType, ICTYPE_VIDEO);
    EXPECT_EQ(info.fccHandler, kKest);
    EXPECT_EQ(info.dwFlags, 0u);
    EXPECT_EQ(info.dwVersion, 0x400u);
    EXPECT_EQ(info.dwVersionICM, 0x104u);
    EXPECT_STREQ(info.szName, L"Kestro32");
    EXPECT_STREQ(info.szDescription, L"Kestro32 v0.4.0");
    EXPECT_STREQ(info.szDriver, L"left alone");
}

TEST_F(DriverMessages, GetInfoThroughTheManager) {
    ICINFO info{};
    ASSERT_NE(ICGetInfo(hic.get(), &info, sizeof info), 0);
    EXPECT_STREQ(info.szDescription, L"Kestro32 v0.4.0");
}

TEST_F(DriverMessages, StateQualityAndPalette) {
    char state[16] = {1, 2, 3};
    EXPECT_EQ(Send(ICM_GETSTATE, 0, 0), 0);
    EXPECT_EQ(Send(ICM_GETSTATE, DWORD_PTR(state), sizeof state), 0);
    EXPECT_EQ(Send(ICM_SETSTATE, DWORD_PTR(state), sizeof state), 0);
    EXPECT_EQ(state[0], 1);

    DWORD quality = 0;
    EXPECT_EQ(Send(ICM_GETDEFAULTQUALITY, DWORD_PTR(&quality)), ICERR_OK);
    EXPECT_EQ(quality, 10000u);
    EXPECT_EQ(Send(ICM_GETDEFAULTQUALITY, 0), ICERR_UNSUPPORTED);

    EXPECT_EQ(Send(ICM_DECOMPRESS_GET_PALETTE), ICERR_BADFORMAT);
    EXPECT_EQ(Send(ICM_DECOMPRESS_SET_PALETTE), ICERR_UNSUPPORTED);
}

TEST_F(DriverMessages, UnlistedCodecMessagesAreUnsupported) {
    for (UINT msg : {0x4000u, 0x4001u, 0x4002u, 0x4003u})
        EXPECT_EQ(Send(msg), ICERR_UNSUPPORTED) << std::hex << msg;
    for (UINT msg = 0x400F; msg <= 0x401D; ++msg)
        EXPECT_EQ(Send(msg), ICERR_UNSUPPORTED) << std::hex << msg;
    for (UINT msg : {UINT(ICM_GETQUALITY), UINT(ICM_SETQUALITY), UINT(ICM_GETERRORTEXT),
                     UINT(ICM_COMPRESS_FRAMES_INFO), UINT(ICM_DECOMPRESSEX_BEGIN),
                     UINT(ICM_DECOMPRESSEX), UINT(ICM_DRAW_BEGIN), 0x7FFFu})
        EXPECT_EQ(Send(msg), ICERR_UNSUPPORTED) << std::hex << msg;
}

TEST_F(DriverMessages, ConfigureAndAboutQueries) {
    EXPECT_EQ(Send(ICM_CONFIGURE, DWORD_PTR(-1)), ICERR_OK);
    EXPECT_EQ(Send(ICM_ABOUT, DWORD_PTR(-1)), ICERR_OK);
    EXPECT_TRUE(ICQueryConfigure(hic.get()));
    EXPECT_TRUE(ICQueryAbout(hic.get()));
}

TEST_F(DriverMessages, DriverLevelAnswers) {
    // Driver messages go through the same procedure; the manager passes them on unchanged.
    EXPECT_EQ(Send(DRV_QUERYCONFIGURE), 1);
    EXPECT_EQ(Send(DRV_INSTALL), 1);
    EXPECT_EQ(Send(DRV_REMOVE), 1);
}

std::vector<std::string>* g_traceLines = nullptr;
void WINAPI KeepTraceLine(LPCSTR line) {
    if (g_traceLines)
        g_traceLines->push_back(line);
}

// The trace is for diagnosing hosts: off unless asked for when the library loads, and then one
// line per message that carries its answer, which the trace leaves as it was. The environment is
// read once, at load: a change later waits for the next load.
TEST_F(DriverMessages, TraceOnlyWhenAsked) {
    std::vector<std::string> lines;
    g_traceLines = &lines;
    auto sendTraced = [&](auto&& send) {
        ImportPatch patch("kestro32.dll");
        ASSERT_NE(patch.Replace("OutputDebugStringA", reinterpret_cast<void*>(&KeepTraceLine)),
                  nullptr);
        send();
    };
    auto reload = [&] {
        hic.reset();
        ASSERT_FALSE(CodecLoaded());
        hic = OpenKest();
        ASSERT_TRUE(hic);
    };
    sendTraced([&] {
        EXPECT_EQ(Send(ICM_GETINFO), 568);
        SetEnvironmentVariableA("KESTRO_TRACE", "1");
        EXPECT_EQ(Send(ICM_GETINFO), 568);
    });
    EXPECT_TRUE(lines.empty()) << "the trace was off when the library loaded";
    ASSERT_NO_FATAL_FAILURE(reload());
    sendTraced([&] {
        EXPECT_EQ(Send(ICM_GETINFO), 568);
        SetEnvironmentVariableA("KESTRO_TRACE", "0");
        EXPECT_EQ(Send(ICM_DRAW_BEGIN), ICERR_UNSUPPORTED);
    });
    ASSERT_NO_FATAL_FAILURE(reload());
    sendTraced([&] { EXPECT_EQ(Send(ICM_GETINFO), 568); });
    SetEnvironmentVariableA("KESTRO_TRACE", nullptr);
    g_traceLines = nullptr;

    ASSERT_EQ(lines.size(), 2u);
    char expected[2][40];
    std::snprintf(expected[0], sizeof expected[0], " msg 0x%04X ", unsigned(ICM_GETINFO));
    std::snprintf(expected[1], sizeof expected[1], " msg 0x%04X ", unsigned(ICM_DRAW_BEGIN));
    EXPECT_NE(lines[0].find(expected[0]), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find(" -> 568\n"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find(expected[1]), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find(" -> " + std::to_string(ICERR_UNSUPPORTED) + "\n"), std::string::npos)
        << lines[1];
}

TEST(DriverOpen, EveryOpenIsItsOwnInstance) {
    RemoveIni();
    Hic a = OpenKest(ICMODE_COMPRESS);
    Hic b = OpenKest(ICMODE_DECOMPRESS);
    ASSERT_TRUE(a);
    ASSERT_TRUE(b);
    ICINFO ia{}, ib{};
    EXPECT_NE(ICGetInfo(a.get(), &ia, sizeof ia), 0);
    a.reset();
    EXPECT_NE(ICGetInfo(b.get(), &ib, sizeof ib), 0) << "closing one open must not touch another";
}

// The codec manager's lookup, not the codec: the codec is never asked.
TEST(PlatformCodecManager, FindsTheCodecByALowercaseHandler) {
    Hic h(ICOpen(ICTYPE_VIDEO, mmioFOURCC('k', 'e', 's', 't'), ICMODE_QUERY));
    EXPECT_TRUE(h) << "the manager looks drivers up without regard to case";
}

} // namespace
