// Resource ids shared by Pelorin.rc and the code.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_PELORIN_DIALOG 102
#define IDR_MAINFRAME 128

// System-menu command of the About entry (the low four bits are the system's own).
#define IDM_ABOUTBOX 0x0010

// Controls of the main dialog.
#define IDC_FILE_NAME 1000
#define IDC_OPEN 1001
#define IDC_FILE_SIZE 1002
#define IDC_STATUS 1003
#define IDC_PROGRESS0 1004
#define IDC_PROGRESS1 1006
#define IDC_DOWNLOAD 1007
#define IDC_PROGRESS2 1009
#define IDC_ELAPSED 1010
#define IDC_DEVICE_TYPE 1011
#define IDC_PROGRESS3 1012
#define IDC_PROGRESS4 1013
#define IDC_PROGRESS5 1014
#define IDC_PROGRESS6 1015
#define IDC_PROGRESS7 1016
#define IDC_PROGRESS8 1017
#define IDC_PROGRESS9 1018
#define IDC_PROGRESS10 1019
#define IDC_PROGRESS11 1020
#define IDC_PROGRESS12 1021
#define IDC_PROGRESS13 1022
#define IDC_PROGRESS14 1023
#define IDC_PROGRESS15 1024

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
