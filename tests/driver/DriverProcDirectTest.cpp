// The dispatcher called directly, for the cases the codec manager never sends.
#include <gtest/gtest.h>

#include <windows.h>
#include <vfw.h>

#include "driver/CodecInstance.h"
#include "driver/DriverProc.h"
#include "resources/Product.h"

// A longer description would run past the instance's field.
static_assert(sizeof(KESTRO_DESCRIPTION) <= sizeof(CCodecInstance::description));

namespace {

LRESULT Call(DWORD_PTR id, UINT msg, LPARAM a = 0, LPARAM b = 0) {
    return DriverProc(id, nullptr, msg, a, b);
}

TEST(DriverProcDirect, PlainDriverMessagesAnswerOne) {
    for (UINT msg : {UINT(DRV_LOAD), UINT(DRV_ENABLE), UINT(DRV_DISABLE), UINT(DRV_QUERYCONFIGURE),
                     UINT(DRV_INSTALL), UINT(DRV_REMOVE)})
        EXPECT_EQ(Call(0, msg), 1) << msg;
    EXPECT_EQ(Call(0, DRV_CLOSE), 1) << "closing nothing frees nothing";
    EXPECT_EQ(Call(0, DRV_CONFIGURE), 1) << "no instance: nothing to configure, nothing touched";
}

TEST(DriverProcDirect, LowUnlistedMessagesGoToTheDefaultProcedure) {
    for (UINT msg : {UINT(DRV_FREE), 11u, UINT(DRV_POWER), 0x3FFFu})
        EXPECT_EQ(Call(0, msg, 3, 4), DefDriverProc(0, nullptr, msg, 3, 4)) << msg;
}

TEST(DriverProcDirect, OpenChecksTheTypeOnly) {
    ICOPEN open{};
    open.dwSize = sizeof open;
    open.fccType = mmioFOURCC('V', 'I', 'D', 'C');
    open.dwError = 77;
    EXPECT_EQ(Call(0, DRV_OPEN, 0, LPARAM(&open)), 0);
    EXPECT_EQ(open.dwError, 77u) << "a refused open leaves the record untouched";

    open.fccType = ICTYPE_VIDEO;
    open.fccHandler = mmioFOURCC('a', 'n', 'y', '!');
    open.dwFlags = 0xFFFF;
    LRESULT id = Call(0, DRV_OPEN, 0, LPARAM(&open));
    ASSERT_NE(id, 0);
    EXPECT_EQ(open.dwError, DWORD(ICERR_OK));
    auto* codec = reinterpret_cast<CCodecInstance*>(id);
    EXPECT_STREQ(codec->name, "Kestro32");
    EXPECT_STREQ(codec->description, "Kestro32 v0.4.0");
    EXPECT_EQ(codec->settings, &TheSettings());
    EXPECT_EQ(codec->CaptureView().piece.file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(codec->PlaybackView().piece.file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(codec->PlaybackView().ring.slots[0].index, 0u);
    EXPECT_EQ(codec->PlaybackView().ring.slots[1].index, 1u);
    EXPECT_EQ(Call(DWORD_PTR(id), DRV_CLOSE), 1);

    LRESULT configOnly = Call(0, DRV_OPEN, 0, 0);
    EXPECT_NE(configOnly, 0) << "an open without a record is an open for configuration";
    EXPECT_EQ(Call(DWORD_PTR(configOnly), DRV_CLOSE), 1);
}

TEST(DriverProcDirect, CodecMessagesWithoutAnInstanceAreUnsupported) {
    EXPECT_EQ(Call(0, ICM_GETINFO), ICERR_UNSUPPORTED);
    EXPECT_EQ(Call(0, ICM_COMPRESS), ICERR_UNSUPPORTED);
    EXPECT_EQ(Call(0, ICM_CONFIGURE, 0), ICERR_UNSUPPORTED);
    EXPECT_EQ(Call(0, ICM_DECOMPRESS_GET_PALETTE), ICERR_BADFORMAT);
}

TEST(DriverProcDirect, EndsWithoutRunsAndCloseOfAnIdleInstanceAreImmediate) {
    LRESULT id = Call(0, DRV_OPEN, 0, 0);
    ASSERT_NE(id, 0);
    DWORD start = GetTickCount();
    EXPECT_EQ(Call(DWORD_PTR(id), ICM_COMPRESS_END), ICERR_OK);
    EXPECT_EQ(Call(DWORD_PTR(id), ICM_DECOMPRESS_END), ICERR_OK);
    EXPECT_EQ(Call(DWORD_PTR(id), DRV_CLOSE), 1);
    EXPECT_LT(GetTickCount() - start, 900u) << "nothing was in flight, so nothing may wait";
}

} // namespace
