#include "UiDriver.h"

#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>

namespace ui {

namespace {

constexpr int kPollMs = 20;
// The text control of user32's message box: its own id, which no header names.
constexpr int kMessageBoxText = 0xFFFF;

struct Search {
    std::wstring title;
    HWND found = nullptr;
    bool messageBox = false;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM param) {
    reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
    return TRUE;
}

bool IsMessageBox(HWND window) {
    wchar_t cls[32] = {};
    GetClassNameW(window, cls, 32);
    return wcscmp(cls, L"#32770") == 0 && GetDlgItem(window, kMessageBoxText) != nullptr &&
           IsWindowVisible(window);
}

uint32_t Crc(const uint8_t* data, size_t size, uint32_t crc = 0) {
    static uint32_t table[256];
    static bool ready = false;
    if (!ready) {
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
        ready = true;
    }
    crc = ~crc;
    for (size_t i = 0; i < size; ++i)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

void PutBe(std::string& out, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8)
        out += char((v >> s) & 0xFF);
}

void Chunk(std::string& png, const char* type, const std::string& data) {
    PutBe(png, uint32_t(data.size()));
    std::string body = std::string(type, 4) + data;
    png += body;
    PutBe(png, Crc(reinterpret_cast<const uint8_t*>(body.data()), body.size()));
}

// An RGB picture as PNG with stored (uncompressed) deflate blocks.
std::string EncodePng(int width, int height, const std::vector<uint8_t>& rgb) {
    std::string raw;
    for (int y = 0; y < height; ++y) {
        raw += '\0';
        raw.append(reinterpret_cast<const char*>(&rgb[size_t(y) * width * 3]), size_t(width) * 3);
    }
    std::string z = "\x78\x01";
    uint32_t a = 1, b = 0;
    for (unsigned char c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    for (size_t at = 0; at < raw.size() || raw.empty();) {
        size_t n = std::min<size_t>(65535, raw.size() - at);
        bool last = at + n >= raw.size();
        z += char(last ? 1 : 0);
        z += char(n & 0xFF);
        z += char(n >> 8);
        z += char(~n & 0xFF);
        z += char((~n >> 8) & 0xFF);
        z.append(raw, at, n);
        at += n;
        if (last)
            break;
    }
    PutBe(z, (b << 16) | a);
    std::string png = "\x89PNG\r\n\x1a\n";
    std::string header;
    PutBe(header, uint32_t(width));
    PutBe(header, uint32_t(height));
    header += std::string("\x08\x02\x00\x00\x00", 5);
    Chunk(png, "IHDR", header);
    Chunk(png, "IDAT", z);
    Chunk(png, "IEND", "");
    return png;
}

bool Grab(HWND window, RECT& rect, std::vector<uint8_t>& rgb) {
    if (!GetWindowRect(window, &rect))
        return false;
    int w = rect.right - rect.left, h = rect.bottom - rect.top;
    if (w <= 0 || h <= 0)
        return false;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool ok = false;
    if (dib && bits) {
        HGDIOBJ old = SelectObject(memory, dib);
        ok = BitBlt(memory, 0, 0, w, h, screen, rect.left, rect.top, SRCCOPY) != 0;
        GdiFlush();
        rgb.resize(size_t(w) * h * 3);
        auto* px = static_cast<const uint8_t*>(bits);
        for (size_t i = 0; i < size_t(w) * h; ++i) {
            rgb[i * 3] = px[i * 4 + 2];
            rgb[i * 3 + 1] = px[i * 4 + 1];
            rgb[i * 3 + 2] = px[i * 4];
        }
        SelectObject(memory, old);
    }
    if (dib)
        DeleteObject(dib);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return ok;
}

} // namespace

std::vector<HWND> ThreadWindows(DWORD thread) {
    std::vector<HWND> windows;
    EnumThreadWindows(thread, CollectWindow, reinterpret_cast<LPARAM>(&windows));
    return windows;
}

std::wstring Text(HWND window) {
    wchar_t text[512] = {};
    // Read through the window manager so that a busy owner thread cannot stall the driver.
    InternalGetWindowText(window, text, 512);
    return text;
}

std::wstring ItemText(HWND dialog, int id) {
    wchar_t text[1024] = {};
    GetDlgItemTextW(dialog, id, text, 1024);
    return text;
}

HWND WaitWindow(DWORD thread, const std::wstring& title, int timeoutMs) {
    for (int waited = 0; waited <= timeoutMs; waited += kPollMs) {
        for (HWND window : ThreadWindows(thread))
            if (IsWindowVisible(window) && Text(window) == title)
                return window;
        Sleep(kPollMs);
    }
    return nullptr;
}

bool WaitGone(HWND window, int timeoutMs) {
    for (int waited = 0; waited <= timeoutMs; waited += kPollMs) {
        if (!IsWindow(window))
            return true;
        Sleep(kPollMs);
    }
    return false;
}

HWND WaitMessageBox(DWORD thread, int timeoutMs) {
    for (int waited = 0; waited <= timeoutMs; waited += kPollMs) {
        for (HWND window : ThreadWindows(thread))
            if (IsMessageBox(window))
                return window;
        Sleep(kPollMs);
    }
    return nullptr;
}

std::wstring MessageBoxText(HWND box) {
    return ItemText(box, kMessageBoxText);
}

std::wstring DismissMessageBox(DWORD thread, int timeoutMs) {
    HWND box = WaitMessageBox(thread, timeoutMs);
    if (!box)
        return {};
    std::wstring text = MessageBoxText(box);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    WaitGone(box, 5000);
    return text;
}

kt::Thread SetTextAsync(HWND dialog, int id, const std::wstring& text) {
    HWND item = GetDlgItem(dialog, id);
    return kt::Thread([item, text] { SendMessageW(item, WM_SETTEXT, 0, LPARAM(text.c_str())); });
}

void SetText(HWND dialog, int id, const std::wstring& text) {
    SendMessageW(GetDlgItem(dialog, id), WM_SETTEXT, 0, LPARAM(text.c_str()));
}

void Press(HWND dialog, int id) {
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), LPARAM(GetDlgItem(dialog, id)));
}

