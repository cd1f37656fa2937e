// NetworkTab: the listener list and the port box that turns listener messages into rows and
// network status, the Internet address box, the statistics box and the Change Port dialog.
// The Set Local IP dialog lives in NetworkTabDialogs.cpp.
#include "NetworkTab.h"

#include "AddrRequester.h"
#include "AddressResponse.h"
#include "HSMain.h"
#include "HSMainSettings.h"
#include "HTTPListener.h"
#include "Log.h"
#include "NetStatus.h"
#include "NetworkTabDialogs.h"
#include "ServerUrls.h"
#include "ServerWithReg.h"
#include "ShareRes.h"
#include "TabControls.h"
#include "TextHelpers.h"
#include "TrafficCounters.h"

static const wchar_t kLogUnit[] = L"NetworkTab";

namespace {

enum Column : int { ColumnPort = 0, ColumnStatus = 1, ColumnFirewall = 2, ColumnUPnP = 3 };

const wchar_t kInitiating[] = L"Initiating";
const COLORREF kFailedColour = RGB(255, 0, 0);

// The listener list: program-wide, touched on the GUI thread only, in the order records were
// added (the first one is the share port at start-up).
ListenerRecord** g_records = nullptr;
size_t g_recordCount = 0;
NetworkTab* g_page = nullptr;

ListenerRecord* appendRecord(WORD port) {
    ListenerRecord** grown = new ListenerRecord*[g_recordCount + 1];
    for (size_t i = 0; i < g_recordCount; ++i)
        grown[i] = g_records[i];
    ListenerRecord* record = new ListenerRecord{0, port, 0, false, false, ListenerRecord::NotListening};
    grown[g_recordCount++] = record;
    delete[] g_records;
    g_records = grown;
    return record;
}

ListenerRecord* findRecord(DWORD listenerId) {
    for (size_t i = 0; i < g_recordCount; ++i) {
        if (g_records[i]->listenerId == listenerId)
            return g_records[i];
    }
    return nullptr;
}

void removeRecord(ListenerRecord* record) {
    for (size_t i = 0; i < g_recordCount; ++i) {
        if (g_records[i] == record) {
            for (size_t j = i + 1; j < g_recordCount; ++j)
                g_records[j - 1] = g_records[j];
            --g_recordCount;
            delete record;
            return;
        }
    }
}

// "Received: " / "Sent: " followed by the size, 8-bit text as the box has always shown it.
void setSizeText(HWND window, const char* label, ULONGLONG bytes) {
    char text[64];
    size_t length = copyBounded(text, sizeof text, label);
    formatSize(static_cast<int64_t>(bytes), text + length, sizeof text - length);
    SetWindowTextA(window, text);
}

void postTrafficTotals(HWND window, ULONGLONG sent, ULONGLONG received, Log* log, const wchar_t* function) {
    TrafficTotals* totals = new TrafficTotals{sent, received};
    if (!PostMessageW(window, WM_TRAFFIC_COUNTS, 0, reinterpret_cast<LPARAM>(totals))) {
        DWORD error = GetLastError();
        LOG_ERROR(log, function, L"PostMessage", error);
        delete totals;
    }
}

}  // namespace

// ---- Listener list (HSMain.h) ----------------------------------------------------------------

void createListenerList(WORD port) {
    appendRecord(port);
}

void freeListenerList() {
    for (size_t i = 0; i < g_recordCount; ++i)
        delete g_records[i];
    delete[] g_records;
    g_records = nullptr;
    g_recordCount = 0;
}

void startListeners() {
    if (g_page)
        g_page->addListeners();
}

size_t configuredPorts(WORD* out, size_t capacity) {
    size_t n = g_recordCount < capacity ? g_recordCount : capacity;
    for (size_t i = 0; i < n; ++i)
        out[i] = g_records[i]->port;
    return n;
}

TabWindow* newNetworkTab(const TabContext& context) {
    return new NetworkTab(context);
}

// ---- The page ------------------------------------------------------------------------------

NetworkTab::NetworkTab(const TabContext& context) : TabWindow(context) {}

NetworkTab::~NetworkTab() {
    if (portMenu_)
        DestroyMenu(portMenu_);
    if (g_page == this)
        g_page = nullptr;
    if (context_.windows->portBox == portBox_)
        context_.windows->portBox = nullptr;
    if (context_.windows->addressBox == addressBox_)
        context_.windows->addressBox = nullptr;
}

