// The updater's window under Wine: the dialog runs its modal loop on a thread of its own
// and the test drives it with messages, as a user's clicks and keys would.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "app/resource.h"
#include "app/updater_dlg.h"
#include "tests/small_image.h"
#include "tests/wine_path.h"

namespace {

using namespace std::chrono_literals;

constexpr char kCaption[] = "KORVEL7 Firmware Updater - Halvard Electronics Corp.";

template <typename Condition>
bool Eventually(Condition done, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    return done();
}

constexpr char kTestDevices[] = "SYSTEM\\CurrentControlSet\\Enum\\KORVEL7TEST";

// Ports devices in the registry for as long as it lives, so that the port search lists
// them.
class PortDevices {
public:
    explicit PortDevices(std::initializer_list<const char*> port_names) {
        for (const char* name : port_names)
            Add(name);
    }
    ~PortDevices() { RegDeleteTreeA(HKEY_LOCAL_MACHINE, kTestDevices); }
    static void Remove(const char* port_name) {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, Path(port_name).c_str());
    }

private:
    // Instance keys count down as port numbers go up, so the registry gives the ports in
    // the opposite order from the sorted port list.
    static std::string Path(const char* port_name) {
        return std::string(kTestDevices) + "\\GPS\\" +
               std::to_string(1000 - std::atoi(port_name + 3));
    }
    static void Add(const char* port_name) {
        for (const auto& [name, text] :
             {std::pair<const char*, std::string>{"Class", "Ports"},
              {"PortName", port_name},
              {"FriendlyName", std::string("Test port (") + port_name + ")"}})
            ASSERT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, Path(port_name).c_str(), name, REG_SZ,
                                      text.c_str(), static_cast<DWORD>(text.size() + 1)),
                      ERROR_SUCCESS);
    }
};

// Selects a port list entry as a click would (also in another process's window).
void SelectPort(HWND dialog, int index) {
    const HWND list = GetDlgItem(dialog, IDC_PORT_LIST);
    SendMessageA(list, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_PORT_LIST, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(list));
}

// The dialog on its own user-interface thread, as the application runs it.
class Window {
public:
    explicit Window(k7::UpdateSettings settings = Fast(), SystemCalls calls = {}) {
        SelectedPortNumber = 0;  // as at the start of the program
        thread_ = std::thread([this, settings, calls] {
            CUpdaterDlg dialog;
            dialog.SetUpdateSettings(settings);
            dialog.SetAddressTimings({10ms, 10ms});
            dialog.SetSystemCalls(calls);
            ui_thread_ = GetCurrentThreadId();
            dialog.DoModal();
            ended_ = true;
        });
        // The window is shown once its initialisation is done; a message sent then is
        // handled when its thread waits for input again.
        Eventually([this] {
            dialog_ = FindWindowA("#32770", kCaption);
            return dialog_ != nullptr && IsWindowVisible(dialog_);
        });
        SendMessageA(dialog_, WM_NULL, 0, 0);
    }
    // Closes the window, confirming the question a running worker brings up, so a test
    // that failed half-way cannot hang the suite.
    ~Window() {
        if (!ended_) PostMessageA(dialog_, WM_COMMAND, IDCANCEL, 0);
        const bool closed = Eventually(
            [this] {
                if (HWND box = FindWindowA("#32770", "KORVEL7 Firmware Updater"))
                    PostMessageA(box, WM_COMMAND, IDYES, 0);
                return ended_.load();
            },
            60s);
        if (closed) {
            thread_.join();
        } else {
            ADD_FAILURE() << "the window did not close";
            thread_.detach();
        }
    }

    static k7::UpdateSettings Fast() {
        k7::UpdateSettings settings;
        settings.probe_wait = 500ms;
        settings.update.check_pause = 10ms;
        return settings;
    }

