// A thin dialog framework over the Win32 dialog API: an application object, a modal
// dialog with a message map, control wrappers and their binding. Only what the updater's
// window uses.
#pragma once

#include <windows.h>

#include <cstddef>
#include <span>
#include <string>
#include <type_traits>

class CDialog;

class CWnd {
public:
    HWND m_hWnd = nullptr;

    HWND GetSafeHwnd() const { return m_hWnd; }
    LRESULT SendMessage(UINT message, WPARAM wparam = 0, LPARAM lparam = 0) const {
        return ::SendMessageA(m_hWnd, message, wparam, lparam);
    }
    BOOL EnableWindow(BOOL enable) const { return ::EnableWindow(m_hWnd, enable); }
    BOOL IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
    BOOL IsIconic() const { return ::IsIconic(m_hWnd); }
    HWND SetFocus() const { return ::SetFocus(m_hWnd); }
    void SetWindowText(const char* text) const { ::SetWindowTextA(m_hWnd, text); }
    // The whole text, however long.
    std::string GetWindowText() const;
    void GetClientRect(RECT* rect) const { ::GetClientRect(m_hWnd, rect); }
};

class CButton : public CWnd {};
class CStatic : public CWnd {};

class CEdit : public CWnd {
public:
    void SetSel(int start, int end) const {
        SendMessage(EM_SETSEL, static_cast<WPARAM>(start), end);
    }
    void ReplaceSel(const char* text, BOOL can_undo = FALSE) const {
        SendMessage(EM_REPLACESEL, static_cast<WPARAM>(can_undo), reinterpret_cast<LPARAM>(text));
    }
    void SetLimitText(UINT limit) const { SendMessage(EM_LIMITTEXT, limit); }
};

class CComboBox : public CWnd {
public:
    void ResetContent() const { SendMessage(CB_RESETCONTENT); }
    int AddString(const char* text) const {
        return static_cast<int>(SendMessage(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text)));
    }
    // The first entry, after `start`, whose text begins with `prefix` in any letter case.
    int FindString(int start, const char* prefix) const {
        return static_cast<int>(SendMessage(CB_FINDSTRING, static_cast<WPARAM>(start),
                                            reinterpret_cast<LPARAM>(prefix)));
    }
    int SetCurSel(int index) const {
        return static_cast<int>(SendMessage(CB_SETCURSEL, static_cast<WPARAM>(index)));
    }
    int GetCurSel() const { return static_cast<int>(SendMessage(CB_GETCURSEL)); }
    void SetItemData(int index, std::size_t data) const {
        SendMessage(CB_SETITEMDATA, static_cast<WPARAM>(index), static_cast<LPARAM>(data));
    }
    std::size_t GetItemData(int index) const {
        return static_cast<std::size_t>(SendMessage(CB_GETITEMDATA, static_cast<WPARAM>(index)));
    }
};

// Painting inside WM_PAINT.
class CPaintDC {
public:
    explicit CPaintDC(CWnd* window) : window_(window->m_hWnd) {
        hdc_ = BeginPaint(window_, &paint_);
    }
    ~CPaintDC() { EndPaint(window_, &paint_); }
    CPaintDC(const CPaintDC&) = delete;
    CPaintDC& operator=(const CPaintDC&) = delete;
    HDC GetSafeHdc() const { return hdc_; }

private:
    HWND window_;
    PAINTSTRUCT paint_;
    HDC hdc_;
};

class CDataExchange {
public:
    explicit CDataExchange(HWND dialog) : dialog_(dialog) {}
    HWND Dialog() const { return dialog_; }

private:
    HWND dialog_;
};

// Binds a control member to the dialog's control of that id.
void DDX_Control(CDataExchange* exchange, int id, CWnd& control);

// One row of a message map: a message (and for WM_COMMAND a control id and notification
// code) and the member that handles it, called through a small adapter.
struct MessageMapEntry {
    UINT message;
    UINT id;
    UINT code;
    INT_PTR (*call)(CDialog* dialog, WPARAM wparam, LPARAM lparam);
};

struct MessageMap {
    const MessageMap* base;
    std::span<const MessageMapEntry> entries;
};

namespace message_map {

template <typename Member>
struct Owner;
template <typename C, typename R, typename... Parameters>
struct Owner<R (C::*)(Parameters...)> {
    using Class = C;
    using Result = R;
};

// A handler takes no parameters, or the message's WPARAM and LPARAM.
template <auto Handler>
INT_PTR Call(CDialog* dialog, WPARAM wparam, LPARAM lparam) {
    using Dialog = typename Owner<decltype(Handler)>::Class;
    using Result = typename Owner<decltype(Handler)>::Result;
    auto* self = static_cast<Dialog*>(dialog);
    auto handle = [&] {
        if constexpr (std::is_invocable_v<decltype(Handler), Dialog*, WPARAM, LPARAM>)
            return (self->*Handler)(wparam, lparam);
        else
            return (self->*Handler)();
    };
    if constexpr (std::is_void_v<Result>) {
        handle();
        return TRUE;
    } else {
        // Handles and counts that the dialog procedure returns as they are
        // (WM_QUERYDRAGICON's icon).
        return reinterpret_cast<INT_PTR>(handle());
    }
}

}  // namespace message_map

// A control's notification: WM_COMMAND with that id and code.
template <auto Handler>
constexpr MessageMapEntry OnCommand(UINT id, UINT code) {
    return {WM_COMMAND, id, code, &message_map::Call<Handler>};
}

// A window message to the dialog itself.
template <auto Handler>
constexpr MessageMapEntry OnMessage(UINT message) {
    return {message, 0, 0, &message_map::Call<Handler>};
}

class CDialog : public CWnd {
public:
    CDialog(UINT template_id, CWnd* parent);
    virtual ~CDialog() = default;

    // Creates the window, runs it until EndDialog and destroys it; -1 when it could not
    // be created.
    INT_PTR DoModal();
    void EndDialog(int result);

protected:
    // Binds the controls, then returns TRUE so that the first tab stop gets the focus.
    virtual BOOL OnInitDialog();
    virtual void DoDataExchange(CDataExchange*) {}
    // Sees every queued message for the dialog and its controls before it is dispatched;
    // true means it was handled. The base gives the dialog's keyboard handling (Tab,
    // Enter, Esc) its turn.
    virtual BOOL PreTranslateMessage(MSG* message);
    virtual void OnOK() { EndDialog(IDOK); }
    virtual void OnCancel() { EndDialog(IDCANCEL); }
    virtual const MessageMap* GetMessageMap() const;
    static const MessageMap* GetThisMessageMap();

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
    INT_PTR Dispatch(UINT message, WPARAM wparam, LPARAM lparam);
    void CenterIfUnplaced();

    UINT template_id_;
    HWND parent_;
    bool ended_ = false;
    int result_ = 0;
};

class CWinApp {
public:
    // Also restricts the DLL search, as early as the program can.
    CWinApp();
    virtual ~CWinApp();

    // Runs the application; FALSE ends it without a message loop of its own.
    virtual BOOL InitInstance() { return FALSE; }
    // Controls take the system's current look (common controls 6 with the manifest).
    void Enable3dControls();

    CWnd* m_pMainWnd = nullptr;
};

// Takes the program's folder and the current folder out of the DLL search, so that a DLL
// planted beside the program is never loaded in place of the system's.
void RestrictDllSearch();

// The one application object, set by its constructor.
CWinApp* AfxGetApp();
HINSTANCE AfxGetInstanceHandle();
