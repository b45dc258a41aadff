#include "core/FrameFormat.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {
int ChromaWidth(int width) { return (width + 1) / 2; }
int ChromaHeight(int height) { return (height + 1) / 2; }
} // namespace

size_t I420FrameSize(int width, int height)
{
    if (width <= 0 || height <= 0)
        return 0;
    return size_t(width) * height + 2 * size_t(ChromaWidth(width)) * ChromaHeight(height);
}

void PackI420(const PlaneView planes[3], int width, int height, uint8_t *out)
{
    const int widths[3] = {width, ChromaWidth(width), ChromaWidth(width)};
    const int heights[3] = {height, ChromaHeight(height), ChromaHeight(height)};
    for (int p = 0; p < 3; ++p) {
        const uint8_t *row = planes[p].data;
        for (int y = 0; y < heights[p]; ++y) {
            std::memcpy(out, row, widths[p]);
            out += widths[p];
            row += planes[p].stride;
        }
    }
}

void I420ToRgb32(const uint8_t *i420, int width, int height, uint8_t *rgb, int rgbStride)
{
    const int cw = ChromaWidth(width);
    const uint8_t *uPlane = i420 + size_t(width) * height;
    const uint8_t *vPlane = uPlane + size_t(cw) * ChromaHeight(height);
    auto word = [](int c, int red, int green, int blue) {
        return 0xFF000000u | uint32_t(yuv::Channel(c + red)) << 16 | uint32_t(yuv::Channel(c + green)) << 8 |
               uint32_t(yuv::Channel(c + blue));
    };
    for (int y = 0; y < height; ++y) {
        const uint8_t *luma = i420 + size_t(y) * width;
        const uint8_t *u = uPlane + size_t(y / 2) * cw;
        const uint8_t *v = vPlane + size_t(y / 2) * cw;
        auto *out = reinterpret_cast<uint32_t *>(rgb + size_t(y) * rgbStride);
        // Two pixels side by side share one chroma sample and its terms:
        // YuvToRgb for each, with the shared part worked out once.
        for (int x = 0; x < width; x += 2) {
            const int red = yuv::RedTerm(v[x / 2]);
            const int green = yuv::GreenTerm(u[x / 2], v[x / 2]);
            const int blue = yuv::BlueTerm(u[x / 2]);
            out[x] = word(yuv::LumaTerm(luma[x]), red, green, blue);
            if (x + 1 < width)
                out[x + 1] = word(yuv::LumaTerm(luma[x + 1]), red, green, blue);
        }
    }
}

QImage I420ToImage(const uint8_t *i420, int width, int height)
{
    if (width <= 0 || height <= 0)
        return {};
    QImage image(width, height, QImage::Format_RGB32);
    I420ToRgb32(i420, width, height, image.bits(), int(image.bytesPerLine()));
    return image;
}

bool SaveI420AsBmp(const QString &path, const uint8_t *i420, int width, int height, QString *error)
{
    return SavePictureAsBmp(path, I420ToImage(i420, width, height), error);
}

bool SavePictureAsBmp(const QString &path, const QImage &image, QString *error)
{
    auto fail = [error](const QString &reason) {
        if (error)
            *error = reason;
        return false;
    };
    if (image.isNull())
        return fail(QStringLiteral("the frame is empty"));
    // Written beside the target and renamed over it only when complete. No
    // sync to disk: the follower rewrites its frame file for every frame.
    const QString partial = path + QStringLiteral(".part");
    QFile file(partial);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return fail(file.errorString());
    const bool written = image.save(&file, "BMP") && file.flush();
    // The file's own error says why (a full disk), where the image writer
    // would only say that it failed.
    QString reason = file.error() != QFileDevice::NoError ? file.errorString()
                                                          : QStringLiteral("the picture could not be written");
    file.close();
    if (written) {
        if (std::rename(QFile::encodeName(partial).constData(), QFile::encodeName(path).constData()) == 0)
            return true;
        reason = QString::fromLocal8Bit(std::strerror(errno));
    }
    QFile::remove(partial);
    return fail(reason);
}