bool NetworkTab::init(HINSTANCE instance, HWND tabControl) {
    static const wchar_t kFunction[] = L"NetworkTab::init";
    instance_ = instance;
    tabControl_ = tabControl;
    const DWORD groupStyle = BS_GROUPBOX | WS_CLIPSIBLINGS;

    addressBox_ = createChild(L"BUTTON", L"Internet IP Address", groupStyle, 0, 0, 10, 10, tabControl, 0,
                              WS_EX_NOPARENTNOTIFY | WS_EX_CONTROLPARENT);
    if (!addressBox_) {
        LOG_ERROR(log_, kFunction, L"CreateWindow", GetLastError());
        return false;
    }
    detectButton_ = createChild(L"BUTTON", L"Detect Address", BS_PUSHBUTTON | WS_TABSTOP, 8, 50, 110, 20,
                                addressBox_, IDC_NET_DETECT_ADDRESS);
    autoDetectBox_ = createChild(L"BUTTON", L"Auto-detect address", BS_AUTOCHECKBOX | WS_TABSTOP, 128, 50, 150,
                                 20, addressBox_, IDC_NET_AUTO_DETECT);
    addressEdit_ = createChild(L"EDIT", L"", ES_AUTOHSCROLL | WS_TABSTOP, 8, 20, 200, 20, addressBox_,
                               IDC_NET_ADDRESS, WS_EX_CLIENTEDGE);
    if (!detectButton_ || !autoDetectBox_ || !addressEdit_) {
        LOG_ERROR(log_, kFunction, L"CreateWindow", GetLastError());
        return false;
    }

    portBox_ = createChild(L"BUTTON", L"Network Port", groupStyle, 0, 0, 10, 10, tabControl, 0,
                           WS_EX_CONTROLPARENT);
    if (!portBox_) {
        LOG_ERROR(log_, kFunction, L"CreateWindow", GetLastError());
        return false;
    }
    portList_ = createChild(WC_LISTVIEWW, L"",
                            LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | WS_TABSTOP, 8, 50, 200, 80,
                            portBox_, 0, WS_EX_CLIENTEDGE);
    if (!portList_) {
        LOG_ERROR(log_, kFunction, L"CreateWindowEx", GetLastError());
        return false;
    }
    ListView_SetExtendedListViewStyle(portList_, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
    static const struct {
        const wchar_t* title;
        int width;
    } kColumns[] = {{L"Port", 100}, {L"Status", 200}, {L"Firewall Status", 200}, {L"UPnP Status", 200}};
    for (int i = 0; i < 4; ++i) {
        LVCOLUMNW column = {};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
        column.pszText = const_cast<wchar_t*>(kColumns[i].title);
        column.cx = kColumns[i].width;
        column.iSubItem = i;
        if (ListView_InsertColumn(portList_, i, &column) < 0)
            LOG_ERROR(log_, kFunction, L"ListView_InsertColumn", GetLastError());
    }
    changePortButton_ = createChild(L"BUTTON", L"Change Port Number...", BS_PUSHBUTTON | WS_TABSTOP, 8, 20, 130,
                                    20, portBox_, IDC_NET_CHANGE_PORT);
    upnpBox_ = createChild(L"BUTTON", L"Enable UPnP", BS_AUTOCHECKBOX | WS_TABSTOP, 148, 20, 100, 20, portBox_,
                           IDC_NET_ENABLE_UPNP);
    if (!changePortButton_ || !upnpBox_) {
        LOG_ERROR(log_, kFunction, L"CreateWindow", GetLastError());
        return false;
    }
    portMenu_ = CreatePopupMenu();
    if (!portMenu_ || !AppendMenuW(portMenu_, MF_STRING, IDM_NET_SET_LOCAL_IP, L"Set Local IP"))
        LOG_ERROR(log_, kFunction, L"CreatePopupMenu", GetLastError());

    // Never shown nor laid out: the status bar carries the running totals. Its controls work.
    statsBox_ = CreateWindowExW(0, L"BUTTON", L"Statistics", WS_CHILD | groupStyle, 0, 0, 300, 110, tabControl,
                                nullptr, instance, nullptr);
    if (!statsBox_) {
        LOG_ERROR(log_, kFunction, L"CreateWindow", GetLastError());
        return false;
    }
    SendMessageW(statsBox_, WM_SETFONT, reinterpret_cast<WPARAM>(g_messageFont), FALSE);
    ULONGLONG sent = 0, received = 0;
    if (context_.counters)
        context_.counters->read(&sent, &received);
    receivedText_ = createChild(L"STATIC", L"", 0, 8, 20, 150, 20, statsBox_, 0);
    sentText_ = createChild(L"STATIC", L"", 0, 8, 45, 150, 20, statsBox_, 0);
    rememberStatsBox_ = createChild(L"BUTTON", L"Remember on Exit", BS_AUTOCHECKBOX | WS_TABSTOP, 8, 75, 130, 20,
                                    statsBox_, IDC_NET_REMEMBER_STATS);
    clearStatsButton_ = createChild(L"BUTTON", L"Clear Stats", BS_PUSHBUTTON | WS_TABSTOP, 148, 75, 100, 20,
                                    statsBox_, IDC_NET_CLEAR_STATS);
    if (!receivedText_ || !sentText_ || !rememberStatsBox_ || !clearStatsButton_) {
        LOG_ERROR(log_, kFunction, L"CreateWindow", GetLastError());
        return false;
    }
    showTrafficTotals(TrafficTotals{sent, received});

    if (!subclassWindow(addressBox_, TagAddressBox) || !subclassWindow(portBox_, TagPortBox) ||
        !subclassWindow(statsBox_, TagStatsBox) || !subclassWindow(detectButton_, TagDetectButton)) {
        LOG_ERROR(log_, kFunction, L"SetWindowLongPtr", GetLastError());
        return false;
    }

    // Initial states last: setting the edit's text sends EN_CHANGE, which must find the
    // subclassed box and store the same text back.
    SendMessageW(autoDetectBox_, BM_SETCHECK, g_settings.autoDetectAddress ? BST_CHECKED : BST_UNCHECKED, 0);
    SendMessageW(upnpBox_, BM_SETCHECK, getEnableUPnP() ? BST_CHECKED : BST_UNCHECKED, 0);
    SendMessageW(rememberStatsBox_, BM_SETCHECK, g_settings.rememberStats ? BST_CHECKED : BST_UNCHECKED, 0);
    SendMessageW(addressEdit_, EM_LIMITTEXT, kAddressTextCapacity - 13, 0);
    SetWindowTextW(addressEdit_, g_settings.serverAddress);

    g_page = this;
    context_.windows->portBox = portBox_;
    context_.windows->addressBox = addressBox_;
    return true;
}

void NetworkTab::hide() {
    ShowWindow(addressBox_, SW_HIDE);
    ShowWindow(portBox_, SW_HIDE);
}

void NetworkTab::show() {
    ShowWindow(addressBox_, SW_SHOW);
    ShowWindow(portBox_, SW_SHOW);
}

void NetworkTab::resize(int left, int top, int right, int bottom) {
    int width = right - left;
    placeChild(portBox_, left + 2, top + 2, width - 4, 140);
    int changeWidth = fitWidth(changePortButton_, 130, kButtonExtra);
    placeChild(changePortButton_, 8, 20, changeWidth, 20);
    int upnpLeft = 8 + changeWidth + 10;
    placeChild(upnpBox_, upnpLeft > 148 ? upnpLeft : 148, 20, fitWidth(upnpBox_, 100, kCheckBoxExtra), 20);
    placeChild(portList_, 8, 50, width - 20, 80);
    placeChild(addressBox_, left + 2, top + 167, width - 4, 80);
    placeChild(addressEdit_, 8, 20, width - 20, 20);
    int detectWidth = fitWidth(detectButton_, 110, kButtonExtra);
    placeChild(detectButton_, 8, 50, detectWidth, 20);
    int autoLeft = 8 + detectWidth + 10;
    placeChild(autoDetectBox_, autoLeft > 128 ? autoLeft : 128, 50, fitWidth(autoDetectBox_, 150, kCheckBoxExtra),
               20);
}

LRESULT NetworkTab::wndProc(UINT_PTR tag, WNDPROC previous, HWND window, UINT message, WPARAM wParam,
                            LPARAM lParam) {
    if (tag == TagDetectButton) {
        // A right click on Detect Address offers the same menu as status-bar part 1.
        if (message == WM_RBUTTONUP) {
            POINT point = {static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
            ClientToScreen(window, &point);
            showAddressMenu(point.x, point.y);
            return 0;
        }
        return CallWindowProcW(previous, window, message, wParam, lParam);
    }
    LRESULT handled = 0;
    if (tag == TagPortBox)
        handled = portWndProc(window, message, wParam, lParam);
    else if (tag == TagAddressBox)
        handled = addrWndProc(window, message, wParam, lParam);
    else if (tag == TagStatsBox)
        handled = statsWndProc(window, message, wParam, lParam);

    // A group box is painted like the page behind it, aligned to the tab control.
    LRESULT result;
    if (paintBackground(window, message, wParam, lParam, &result))
        return result;
    if (message == WM_NOTIFY && handled)
        return handled;
    return CallWindowProcW(previous, window, message, wParam, lParam);
}

// ---- Port box ------------------------------------------------------------------------------

LRESULT NetworkTab::portWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_NET_CHANGE_PORT && HIWORD(wParam) == BN_CLICKED) {
            // From our own button lParam is the button; from the network status dialog it is
            // that dialog, which the Change Port dialog then sits over.
            HWND from = reinterpret_cast<HWND>(lParam);
            changePort(from && from != changePortButton_ && IsWindow(from) ? from : context_.mainWindow);
        } else if (LOWORD(wParam) == IDC_NET_ENABLE_UPNP && HIWORD(wParam) == BN_CLICKED) {
            bool on = isChecked(upnpBox_);
            setEnableUPnP(on);
            setTestSucceeded(false);
            if (context_.server && currentListenerId_ &&
                !context_.server->messageObject(currentListenerId_, on ? HTTPListener::MsgStartUPnP
                                                                : HTTPListener::MsgStopUPnP))
                LOG_ERROR_TEXT(log_, L"NetworkTab::portWndProc", L"messageObject failed");
        }
        return 0;
    case WM_NOTIFY: {
        NMHDR* header = reinterpret_cast<NMHDR*>(lParam);
        if (header->hwndFrom != portList_)
            return 0;
        if (header->code == NM_CUSTOMDRAW)
            return customDraw(reinterpret_cast<NMLVCUSTOMDRAW*>(lParam));
        if (header->code == NM_RCLICK && portMenu_) {
            POINT point;
            GetCursorPos(&point);
            UINT chosen = TrackPopupMenu(portMenu_, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, point.x,
                                         point.y, 0, window, nullptr);
            if (chosen == IDM_NET_SET_LOCAL_IP && runSetLocalIpDialog(context_.mainWindow) == 1 && getEnableUPnP() &&
                context_.server && currentListenerId_) {
                // Remove the mapping and make it again for the new internal client.
                context_.server->messageObject(currentListenerId_, HTTPListener::MsgStopUPnP);
                context_.server->messageObject(currentListenerId_, HTTPListener::MsgStartUPnP);
            }
        }
        return 0;
    }
    case WM_LISTENER_READY:
        onListening(static_cast<DWORD>(wParam));
        return 0;
    case WM_LISTENER_ENDED:
        onListenerEnded(static_cast<DWORD>(wParam));
        return 0;
    case WM_LISTENER_STATUS:
        onPortStatus(static_cast<DWORD>(wParam), reinterpret_cast<PortStatus*>(lParam));
        return 0;
    }
    return 0;
}

