#include "support/TestPicture.h"

#include <QFile>

#include <gtest/gtest.h>

void ExpectSolidColour(const QImage &image)
{
    ASSERT_EQ(image.size(), QSize(320, 240));
    for (QPoint p : {QPoint(0, 0), QPoint(160, 120), QPoint(319, 239)}) {
        EXPECT_NEAR(qRed(image.pixel(p)), 0x33, 4);
        EXPECT_NEAR(qGreen(image.pixel(p)), 0x66, 4);
        EXPECT_NEAR(qBlue(image.pixel(p)), 0xcc, 4);
    }
}

uint16_t BitsPerPixel(const QString &bmp)
{
    QFile file(bmp);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray head = file.read(30);
    return head.size() < 30 ? 0 : uint16_t(uint8_t(head[28]) | uint8_t(head[29]) << 8);
}

bool SaveSolidBmp(const QString &path, const QColor &colour)
{
    QImage image(8, 4, QImage::Format_RGB32);
    image.fill(colour);
    return image.save(path, "BMP");
}
