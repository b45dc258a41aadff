// Writes the pictures and the sound of the program.
//   make_pictures --assets DIR   the files the program reads from its working
//                                directory: obrazki/*.bmp (24-bit) and m.wav
//   make_pictures --stored DIR   the pictures stored with the window (PNG)
//   make_pictures --icon DIR     the installed program's icon, robot-control.png
#include "Pictures.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QPainter>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const QColor Green(0, 150, 40);
const QColor Red(200, 20, 20);
const QColor Amber(245, 170, 0);
const QColor White(255, 255, 255);
const QColor Black(0, 0, 0);

// The small status pictures of the obstacle drive and the larger ones of the
// sensor line follower.
constexpr int SmallWidth = 150, SmallHeight = 40;
constexpr int LargeWidth = 160, LargeHeight = 52;
constexpr int RobotWidth = 370, RobotHeight = 278;

bool Save(const QImage &image, const QString &path, const char *format)
{
    if (image.save(path, format))
        return true;
    std::fprintf(stderr, "make_pictures: cannot write %s\n", qPrintable(path));
    return false;
}

bool WriteAssets(const QDir &dir)
{
    if (!dir.mkpath(QStringLiteral("obrazki")))
        return false;
    const QString o = dir.filePath(QStringLiteral("obrazki/"));
    bool ok = true;
    ok &= Save(DrawStatusPicture(SmallWidth, SmallHeight, "NAPRZOD", Green, White), o + "naprzod.bmp", "BMP");
    ok &= Save(DrawStatusPicture(SmallWidth, SmallHeight, "STOP", Red, White), o + "stop.bmp", "BMP");
    ok &= Save(DrawStatusPicture(LargeWidth, LargeHeight, "NAPRZOD", Green, White), o + "naprzod2.bmp", "BMP");
    ok &= Save(DrawStatusPicture(LargeWidth, LargeHeight, "STOP", Red, White), o + "stop2.bmp", "BMP");
    ok &= Save(DrawStatusPicture(LargeWidth, LargeHeight, "W LEWO", Amber, Black, -1), o + "wlewo2.bmp", "BMP");
    ok &= Save(DrawStatusPicture(LargeWidth, LargeHeight, "W PRAWO", Amber, Black, +1), o + "wprawo2.bmp", "BMP");
    QFile wav(dir.filePath(QStringLiteral("m.wav")));
    const QByteArray tone = ToneWav(880.0, 0.3, 22050);
    if (!wav.open(QIODevice::WriteOnly) || wav.write(tone) != tone.size()) {
        std::fprintf(stderr, "make_pictures: cannot write %s\n", qPrintable(wav.fileName()));
        ok = false;
    }
    return ok;
}

bool WriteStored(const QDir &dir)
{
    bool ok = true;
    ok &= Save(DrawRobot(RobotWidth, RobotHeight), dir.filePath("robot.png"), "PNG");
    ok &= Save(DrawStatusPicture(SmallWidth, SmallHeight, "NAPRZOD", Green, White), dir.filePath("naprzod.png"), "PNG");
    ok &= Save(DrawStatusPicture(LargeWidth, LargeHeight, "NAPRZOD", Green, White), dir.filePath("naprzod2.png"), "PNG");
    return ok;
}

// The robot picture, centred on a square of its width, for menus and docks.
bool WriteIcon(const QDir &dir)
{
    constexpr int Side = 128;
    const QImage robot = DrawRobot(RobotWidth, RobotHeight).scaled(Side, Side, Qt::KeepAspectRatio,
                                                                     Qt::SmoothTransformation);
    QImage icon(Side, Side, QImage::Format_ARGB32);
    icon.fill(Qt::transparent);
    QPainter painter(&icon);
    painter.drawImage((Side - robot.width()) / 2, (Side - robot.height()) / 2, robot);
    painter.end();
    return Save(icon, dir.filePath(QStringLiteral("robot-control.png")), "PNG");
}

} // namespace

int main(int argc, char *argv[])
{
    // Drawing text needs a GUI application, but no screen.
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QGuiApplication app(argc, argv);
    const bool known = argc == 3 && (std::strcmp(argv[1], "--assets") == 0 || std::strcmp(argv[1], "--stored") == 0 ||
                                      std::strcmp(argv[1], "--icon") == 0);
    if (!known) {
        std::fprintf(stderr, "usage: make_pictures --assets DIR | --stored DIR | --icon DIR\n");
        return 2;
    }
    QDir dir(QString::fromLocal8Bit(argv[2]));
    if (!dir.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "make_pictures: cannot create %s\n", argv[2]);
        return 1;
    }
    const bool ok = std::strcmp(argv[1], "--assets") == 0   ? WriteAssets(dir)
                    : std::strcmp(argv[1], "--stored") == 0 ? WriteStored(dir)
                                                            : WriteIcon(dir);
    return ok ? 0 : 1;
}
