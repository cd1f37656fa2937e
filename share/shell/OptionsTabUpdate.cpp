// The Options page's "Update" group: the check and download requesters it starts, the
// installer it writes to the temporary folder, the offer to install (held back while the main
// window is minimised or the network status dialog is open) and the installation hand-over,
// which starts the installer only once the companion downloader has gone and the file still
// carries its signature. Everything here runs on the GUI thread; the requesters reach it only
// by posted records.
#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>

#include <new>

#include "HSMain.h"
#include "HSMainSettings.h"
#include "Log.h"
#include "OptionsTab.h"
#include "ServerWithReg.h"
#include "ShareRes.h"
#include "TabControls.h"
#include "UpdateDownloader.h"
#include "UpdateMessages.h"
#include "UpdateRequester.h"
#include "UpdateRules.h"
#include "UpdateSignature.h"

static const wchar_t kLogUnit[] = L"OptionsTab";

namespace {

const wchar_t kUpdateWndProc[] = L"OptionsTab::updateWndProc";
const wchar_t kInstallUpdate[] = L"OptionsTab::installUpdate";
// Room left in the 260-character path for "WexaUpdate_<version>.exe".
const DWORD kTempFolderLimit = 220;
const wchar_t kDownloaderClass[] = L"WexaShareDownload";
const ULONG_PTR kDownloaderExitOrder = 33;
// The hand-over polls for the downloader's window. The exit order is answered at once by a
// downloader of this release; an older or hung one gets this long before the wait goes on.
const UINT_PTR kHandOverTimer = 1;
const UINT kHandOverPollMs = 250;
const UINT kExitOrderTimeoutMs = 2000;
// A downloader window that is enabled and shown, so no exit question is open and it is not
// stopping, has declined the order after this long; one that is stopping (minimised or hidden)
// gets the longer time.
const DWORD kDeclinedAfterMs = 5000;
const DWORD kStoppingLimitMs = 60000;
const wchar_t kNotInstalledText[] =
    L"The Wexa-Share Downloader is still running, so the update was not installed.\r\nClose the downloader, "
    L"then press Install Now on the Options tab to install the update.";
const wchar_t kRemovedText[] = L"The downloaded update did not verify and was deleted.";

const wchar_t kOfferText[] =
    L"An update is available for Wexa-Share. Do you wish to install it now?\r\nWexa-Share will automatically close "
    L"to install the update.\r\n\r\nUpdates can be accessed at a later time from the Updates section on the Options "
    L"tab.";
const wchar_t kOfferBothText[] =
    L"An update is available for Wexa-Share. Do you wish to install it now?\r\nWexa-Share and the Wexa-Share "
    L"Downloader will both automatically close to install the update.\r\n\r\nUpdates can be accessed at a later "
    L"time from the Updates section on the Options tab.";

void centreOverParent(HWND dialog) {
    HWND parent = GetParent(dialog);
    RECT area, rect;
    if (!parent || !GetWindowRect(parent, &area))
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    GetWindowRect(dialog, &rect);
    int width = rect.right - rect.left, height = rect.bottom - rect.top;
    SetWindowPos(dialog, nullptr, area.left + (area.right - area.left - width) / 2,
                 area.top + (area.bottom - area.top - height) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

INT_PTR CALLBACK UpdateDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: {
        // Shared: the system keeps one copy however often the offer is made, and frees it.
        HICON icon = static_cast<HICON>(LoadImageW(g_instance, IDI_ICON1_NAME, IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                                   GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR | LR_SHARED));
        if (!icon)
            icon = LoadIconW(nullptr, IDI_APPLICATION);
        SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
        SetDlgItemTextW(dialog, IDC_UPDATE_TEXT, lParam == IDD_UPDATE_BOTH ? kOfferBothText : kOfferText);
        centreOverParent(dialog);
        MessageBeep(0);
        return TRUE;
    }
    case WM_COMMAND: {
        WORD id = LOWORD(wParam);
        if (id != IDOK && id != IDCANCEL)
            break;
        if (!EndDialog(dialog, id == IDOK ? 1 : 0))
            LOG_ERROR(g_log, L"UpdateDialogProc", L"EndDialog", GetLastError());
        return TRUE;
    }
    }
    return FALSE;
}

}  // namespace

