#pragma once
#include <windows.h>
#include <ole2.h>
#include <olectl.h>

#include "resources/resource.h"
#include "ui/Dialog.h"

struct IWebBrowser2;

// The about box: the HTML page of the resources in the system's browser control, or, where no
// browser engine can be had, the same logo and texts drawn by the dialog itself.
class CHtmlDlg : public kestro::Dialog {
public:
    explicit CHtmlDlg(bool oleReady) : oleReady_(oleReady) {}
    ~CHtmlDlg() override;
    INT_PTR DoModal() { return RunModal(nullptr, IDD_ABOUT); }

protected:
    BOOL OnInitDialog() override;
    INT_PTR OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;

private:
    bool CreateBrowser();
    bool HookOkButton();
    void ShowFallback();
    void Paint();
    void Release();

    bool oleReady_;
    HWND browser_ = nullptr;
    IWebBrowser2* web_ = nullptr;
    IDispatch* clickSink_ = nullptr;
    IPicture* logo_ = nullptr;
    HBRUSH background_ = nullptr;
    HHOOK keyHook_ = nullptr;
    int ticks_ = 0;
    RECT logoRect_{};
};

namespace kestro {
// Shows the about box, modal and without owner.
void ShowAboutBox();
} // namespace kestro