bool NetworkTab::startListener(ListenerRecord* record) {
    bool started = false;
    if (context_.server) {
        HTTPListener* listener = new HTTPListener(context_.server, portBox_, programServerSettings(), context_.files, context_.counters, 0,
                                                  record->port, context_.windows->connectionPanel);
        record->listenerId = listener->id();
        started = context_.server->addObject(listener);
        if (started)
            record->state = ListenerRecord::Starting;
        else
            delete listener;   // never registered: the engine does not know it
    }
    record->restart = false;
    currentListenerId_ = record->listenerId;
    // The new current listener has not failed (yet); the old one's failure is not its own.
    currentFailed_ = 0;
    return started;
}

void NetworkTab::insertRow(ListenerRecord* record, const wchar_t* function) {
    wchar_t portText[8];
    wsprintfW(portText, L"%u", static_cast<unsigned>(record->port));
    LVITEMW item = {};
    item.mask = LVIF_TEXT | LVIF_PARAM;
    item.iItem = ListView_GetItemCount(portList_);
    item.pszText = portText;
    item.lParam = static_cast<LPARAM>(record->listenerId);
    int row = ListView_InsertItem(portList_, &item);
    if (row < 0) {
        LOG_ERROR(log_, function, L"ListView_InsertItem", GetLastError());
        return;
    }
    setCell(row, ColumnStatus, kInitiating, function);
}

