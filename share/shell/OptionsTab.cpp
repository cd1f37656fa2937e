// OptionsTab: three group boxes on the tab control ("Share Options", "Receive Options",
// "Update"), each subclassed with its own tag so their controls' commands arrive here.
#include "OptionsTab.h"

#include <shlobj.h>

#include "HSMain.h"
#include "HSMainSettings.h"
#include "Log.h"
#include "ShareRes.h"
#include "TabControls.h"

static const wchar_t kLogUnit[] = L"OptionsTab";

namespace {

const int kLoginReadUnits = 500;          // at most 499 characters of a login edit
const DWORD kDisplayNameUnits = 250;
const DWORD kFolderPathUnits = 258;

// The folder browser starts on the current upload folder.
int CALLBACK browseCallback(HWND window, UINT message, LPARAM, LPARAM data) {
    if (message == BFFM_INITIALIZED && data)
        SendMessageW(window, BFFM_SETSELECTIONW, TRUE, data);
    return 0;
}

}  // namespace

TabWindow* newOptionsTab(const TabContext& context) {
    return new OptionsTab(context);
}

OptionsTab::OptionsTab(const TabContext& context) : TabWindow(context) {}

OptionsTab::~OptionsTab() {
    if (context_.windows->updateBox == updateBox_)
        context_.windows->updateBox = nullptr;
}

