#pragma once
// What the sheet checks and writes beyond its own settings file when the user accepts it.
#include <windows.h>

#include <cstdint>
#include <string>

class CCodecSettings;

namespace kestro {

// The settings file of the codec of the other bitness on 64-bit Windows, when this codec is
// the one in its system folder and that file exists: SysWOW64's for the 64-bit codec in
// System32, System32's (reached as Sysnative) for the 32-bit one; "" otherwise.
std::string OtherSettingsFile(const std::string& profilepath);

// The data file named in a settings file ("" when it names none).
std::string DataFileIn(const std::string& settingsFile);

// The estimate the sheet warns by: one minute of 640 x 480 YUY2 (the reservation's default
// frame size) at 30 frames a second.
uint64_t OneMinuteOfCapture();

// Free bytes for this user on the disk of `folder`; UINT64_MAX when the system cannot say.
uint64_t FreeBytesIn(const std::wstring& folder);

// Text `id` with %1 and %2 replaced.
std::wstring WithValues(UINT id, const std::wstring& one, const std::wstring& two = L"");

// On OK: a disk with less room than the estimate is said, and the user may go back. False
// keeps the sheet open.
bool ConfirmFreeSpace(const std::wstring& folder, HWND owner, const std::wstring& caption);

// Why OK refuses the stripe data files of `s`, as the message to show; empty when it does not:
// a stripe whose records no playback would open (DataFileNameUsable, as for the data file), or
// one in the folder of the data file or of another stripe, which spreads no writes.
std::wstring StripeRefusal(const CCodecSettings& s);

// After the settings were saved: offers to write `dataFile` into the other bitness's settings
// file too, where it names another one, and writes it on Yes.
void OfferToShareDataFile(const std::string& profilepath, const std::string& dataFile);

} // namespace kestro
