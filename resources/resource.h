// Resource identifiers, window messages and hot key ids shared by the resource script and the code.
#pragma once

#define IDI_TRAY 101
#define IDR_TRAY_MENU 102
#define IDD_TRACE 103
#define IDD_HOST_ENTRY 104
#define IDD_ABOUT 105

#define IDC_TRACE_TEXT 1001
#define IDC_HOST 1005

#define ID_EXIT 40002
#define ID_CLOSE_WINDOWS 40005
#define ID_TRACEROUTE_TO 40006
#define ID_ABOUT 40007
#define ID_MENU_COLUMN_BREAK 40008

#define HOTKEY_CLIPBOARD_TRACE 1
#define HOTKEY_CLIPBOARD_TRACE_ALT 2
#define HOTKEY_HOST_ENTRY 3

#define MSG_CLOSE_TRACE 10000
#define MSG_HOP_NAME_BASE 10010  // + hop index: the reverse lookup of that hop has ended
#define MSG_TRAY_NOTIFY 100000
