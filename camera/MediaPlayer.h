#pragma once
// The sound player control of the camera tab: a file name, open, play, with the
// usual play and stop buttons. Plays through GStreamer's playbin.
//
// The audio output is the system's default unless ROBOT_AUDIO_SINK names a
// GStreamer sink description (for example "fakesink") or SetAudioSink chose
// one; the choice applies from the next Open.
#include <QString>
#include <QWidget>

class QTimer;
class QToolButton;
struct _GstElement;

// What the player can do now: play (Stopped), stop (Playing), or neither
// until a file is opened (NotReady).
enum class PlayerMode { NotReady, Stopped, Playing };

class TMediaPlayer : public QWidget {
    Q_OBJECT

public:

    explicit TMediaPlayer(QWidget *parent = nullptr);
    ~TMediaPlayer() override;

    QString FileName;

    // Opens FileName, ready to play from its start; throws SoundDeviceError when
    // it is missing or unplayable (the player is then closed).
    void Open();
    // Plays the opened file from its start; throws SoundDeviceError when nothing
    // is open or the output failed.
    void Play();
    // Stops playing and rewinds; nothing happens when nothing is open.
    void Stop();
    // Releases the file and the output.
    void Close();

    PlayerMode Mode() const { return mode_; }

    void SetAudioSink(const QString &description) { audioSink_ = description; }
    QString AudioSink() const { return audioSink_; }

private:
    void SetMode(PlayerMode mode);
    // Takes the messages the pipeline has posted; returns the text of the first
    // error among them (empty when none) and notes the end of the stream.
    QString TakeBusMessages();
    [[noreturn]] void Fail(const QString &what);

    _GstElement *pipeline_ = nullptr;
    QString openedPath_;
    QString playbackError_; // an error of the output while playing, reported by the next call
    QString audioSink_;
    QString openedSink_; // the output the open file was prepared for
    PlayerMode mode_ = PlayerMode::NotReady;
    QToolButton *playButton_;
    QToolButton *stopButton_;
    QTimer *busPoll_;
};
