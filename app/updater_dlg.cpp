#include "app/updater_dlg.h"

#include <optional>

#include "app/resource.h"

std::atomic<HANDLE> WorkerThread{nullptr};
CButton* WorkerButton = nullptr;
std::atomic<int> SelectedPortNumber{0};
k7::InputAddress InputAddress{};

namespace {

constexpr char kInstructions[] =
    "1) Turn on KORVEL7.\r\n"
    "2) Make sure the data log feature is turned off\r\n"
    "3) Plug the KORVEL7 into a USB port on the computer.\r\n"
    "4) Configure the COM Port of KORVEL7.\r\n"
    "5) Click the \"Program\" button below to start the update.\r\n"
    "\r\n"
    "Questions? Call or e-mail customer support; you will find the telephone number and "
    "e-mail address on your product's warranty card.";

constexpr char kPreselectedPort[] = "COM76";
constexpr UINT kLogPaneLimit = 20000;

constexpr char kCloseDuringUpdate[] =
    "A firmware update is running. Stopping it now can leave the KORVEL7 without working "
    "firmware until it is updated again.\r\n\r\nStop the update and close?";
constexpr char kCloseDuringAddress[] =
    "The device address is being written. Stopping now can leave the KORVEL7 without a "
    "valid address until it is written again.\r\n\r\nStop and close?";
// A field's text is fetched into a buffer of this size, so at most 15 characters count.
constexpr int kFieldBuffer = 16;

// Messages from a worker to the window. lparam is the worker's number, so that a message
// from an earlier worker is known for one.
constexpr UINT kProgressMessage = WM_APP;         // wparam: thousandths of the update done
constexpr UINT kWorkerEndedMessage = WM_APP + 1;  // wparam: TRUE when the job succeeded

// What Windows shows for the window when a shutdown or log-off waits on it.
constexpr wchar_t kUpdateShutdownReason[] = L"Firmware update in progress";
constexpr wchar_t kAddressShutdownReason[] = L"Device address being written";

// Sent by the taskbar once the window's button exists.
UINT TaskbarButtonCreatedMessage() {
    static const UINT message = RegisterWindowMessageW(L"TaskbarButtonCreated");
    return message;
}

// Keeps the computer from sleeping, and the display on, while it lives on this thread.
class KeepAwake {
public:
    explicit KeepAwake(const SystemCalls& calls) : set_state_(calls.set_thread_execution_state) {
        set_state_(ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED);
    }
    ~KeepAwake() { set_state_(ES_CONTINUOUS); }
    KeepAwake(const KeepAwake&) = delete;
    KeepAwake& operator=(const KeepAwake&) = delete;

private:
    EXECUTION_STATE(WINAPI* set_state_)(EXECUTION_STATE);
};

}  // namespace

CUpdaterDlg::CUpdaterDlg(CWnd* parent) : CDialog(IDD_UPDATER_DIALOG, parent) {
    m_hIcon = LoadIconA(AfxGetInstanceHandle(), MAKEINTRESOURCEA(IDR_MAINFRAME));
}

CUpdaterDlg::~CUpdaterDlg() {
    if (worker_ != nullptr) CloseHandle(worker_);
}

const MessageMap* CUpdaterDlg::GetMessageMap() const {
    static const MessageMapEntry entries[] = {
        OnMessage<&CUpdaterDlg::OnPaint>(WM_PAINT),
        OnMessage<&CUpdaterDlg::OnQueryDragIcon>(WM_QUERYDRAGICON),
        OnCommand<&CUpdaterDlg::OnRefresh>(IDC_REFRESH, BN_CLICKED),
        OnCommand<&CUpdaterDlg::OnSelchangePort>(IDC_PORT_LIST, CBN_SELCHANGE),
        OnCommand<&CUpdaterDlg::StartAddressProgramming>(IDC_WRITE_ADDRESS, BN_CLICKED),
        OnCommand<&CUpdaterDlg::OnChangeAddress1>(IDC_ADDRESS1, EN_CHANGE),
        OnCommand<&CUpdaterDlg::OnChangeAddress2>(IDC_ADDRESS2, EN_CHANGE),
        OnCommand<&CUpdaterDlg::OnChangeAddress3>(IDC_ADDRESS3, EN_CHANGE),
        OnMessage<&CUpdaterDlg::OnTaskbarButtonCreated>(TaskbarButtonCreatedMessage()),
        OnMessage<&CUpdaterDlg::OnQueryEndSession>(WM_QUERYENDSESSION),
        OnMessage<&CUpdaterDlg::OnUpdateProgress>(kProgressMessage),
        OnMessage<&CUpdaterDlg::OnWorkerEnded>(kWorkerEndedMessage),
        OnMessage<&CUpdaterDlg::OnDestroy>(WM_DESTROY),
    };
    static const MessageMap map{CDialog::GetThisMessageMap(), entries};
    return &map;
}