bool OptionsTab::init(HINSTANCE instance, HWND tabControl) {
    static const wchar_t kFunction[] = L"OptionsTab::init";
    instance_ = instance;
    tabControl_ = tabControl;
    const DWORD groupStyle = BS_GROUPBOX | WS_CLIPSIBLINGS;
    const DWORD labelStyle = SS_RIGHT | SS_CENTERIMAGE;
    const DWORD editStyle = ES_AUTOHSCROLL | WS_TABSTOP;
    // Tab and Shift+Tab reach the controls inside the group boxes.
    const DWORD groupExStyle = WS_EX_CONTROLPARENT;

    shareBox_ = createChild(L"BUTTON", L"Share Options", groupStyle, 0, 0, 10, 10, tabControl, 0, groupExStyle);
    receiveBox_ = createChild(L"BUTTON", L"Receive Options", groupStyle, 0, 0, 10, 10, tabControl, 0, groupExStyle);
    updateBox_ = createChild(L"BUTTON", L"Update", groupStyle, 0, 0, 10, 10, tabControl, 0, groupExStyle);
    if (!shareBox_ || !receiveBox_ || !updateBox_) {
        LOG_ERROR(log_, kFunction, L"CreateWindow", GetLastError());
        return false;
    }

    nameLabel_ = createChild(L"STATIC", L"Display Name:", labelStyle, 8, 20, 79, 20, shareBox_, 0);
    nameEdit_ = createChild(L"EDIT", L"", editStyle, 88, 20, 200, 20, shareBox_, IDC_OPT_DISPLAY_NAME,
                            WS_EX_CLIENTEDGE);
    requireLoginBox_ = createChild(L"BUTTON", L"Require Login to Access Share", BS_AUTOCHECKBOX | WS_TABSTOP, 8,
                                   50, 200, 20, shareBox_, IDC_OPT_REQUIRE_LOGIN);
    userLabel_ = createChild(L"STATIC", L"User:", labelStyle, 8, 75, 32, 20, shareBox_, 0);
    userEdit_ = createChild(L"EDIT", L"", editStyle, 43, 75, 150, 20, shareBox_, IDC_OPT_LOGIN_USER,
                            WS_EX_CLIENTEDGE);
    passwordLabel_ = createChild(L"STATIC", L"Pass:", labelStyle, 8, 100, 32, 20, shareBox_, 0);
    // Shown in clear: the owner hands this password to the people they share with.
    passwordEdit_ = createChild(L"EDIT", L"", editStyle, 43, 100, 150, 20, shareBox_, IDC_OPT_LOGIN_PASSWORD,
                                WS_EX_CLIENTEDGE);

    allowUploadsBox_ = createChild(L"BUTTON", L"Enable Wexa-Share To Receive Files", BS_AUTOCHECKBOX | WS_TABSTOP,
                                   8, 20, 200, 20, receiveBox_, IDC_OPT_ALLOW_UPLOADS);
    folderLabel_ = createChild(L"STATIC", L"Save Received Files Here:", labelStyle, 8, 45, 140, 20, receiveBox_, 0);
    // Read-only: the folder is chosen with "Browse...", which also checks that it exists.
    folderEdit_ = createChild(L"EDIT", L"", ES_AUTOHSCROLL | ES_READONLY, 148, 45, 200, 20, receiveBox_,
                              IDC_OPT_UPLOAD_FOLDER, WS_EX_CLIENTEDGE);
    browseButton_ = createChild(L"BUTTON", L"Browse...", BS_PUSHBUTTON | WS_TABSTOP, 8, 70, 100, 20, receiveBox_,
                                IDC_OPT_BROWSE);

    checkNowButton_ = createChild(L"BUTTON", L"Check Now...", BS_PUSHBUTTON | WS_TABSTOP, 8, 20, 100, 20,
                                  updateBox_, IDC_OPT_CHECK_NOW);
    autoUpdateBox_ = createChild(L"BUTTON", L"Automatically Check for Updates", BS_AUTOCHECKBOX | WS_TABSTOP, 118,
                                 20, 200, 20, updateBox_, IDC_OPT_AUTO_UPDATE);
    wchar_t version[40];
    wsprintfW(version, L"Current Version: %d.%d.%d", 1, 2, 1);
    versionText_ = createChild(L"STATIC", version, SS_CENTERIMAGE, 8, 50, 150, 20, updateBox_, 0);
    updateStatusText_ = createChild(L"STATIC", L"", SS_CENTERIMAGE, 158, 50, 400, 20, updateBox_, 0);

    HWND all[] = {nameLabel_,  nameEdit_,       requireLoginBox_, userLabel_,     userEdit_,
                  passwordLabel_, passwordEdit_, allowUploadsBox_, folderLabel_,  folderEdit_,
                  browseButton_, checkNowButton_, autoUpdateBox_, versionText_, updateStatusText_};
    for (HWND control : all) {
        if (!control) {
            LOG_ERROR(log_, kFunction, L"CreateWindow", GetLastError());
            return false;
        }
    }

    // Contents before subclassing: the edits' EN_CHANGE would only store the same values back.
    wchar_t name[kUserNameCapacity];
    copyUserName(name, kUserNameCapacity);
    SetWindowTextW(nameEdit_, name);
    char user[kLoginCapacity];
    char password[kLoginCapacity];
    bool requireLogin;
    {
        // Copied under the lock, shown after it: SetWindowText sends messages.
        SettingsLock hold;
        memcpy(user, g_settings.loginUser, g_settings.loginUserLength);
        user[g_settings.loginUserLength] = 0;
        memcpy(password, g_settings.loginPassword, g_settings.loginPasswordLength);
        password[g_settings.loginPasswordLength] = 0;
        requireLogin = g_settings.requirePassword;
    }
    SetWindowTextA(userEdit_, user);
    SetWindowTextA(passwordEdit_, password);
    DWORD folderLength = 0;
    wchar_t* folder = getUploadsDirectoryCopy(&folderLength);
    if (folder)
        SetWindowTextW(folderEdit_, folder);
    delete[] folder;
    bool allowUploads = getAllowUploads();

    struct {
        HWND box;
        bool on;
    } checks[] = {{requireLoginBox_, requireLogin}, {allowUploadsBox_, allowUploads},
                  {autoUpdateBox_, g_settings.autoUpdate}};
    for (const auto& check : checks) {
        if (!CheckDlgButton(GetParent(check.box), GetDlgCtrlID(check.box), check.on ? BST_CHECKED : BST_UNCHECKED))
            LOG_ERROR(log_, kFunction, L"CheckDlgButton", GetLastError());
    }
    enableLogin(requireLogin);
    enableReceive(allowUploads);

    if (!subclassWindow(shareBox_, TagShareOptions) || !subclassWindow(receiveBox_, TagReceiveOptions) ||
        !subclassWindow(updateBox_, TagUpdate)) {
        LOG_ERROR(log_, kFunction, L"SetWindowLongPtr", GetLastError());
        return false;
    }
    context_.windows->updateBox = updateBox_;
    removeInstalledUpdates();
    return true;
}

