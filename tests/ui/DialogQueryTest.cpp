// "Is there a dialog?" asked with -1 in the first parameter must be answered without showing
// anything. Callers built for 32 bits pass that -1 zero-extended to 64-bit codecs.
#include <windows.h>
#include <gtest/gtest.h>

#include "UiCommon.h"
#include "UiDriver.h"

using namespace ui;

namespace {

struct QueryForm {
    DWORD_PTR value;
    const char* what;
};

constexpr QueryForm kQueryForms[] = {
    {DWORD_PTR(-1), "-1 in all bits"},
    {DWORD_PTR(0xFFFFFFFFu), "a 32-bit -1, zero-extended"},
};

class DialogQuery : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(WaitCodecUnloaded());
        kt::RemoveIni();
        hic = kt::OpenKest();
        ASSERT_TRUE(hic);
    }
    // Sends the query while a second thread watches for the dialog; a dialog that shows up is
    // cancelled so that the test ends, and counted.
    LRESULT Ask(UINT message, DWORD_PTR value, const wchar_t* title, bool* shown) {
        LRESULT result = 0;
        *shown = false;
        Drive(
            [&](DWORD thread) {
                HWND dialog = WaitWindow(thread, title, 1500);
                if (!dialog)
                    return;
                *shown = true;
                PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
                WaitGone(dialog, 5000);
            },
            [&] { result = ICSendMessage(hic.get(), message, value, 0); });
        return result;
    }
    kt::Hic hic;
};

TEST_F(DialogQuery, ConfigureAndAboutAnswerWithoutShowingAnything) {
    for (const QueryForm& form : kQueryForms) {
        bool shown = false;
        EXPECT_EQ(Ask(ICM_CONFIGURE, form.value, kSheetTitle, &shown), ICERR_OK) << form.what;
        EXPECT_FALSE(shown) << "the configuration sheet opened for " << form.what;
        EXPECT_EQ(Ask(ICM_ABOUT, form.value, kAboutTitle, &shown), ICERR_OK) << form.what;
        EXPECT_FALSE(shown) << "the about box opened for " << form.what;
    }
    EXPECT_TRUE(ICQueryConfigure(hic.get()));
    EXPECT_TRUE(ICQueryAbout(hic.get()));
}

TEST_F(DialogQuery, OtherValuesStillShowTheDialog) {
    // The watcher itself must see a dialog that does open: null and a value whose high half alone
    // is all ones are not the query.
    bool shown = false;
    EXPECT_EQ(Ask(ICM_ABOUT, 0, kAboutTitle, &shown), 1);
    EXPECT_TRUE(shown);
#if defined(__x86_64__)
    EXPECT_EQ(Ask(ICM_ABOUT, DWORD_PTR(0xFFFFFFFF00000000ull), kAboutTitle, &shown), 1);
    EXPECT_TRUE(shown);
#endif
}

} // namespace
