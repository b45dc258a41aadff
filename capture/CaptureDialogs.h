#pragma once
// The driver's own dialogs of a capture window: the video source (which device,
// its picture controls) and the video format (the frame size).
#include "capture/CameraPipeline.h"
#include "capture/CaptureSources.h"

#include <QDialog>

#include <functional>
#include <map>
#include <string>
#include <vector>

class QComboBox;
class QSlider;

// Runs a driver dialog modally (or hands it to the test hook); its result.
int RunDriverDialog(QDialog &dialog);

class VideoSourceDialog : public QDialog {
    Q_OBJECT
public:
    // `apply` is called while a control is moved, so its effect shows at once.
    VideoSourceDialog(const std::vector<CaptureSource> &devices, const std::string &current,
                      const std::vector<PictureControl> &controls,
                      std::function<void(const std::string &, int)> apply, QWidget *parent);

    std::string ChosenDevice() const;
    // Control name → the value set now.
    std::map<std::string, int> Values() const;

private:
    QComboBox *device_;
    std::vector<std::string> keys_;
    std::map<std::string, QSlider *> sliders_;
};

// Lists what the source offers, each size with its form and rate where the
// source says them ("1280 x 720, MJPEG, 30 kl/s"), and the size the program
// works at now when the source does not offer it as it is.
class VideoFormatDialog : public QDialog {
    Q_OBJECT
public:
    VideoFormatDialog(const std::vector<CameraOffer> &offers, const FrameChoice &current, QWidget *parent);

    FrameChoice Chosen() const;

private:
    QComboBox *size_;
    std::vector<FrameChoice> choices_;
};