void CUpdaterDlg::DoDataExchange(CDataExchange* exchange) {
    DDX_Control(exchange, IDC_PORT_LIST, m_portList);
    DDX_Control(exchange, IDC_ADDRESS_PREFIX, m_addressPrefix);
    DDX_Control(exchange, IDC_WRITE_ADDRESS, m_writeAddressButton);
    DDX_Control(exchange, IDC_ADDRESS3, m_address3);
    DDX_Control(exchange, IDC_ADDRESS2, m_address2);
    DDX_Control(exchange, IDC_ADDRESS1, m_address1);
    DDX_Control(exchange, IDC_TITLE, m_title);
    DDX_Control(exchange, IDC_INSTRUCTIONS_LABEL, m_instructionsLabel);
    DDX_Control(exchange, IDOK, m_programButton);
    DDX_Control(exchange, IDC_LOG, m_log);
    DDX_Control(exchange, IDC_INSTRUCTIONS, m_instructions);
}

// The port search runs before the log pane is registered, so nothing it does reaches
// the pane. The response event the exchanges wait on belongs to the link and exists
// before any worker can start. The taskbar's message is let through even when the
// program runs as administrator, where the system would hold it back from Explorer.
BOOL CUpdaterDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
    m_instructions.SetWindowText(kInstructions);
    OnRefresh();
    log_pane_ = std::make_unique<LogPane>(m_log, system_.before_log_relay);
    k7::SetLogSink(log_pane_.get());
    m_log.SetLimitText(kLogPaneLimit);
    com_initialized_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    taskbar_ = std::make_unique<TaskbarProgress>(system_, m_hWnd);
    ChangeWindowMessageFilterEx(m_hWnd, TaskbarButtonCreatedMessage(), MSGFLT_ALLOW, nullptr);
    return TRUE;
}

void CUpdaterDlg::OnPaint() {
    CPaintDC dc(this);
    if (!IsIconic()) return;
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()));
    const int icon_width = GetSystemMetrics(SM_CXICON);
    const int icon_height = GetSystemMetrics(SM_CYICON);
    RECT client;
    GetClientRect(&client);
    const int x = (client.right - client.left - icon_width + 1) / 2;
    const int y = (client.bottom - client.top - icon_height + 1) / 2;
    DrawIcon(dc.GetSafeHdc(), x, y, m_hIcon);
}

HICON CUpdaterDlg::OnQueryDragIcon() {
    return m_hIcon;
}

void CUpdaterDlg::OnRefresh() {
    m_portList.ResetContent();
    ports_ = k7::ListSerialPorts();
    for (std::size_t i = 0; i < ports_.size(); ++i) {
        const int index = m_portList.AddString(k7::PortListEntry(ports_[i]).c_str());
        if (index >= 0) m_portList.SetItemData(index, i);
    }
    m_portList.SetCurSel(m_portList.FindString(-1, kPreselectedPort));
    OnSelchangePort();
}

// An entry too short to hold a number leaves the port as it was.
void CUpdaterDlg::OnSelchangePort() {
    const int index = m_portList.GetCurSel();
    if (index < 0) return;
    if (const auto number = ports_[m_portList.GetItemData(index)].number)
        SelectedPortNumber = *number;
}

void CUpdaterDlg::OnOK() {
    StartUpdate();
}

// The worker's progress reaches this thread by message, so only after the clear.
void CUpdaterDlg::StartUpdate() {
    if (StartWorker(&CUpdaterDlg::RunUpdate, &m_programButton, kUpdateShutdownReason))
        taskbar_->Clear();
}

