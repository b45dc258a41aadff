#pragma once
// The sound player control of the camera tab: a file name, open, play, with the
// usual play and stop buttons.
#include <QString>
#include <QWidget>

class TMediaPlayer : public QWidget {
    Q_OBJECT

public:
    explicit TMediaPlayer(QWidget *parent = nullptr);
    ~TMediaPlayer() override;

    QString FileName;

    // Opens FileName; throws EMCIDeviceError when it is missing or unplayable.
    void Open();
    // Plays the opened file from its start.
    void Play();
    void Stop();
};