    HWND Dialog() const { return dialog_; }
    HWND Item(int id) const { return GetDlgItem(dialog_, id); }
    std::string Text(int id) const {
        const HWND item = Item(id);
        std::string text(static_cast<std::size_t>(GetWindowTextLengthA(item)) + 1, '\0');
        text.resize(static_cast<std::size_t>(
            GetWindowTextA(item, text.data(), static_cast<int>(text.size()))));
        return text;
    }
    HWND Focus() const {
        GUITHREADINFO info{};
        info.cbSize = sizeof info;
        GetGUIThreadInfo(ui_thread_, &info);
        return info.hwndFocus;
    }
    void FocusOn(int id) const {
        SendMessageA(dialog_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Item(id)), TRUE);
    }
    bool Ended() const { return ended_; }
    DWORD UiThread() const { return ui_thread_; }
    // A key press as the keyboard delivers it: queued to the focused control.
    void Press(WPARAM key) const {
        PostMessageA(Focus(), WM_KEYDOWN, key, 1);
        PostMessageA(Focus(), WM_KEYUP, key, 0xC0000001);
    }
    bool LogShows(const char* part) const {
        return Eventually([&] { return Text(IDC_LOG).find(part) != std::string::npos; }, 60s);
    }
    bool WaitForIdle() const {
        return Eventually([this] { return IsWindowEnabled(Item(IDOK)) && WorkerThread == nullptr; },
                          60s);
    }

private:
    std::thread thread_;
    std::atomic<DWORD> ui_thread_{0};
    std::atomic<bool> ended_{false};
    HWND dialog_ = nullptr;
};

// What the user sees as the window opens: every control with its text, the address
// controls hidden and the rest shown whole inside the window; Program the default button,
// both text panes read-only; without a COM76 entry no port selected and the port still 0;
// the focus on Program, and Tab going through the visible controls in the order they are
// laid out. Over 10240 characters the log pane cuts the oldest 8192 before it appends.
TEST(UpdaterWindow, OpensAsDesigned) {
    Window window;
    const struct {
        int id;
        const char* text;  // null: checked below
        bool shown;
    } controls[] = {
        {IDOK, "Program KORVEL7", true},
        {IDCANCEL, "Close", true},
        {IDC_TITLE,
         "K O R V E L  7   F i r m w a r e   U p d a t e r     v 2 . 4 . 5    &&    "
         "v 3 . 4 . 5",
         true},
        {IDC_INSTRUCTIONS_LABEL, "Update Instructions:", true},
        {IDC_INSTRUCTIONS, nullptr, true},
        {IDC_LOG, "", true},
        {IDC_PORT_LIST, "", true},
        {IDC_PORT_LABEL, "COM Port", true},
        {IDC_REFRESH, "Refresh", true},
        {IDC_ADDRESS1, "", false},
        {IDC_ADDRESS2, "", false},
        {IDC_ADDRESS3, "", false},
        {IDC_ADDRESS_PREFIX, "00:19:01", false},
        {IDC_WRITE_ADDRESS, "F5: Write New Address", false},
    };
    RECT client;
    GetClientRect(window.Dialog(), &client);
    for (const auto& control : controls) {
        const HWND item = window.Item(control.id);
        ASSERT_NE(item, nullptr) << control.id;
        EXPECT_EQ(IsWindowVisible(item) != FALSE, control.shown) << control.id;
        if (control.text != nullptr) {
            EXPECT_EQ(window.Text(control.id), control.text) << control.id;
        }
        RECT r;
        GetWindowRect(item, &r);
        MapWindowPoints(nullptr, window.Dialog(), reinterpret_cast<POINT*>(&r), 2);
        EXPECT_TRUE(r.left >= 0 && r.top >= 0 && r.left < r.right && r.top < r.bottom &&
                    r.right <= client.right && r.bottom <= client.bottom)
            << control.id;
    }
    EXPECT_EQ(window.Text(IDC_INSTRUCTIONS).rfind("1) Turn on KORVEL7.\r\n2) Make sure", 0), 0u);
    EXPECT_EQ(SendMessageA(window.Item(IDC_LOG), EM_GETLIMITTEXT, 0, 0), 20000);
    EXPECT_EQ(GetWindowLongPtrA(window.Item(IDC_LOG), GWL_EXSTYLE) & WS_EX_STATICEDGE,
              WS_EX_STATICEDGE);
    auto style = [&window](int id) { return GetWindowLongPtrA(window.Item(id), GWL_STYLE); };
    EXPECT_EQ(style(IDOK) & BS_TYPEMASK, BS_DEFPUSHBUTTON);
    for (int id : {IDC_INSTRUCTIONS, IDC_LOG})
        EXPECT_EQ(style(id) & (ES_MULTILINE | ES_READONLY), ES_MULTILINE | ES_READONLY) << id;
    EXPECT_EQ(SendMessageA(window.Item(IDC_PORT_LIST), CB_GETCURSEL, 0, 0), CB_ERR);
    EXPECT_EQ(SelectedPortNumber, 0);

    EXPECT_EQ(window.Focus(), window.Item(IDOK));
    HWND item = window.Item(IDOK);
    for (int id : {IDCANCEL, IDC_INSTRUCTIONS, IDC_LOG, IDC_PORT_LIST, IDC_REFRESH, IDOK}) {
        item = GetNextDlgTabItem(window.Dialog(), item, FALSE);
        const HWND parent = GetAncestor(item, GA_PARENT);  // the combo box's own edit field
        EXPECT_EQ(GetDlgCtrlID(parent == window.Dialog() ? item : parent), id);
    }

    const std::string filler(10240, 'a');
    SendMessageA(window.Item(IDC_LOG), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(filler.c_str()));
    k7::LogPrintf("b");
    EXPECT_EQ(window.Text(IDC_LOG), filler + "b");  // 10240: no trim
    k7::LogPrintf("c");
    EXPECT_EQ(window.Text(IDC_LOG), std::string(2048, 'a') + "bc");  // 10241: cut 8192
}

