#include "core/reference/LineAveragesPerPixel.h"

LineAverages AverageFramePerPixel(const QImage &picture)
{
    // Channel sums of the left and the right half.
    Rgb left;
    Rgb right;
    for (int y = 0; y < LineFrameHeight; ++y) {
        for (int x = 0; x < LineFrameWidth; ++x) {
            const ColourValue v = picture.valid(x, y) ? ColourValueOf(picture.pixel(x, y))
                                                      : InvalidColourValue;
            Rgb &half = x < LineHalfWidth ? left : right;
            half.red += RedOf(v);
            half.green += GreenOf(v);
            half.blue += BlueOf(v);
        }
    }
    LineAverages out;
    out.whole = {(left.red + right.red) / LineFramePixels, (left.green + right.green) / LineFramePixels,
                 (left.blue + right.blue) / LineFramePixels};
    out.left = {left.red / LineHalfPixels, left.green / LineHalfPixels, left.blue / LineHalfPixels};
    out.right = {right.red / LineHalfPixels, right.green / LineHalfPixels, right.blue / LineHalfPixels};
    return out;
}
