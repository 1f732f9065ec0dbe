// The resources as they come out of the built library: texts, templates, page and logo.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "UiCommon.h"
#include "resources/resource.h"

namespace {

std::wstring String(UINT id) {
    const wchar_t* text = nullptr;
    int n = LoadStringW(ui::CodecResources(), id, reinterpret_cast<LPWSTR>(&text), 0);
    return n > 0 ? std::wstring(text, size_t(n)) : L"<missing>";
}

std::string Resource(const wchar_t* type, int id) {
    HMODULE module = ui::CodecResources();
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), type);
    if (!found)
        return {};
    HGLOBAL data = LoadResource(module, found);
    return std::string(static_cast<const char*>(LockResource(data)), SizeofResource(module, found));
}

std::string ShiftJis(const std::wstring& text) {
    char out[256] = {};
    int n = WideCharToMultiByte(932, 0, text.c_str(), int(text.size()), out, sizeof out, nullptr,
                                nullptr);
    return std::string(out, size_t(n));
}

struct TemplateHead {
    int cx = 0, cy = 0;
    std::wstring title, font;
    int points = 0;
};

// Reads the header of an extended dialog template.
TemplateHead ReadTemplate(int id) {
    TemplateHead head;
    std::string bytes = Resource(MAKEINTRESOURCEW(5), id); // RT_DIALOG
    if (bytes.size() < 26)
        return head;
    auto word = [&](size_t at) {
        return uint16_t(uint8_t(bytes[at]) | uint8_t(bytes[at + 1]) << 8);
    };
    EXPECT_EQ(word(2), 0xFFFF) << "template " << id << " is not extended";
    const uint32_t style = uint32_t(word(12)) | uint32_t(word(14)) << 16;
    head.cx = int16_t(word(22));
    head.cy = int16_t(word(24));
    size_t at = 26;
    auto skipSzOrOrd = [&] {
        if (word(at) == 0xFFFF) {
            at += 4;
            return;
        }
        while (word(at))
            at += 2;
        at += 2;
    };
    auto readString = [&] {
        std::wstring s;
        while (word(at)) {
            s += wchar_t(word(at));
            at += 2;
        }
        at += 2;
        return s;
    };
    skipSzOrOrd(); // menu
    skipSzOrOrd(); // class
    head.title = readString();
    if (style & DS_SETFONT) {
        head.points = word(at);
        at += 6;
        head.font = readString();
    }
    return head;
}

INT_PTR CALLBACK Quiet(HWND, UINT, WPARAM, LPARAM) {
    return FALSE;
}

struct Control {
    int id;
    const wchar_t* cls;
    const wchar_t* text;
    DWORD style; // bits that must be set
};

// Creates the template hidden and checks its controls and its labels.
void CheckControls(int templateId, const std::vector<Control>& controls,
                   const std::set<std::wstring>& labels) {
    HWND parent = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                  nullptr, nullptr);
    HWND dialog =
        CreateDialogParamW(ui::CodecResources(), MAKEINTRESOURCEW(templateId), parent, Quiet, 0);
    ASSERT_NE(dialog, nullptr) << "template " << templateId;
    for (const Control& c : controls) {
        HWND item = GetDlgItem(dialog, c.id);
        ASSERT_NE(item, nullptr) << "template " << templateId << " control " << c.id;
        wchar_t cls[64] = {}, text[256] = {};
        GetClassNameW(item, cls, 64);
        GetWindowTextW(item, text, 256);
        EXPECT_EQ(_wcsicmp(cls, c.cls), 0) << templateId << "/" << c.id;
        EXPECT_STREQ(text, c.text) << templateId << "/" << c.id;
        DWORD style = DWORD(GetWindowLongW(item, GWL_STYLE));
        EXPECT_EQ(style & c.style, c.style)
            << templateId << "/" << c.id << std::hex << " " << style;
    }
    std::set<std::wstring> seen;
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t text[256] = {};
        GetWindowTextW(child, text, 256);
        seen.insert(text);
    }
    for (const std::wstring& label : labels)
        EXPECT_TRUE(seen.count(label)) << templateId << " lacks a label";
    DestroyWindow(dialog);
    DestroyWindow(parent);
}

} // namespace