// A COM76 entry is chosen at start. Selecting an entry takes its number; Refresh without
// COM76 keeps the number.
TEST(UpdaterWindow, PortListPreselectsCom76AndSelectionSetsThePort) {
    PortDevices devices{"COM76", "COM3"};
    Window window;
    const HWND list = window.Item(IDC_PORT_LIST);
    EXPECT_EQ(window.Text(IDC_PORT_LIST), "COM76   Test port (COM76)");
    EXPECT_EQ(SelectedPortNumber, 76);

    SelectPort(window.Dialog(), 0);  // sorted: COM3 comes first
    EXPECT_EQ(SelectedPortNumber, 3);

    PortDevices::Remove("COM76");
    SendMessageA(window.Dialog(), WM_COMMAND, MAKEWPARAM(IDC_REFRESH, BN_CLICKED),
                 reinterpret_cast<LPARAM>(window.Item(IDC_REFRESH)));
    EXPECT_EQ(SendMessageA(list, CB_GETCOUNT, 0, 0), 1);
    EXPECT_EQ(SendMessageA(list, CB_GETCURSEL, 0, 0), CB_ERR);
    EXPECT_EQ(SelectedPortNumber, 3);
}

// Program runs the whole update of the tests' small image against the simulator on COM7;
// the button is disabled while it runs, a second press and F5 (with an address typed)
// start nothing, the pane shows the exact log, and both buttons come back.
TEST(UpdaterWindow, ProgramRunsAWholeUpdateIntoThePane) {
    PortDevices devices{"COM7"};
    const std::vector<std::uint8_t> image = k7::test::SmallImage();
    const k7::FirmwareImages images = k7::test::WithSmallImageA(image);
    k7::UpdateSettings settings = Window::Fast();
    settings.images = &images;
    Window window(settings);
    SelectPort(window.Dialog(), 0);
    ASSERT_EQ(SelectedPortNumber, 7);
    for (int id : {IDC_ADDRESS1, IDC_ADDRESS2, IDC_ADDRESS3})
        SendMessageA(window.Item(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>("01"));

    SendMessageA(window.Item(IDOK), BM_CLICK, 0, 0);
    EXPECT_FALSE(IsWindowEnabled(window.Item(IDOK)));
    SendMessageA(window.Dialog(), WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    window.FocusOn(IDC_LOG);
    window.Press(VK_F5);
    ASSERT_TRUE(window.WaitForIdle());
    // The button comes back just before the outcome line.
    const std::string expected = k7::test::SmallImageLog("COM7", "2.4.5");
    EXPECT_TRUE(Eventually([&] { return window.Text(IDC_LOG).size() >= expected.size(); }));
    EXPECT_EQ(window.Text(IDC_LOG), expected);
    EXPECT_TRUE(IsWindowEnabled(window.Item(IDC_WRITE_ADDRESS)));
}

// What the worker handed the log pane, read once the window has ended.
std::string relayed;

// Closing during an update asks first; "No" lets the update finish, "Yes" stops it, the
// log saying where and that the update failed, and the window ends only after the worker
// has.
TEST(UpdaterWindow, CloseDuringAnUpdateAsksAndStopsTheWorkerFirst) {
    PortDevices devices{"COM7"};
    auto answer = [](WPARAM button) {
        HWND box = nullptr;
        EXPECT_TRUE(
            Eventually([&] { return (box = FindWindowA("#32770", "KORVEL7 Firmware Updater")); }));
        PostMessageA(box, WM_COMMAND, button, 0);
    };
    SystemCalls calls;
    calls.before_log_relay = [](std::string_view text) { relayed += text; };
    for (WPARAM button : {WPARAM{IDNO}, WPARAM{IDYES}}) {
        relayed.clear();
        Window window(Window::Fast(), calls);
        SelectPort(window.Dialog(), 0);
        SendMessageA(window.Item(IDOK), BM_CLICK, 0, 0);
        ASSERT_TRUE(window.LogShows("send block 2/"));
        PostMessageA(window.Dialog(), WM_COMMAND, IDCANCEL, 0);
        answer(button);
        if (button == IDNO) {
            EXPECT_TRUE(window.LogShows("Update successful\r\n"));
            EXPECT_FALSE(window.Ended());
        } else {
            EXPECT_TRUE(Eventually([&] { return window.Ended(); }));
            EXPECT_EQ(WorkerThread, nullptr);
            EXPECT_NE(relayed.find("\r\nstopped while writing\r\n"), std::string::npos) << relayed;
            EXPECT_TRUE(relayed.ends_with("Firmware Update failed\r\nUpdate not successful\r\n"))
                << relayed;
        }
    }
}

// The moment of closing that once froze the window: the port's receiving thread is handing
// the window its "fwUpdate rsp" line while the window, the close just confirmed, stops the
// worker. Nothing may wait on that thread without handling messages: the window ends as
// fast as an idle one (Wine itself takes a while to take a window down), every handle the
// run took is let go and the port opens again.
HWND closing_dialog = nullptr;
HANDLE close_confirmed = nullptr;

TEST(UpdaterWindow, CloseWhileTheReceivingThreadLogsEndsAtOnceAndLetsGoOfThePort) {
    using Clock = std::chrono::steady_clock;
    PortDevices devices{"COM7"};
    close_confirmed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SystemCalls calls;
    calls.message_box = [](HWND, LPCSTR, LPCSTR, UINT) {
        SetEvent(close_confirmed);
        return IDYES;
    };
    calls.before_log_relay = [](std::string_view text) {
        if (text != "fwUpdate rsp\r\n") return;
        PostMessageA(closing_dialog, WM_COMMAND, IDCANCEL, 0);
        WaitForSingleObject(close_confirmed, 10000);
    };
    Clock::duration idle_close{};
    {
        Window idle;  // also loads what the first window loads for good
        const auto start = Clock::now();
        PostMessageA(idle.Dialog(), WM_COMMAND, IDCANCEL, 0);
        ASSERT_TRUE(Eventually([&] { return idle.Ended(); }));
        idle_close = Clock::now() - start;
    }
    DWORD handles_before = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &handles_before));
    Clock::duration busy_close{};
    {
        Window window(Window::Fast(), calls);
        closing_dialog = window.Dialog();
        SelectPort(window.Dialog(), 0);
        SendMessageA(window.Item(IDOK), BM_CLICK, 0, 0);
        ASSERT_EQ(WaitForSingleObject(close_confirmed, 60000), WAIT_OBJECT_0);
        const auto start = Clock::now();
        ASSERT_TRUE(Eventually([&] { return window.Ended(); }));
        busy_close = Clock::now() - start;
    }
    EXPECT_LT(busy_close, idle_close + 700ms);
    DWORD handles_after = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &handles_after));
    EXPECT_EQ(handles_after, handles_before);
    CloseHandle(close_confirmed);

    k7::Link link;
    ASSERT_EQ(link.OpenComPort(7), 1);
    EXPECT_EQ(link.SendCommand(k7::kCmdVersion, nullptr, 0), 1);
}

