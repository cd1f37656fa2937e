// The connection list's status images: one 100 x 15 picture per state, a progress bar with its
// percentage for 0 to 100, and the texts "Receiving Request", "Closed" and "Received". Drawing
// only; ShareTab puts the pictures into its image list.
#pragma once
#include <windows.h>

constexpr int kStatusImageWidth = 100;
constexpr int kStatusImageHeight = 15;
constexpr int kStatusImageCount = 104;
constexpr int kStatusImageReceiving = 101;
constexpr int kStatusImageClosed = 102;
constexpr int kStatusImageReceived = 103;

// The four solid brushes of the pictures, owned for the painter's lifetime.
class StatusImagePainter {
public:
    StatusImagePainter();
    ~StatusImagePainter();
    StatusImagePainter(const StatusImagePainter&) = delete;
    StatusImagePainter& operator=(const StatusImagePainter&) = delete;

    // False when a brush or the font could not be made.
    bool ok() const;
    // Draws picture index (0..103) into dc, whose bitmap is at least 100 x 15. The font is
    // chosen on first use from dc so that the longest text fits inside the border.
    void draw(HDC dc, int index);

private:
    HFONT fittingFont(HDC dc);

    HBRUSH lightGrey_, darkGrey_, blue_, lightGreen_;
    HFONT font_ = nullptr;
    bool fontChosen_ = false;
};
