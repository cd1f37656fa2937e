// The Network page: the listener list and its port box (one HTTPListener per configured port,
// replaced when the user changes the port), the Internet address box, and the hidden
// statistics box. The list functions of HSMain.h (createListenerList, startListeners,
// configuredPorts, freeListenerList) live in NetworkTab.cpp beside the page that drives them.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>

#include "TabWindow.h"

struct PortStatus;
struct AddressReply;

// To the statistics box: lParam is a TrafficTotals (new), freed by the receiver.
constexpr UINT WM_TRAFFIC_COUNTS = WM_USER + 21;
struct TrafficTotals {
    ULONGLONG sent;
    ULONGLONG received;
};

// One configured port and the listener started for it (GUI thread only).
struct ListenerRecord {
    enum State : int { NotListening = 0, Starting = 1, Active = 2 };
    DWORD reserved;
    WORD port;
    DWORD listenerId;   // 0 before the first start
    bool restart;       // start a new listener when the current one terminates
    bool closing;       // drop the record when its listener terminates
    int state;
};

class NetworkTab : public TabWindow {
public:
    explicit NetworkTab(const TabContext& context);
    ~NetworkTab() override;

    bool init(HINSTANCE instance, HWND tabControl) override;
    void hide() override;
    void show() override;
    void resize(int left, int top, int right, int bottom) override;

    // Start-up: starts the first record's listener and shows its row.
    void addListeners();
    // Asks the listener to stop; its record goes once the termination has arrived.
    void closeListener(DWORD id);

    // The port box also takes "Change Port Number..." from elsewhere: send it WM_COMMAND
    // IDC_NET_CHANGE_PORT with lParam = the window the dialog should be modal over (the
    // network status dialog), or 0 for the main window.
    HWND portBox() const { return portBox_; }
    HWND addressBox() const { return addressBox_; }
    HWND portList() const { return portList_; }

protected:
    LRESULT wndProc(UINT_PTR tag, WNDPROC previous, HWND window, UINT message, WPARAM wParam,
                    LPARAM lParam) override;

private:
    enum Tag : UINT_PTR { TagPortBox = 0, TagAddressBox = 2, TagStatsBox = 3, TagDetectButton = 4 };

    LRESULT portWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT addrWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT statsWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    bool startListener(ListenerRecord* record);
    // Inserts the row of a freshly started record with "Initiating".
    void insertRow(ListenerRecord* record, const wchar_t* function);
    int findRow(DWORD listenerId);
    void setCell(int row, int column, const wchar_t* text, const wchar_t* function);
    void changePort(HWND owner);
    void onListening(DWORD id);
    void onListenerEnded(DWORD id);
    void onPortStatus(DWORD id, PortStatus* status);
    LRESULT customDraw(NMLVCUSTOMDRAW* draw);
    void showAddressMenu(int x, int y);
    // Detect Address: registers an AddrRequester; the button is busy until it has ended.
    void startAddressRequest();
    // WM_USER+17: the web service's reply becomes the box's text when it carries an address.
    void showAddressReply(AddressReply* reply);
    void showTrafficTotals(const TrafficTotals& totals);

    HWND addressBox_ = nullptr;
    HWND detectButton_ = nullptr;
    HWND addressEdit_ = nullptr;
    HWND autoDetectBox_ = nullptr;
    HWND portBox_ = nullptr;
    HWND portList_ = nullptr;
    HWND changePortButton_ = nullptr;
    HWND upnpBox_ = nullptr;
    HMENU portMenu_ = nullptr;
    HWND statsBox_ = nullptr;
    HWND receivedText_ = nullptr;
    HWND sentText_ = nullptr;
    HWND rememberStatsBox_ = nullptr;
    HWND clearStatsButton_ = nullptr;

    DWORD currentListenerId_ = 0;
    DWORD currentFailed_ = 0;          // 0, or 2 once the current listener has terminated
    DWORD currentUPnPState_ = 0;       // 0 settled, 1 pending, 2 failed (colouring)
    DWORD currentFirewallState_ = 0;
    int addressRequests_ = 0;          // AddrRequesters started and not yet ended
};
