#pragma once
// Frame arithmetic of the capture windows: planar I420 frames packed without
// row padding, their conversion to RGB (BT.601, video range) and their
// saving as 24-bit bitmap files.
#include <QImage>
#include <QString>

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
// 8 bits a channel.
struct PixelRgb {
    uint8_t r, g, b;
};
PixelRgb YuvToRgb(uint8_t y, uint8_t u, uint8_t v);

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
