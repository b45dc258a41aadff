#pragma once
// An image box: shows a picture, optionally stretched to the box (keeping the
// aspect ratio when proportional). The picture can be loaded from a bitmap file
// and read or written pixel by pixel.
#include <QImage>
#include <QPixmap>
#include <QString>
#include <QWidget>

class ImageBox : public QWidget {
    Q_OBJECT
    Q_PROPERTY(bool stretch READ Stretch WRITE setStretch)
    Q_PROPERTY(bool proportional READ Proportional WRITE setProportional)
    Q_PROPERTY(QPixmap pixmap READ pixmap WRITE setPixmap)

public:
    explicit ImageBox(QWidget *parent = nullptr);

    bool Stretch() const { return stretch_; }
    void setStretch(bool on);
    bool Proportional() const { return proportional_; }
    void setProportional(bool on);

    QPixmap pixmap() const { return QPixmap::fromImage(picture_); }
    void setPixmap(const QPixmap &pixmap);

    // Loads a picture file; throws FileOpenError when it is missing or unreadable,
    // leaving the current picture unchanged.
    void LoadFromFile(const QString &path);

    // The picture's bitmap (empty until something is loaded or drawn).
    const QImage &Picture() const { return picture_; }
    bool HasPicture() const { return !picture_.isNull(); }
    // Replaces the bitmap and repaints.
    void SetPicture(QImage image);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QImage picture_;
    bool stretch_ = false;
    bool proportional_ = false;
};
