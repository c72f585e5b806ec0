// Resource and control ids of the updater window (res/updater.rc).
#pragma once

#define IDD_UPDATER_DIALOG 102
#define IDR_MAINFRAME 128

#define IDC_INSTRUCTIONS 1000
#define IDC_LOG 1001
#define IDC_TITLE 1002
#define IDC_INSTRUCTIONS_LABEL 1003
#define IDC_ADDRESS1 1004
#define IDC_ADDRESS2 1005
#define IDC_ADDRESS3 1006
#define IDC_ADDRESS_PREFIX 1007
#define IDC_WRITE_ADDRESS 1008
#define IDC_PORT_LIST 1009
#define IDC_PORT_LABEL 1011
#define IDC_REFRESH 1012
