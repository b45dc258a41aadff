#include "camera/MediaPlayer.h"

#include "capture/GStreamer.h"
#include "core/ErrorDisplay.h"
#include "core/Exceptions.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <QUrl>

#include <gst/gst.h>

#include <cstdlib>

namespace {
// How long Open waits for the file to be ready to play.
constexpr GstClockTime OpenTimeout = 5 * GST_SECOND;
// How often the end of a sound (and output errors) are looked for while playing.
constexpr int BusPollMs = 50;

QString ErrorText(GstMessage *message)
{
    GError *error = nullptr;
    gst_message_parse_error(message, &error, nullptr);
    QString text = error ? QString::fromUtf8(error->message) : QStringLiteral("Unknown error");
    if (error)
        g_error_free(error);
    return text;
}
} // namespace

TMediaPlayer::TMediaPlayer(QWidget *parent)
    : QWidget(parent), playButton_(new QToolButton(this)), stopButton_(new QToolButton(this)),
      busPoll_(new QTimer(this))
{
    if (const char *sink = std::getenv("ROBOT_AUDIO_SINK"))
        audioSink_ = QString::fromUtf8(sink);

    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(1);
    playButton_->setObjectName(QStringLiteral("PlayButton"));
    playButton_->setIcon(style()->standardIcon(QStyle::SP_MediaPlay));
    playButton_->setToolTip(QStringLiteral("Play"));
    stopButton_->setObjectName(QStringLiteral("StopButton"));
    stopButton_->setIcon(style()->standardIcon(QStyle::SP_MediaStop));
    stopButton_->setToolTip(QStringLiteral("Stop"));
    for (QToolButton *b : {playButton_, stopButton_}) {
        b->setAutoRaise(false);
        b->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
        layout->addWidget(b);
    }
    layout->addStretch(1);
    connect(playButton_, &QToolButton::clicked, this, [this] { RunHandler([this] { Play(); }); });
    connect(stopButton_, &QToolButton::clicked, this, [this] { RunHandler([this] { Stop(); }); });

    busPoll_->setInterval(BusPollMs);
    connect(busPoll_, &QTimer::timeout, this, [this] {
        const QString error = TakeBusMessages();
        if (!error.isEmpty()) {
            playbackError_ = error;
            SetMode(PlayerMode::Stopped);
        }
    });
    SetMode(PlayerMode::NotReady);
}

TMediaPlayer::~TMediaPlayer()
{
    Close();
}

void TMediaPlayer::SetMode(PlayerMode mode)
{
    mode_ = mode;
    playButton_->setEnabled(mode != PlayerMode::NotReady);
    stopButton_->setEnabled(mode == PlayerMode::Playing);
    if (mode == PlayerMode::Playing)
        busPoll_->start();
    else
        busPoll_->stop();
}

void TMediaPlayer::Close()
{
    if (pipeline_) {
        gst_element_set_state(pipeline_, GST_STATE_NULL);
        gst_object_unref(pipeline_);
        pipeline_ = nullptr;
    }
    openedPath_.clear();
    playbackError_.clear();
    SetMode(PlayerMode::NotReady);
}

void TMediaPlayer::Fail(const QString &what)
{
    throw SoundDeviceError(what.toStdString());
}

QString TMediaPlayer::TakeBusMessages()
{
    if (!pipeline_)
        return {};
    QString firstError;
    GstBus *bus = gst_element_get_bus(pipeline_);
    while (GstMessage *message = gst_bus_pop_filtered(
               bus, GstMessageType(GST_MESSAGE_ERROR | GST_MESSAGE_EOS))) {
        if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
            if (firstError.isEmpty())
                firstError = ErrorText(message);
        } else if (mode_ == PlayerMode::Playing) {
            SetMode(PlayerMode::Stopped);
        }
        gst_message_unref(message);
    }
    gst_object_unref(bus);
    return firstError;
}