int NetworkTab::findRow(DWORD listenerId) {
    LVFINDINFOW find = {};
    find.flags = LVFI_PARAM;
    find.lParam = static_cast<LPARAM>(listenerId);
    return ListView_FindItem(portList_, -1, &find);
}

void NetworkTab::setCell(int row, int column, const wchar_t* text, const wchar_t* function) {
    LVITEMW item = {};
    item.mask = LVIF_TEXT;
    item.iItem = row;
    item.iSubItem = column;
    item.pszText = const_cast<wchar_t*>(text);
    if (!SendMessageW(portList_, LVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&item)))
        LOG_ERROR(log_, function, L"ListView_SetItem", GetLastError());
}

void NetworkTab::addListeners() {
    static const wchar_t kFunction[] = L"NetworkTab::addListeners";
    if (!g_recordCount)
        return;
    ListenerRecord* record = g_records[0];
    if (!startListener(record))
        LOG_ERROR_TEXT(log_, kFunction, L"startListener failed");
    insertRow(record, kFunction);
}

void NetworkTab::closeListener(DWORD id) {
    if (!id)
        return;
    ListenerRecord* record = findRecord(id);
    // A listener that already ended (or was never registered) has nothing left to stop.
    bool running = !record || record->state != ListenerRecord::NotListening;
    if (running && (!context_.server || !context_.server->terminateObject(id)))
        LOG_ERROR_TEXT(log_, L"NetworkTab::closeListener", L"terminateObject failed");
    if (!record)
        return;
    record->closing = true;
    // A listener that is not listening any more (or never was) sends no termination: act on
    // its behalf so that its record and row go now.
    if (record->state == ListenerRecord::NotListening)
        SendMessageW(portBox_, WM_LISTENER_ENDED, id, 0);
}