// A worker gives back the button it took. The next worker can start as soon as the
// running one has cleared WorkerThread, before that one's last step, and records its own
// button (here done by hand at that point, with the address fields shown): the ending
// worker must still enable its own button and leave the new worker's disabled.
TEST(UpdaterWindow, AWorkerGivesBackItsOwnButton) {
    PortDevices devices{"COM7"};
    Window window;
    SelectPort(window.Dialog(), 0);
    for (int id : {IDC_ADDRESS1, IDC_ADDRESS2, IDC_ADDRESS3, IDC_WRITE_ADDRESS})
        ShowWindow(window.Item(id), SW_SHOW);
    SendMessageA(window.Item(IDOK), BM_CLICK, 0, 0);
    ASSERT_TRUE(window.LogShows("send block 2/"));
    CButton next_workers_button;
    next_workers_button.m_hWnd = window.Item(IDC_WRITE_ADDRESS);
    next_workers_button.EnableWindow(FALSE);
    WorkerButton = &next_workers_button;
    ASSERT_TRUE(window.WaitForIdle());
    // The button comes back just before the outcome line.
    EXPECT_TRUE(window.LogShows("Update successful\r\n"));
    EXPECT_FALSE(IsWindowEnabled(window.Item(IDC_WRITE_ADDRESS)));
}

