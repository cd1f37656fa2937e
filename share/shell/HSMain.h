// The share program's shell: the program-wide objects that WinMain creates and the tab pages
// use (engine, log, shared-file registry, traffic counters, windows), the main window's
// services (activateApp, clipText, terminateGUI, the status refresh) and the network status
// fields the Network tab keeps current.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include "HSMainStatusRules.h"
#include "TabContext.h"

class Log;
class Server;
class FileHandler;
class TrafficCounters;
class TabWindow;
class ShareTab;

// Messages of the main window.
constexpr UINT WM_ENGINE_STOPPED = WM_USER + 5;
constexpr UINT WM_DESTROY_MAIN = WM_USER + 7;
constexpr UINT WM_TRAY_NOTIFY = WM_USER + 41;
// Asks the open network status dialog to recompute its texts.
constexpr UINT WM_NETSTATUS_REFRESH = WM_USER + 44;
// To the Options tab's update box: offer the installation of a downloaded update.
constexpr UINT WM_UPDATE_OFFER = WM_USER + 31;

constexpr UINT kSpeedTimerId = 1001;
constexpr UINT kTrayIconId = 1000;
// Class of every page container and panel.
constexpr const wchar_t* kEmptyClassName = L"EmptyClass";
constexpr const wchar_t* kMainClassName = L"WexaShare";
constexpr const wchar_t* kProductToken = L"Wexa-Share/1.2.1";

// ---- Program-wide objects (created by WinMain, read on the GUI thread) ----------------------
extern HINSTANCE g_instance;
extern Log* g_log;
extern Server* g_server;               // null when the engine did not start
extern FileHandler* g_fileHandler;
extern TrafficCounters* g_trafficCounters;

extern HWND g_mainWindow;
extern HWND g_tabControl;
extern HWND g_statusBar;
extern HWND g_copyButton;
extern HFONT g_messageFont;
// The pages' background: the tab control's own themed look, or the plain button face.
extern HBRUSH g_tabBrush;
extern HCURSOR g_splitCursorVertical;     // resource 1111
extern HCURSOR g_splitCursorHorizontal;   // resource 1112

extern ShareTab* g_shareTab;
extern TabWindow* g_networkTab;
extern TabWindow* g_optionsTab;
extern TabWindow* g_helpTab;

// Windows of the pages that the main window sends commands to, filled in by the pages.
extern PageWindows g_pageWindows;
// Set by the updater once an installer has been downloaded (restoring the window offers it).
extern bool g_updateDownloaded;

// ---- Main window services ------------------------------------------------------------------
// Brings the main window to the front (restoring it when minimized).
void activateApp();
// Puts text on the clipboard as CF_UNICODETEXT.
bool clipText(const wchar_t* text);
// Posts WM_DESTROY_MAIN to the main window.
void terminateGUI();
// Status bar part 1 := the Internet URL. The full form also redraws the network status
// (part 2) and asks an open network status dialog to refresh.
void refreshAddressStatus(bool full);

// ---- Implemented by the Network, Options and Help tab units ------------------------------
// Each returns a new page (not yet initialised), or null when memory runs out. The Network
// tab's unit also owns the listener list.
TabWindow* newNetworkTab(const TabContext& context);
TabWindow* newOptionsTab(const TabContext& context);
TabWindow* newHelpTab(const TabContext& context);
// The listener list with its one record for port (start-up, before the window exists) and
// its release at exit.
void createListenerList(WORD port);
void freeListenerList();
// Starts the listener of the first record and shows its row (after the engine and the tabs).
void startListeners();
// Chooses LocalAddress from the host's addresses (start-up, when DetectLocalIP is on).
void doDetectLocal();
// Configured ports of the listener list, for the URL port; returns how many were written.
size_t configuredPorts(WORD* out, size_t capacity);

// ---- Implemented by HSMain: network status (GUI thread; test-succeeded is in NetStatus.h) --
// Listeners that are listening, in the order they became active.
// Adding and removing refresh the status displays (refreshAddressStatus(true)).
void addActivePort(WORD port);
void removeActivePort(WORD port);
size_t activePorts(WORD* out, size_t capacity);
// States 0 settled, 1 pending, 2 failed; results as the UPnP and firewall controllers report.
struct NetStatusFields {
    DWORD upnpState = 0;
    DWORD upnpResult = 0;
    DWORD firewallState = 1;
    DWORD firewallResult = 0;
};
extern NetStatusFields g_netStatus;
// The status as the status line and the network status dialog read it.
NetStatusInput currentNetStatus();

// ---- Network status dialog (NetStatusDialog.cpp) -------------------------------------------
// Runs the dialog modally over the main window; afterwards posts a deferred update offer.
void showNetStatus();
// The open dialog, or null.
HWND netStatusDialog();
// Set by the updater when it holds back its offer because the dialog is open.
extern bool g_updateOfferDeferred;
// Set before the dialog opens by itself after the first start (it then shows its hint).
extern bool g_firstStartHint;

// ---- Implemented by HSMain: addresses (heap texts, delete[]; ServerUrls.h builds them) -----
// "http://" + ServerAddress + (":port" unless 80) + "/" + path (path may be null).
wchar_t* makeServerUrl(const wchar_t* path);
// The loopback URL, or the LAN URL (LocalAddress) with useLan.
wchar_t* makeLocalUrl(bool useLan);
