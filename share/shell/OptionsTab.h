// The Options page: the share's display name and login, the upload permission and folder,
// and the update controls. Every edit goes straight into the settings; there is no Apply.
#pragma once
#include <windows.h>

#include "TabWindow.h"

class OptionsTab : public TabWindow {
public:
    explicit OptionsTab(const TabContext& context);
    ~OptionsTab() override;

    bool init(HINSTANCE instance, HWND tabControl) override;
    void hide() override;
    void show() override;
    void resize(int left, int top, int right, int bottom) override;

    HWND shareBox() const { return shareBox_; }
    HWND receiveBox() const { return receiveBox_; }
    HWND updateBox() const { return updateBox_; }

    // Tells the companion downloader to exit and, once its window has gone, checks the
    // downloaded installer again, runs it and exits; a downloader that stays keeps this program
    // running in state 3, and the user is told.
    void installUpdate();
    // Deletes the installers that earlier runs left in the temporary folder.
    void removeInstalledUpdates();

    // The "Update" group's progress: 0 idle, 1 a newer version announced (downloading),
    // 2 installer written (waiting for the download to end), 3 ready to install.
    enum UpdateState { UpdateIdle = 0, UpdateDownloading = 1, UpdateWritten = 2, UpdateReady = 3 };

protected:
    LRESULT wndProc(UINT_PTR tag, WNDPROC previous, HWND window, UINT message, WPARAM wParam,
                    LPARAM lParam) override;

private:
    enum Tag : UINT_PTR { TagShareOptions = 0, TagReceiveOptions = 1, TagUpdate = 2 };

    void shareCommand(WORD id, WORD code);
    void receiveCommand(WORD id, WORD code);
    // The update group's commands and the updater's messages (OptionsTabUpdate.cpp).
    void updateWndProc(UINT message, WPARAM wParam, LPARAM lParam);
    void startUpdateCheck();
    void startUpdateDownload();
    void writeInstaller(struct UpdateFile* file);
    void downloadEnded();
    void offerInstall();
    void showReady();
    void waitForDownloader();
    void handOverRefused();
    void startInstaller();
    bool installerVerifies(HANDLE file);
    void discardInstaller(bool remove);
    void setCheckButton(const wchar_t* text, bool enabled);
    void enableLogin(bool on);
    void enableReceive(bool on);
    void browseForFolder();

    HWND shareBox_ = nullptr;
    HWND nameLabel_ = nullptr;
    HWND nameEdit_ = nullptr;
    HWND requireLoginBox_ = nullptr;
    HWND userLabel_ = nullptr;
    HWND userEdit_ = nullptr;
    HWND passwordLabel_ = nullptr;
    HWND passwordEdit_ = nullptr;

    HWND receiveBox_ = nullptr;
    HWND allowUploadsBox_ = nullptr;
    HWND folderLabel_ = nullptr;
    HWND folderEdit_ = nullptr;
    HWND browseButton_ = nullptr;

    HWND updateBox_ = nullptr;
    HWND checkNowButton_ = nullptr;
    HWND autoUpdateBox_ = nullptr;
    HWND versionText_ = nullptr;
    HWND updateStatusText_ = nullptr;

    UpdateState updateState_ = UpdateIdle;
    int latestVersion_ = 0;
    wchar_t installerPath_[MAX_PATH] = {};
    // The written installer's signed version and signature, checked again before it starts.
    int installerVersion_ = 0;
    unsigned char installerSignature_[64] = {};
    bool handingOver_ = false;   // waiting for the downloader's window to go
    DWORD handOverSettledTick_ = 0;
};