TEST(Resources, StringsSurviveTheResourceCompiler) {
    ASSERT_NE(ui::CodecResources(), nullptr);
    EXPECT_EQ(String(IDS_SHEET_CAPTION), L"KESTRO設定");
    EXPECT_EQ(String(IDS_PARSE_INT), L"Please enter an integer.");
    EXPECT_EQ(String(IDS_PARSE_INT_RANGE), L"Please enter an integer between %1 and %2.");
    EXPECT_EQ(String(IDS_PARSE_REAL), L"Please enter a number.");
    EXPECT_EQ(String(IDS_PARSE_REAL_RANGE), L"Please enter a number between %1 and %2.");
}

TEST(Resources, TemplateSizesTitlesAndFonts) {
    struct Expect {
        int id, cx, cy;
        const wchar_t* title;
        const wchar_t* font;
        int points;
    };
    for (const Expect& e : {Expect{5, 213, 167, L"ビデオ圧縮", L"MS UI Gothic", 9},
                            Expect{102, 213, 189, L"ファイル", L"MS UI Gothic", 9},
                            Expect{1001, 221, 149, L"KESTROコーデックについて", L"MS Shell Dlg", 8},
                            Expect{1022, 165, 98, L"領域確保", L"MS Shell Dlg", 8},
                            Expect{1023, 186, 65, L"領域確保中", L"MS Shell Dlg", 8}}) {
        TemplateHead head = ReadTemplate(e.id);
        EXPECT_EQ(head.cx, e.cx) << e.id;
        EXPECT_EQ(head.cy, e.cy) << e.id;
        EXPECT_EQ(head.title, e.title) << e.id;
        EXPECT_EQ(head.font, e.font) << e.id;
        EXPECT_EQ(head.points, e.points) << e.id;
    }
}

TEST(Resources, CompressionPageControls) {
    CheckControls(
        5,
        {{1012, L"Edit", L"", ES_READONLY | ES_AUTOHSCROLL},
         {1016, L"Button", L"設定", 0},
         {1029, L"Button", L"HELP", 0},
         {1017, L"Static", L"スタティック", 0},
         {1013, L"Static", L"OFF", 0},
         {1014, L"Static", L"OFF", 0},
         {1015, L"Static", L"OFF", 0},
         {1021, L"Static", L"OFF", 0},
         {1020, L"Static", L"OFF", 0},
         {1019, L"Static", L"OFF", 0},
         {1018, L"Static", L"OFF", 0}},
        {L"ビデオ圧縮", L"CPU拡張命令", L"CPU", L"MMX", L"SSE", L"SSE2", L"OSサポート", L"3DNOW"});
}

TEST(Resources, FilePageControls) {
    const DWORD spin = UDS_SETBUDDYINT | UDS_ALIGNRIGHT | UDS_ARROWKEYS;
    CheckControls(
        102,
        {{1011, L"Edit", L"", ES_AUTOHSCROLL},
         {1001, L"Button", L"参照", 0},
         {1020, L"Button", L"領域確保", 0},
         {1002, L"Button", L"分割しない(&I)", BS_AUTORADIOBUTTON | WS_GROUP},
         {1003, L"Button", L"分割する(&D)", BS_AUTORADIOBUTTON},
         {1005, L"Edit", L"", 0},
         {1004, L"msctls_updown32", L"", spin},
         {1006, L"Button", L"高速書き込みを行う(&F)", BS_AUTOCHECKBOX},
         {1007, L"Button", L"キャッシュを使用する(&U)", BS_AUTORADIOBUTTON | WS_GROUP},
         {1008, L"Button", L"キャッシュを使用しない(&N)", BS_AUTORADIOBUTTON},
         {1009, L"Edit", L"", 0},
         {1010, L"msctls_updown32", L"", spin | UDS_NOTHOUSANDS},
         {1012, L"Button", L"CPUを占有しない(&C)", BS_AUTOCHECKBOX},
         {1013, L"Button", L"高速読み込みを行う(&A)", BS_AUTOCHECKBOX},
         {1014, L"Button", L"HUFFYUV用の最適化を行う(&H)", BS_AUTOCHECKBOX},
         {1029, L"Button", L"HELP", 0}},
        {L"ファイル名", L"分割", L"Ｇ", L"ファイル出力", L"リクエスト数上限(&R)", L"ファイル入力"});
}

