// The Help page: the getting-started document (a Rich Text resource) in a read-only Rich Edit
// control inside the page's container.
#pragma once
#include <windows.h>

#include "TabWindow.h"

class HelpTab : public TabWindow {
public:
    explicit HelpTab(const TabContext& context);

    bool init(HINSTANCE instance, HWND tabControl) override;
    void hide() override;
    void show() override;
    void resize(int left, int top, int right, int bottom) override;

    HWND textControl() const { return text_; }

private:
    // Loads the document into the control; a missing resource leaves it empty.
    void loadDocument();

    HWND container_ = nullptr;
    HWND text_ = nullptr;
};
