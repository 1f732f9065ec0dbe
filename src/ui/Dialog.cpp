#include "ui/Dialog.h"

#include <prsht.h>

#include "edge/Module.h"

namespace kestro {

INT_PTR Dialog::RunModal(HWND owner, int templateId) {
    return DialogBoxParamW(ModuleHandle(), MAKEINTRESOURCEW(templateId), owner, DialogProc,
                           reinterpret_cast<LPARAM>(this));
}

bool Dialog::OnCommand(int id, int) {
    if (id == IDOK || id == IDCANCEL) {
        EndDialog(hwnd_, id);
        return true;
    }
    return false;
}

INT_PTR Dialog::OnMessage(UINT, WPARAM, LPARAM) {
    return FALSE;
}

INT_PTR Dialog::Dispatch(Dialog* self, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_INITDIALOG:
        return self->OnInitDialog();
    case WM_COMMAND:
        return self->OnCommand(LOWORD(wParam), HIWORD(wParam)) ? TRUE : FALSE;
    default:
        return self->OnMessage(msg, wParam, lParam);
    }
}

// Hands a message to the object attached to the window, and detaches it with the window.
INT_PTR Dialog::Route(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<Dialog*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (!self)
        return FALSE;
    INT_PTR result = Dispatch(self, msg, wParam, lParam);
    if (msg == WM_NCDESTROY) {
        self->hwnd_ = nullptr;
        SetWindowLongPtrW(hwnd, DWLP_USER, 0);
    }
    return result;
}

INT_PTR CALLBACK Dialog::DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_INITDIALOG) {
        SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        reinterpret_cast<Dialog*>(lParam)->hwnd_ = hwnd;
    }
    return Route(hwnd, msg, wParam, lParam);
}

INT_PTR CALLBACK Dialog::PageProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_INITDIALOG) {
        // A page's creation parameter is its PROPSHEETPAGE, which carries the object.
        auto* self = reinterpret_cast<Dialog*>(reinterpret_cast<PROPSHEETPAGEW*>(lParam)->lParam);
        SetWindowLongPtrW(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
        self->hwnd_ = hwnd;
    }
    return Route(hwnd, msg, wParam, lParam);
}

} // namespace kestro