void NetworkTab::changePort(HWND owner) {
    static const wchar_t kFunction[] = L"NetworkTab::portWndProc";
    INT_PTR chosen = runChangePortDialog(owner);
    if (chosen < 1 || chosen > 65535)
        return;
    WORD port = static_cast<WORD>(chosen);
    g_settings.sharePort = port;
    ListenerRecord* record = appendRecord(port);
    closeListener(currentListenerId_);
    if (!startListener(record))
        LOG_ERROR_TEXT(log_, kFunction, L"startListener failed");
    insertRow(record, kFunction);

    currentUPnPState_ = 0;
    currentFirewallState_ = 0;
    g_netStatus = NetStatusFields();
    g_netStatus.firewallState = 0;
    setTestSucceeded(false);
    refreshAddressStatus(true);
}

void NetworkTab::onListening(DWORD id) {
    ListenerRecord* record = findRecord(id);
    if (record)
        record->state = ListenerRecord::Active;
    currentFailed_ = 0;
    int row = findRow(id);
    if (row >= 0)
        setCell(row, ColumnStatus, L"Active", L"NetworkTab::portWndProc");
    if (record)
        addActivePort(record->port);
    InvalidateRect(portList_, nullptr, FALSE);
}

void NetworkTab::onListenerEnded(DWORD id) {
    static const wchar_t kFunction[] = L"NetworkTab::portWndProc";
    if (id == currentListenerId_)
        currentFailed_ = 2;
    int row = findRow(id);
    if (row >= 0)
        setCell(row, ColumnStatus, getPortInUse() ? L"Failed, Port Already In Use" : L"Failed", kFunction);
    ListenerRecord* record = findRecord(id);
    if (record) {
        // Only a listener that was listening has a place in the active ports: a failed start on
        // the same port must not take away the entry of the one still serving it.
        bool wasActive = record->state == ListenerRecord::Active;
        record->state = ListenerRecord::NotListening;
        if (wasActive)
            removeActivePort(record->port);
        if (record->restart) {
            if (!startListener(record))
                LOG_ERROR_TEXT(log_, kFunction, L"startListener failed");
            if (row >= 0) {
                LVITEMW item = {};
                item.mask = LVIF_PARAM;
                item.iItem = row;
                item.lParam = static_cast<LPARAM>(record->listenerId);
                ListView_SetItem(portList_, &item);
                setCell(row, ColumnStatus, kInitiating, kFunction);
            }
        } else if (record->closing) {
            // The record goes even without a row: it would otherwise keep its port among the
            // configured ones that the URLs are built from.
            removeRecord(record);
            if (row >= 0 && !ListView_DeleteItem(portList_, row))
                LOG_ERROR(log_, kFunction, L"ListView_DeleteItem", GetLastError());
        }
    }
    InvalidateRect(portList_, nullptr, FALSE);
}