TEST(Resources, ReservationDialogControls) {
    const DWORD spin = UDS_SETBUDDYINT | UDS_ALIGNRIGHT | UDS_ARROWKEYS;
    CheckControls(1022,
                  {{1021, L"Edit", L"", ES_NUMBER},
                   {1022, L"msctls_updown32", L"", spin},
                   {1023, L"Edit", L"", ES_NUMBER},
                   {1024, L"msctls_updown32", L"", spin},
                   {1025, L"ComboBox", L"", CBS_DROPDOWNLIST | CBS_SORT},
                   {1005, L"Edit", L"", ES_READONLY},
                   {1, L"Button", L"OK", BS_DEFPUSHBUTTON},
                   {2, L"Button", L"キャンセル", 0}},
                  {L"フレーム率(&R)", L"／秒", L"キャプチャ時間(&T)", L"分", L"フレームサイズ(&S)",
                   L"KByte", L"MByte"});
    CheckControls(1023,
                  {{1027, L"msctls_progress32", L"", 0},
                   {1028, L"Static", L"100", SS_RIGHT},
                   {2, L"Button", L"キャンセル", 0}},
                  {L"%完了"});
}

TEST(Resources, AboutPageIsShiftJisHtml401) {
    std::string page = Resource(MAKEINTRESOURCEW(23), 1024);
    ASSERT_FALSE(page.empty());
    EXPECT_EQ(page.rfind("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01", 0), 0u);
    EXPECT_NE(page.find("charset=Shift_JIS"), std::string::npos);
    for (const wchar_t* text :
         {L"<title>KESTROについて</title>", L"face=\"ＭＳ ゴシック\"", L"KESTRO 0.8",
          L"id=\"ButtonOK\"", L"type=\"button\"", L"res:/IMG/#1021", L"id=\"CHtmlDlg\"",
          L"lightgrey", L"width=\"319\"", L"target=\"_blank\""})
        EXPECT_NE(page.find(ShiftJis(text)), std::string::npos) << ShiftJis(text);
    EXPECT_EQ(page.find("\xE3\x81\xAB"), std::string::npos) << "UTF-8 text in the page";
}

TEST(Resources, LogoIsA200x70Jpeg) {
    std::string logo = Resource(L"IMG", 1021);
    ASSERT_GT(logo.size(), 4u);
    EXPECT_EQ(uint8_t(logo[0]), 0xFF);
    EXPECT_EQ(uint8_t(logo[1]), 0xD8);
    size_t sof = std::string::npos;
    for (size_t i = 2; i + 9 < logo.size(); ++i)
        if (uint8_t(logo[i]) == 0xFF && (uint8_t(logo[i + 1]) & 0xF0) == 0xC0 &&
            uint8_t(logo[i + 1]) != 0xC4 && uint8_t(logo[i + 1]) != 0xC8 &&
            uint8_t(logo[i + 1]) != 0xCC) {
            sof = i;
            break;
        }
    ASSERT_NE(sof, std::string::npos);
    auto be = [&](size_t at) { return (uint8_t(logo[at]) << 8) | uint8_t(logo[at + 1]); };
    EXPECT_EQ(be(sof + 5), 70);
    EXPECT_EQ(be(sof + 7), 200);
}
