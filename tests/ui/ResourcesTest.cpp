// The resources as they come out of the built library: texts, templates, page and logo.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "UiCommon.h"
#include "UiDriver.h"
#include "resources/Product.h"
#include "resources/resource.h"

// The numbers that hosts and the about page name the resources by; renumbering them breaks those.
static_assert(IDD_COMPRESS_PAGE == 5 && IDD_FILE_PAGE == 102 && IDD_ABOUT == 1001 &&
              IDD_PARTITION == 1022 && IDD_PROGRESS == 1023);
static_assert(IDS_SHEET_CAPTION == 1000);
static_assert(IDR_ABOUT_HTML == 1024 && IDR_LOGO == 1021); // the page loads "res:/IMG/#1021"

namespace {

// Resource types by number, in the wide form that the lookups below take.
const wchar_t* const kDialogType = MAKEINTRESOURCEW(5);   // RT_DIALOG
const wchar_t* const kHtmlType = MAKEINTRESOURCEW(23);    // RT_HTML
const wchar_t* const kVersionType = MAKEINTRESOURCEW(16); // RT_VERSION

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

// A text value of the version resource's string table: the value after its key, which is
// padded to a 4-byte boundary; "" when the key is not there.
std::wstring VersionString(const std::string& info, const std::wstring& key) {
    const std::string wide(reinterpret_cast<const char*>(key.c_str()), (key.size() + 1) * 2);
    size_t at = info.find(wide);
    if (at == std::string::npos)
        return L"";
    at = (at + wide.size() + 3) & ~size_t(3);
    std::wstring value;
    for (; at + 1 < info.size(); at += 2) {
        const wchar_t c = wchar_t(uint8_t(info[at]) | uint8_t(info[at + 1]) << 8);
        if (!c)
            break;
        value += c;
    }
    return value;
}

struct TemplateHead {
    bool extended = false;
    int cx = 0, cy = 0;
    std::wstring title, font;
    int points = 0;
};

// Reads the header of an extended dialog template.
TemplateHead ReadTemplate(int id) {
    TemplateHead head;
    std::string bytes = Resource(kDialogType, id);
    if (bytes.size() < 26)
        return head;
    auto word = [&](size_t at) {
        return uint16_t(uint8_t(bytes[at]) | uint8_t(bytes[at + 1]) << 8);
    };
    head.extended = word(2) == 0xFFFF;
    if (!head.extended)
        return head;
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

// One control of a template: present, of its class, with its text and its style bits.
::testing::AssertionResult ControlMatches(HWND dialog, int templateId, const Control& c) {
    auto failure = [&] {
        return ::testing::AssertionFailure()
               << "template " << templateId << " control " << c.id << ": ";
    };
    HWND item = GetDlgItem(dialog, c.id);
    if (!item)
        return failure() << "missing";
    wchar_t cls[64] = {}, text[256] = {};
    GetClassNameW(item, cls, 64);
    GetWindowTextW(item, text, 256);
    if (_wcsicmp(cls, c.cls) != 0)
        return failure() << "class " << ::testing::PrintToString(std::wstring(cls));
    if (wcscmp(text, c.text) != 0)
        return failure() << "text " << ::testing::PrintToString(std::wstring(text));
    DWORD style = DWORD(GetWindowLongW(item, GWL_STYLE));
    if ((style & c.style) != c.style)
        return failure() << "style " << std::hex << style << " lacks " << c.style;
    return ::testing::AssertionSuccess();
}

// Creates the template hidden and checks its controls and its labels; stops at the first that
// is wrong.
::testing::AssertionResult CheckControls(int templateId, const std::vector<Control>& controls,
                                         const std::set<std::wstring>& labels) {
    HWND parent = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                  nullptr, nullptr);
    HWND dialog =
        CreateDialogParamW(ui::CodecResources(), MAKEINTRESOURCEW(templateId), parent, Quiet, 0);
    if (!dialog) {
        DestroyWindow(parent);
        return ::testing::AssertionFailure() << "template " << templateId << " does not load";
    }
    ::testing::AssertionResult result = ::testing::AssertionSuccess();
    for (const Control& c : controls) {
        result = ControlMatches(dialog, templateId, c);
        if (!result)
            break;
    }
    if (result) {
        std::set<std::wstring> seen;
        for (HWND child = GetWindow(dialog, GW_CHILD); child;
             child = GetWindow(child, GW_HWNDNEXT)) {
            wchar_t text[256] = {};
            GetWindowTextW(child, text, 256);
            seen.insert(text);
        }
        for (const std::wstring& label : labels) {
            if (!seen.count(label)) {
                result = ::testing::AssertionFailure()
                         << "template " << templateId << " lacks the label "
                         << ::testing::PrintToString(label);
                break;
            }
        }
    }
    DestroyWindow(dialog);
    DestroyWindow(parent);
    return result;
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
    for (const Expect& e :
         {Expect{IDD_COMPRESS_PAGE, 213, 167, L"ビデオ圧縮", L"MS UI Gothic", 9},
          Expect{IDD_FILE_PAGE, 213, 263, L"ファイル", L"MS UI Gothic", 9},
          Expect{IDD_ABOUT, 221, 149, L"KESTROコーデックについて", L"MS Shell Dlg", 8},
          Expect{IDD_PARTITION, 165, 112, L"領域確保", L"MS Shell Dlg", 8},
          Expect{IDD_PROGRESS, 186, 65, L"領域確保中", L"MS Shell Dlg", 8}}) {
        SCOPED_TRACE(e.id);
        TemplateHead head = ReadTemplate(e.id);
        ASSERT_TRUE(head.extended) << "template " << e.id << " is missing or not extended";
        ASSERT_EQ(head.cx, e.cx);
        ASSERT_EQ(head.cy, e.cy);
        ASSERT_EQ(head.title, e.title);
        ASSERT_EQ(head.font, e.font);
        ASSERT_EQ(head.points, e.points);
    }
}

TEST(Resources, CompressionPageControls) {
    ASSERT_TRUE(CheckControls(
        IDD_COMPRESS_PAGE,
        {{IDC_DESCRIPTION, L"Edit", L"", ES_READONLY | ES_AUTOHSCROLL},
         {IDC_CHOOSE, L"Button", L"設定", 0},
         {IDC_HELP_BUTTON, L"Button", L"HELP", 0},
         {IDC_CPU_NAME, L"Static", L"スタティック", 0},
         {IDC_CPU_MMX, L"Static", L"OFF", 0},
         {IDC_CPU_SSE, L"Static", L"OFF", 0},
         {IDC_CPU_SSE2, L"Static", L"OFF", 0},
         {IDC_OS_MMX, L"Static", L"OFF", 0},
         {IDC_OS_SSE, L"Static", L"OFF", 0},
         {IDC_OS_SSE2, L"Static", L"OFF", 0},
         {IDC_OS_3DNOW, L"Static", L"OFF", 0}},
        {L"ビデオ圧縮", L"CPU拡張命令", L"CPU", L"MMX", L"SSE", L"SSE2", L"OSサポート", L"3DNOW"}));
}

TEST(Resources, FilePageControls) {
    const DWORD spin = UDS_SETBUDDYINT | UDS_ALIGNRIGHT | UDS_ARROWKEYS;
    ASSERT_TRUE(CheckControls(
        IDD_FILE_PAGE,
        {{IDC_FILENAME, L"Edit", L"", ES_AUTOHSCROLL},
         {IDC_BROWSE, L"Button", L"参照", 0},
         {IDC_RESERVE, L"Button", L"領域確保", 0},
         {IDC_NOSPLIT, L"Button", L"分割しない(&I)", BS_AUTORADIOBUTTON | WS_GROUP},
         {IDC_SPLIT, L"Button", L"分割する(&D)", BS_AUTORADIOBUTTON},
         {IDC_PIECE_SIZE, L"Edit", L"", 0},
         {IDC_PIECE_SPIN, L"msctls_updown32", L"", spin},
         {IDC_FASTWRITE, L"Button", L"高速書き込みを行う(&F)", BS_AUTOCHECKBOX},
         {IDC_CACHE, L"Button", L"キャッシュを使用する(&U)", BS_AUTORADIOBUTTON | WS_GROUP},
         {IDC_NOCACHE, L"Button", L"キャッシュを使用しない(&N)", BS_AUTORADIOBUTTON},
         {IDC_REQUEST, L"Edit", L"", 0},
         {IDC_REQUEST_SPIN, L"msctls_updown32", L"", spin | UDS_NOTHOUSANDS},
         {IDC_CPU, L"Button", L"CPUを占有しない(&C)", BS_AUTOCHECKBOX},
         {IDC_FASTREAD, L"Button", L"高速読み込みを行う(&A)", BS_AUTOCHECKBOX},
         {IDC_HUFFYUV, L"Button", L"HUFFYUV用の最適化を行う(&H)", BS_AUTOCHECKBOX},
         {IDC_OVERWRITE, L"Button", L"前回のテイクに上書きしてキャプチャする(&O)", BS_AUTOCHECKBOX},
         {IDC_STRIPE1, L"Edit", L"", ES_AUTOHSCROLL},
         {IDC_STRIPE2, L"Edit", L"", ES_AUTOHSCROLL},
         {IDC_STRIPE3, L"Edit", L"", ES_AUTOHSCROLL},
         {IDC_HELP_BUTTON, L"Button", L"HELP", 0}},
        {L"ファイル名", L"ストライプ（別ディスクのデータファイル）", L"分割", L"Ｇ",
         L"ファイル出力", L"リクエスト数上限(&R)", L"ファイル入力"}));
}

TEST(Resources, ReservationDialogControls) {
    const DWORD spin = UDS_SETBUDDYINT | UDS_ALIGNRIGHT | UDS_ARROWKEYS;
    ASSERT_TRUE(CheckControls(IDD_PARTITION,
                              {{IDC_FRAME_RATE, L"Edit", L"", ES_NUMBER},
                               {IDC_FRAME_RATE_SPIN, L"msctls_updown32", L"", spin},
                               {IDC_MINUTES, L"Edit", L"", ES_NUMBER},
                               {IDC_MINUTES_SPIN, L"msctls_updown32", L"", spin},
                               {IDC_FRAME_SIZE, L"ComboBox", L"", CBS_DROPDOWNLIST | CBS_SORT},
                               {IDC_SIZE_TEXT, L"Edit", L"", ES_READONLY},
                               {IDC_RESERVE_NAME, L"Static", L"", SS_PATHELLIPSIS},
                               {IDOK, L"Button", L"OK", BS_DEFPUSHBUTTON},
                               {IDCANCEL, L"Button", L"キャンセル", 0}},
                              {L"フレーム率(&R)", L"／秒", L"キャプチャ時間(&T)", L"分",
                               L"フレームサイズ(&S)", L"Byte", L"MByte"}));
    ASSERT_TRUE(CheckControls(IDD_PROGRESS,
                              {{IDC_PROGRESS_BAR, L"msctls_progress32", L"", 0},
                               {IDC_PERCENT, L"Static", L"100", SS_RIGHT},
                               {IDCANCEL, L"Button", L"キャンセル", 0}},
                              {L"%完了"}));
}

TEST(Resources, AboutPageIsShiftJisHtml401) {
    std::string page = Resource(kHtmlType, IDR_ABOUT_HTML);
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

// The version resource and the codec's description come from one place and agree.
TEST(Resources, VersionResourceMatchesTheCodecVersion) {
    const std::string info = Resource(kVersionType, 1);
    ASSERT_FALSE(info.empty()) << "no version resource";
    const uint32_t signature = 0xFEEF04BD; // VS_FIXEDFILEINFO
    const size_t fixed = info.find(std::string(reinterpret_cast<const char*>(&signature), 4));
    ASSERT_NE(fixed, std::string::npos);
    ASSERT_LE(fixed + 24, info.size());
    uint32_t versions[4]; // file MS, file LS, product MS, product LS
    memcpy(versions, info.data() + fixed + 8, sizeof versions);
    const uint32_t high = KESTRO_VERSION_MAJOR << 16 | KESTRO_VERSION_MINOR;
    const uint32_t low = KESTRO_VERSION_PATCH << 16;
    EXPECT_EQ(versions[0], high);
    EXPECT_EQ(versions[1], low);
    EXPECT_EQ(versions[2], high);
    EXPECT_EQ(versions[3], low);
    EXPECT_EQ(VersionString(info, L"FileVersion"), L"" KESTRO_VERSION_TEXT);
    EXPECT_EQ(VersionString(info, L"FileDescription"), L"" KESTRO_DESCRIPTION);
}

// The about page's links lead to the same site as the help buttons.
TEST(Resources, AboutPageLinksToTheWebSite) {
    const std::string page = Resource(kHtmlType, IDR_ABOUT_HTML);
    ASSERT_FALSE(page.empty());
    const std::string link = "href=\"" KESTRO_WEB_SITE "/\"";
    int links = 0;
    for (size_t at = page.find("href="); at != std::string::npos; at = page.find("href=", at + 1)) {
        EXPECT_EQ(page.compare(at, link.size(), link), 0) << page.substr(at, 60);
        ++links;
    }
    EXPECT_EQ(links, 2) << "the logo and the invitation to visit";
}

TEST(Resources, LogoIsA200x70Jpeg) {
    std::string logo = Resource(L"IMG", IDR_LOGO);
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

namespace {

struct ChildControl {
    int id;
    std::wstring cls;
    DWORD style;
    std::wstring text;
    bool operator==(const ChildControl& o) const {
        return id == o.id && cls == o.cls && style == o.style;
    }
};

// The controls of a template as it loads for the calling thread's language.
std::vector<ChildControl> LoadedControls(int templateId, std::wstring& caption) {
    std::vector<ChildControl> controls;
    HWND parent = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                  nullptr, nullptr);
    HWND dialog =
        CreateDialogParamW(ui::CodecResources(), MAKEINTRESOURCEW(templateId), parent, Quiet, 0);
    if (dialog) {
        wchar_t text[256] = {};
        GetWindowTextW(dialog, text, 256);
        caption = text;
        for (HWND child = GetWindow(dialog, GW_CHILD); child;
             child = GetWindow(child, GW_HWNDNEXT)) {
            wchar_t cls[64] = {};
            GetClassNameW(child, cls, 64);
            GetWindowTextW(child, text, 256);
            controls.push_back({GetDlgCtrlID(child), cls,
                                DWORD(GetWindowLongW(child, GWL_STYLE)) & ~WS_VISIBLE, text});
        }
        DestroyWindow(dialog);
    }
    DestroyWindow(parent);
    return controls;
}

bool Ascii(const std::wstring& text) {
    for (wchar_t c : text)
        if (c >= 0x80)
            return false;
    return true;
}

} // namespace

// Every dialog and string has an English twin, which a user of any language but Japanese gets
// (German stands for them): the same controls in the same order with the same styles, only
// English texts; the Japanese ones stay as they were.
TEST(Resources, EnglishTwinsOfEveryDialogAndString) {
    const int dialogs[] = {IDD_COMPRESS_PAGE, IDD_FILE_PAGE, IDD_ABOUT, IDD_PARTITION,
                           IDD_PROGRESS};
    const UINT strings[] = {
        IDS_SHEET_CAPTION,    IDS_PARSE_INT,       IDS_PARSE_INT_RANGE,     IDS_PARSE_REAL,
        IDS_PARSE_REAL_RANGE, IDS_ABOUT_PRODUCT,   IDS_ABOUT_NOTICE1,       IDS_ABOUT_NOTICE2,
        IDS_ABOUT_VISIT,      IDS_FOLDER_MISSING,  IDS_FOLDER_NOT_WRITABLE, IDS_FOLDER_NOT_CREATED,
        IDS_CHOOSER_TITLE,    IDS_LOW_SPACE,       IDS_SHARE_DATA_FILE,     IDS_RESERVE_RATE,
        IDS_RESERVE_SLOW,     IDS_STRIPE_UNUSABLE, IDS_STRIPE_SAME_FOLDER};
    for (int id : dialogs) {
        SCOPED_TRACE(id);
        std::wstring japaneseCaption;
        const auto japanese = LoadedControls(id, japaneseCaption);
        for (LANGID language : {ui::kEnglishUs, ui::kGerman}) {
            ui::UseUiLanguage(language);
            std::wstring caption;
            const auto english = LoadedControls(id, caption);
            ui::UseUiLanguage(ui::kJapanese);
            EXPECT_TRUE(Ascii(caption) && !caption.empty()) << language;
            EXPECT_NE(caption, japaneseCaption);
            ASSERT_EQ(english, japanese) << language;
            for (const ChildControl& c : english)
                EXPECT_TRUE(Ascii(c.text)) << language << " control " << c.id;
        }
    }
    for (UINT id : strings) {
        SCOPED_TRACE(id);
        const std::wstring japanese = String(id);
        ui::UseUiLanguage(ui::kGerman);
        const std::wstring english = String(id);
        ui::UseUiLanguage(ui::kJapanese);
        EXPECT_NE(english, L"<missing>");
        EXPECT_TRUE(Ascii(english)) << ::testing::PrintToString(english);
        if (!Ascii(japanese)) {
            EXPECT_NE(english, japanese);
        }
    }
    ui::UseUiLanguage(ui::kGerman);
    const std::string page = Resource(kHtmlType, IDR_ABOUT_HTML);
    ui::UseUiLanguage(ui::kJapanese);
    EXPECT_NE(page.find("<button id=\"ButtonOK\""), std::string::npos);
    EXPECT_NE(page.find("res:/IMG/#1021"), std::string::npos);
    EXPECT_NE(page, Resource(kHtmlType, IDR_ABOUT_HTML));
}
