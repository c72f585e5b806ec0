// The updater's window: dialog 102 with the port list, the log pane and the Program
// button. Handlers stay short and hand the work to a worker thread. The controls belong
// to the window's thread; the one exception is a worker enabling its button again as it
// ends (EnableWindow may be called from any thread), so that the button is back before
// the worker logs its outcome. Log lines and progress reach the window by message.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "app/framework.h"
#include "app/log_pane.h"
#include "app/system_calls.h"
#include "app/taskbar_progress.h"
#include "link/link.h"
#include "ports/ports.h"
#include "service/address.h"
#include "update/update_worker.h"

// The running worker (none while idle) and the button it gives back when it ends. One
// worker at a time.
extern std::atomic<HANDLE> WorkerThread;
extern CButton* WorkerButton;
// The COM port number of the selected port list entry; 0 until one is selected.
extern std::atomic<int> SelectedPortNumber;
// The address bytes of the last accepted F5, written before the address worker starts.
extern k7::InputAddress InputAddress;

class CUpdaterDlg : public CDialog {
public:
    explicit CUpdaterDlg(CWnd* parent = nullptr);
    ~CUpdaterDlg() override;

    // For tests: shorter waits than the product's. The update's progress callback is the
    // window's own.
    void SetUpdateSettings(const k7::UpdateSettings& settings) { settings_ = settings; }
    void SetAddressTimings(const k7::AddressTimings& timings) { address_timings_ = timings; }
    // For tests, before the window opens: calls that watch the real ones.
    void SetSystemCalls(const SystemCalls& calls) { system_ = calls; }

protected:
    const MessageMap* GetMessageMap() const override;
    void DoDataExchange(CDataExchange* exchange) override;
    BOOL OnInitDialog() override;
    // F5 starts the address service from any control; the key goes on as usual.
    BOOL PreTranslateMessage(MSG* message) override;
    void OnOK() override;
    void OnCancel() override;

    void OnPaint();
    HICON OnQueryDragIcon();
    void OnRefresh();
    void OnSelchangePort();
    void StartUpdate();
    void StartAddressProgramming();
    void OnChangeAddress1();
    void OnChangeAddress2();
    void OnChangeAddress3();
    void OnTaskbarButtonCreated();
    void OnQueryEndSession();
    void OnUpdateProgress(WPARAM thousandths, LPARAM run);
    void OnWorkerEnded(WPARAM succeeded, LPARAM run);
    void OnDestroy();

    CComboBox m_portList;
    CStatic m_addressPrefix;
    CButton m_writeAddressButton;
    CEdit m_address3;
    CEdit m_address2;
    CEdit m_address1;
    CStatic m_title;
    CStatic m_instructionsLabel;
    CButton m_programButton;
    CEdit m_log;
    CEdit m_instructions;
    HICON m_hIcon;

private:
    // A worker's job, on its thread: true when it succeeded. `run` numbers the worker.
    using Job = bool (CUpdaterDlg::*)(LPARAM run);

    static DWORD WINAPI WorkerMain(void* dialog);
    bool RunUpdate(LPARAM run);
    bool RunAddress(LPARAM run);
    bool StartWorker(Job job, CButton* button, const wchar_t* shutdown_reason);
    void FinishWorker();
    void EndShutdownBlock();
    bool StopWorker();
    static bool ParseHexPair(const CEdit& field, std::uint8_t* value);
    static void MoveToField(const CEdit& changed, const CEdit& next);

    k7::Link link_;
    // The ports the list shows; each entry's item data is its index here (the list sorts).
    std::vector<k7::SerialPort> ports_;
    k7::UpdateSettings settings_;
    k7::AddressTimings address_timings_;
    std::unique_ptr<LogPane> log_pane_;
    HANDLE worker_ = nullptr;  // this thread's handle of the last worker, for waiting on it
    bool closing_ = false;
    SystemCalls system_;
    std::unique_ptr<TaskbarProgress> taskbar_;
    bool com_initialized_ = false;
    // The last worker started: its job and its number, which its messages carry, and
    // the button it gives back. The worker takes all three when it starts; the next
    // worker can start only after it has.
    Job job_ = nullptr;
    LPARAM run_ = 0;
    CButton* worker_button_ = nullptr;
    // From a worker's start until the window has handled its end.
    bool shutdown_blocked_ = false;
};
