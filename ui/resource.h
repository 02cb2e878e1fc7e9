// Resource identifiers of the tray application, shared by ui/kestrun.rc and
// the Windows user-interface code.
#pragma once

#define IDI_CLOSED 130
#define IDI_ACTIVITY 137
#define IDI_OPEN 139

#define IDS_TITLE 103
#define IDS_TITLE_UPPER 109
#define IDM_TRAY 109
#define IDA_MAIN 109

#define IDD_ABOUT 103
#define IDD_SETTINGS 143
#define IDD_VIRTUAL 145

// Commands of the tray menu and the accelerators.
#define IDC_ABOUT 104
#define IDC_EXIT 105
#define IDC_VIRTUAL_PORTS 110
#define IDC_SETTINGS 32772

// The "Wyłącz" button of the settings dialog.
#define IDC_SHUTDOWN 3

// Settings dialog controls.
#define IDC_AUTO_DISCONNECT 1001
#define IDC_BUFFER_PRINTS 1002
#define IDC_SPOOL_DIRECTORY 1003
#define IDC_TCP_ENABLED 1004
#define IDC_UDP_ENABLED 1005
#define IDC_ALWAYS_OPEN 1006
#define IDC_PORT_NAME 1007
#define IDC_BAUD_RATE 1008
#define IDC_LOG_PATH 1009
#define IDC_INTERFACE 1011
#define IDC_TCP_PORT 1012
#define IDC_PARITY_GROUP 1013
#define IDC_PARITY_NONE 1014
#define IDC_PARITY_EVEN 1015
#define IDC_PARITY_ODD 1016
#define IDC_DATA_8 1017
#define IDC_DATA_7 1018
#define IDC_UDP_PORT 1019
#define IDC_STOP_1 1020
#define IDC_STOP_2 1021

// Virtual ports dialog controls (per row: address, port, status, count).
#define IDC_VIRTUAL_ENABLED 1009
#define IDC_PEER_1 1010
#define IDC_VPORT_1 1011
#define IDC_PEER_2 1012
#define IDC_VPORT_2 1013
#define IDC_PEER_3 1014
#define IDC_VPORT_3 1015
#define IDC_STATUS_1 1016
#define IDC_STATUS_2 1017
#define IDC_STATUS_3 1018
#define IDC_COUNT_1 1022
#define IDC_COUNT_2 1023
#define IDC_COUNT_3 1024
