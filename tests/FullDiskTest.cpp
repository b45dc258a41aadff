// The camera functions on a full disk: a picture that cannot be saved is an
// error naming the file and the system's reason, and nothing acts on the older
// picture that an earlier save left in its place. The disk is a tiny tmpfs
// mounted over zdjecia/ and filled up (root only; skipped where mounting is
// not allowed).
#include "support/Harness.h"

#include "capture/CaptureTesting.h"
#include "form/CameraShared.h"
#include "linecam/LineFollower.h"

#include <cerrno>
#include <cstring>

#include <QDir>
#include <QFile>
#include <QImage>

#include <cstdlib>
#include <sys/mount.h>

namespace {
constexpr const char *NoSpace = "No space left on device";

bool Contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

class FullDisk : public RobotTest {
protected:
    void SetUp() override
    {
        RobotTest::SetUp();
        const QByteArray pictures = QFile::encodeName(QDir::current().filePath("zdjecia"));
        if (mount("tmpfs", pictures.constData(), "tmpfs", 0, "size=1m") != 0)
            GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(errno) << ")";
        mounted_ = pictures;
        QDir().mkpath("zdjecia/przechwyt");
        QDir().mkpath("zdjecia/ruch");
        // Older pictures: all black, so the follower would turn left on one.
        QImage black(320, 240, QImage::Format_RGB888);
        black.fill(Qt::black);
        ASSERT_TRUE(black.save("zdjecia/przechwyt/temp.bmp", "BMP"));
        ASSERT_TRUE(black.save("zdjecia/przechwyt/plik.bmp", "BMP"));
        QFile filler("zdjecia/filler");
        ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
        const QByteArray block(4096, 'x');
        while (filler.write(block) == block.size() && filler.flush()) {
        }
        filler.close();
        setenv("ROBOT_CAPTURE_SOURCE", "test", 1);
        setenv("ROBOT_AUDIO_SINK", "fakesink", 1);
        ASSERT_TRUE(QFile::copy(ROBOT_BINARY_DIR "/assets/m.wav", "m.wav"));
    }
    void TearDown() override
    {
        RobotTest::TearDown();
        if (!mounted_.isEmpty())
            umount2(mounted_.constData(), MNT_DETACH);
    }

    QByteArray mounted_;
};
} // namespace

TEST_F(FullDisk, NoCameraFunctionActsOnAnOlderPicture)
{
    TForm1 &f = Form();
    // The line follower: one error, the motors off, and not one pulse.
    f.Edit36->setText("45");
    f.Edit37->setText("1");
    f.Edit38->setText("1");
    f.Button15Click();
    ASSERT_TRUE(WaitUntil([this] { return !errors.empty(); }));
    ProcessFor(300); // no second frame comes: the preview stays off
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(Contains(errors[0], "zdjecia/przechwyt/temp.bmp")) << errors[0];
    EXPECT_TRUE(Contains(errors[0], NoSpace)) << errors[0];
    EXPECT_EQ(Writes(), std::vector<int>{0});
    f.Button15Click();

    // "Przechwyt": the error, not the older plik.bmp.
    f.Button12Click();
    f.Button14Click();
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_TRUE(Contains(errors[1], "zdjecia/przechwyt/plik.bmp")) << errors[1];
    EXPECT_TRUE(Contains(errors[1], NoSpace)) << errors[1];
    EXPECT_TRUE(f.Image4->Picture().isNull());
    f.Button12Click();

    // Motion detection (every frame is motion at threshold 0): the real
    // cause once, and at the stop how many more snapshots were lost.
    f.Edit34->setText("0");
    f.Button18Click();
    f.Button16Click();
    ASSERT_TRUE(WaitUntil([&f] { return f.Label50->text().toInt() >= 3; }));
    f.Button16Click();
    const int lost = f.Label50->text().toInt();
    ASSERT_EQ(errors.size(), 4u);
    EXPECT_TRUE(Contains(errors[2], "zdjecia/ruch/ruch")) << errors[2];
    EXPECT_TRUE(Contains(errors[2], NoSpace)) << errors[2];
    EXPECT_TRUE(Contains(errors[3], std::to_string(lost - 1) + " more snapshots")) << errors[3];
    EXPECT_TRUE(QDir("zdjecia/ruch").isEmpty());
}
