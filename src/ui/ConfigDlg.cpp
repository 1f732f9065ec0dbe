#include "ui/ConfigDlg.h"

#include <commctrl.h>
#include <commdlg.h>
#include <objbase.h>
#include <shellapi.h>
#include <vfw.h>

#include <algorithm>
#include <cwchar>
#include <iterator>
#include <new>

#include "edge/Module.h"
#include "resources/Product.h"
#include "resources/resource.h"
#include "ui/CpuDetect.h"
#include "ui/DataExchange.h"
#include "ui/PartitionDlg.h"
#include "ui/SheetChecks.h"
#include "ui/ThreadSlot.h"

using kestro::DataExchange;

namespace kestro {

const wchar_t* const kHelpServer = L"" KESTRO_WEB_SITE;

namespace {

constexpr WPARAM kDecimal = 10; // the up-down controls' number base
// The compression page's description field, in bytes of the ANSI code page.
constexpr int kDescriptionBytes = 128;
constexpr int kPageCount = 2;

DWORD WINAPI HelpThread(void* parameter) {
    auto* url = static_cast<std::wstring*>(parameter);
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    ShellExecuteW(nullptr, nullptr, url->c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    if (SUCCEEDED(com))
        CoUninitialize();
    delete url;
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&HelpThread), &self);
    FreeLibraryAndExitThread(self, 0);
}

} // namespace

// The shell may take long to start a browser, or fail to find one; neither may stall the sheet.
// The thread holds a reference on this library so that it cannot be unloaded under it.
void OpenHelpPage(const wchar_t* path) {
    auto* url = new (std::nothrow) std::wstring();
    if (!url)
        return;
    try {
        *url = std::wstring(kHelpServer) + path;
    } catch (...) {
        delete url;
        return;
    }
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&HelpThread), &self)) {
        delete url;
        return;
    }
    HANDLE thread = CreateThread(nullptr, 0, HelpThread, url, 0, nullptr);
    if (!thread) {
        delete url;
        FreeLibrary(self);
        return;
    }
    CloseHandle(thread);
}