void NetworkTab::onPortStatus(DWORD id, PortStatus* status) {
    if (!status)
        return;
    static const wchar_t kFunction[] = L"NetworkTab::portWndProc";
    int row = findRow(id);
    bool current = id == currentListenerId_;
    if (row >= 0) {
        if (status->column == PortStatus::Firewall) {
            status->firewallText[kPortStatusTextUnits - 1] = 0;
            setCell(row, ColumnFirewall, status->firewallText, kFunction);
            // An older listener's news changes its row only, never the program's status.
            if (current) {
                currentFirewallState_ = status->firewallState;
                g_netStatus.firewallState = status->firewallState;
                g_netStatus.firewallResult = status->lastFirewallResult;
                refreshAddressStatus(true);
            }
        } else if (status->column == PortStatus::UPnP) {
            status->upnpText[kPortStatusTextUnits - 1] = 0;
            setCell(row, ColumnUPnP, status->upnpText, kFunction);
            if (current) {
                currentUPnPState_ = status->upnpState;
                g_netStatus.upnpState = status->upnpState;
                g_netStatus.upnpResult = status->lastUPnPResult;
                refreshAddressStatus(true);
            }
        }
        InvalidateRect(portList_, nullptr, FALSE);
    }
    delete status;
}

LRESULT NetworkTab::customDraw(NMLVCUSTOMDRAW* draw) {
    switch (draw->nmcd.dwDrawStage) {
    case CDDS_PREPAINT:
        return CDRF_NOTIFYITEMDRAW;
    case CDDS_ITEMPREPAINT:
        return CDRF_NOTIFYSUBITEMDRAW;
    case CDDS_ITEMPREPAINT | CDDS_SUBITEM: {
        bool failed = false;
        if (draw->iSubItem == ColumnStatus)
            failed = currentFailed_ == 2;
        else if (draw->iSubItem == ColumnFirewall)
            failed = currentFirewallState_ == 2;
        else if (draw->iSubItem == ColumnUPnP)
            failed = currentUPnPState_ == 2;
        draw->clrText = failed ? kFailedColour : RGB(0, 0, 0);
        return CDRF_NEWFONT;
    }
    }
    return CDRF_DODEFAULT;
}

// ---- Address box ---------------------------------------------------------------------------

void NetworkTab::showAddressMenu(int x, int y) {
    HMENU menu = CreatePopupMenu();
    if (!menu) {
        LOG_ERROR(log_, L"NetworkTab::addrWndProc", L"CreatePopupMenu", GetLastError());
        return;
    }
    AppendMenuW(menu, MF_STRING, IDM_NET_DETECT_INTERNET, L"Detect Internet Address");
    AppendMenuW(menu, MF_STRING, IDM_NET_SET_TO_LAN, L"Set to LAN Address");
    UINT chosen = TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, x, y, 0, addressBox_,
                                 nullptr);
    DestroyMenu(menu);
    if (chosen)
        SendMessageW(addressBox_, WM_COMMAND, MAKEWPARAM(chosen, 0), 0);
}

