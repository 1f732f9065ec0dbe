#pragma once
// The small dialog layer: a window procedure that forwards to an object, for modal dialogs and
// property pages made from the library's templates.
#include <windows.h>

namespace kestro {

class Dialog {
public:
    virtual ~Dialog() = default;
    // Runs the dialog of `templateId` modally; the dialog's ending value, or -1.
    INT_PTR RunModal(HWND owner, int templateId);

    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    static INT_PTR CALLBACK PageProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

protected:
    virtual BOOL OnInitDialog() { return TRUE; }
    virtual bool OnCommand(int id, int code);
    // Answers a message not handled above; FALSE for the default handling.
    virtual INT_PTR OnMessage(UINT msg, WPARAM wParam, LPARAM lParam);
    HWND Item(int id) const { return GetDlgItem(hwnd_, id); }
    bool Checked(int id) const { return SendMessageW(Item(id), BM_GETCHECK, 0, 0) == BST_CHECKED; }
    void SetCheck(int id, bool on) const {
        SendMessageW(Item(id), BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
    }
    void Enable(int id, bool on) const { EnableWindow(Item(id), on); }

    HWND hwnd_ = nullptr;

private:
    static INT_PTR Dispatch(Dialog* self, UINT msg, WPARAM wParam, LPARAM lParam);
    static INT_PTR Route(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
};

} // namespace kestro
