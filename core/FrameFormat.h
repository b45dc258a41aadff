#pragma once
// Frame arithmetic of the capture windows: planar I420 frames packed without
// row padding, their conversion to RGB (BT.601, video range) and their
// saving as 24-bit bitmap files.
#include <QImage>
#include <QString>

#include <algorithm>
#include <cstddef>
#include <cstdint>

// Bytes of a packed I420 frame: a full-size luma plane, then the U and V
// planes at half width and half height (rounded up).
size_t I420FrameSize(int width, int height);

// One plane of a frame as a pipeline delivers it: rows may be padded.
struct PlaneView {
    const uint8_t *data;
    int stride; // bytes from one row to the next
};

// Copies the three planes (Y, U, V) of a frame into `out`, packed row after
// row without padding; `out` holds I420FrameSize(width, height) bytes.
void PackI420(const PlaneView planes[3], int width, int height, uint8_t *out);

// One pixel's colour from its luma and chroma (BT.601, Y 16..235, U/V 16..240),
// 8 bits a channel. Inline: the frame conversion calls it for every pixel.
struct PixelRgb {
    uint8_t r, g, b;
};
inline PixelRgb YuvToRgb(uint8_t y, uint8_t u, uint8_t v)
{
    // BT.601 video-range coefficients, scaled by 256.
    constexpr int LumaOffset = 16;
    constexpr int ChromaOffset = 128;
    constexpr int LumaScale = 298; // 255 / 219
    constexpr int VToRed = 409;    // 1.596
    constexpr int UToGreen = 100;  // 0.391
    constexpr int VToGreen = 208;  // 0.813
    constexpr int UToBlue = 516;   // 2.018
    constexpr int Rounding = 128;
    constexpr int Shift = 8;
    const auto clamp = [](int value) { return static_cast<uint8_t>(std::clamp(value, 0, 255)); };
    const int c = LumaScale * (int(y) - LumaOffset) + Rounding;
    const int d = int(u) - ChromaOffset;
    const int e = int(v) - ChromaOffset;
    return {clamp((c + VToRed * e) >> Shift), clamp((c - UToGreen * d - VToGreen * e) >> Shift),
            clamp((c + UToBlue * d) >> Shift)};
}

// Converts a packed I420 frame into RGB888 rows of `rgbStride` bytes.
void I420ToRgb888(const uint8_t *i420, int width, int height, uint8_t *rgb, int rgbStride);

// The frame as a picture (RGB888); a null image when the sizes are not
// positive.
QImage I420ToImage(const uint8_t *i420, int width, int height);

// Writes the frame as a 24-bit bitmap file. The file appears only when it was
// written completely; on any failure nothing is written, false is returned and
// `error` (if given) says why, in the system's words ("No space left on device").
bool SaveI420AsBmp(const QString &path, const uint8_t *i420, int width, int height,
                   QString *error = nullptr);
// The same for a frame already converted (I420ToImage).
bool SavePictureAsBmp(const QString &path, const QImage &picture, QString *error = nullptr);
