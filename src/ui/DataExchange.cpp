#include "ui/DataExchange.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <iterator>
#include <vector>

#include "edge/Module.h"
#include "resources/resource.h"

namespace kestro {

namespace {

// Fifteen significant digits survive a round trip through a double whatever the value.
constexpr int kRealDigits = 15;
constexpr int kDecimal = 10;

bool OnlyBlanks(const wchar_t* p) {
    while (*p && std::iswspace(*p))
        ++p;
    return *p == 0;
}

std::wstring Bounds(UINT id, const std::wstring& low, const std::wstring& high) {
    std::wstring text = LoadResourceString(id);
    std::wstring out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'%' && i + 1 < text.size() &&
            (text[i + 1] == L'1' || text[i + 1] == L'2')) {
            out += text[i + 1] == L'1' ? low : high;
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

} // namespace

std::wstring LoadResourceString(UINT id) {
    const wchar_t* text = nullptr;
    int length = LoadStringW(ModuleHandle(), id, reinterpret_cast<LPWSTR>(&text), 0);
    return length > 0 && text ? std::wstring(text, size_t(length)) : std::wstring();
}

std::wstring Widen(const std::string& text) {
    if (text.empty())
        return {};
    int n = MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring out(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), out.data(), n);
    return out;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty())
        return {};
    int n =
        WideCharToMultiByte(CP_ACP, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size_t(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_ACP, 0, text.data(), int(text.size()), out.data(), n, nullptr,
                            nullptr);
    return out;
}

std::wstring ItemText(HWND dialog, int id) {
    HWND item = GetDlgItem(dialog, id);
    if (!item)
        return {};
    int length = GetWindowTextLengthW(item);
    std::vector<wchar_t> text(size_t(length) + 2, L'\0');
    GetWindowTextW(item, text.data(), length + 1);
    return text.data();
}

void SetItemText(HWND dialog, int id, const std::wstring& text) {
    if (ItemText(dialog, id) != text)
        SetDlgItemTextW(dialog, id, text.c_str());
}

std::wstring FormatReal(double value) {
    wchar_t text[64];
    std::swprintf(text, std::size(text), L"%.*g", kRealDigits, value);
    return text;
}

bool ParseInt(const std::wstring& text, int32_t& value) {
    const wchar_t* p = text.c_str();
    while (*p && std::iswspace(*p))
        ++p;
    if (!*p)
        return false;
    wchar_t* end = nullptr;
    errno = 0;
    long long parsed = std::wcstoll(p, &end, kDecimal);
    if (end == p || errno == ERANGE || parsed < INT32_MIN || parsed > INT32_MAX || !OnlyBlanks(end))
        return false;
    value = int32_t(parsed);
    return true;
}

bool ParseReal(const std::wstring& text, double& value) {
    const wchar_t* p = text.c_str();
    while (*p && std::iswspace(*p))
        ++p;
    if (!*p)
        return false;
    wchar_t* end = nullptr;
    double parsed = std::wcstod(p, &end);
    if (end == p || !OnlyBlanks(end))
        return false;
    value = parsed;
    return true;
}

void ShowCheckMessage(HWND dialog, const std::wstring& message) {
    HWND owner = dialog ? GetAncestor(dialog, GA_ROOT) : nullptr;
    MessageBoxW(owner, message.c_str(), LoadResourceString(IDS_SHEET_CAPTION).c_str(),
                MB_OK | MB_ICONEXCLAMATION);
}

void DataExchange::Fail(int id, const std::wstring& message) {
    failed_ = true;
    ShowCheckMessage(dialog_, message);
    if (HWND item = GetDlgItem(dialog_, id)) {
        SetFocus(item);
        SendMessageW(item, EM_SETSEL, 0, -1);
    }
}

void DataExchange::Radio(int firstId, int32_t& index) {
    if (Skip())
        return;
    HWND item = GetDlgItem(dialog_, firstId);
    if (save_)
        index = -1;
    for (int32_t i = 0; item; ++i) {
        if (save_) {
            if (SendMessageW(item, BM_GETCHECK, 0, 0) == BST_CHECKED)
                index = i;
        } else {
            SendMessageW(item, BM_SETCHECK, i == index ? BST_CHECKED : BST_UNCHECKED, 0);
        }
        item = GetWindow(item, GW_HWNDNEXT);
        if (!item || (GetWindowLongW(item, GWL_STYLE) & WS_GROUP))
            break;
    }
}

void DataExchange::Text(int id, std::wstring& value) {
    if (Skip())
        return;
    if (save_)
        value = ItemText(dialog_, id);
    else
        SetItemText(dialog_, id, value);
}

void DataExchange::Text(int id, std::string& value) {
    if (Skip())
        return;
    if (save_)
        value = Narrow(ItemText(dialog_, id));
    else
        SetItemText(dialog_, id, Widen(value));
}

void DataExchange::Int(int id, int32_t& value) {
    if (Skip())
        return;
    if (!save_) {
        SetItemText(dialog_, id, std::to_wstring(value));
        return;
    }
    int32_t parsed = 0;
    if (!ParseInt(ItemText(dialog_, id), parsed))
        return Fail(id, LoadResourceString(IDS_PARSE_INT));
    value = parsed;
}

void DataExchange::Real(int id, double& value) {
    if (Skip())
        return;
    if (!save_) {
        SetItemText(dialog_, id, FormatReal(value));
        return;
    }
    double parsed = 0;
    if (!ParseReal(ItemText(dialog_, id), parsed))
        return Fail(id, LoadResourceString(IDS_PARSE_REAL));
    value = parsed;
}

void DataExchange::IntRange(int id, int32_t value, int32_t low, int32_t high) {
    if (!save_ || failed_)
        return;
    if (value < low || value > high)
        Fail(id, Bounds(IDS_PARSE_INT_RANGE, std::to_wstring(low), std::to_wstring(high)));
}

void DataExchange::RealRange(int id, double value, double low, double high) {
    if (!save_ || failed_)
        return;
    if (!(value >= low && value <= high))
        Fail(id, Bounds(IDS_PARSE_REAL_RANGE, FormatReal(low), FormatReal(high)));
}

} // namespace kestro