// F5 and Enter reach the window whichever control has the focus. The address fields are
// hidden, so they stay empty and every F5 is refused, once; Enter starts Program, and a
// worker that ends at once (no port selected, COM0) gives the button back. Esc then closes
// the window.
TEST(UpdaterWindow, KeysWorkFromAnyControlAndEscCloses) {
    Window window;
    window.Press(VK_F5);
    const std::string refused = "INPUT N.G.\r\n";
    EXPECT_TRUE(Eventually([&] { return window.Text(IDC_LOG) == refused; }));
    SendMessageA(window.Dialog(), WM_NULL, 0, 0);
    EXPECT_EQ(window.Text(IDC_LOG), refused);

    window.FocusOn(IDC_LOG);
    ASSERT_EQ(window.Focus(), window.Item(IDC_LOG));
    window.Press(VK_RETURN);
    ASSERT_TRUE(window.WaitForIdle());
    EXPECT_TRUE(Eventually([&] {
        return window.Text(IDC_LOG) ==
               refused + "\r\nEntered COM PORT : COM0\r\nKORVEL7 not found\r\n";
    }));
    EXPECT_FALSE(window.Ended());

    window.FocusOn(IDOK);
    window.Press(VK_ESCAPE);
    EXPECT_TRUE(Eventually([&] { return window.Ended(); }));
}

// The window's system calls, as the hooks of RecordingCalls() record them before making
// them for real: by thread, in order, with each stretch of taskbar values as one "values".
using Calls = std::vector<std::wstring>;
std::mutex recorded_mutex;
std::map<DWORD, Calls> recorded_calls;
std::vector<ULONGLONG> shown_values;    // in thousandths, since the taskbar was last cleared
std::function<void()> on_next_release;  // runs on the worker's thread as it lets go

void Record(const std::wstring& call, std::optional<ULONGLONG> shown = {}) {
    std::lock_guard lock(recorded_mutex);
    Calls& calls = recorded_calls[GetCurrentThreadId()];
    if (call != L"values" || calls.empty() || calls.back() != L"values") calls.push_back(call);
    if (call == L"clear") shown_values.clear();
    if (shown) shown_values.push_back(*shown);
}

