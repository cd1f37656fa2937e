// The connection list's status images, drawn once at start-up into DIB sections by the
// status image painter and kept in the list's image list.
#include "ShareTab.h"

#include "Log.h"
#include "StatusImages.h"

static const wchar_t kLogUnit[] = L"ShareTab";

bool ShareTab::createStatusImages() {
    statusImages_ = ImageList_Create(kStatusImageWidth, kStatusImageHeight, ILC_COLOR24, kStatusImageCount, 0);
    if (!statusImages_) {
        LOG_ERROR(log_, L"ShareTab::createStatusImages", L"ImageList_Create", GetLastError());
        return false;
    }
    StatusImagePainter painter;
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    bool ok = painter.ok() && dc;
    if (!ok)
        LOG_ERROR(log_, L"ShareTab::createStatusImages", L"CreateSolidBrush", GetLastError());
    for (int i = 0; ok && i < kStatusImageCount; ++i) {
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = kStatusImageWidth;
        info.bmiHeader.biHeight = kStatusImageHeight;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 24;
        void* bits = nullptr;
        HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        if (!bitmap) {
            LOG_ERROR(log_, L"ShareTab::createStatusImages", L"CreateDIBSection", GetLastError());
            ok = false;
            break;
        }
        HGDIOBJ oldBitmap = SelectObject(dc, bitmap);
        painter.draw(dc, i);
        SelectObject(dc, oldBitmap);
        if (ImageList_Add(statusImages_, bitmap, nullptr) < 0) {
            LOG_ERROR(log_, L"ShareTab::createStatusImages", L"ImageList_Add", GetLastError());
            ok = false;
        }
        if (!DeleteObject(bitmap))
            LOG_ERROR(log_, L"ShareTab::createStatusImages", L"DeleteObject", GetLastError());
    }
    if (dc)
        DeleteDC(dc);
    if (screen)
        ReleaseDC(nullptr, screen);
    if (!ok) {
        ImageList_Destroy(statusImages_);
        statusImages_ = nullptr;
    }
    return ok;
}
