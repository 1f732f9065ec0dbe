#include "ui/HtmlDlg.h"

#include <exdisp.h>
#include <mshtml.h>

#include <string>

#include "edge/Module.h"
#include "resources/resource.h"
#include "ui/DataExchange.h"
#include "ui/ThreadSlot.h"

namespace {

// {25336920-03F9-11CF-8FD0-00AA00686F13}
constexpr CLSID kClsidHtmlDocument = {
    0x25336920, 0x03f9, 0x11cf, {0x8f, 0xd0, 0x00, 0xaa, 0x00, 0x68, 0x6f, 0x13}};
// {D30C1661-CDAF-11D0-8A3E-00C04FC9E26E}
constexpr IID kIidWebBrowser2 = {
    0xd30c1661, 0xcdaf, 0x11d0, {0x8a, 0x3e, 0x00, 0xc0, 0x4f, 0xc9, 0xe2, 0x6e}};
// {3050F485-98B5-11CF-BB82-00AA00BDCE0B}
constexpr IID kIidHtmlDocument3 = {
    0x3050f485, 0x98b5, 0x11cf, {0xbb, 0x82, 0x00, 0xaa, 0x00, 0xbd, 0xce, 0x0b}};
// {00000117-0000-0000-C000-000000000046}
constexpr IID kIidOleInPlaceActiveObject = {
    0x00000117, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

constexpr UINT_PTR kHookTimer = 1;
constexpr UINT kHookPeriodMs = 50;
constexpr int kHookTicks = 200; // the page has this long to arrive before the box draws itself
constexpr int kBrowserId = 100;

// The box drawn without a browser, in pixels: the logo at the page's size, then the texts, then
// the OK button, with the page's gaps.
constexpr int kLogoWidth = 200;
constexpr int kLogoHeight = 70;
constexpr int kMargin = 8;
constexpr int kRowGap = 6; // below the logo, and the page's empty row
constexpr int kLineGap = 2;
constexpr int kOkWidth = 100;
constexpr int kOkHeight = 24;
constexpr COLORREF kLightGrey = RGB(0xD3, 0xD3, 0xD3); // the page's "lightgrey"

kestro::ThreadSlot<HWND> g_keyDialog;
kestro::ThreadSlot<IWebBrowser2*> g_keyBrowser;

// The onclick handler of "ButtonOK": the box's ordinary OK ending.
class ClickSink : public IDispatch {
public:
    explicit ClickSink(HWND dialog) : dialog_(dialog) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out)
            return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch)) {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG left = InterlockedDecrement(&refs_);
        if (left == 0)
            delete this;
        return ULONG(left);
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (count)
            *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result,
                                     EXCEPINFO*, UINT*) override {
        // Ended from the dialog's own loop, not from inside the page's event.
        if (IsWindow(dialog_))
            PostMessageW(dialog_, WM_COMMAND, IDOK, 0);
        if (result)
            VariantInit(result);
        return S_OK;
    }

private:
    virtual ~ClickSink() = default;
    LONG refs_ = 1;
    HWND dialog_;
};

bool IsInside(HWND window, HWND ancestor) {
    for (; window; window = GetParent(window))
        if (window == ancestor)
            return true;
    return false;
}