void OnNextRelease(std::function<void()> action) {
    std::lock_guard lock(recorded_mutex);
    on_next_release = std::move(action);
}

SystemCalls RecordingCalls() {
    std::lock_guard lock(recorded_mutex);
    recorded_calls.clear();
    shown_values.clear();
    on_next_release = nullptr;
    SystemCalls calls;
    calls.set_thread_execution_state = [](EXECUTION_STATE state) {
        constexpr EXECUTION_STATE kAwake = ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED;
        Record(state == kAwake ? L"keep awake" : state == ES_CONTINUOUS ? L"let sleep" : L"other");
        const EXECUTION_STATE previous = SetThreadExecutionState(state);
        std::function<void()> action;
        if (state == ES_CONTINUOUS) {
            std::lock_guard relock(recorded_mutex);
            action.swap(on_next_release);
        }
        if (action) action();
        return previous;
    };
    calls.shutdown_block_reason_create = [](HWND window, LPCWSTR reason) {
        Record(std::wstring(L"block ") + reason);
        return ShutdownBlockReasonCreate(window, reason);
    };
    calls.shutdown_block_reason_destroy = [](HWND window) {
        Record(L"unblock");
        return ShutdownBlockReasonDestroy(window);
    };
    calls.set_progress_state = [](ITaskbarList3* taskbar, HWND window, TBPFLAG state) {
        Record(taskbar == nullptr         ? L"no taskbar"
               : state == TBPF_NOPROGRESS ? L"clear"
               : state == TBPF_NORMAL     ? L"normal"
               : state == TBPF_ERROR      ? L"error"
                                          : L"state " + std::to_wstring(state));
        SystemCalls().set_progress_state(taskbar, window, state);
    };
    calls.set_progress_value = [](ITaskbarList3* taskbar, HWND window, ULONGLONG value,
                                  ULONGLONG total) {
        Record(taskbar == nullptr ? L"no taskbar" : L"values", value * 1000 / total);
        SystemCalls().set_progress_value(taskbar, window, value, total);
    };
    return calls;
}

Calls RecordedOn(DWORD thread) {
    std::lock_guard lock(recorded_mutex);
    return recorded_calls[thread];
}

// What each worker's thread called.
std::vector<Calls> RecordedOnWorkers(DWORD ui_thread) {
    std::lock_guard lock(recorded_mutex);
    std::vector<Calls> workers;
    for (const auto& [thread, calls] : recorded_calls)
        if (thread != ui_thread) workers.push_back(calls);
    return workers;
}

// The values the taskbar showed since it was last cleared. They must only grow: an
// update's progress never goes back, and the worker posts only a change.
std::vector<ULONGLONG> ShownValues() {
    std::lock_guard lock(recorded_mutex);
    EXPECT_EQ(std::adjacent_find(shown_values.begin(), shown_values.end(), std::greater_equal()),
              shown_values.end());
    return shown_values;
}

std::size_t Count(const Calls& calls, const wchar_t* call) {
    return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), call));
}

// A window whose system calls are recorded, with its taskbar button in place.
struct RecordingWindow : Window {
    explicit RecordingWindow(k7::UpdateSettings settings = Fast())
        : Window(settings, RecordingCalls()) {
        SendMessageW(Dialog(), RegisterWindowMessageW(L"TaskbarButtonCreated"), 0, 0);
    }
    LRESULT QueryEndSession() const {
        return SendMessageA(Dialog(), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF);
    }
    bool WaitForEnds(std::size_t ends) const {
        return Eventually([&] { return Count(RecordedOn(UiThread()), L"unblock") == ends; }, 60s);
    }
};

const Calls kWorkerCalls{L"keep awake", L"let sleep"};
constexpr wchar_t kUpdateBlock[] = L"block Firmware update in progress";
constexpr wchar_t kAddressBlock[] = L"block Device address being written";

