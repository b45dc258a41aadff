// The camera functions on a USB webcam that offers MJPEG at 1280 x 720 and YUYV
// at 640 x 480 only, emulated at the kernel boundary (tests/emulator/
// V4l2Emulator.cpp, preloaded by this runner) and captured by GStreamer's own
// v4l2src. Its picture: the left half black, the right half orange.
#include "support/Harness.h"

#include "capture/CaptureSources.h"
#include "capture/CaptureTesting.h"
#include "form/CameraShared.h"
#include "linecam/LineFollower.h"

#include <QComboBox>
#include <QDialog>
#include <QFile>
#include <QImage>

#include <cstdlib>

namespace {
constexpr QRgb Orange = 0xffff8800;
constexpr int Left = 17, Forward = 18;

// The 640 x 480 picture as YUYV (BT.601, video range): two pixels share U, V.
QByteArray Yuyv(const QImage &picture)
{
    QByteArray out;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); x += 2) {
            const QRgb a = picture.pixel(x, y), b = picture.pixel(x + 1, y);
            auto luma = [](QRgb c) { return char(16 + (66 * qRed(c) + 129 * qGreen(c) + 25 * qBlue(c) + 128) / 256); };
            const int r = (qRed(a) + qRed(b)) / 2, g = (qGreen(a) + qGreen(b)) / 2, bl = (qBlue(a) + qBlue(b)) / 2;
            out.append(luma(a)).append(char(128 + (-38 * r - 74 * g + 112 * bl + 128) / 256));
            out.append(luma(b)).append(char(128 + (112 * r - 94 * g - 18 * bl + 128) / 256));
        }
    return out;
}

class EmulatedCamera : public RobotTest {
protected:
    void SetUp() override
    {
        RobotTest::SetUp();
        device = std::getenv("V4L2_EMU_DEVICE");
        QImage picture(1280, 720, QImage::Format_RGB32);
        picture.fill(Orange);
        for (int y = 0; y < 720; ++y)
            std::fill_n(reinterpret_cast<QRgb *>(picture.scanLine(y)), 640, qRgb(0, 0, 0));
        const std::string jpeg = Dir() + "/camera.jpg", yuyv = Dir() + "/camera.yuyv";
        ASSERT_TRUE(picture.save(QString::fromStdString(jpeg), "JPG", 95));
        QFile raw(QString::fromStdString(yuyv));
        ASSERT_TRUE(raw.open(QIODevice::WriteOnly));
        raw.write(Yuyv(picture.scaled(640, 480)));
        raw.close();
        setenv("V4L2_EMU_MJPEG", jpeg.c_str(), 1);
        setenv("V4L2_EMU_YUYV", yuyv.c_str(), 1);
        unsetenv("V4L2_EMU_CORRUPT");
        unsetenv("V4L2_EMU_UNPLUG");
        setenv("ROBOT_CAPTURE_SOURCE", device.c_str(), 1);
    }
    // Edit3, Edit35, Edit36, Edit37, Edit38: the follower's fields.
    void Fields(const QStringList &texts)
    {
        TForm1 &f = Form();
        QLineEdit *edits[] = {f.Edit3, f.Edit35, f.Edit36, f.Edit37, f.Edit38};
        for (int i = 0; i < 5; ++i)
            edits[i]->setText(texts[i]);
    }
    void Choose(QSize size, std::optional<PictureForm> form = std::nullopt)
    {
        CaptureDriverSettings().frames[device] = {size, form};
    }
    // Black on the left, orange on the right, at every size.
    static void ExpectKnownPicture(const QImage &image)
    {
        const int w = image.width(), h = image.height();
        for (QPoint p : {QPoint(w / 8, h / 8), QPoint(w / 4, h - 4)})
            EXPECT_LT(qGray(image.pixel(p)), 24) << p.x() << "," << p.y();
        for (QPoint p : {QPoint(w - w / 8, h / 8), QPoint(w - 4, h - 4)}) {
            EXPECT_NEAR(qRed(image.pixel(p)), 255, 16);
            EXPECT_NEAR(qGreen(image.pixel(p)), 0x88, 16);
            EXPECT_LT(qBlue(image.pixel(p)), 24);
        }
    }

    std::string device;
};

struct FormatCase {
    const char *name;
    QSize asked;
    QString shown; // the format dialog's entry for it
};
void PrintTo(const FormatCase &c, std::ostream *out) { *out << c.name; }
class CameraForms : public EmulatedCamera, public testing::WithParamInterface<FormatCase> {};