void Click(HWND dialog, int id) {
    SendMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

bool Checked(HWND dialog, int id) {
    return SendMessageW(GetDlgItem(dialog, id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

bool Enabled(HWND dialog, int id) {
    return IsWindowEnabled(GetDlgItem(dialog, id)) != 0;
}

bool Responsive(HWND window) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &result) != 0;
}

HWND CurrentPage(HWND sheet) {
    return reinterpret_cast<HWND>(SendMessageW(sheet, PSM_GETCURRENTPAGEHWND, 0, 0));
}

int CurrentPageIndex(HWND sheet) {
    HWND tab = reinterpret_cast<HWND>(SendMessageW(sheet, PSM_GETTABCONTROL, 0, 0));
    return int(SendMessageW(tab, TCM_GETCURSEL, 0, 0));
}

kt::Thread SelectPageAsync(HWND sheet, int index) {
    return kt::Thread([sheet, index] { SendMessageW(sheet, PSM_SETCURSEL, WPARAM(index), 0); });
}

void UseUiLanguage(LANGID language) {
    SetThreadUILanguage(language);
    SetThreadLocale(MAKELCID(language, SORT_DEFAULT));
}

std::string ShotPath(const std::string& name) {
    char exe[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string dir(exe);
    dir = dir.substr(0, dir.find_last_of("\\/") + 1) + "screenshots";
    CreateDirectoryA(dir.c_str(), nullptr);
#if defined(__x86_64__)
    const char* arch = "x86_64";
#else
    const char* arch = "i686";
#endif
    return dir + "\\" + name + "-" + arch + ".png";
}

bool SaveScreenshot(HWND window, const std::string& path) {
    SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    RedrawWindow(window, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_FRAME);
    Sleep(400); // the window's own thread paints
    RECT rect;
    std::vector<uint8_t> rgb;
    if (!Grab(window, rect, rgb))
        return false;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << EncodePng(rect.right - rect.left, rect.bottom - rect.top, rgb);
    return bool(out);
}

COLORREF ScreenPixel(HWND window, int x, int y) {
    POINT at{x, y};
    ClientToScreen(window, &at);
    HDC screen = GetDC(nullptr);
    COLORREF colour = GetPixel(screen, at.x, at.y);
    ReleaseDC(nullptr, screen);
    return colour;
}

void Drive(const std::function<void(DWORD uiThread)>& driver, const std::function<void()>& modal) {
    const DWORD uiThread = GetCurrentThreadId();
    std::atomic<bool> modalDone{false};
    kt::Thread helper([&] {
        driver(uiThread);
        // Whatever the driver left open is closed, so that a failed test cannot hang.
        for (int round = 0; !modalDone && round < 1500; ++round) {
            Sleep(kPollMs);
            if (modalDone)
                break;
            if (round < 150)
                continue;
            for (HWND window : ThreadWindows(uiThread)) {
                if (!IsWindowVisible(window))
                    continue;
                if (IsMessageBox(window))
                    PostMessageW(window, WM_COMMAND, IDOK, 0);
                else
                    PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
            }
            if (round == 150)
                ADD_FAILURE() << "the driver left a dialog open";
        }
    });
    modal();
    modalDone = true;
    helper.wait();
}

} // namespace ui