// Keys typed into the page: Escape closes the box as in any dialog; the rest go to the browser
// first so that it can handle its own accelerators.
LRESULT CALLBACK KeyFilter(int code, WPARAM wParam, LPARAM lParam) {
    auto* msg = reinterpret_cast<MSG*>(lParam);
    HWND keyDialog = g_keyDialog.get();
    IWebBrowser2* keyBrowser = g_keyBrowser.get();
    if (code >= 0 && keyDialog && msg && msg->message >= WM_KEYFIRST &&
        msg->message <= WM_KEYLAST && IsInside(msg->hwnd, keyDialog) && msg->hwnd != keyDialog) {
        if (msg->message == WM_KEYDOWN && msg->wParam == VK_ESCAPE) {
            PostMessageW(keyDialog, WM_COMMAND, IDCANCEL, 0);
            return TRUE;
        }
        if (keyBrowser) {
            IOleInPlaceActiveObject* active = nullptr;
            if (SUCCEEDED(keyBrowser->QueryInterface(kIidOleInPlaceActiveObject,
                                                     reinterpret_cast<void**>(&active))) &&
                active) {
                HRESULT handled = active->TranslateAccelerator(msg);
                active->Release();
                if (handled == S_OK)
                    return TRUE;
            }
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

IPicture* LoadLogo() {
    HMODULE module = kestro::ModuleHandle();
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(IDR_LOGO), L"IMG");
    if (!found)
        return nullptr;
    DWORD size = SizeofResource(module, found);
    HGLOBAL loaded = LoadResource(module, found);
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (!bytes || !size)
        return nullptr;
    HGLOBAL copy = GlobalAlloc(GMEM_MOVEABLE, size);
    if (!copy)
        return nullptr;
    if (void* target = GlobalLock(copy)) {
        memcpy(target, bytes, size);
        GlobalUnlock(copy);
    }
    IStream* stream = nullptr;
    if (FAILED(CreateStreamOnHGlobal(copy, TRUE, &stream))) {
        GlobalFree(copy);
        return nullptr;
    }
    IPicture* picture = nullptr;
    if (FAILED(OleLoadPicture(stream, LONG(size), FALSE, IID_IPicture,
                              reinterpret_cast<void**>(&picture))))
        picture = nullptr;
    stream->Release();
    return picture;
}

} // namespace

CHtmlDlg::~CHtmlDlg() {
    Release();
}

void CHtmlDlg::Release() {
    if (keyHook_) {
        UnhookWindowsHookEx(keyHook_);
        keyHook_ = nullptr;
    }
    g_keyDialog.set(nullptr);
    g_keyBrowser.set(nullptr);
    if (clickSink_) {
        clickSink_->Release();
        clickSink_ = nullptr;
    }
    if (web_) {
        web_->Release();
        web_ = nullptr;
    }
    if (logo_) {
        logo_->Release();
        logo_ = nullptr;
    }
    if (background_) {
        DeleteObject(background_);
        background_ = nullptr;
    }
}

BOOL CHtmlDlg::OnInitDialog() {
    g_keyDialog.set(hwnd_);
    keyHook_ = SetWindowsHookExW(WH_MSGFILTER, KeyFilter, nullptr, GetCurrentThreadId());
    if (oleReady_ && CreateBrowser()) {
        SetTimer(hwnd_, kHookTimer, kHookPeriodMs, nullptr);
    } else {
        ShowFallback();
        return FALSE; // the focus is on the OK button
    }
    return TRUE;
}

bool CHtmlDlg::CreateBrowser() {
    // The browser control without its engine shows nothing at all: look for the engine first.
    IUnknown* engine = nullptr;
    if (FAILED(CoCreateInstance(kClsidHtmlDocument, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                reinterpret_cast<void**>(&engine))) ||
        !engine)
        return false;
    engine->Release();
    // The system's control host; kept loaded, as its window class stays registered.
    HMODULE atl = LoadLibraryW(L"atl.dll");
    if (!atl)
        return false;
    auto init = reinterpret_cast<BOOL(WINAPI*)()>(
        reinterpret_cast<void*>(GetProcAddress(atl, "AtlAxWinInit")));
    auto control = reinterpret_cast<HRESULT(WINAPI*)(HWND, IUnknown**)>(
        reinterpret_cast<void*>(GetProcAddress(atl, "AtlAxGetControl")));
    if (!init || !control || !init())
        return false;
    wchar_t path[MAX_PATH + 1] = {};
    GetModuleFileNameW(kestro::ModuleHandle(), path, MAX_PATH);
    const std::wstring url =
        std::wstring(L"res://") + path + L"/" + std::to_wstring(IDR_ABOUT_HTML);
    RECT client{};
    GetClientRect(hwnd_, &client);
    browser_ = CreateWindowExW(0, L"AtlAxWin", url.c_str(), WS_CHILD | WS_VISIBLE | WS_TABSTOP, 0,
                               0, client.right, client.bottom, hwnd_,
                               reinterpret_cast<HMENU>(INT_PTR(kBrowserId)), kestro::ModuleHandle(),
                               nullptr);
    if (!browser_)
        return false;
    IUnknown* unknown = nullptr;
    if (SUCCEEDED(control(browser_, &unknown)) && unknown) {
        unknown->QueryInterface(kIidWebBrowser2, reinterpret_cast<void**>(&web_));
        unknown->Release();
    }
    if (!web_) {
        DestroyWindow(browser_);
        browser_ = nullptr;
        return false;
    }
    g_keyBrowser.set(web_);
    return true;
}

// Ties the page's OK button to the box once the page is there.
bool CHtmlDlg::HookOkButton() {
    READYSTATE state = READYSTATE_UNINITIALIZED;
    if (FAILED(web_->get_ReadyState(&state)) || state != READYSTATE_COMPLETE)
        return false;
    IDispatch* document = nullptr;
    if (FAILED(web_->get_Document(&document)) || !document)
        return false;
    IHTMLDocument3* html = nullptr;
    document->QueryInterface(kIidHtmlDocument3, reinterpret_cast<void**>(&html));
    document->Release();
    if (!html)
        return false;
    IHTMLElement* button = nullptr;
    BSTR id = SysAllocString(L"ButtonOK");
    html->getElementById(id, &button);
    SysFreeString(id);
    html->Release();
    if (!button)
        return false;
    if (!clickSink_)
        clickSink_ = new ClickSink(hwnd_);
    VARIANT handler;
    VariantInit(&handler);
    handler.vt = VT_DISPATCH;
    handler.pdispVal = clickSink_;
    HRESULT hr = button->put_onclick(handler);
    button->Release();
    return SUCCEEDED(hr);
}

void CHtmlDlg::ShowFallback() {
    if (browser_) {
        DestroyWindow(browser_);
        browser_ = nullptr;
    }
    g_keyBrowser.set(nullptr);
    if (web_) {
        web_->Release();
        web_ = nullptr;
    }
    background_ = CreateSolidBrush(kLightGrey);
    logo_ = LoadLogo();

    RECT client{};
    GetClientRect(hwnd_, &client);
    const int width = client.right - client.left;
    const int logoLeft = (width - kLogoWidth) / 2;
    logoRect_ = RECT{logoLeft, kMargin, logoLeft + kLogoWidth, kMargin + kLogoHeight};
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(hwnd_, WM_GETFONT, 0, 0));
    HDC dc = GetDC(hwnd_);
    HGDIOBJ old = SelectObject(dc, font);
    int y = logoRect_.bottom + kRowGap;
    for (UINT id : {UINT(IDS_ABOUT_PRODUCT), UINT(IDS_ABOUT_NOTICE1), UINT(IDS_ABOUT_NOTICE2), 0u,
                    UINT(IDS_ABOUT_VISIT)}) {
        if (id == 0) {
            y += kRowGap;
            continue;
        }
        const std::wstring text = kestro::LoadResourceString(id);
        RECT box{0, 0, width - 2 * kMargin, 0};
        DrawTextW(dc, text.c_str(), -1, &box, DT_CALCRECT | DT_WORDBREAK | DT_CENTER);
        HWND label = CreateWindowExW(0, L"STATIC", text.c_str(), WS_CHILD | WS_VISIBLE | SS_CENTER,
                                     kMargin, y, width - 2 * kMargin, box.bottom, hwnd_, nullptr,
                                     kestro::ModuleHandle(), nullptr);
        SendMessageW(label, WM_SETFONT, WPARAM(font), FALSE);
        y += box.bottom + kLineGap;
    }
    SelectObject(dc, old);
    ReleaseDC(hwnd_, dc);
    // Grow the box when the texts need more room than the template gives.
    int needed = y + kMargin + kOkHeight + kMargin;
    if (needed > client.bottom) {
        RECT outer{};
        GetWindowRect(hwnd_, &outer);
        SetWindowPos(hwnd_, nullptr, 0, 0, outer.right - outer.left,
                     outer.bottom - outer.top + needed - client.bottom,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        GetClientRect(hwnd_, &client);
    }
    HWND ok = CreateWindowExW(
        0, L"BUTTON", L"OK", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON,
        (width - kOkWidth) / 2, client.bottom - kMargin - kOkHeight, kOkWidth, kOkHeight, hwnd_,
        reinterpret_cast<HMENU>(INT_PTR(IDOK)), kestro::ModuleHandle(), nullptr);
    SendMessageW(ok, WM_SETFONT, WPARAM(font), FALSE);
    SetFocus(ok);
}

void CHtmlDlg::Paint() {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(hwnd_, &paint);
    if (logo_) {
        OLE_XSIZE_HIMETRIC width = 0;
        OLE_YSIZE_HIMETRIC height = 0;
        logo_->get_Width(&width);
        logo_->get_Height(&height);
        // Turned upright: the picture's own units run from the bottom.
        logo_->Render(dc, logoRect_.left, logoRect_.top, kLogoWidth, kLogoHeight, 0, height, width,
                      -height, nullptr);
    }
    EndPaint(hwnd_, &paint);
}

INT_PTR CHtmlDlg::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_TIMER:
        if (wParam != kHookTimer)
            return FALSE;
        if (web_ && HookOkButton()) {
            KillTimer(hwnd_, kHookTimer);
        } else if (++ticks_ >= kHookTicks || !web_) {
            // The page never arrived: the box still shows what it has to say.
            KillTimer(hwnd_, kHookTimer);
            ShowFallback();
            InvalidateRect(hwnd_, nullptr, TRUE);
        }
        return TRUE;
    case WM_PAINT:
        if (browser_)
            return FALSE;
        Paint();
        return TRUE;
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSTATIC:
        if (!background_)
            return FALSE;
        if (msg == WM_CTLCOLORSTATIC)
            SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
        return reinterpret_cast<INT_PTR>(background_);
    case WM_DESTROY:
        KillTimer(hwnd_, kHookTimer);
        Release();
        return FALSE;
    }
    (void)lParam;
    return FALSE;
}

void kestro::ShowAboutBox() {
    HRESULT ole = OleInitialize(nullptr);
    {
        CHtmlDlg dialog(SUCCEEDED(ole));
        dialog.DoModal();
    }
    if (SUCCEEDED(ole))
        OleUninitialize();
}