// Only a key-down counts (Alt+F5 arrives as a system key); every auto-repeat is a new
// press, which finds the worker running and starts nothing.
BOOL CUpdaterDlg::PreTranslateMessage(MSG* message) {
    if (message->message == WM_KEYDOWN && message->wParam == VK_F5) StartAddressProgramming();
    return CDialog::PreTranslateMessage(message);
}

void CUpdaterDlg::StartAddressProgramming() {
    if (closing_ || WorkerThread.load() != nullptr) return;
    if (!ParseHexPair(m_address1, &InputAddress[0]) ||
        !ParseHexPair(m_address2, &InputAddress[1]) ||
        !ParseHexPair(m_address3, &InputAddress[2])) {
        k7::LogPrintf("INPUT N.G.\r\n");
        return;
    }
    k7::LogPrintf("INPUT ADDRESS = %02X:%02X:%02X\r\n", unsigned{InputAddress[0]},
                  unsigned{InputAddress[1]}, unsigned{InputAddress[2]});
    StartWorker(&CUpdaterDlg::RunAddress, &m_writeAddressButton, kAddressShutdownReason);
}

bool CUpdaterDlg::ParseHexPair(const CEdit& field, std::uint8_t* value) {
    char text[kFieldBuffer] = {};
    ::GetWindowTextA(field.GetSafeHwnd(), text, kFieldBuffer);
    return k7::ParseHexPair(text, value);
}

// Two characters in a field move on to the next one (the third back to the first) with
// its text selected, so typing goes on there and replaces it.
void CUpdaterDlg::MoveToField(const CEdit& changed, const CEdit& next) {
    if (::GetWindowTextLengthA(changed.GetSafeHwnd()) < 2) return;
    next.SetFocus();
    next.SetSel(0, -1);
    next.SendMessage(EM_SCROLLCARET);
}

void CUpdaterDlg::OnChangeAddress1() {
    MoveToField(m_address1, m_address2);
}
void CUpdaterDlg::OnChangeAddress2() {
    MoveToField(m_address2, m_address3);
}
void CUpdaterDlg::OnChangeAddress3() {
    MoveToField(m_address3, m_address1);
}

// One worker at a time, of either kind. The worker is created suspended and runs only once
// its handle is recorded and its button disabled: a worker that ends at once (a port that
// does not open) then cannot leave the handle set or the button disabled behind it.
// Shutdown is held back until this thread has handled the worker's end; the last
// worker's end can still be on its way (its button comes back first), and is taken as
// handled here.
bool CUpdaterDlg::StartWorker(Job job, CButton* button, const wchar_t* shutdown_reason) {
    if (closing_ || WorkerThread.load() != nullptr) return false;
    WorkerButton = button;
    HANDLE thread = CreateThread(nullptr, 0, WorkerMain, this, CREATE_SUSPENDED, nullptr);
    if (thread == nullptr) return false;
    if (worker_ != nullptr) CloseHandle(worker_);
    worker_ = thread;
    WorkerThread = thread;
    job_ = job;
    ++run_;
    button->EnableWindow(FALSE);
    EndShutdownBlock();
    system_.shutdown_block_reason_create(m_hWnd, shutdown_reason);
    shutdown_blocked_ = true;
    ResumeThread(thread);
    return true;
}

// The computer stays awake for the whole job, and the window hears of its end only
// after that is given up.
DWORD WINAPI CUpdaterDlg::WorkerMain(void* parameter) {
    auto* dialog = static_cast<CUpdaterDlg*>(parameter);
    const Job job = dialog->job_;
    const LPARAM run = dialog->run_;
    dialog->worker_button_ = WorkerButton;
    const HWND window = dialog->m_hWnd;
    bool succeeded = false;
    {
        const KeepAwake awake(dialog->system_);
        succeeded = (dialog->*job)(run);
    }
    PostMessageA(window, kWorkerEndedMessage, static_cast<WPARAM>(succeeded), run);
    return 0;
}