// While an update runs the computer stays awake (on the worker's thread), a shutdown is
// refused, and the taskbar button, cleared at the start, shows the progress rising to the
// full scale; all of it is let go at the end. Writing the address then (typed in the fields,
// two characters moving the focus on, the last field back to the first; F5 writes it and
// reads it back) holds the same with its own reason and leaves the taskbar alone, which is
// cleared when the window closes.
TEST(WorkerHolds, ForASuccessfulUpdateAndAddressWrite) {
    PortDevices devices{"COM7"};
    DWORD ui_thread = 0;
    {
        RecordingWindow window;
        ui_thread = window.UiThread();
        SelectPort(window.Dialog(), 0);
        EXPECT_EQ(window.QueryEndSession(), TRUE);
        SendMessageA(window.Item(IDOK), BM_CLICK, 0, 0);
        ASSERT_TRUE(window.LogShows("send block 2/"));
        EXPECT_EQ(window.QueryEndSession(), FALSE);
        ASSERT_TRUE(window.WaitForEnds(1));
        EXPECT_EQ(window.QueryEndSession(), TRUE);
        EXPECT_TRUE(window.Text(IDC_LOG).ends_with("Update successful\r\n"));
        ASSERT_EQ(RecordedOn(ui_thread),
                  (Calls{kUpdateBlock, L"clear", L"normal", L"values", L"unblock"}));
        EXPECT_EQ(RecordedOnWorkers(ui_thread), std::vector<Calls>{kWorkerCalls});
        const auto values = ShownValues();
        EXPECT_GT(values.size(), 10u);  // in steps, not from nothing to all
        EXPECT_EQ(values.back(), 1000u);

        for (auto [id, text, next] : {std::tuple{IDC_ADDRESS1, "0a", IDC_ADDRESS2},
                                      std::tuple{IDC_ADDRESS2, "FF", IDC_ADDRESS3},
                                      std::tuple{IDC_ADDRESS3, "7c", IDC_ADDRESS1}}) {
            SendMessageA(window.Item(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
            EXPECT_EQ(window.Focus(), window.Item(next));
        }
        window.Press(VK_F5);
        ASSERT_TRUE(window.WaitForEnds(2));
        EXPECT_TRUE(window.Text(IDC_LOG).ends_with(
            "INPUT ADDRESS = 0A:FF:7C\r\nCOM7 Opened\r\n"
            "PROGRAM COM7... Command OK\r\nRead Addr OK    0A:FF:7C\r\n"
            "================ PROGRAM OK ================\r\n"));
        EXPECT_TRUE(Eventually([&] { return IsWindowEnabled(window.Item(IDC_WRITE_ADDRESS)); }));
        EXPECT_EQ(RecordedOnWorkers(ui_thread), (std::vector<Calls>{kWorkerCalls, kWorkerCalls}));
    }
    EXPECT_EQ(RecordedOn(ui_thread), (Calls{kUpdateBlock, L"clear", L"normal", L"values",
                                            L"unblock", kAddressBlock, L"unblock", L"clear"}));
}

// The memory byte the test's simulator reads back wrong (--bit-error in CMakeLists.txt):
// past the end of both built-in images, so only this longer image reaches it.
const k7::FirmwareImages& ImagesThatFailTheReadBack() {
    static const std::vector<std::uint8_t> image(KORVEL7_BIT_ERROR + 128, 0x5A);
    static const k7::FirmwareImages images{image, image, {}, {}};
    return images;
}

// An update that fails, on a receiver whose memory reads back wrong or on a port that does
// not open (COM0), lets go of all it held too; the button turns red at the value reached.
TEST(WorkerHolds, ForAFailedUpdate) {
    PortDevices devices{"COM7"};
    for (const auto& [port_index, log_part] :
         {std::pair{0, "<verify fail 1 bytes>"}, std::pair{-1, "KORVEL7 not found"}}) {
        SCOPED_TRACE(log_part);
        k7::UpdateSettings settings = Window::Fast();
        settings.images = &ImagesThatFailTheReadBack();
        RecordingWindow window(settings);
        if (port_index >= 0) SelectPort(window.Dialog(), port_index);
        SendMessageA(window.Item(IDOK), BM_CLICK, 0, 0);
        ASSERT_TRUE(window.WaitForEnds(1));
        EXPECT_EQ(window.QueryEndSession(), TRUE);
        EXPECT_NE(window.Text(IDC_LOG).find(log_part), std::string::npos);
        ASSERT_EQ(RecordedOn(window.UiThread()),
                  (Calls{kUpdateBlock, L"clear", L"normal", L"values", L"unblock", L"error"}));
        EXPECT_EQ(RecordedOnWorkers(window.UiThread()), std::vector<Calls>{kWorkerCalls});
        EXPECT_LT(ShownValues().back(), 1000u);
    }
}

// The button comes back before the worker's end reaches the window, so the next update can
// start first. That end then belongs to the past: it must not let the shutdown through or
// turn the new run red. Closed mid-run (which fails the run), the window still lets go of
// all it held.
TEST(WorkerHolds, ThroughANextUpdateStartedBeforeTheLastEndArrived) {
    PortDevices devices{"COM7"};
    DWORD ui_thread = 0;
    {
        RecordingWindow window;
        ui_thread = window.UiThread();
        OnNextRelease([&] {  // the first worker, on COM0, at its very end
            SelectPort(window.Dialog(), 0);
            SendMessageA(window.Item(IDOK), BM_CLICK, 0, 0);
        });
        SendMessageA(window.Item(IDOK), BM_CLICK, 0, 0);
        ASSERT_TRUE(window.LogShows("send block 2/"));
        EXPECT_EQ(window.QueryEndSession(), FALSE);
        EXPECT_EQ(Count(RecordedOn(ui_thread), L"error"), 0u);
    }  // closes, confirming the question
    Calls blocks = RecordedOn(ui_thread);
    EXPECT_EQ(blocks.back(), L"clear");
    std::erase_if(
        blocks, [](const std::wstring& call) { return call.find(L"block") == std::wstring::npos; });
    EXPECT_EQ(blocks, (Calls{kUpdateBlock, L"unblock", kUpdateBlock, L"unblock"}));
    EXPECT_EQ(RecordedOnWorkers(ui_thread), (std::vector<Calls>{kWorkerCalls, kWorkerCalls}));
}

// The program as a user runs it: closed by its close box in the middle of an update and
// confirmed, the process ends by itself with status 0.
TEST(UpdaterProgram, ClosedMidUpdateEndsCleanly) {
    PortDevices devices{"COM7"};
    const std::string program = k7::test::WindowsPath(KORVEL7_UPDATER);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessA(program.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &process));
    HWND dialog = nullptr;
    ASSERT_TRUE(Eventually([&] {
        dialog = FindWindowA("#32770", kCaption);
        return dialog != nullptr && IsWindowVisible(dialog);
    }));
    SelectPort(dialog, 0);
    SendMessageA(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    auto log = [&] {  // text crosses processes intact only as UTF-16
        wchar_t text[4096] = {};
        SendMessageW(GetDlgItem(dialog, IDC_LOG), WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(text));
        return std::wstring(text);
    };
    ASSERT_TRUE(Eventually([&] { return log().find(L"send block 2/") != std::wstring::npos; }));

    PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    HWND box = nullptr;
    ASSERT_TRUE(
        Eventually([&] { return (box = FindWindowA("#32770", "KORVEL7 Firmware Updater")); }));
    PostMessageA(box, WM_COMMAND, IDYES, 0);
    EXPECT_EQ(WaitForSingleObject(process.hProcess, 20000), WAIT_OBJECT_0);
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    EXPECT_EQ(status, 0u);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

// A DLL planted beside the program is not found by name once the search is restricted;
// the same file loads by its full path, so only the search kept it out.
TEST(UpdaterProgram, DllBesideTheProgramIsNotLoadedByName) {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string planted(path);
    planted = planted.substr(0, planted.find_last_of('\\') + 1) + "korvel7_planted.dll";
    RestrictDllSearch();
    EXPECT_EQ(LoadLibraryA("korvel7_planted.dll"), nullptr);
    HMODULE module = LoadLibraryA(planted.c_str());
    EXPECT_NE(module, nullptr) << planted;
    if (module != nullptr) FreeLibrary(module);
}

}  // namespace
