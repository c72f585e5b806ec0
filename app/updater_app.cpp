// KORVEL7Updater.exe: one modal dialog; the process ends when it closes.
#include "app/framework.h"
#include "app/updater_dlg.h"

namespace {

class CUpdaterApp : public CWinApp {
public:
    BOOL InitInstance() override;
};

CUpdaterApp theApp;

BOOL CUpdaterApp::InitInstance() {
    Enable3dControls();
    CUpdaterDlg dialog;
    m_pMainWnd = &dialog;
    dialog.DoModal();
    m_pMainWnd = nullptr;
    return FALSE;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    AfxGetApp()->InitInstance();
    return 0;
}
