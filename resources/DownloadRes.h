// Resource ids of the downloader (WexaDownload.exe): its menu and accelerators, dialogs and
// their controls, the About picture, the toolbar and the pop-up menus of the tray and the list.
#pragma once

// Menu "WexaShareDownload" and its accelerators.
#define IDM_NEW_DOWNLOAD                10
#define IDM_EXIT                        15
#define IDM_CHOOSE_FOLDER               20
#define IDM_OPEN_FOLDER                 21
#define IDM_MINIMIZE_TO_TRAY            26
#define IDM_CLOSE_TO_TRAY               27
#define IDM_NO_TRAY_ICON                28
#define IDM_ABOUT                       51

// Tray pop-up menu.
#define IDM_TRAY_BRING_TO_FRONT         1501
#define IDM_TRAY_EXIT                   1505

// The list's context menu and its "Set Connections" submenu (2500 + count).
#define IDM_LIST_NEW                    1501
#define IDM_LIST_PAUSE                  1502
#define IDM_LIST_SET_CONNECTIONS        1503
#define IDM_LIST_REMOVE                 1504
#define IDM_LIST_OPEN_CONTAINING        1505
#define IDM_LIST_OPEN_DEFAULT           1506
#define IDM_LIST_CHANGE_URL             1507
#define IDM_LIST_COPY_URL               1511
#define IDM_LIST_CONNECTIONS_BASE       2500

// Dialogs.
#define IDD_NEW_DOWNLOAD                8001
#define IDD_DOWNLOAD_PASSWORD           8002
#define IDD_CHANGE_URL                  8003
#define IDD_ABOUT                       8088
#define IDC_URL_EDIT                    9001
#define IDC_USER_EDIT                   9001
#define IDC_PASSWORD_EDIT               9002
#define IDC_SAVE_AS                     1001
#define IDC_ABOUT_PICTURE               1110
#define IDC_ABOUT_TEXT                  1111

// The About box's program picture.
#define IDB_ABOUT_PICTURE               1501

// Controls of the downloads view.
#define IDC_DOWNLOAD_BUTTON             1001
#define IDC_PAUSE_BUTTON                1001
#define IDC_REMOVE_BUTTON               1003
#define IDC_CONNECTION_BOX              1005