void OptionsTab::hide() {
    ShowWindow(shareBox_, SW_HIDE);
    ShowWindow(receiveBox_, SW_HIDE);
    ShowWindow(updateBox_, SW_HIDE);
}

void OptionsTab::show() {
    ShowWindow(shareBox_, SW_SHOW);
    ShowWindow(receiveBox_, SW_SHOW);
    ShowWindow(updateBox_, SW_SHOW);
}

void OptionsTab::resize(int left, int top, int right, int bottom) {
    int width = right - left;
    // Labels and check boxes grow with the font; the fields beside a label follow it.
    placeChild(shareBox_, left + 2, top + 2, width - 4, 130);
    int nameWidth = fitWidth(nameLabel_, 79, 4);
    placeChild(nameLabel_, 8, 20, nameWidth, 20);
    placeChild(nameEdit_, 8 + nameWidth + 1, 20, 200, 20);
    placeChild(requireLoginBox_, 8, 50, fitWidth(requireLoginBox_, 200, kCheckBoxExtra), 20);
    int userWidth = fitWidth(userLabel_, 32, 4);
    int passwordWidth = fitWidth(passwordLabel_, 32, 4);
    int loginWidth = userWidth > passwordWidth ? userWidth : passwordWidth;
    placeChild(userLabel_, 8, 75, loginWidth, 20);
    placeChild(userEdit_, 8 + loginWidth + 3, 75, 150, 20);
    placeChild(passwordLabel_, 8, 100, loginWidth, 20);
    placeChild(passwordEdit_, 8 + loginWidth + 3, 100, 150, 20);

    placeChild(receiveBox_, left + 2, top + 157, width - 4, 100);
    placeChild(allowUploadsBox_, 8, 20, fitWidth(allowUploadsBox_, 200, kCheckBoxExtra), 20);
    int folderWidth = fitWidth(folderLabel_, 140, 4);
    placeChild(folderLabel_, 8, 45, folderWidth, 20);
    int folderLeft = 8 + folderWidth;
    placeChild(folderEdit_, folderLeft, 45, width - 12 - folderLeft, 20);
    placeChild(browseButton_, 8, 70, fitWidth(browseButton_, 100, kButtonExtra), 20);

    placeChild(updateBox_, left + 2, top + 282, width - 4, 80);
    int checkWidth = fitWidth(checkNowButton_, 100, kButtonExtra);
    placeChild(checkNowButton_, 8, 20, checkWidth, 20);
    int autoLeft = 8 + checkWidth + 10;
    placeChild(autoUpdateBox_, autoLeft > 118 ? autoLeft : 118, 20, fitWidth(autoUpdateBox_, 200, kCheckBoxExtra),
               20);
    int versionWidth = fitWidth(versionText_, 150, 8);
    placeChild(versionText_, 8, 50, versionWidth, 20);
    // The longest update text is wider than 400 pixels at some font sizes: the text takes
    // whatever the group leaves it.
    int statusLeft = 8 + versionWidth;
    int statusWidth = width - 4 - statusLeft - 8;
    placeChild(updateStatusText_, statusLeft, 50, statusWidth > 400 ? statusWidth : 400, 20);
}