void TMediaPlayer::Open()
{
    const QFileInfo file(FileName);
    const QString path = file.absoluteFilePath();

    // The same file again: keep the prepared output unless it failed meanwhile.
    if (pipeline_ && path == openedPath_ && openedSink_ == audioSink_ && playbackError_.isEmpty() &&
        file.isFile()) {
        const QString error = TakeBusMessages();
        if (error.isEmpty())
            return;
    }

    Close();
    if (FileName.isEmpty())
        Fail(QStringLiteral("No file name given to the media player"));
    if (!file.isFile() || !file.isReadable())
        Fail(QStringLiteral("Cannot open \"%1\": Resource not found.").arg(FileName));

    EnsureGStreamer();
    GstElement *playbin = gst_element_factory_make("playbin", nullptr);
    if (!playbin)
        Fail(QStringLiteral("Cannot open \"%1\": no media player available").arg(FileName));
    pipeline_ = GST_ELEMENT(gst_object_ref_sink(playbin));
    // Sound only: never make a video window for a file that also has pictures.
    g_object_set(pipeline_, "video-sink", gst_element_factory_make("fakesink", nullptr), nullptr);
    if (!audioSink_.isEmpty()) {
        GError *error = nullptr;
        GstElement *sink =
            gst_parse_bin_from_description(audioSink_.toUtf8().constData(), TRUE, &error);
        if (!sink) {
            const QString text = error ? QString::fromUtf8(error->message) : QString();
            if (error)
                g_error_free(error);
            Close();
            Fail(QStringLiteral("Cannot open the audio output \"%1\": %2").arg(audioSink_, text));
        }
        g_object_set(pipeline_, "audio-sink", sink, nullptr);
    }
    const QByteArray uri = QUrl::fromLocalFile(path).toEncoded();
    g_object_set(pipeline_, "uri", uri.constData(), nullptr);

    GstStateChangeReturn result = gst_element_set_state(pipeline_, GST_STATE_PAUSED);
    if (result != GST_STATE_CHANGE_FAILURE)
        result = gst_element_get_state(pipeline_, nullptr, nullptr, OpenTimeout);
    QString error = TakeBusMessages();
    if (result == GST_STATE_CHANGE_FAILURE || result == GST_STATE_CHANGE_ASYNC || !error.isEmpty()) {
        if (error.isEmpty())
            error = result == GST_STATE_CHANGE_ASYNC ? QStringLiteral("Timed out.")
                                                     : QStringLiteral("Cannot be played.");
        Close();
        Fail(QStringLiteral("Cannot open \"%1\": %2").arg(FileName, error));
    }
    openedPath_ = path;
    openedSink_ = audioSink_;
    SetMode(PlayerMode::Stopped);
}

void TMediaPlayer::Play()
{
    if (!pipeline_)
        Fail(QStringLiteral("The media player has no file open"));
    QString error = playbackError_.isEmpty() ? TakeBusMessages() : playbackError_;
    if (!error.isEmpty()) {
        const QString name = FileName;
        Close();
        Fail(QStringLiteral("Cannot play \"%1\": %2").arg(name, error));
    }
    gst_element_seek_simple(pipeline_, GST_FORMAT_TIME,
                            GstSeekFlags(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE), 0);
    if (gst_element_set_state(pipeline_, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        error = TakeBusMessages();
        const QString name = FileName;
        Close();
        Fail(QStringLiteral("Cannot play \"%1\": %2")
                 .arg(name, error.isEmpty() ? QStringLiteral("Cannot be played.") : error));
    }
    SetMode(PlayerMode::Playing);
}

void TMediaPlayer::Stop()
{
    if (!pipeline_)
        return;
    gst_element_set_state(pipeline_, GST_STATE_PAUSED);
    gst_element_seek_simple(pipeline_, GST_FORMAT_TIME,
                            GstSeekFlags(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE), 0);
    SetMode(PlayerMode::Stopped);
}
