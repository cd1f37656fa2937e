// Draws the connection list's status images (see StatusImages.h).
#include "StatusImages.h"

namespace {

// Text keeps this many pixels from each side of the picture, border included.
const int kTextMargin = 3;
const int kLargestFontHeight = 11;
const int kSmallestFontHeight = 7;

void statusText(int index, wchar_t* text, int capacity) {
    if (index <= 100) {
        wsprintfW(text, L"%d%%", index);
        return;
    }
    lstrcpynW(text,
              index == kStatusImageReceiving ? L"Receiving Request" : index == kStatusImageClosed ? L"Closed" : L"Received",
              capacity);
}

}  // namespace

StatusImagePainter::StatusImagePainter()
    : lightGrey_(CreateSolidBrush(RGB(200, 200, 200))),
      darkGrey_(CreateSolidBrush(RGB(50, 50, 50))),
      blue_(CreateSolidBrush(RGB(100, 100, 255))),
      lightGreen_(CreateSolidBrush(RGB(200, 240, 200))) {}

StatusImagePainter::~StatusImagePainter() {
    const HBRUSH all[] = {lightGrey_, darkGrey_, blue_, lightGreen_};
    for (HBRUSH brush : all)
        if (brush)
            DeleteObject(brush);
    if (font_)
        DeleteObject(font_);
}

bool StatusImagePainter::ok() const {
    return lightGrey_ && darkGrey_ && blue_ && lightGreen_;
}

HFONT StatusImagePainter::fittingFont(HDC dc) {
    if (fontChosen_)
        return font_;
    fontChosen_ = true;
    // The installed fonts decide how wide "Receiving Request" is: step down until it fits.
    // One spare pixel on each side inside the margins, so that nothing is cut by the clip.
    const int room = kStatusImageWidth - 2 * kTextMargin - 2;
    for (int height = kLargestFontHeight; height >= kSmallestFontHeight; --height) {
        HFONT font = CreateFontW(-height, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, CLEARTYPE_QUALITY, 0,
                                 L"Tahoma");
        if (!font)
            return nullptr;
        HGDIOBJ old = SelectObject(dc, font);
        SIZE size = {};
        BOOL measured = GetTextExtentPoint32W(dc, L"Receiving Request", 17, &size);
        SelectObject(dc, old);
        if (measured && size.cx <= room && size.cy <= kStatusImageHeight) {
            font_ = font;
            return font_;
        }
        DeleteObject(font);
    }
    // Nothing fits: the smallest size, cut at the border, beats no text.
    font_ = CreateFontW(-kSmallestFontHeight, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, CLEARTYPE_QUALITY,
                        0, L"Tahoma");
    return font_;
}

void StatusImagePainter::draw(HDC dc, int index) {
    RECT whole = {0, 0, kStatusImageWidth, kStatusImageHeight};
    RECT inner = {1, 1, kStatusImageWidth - 1, kStatusImageHeight - 1};
    wchar_t text[24];
    statusText(index, text, 24);
    if (index <= 100) {
        FillRect(dc, &whole, lightGrey_);
        FillRect(dc, &inner, darkGrey_);
        RECT done = inner;
        done.right = inner.left + (inner.right - inner.left) * index / 100;
        if (done.right > done.left)
            FillRect(dc, &done, blue_);
    } else {
        // Finished receptions stand out in green; the other states are plain.
        bool received = index == kStatusImageReceived;
        FillRect(dc, &whole, received ? lightGreen_ : lightGrey_);
        FillRect(dc, &inner, received ? blue_ : darkGrey_);
    }
    HFONT font = fittingFont(dc);
    HGDIOBJ old = font ? SelectObject(dc, font) : nullptr;
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(255, 255, 255));
    RECT textArea = {kTextMargin, 0, kStatusImageWidth - kTextMargin, kStatusImageHeight};
    DrawTextW(dc, text, -1, &textArea, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    if (old)
        SelectObject(dc, old);
}
