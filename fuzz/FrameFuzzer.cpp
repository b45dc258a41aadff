// Fuzz harness: the camera frame arithmetic on frames of any size. The motion
// measure and its grid marks on a buffer of any length, checked against a
// plain sum and against writes past the buffer; the line follower's averages
// of a picture of any size and pixel format, checked against the same
// averages read pixel by pixel.
//
// Input: two bytes of buffer length (in units of 16 bytes), two of picture
// width and two of height (each up to 700), one of pixel format; the rest
// fills the buffer and the picture, repeated as often as needed.
#include "core/LineAnalysis.h"
#include "core/MotionMeasure.h"
#include "core/reference/LineAveragesPerPixel.h"

#include <QImage>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {
constexpr int MaxSide = 700;
constexpr uint8_t Guard = 0xA5;
constexpr size_t GuardBytes = 64;

void Check(bool ok)
{
    if (!ok)
        std::abort();
}

// The formats a picture may come in (a bitmap file loads as some of them).
const QImage::Format Formats[] = {
    QImage::Format_RGB32,       QImage::Format_ARGB32,   QImage::Format_ARGB32_Premultiplied,
    QImage::Format_RGB888,      QImage::Format_BGR888,   QImage::Format_RGB16,
    QImage::Format_Grayscale8,  QImage::Format_Grayscale16, QImage::Format_RGBA8888,
    QImage::Format_RGBA8888_Premultiplied, QImage::Format_RGBX64, QImage::Format_Indexed8,
    QImage::Format_Mono,        QImage::Format_Alpha8,
};

uint8_t Byte(const uint8_t *rest, size_t restSize, size_t i) { return restSize ? rest[i % restSize] : uint8_t(i); }
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 7)
        return 0;
    const size_t length = size_t(data[0] | data[1] << 8) * 16 + data[0] % 16; // up to about 1 MB
    const int width = (data[2] | data[3] << 8) % (MaxSide + 1);
    const int height = (data[4] | data[5] << 8) % (MaxSide + 1);
    const QImage::Format format = Formats[data[6] % (sizeof(Formats) / sizeof(Formats[0]))];
    const uint8_t *rest = data + 7;
    const size_t restSize = size - 7;

    // The motion measure: guards after the buffer catch a mark written past it.
    std::vector<uint8_t> buffer(length + GuardBytes, Guard);
    for (size_t i = 0; i < length; ++i)
        buffer[i] = Byte(rest, restSize, i);
    const uint32_t n = MeasuredLength(static_cast<uint32_t>(length));
    uint32_t sum = 0; // in 32 bits, as the measure sums
    for (uint32_t i = 0; i < n; ++i)
        sum += buffer[i];
    int32_t mean = -1;
    const bool measured = MeasureAndMark(buffer.data(), static_cast<uint32_t>(length), mean);
    Check(measured == (n > 0));
    if (measured)
        Check(mean == static_cast<int32_t>(sum / n));
    for (size_t i = length; i < buffer.size(); ++i)
        Check(buffer[i] == Guard);

    // The line averages: both readings agree on any picture.
    QImage picture(width, height, format);
    if (!picture.isNull()) {
        if (format == QImage::Format_Indexed8 || format == QImage::Format_Mono) {
            QVector<QRgb> table;
            for (int i = 0; i < (format == QImage::Format_Mono ? 2 : 256); ++i)
                table.append(qRgba(Byte(rest, restSize, 4 * i), Byte(rest, restSize, 4 * i + 1),
                                   Byte(rest, restSize, 4 * i + 2), 255));
            picture.setColorTable(table);
        }
        for (int y = 0; y < height; ++y) {
            uint8_t *line = picture.scanLine(y);
            for (qsizetype x = 0; x < picture.bytesPerLine(); ++x)
                line[x] = Byte(rest, restSize, size_t(y) * picture.bytesPerLine() + x);
        }
    }
    Check(AverageFrame(picture) == AverageFramePerPixel(picture));
    return 0;
}
