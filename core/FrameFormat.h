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
// 8 bits a channel. The formula in parts: a luma term and a chroma term per
// channel, added, scaled down and clamped; the frame conversion works out
// each chroma sample's terms once for the two pixels that share it.
struct PixelRgb {
    uint8_t r, g, b;
};
namespace yuv {
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

constexpr int LumaTerm(uint8_t y) { return LumaScale * (int(y) - LumaOffset) + Rounding; }
constexpr int RedTerm(uint8_t v) { return VToRed * (int(v) - ChromaOffset); }
constexpr int GreenTerm(uint8_t u, uint8_t v)
{
    return -UToGreen * (int(u) - ChromaOffset) - VToGreen * (int(v) - ChromaOffset);
}
constexpr int BlueTerm(uint8_t u) { return UToBlue * (int(u) - ChromaOffset); }
// A channel from its scaled sum, clamped to 0..255: a table over every sum
// the terms can make, for the frame conversion's sake.
constexpr int ChannelLow = -384;
constexpr int ChannelCount = 1024;
// The extreme scaled sums (blue's, with luma 0 and 255 and chroma 0 and 255)
// lie inside the table.
static_assert(((LumaTerm(0) + BlueTerm(0)) >> Shift) >= ChannelLow, "a sum below the table");
static_assert(((LumaTerm(255) + BlueTerm(255)) >> Shift) < ChannelLow + ChannelCount, "a sum above the table");
static_assert(((LumaTerm(0) + RedTerm(0)) >> Shift) >= ChannelLow, "a sum below the table");
static_assert(((LumaTerm(0) + GreenTerm(255, 255)) >> Shift) >= ChannelLow, "a sum below the table");
struct ChannelTable {
    uint8_t values[ChannelCount];
    constexpr ChannelTable() : values()
    {
        for (int i = 0; i < ChannelCount; ++i)
            values[i] = static_cast<uint8_t>(std::clamp(i + ChannelLow, 0, 255));
    }
};
inline constexpr ChannelTable Channels{};
constexpr uint8_t Channel(int sum) { return Channels.values[(sum >> Shift) - ChannelLow]; }
} // namespace yuv

inline PixelRgb YuvToRgb(uint8_t y, uint8_t u, uint8_t v)
{
    const int c = yuv::LumaTerm(y);
    return {yuv::Channel(c + yuv::RedTerm(v)), yuv::Channel(c + yuv::GreenTerm(u, v)),
            yuv::Channel(c + yuv::BlueTerm(u))};
}

// Converts a packed I420 frame into 32-bit RGB rows (0xffRRGGBB, the words of
// QImage::Format_RGB32) of `rgbStride` bytes.
void I420ToRgb32(const uint8_t *i420, int width, int height, uint8_t *rgb, int rgbStride);

// The frame as a picture (RGB32, the format the window paints and the line
// averages read without a conversion); a null image when the sizes are not
// positive.
QImage I420ToImage(const uint8_t *i420, int width, int height);

// Writes the frame as a 24-bit bitmap file. The file appears only when it was
// written completely; on any failure nothing is written, false is returned and
// `error` (if given) says why, in the system's words ("No space left on device").
bool SaveI420AsBmp(const QString &path, const uint8_t *i420, int width, int height,
                   QString *error = nullptr);
// The same for a frame already converted (I420ToImage).
bool SavePictureAsBmp(const QString &path, const QImage &picture, QString *error = nullptr);
