// The downloader's dialogs (see DownloaderDialogs.h). The dialog procedures keep their state in
// a record passed at creation, so no dialog needs a global.
#include "DownloaderDialogs.h"

#include "DownloadRes.h"
#include "Log.h"
#include "WindowPlacement.h"

static const wchar_t kLogUnit[] = L"HttpDL";

namespace {

struct UrlDialog {
    Log* log;
    const wchar_t* procName;  // the procedure's name in the log
    HWND owner;
    wchar_t* text;
    int capacity;
};

struct PasswordDialog {
    HWND owner;
    const wchar_t* title;
    char* user;
    char* password;
    int capacity;
};

struct AboutDialog {
    HINSTANCE instance;
    HWND owner;
};

// The action buttons are usable exactly while the edit holds text.
void enableActions(HWND dialog) {
    bool filled = GetWindowTextLengthW(GetDlgItem(dialog, IDC_URL_EDIT)) > 0;
    EnableWindow(GetDlgItem(dialog, IDOK), filled);
    if (HWND saveAs = GetDlgItem(dialog, IDC_SAVE_AS))
        EnableWindow(saveAs, filled);
}

INT_PTR CALLBACK urlDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    UrlDialog* state = reinterpret_cast<UrlDialog*>(GetWindowLongPtrW(dialog, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG:
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        state = reinterpret_cast<UrlDialog*>(lParam);
        centreWindow(dialog, state->owner);
        SendDlgItemMessageW(dialog, IDC_URL_EDIT, EM_LIMITTEXT, state->capacity - 1, 0);
        enableActions(dialog);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_URL_EDIT:
            if (HIWORD(wParam) == EN_CHANGE)
                enableActions(dialog);
            return TRUE;
        case IDOK:
        case IDC_SAVE_AS:
            // Enter reaches IDOK even while the button is disabled: an empty edit closes nothing.
            if (!GetWindowTextLengthW(GetDlgItem(dialog, IDC_URL_EDIT)))
                return TRUE;
            GetDlgItemTextW(dialog, IDC_URL_EDIT, state->text, state->capacity);
            if (!EndDialog(dialog, LOWORD(wParam)))
                LOG_ERROR(state->log, state->procName, L"EndDialog", GetLastError());
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, 0);
            return TRUE;
        }
        break;
    }
    return FALSE;
}

INT_PTR CALLBACK passwordDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    PasswordDialog* state = reinterpret_cast<PasswordDialog*>(GetWindowLongPtrW(dialog, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG:
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        state = reinterpret_cast<PasswordDialog*>(lParam);
        centreWindow(dialog, state->owner);
        SetWindowTextW(dialog, state->title);
        SendDlgItemMessageW(dialog, IDC_USER_EDIT, EM_LIMITTEXT, state->capacity - 1, 0);
        SendDlgItemMessageW(dialog, IDC_PASSWORD_EDIT, EM_LIMITTEXT, state->capacity - 1, 0);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            GetWindowTextA(GetDlgItem(dialog, IDC_USER_EDIT), state->user, state->capacity);
            GetWindowTextA(GetDlgItem(dialog, IDC_PASSWORD_EDIT), state->password, state->capacity);
            EndDialog(dialog, IDOK);
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
        break;
    }
    return FALSE;
}

INT_PTR CALLBACK aboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: {
        AboutDialog* state = reinterpret_cast<AboutDialog*>(lParam);
        centreWindow(dialog, state->owner);
        HICON icon = LoadIconW(state->instance, L"IDI_ICON1");
        SendMessageW(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
        SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
        SetDlgItemTextW(dialog, IDC_ABOUT_TEXT,
                        L"Wexa-Share/1.2.1\r\nWexa-Share Downloader 1.2.1\r\n\r\n"
                        L"Fetches large files over many connections at once, and pauses and "
                        L"resumes them.\r\n\r\nCopyright \x00A9 the Wexa-Share authors.");
        return TRUE;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        break;
    }
    return FALSE;
}

}  // namespace

int runUrlDialog(Log* log, HINSTANCE instance, HWND owner, int dialogId, wchar_t* text, int capacity) {
    text[0] = 0;
    UrlDialog state = {log, dialogId == IDD_CHANGE_URL ? L"ChangeDialogProc" : L"NewDialogProc", owner, text,
                       capacity};
    INT_PTR result = DialogBoxParamW(instance, MAKEINTRESOURCEW(dialogId), owner, urlDialogProc,
                                     reinterpret_cast<LPARAM>(&state));
    if (result == -1) {
        LOG_ERROR(log, dialogId == IDD_CHANGE_URL ? L"ChangeDialogProc" : L"newDownloadDialog", L"DialogBox",
                  GetLastError());
        return 0;
    }
    return static_cast<int>(result);
}

bool runPasswordDialog(Log* log, HINSTANCE instance, HWND owner, const wchar_t* title, char* user, char* password,
                       int capacity) {
    user[0] = password[0] = 0;
    PasswordDialog state = {owner, title, user, password, capacity};
    INT_PTR result = DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_DOWNLOAD_PASSWORD), owner, passwordDialogProc,
                                     reinterpret_cast<LPARAM>(&state));
    if (result == -1) {
        LOG_ERROR(log, L"doDownloadPass", L"DialogBox", GetLastError());
        return false;
    }
    return result == IDOK;
}

void runAboutDialog(Log* log, HINSTANCE instance, HWND owner) {
    AboutDialog state = {instance, owner};
    if (DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_ABOUT), owner, aboutDialogProc,
                        reinterpret_cast<LPARAM>(&state)) == -1)
        LOG_ERROR(log, L"WndProc", L"DialogBox", GetLastError());
}