void OptionsTab::updateWndProc(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND:
        if (HIWORD(wParam) != BN_CLICKED)
            return;
        if (LOWORD(wParam) == IDC_OPT_AUTO_UPDATE) {
            g_settings.autoUpdate = isChecked(autoUpdateBox_);
        } else if (LOWORD(wParam) == IDC_OPT_CHECK_NOW) {
            if (updateState_ == UpdateReady)
                installUpdate();
            else if (updateState_ == UpdateIdle)
                startUpdateCheck();
        }
        return;
    case WM_UPDATE_VERSION: {
        UpdateVersion* record = reinterpret_cast<UpdateVersion*>(lParam);
        if (!record)
            return;
        latestVersion_ = record->version;
        delete record;
        if (latestVersion_ > kProgramVersion) {
            VersionParts parts = versionParts(latestVersion_);
            wchar_t text[120];
            wsprintfW(text, L"New Version Available: %d.%d.%d. Downloading Update...", parts.major, parts.minor,
                      parts.patch);
            SetWindowTextW(updateStatusText_, text);
            updateState_ = UpdateDownloading;
        } else {
            SetWindowTextW(updateStatusText_, L"No Update Available. Wexa-Share is already the newest version.");
        }
        return;
    }
    case WM_UPDATE_CHECK_ENDED:
        removeInstalledUpdates();
        if (updateState_ == UpdateDownloading)
            startUpdateDownload();
        if (updateState_ == UpdateIdle)
            setCheckButton(L"Check Now...", true);
        return;
    case WM_UPDATE_FILE:
        writeInstaller(reinterpret_cast<UpdateFile*>(lParam));
        return;
    case WM_UPDATE_DOWNLOAD_ENDED:
        downloadEnded();
        return;
    case WM_UPDATE_OFFER:
        offerInstall();
        return;
    case WM_TIMER:
        if (wParam == kHandOverTimer)
            waitForDownloader();
        return;
    }
}

void OptionsTab::setCheckButton(const wchar_t* text, bool enabled) {
    SetWindowTextW(checkNowButton_, text);
    EnableWindow(checkNowButton_, enabled);
}

void OptionsTab::startUpdateCheck() {
    if (!context_.server)
        return;
    UpdateRequester* requester = new UpdateRequester(context_.server, updateBox_, context_.counters);
    if (!context_.server->addObject(requester)) {
        delete requester;   // never registered: the engine does not know it
        return;
    }
    setCheckButton(L"Checking...", false);
}

void OptionsTab::startUpdateDownload() {
    UpdateDownloader* downloader = context_.server ? new UpdateDownloader(context_.server, updateBox_, context_.counters,
                                                                   kUpdatePublicKey)
                                            : nullptr;
    if (!downloader || !context_.server->addObject(downloader)) {
        delete downloader;
        updateState_ = UpdateIdle;
        return;
    }
    setCheckButton(L"Downloading...", false);
}

void OptionsTab::writeInstaller(UpdateFile* file) {
    if (!file)
        return;
    DWORD length = GetTempPathW(MAX_PATH, installerPath_);
    if (length == 0 || length >= MAX_PATH) {
        LOG_ERROR(log_, kUpdateWndProc, L"GetTempPath", GetLastError());
    } else if (length > kTempFolderLimit) {
        LOG_ERROR_TEXT(log_, kUpdateWndProc, L"GetTempPath, path is too long");
    } else {
        // Named by the signed version: that is what the file installs.
        wsprintfW(installerPath_ + length, L"WexaUpdate_%d.exe", file->version);
        HANDLE handle = CreateFileW(installerPath_, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                    nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            LOG_ERROR(log_, kUpdateWndProc, L"CreateFile", GetLastError());
        } else {
            DWORD written = 0;
            bool complete = false;
            if (!WriteFile(handle, file->bytes, file->length, &written, nullptr))
                LOG_ERROR(log_, kUpdateWndProc, L"WriteFile", GetLastError());
            else if (written != file->length)
                LOG_ERROR_TEXT(log_, kUpdateWndProc, L"WriteFile didn't write the correct number of bytes");
            else
                complete = true;
            if (!CloseHandle(handle)) {
                LOG_ERROR(log_, kUpdateWndProc, L"CloseHandle", GetLastError());
                complete = false;
            }
            if (complete) {
                updateState_ = UpdateWritten;
                installerVersion_ = file->version;
                memcpy(installerSignature_, file->signature, sizeof installerSignature_);
            }
            else if (!DeleteFileW(installerPath_))
                // A part of an installer must not stay behind under a runnable name.
                LOG_ERROR(log_, kUpdateWndProc, L"DeleteFile", GetLastError());
        }
    }
    delete[] file->bytes;
    delete file;
}

