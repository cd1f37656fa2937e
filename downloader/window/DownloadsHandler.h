// The downloads view: the address bar, the list of downloads, the details panel with Pause,
// Remove and the connection box, and the tabbed Progress, Details and Connections pages. Its
// list area is the window every engine object of a download reports to; the view hands those
// messages to the DownloadsList and shows what changed.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>

#include <string>

#include "DownloadsList.h"
#include "WndProcDispatcher1.h"

class Log;
class Server;
class ReceivedCounter;

// What the view needs from the program around it.
class ViewHost {
public:
    virtual void newDownloadDialog() = 0;
    virtual const std::wstring& downloadFolder() = 0;

protected:
    ~ViewHost() {}
};

struct ViewContext {
    Log* log;
    Server* server;
    HINSTANCE instance;
    HWND mainWindow;
    HFONT font;
    ReceivedCounter* counter;
    ViewHost* host;
};

class DownloadsHandler final : public WndProcDispatcher1, private DownloadsObserver {
public:
    explicit DownloadsHandler(const ViewContext& context);
    ~DownloadsHandler() override;
    DownloadsHandler(const DownloadsHandler&) = delete;
    DownloadsHandler& operator=(const DownloadsHandler&) = delete;

    bool init(HWND hostWindow);
    // Messages of the host window (layout and tabs); false when not used.
    bool hostMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);

    DownloadsList* downloads() { return list_; }
    // A URL from the New Download dialog: ignored when it does not parse.
    void addFromDialog(const wchar_t* url, size_t length, bool saveAs);
    void listDownload(DownloadEntry* entry);
    void updateDownloaderInList(DWORD entryId);
    void viewDetails(DWORD entryId, bool force);

private:
    enum Tag : UINT_PTR { TagListArea = 0, TagDetails = 1, TagAddressBar = 2, TagProgressPage = 3, TagUrlEdit = 4 };

    LRESULT wndProc(UINT_PTR tag, WNDPROC previous, HWND window, UINT message, WPARAM wParam,
                    LPARAM lParam) override;
    // DownloadsObserver
    void entryAdded(DownloadEntry* entry) override;
    void statusChanged(DownloadEntry* entry) override;
    void entryCompleted(DownloadEntry* entry) override;
    void entryFailed(DownloadEntry* entry) override;
    void credentialsNeeded(DownloadEntry* entry) override;
    void entryRemoved(DWORD entryId) override;

    HWND createControl(DWORD exStyle, const wchar_t* className, const wchar_t* text, DWORD style, int x, int y,
                       int width, int height, HWND parent, int id);
    bool createControls();
    bool createLists();
    void createStatusImages();
    void createContextMenu();
    void layout(int width, int height);
    void showPage(int index);

    LRESULT listAreaMessage(WNDPROC previous, HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void engineMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void listNotify(const NMHDR* header);
    void contextMenu(POINT at);
    // A command of the context menu, also when it arrives as WM_COMMAND on the list area.
    void contextCommand(int command);
    void detailsCommand(WORD id, WORD code);
    void addressBarDownload();
    void paintProgress(HWND window);

    DownloadEntry* selectedEntry();
    int findRow(DWORD entryId);
    void nothingSelected();
    void fillRanges(DownloadEntry* entry);
    void fillConnections(DownloadEntry* entry);
    void pauseSelected();
    void removeSelected();
    void changeUrlSelected();
    void openPath(const wchar_t* path);
    void copyText(const std::wstring& text);

    Log* log_;
    Server* server_;
    ViewContext context_;
    DownloadsList* list_ = nullptr;
    long shownEntry_ = -1;
    ULONGLONG lastDetails_ = 0;
    ULONGLONG lastNothing_ = 0;
    HWND host_ = nullptr;
    HWND addressBar_ = nullptr, urlEdit_ = nullptr, downloadButton_ = nullptr;
    HWND listArea_ = nullptr, listView_ = nullptr;
    HWND details_ = nullptr, pathLabel_ = nullptr, statusLabel_ = nullptr, progressLabel_ = nullptr;
    HWND pauseButton_ = nullptr, removeButton_ = nullptr, connectionBox_ = nullptr;
    HWND tabs_ = nullptr, progressPage_ = nullptr, connectionsList_ = nullptr, rangesList_ = nullptr;
    HMENU contextMenu_ = nullptr, connectionsMenu_ = nullptr;
    HIMAGELIST statusImages_ = nullptr;
    bool detailsShown_ = false;
};

// Puts a text on the clipboard.
bool clipText(Log* log, HWND owner, const wchar_t* text);
