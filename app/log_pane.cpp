#include "app/log_pane.h"

#include "app/framework.h"

namespace {

constexpr LRESULT kTrimAbove = 10240;
constexpr LPARAM kTrimCount = 8192;
constexpr UINT kAppendMessage = WM_APP + 1;
constexpr char kRelayClass[] = "KORVEL7LogPaneRelay";

}  // namespace

void AppendToLogPane(HWND pane, const std::string& text) {
    const LRESULT length = SendMessageA(pane, WM_GETTEXTLENGTH, 0, 0);
    if (length > kTrimAbove) {
        // One replacement with repainting off: the cut costs a single repaint.
        SendMessageA(pane, WM_SETREDRAW, FALSE, 0);
        SendMessageA(pane, EM_SETSEL, 0, kTrimCount);
        SendMessageA(pane, EM_SCROLLCARET, 0, 0);
        SendMessageA(pane, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(""));
        SendMessageA(pane, WM_SETREDRAW, TRUE, 0);
        InvalidateRect(pane, nullptr, TRUE);
    }
    // The length from before the trim is past the end now; the control clamps it, so the
    // selection is empty at the end of the text either way.
    SendMessageA(pane, EM_SETSEL, static_cast<WPARAM>(length), -1);
    SendMessageA(pane, EM_SCROLLCARET, 0, 0);
    SendMessageA(pane, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
}

LogPane::LogPane(const CEdit& pane, void (*before_relay)(std::string_view))
    : pane_(pane.GetSafeHwnd()),
      relay_(nullptr),
      before_relay_(before_relay),
      pane_thread_(GetCurrentThreadId()) {
    WNDCLASSA relay_class{};
    relay_class.lpfnWndProc = RelayProc;
    relay_class.hInstance = GetModuleHandleA(nullptr);
    relay_class.lpszClassName = kRelayClass;
    RegisterClassA(&relay_class);  // fails harmlessly when already registered
    relay_ = CreateWindowExA(0, kRelayClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             relay_class.hInstance, nullptr);
}

LogPane::~LogPane() {
    if (relay_ != nullptr) DestroyWindow(relay_);
}

void LogPane::Append(std::string_view text) {
    const std::string message(text);
    if (GetCurrentThreadId() == pane_thread_) {
        AppendToLogPane(pane_, message);
    } else {
        if (before_relay_ != nullptr) before_relay_(message);
        SendMessageA(relay_, kAppendMessage, reinterpret_cast<WPARAM>(pane_),
                     reinterpret_cast<LPARAM>(&message));
    }
    // Give up the rest of the time slice, so that a stream of progress dots lets the
    // window thread paint between them.
    Sleep(0);
}

LRESULT CALLBACK LogPane::RelayProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message != kAppendMessage) return DefWindowProcA(window, message, wparam, lparam);
    const HWND pane = reinterpret_cast<HWND>(wparam);
    if (IsWindow(pane)) AppendToLogPane(pane, *reinterpret_cast<const std::string*>(lparam));
    return 0;
}