void OptionsTab::downloadEnded() {
    if (updateState_ != UpdateWritten) {
        updateState_ = UpdateIdle;
        setCheckButton(L"Check Now...", true);
        return;
    }
    showReady();
    updateState_ = UpdateReady;
    // Offered once per download: the mark is cleared when the dialog is shown.
    g_updateDownloaded = true;
    if (!PostMessageW(updateBox_, WM_UPDATE_OFFER, 0, 0))
        LOG_ERROR(log_, kUpdateWndProc, L"PostMessage", GetLastError());
}

void OptionsTab::showReady() {
    setCheckButton(L"Install Now", true);
    VersionParts parts = versionParts(installerVersion_);
    wchar_t text[120];
    wsprintfW(text, L"New Version Downloaded: %d.%d.%d. Press the Install Now Button to Install.", parts.major,
              parts.minor, parts.patch);
    SetWindowTextW(updateStatusText_, text);
}

void OptionsTab::offerInstall() {
    if (updateState_ != UpdateReady || !g_updateDownloaded)
        return;
    // Not over a minimised window nor beside the network status dialog: restoring the window,
    // or closing the dialog, posts the offer again.
    if (IsIconic(context_.mainWindow))
        return;
    if (netStatusDialog()) {
        g_updateOfferDeferred = true;
        return;
    }
    g_updateDownloaded = false;
    int dialogId = FindWindowW(kDownloaderClass, nullptr) ? IDD_UPDATE_BOTH : IDD_UPDATE;
    INT_PTR answer = DialogBoxParamW(g_instance, MAKEINTRESOURCEW(dialogId), context_.mainWindow, UpdateDialogProc,
                                     dialogId);
    if (answer == -1) {
        LOG_ERROR(log_, kUpdateWndProc, L"DialogBox", GetLastError());
        return;
    }
    // Cancel keeps state 3: "Install Now" stays on the button for the rest of the run.
    if (answer == 1)
        installUpdate();
}

void OptionsTab::installUpdate() {
    if (handingOver_)
        return;
    HWND downloader = FindWindowW(kDownloaderClass, nullptr);
    if (!downloader) {
        startInstaller();
        return;
    }
    // Not SendMessage: the downloader may ask its user before it exits, and this program must
    // not freeze meanwhile. The answer says nothing; its window going away does.
    COPYDATASTRUCT order = {kDownloaderExitOrder, 0, nullptr};
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutW(downloader, WM_COPYDATA, reinterpret_cast<WPARAM>(context_.mainWindow),
                             reinterpret_cast<LPARAM>(&order), SMTO_NORMAL | SMTO_ABORTIFHUNG, kExitOrderTimeoutMs,
                             &answer)) {
        DWORD error = GetLastError();
        if (error != ERROR_TIMEOUT && error != ERROR_SUCCESS)
            LOG_ERROR(log_, kInstallUpdate, L"SendMessageTimeout", error);
    }
    if (!SetTimer(updateBox_, kHandOverTimer, kHandOverPollMs, nullptr)) {
        LOG_ERROR(log_, kInstallUpdate, L"SetTimer", GetLastError());
        handOverRefused();
        return;
    }
    handingOver_ = true;
    handOverSettledTick_ = GetTickCount();
    setCheckButton(L"Installing...", false);
    SetWindowTextW(updateStatusText_, L"Waiting for the Wexa-Share Downloader to close...");
}

void OptionsTab::waitForDownloader() {
    HWND downloader = FindWindowW(kDownloaderClass, nullptr);
    DWORD now = GetTickCount();
    if (downloader) {
        // A disabled window has its exit question open: the user is still deciding.
        if (!IsWindowEnabled(downloader)) {
            handOverSettledTick_ = now;
            return;
        }
        bool stopping = IsIconic(downloader) || !IsWindowVisible(downloader);
        if (now - handOverSettledTick_ < (stopping ? kStoppingLimitMs : kDeclinedAfterMs))
            return;
    }
    KillTimer(updateBox_, kHandOverTimer);
    handingOver_ = false;
    if (downloader)
        handOverRefused();
    else
        startInstaller();
}

