#include "app/updater_dlg.h"

#include "app/resource.h"
#include "ports/ports.h"

std::atomic<HANDLE> WorkerThread{nullptr};
CButton* WorkerButton = nullptr;
std::atomic<int> SelectedPortNumber{0};

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
// While the worker winds down, the port is closed again at this interval, in case the
// worker opened it after the last close.
constexpr DWORD kStopPollMs = 100;

constexpr char kCloseQuestion[] =
    "A firmware update is running. Stopping it now can leave the KORVEL7 without working "
    "firmware until it is updated again.\r\n\r\nStop the update and close?";

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
// before any worker can start.
BOOL CUpdaterDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
    m_instructions.SetWindowText(kInstructions);
    OnRefresh();
    log_pane_ = std::make_unique<LogPane>(m_log);
    k7::SetLogSink(log_pane_.get());
    m_log.SetLimitText(kLogPaneLimit);
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
    for (const std::string& entry : k7::ListSerialPorts())
        m_portList.AddString(entry.c_str());
    m_portList.SetCurSel(m_portList.FindString(-1, kPreselectedPort));
    OnSelchangePort();
}

void CUpdaterDlg::OnSelchangePort() {
    const int index = m_portList.GetCurSel();
    if (index < 0) return;
    SelectedPortNumber = k7::PortNumberFromEntry(m_portList.GetLBText(index), SelectedPortNumber);
}

void CUpdaterDlg::OnOK() {
    StartUpdate();
}

// The worker is created suspended and runs only once its handle is recorded and the
// button disabled: a worker that ends at once (a port that does not open) then cannot
// leave the handle set or the button disabled behind it.
void CUpdaterDlg::StartUpdate() {
    if (closing_ || WorkerThread.load() != nullptr) return;
    WorkerButton = &m_programButton;
    HANDLE thread = CreateThread(nullptr, 0, UpdateThread, this, CREATE_SUSPENDED, nullptr);
    if (thread == nullptr) return;
    if (worker_ != nullptr) CloseHandle(worker_);
    worker_ = thread;
    WorkerThread = thread;
    m_programButton.EnableWindow(FALSE);
    ResumeThread(thread);
}

DWORD WINAPI CUpdaterDlg::UpdateThread(void* parameter) {
    auto* dialog = static_cast<CUpdaterDlg*>(parameter);
    const k7::PortRef port = k7::PortFromNumber(SelectedPortNumber.load());
    k7::UpdateWorker(dialog->link_, port, dialog->settings_, [dialog] { dialog->FinishWorker(); });
    return 0;
}

// Runs on the worker thread, before the outcome line: the handle is cleared first, so a
// press on the button enabled next finds no worker.
void CUpdaterDlg::FinishWorker() {
    WorkerThread = nullptr;
    WorkerButton->EnableWindow(TRUE);
}

// Closing during an update is confirmed first (default: keep going), since an interrupted
// update can leave the receiver without working firmware. On "yes" the port is closed, so
// the worker's next exchange fails at once, and the window waits for the worker to end
// while it goes on handling messages (the worker logs through it) before anything is
// destroyed.
void CUpdaterDlg::OnCancel() {
    if (closing_) return;
    if (WorkerThread.load() != nullptr &&
        MessageBoxA(m_hWnd, kCloseQuestion, "KORVEL7 Firmware Updater",
                    MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) != IDYES)
        return;
    closing_ = true;
    StopWorker();
    k7::SetLogSink(nullptr);
    log_pane_.reset();
    CDialog::OnCancel();
}

bool CUpdaterDlg::StopWorker() {
    if (worker_ == nullptr) return true;
    for (;;) {
        link_.CloseComPort();
        const DWORD woke = MsgWaitForMultipleObjects(1, &worker_, FALSE, kStopPollMs, QS_ALLINPUT);
        if (woke == WAIT_OBJECT_0 || woke == WAIT_FAILED) return woke == WAIT_OBJECT_0;
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
}
