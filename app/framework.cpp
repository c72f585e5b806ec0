#include "app/framework.h"

#include <commctrl.h>

namespace {

CWinApp* g_app = nullptr;

}  // namespace

std::string CWnd::GetWindowText() const {
    std::string text(static_cast<std::size_t>(::GetWindowTextLengthA(m_hWnd)) + 1, '\0');
    text.resize(static_cast<std::size_t>(
        ::GetWindowTextA(m_hWnd, text.data(), static_cast<int>(text.size()))));
    return text;
}

void DDX_Control(CDataExchange* exchange, int id, CWnd& control) {
    control.m_hWnd = GetDlgItem(exchange->Dialog(), id);
}

CDialog::CDialog(UINT template_id, CWnd* parent)
    : template_id_(template_id), parent_(parent != nullptr ? parent->m_hWnd : nullptr) {}

const MessageMap* CDialog::GetThisMessageMap() {
    static const MessageMap map{nullptr, {}};
    return &map;
}

const MessageMap* CDialog::GetMessageMap() const {
    return GetThisMessageMap();
}

INT_PTR CDialog::DoModal() {
    ended_ = false;
    HWND window = CreateDialogParamA(AfxGetInstanceHandle(), MAKEINTRESOURCEA(template_id_),
                                     parent_, DialogProc, reinterpret_cast<LPARAM>(this));
    if (window == nullptr) return -1;
    if (parent_ != nullptr) ::EnableWindow(parent_, FALSE);

    MSG message;
    while (!ended_) {
        const BOOL got = GetMessageA(&message, nullptr, 0, 0);
        if (got == 0) {
            PostQuitMessage(static_cast<int>(message.wParam));  // for the loop outside
            break;
        }
        if (got < 0) break;
        if (!PreTranslateMessage(&message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }

    if (parent_ != nullptr) ::EnableWindow(parent_, TRUE);
    DestroyWindow(window);
    m_hWnd = nullptr;
    return ended_ ? result_ : IDCANCEL;
}

void CDialog::EndDialog(int result) {
    result_ = result;
    ended_ = true;
    PostMessageA(m_hWnd, WM_NULL, 0, 0);  // wake the loop
}

BOOL CDialog::OnInitDialog() {
    CDataExchange exchange(m_hWnd);
    DoDataExchange(&exchange);
    return TRUE;
}

BOOL CDialog::PreTranslateMessage(MSG* message) {
    return IsDialogMessageA(m_hWnd, message);
}

// A template placed at 0, 0 means "wherever suits": centre it on the work area of the
// monitor the parent (or the cursor) is on.
void CDialog::CenterIfUnplaced() {
    RECT window;
    ::GetWindowRect(m_hWnd, &window);
    if (window.left != 0 || window.top != 0) return;
    HMONITOR monitor = parent_ != nullptr ? MonitorFromWindow(parent_, MONITOR_DEFAULTTONEAREST)
                                          : MonitorFromWindow(m_hWnd, MONITOR_DEFAULTTOPRIMARY);
    MONITORINFO info{};
    info.cbSize = sizeof info;
    if (!GetMonitorInfoA(monitor, &info)) return;
    const RECT& area = info.rcWork;
    const int width = window.right - window.left;
    const int height = window.bottom - window.top;
    SetWindowPos(m_hWnd, nullptr, area.left + (area.right - area.left - width) / 2,
                 area.top + (area.bottom - area.top - height) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK CDialog::DialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_INITDIALOG) {
        auto* dialog = reinterpret_cast<CDialog*>(lparam);
        SetWindowLongPtrA(window, GWLP_USERDATA, lparam);
        dialog->m_hWnd = window;
        const BOOL result = dialog->OnInitDialog();
        dialog->CenterIfUnplaced();
        return result;
    }
    auto* dialog = reinterpret_cast<CDialog*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (dialog == nullptr) return FALSE;
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrA(window, GWLP_USERDATA, 0);
        return FALSE;
    }
    return dialog->Dispatch(message, wparam, lparam);
}

// OK and Cancel go to their virtual handlers (the dialog manager turns Enter, Esc and
// the close box into them); everything else through the message map, derived first.
INT_PTR CDialog::Dispatch(UINT message, WPARAM wparam, LPARAM lparam) {
    const UINT id = LOWORD(wparam);
    const UINT code = HIWORD(wparam);
    if (message == WM_COMMAND && code == BN_CLICKED && id == IDOK) {
        OnOK();
        return TRUE;
    }
    if (message == WM_COMMAND && code == BN_CLICKED && id == IDCANCEL) {
        OnCancel();
        return TRUE;
    }
    for (const MessageMap* map = GetMessageMap(); map != nullptr; map = map->base) {
        for (const MessageMapEntry& entry : map->entries) {
            if (entry.message != message) continue;
            if (message == WM_COMMAND && (entry.id != id || entry.code != code)) continue;
            return entry.call(this, wparam, lparam);
        }
    }
    return FALSE;
}

void RestrictDllSearch() {
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    SetDllDirectoryA("");
}

CWinApp::CWinApp() {
    RestrictDllSearch();
    g_app = this;
}

CWinApp::~CWinApp() {
    g_app = nullptr;
}

void CWinApp::Enable3dControls() {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
}

CWinApp* AfxGetApp() {
    return g_app;
}

HINSTANCE AfxGetInstanceHandle() {
    return GetModuleHandleA(nullptr);
}
