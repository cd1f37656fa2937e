// The Options page: the share's display name and login, the upload permission and folder,
// and the update controls. Every edit goes straight into the settings; there is no Apply.
#pragma once
#include <windows.h>

#include "TabWindow.h"

class OptionsTab : public TabWindow {
public:
    explicit OptionsTab(Log* log);
    ~OptionsTab() override;

    bool init(HINSTANCE instance, HWND tabControl) override;
    void hide() override;
    void show() override;
    void resize(int left, int top, int right, int bottom) override;

    HWND shareBox() const { return shareBox_; }
    HWND receiveBox() const { return receiveBox_; }
    HWND updateBox() const { return updateBox_; }

protected:
    LRESULT wndProc(UINT_PTR tag, WNDPROC previous, HWND window, UINT message, WPARAM wParam,
                    LPARAM lParam) override;

private:
    enum Tag : UINT_PTR { TagShareOptions = 0, TagReceiveOptions = 1, TagUpdate = 2 };

    void shareCommand(WORD id, WORD code);
    void receiveCommand(WORD id, WORD code);
    // The update group's commands and messages; the updater drives them.
    void updateWndProc(UINT message, WPARAM wParam, LPARAM lParam);
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
};
