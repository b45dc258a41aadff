// The sound player control: opening, playing, and the errors of bad files.
#include "support/Harness.h"

#include "camera/MediaPlayer.h"
#include "core/Exceptions.h"

#include <QDataStream>
#include <QFile>
#include <QToolButton>

#include <cmath>
#include <cstdlib>

// A mono 16-bit PCM tone of `ms` milliseconds (shared with the detector's tests).
void WriteToneWav(const QString &path, int ms)
{
    constexpr uint32_t Rate = 8000;
    const uint32_t samples = Rate * uint32_t(ms) / 1000;
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    QDataStream out(&file);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("RIFF", 4);
    out << quint32(36 + samples * 2);
    out.writeRawData("WAVEfmt ", 8);
    // PCM, mono, rate, bytes per second, block size, bits per sample
    out << quint32(16) << quint16(1) << quint16(1) << Rate << Rate * 2 << quint16(2) << quint16(16);
    out.writeRawData("data", 4);
    out << quint32(samples * 2);
    for (uint32_t i = 0; i < samples; ++i)
        out << qint16(8000 * std::sin(2 * M_PI * 880 * i / Rate));
}

namespace {
class MediaPlayer : public RobotTest {
protected:
    void SetUp() override
    {
        RobotTest::SetUp();
        setenv("ROBOT_AUDIO_SINK", "fakesink sync=true", 1);
    }
};
} // namespace

TEST_F(MediaPlayer, PlaysAWaveFileToItsEndAndAgain)
{
    WriteToneWav("m.wav", 150);
    TMediaPlayer player;
    EXPECT_EQ(player.AudioSink(), QString("fakesink sync=true"));
    player.FileName = "m.wav";
    EXPECT_THROW(player.Play(), SoundDeviceError); // nothing open yet
    player.Open();
    EXPECT_EQ(player.Mode(), PlayerMode::Stopped);
    for (int round = 0; round < 2; ++round) {
        player.Play();
        EXPECT_EQ(player.Mode(), PlayerMode::Playing);
        EXPECT_TRUE(WaitUntil([&] { return player.Mode() == PlayerMode::Stopped; }, 3000))
            << "the end of the sound was not noticed, round " << round;
        player.Open(); // the same file again, as every motion frame does
    }
    // Stop while playing, through the control's own button.
    player.Play();
    auto *stop = player.findChild<QToolButton *>("StopButton");
    ASSERT_NE(stop, nullptr);
    EXPECT_TRUE(stop->isEnabled());
    stop->click();
    EXPECT_EQ(player.Mode(), PlayerMode::Stopped);
    EXPECT_FALSE(stop->isEnabled());
}

TEST_F(MediaPlayer, MissingOrUnplayableFilesRaiseTheMediaError)
{
    TMediaPlayer player;
    player.FileName = "brak.wav";
    EXPECT_THROW(player.Open(), SoundDeviceError);
    EXPECT_EQ(player.Mode(), PlayerMode::NotReady);

    QFile garbage("zly.wav");
    ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
    garbage.write(QByteArray(4096, '\x13'));
    garbage.close();
    player.FileName = "zly.wav";
    try {
        player.Open();
        ADD_FAILURE() << "a garbage file opened";
    } catch (const SoundDeviceError &e) {
        EXPECT_NE(std::string(e.what()).find("zly.wav"), std::string::npos) << e.what();
    }

    // A file that was open and then disappeared.
    WriteToneWav("m.wav", 50);
    player.FileName = "m.wav";
    player.Open();
    ASSERT_TRUE(QFile::remove("m.wav"));
    EXPECT_THROW(player.Open(), SoundDeviceError);
    EXPECT_THROW(player.Play(), SoundDeviceError);
}