// The snapshot, as "Kamera 2" and "Przechwyt" make it, and what "Format
// wideo" lists: the device's sizes in both forms, and the program's own.
TEST_P(CameraForms, SnapshotShowsThePictureAndTheDialogListsBothForms)
{
    Choose(GetParam().asked);
    TForm1 &f = Form();
    f.Button12Click();
    f.Button14Click();
    EXPECT_TRUE(errors.empty()) << errors.front();
    const QImage snapshot("zdjecia/przechwyt/plik.bmp");
    ASSERT_EQ(snapshot.size(), GetParam().asked);
    ExpectKnownPicture(snapshot);

    QStringList listed;
    QString selected;
    SetCaptureDialogHook([&](QDialog &dialog) {
        auto *size = dialog.findChild<QComboBox *>("size");
        for (int i = 0; i < size->count(); ++i)
            listed << size->itemText(i);
        selected = size->currentText();
        return int(QDialog::Rejected);
    });
    f.Button19Click();
    EXPECT_TRUE(listed.contains("640 x 480, YUY2, 30 kl/s")) << listed.join(" | ").toStdString();
    EXPECT_TRUE(listed.contains("1280 x 720, MJPEG, 30 kl/s")) << listed.join(" | ").toStdString();
    EXPECT_EQ(selected, GetParam().shown);
    f.Button12Click();
}
INSTANTIATE_TEST_SUITE_P(EmulatedCamera, CameraForms,
                         testing::Values(FormatCase{"Yuyv640Scaled", {320, 240}, "320 x 240"},
                                         FormatCase{"Mjpeg1280", {1280, 720}, "1280 x 720, MJPEG, 30 kl/s"}),
                         [](const testing::TestParamInfo<FormatCase> &info) { return std::string(info.param.name); });

// The follower on decoded MJPEG pictures (scaled to its 320 x 240): the
// black left half matches the black reference, so each frame turns left
// twice and drives forward once.
TEST_F(EmulatedCamera, LineFollowerSteersByTheDecodedPicture)
{
    Choose({320, 240}, PictureForm::Jpeg);
    TForm1 &f = Form();
    Fields({"1", "1", "45", "1", "2"});
    f.Button15Click();
    ASSERT_TRUE(WaitUntil([this] { return Writes().size() >= 18; })) << "no frame reached the follower";
    f.Button15Click();
    EXPECT_TRUE(errors.empty());
    const std::vector<int> perPass{0, Left, 0, 0, Left, 0, 0, Forward, 0};
    const std::vector<int> writes = Writes();
    ASSERT_EQ(writes.size() % perPass.size(), 0u);
    for (size_t i = 0; i < writes.size(); i += perPass.size())
        EXPECT_EQ(std::vector<int>(writes.begin() + i, writes.begin() + i + perPass.size()), perPass);
    EXPECT_LE(f.Label61->text().toInt(), 8);  // left half: red
    EXPECT_GE(f.Label64->text().toInt(), 240); // right half: red
    EXPECT_EQ(GetCaptureStats(LineCaptureWindow).dropped, 0u);
}

std::vector<int> *BottomLeft = nullptr;
LRESULT RecordBottomLeft(HWND, VIDEOHDR *header)
{
    BottomLeft->push_back(header->lpData[239 * 320 + 8]); // luma, 320 x 240
    return 1;
}

// A picture cut short is dropped and counted; none but whole pictures reach
// the callback (a cut one decodes grey below the cut).
TEST_F(EmulatedCamera, ACorruptPictureIsDroppedNeverShown)
{
    setenv("V4L2_EMU_CORRUPT", "3", 1);
    Choose({320, 240}, PictureForm::Jpeg);
    std::vector<int> lumas;
    BottomLeft = &lumas;
    QWidget panel;
    const HWND w = capCreateCaptureWindowA(nullptr, WS_CHILD | WS_VISIBLE, 0, 0, 160, 120, WindowHandle(&panel), 1);
    ASSERT_EQ(SendMessageA(w, WM_CAP_DRIVER_CONNECT, 0, 0), 1);
    SendMessageA(w, WM_CAP_SET_PREVIEW, 1, 0);
    SendMessageA(w, WM_CAP_SET_CALLBACK_FRAME, 0, reinterpret_cast<LPARAM>(&RecordBottomLeft));
    EXPECT_TRUE(WaitUntil([&] { return lumas.size() >= 8; }));
    EXPECT_EQ(GetCaptureStats(w).dropped, 1u);
    for (int luma : lumas)
        EXPECT_LT(luma, 30);
    SendMessageA(w, WM_CAP_DRIVER_DISCONNECT, 0, 0);
    BottomLeft = nullptr;
    EXPECT_TRUE(errors.empty());
}

// Unplugged while the follower drives: the camera stops with a message naming
// it, no frame comes after, and the motors are off.
TEST_F(EmulatedCamera, UnpluggedMidStreamStopsTheFollowerWithAMessage)
{
    setenv("V4L2_EMU_UNPLUG", "10", 1);
    TForm1 &f = Form();
    Fields({"1", "1", "45", "1", "0"});
    f.Button15Click();
    ASSERT_TRUE(WaitUntil([this] { return !errors.empty(); }));
    ProcessFor(300);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find(device), std::string::npos) << errors[0];
    EXPECT_NE(errors[0].find("stopped"), std::string::npos) << errors[0];
    const CaptureStats stats = GetCaptureStats(LineCaptureWindow);
    EXPECT_FALSE(stats.connected);
    EXPECT_LE(stats.callbacks, 10u);
    const std::vector<int> writes = Writes();
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back(), 0);
}
} // namespace
