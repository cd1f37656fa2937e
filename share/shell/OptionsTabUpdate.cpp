// The Options page's "Update" group: the check and download requesters it starts, the
// installer it writes to the temporary folder, the offer to install (held back while the main
// window is minimised or the network status dialog is open) and the installation hand-over.
// Everything here runs on the GUI thread; the requesters reach it only by posted records.
#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>

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
const int kThisVersion = 121;
// Room left in the 260-character path for "WexaUpdate_<version>.exe".
const DWORD kTempFolderLimit = 220;
const wchar_t kDownloaderClass[] = L"WexaShareDownload";
const ULONG_PTR kDownloaderExitOrder = 33;

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
        HICON icon = static_cast<HICON>(LoadImageW(g_instance, IDI_ICON1_NAME, IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                                   GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
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
        if (latestVersion_ > kThisVersion) {
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
        wsprintfW(installerPath_ + length, L"WexaUpdate_%d.exe", latestVersion_);
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
            if (complete)
                updateState_ = UpdateWritten;
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
    setCheckButton(L"Install Now", true);
    VersionParts parts = versionParts(latestVersion_);
    wchar_t text[120];
    wsprintfW(text, L"New Version Downloaded: %d.%d.%d. Press the Install Now Button to Install.", parts.major,
              parts.minor, parts.patch);
    SetWindowTextW(updateStatusText_, text);
    updateState_ = UpdateReady;
    // Offered once per download: the mark is cleared when the dialog is shown.
    g_updateDownloaded = true;
    if (!PostMessageW(updateBox_, WM_UPDATE_OFFER, 0, 0))
        LOG_ERROR(log_, kUpdateWndProc, L"PostMessage", GetLastError());
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
    static const wchar_t kFunction[] = L"OptionsTab::installUpdate";
    // Silent: the user has just agreed, and the installer waits for this program to close,
    // installs, and starts the new version itself.
    HINSTANCE result = ShellExecuteW(nullptr, L"open", installerPath_, L"/S", nullptr, SW_SHOWNORMAL);
    if (reinterpret_cast<INT_PTR>(result) <= 32) {
        LOG_ERROR(log_, kFunction, L"ShellExecute", static_cast<DWORD>(reinterpret_cast<INT_PTR>(result)));
        return;
    }
    HWND downloader = FindWindowW(kDownloaderClass, nullptr);
    if (downloader) {
        COPYDATASTRUCT order = {kDownloaderExitOrder, 0, nullptr};
        SendMessageW(downloader, WM_COPYDATA, reinterpret_cast<WPARAM>(context_.mainWindow), reinterpret_cast<LPARAM>(&order));
    }
    SendMessageW(context_.mainWindow, WM_COMMAND, MAKEWPARAM(IDM_EXIT, 0), 0);
}
