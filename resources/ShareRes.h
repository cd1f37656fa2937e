// Resource ids of the share program: dialogs, menus, controls, cursors, bitmaps and icons.
// One home for every id of WexaShare.exe; resources/share.rc and the tab pages include it.
#pragma once

// Icons (named resources) and the application manifest.
#define IDI_ICON1_NAME                  L"IDI_ICON1"
#define IDR_MANIFEST                    1

// Cursors of the Share tab's splitter bar.
#define IDCUR_SPLIT_VERTICAL            1111
#define IDCUR_SPLIT_HORIZONTAL          1112

// Small images of the Share tab's file list, in icon-class order.
#define IDB_ICON_OTHER                  1001
#define IDB_ICON_TEXT                   1002
#define IDB_ICON_IMAGE                  1003
#define IDB_ICON_FOLDER                 1004
#define IDB_ICON_ARCHIVE                1005
#define IDB_ICON_PROGRAM                1006

// Main menu (resource "WexaShare").
#define IDM_SHARE_FILES                 10
#define IDM_SHARE_FOLDER                11
#define IDM_EXIT                        15
#define IDM_REMEMBER_SHARE              20
#define IDM_KEEP_CONNECTIONS            21
#define IDM_MINIMIZE_TO_TRAY            26
#define IDM_CLOSE_TO_TRAY               27
#define IDM_NO_TRAY_ICON                28
#define IDM_ABOUT                       41
#define IDM_NETWORK_STATUS              44

// Status bar button and the pop-up menus of the main window (button, status bar, tray).
#define IDC_COPY_BUTTON                 1001
#define IDM_COPY_INTERNET_ADDRESS       1501
#define IDM_COPY_LOCAL_ADDRESS          1502
#define IDM_COPY_SEND_FILE_ADDRESS      1503
#define IDM_COPY_LAN_ADDRESS            1504
#define IDM_STATUS_INFORMATION          1501
#define IDM_TRAY_BRING_TO_FRONT         1501
#define IDM_TRAY_EXIT                   1505

// Welcome dialog.
#define IDD_WELCOME                     8004
#define IDC_WELCOME_PORT_LABEL          1111
#define IDC_WELCOME_UPNP_LABEL          1112
#define IDC_WELCOME_PORT                9001
#define IDC_WELCOME_NAME                9002
#define IDC_WELCOME_UPNP_ON             2001
#define IDC_WELCOME_UPNP_OFF            2002
#define IDC_WELCOME_AUTOMATIC           3001
#define IDC_WELCOME_MANUAL              3002

// About dialog.
#define IDD_ABOUT                       8088
#define IDC_ABOUT_TEXT                  1111
#define IDC_ABOUT_ICON                  1112

// Share tab: commands of the file panel and the connection panel.
#define IDC_SHARE_FILES                 1001
#define IDC_SHARE_FOLDER                1002
#define IDC_REMOVE_FILES                1003
#define IDC_CLEAR_SHARE                 1005
#define IDC_DISCONNECT                  1005
#define IDC_CLEAR_CLOSED                1007
// Share tab pop-up menu items that are not panel commands.
#define IDM_FILE_REMEMBER_SHARE         1101
#define IDM_FILE_COPY_URL               1102
#define IDM_CON_DISCONNECT_SELECTED     1103
#define IDM_CON_KEEP_CLOSED             1104
#define IDM_CON_OPEN_RECEIVED           1105

// Network status dialog (its own unit). The hint shares its id with the dialog's test timer.
#define IDD_NETWORK_STATUS              8097
#define IDC_NETSTATUS_TITLE             1111
#define IDC_NETSTATUS_EXPLANATION       1113
#define IDC_NETSTATUS_TEST_TEXT         1114
#define IDC_NETSTATUS_CHANGE_PORT       1199
#define IDC_NETSTATUS_RUN_TEST          2222
#define IDC_NETSTATUS_HINT              1234

// ---- Network, Options and Help tabs; Change Port and Set Local IP dialogs -------------------
// Ids of those pages go below this line only.


// Network tab: "Internet IP Address" group, its button menu, "Network Port" group, its list
// menu, and the hidden "Statistics" group. Ids are per group (each group is the parent).
#define IDC_NET_DETECT_ADDRESS          1011
#define IDC_NET_AUTO_DETECT             1007
#define IDC_NET_ADDRESS                 1021
#define IDM_NET_DETECT_INTERNET         1501
#define IDM_NET_SET_TO_LAN              1502
#define IDC_NET_CHANGE_PORT             1001
#define IDC_NET_ENABLE_UPNP             1007
#define IDM_NET_SET_LOCAL_IP            1501
#define IDC_NET_CLEAR_STATS             1003
#define IDC_NET_REMEMBER_STATS          1004

// Change Port dialog.
#define IDD_CHANGE_PORT                 8001
#define IDC_CHANGE_PORT_TEXT            1101
#define IDC_CHANGE_PORT_NUMBER          9001

// Set Local IP dialog.
#define IDD_SET_LOCAL_IP                8002
#define IDC_LOCAL_IP_TEXT               1101
#define IDC_LOCAL_IP_FROM_LIST          2001
#define IDC_LOCAL_IP_TYPED              2002
#define IDC_LOCAL_IP_LIST               3001
#define IDC_LOCAL_IP_EDIT               9001

// Options tab: "Share Options", "Receive Options" and "Update" groups.
#define IDC_OPT_DISPLAY_NAME            1031
#define IDC_OPT_REQUIRE_LOGIN           1002
#define IDC_OPT_LOGIN_USER              1021
#define IDC_OPT_LOGIN_PASSWORD          1022
#define IDC_OPT_ALLOW_UPLOADS           1003
#define IDC_OPT_UPLOAD_FOLDER           1012
#define IDC_OPT_BROWSE                  1011
#define IDC_OPT_CHECK_NOW               1001
#define IDC_OPT_AUTO_UPDATE             1002

// Help tab: the getting-started document (Rich Text), a custom resource.
#define IDR_HELP_DOCUMENT_TYPE          1111
#define IDR_HELP_DOCUMENT               2001

// Update offer dialogs: 8003 for the share program alone, 8013 when the downloader runs too.
#define IDD_UPDATE                      8003
#define IDD_UPDATE_BOTH                 8013
#define IDC_UPDATE_TEXT                 1111
#define IDC_UPDATE_BITMAP               1112
#define IDB_PROGRAM                     1501
