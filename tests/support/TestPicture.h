#pragma once
// Pictures for the tests: the camera's solid test source and bitmap files.
#include <QColor>
#include <QImage>
#include <QString>

#include <cstdint>

// A solid test picture of a known colour (ARGB 0xff3366cc).
constexpr const char *SolidSource =
    "videotestsrc is-live=true pattern=solid-color foreground-color=0xff3366cc";

// Checks that `image` is 320 x 240 in the solid source's colour (two corners
// and the middle, each channel within 4).
void ExpectSolidColour(const QImage &image);
// The bits per pixel in a bitmap file's header; 0 when it cannot be read.
uint16_t BitsPerPixel(const QString &bmp);
// Saves an 8 x 4 bitmap of one colour, as the program's pictures are.
bool SaveSolidBmp(const QString &path, const QColor &colour);
