// The about box through the installed codec. Wine here has no browser engine, so the box draws
// the logo and the texts itself and must still close with OK or Escape.
#include <windows.h>
#include <gtest/gtest.h>

#include "UiCommon.h"
#include "UiDriver.h"
#include "ui/HtmlDlg.h"

using namespace ui;

namespace {

HWND ChildWithText(HWND parent, const std::wstring& text) {
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        if (Text(child) == text)
            return child;
    return nullptr;
}

class About : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(WaitCodecUnloaded());
        hic = kt::OpenKest();
        ASSERT_TRUE(hic);
    }
    LRESULT Show(const std::function<void(DWORD, HWND)>& driver) {
        LRESULT result = 0;
        Drive(
            [&](DWORD thread) {
                HWND box = WaitWindow(thread, kAboutTitle);
                ASSERT_NE(box, nullptr) << "no about box";
                driver(thread, box);
                EXPECT_TRUE(WaitGone(box));
            },
            [&] { result = ICAbout(hic.get(), GetDesktopWindow()); });
        return result;
    }
    kt::Hic hic;
};

} // namespace

TEST_F(About, ShowsLogoAndTextsAndClosesWithEscape) {
    LRESULT result = Show([](DWORD, HWND box) {
        EXPECT_EQ(GetWindow(box, GW_OWNER), nullptr) << "the host's window is not the owner";
        EXPECT_NE(ChildWithText(box, L"KESTRO 0.8"), nullptr);
        EXPECT_NE(ChildWithText(box, L"Kestro32 プロジェクトが開発・配布しています。"), nullptr);
        HWND ok = GetDlgItem(box, IDOK);
        ASSERT_NE(ok, nullptr);
        EXPECT_EQ(Text(ok), L"OK");
        EXPECT_TRUE(SaveScreenshot(box, ShotPath("about-box")));
        // The logo is drawn: the red mark at its left and the blue ground beside it.
        RECT client{};
        GetClientRect(box, &client);
        const int left = (client.right - 200) / 2, top = 8;
        COLORREF mark = ScreenPixel(box, left + 30, top + 35);
        EXPECT_GT(GetRValue(mark), 150) << std::hex << mark;
        EXPECT_LT(GetGValue(mark), 120) << std::hex << mark;
        COLORREF ground = ScreenPixel(box, left + 150, top + 4);
        EXPECT_GT(GetBValue(ground), GetRValue(ground) + 40) << std::hex << ground;
        // Escape as the keyboard delivers it, through the dialog's own loop.
        PostMessageW(ok, WM_KEYDOWN, VK_ESCAPE, 0);
    });
    EXPECT_EQ(result, 1);
}

TEST_F(About, ClosesWithOkAndTheQueryShowsNothing) {
    EXPECT_EQ(Show([](DWORD, HWND box) { PostMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0); }),
              1);
    EXPECT_EQ(ICSendMessage(hic.get(), ICM_ABOUT, DWORD_PTR(-1), 0), ICERR_OK);
    EXPECT_EQ(WaitWindow(GetCurrentThreadId(), kAboutTitle, 200), nullptr);
}
