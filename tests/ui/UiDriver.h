#pragma once
// Drives the codec's dialogs from a second thread while the test thread sits in their modal
// loops: finds windows, types, clicks, dismisses message boxes and takes screenshots.
#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "Thread.h"

namespace ui {

constexpr int kWaitMs = 20000;

// A visible top-level window of `thread` whose title is `title`; null after the timeout.
HWND WaitWindow(DWORD thread, const std::wstring& title, int timeoutMs = kWaitMs);
// Waits until `window` is gone.
bool WaitGone(HWND window, int timeoutMs = kWaitMs);
// A message box of `thread` (one with the box's text control); null after the timeout.
HWND WaitMessageBox(DWORD thread, int timeoutMs = kWaitMs);
std::wstring MessageBoxText(HWND box);
// Dismisses the next message box and returns its text ("" when none came).
std::wstring DismissMessageBox(DWORD thread, int timeoutMs = kWaitMs);
std::vector<HWND> ThreadWindows(DWORD thread);

std::wstring Text(HWND window);
std::wstring ItemText(HWND dialog, int id);
// Sets a control's text from a helper thread, since the change notice may open a message box
// that only this thread can dismiss. Wait on the result once any such box is gone.
kt::Thread SetTextAsync(HWND dialog, int id, const std::wstring& text);
void SetText(HWND dialog, int id, const std::wstring& text); // when no message box can follow
// A button's click as its parent receives it; posted, so a modal dialog it opens cannot block.
void Press(HWND dialog, int id);
// A check box or radio button clicked for real (state and notice).
void Click(HWND dialog, int id);
bool Checked(HWND dialog, int id);
bool Enabled(HWND dialog, int id);
// Responds to messages: the window's thread is not stuck.
bool Responsive(HWND window);

// The current page of a property sheet.
HWND CurrentPage(HWND sheet);
int CurrentPageIndex(HWND sheet);
kt::Thread SelectPageAsync(HWND sheet, int index);

// Screenshot of a window as it is on the screen, written as PNG; false when it failed.
bool SaveScreenshot(HWND window, const std::string& path);
// The colour at a point of the window (client coordinates) on the screen.
COLORREF ScreenPixel(HWND window, int x, int y);
std::string ShotPath(const std::string& name); // <build>/tests/screenshots/<name>.png

// Makes this thread take the codec's resources as a user whose UI language is `language` gets
// them. Windows chooses by the thread's UI language, Wine (whose SetThreadUILanguage changes
// nothing) by the thread locale: both are set.
void UseUiLanguage(LANGID language);
constexpr LANGID kJapanese = MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN);
constexpr LANGID kEnglishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
constexpr LANGID kGerman = MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN);

// Runs `modal` on this thread and `driver` on another with this thread's id. If the driver
// ends while the modal call still runs, every window of this thread is cancelled until it ends.
void Drive(const std::function<void(DWORD uiThread)>& driver, const std::function<void()>& modal);

} // namespace ui
