#include "form/ImageBox.h"

#include "core/Exceptions.h"

#include <QImageReader>
#include <QPainter>

ImageBox::ImageBox(QWidget *parent) : QWidget(parent) {}

void ImageBox::setStretch(bool on)
{
    stretch_ = on;
    update();
}

void ImageBox::setProportional(bool on)
{
    proportional_ = on;
    update();
}

void ImageBox::setPixmap(const QPixmap &pixmap)
{
    SetPicture(pixmap.toImage());
}

void ImageBox::SetPicture(QImage image)
{
    picture_ = std::move(image);
    update();
}

void ImageBox::LoadFromFile(const QString &path)
{
    QImageReader reader(path);
    QImage image = reader.read();
    if (image.isNull())
        throw FileOpenError("Cannot open file \"" + path.toStdString() + "\". " +
                          reader.errorString().toStdString());
    SetPicture(std::move(image));
}

void ImageBox::paintEvent(QPaintEvent *)
{
    if (picture_.isNull())
        return;
    QPainter painter(this);
    if (!stretch_) {
        painter.drawImage(0, 0, picture_);
        return;
    }
    QRect target = rect();
    if (proportional_) {
        QSize size = picture_.size().scaled(target.size(), Qt::KeepAspectRatio);
        target = QRect(QPoint(0, 0), size);
    }
    painter.drawImage(target, picture_);
}