// The sheet measures its pages in its own font, smaller than the pages' "MS UI Gothic" 9; a page
// that would be clipped makes the sheet grow until the page's template fits.
void FitPageIntoSheet(HWND page, int cx, int cy) {
    HWND sheet = GetParent(page);
    HWND tab = reinterpret_cast<HWND>(SendMessageW(sheet, PSM_GETTABCONTROL, 0, 0));
    if (!sheet || !tab)
        return;
    RECT need{0, 0, cx, cy};
    MapDialogRect(page, &need);
    auto displayArea = [&] {
        RECT area{};
        GetClientRect(tab, &area);
        SendMessageW(tab, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&area));
        MapWindowPoints(tab, sheet, reinterpret_cast<POINT*>(&area), 2);
        return area;
    };
    RECT area = displayArea();
    const int dx = std::max(0L, need.right - (area.right - area.left));
    const int dy = std::max(0L, need.bottom - (area.bottom - area.top));
    if (dx || dy) {
        auto grow = [](HWND window, int w, int h) {
            RECT r{};
            GetWindowRect(window, &r);
            SetWindowPos(window, nullptr, 0, 0, r.right - r.left + w, r.bottom - r.top + h,
                         SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        };
        grow(sheet, dx, dy);
        grow(tab, dx, dy);
        for (int id : {IDOK, IDCANCEL, IDHELP, kSheetApplyButton}) {
            HWND button = GetDlgItem(sheet, id);
            if (!button)
                continue;
            RECT r{};
            GetWindowRect(button, &r);
            MapWindowPoints(nullptr, sheet, reinterpret_cast<POINT*>(&r), 2);
            SetWindowPos(button, nullptr, r.left + dx, r.top + dy, 0, 0,
                         SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        }
        area = displayArea();
    }
    SetWindowPos(page, nullptr, area.left, area.top, area.right - area.left, area.bottom - area.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

namespace {

// How one control of the file page shows one setting: an edit field its text, or its number
// (with the up-down control `spin` beside it, both held to the range of the setting's row); a
// check box its flag, or with `pair` a pair of radio buttons from `id` on, of which the first
// stands for `firstMeans`. The edit fields and the pairs are read in this order, and the
// reading stops at the first that fails its check; the check boxes are read when the page
// gives up its values.
struct ControlRow {
    int id;
    std::string CCodecSettings::*text = nullptr;
    int32_t CCodecSettings::*number = nullptr;
    bool CCodecSettings::*flag = nullptr;
    int spin = 0;
    bool pair = false;
    bool firstMeans = false;

    bool CheckBox() const { return flag && !pair; }
};

using S = CCodecSettings;
const ControlRow kFileControls[] = {
    {.id = IDC_NOSPLIT, .flag = &S::splitPieces, .pair = true, .firstMeans = false},
    {.id = IDC_CACHE, .flag = &S::copyBeforeWrite, .pair = true, .firstMeans = true},
    {.id = IDC_REQUEST, .number = &S::writeRequests, .spin = IDC_REQUEST_SPIN},
    {.id = IDC_PIECE_SIZE, .number = &S::pieceGiB, .spin = IDC_PIECE_SPIN},
    {.id = IDC_FILENAME, .text = &S::dataFileName},
    {.id = IDC_STRIPE1, .text = &S::stripeFile1},
    {.id = IDC_STRIPE2, .text = &S::stripeFile2},
    {.id = IDC_STRIPE3, .text = &S::stripeFile3},
    {.id = IDC_FASTWRITE, .flag = &S::overlappedWrites},
    {.id = IDC_CPU, .flag = &S::cachedWrites},
    {.id = IDC_FASTREAD, .flag = &S::overlappedReads},
    {.id = IDC_HUFFYUV, .flag = &S::chainedExtraPages},
    {.id = IDC_OVERWRITE, .flag = &S::overwrite},
};

} // namespace

} // namespace kestro

using kestro::kFileControls;

bool CFilePage::UpdateData(bool save) {
    DataExchange dx(hwnd_, save);
    for (const kestro::ControlRow& c : kFileControls) {
        if (c.pair) {
            int32_t index = chosen.*c.flag == c.firstMeans ? 0 : 1;
            dx.Radio(c.id, index);
            chosen.*c.flag = (index == 0) == c.firstMeans;
        } else if (c.number) {
            dx.Int(c.id, chosen.*c.number);
        } else if (c.text) {
            dx.Text(c.id, chosen.*c.text);
        }
    }
    for (const kestro::ControlRow& c : kFileControls) {
        if (!c.number)
            continue;
        const SettingKey& row = SettingKeyOf(c.number);
        dx.IntRange(c.id, chosen.*c.number, row.low, row.high);
    }
    return !dx.Failed();
}

BOOL CFilePage::OnInitDialog() {
    kestro::FitPageIntoSheet(hwnd_, FILE_PAGE_WIDTH, FILE_PAGE_HEIGHT);
    for (const kestro::ControlRow& c : kFileControls) {
        if (!c.spin)
            continue;
        const SettingKey& row = SettingKeyOf(c.number);
        SendMessageW(Item(c.spin), UDM_SETRANGE32, row.low, row.high);
        SendMessageW(Item(c.spin), UDM_SETBASE, kestro::kDecimal, 0);
        SendMessageW(Item(c.spin), UDM_SETPOS32, 0, row.low);
    }
    UpdateData(false);

    for (const kestro::ControlRow& c : kFileControls)
        if (c.CheckBox())
            SetCheck(c.id, chosen.*c.flag);
    if (!chosen.fastioallowed)
        Enable(IDC_FASTWRITE, false);

    UpdateData(true);
    Enable(IDC_PIECE_SIZE, chosen.splitPieces);
    Enable(IDC_PIECE_SPIN, chosen.splitPieces);
    UpdateFastWriteControls();
    Enable(IDC_HUFFYUV, Checked(IDC_FASTREAD));
    UpdateData(false);
    return TRUE;
}

bool CFilePage::OnCommand(int id, int code) {
    if (code != BN_CLICKED)
        return false;
    switch (id) {
    case IDC_NOSPLIT:
    case IDC_SPLIT:
        UpdateSplitControls();
        return true;
    case IDC_FASTWRITE:
        UpdateFastWriteControls();
        return true;
    case IDC_FASTREAD:
        UpdateFastReadControls();
        return true;
    case IDC_BROWSE:
        Browse();
        return true;
    case IDC_RESERVE:
        Reserve();
        return true;
    case IDC_HELP_BUTTON:
        kestro::OpenHelpPage(L"/kestro/help/file.htm");
        return true;
    }
    return false;
}

INT_PTR CFilePage::OnMessage(UINT msg, WPARAM, LPARAM lParam) {
    if (msg != WM_NOTIFY)
        return FALSE;
    switch (reinterpret_cast<NMHDR*>(lParam)->code) {
    case PSN_KILLACTIVE: {
        CollectResults();
        bool ok = UpdateData(true);
        SetWindowLongPtrW(hwnd_, DWLP_MSGRESULT, ok ? FALSE : TRUE);
        return TRUE;
    }
    case PSN_APPLY: {
        const bool stay = !ConfirmStripes() || !ConfirmDataFolder();
        accepted = !stay;
        SetWindowLongPtrW(hwnd_, DWLP_MSGRESULT,
                          stay ? PSNRET_INVALID_NOCHANGEPAGE : PSNRET_NOERROR);
        return TRUE;
    }
    }
    return FALSE;
}

namespace {

std::wstring WithFolder(UINT id, const std::wstring& folder) {
    std::wstring text = kestro::LoadResourceString(id);
    const size_t at = text.find(L"%1");
    return at == std::wstring::npos ? text : text.replace(at, 2, folder);
}

bool CreateFolders(const std::wstring& folder) {
    for (size_t at = folder.find(L'\\', 3);; at = folder.find(L'\\', at + 1)) {
        const std::wstring part = folder.substr(0, at);
        const DWORD a = GetFileAttributesW(part.c_str());
        if ((a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_DIRECTORY)) &&
            !CreateDirectoryW(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
        if (at == std::wstring::npos)
            return true;
    }
}

// A file that is gone when its handle closes: whether this user may create files there.
bool MayWriteIn(const std::wstring& folder) {
    HANDLE probe =
        CreateFileW((folder + L"\\~kestro-write-check.tmp").c_str(), GENERIC_WRITE, 0, nullptr,
                    CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (probe == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_EXISTS;
    CloseHandle(probe);
    return true;
}

} // namespace

// Before OK stores a data file whose folder a capture could not write into: says so, and offers
// to create a missing folder. False keeps the sheet open.
bool CFilePage::ConfirmDataFolder() {
    const std::wstring name = kestro::Widen(chosen.dataFileName);
    const size_t slash = name.find_last_of(L"\\/");
    if (slash == std::wstring::npos || slash < 2)
        return true; // no folder of its own: the capture's begin names the problem
    const std::wstring folder = name.substr(0, slash);
    const std::wstring caption = kestro::LoadResourceString(IDS_SHEET_CAPTION);
    HWND owner = GetAncestor(hwnd_, GA_ROOT);
    const DWORD a = GetFileAttributesW(folder.c_str());
    if (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_DIRECTORY)) {
        switch (MessageBoxW(owner, WithFolder(IDS_FOLDER_MISSING, folder).c_str(), caption.c_str(),
                            MB_YESNOCANCEL | MB_ICONWARNING)) {
        case IDYES:
            if (CreateFolders(folder))
                return kestro::ConfirmFreeSpace(folder, owner, caption);
            MessageBoxW(owner, WithFolder(IDS_FOLDER_NOT_CREATED, folder).c_str(), caption.c_str(),
                        MB_OK | MB_ICONERROR);
            return false;
        case IDNO:
            return true;
        default:
            return false;
        }
    }
    if (!MayWriteIn(folder))
        return MessageBoxW(owner, WithFolder(IDS_FOLDER_NOT_WRITABLE, folder).c_str(),
                           caption.c_str(), MB_OKCANCEL | MB_ICONWARNING) == IDOK;
    return kestro::ConfirmFreeSpace(folder, owner, caption);
}

// Before OK stores stripe data files: one the codec could not play back from, or one sharing a
// folder with the data file or another stripe, is said and keeps the sheet open.
bool CFilePage::ConfirmStripes() {
    const std::wstring why = kestro::StripeRefusal(chosen);
    if (why.empty())
        return true;
    MessageBoxW(GetAncestor(hwnd_, GA_ROOT), why.c_str(),
                kestro::LoadResourceString(IDS_SHEET_CAPTION).c_str(), MB_OK | MB_ICONERROR);
    return false;
}

void CFilePage::UpdateSplitControls() {
    UpdateData(true);
    Enable(IDC_PIECE_SIZE, chosen.splitPieces);
    Enable(IDC_PIECE_SPIN, chosen.splitPieces);
}

void CFilePage::UpdateFastWriteControls() {
    const bool on = Checked(IDC_FASTWRITE);
    for (int id : {IDC_CACHE, IDC_NOCACHE, IDC_REQUEST, IDC_REQUEST_SPIN, IDC_CPU})
        Enable(id, on);
}

void CFilePage::UpdateFastReadControls() {
    Enable(IDC_HUFFYUV, Checked(IDC_FASTREAD));
}

void CFilePage::CollectResults() {
    UpdateData(true);
    for (const kestro::ControlRow& c : kFileControls)
        if (c.CheckBox())
            chosen.*c.flag = Checked(c.id);
}

void CFilePage::Browse() {
    wchar_t file[MAX_PATH + 1] = {};
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.lpstrFile = file;
    ofn.nMaxFile = MAX_PATH;
    ofn.Flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT;
    if (!GetOpenFileNameW(&ofn))
        return;
    chosen.dataFileName = kestro::Narrow(file);
    UpdateData(false);
}

void CFilePage::Reserve() {
    CollectResults();
    CPartitionDlg dialog(*this);
    dialog.RunModal(hwnd_, IDD_PARTITION);
}

void CCompressPage::UpdateData(bool save) {
    DataExchange dx(hwnd_, save);
    dx.Text(IDC_DESCRIPTION, description);
    dx.Text(IDC_CPU_NAME, cpuName);
    dx.Text(IDC_CPU_MMX, cpuMmx);
    dx.Text(IDC_CPU_SSE, cpuSse);
    dx.Text(IDC_CPU_SSE2, cpuSse2);
    dx.Text(IDC_OS_MMX, osMmx);
    dx.Text(IDC_OS_SSE, osSse);
    dx.Text(IDC_OS_SSE2, osSse2);
    dx.Text(IDC_OS_3DNOW, os3dnow);
}

BOOL CCompressPage::OnInitDialog() {
    kestro::FitPageIntoSheet(hwnd_, COMPRESS_PAGE_WIDTH, COMPRESS_PAGE_HEIGHT);
    UpdateData(false);
    if (chosen.chainedFourcc != 0) {
        if (HIC handle = ICOpen(ICTYPE_VIDEO, DWORD(chosen.chainedFourcc), ICMODE_COMPRESS)) {
            ShowCompressorName(handle);
            ICClose(handle);
        }
    }
    ShowCpuFeatures();
    return TRUE;
}

bool CCompressPage::OnCommand(int id, int code) {
    if (code != BN_CLICKED)
        return false;
    if (id == IDC_CHOOSE) {
        ChooseCompressor();
        return true;
    }
    if (id == IDC_HELP_BUTTON) {
        kestro::OpenHelpPage(L"/kestro/help/compress.htm");
        return true;
    }
    return false;
}

void CCompressPage::ShowCompressorName(HIC handle) {
    ICINFO info{};
    if (ICGetInfo(handle, &info, sizeof info) == 0)
        return;
    // Longer texts lose whole characters from the end until they fit the field.
    info.szDescription[std::size(info.szDescription) - 1] = 0;
    int count = int(wcslen(info.szDescription));
    char text[kestro::kDescriptionBytes] = {};
    while (count > 0) {
        int bytes =
            WideCharToMultiByte(CP_ACP, 0, info.szDescription, count, nullptr, 0, nullptr, nullptr);
        if (bytes > 0 && bytes < int(sizeof text)) {
            WideCharToMultiByte(CP_ACP, 0, info.szDescription, count, text, bytes, nullptr,
                                nullptr);
            text[bytes] = 0;
            break;
        }
        --count;
        if (count > 0 && IS_HIGH_SURROGATE(info.szDescription[count - 1]))
            --count;
    }
    description = text;
    UpdateData(false);
}

namespace {

// The chooser takes its title in the ANSI code page; the hook puts the Japanese title on it
// whatever that code page is.
kestro::ThreadSlot<const wchar_t*> g_chooserTitle;
kestro::ThreadSlot<HHOOK> g_chooserHook;

LRESULT CALLBACK ChooserTitleHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE && g_chooserTitle.get()) {
        SetWindowTextW(reinterpret_cast<HWND>(wParam), g_chooserTitle.get());
        g_chooserTitle.set(nullptr);
    }
    return CallNextHookEx(g_chooserHook.get(), code, wParam, lParam);
}

} // namespace

void CCompressPage::ChooseCompressor() {
    COMPVARS vars{};
    vars.cbSize = sizeof vars;
    vars.dwFlags = ICMF_COMPVARS_VALID;
    vars.fccHandler = DWORD(chosen.chainedFourcc);
    const std::wstring wideTitle = kestro::LoadResourceString(IDS_CHOOSER_TITLE);
    std::string title = kestro::Narrow(wideTitle);
    g_chooserTitle.set(wideTitle.c_str());
    HHOOK hook = SetWindowsHookExW(WH_CBT, ChooserTitleHook, nullptr, GetCurrentThreadId());
    g_chooserHook.set(hook);
    BOOL picked = ICCompressorChoose(hwnd_, ICMF_CHOOSE_ALLCOMPRESSORS, nullptr, nullptr, &vars,
                                     title.data());
    if (hook)
        UnhookWindowsHookEx(hook);
    g_chooserHook.set(nullptr);
    g_chooserTitle.set(nullptr);
    if (!picked)
        return;
    if (vars.hic) {
        if (vars.fccHandler != 0)
            ShowCompressorName(vars.hic);
        chosen.chainedFourcc = int32_t(vars.fccHandler);
        ICClose(vars.hic);
        vars.hic = nullptr;
    } else {
        chosen.chainedFourcc = 0;
        description.clear();
        UpdateData(false);
    }
    // The chooser may have kept formats and state that the codec does not use.
    ICCompressorFree(&vars);
}

void CCompressPage::ShowCpuFeatures() {
    kestro::CpuInfo info{};
    kestro::DetectCpu(&info);
    cpuName = info.name;
    auto line = [&](uint32_t set, uint32_t bit, std::string& text) {
        if (info.reportedFeatures & bit)
            text = (set & bit) ? "ON" : "OFF";
    };
    line(info.features, kestro::FEATURE_MMX, cpuMmx);
    line(info.features, kestro::FEATURE_SSE, cpuSse);
    line(info.features, kestro::FEATURE_SSE2, cpuSse2);
    line(info.osFeatures, kestro::FEATURE_MMX, osMmx);
    line(info.osFeatures, kestro::FEATURE_SSE, osSse);
    line(info.osFeatures, kestro::FEATURE_SSE2, osSse2);
    line(info.osFeatures, kestro::FEATURE_3DNOW, os3dnow);
    UpdateData(false);
}

INT_PTR CConfigDlg::Run(CFilePage& file, CCompressPage& compress) {
    using kestro::kPageCount;
    HPROPSHEETPAGE pages[kPageCount] = {};
    kestro::Dialog* objects[kPageCount] = {&file, &compress};
    const int templates[kPageCount] = {IDD_FILE_PAGE, IDD_COMPRESS_PAGE};
    for (int i = 0; i < kPageCount; ++i) {
        PROPSHEETPAGEW page{};
        page.dwSize = sizeof page;
        page.dwFlags = PSP_DEFAULT;
        page.hInstance = kestro::ModuleHandle();
        page.pszTemplate = MAKEINTRESOURCEW(templates[i]);
        page.pfnDlgProc = kestro::Dialog::PageProc;
        page.lParam = reinterpret_cast<LPARAM>(objects[i]);
        pages[i] = CreatePropertySheetPageW(&page);
        if (!pages[i]) {
            for (int j = 0; j < i; ++j)
                DestroyPropertySheetPage(pages[j]);
            return IDCANCEL;
        }
    }
    const std::wstring caption = kestro::LoadResourceString(IDS_SHEET_CAPTION);
    PROPSHEETHEADERW header{};
    header.dwSize = sizeof header;
    header.dwFlags = PSH_DEFAULT;
    header.hwndParent = nullptr;
    header.hInstance = kestro::ModuleHandle();
    header.pszCaption = caption.c_str();
    header.nPages = kPageCount;
    header.nStartPage = 0;
    header.phpage = pages;
    header.dwFlags |= PSH_NOAPPLYNOW;
    PropertySheetW(&header);
    return file.accepted ? IDOK : IDCANCEL;
}

bool kestro::ShowConfigurationSheet(CCodecSettings* settings) {
    INITCOMMONCONTROLSEX controls{sizeof controls,
                                  ICC_UPDOWN_CLASS | ICC_PROGRESS_CLASS | ICC_TAB_CLASSES};
    InitCommonControlsEx(&controls);
    // The pages edit a copy: the record changes only on OK.
    CCodecSettings chosen = settings ? *settings : TheSettings();
    CFilePage file(chosen);
    CCompressPage compress(chosen);
    if (CConfigDlg::Run(file, compress) != IDOK)
        return false;
    // The codecs of both bitnesses capture for the same user, who set one data file.
    if (settings && settings->StoreAccepted(chosen))
        kestro::OfferToShareDataFile(settings->profilepath, settings->dataFileName);
    return true;
}
