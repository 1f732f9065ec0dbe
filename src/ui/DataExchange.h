#pragma once
// Moves values between dialog controls and members, with the range checks of the string table.
#include <windows.h>

#include <cstdint>
#include <string>

namespace kestro {

std::wstring LoadResourceString(UINT id);
std::wstring Widen(const std::string& text);  // from the ANSI code page
std::string Narrow(const std::wstring& text); // to the ANSI code page
std::wstring ItemText(HWND dialog, int id);
// Sets the text only when it differs, so an edit control sends no change notice for a rewrite
// of what it already shows.
void SetItemText(HWND dialog, int id, const std::wstring& text);
std::wstring FormatReal(double value); // shortest round "%.15g"

// One pass of data exchange: either members to controls (`save` false) or controls to members,
// which stops at the first item that fails and shows its message.
class DataExchange {
public:
    DataExchange(HWND dialog, bool save) : dialog_(dialog), save_(save) {}

    void Radio(int firstId, int32_t& index);
    void Text(int id, std::wstring& value);
    void Text(int id, std::string& value); // ANSI member
    void Int(int id, int32_t& value);
    void Real(int id, double& value);
    void IntRange(int id, int32_t value, int32_t low, int32_t high);
    void RealRange(int id, double value, double low, double high);

    bool Failed() const { return failed_; }

private:
    bool Skip() const { return save_ && failed_; }
    void Fail(int id, const std::wstring& message);

    HWND dialog_;
    bool save_;
    bool failed_ = false;
};

// The message box of a failed check, owned by the dialog's top-level window.
void ShowCheckMessage(HWND dialog, const std::wstring& message);

// Whole-text parsing as the checks accept it: leading and trailing blanks allowed.
bool ParseInt(const std::wstring& text, int32_t& value);
bool ParseReal(const std::wstring& text, double& value);

} // namespace kestro