LRESULT OptionsTab::wndProc(UINT_PTR tag, WNDPROC previous, HWND window, UINT message, WPARAM wParam,
                            LPARAM lParam) {
    if (message == WM_COMMAND) {
        if (tag == TagShareOptions)
            shareCommand(LOWORD(wParam), HIWORD(wParam));
        else if (tag == TagReceiveOptions)
            receiveCommand(LOWORD(wParam), HIWORD(wParam));
    }
    if (tag == TagUpdate)
        updateWndProc(message, wParam, lParam);
    LRESULT result;
    if (paintBackground(window, message, wParam, lParam, &result))
        return result;
    return CallWindowProcW(previous, window, message, wParam, lParam);
}

void OptionsTab::enableLogin(bool on) {
    // The contents stay: switching the login off and on again keeps the same user and password.
    EnableWindow(userLabel_, on);
    EnableWindow(userEdit_, on);
    EnableWindow(passwordLabel_, on);
    EnableWindow(passwordEdit_, on);
}

void OptionsTab::enableReceive(bool on) {
    EnableWindow(folderLabel_, on);
    EnableWindow(folderEdit_, on);
    EnableWindow(browseButton_, on);
}

void OptionsTab::shareCommand(WORD id, WORD code) {
    if (id == IDC_OPT_REQUIRE_LOGIN && code == BN_CLICKED) {
        bool on = isChecked(requireLoginBox_);
        setRequirePassword(on);
        enableLogin(on);
    } else if ((id == IDC_OPT_LOGIN_USER || id == IDC_OPT_LOGIN_PASSWORD) && code == EN_CHANGE) {
        // The login is compared as the bytes the browser sends: kept as 8-bit text.
        char text[kLoginReadUnits];
        int length = GetWindowTextA(id == IDC_OPT_LOGIN_USER ? userEdit_ : passwordEdit_, text, kLoginReadUnits);
        if (length < 0)
            length = 0;
        if (id == IDC_OPT_LOGIN_USER)
            setLoginUser(text, static_cast<DWORD>(length));
        else
            setLoginPassword(text, static_cast<DWORD>(length));
    } else if (id == IDC_OPT_DISPLAY_NAME && code == EN_CHANGE) {
        wchar_t text[kUserNameCapacity];
        int length = GetWindowTextW(nameEdit_, text, kUserNameCapacity);
        if (length < 0)
            length = 0;
        setUserName(text, static_cast<DWORD>(length) > kDisplayNameUnits ? kDisplayNameUnits
                                                                         : static_cast<DWORD>(length));
    }
}

void OptionsTab::receiveCommand(WORD id, WORD code) {
    if (code != BN_CLICKED)
        return;
    if (id == IDC_OPT_ALLOW_UPLOADS) {
        bool on = isChecked(allowUploadsBox_);
        setAllowUploads(on);
        enableReceive(on);
    } else if (id == IDC_OPT_BROWSE) {
        browseForFolder();
    }
}

void OptionsTab::browseForFolder() {
    static const wchar_t kFunction[] = L"OptionsTab::browseForFolder";
    // The new dialog style needs COM on this thread; the shell expects an apartment.
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    DWORD currentLength = 0;
    wchar_t* current = getUploadsDirectoryCopy(&currentLength);
    BROWSEINFOW info = {};
    info.hwndOwner = context_.mainWindow;
    info.lpszTitle = L"Please choose a location where files sent to you will be saved:";
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE | BIF_EDITBOX;
    if (current && currentLength) {
        info.lpfn = browseCallback;
        info.lParam = reinterpret_cast<LPARAM>(current);
    }
    PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&info);
    delete[] current;
    if (chosen) {
        wchar_t path[MAX_PATH + 1] = {};
        if (SHGetPathFromIDListW(chosen, path)) {
            path[kFolderPathUnits] = 0;
            DWORD length = static_cast<DWORD>(lstrlenW(path));
            if (length && setUploadsDirectory(path, length))
                SetWindowTextW(folderEdit_, path);
        } else {
            LOG_ERROR_TEXT(log_, kFunction, L"SHGetPathFromIDList failed");
        }
        CoTaskMemFree(chosen);
    }
    if (SUCCEEDED(com))
        CoUninitialize();
}
