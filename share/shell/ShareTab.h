// The Share page: the list of shared files and folders above, the list of HTTP connections
// below, a splitter between them. It is the notify window of the shared-file registry and of
// every connection; ShareTab.cpp holds the file side, ShareTabConnections.cpp the connection
// side and ShareTabImages.cpp the drawn status images.
#pragma once
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include "TabWindow.h"

class FileHandler;

class ShareTab : public TabWindow {
public:
    explicit ShareTab(const TabContext& context);
    ~ShareTab() override;

    bool init(HINSTANCE instance, HWND tabControl) override;
    void hide() override;
    void show() override;
    void resize(int left, int top, int right, int bottom) override;

    // The page's two command targets: the file panel (1001 share files, 1002 share a folder,
    // 1003 remove, 1005 clear) and the connection panel (1005 disconnect, 1007 clear closed).
    HWND filePanel() const { return filePanel_; }
    HWND connectionPanel() const { return connectionPanel_; }
    // WM_DROPFILES of the main window: shares each dropped path and releases the handle.
    void dropFiles(HDROP drop);

protected:
    LRESULT wndProc(UINT_PTR tag, WNDPROC previous, HWND window, UINT message, WPARAM wParam,
                    LPARAM lParam) override;

private:
    enum Tag : UINT_PTR { TagContainer = 0, TagFilePanel = 1, TagConnectionPanel = 2, TagSplitter = 3 };

    // One live connection that has named a file.
    struct Tracked {
        DWORD connectionId;
        bool tracked;
        LONGLONG bytesDone;
        LONGLONG history[10];   // bytes done at the last ticks, oldest first
        LONGLONG speed;
        LONGLONG bytesTotal;
        wchar_t* receivedPath;  // full path of an upload's file, owned
        bool upload;
        bool uploadComplete;
        LONGLONG created;
    };
    // A received file shown in a closed row; double-clicking the row opens it.
    struct Received {
        wchar_t* display;   // the row's "File" text
        wchar_t* path;
    };

    LRESULT shareWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, bool* handled);
    LRESULT conWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, bool* handled);
    LRESULT splitterWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, bool* handled);
    void layout();

    // File list.
    bool createFileList();
    void onItemAdded(struct ItemInfo* info);
    void onItemRemoved(struct ItemInfo* info);
    void onItemStatus(struct ItemStatus* status);
    int findRowByParam(HWND list, LPARAM param);
    void shareFiles();
    void shareFolder();
    void removeSelected();
    void clearShare();
    void scrollToTopLater();
    void copySelectedUrl();
    void sortByColumn(int column);
    void fileMenu(int x, int y);
    void setCell(HWND list, int row, int column, const wchar_t* text, const wchar_t* function);

    // Connection list.
    bool createConnectionList();
    void onConnectionOpened(DWORD id, struct ConnectionStatus* status);
    void onConnectionStatus(DWORD id, struct ConnectionStatus* status);
    void onConnectionClosed(DWORD id);
    void onSpeedTimer();
    void disconnectSelected(bool firstOnly);
    void clearClosed();
    void connectionMenu(int x, int y);
    void openReceivedFiles();
    Tracked* findTracked(DWORD id);
    Tracked* track(DWORD id);
    void untrack(DWORD id);
    void rememberReceived(const wchar_t* display, const wchar_t* path);
    const wchar_t* receivedPathFor(const wchar_t* display);

    bool createStatusImages();

    FileHandler* files_;
    HWND container_ = nullptr;
    HWND filePanel_ = nullptr;
    HWND fileList_ = nullptr;
    HWND splitter_ = nullptr;
    HWND connectionPanel_ = nullptr;
    HWND connectionList_ = nullptr;
    int fileCount_ = 0;
    HMENU fileMenu_ = nullptr;
    HMENU connectionMenu_ = nullptr;
    HIMAGELIST fileImages_ = nullptr;
    HIMAGELIST statusImages_ = nullptr;
    int panelHeight_ = 180;
    bool dragging_ = false;
    int dragOffset_ = 0;
    RECT area_ = {};
    int closedCount_ = 0;
    Tracked* tracked_ = nullptr;
    size_t trackedCount_ = 0;
    size_t trackedCapacity_ = 0;
    Received* received_ = nullptr;
    size_t receivedCount_ = 0;
    LONGLONG frequency_ = 1;
};
