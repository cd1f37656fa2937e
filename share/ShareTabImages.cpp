// The connection list's status images, drawn once at start-up: a progress bar with its
// percentage for 0 to 100, and the texts "Receiving Request", "Closed" and "Received".
#include "ShareTab.h"

#include "Log.h"

static const wchar_t kLogUnit[] = L"ShareTab";

namespace {

const int kWidth = 100;
const int kHeight = 15;
const int kImageCount = 104;

struct Brushes {
    HBRUSH lightGrey, darkGrey, blue, lightGreen;
};

void drawImage(HDC dc, int index, const Brushes& brushes) {
    RECT whole = {0, 0, kWidth, kHeight};
    RECT inner = {1, 1, kWidth - 1, kHeight - 1};
    wchar_t text[24];
    if (index <= 100) {
        FillRect(dc, &whole, brushes.lightGrey);
        FillRect(dc, &inner, brushes.darkGrey);
        RECT done = inner;
        done.right = inner.left + (inner.right - inner.left) * index / 100;
        if (done.right > done.left)
            FillRect(dc, &done, brushes.blue);
        wsprintfW(text, L"%d%%", index);
    } else {
        // Finished receptions stand out in green; the other states are plain.
        FillRect(dc, &whole, index == 103 ? brushes.lightGreen : brushes.lightGrey);
        FillRect(dc, &inner, index == 103 ? brushes.blue : brushes.darkGrey);
        lstrcpyW(text, index == 101 ? L"Receiving Request" : index == 102 ? L"Closed" : L"Received");
    }
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(255, 255, 255));
    DrawTextW(dc, text, -1, &whole, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
}

}  // namespace

bool ShareTab::createStatusImages() {
    statusImages_ = ImageList_Create(kWidth, kHeight, ILC_COLOR24, kImageCount, 0);
    if (!statusImages_) {
        LOG_ERROR(log_, L"ShareTab::createStatusImages", L"ImageList_Create", GetLastError());
        return false;
    }
    Brushes brushes = {CreateSolidBrush(RGB(200, 200, 200)), CreateSolidBrush(RGB(50, 50, 50)),
                       CreateSolidBrush(RGB(100, 100, 255)), CreateSolidBrush(RGB(200, 240, 200))};
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HFONT font = CreateFontW(-11, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, CLEARTYPE_QUALITY, 0,
                             L"Tahoma");
    bool ok = brushes.lightGrey && brushes.darkGrey && brushes.blue && brushes.lightGreen && dc;
    if (!ok)
        LOG_ERROR(log_, L"ShareTab::createStatusImages", L"CreateSolidBrush", GetLastError());
    for (int i = 0; ok && i < kImageCount; ++i) {
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = kWidth;
        info.bmiHeader.biHeight = kHeight;
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
        HGDIOBJ oldFont = font ? SelectObject(dc, font) : nullptr;
        drawImage(dc, i, brushes);
        if (oldFont)
            SelectObject(dc, oldFont);
        SelectObject(dc, oldBitmap);
        if (ImageList_Add(statusImages_, bitmap, nullptr) < 0) {
            LOG_ERROR(log_, L"ShareTab::createStatusImages", L"ImageList_Add", GetLastError());
            ok = false;
        }
        if (!DeleteObject(bitmap))
            LOG_ERROR(log_, L"ShareTab::createStatusImages", L"DeleteObject", GetLastError());
    }
    if (font)
        DeleteObject(font);
    if (dc)
        DeleteDC(dc);
    if (screen)
        ReleaseDC(nullptr, screen);
    const HBRUSH all[] = {brushes.lightGrey, brushes.darkGrey, brushes.blue, brushes.lightGreen};
    for (HBRUSH brush : all)
        if (brush)
            DeleteObject(brush);
    if (!ok) {
        ImageList_Destroy(statusImages_);
        statusImages_ = nullptr;
    }
    return ok;
}
