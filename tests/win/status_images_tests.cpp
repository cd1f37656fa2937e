// The connection list's status images drawn into a 100 x 15 bitmap: every text stays whole
// inside the border with the fonts this system has, rather than being cut at both ends.
#include <windows.h>

#include <doctest.h>

#include "StatusImages.h"

namespace {

struct Picture {
    HDC dc = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ old = nullptr;
    BYTE* bits = nullptr;
    int stride = 0;

    Picture() {
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = kStatusImageWidth;
        info.bmiHeader.biHeight = -kStatusImageHeight;   // top-down rows
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 24;
        dc = CreateCompatibleDC(nullptr);
        void* data = nullptr;
        bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &data, nullptr, 0);
        bits = static_cast<BYTE*>(data);
        old = SelectObject(dc, bitmap);
        stride = (kStatusImageWidth * 3 + 3) & ~3;
    }
    ~Picture() {
        SelectObject(dc, old);
        DeleteObject(bitmap);
        DeleteDC(dc);
    }
    COLORREF at(int x, int y) const {
        const BYTE* p = bits + y * stride + x * 3;
        return RGB(p[2], p[1], p[0]);
    }
    // Columns inside the border that hold anything but the fill colour.
    void textColumns(COLORREF fill, int* first, int* last) const {
        *first = kStatusImageWidth;
        *last = -1;
        for (int x = 1; x < kStatusImageWidth - 1; ++x)
            for (int y = 1; y < kStatusImageHeight - 1; ++y)
                if (at(x, y) != fill) {
                    if (x < *first)
                        *first = x;
                    *last = x;
                }
    }
};

}  // namespace

TEST_CASE("status_texts_fit_inside_the_border") {
    struct Case {
        int index;
        COLORREF fill;   // the inside colour behind the text
    };
    const Case cases[] = {
        {kStatusImageReceiving, RGB(50, 50, 50)},
        {kStatusImageClosed, RGB(50, 50, 50)},
        {kStatusImageReceived, RGB(100, 100, 255)},
        {100, RGB(100, 100, 255)},
    };
    StatusImagePainter painter;
    REQUIRE(painter.ok());
    for (const Case& c : cases) {
        CAPTURE(c.index);
        Picture picture;
        REQUIRE(picture.bits);
        painter.draw(picture.dc, c.index);
        GdiFlush();
        int first = 0, last = 0;
        picture.textColumns(c.fill, &first, &last);
        REQUIRE(last >= 0);   // there is text
        // Whole: clear of the three-pixel margins on both sides, so nothing was clipped.
        CHECK(first > 3);
        CHECK(last < kStatusImageWidth - 4);
        // Centred within a few pixels.
        CHECK(abs((first + last) - (kStatusImageWidth - 1)) <= 4);
    }
}