// The update reports every step, far more often than the taskbar can show; only a change
// in the thousandths shown is posted.
bool CUpdaterDlg::RunUpdate(LPARAM run) {
    k7::UpdateSettings settings = settings_;
    settings.progress = [window = m_hWnd, run, shown = std::optional<WPARAM>()](
                            const k7::UpdateProgress& progress) mutable {
        const auto thousandths =
            static_cast<WPARAM>(progress.fraction * TaskbarProgress::kFullScale);
        if (thousandths == shown) return;
        shown = thousandths;
        PostMessageA(window, kProgressMessage, thousandths, run);
    };
    const k7::PortRef port = k7::PortFromNumber(SelectedPortNumber.load());
    return k7::UpdateWorker(link_, port, settings, [this] { FinishWorker(); }) ==
           k7::Failure::kNone;
}

bool CUpdaterDlg::RunAddress(LPARAM) {
    const k7::PortRef port = k7::PortFromNumber(SelectedPortNumber.load());
    const k7::Failure failure = k7::AddressWorker(link_, port, InputAddress, address_timings_);
    FinishWorker();
    return failure == k7::Failure::kNone;
}

// The worker's last step (for the update, just before its outcome line), on its own
// thread: the handle is cleared first, so a press on the button enabled next finds no
// worker. The button is the one this worker took when it started: once the handle is
// clear the next worker can start and record its own in WorkerButton.
void CUpdaterDlg::FinishWorker() {
    CButton* const button = worker_button_;
    WorkerThread = nullptr;
    button->EnableWindow(TRUE);
}

// Closing during an update is confirmed first (default: keep going), since an interrupted
// update can leave the receiver without working firmware. On "yes" the link is cancelled,
// so the worker's exchange fails at once and the worker closes the port itself, and the
// window waits for the worker to end while it goes on handling messages (the worker and
// the port's receiving thread log through it) before anything is destroyed.
void CUpdaterDlg::OnCancel() {
    if (closing_) return;
    if (WorkerThread.load() != nullptr &&
        system_.message_box(
            m_hWnd, WorkerButton == &m_programButton ? kCloseDuringUpdate : kCloseDuringAddress,
            "KORVEL7 Firmware Updater", MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) != IDYES)
        return;
    closing_ = true;
    StopWorker();
    k7::SetLogSink(nullptr);
    log_pane_.reset();
    CDialog::OnCancel();
}

// A message from a worker before the current one is passed over: its end was taken as
// handled when the current one started.
void CUpdaterDlg::OnUpdateProgress(WPARAM thousandths, LPARAM run) {
    if (run == run_) taskbar_->Show(thousandths);
}

void CUpdaterDlg::OnWorkerEnded(WPARAM succeeded, LPARAM run) {
    if (run != run_) return;
    EndShutdownBlock();
    if (job_ == &CUpdaterDlg::RunUpdate && succeeded == FALSE) taskbar_->ShowFailure();
}

void CUpdaterDlg::EndShutdownBlock() {
    if (!shutdown_blocked_) return;
    system_.shutdown_block_reason_destroy(m_hWnd);
    shutdown_blocked_ = false;
}

// A shutdown or log-off is refused while a worker runs. A dialog answers through
// DWLP_MSGRESULT.
void CUpdaterDlg::OnQueryEndSession() {
    SetWindowLongPtrA(m_hWnd, DWLP_MSGRESULT, shutdown_blocked_ ? FALSE : TRUE);
}

void CUpdaterDlg::OnTaskbarButtonCreated() {
    taskbar_->Attach();
}

// The window can close before a stopped worker's end message is handled.
void CUpdaterDlg::OnDestroy() {
    EndShutdownBlock();
    taskbar_->Clear();
    taskbar_.reset();
    if (com_initialized_) CoUninitialize();
}

// Nothing here waits on a thread without handling messages: the port's receiving thread
// may be handing this thread a log message at that very moment.
bool CUpdaterDlg::StopWorker() {
    if (worker_ == nullptr) return true;
    link_.Cancel();
    for (;;) {
        const DWORD woke = MsgWaitForMultipleObjects(1, &worker_, FALSE, INFINITE, QS_ALLINPUT);
        if (woke == WAIT_OBJECT_0 || woke == WAIT_FAILED) return woke == WAIT_OBJECT_0;
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
}