void OptionsTab::handOverRefused() {
    showReady();
    MessageBoxW(context_.mainWindow, kNotInstalledText, L"Update Not Installed", MB_OK | MB_ICONWARNING);
}

void OptionsTab::startInstaller() {
    // Opened without write or delete sharing and kept open until the installer has started:
    // the bytes checked here are the bytes that run.
    HANDLE file = CreateFileW(installerPath_, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        LOG_ERROR(log_, kInstallUpdate, L"CreateFile", GetLastError());
        discardInstaller(false);
        return;
    }
    if (!installerVerifies(file)) {
        CloseHandle(file);
        discardInstaller(true);
        return;
    }
    // Silent: the user has just agreed. The installer waits for this program to close, installs
    // and starts the new version; should it give up waiting, it starts this program again.
    wchar_t self[MAX_PATH];
    DWORD selfLength = GetModuleFileNameW(nullptr, self, MAX_PATH);
    wchar_t parameters[MAX_PATH + 16] = L"/S";
    if (selfLength == 0 || selfLength >= MAX_PATH)
        LOG_ERROR(log_, kInstallUpdate, L"GetModuleFileName", GetLastError());
    else
        wsprintfW(parameters, L"/S /RESTART=\"%s\"", self);
    HINSTANCE result = ShellExecuteW(nullptr, L"open", installerPath_, parameters, nullptr, SW_SHOWNORMAL);
    CloseHandle(file);
    if (reinterpret_cast<INT_PTR>(result) <= 32) {
        LOG_ERROR(log_, kInstallUpdate, L"ShellExecute", static_cast<DWORD>(reinterpret_cast<INT_PTR>(result)));
        showReady();
        return;
    }
    SendMessageW(context_.mainWindow, WM_COMMAND, MAKEWPARAM(IDM_EXIT, 0), 0);
}

bool OptionsTab::installerVerifies(HANDLE file) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size)) {
        LOG_ERROR(log_, kInstallUpdate, L"GetFileSizeEx", GetLastError());
        return false;
    }
    if (size.QuadPart <= 0 || size.QuadPart > InstallerReceiver::kMaxInstallerBytes) {
        LOG_ERROR_TEXT(log_, kInstallUpdate, L"installer size is not that of an installer");
        return false;
    }
    DWORD length = static_cast<DWORD>(size.QuadPart);
    char* bytes = new (std::nothrow) char[length];
    if (!bytes) {
        LOG_ERROR_TEXT(log_, kInstallUpdate, L"no memory to check the installer");
        return false;
    }
    DWORD read = 0;
    bool verified = false;
    if (!ReadFile(file, bytes, length, &read, nullptr))
        LOG_ERROR(log_, kInstallUpdate, L"ReadFile", GetLastError());
    else if (read != length)
        LOG_ERROR_TEXT(log_, kInstallUpdate, L"ReadFile didn't read the correct number of bytes");
    else if (!verifyInstallerSignature(log_, kInstallUpdate, kUpdatePublicKey, installerVersion_, bytes, length,
                                       installerSignature_))
        LOG_ERROR_TEXT(log_, kInstallUpdate, L"installer changed since it was downloaded");
    else
        verified = true;
    delete[] bytes;
    return verified;
}

void OptionsTab::discardInstaller(bool remove) {
    if (remove && !DeleteFileW(installerPath_))
        LOG_ERROR(log_, kInstallUpdate, L"DeleteFile", GetLastError());
    updateState_ = UpdateIdle;
    setCheckButton(L"Check Now...", true);
    SetWindowTextW(updateStatusText_, kRemovedText);
}

void OptionsTab::removeInstalledUpdates() {
    // Called at start-up and when a check ends, before any download of this run is written: a
    // leftover has been installed (the program now running came from it) or is stale, as the
    // state of a download does not outlive the run. One still running, or locked, is left for a
    // later start.
    wchar_t path[MAX_PATH];
    DWORD length = GetTempPathW(MAX_PATH, path);
    if (length == 0 || length > kTempFolderLimit)
        return;
    lstrcpyW(path + length, L"WexaUpdate_*.exe");
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(path, &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY || lstrlenW(found.cFileName) + length >= MAX_PATH)
            continue;
        lstrcpyW(path + length, found.cFileName);
        if (!DeleteFileW(path)) {
            DWORD error = GetLastError();
            if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED)
                LOG_ERROR(log_, L"OptionsTab::removeInstalledUpdates", L"DeleteFile", error);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}