LRESULT NetworkTab::addrWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_ADDRESS_REPLY) {
        showAddressReply(reinterpret_cast<AddressReply*>(lParam));
        return 0;
    }
    if (message == WM_ADDRESS_ENDED) {
        // The button stays busy while any request runs (the menu may start a second one).
        if (addressRequests_ > 0 && --addressRequests_ == 0) {
            SetWindowTextW(detectButton_, L"Detect Address");
            EnableWindow(detectButton_, TRUE);
        }
        return 0;
    }
    if (message != WM_COMMAND)
        return 0;
    WORD id = LOWORD(wParam);
    WORD code = HIWORD(wParam);
    if (reinterpret_cast<HWND>(lParam) == addressEdit_) {
        if (code == EN_CHANGE) {
            // Typed and detected addresses take the same road into ServerAddress.
            wchar_t text[kAddressTextCapacity];
            int length = GetWindowTextW(addressEdit_, text, 500);
            if (length < 0)
                length = 0;
            text[length] = 0;
            copyBounded(reinterpret_cast<char16_t*>(g_settings.serverAddress), kAddressTextCapacity,
                        reinterpret_cast<const char16_t*>(text));
            refreshAddressStatus(false);
        }
        return 0;
    }
    if (reinterpret_cast<HWND>(lParam) == autoDetectBox_) {
        if (code == BN_CLICKED)
            g_settings.autoDetectAddress = isChecked(autoDetectBox_);
        return 0;
    }
    if (reinterpret_cast<HWND>(lParam) == detectButton_) {
        if (id == IDC_NET_DETECT_ADDRESS && code == BN_CLICKED)
            startAddressRequest();
        return 0;
    }
    // Without a control: the start-up's simulated click (1011) or an item of the address menu.
    if (lParam)
        return 0;
    if (id == IDC_NET_DETECT_ADDRESS || id == IDM_NET_DETECT_INTERNET) {
        startAddressRequest();
    } else if (id == IDM_NET_SET_TO_LAN) {
        wchar_t* local = getLocalAddressCopy();
        if (local)
            SetWindowTextW(addressEdit_, local);   // EN_CHANGE stores it
        delete[] local;
    }
    return 0;
}

void NetworkTab::startAddressRequest() {
    if (!context_.server)
        return;
    AddrRequester* requester = new AddrRequester(context_.server, addressBox_);
    if (!context_.server->addObject(requester)) {
        delete requester;   // never registered: the engine does not know it
        return;
    }
    ++addressRequests_;
    SetWindowTextW(detectButton_, L"Detecting...");
    EnableWindow(detectButton_, FALSE);
}

void NetworkTab::showAddressReply(AddressReply* reply) {
    static const wchar_t kFunction[] = L"NetworkTab::addrWndProc";
    if (!reply)
        return;
    size_t body = 0;
    // Anything but a 200 with a body leaves the address as it was; the body is shown as it
    // stands, so an odd answer can be corrected by hand.
    if (findAddressBody(reply->bytes, static_cast<size_t>(reply->length), &body) == AddressResponse::kAddress) {
        const char* text = reply->bytes + body;
        int textLength = reply->length - static_cast<int>(body);
        int units = MultiByteToWideChar(CP_UTF8, 0, text, textLength, nullptr, 0);
        if (units <= 0) {
            LOG_ERROR(log_, kFunction, L"MultiByteToWideChar", GetLastError());
        } else {
            wchar_t* wide = new wchar_t[units + 1];
            int converted = MultiByteToWideChar(CP_UTF8, 0, text, textLength, wide, units);
            if (converted <= 0) {
                LOG_ERROR(log_, kFunction, L"MultiByteToWideChar", GetLastError());
            } else {
                wide[converted] = 0;
                SetWindowTextW(addressEdit_, wide);   // EN_CHANGE stores it and the status bar follows
            }
            delete[] wide;
        }
    }
    delete[] reply->bytes;
    delete reply;
}

// ---- Statistics box ------------------------------------------------------------------------

void NetworkTab::showTrafficTotals(const TrafficTotals& totals) {
    setSizeText(receivedText_, "Received: ", totals.received);
    setSizeText(sentText_, "Sent: ", totals.sent);
}

LRESULT NetworkTab::statsWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TRAFFIC_COUNTS) {
        TrafficTotals* totals = reinterpret_cast<TrafficTotals*>(lParam);
        if (totals) {
            showTrafficTotals(*totals);
            delete totals;
        }
        return 0;
    }
    if (message != WM_COMMAND || HIWORD(wParam) != BN_CLICKED)
        return 0;
    if (LOWORD(wParam) == IDC_NET_CLEAR_STATS) {
        if (context_.counters)
            context_.counters->clear();
        postTrafficTotals(statsBox_, 0, 0, log_, L"NetworkTab::statsWndProc");
    } else if (LOWORD(wParam) == IDC_NET_REMEMBER_STATS) {
        g_settings.rememberStats = isChecked(rememberStatsBox_);
    }
    return 0;
}
