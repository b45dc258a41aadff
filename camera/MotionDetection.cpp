// Motion detection on the camera tab.
#include "camera/MotionDetection.h"

#include "camera/MediaPlayer.h"
#include "core/Clock.h"
#include "core/Convert.h"
#include "core/ErrorDisplay.h"
#include "core/Exceptions.h"
#include "core/FrameAge.h"
#include "core/MotionMeasure.h"
#include "form/CameraShared.h"
#include "form/Unit1.h"

#include <QFile>
#include <QFileInfo>

#include <string>

int32_t MotionThreshold = 0;
int32_t FrameMeans[2] = {0, 0};
int32_t FrameMeanSlot = 0;
int32_t CurrentFrameMean = 0;
int32_t MotionCount = 0;
int32_t StillCount = 0;
int32_t SnapshotNumber = 0;
QString SnapshotPath;

namespace {
// The detector's capture window in Panel2.
constexpr int DetectorWidth = 160;
constexpr int DetectorHeight = 120;
constexpr WPARAM PreviewOn = 1;
const QString MotionSound = QStringLiteral("m.wav");
// A field whose text is not a number.
const QString InvalidNumberStyle = QStringLiteral("background-color: #ffc8c8; color: #a00000;");

// The steps of a motion frame that can fail. A failing step is shown once
// per detection run, after the frame, and the frame goes on.
ReportOnce SoundFailed;
ReportOnce SaveFailed;
ReportOnce PictureFailed;
// Motion snapshots of this detection run that could not be saved.
int32_t LostSnapshots = 0;

void ForgetShownErrors()
{
    for (ReportOnce *failed : {&SoundFailed, &SaveFailed, &PictureFailed})
        failed->Forget();
    LostSnapshots = 0;
}

bool FileTaken(const QString &path)
{
    return QFileInfo::exists(path);
}

// The steps of a motion frame after the counts: sound, grab, save, show,
// preview on again.
void HandleMotionFrame()
{
    RunHandler(
        [] {
            if (!Form1)
                return;
            Form1->MediaPlayer1->FileName = MotionSound;
            Form1->MediaPlayer1->Open();
            Form1->MediaPlayer1->Play();
        },
        SoundFailed);
    GuardedSend(CaptureWindow, WM_CAP_GRAB_FRAME, 0, 0);
    const QByteArray path = QFile::encodeName(SnapshotPath); // NUL-terminated
    bool saved = false;
    RunHandler(
        [&] {
            try {
                SaveFrame(CaptureWindow, path.constData());
                saved = true;
            } catch (...) {
                ++LostSnapshots;
                throw;
            }
        },
        SaveFailed);
    // A snapshot that was not saved is not looked for: its error says why.
    if (saved)
        RunHandler(
            [] {
                if (Form1)
                    Form1->Image5->LoadFromFile(SnapshotPath);
            },
            PictureFailed);
    GuardedSend(CaptureWindow, WM_CAP_SET_PREVIEW, PreviewOn, 0);
}
} // namespace

LRESULT MotionFrameCallback(HWND window, VIDEOHDR *header)
{
    // A picture that is not current is not judged: it is passed over.
    if (IsWindow(window) && JudgeFrameAge(GetCaptureTimes(window).frameNs, MonotonicNs()) != FrameAge::Current)
        return 1;
    int32_t mean = 0;
    // An empty buffer has no mean: the frame is passed over.
    if (!header || !MeasureAndMark(header->lpData, header->dwBufferLength, mean))
        return 1;
    CurrentFrameMean = mean;
    FrameMeans[FrameMeanSlot] = CurrentFrameMean;

    const QString dateText = TodaySnapshotDateText();
    SnapshotPath = SnapshotFileName(SnapshotNumber, dateText);
    if (Form1)
        Form1->Label49->setText(QString::number(CurrentFrameMean));

    const int32_t difference = MeanDifference(FrameMeans[0], FrameMeans[1]);
    if (!IsMotion(difference, MotionThreshold)) {
        ++StillCount;
    } else {
        // A snapshot of an earlier run of the same day keeps its name.
        const int32_t freeNumber = FirstFreeSnapshotNumber(SnapshotNumber, dateText, FileTaken);
        if (freeNumber != SnapshotNumber) {
            SnapshotNumber = freeNumber;
            SnapshotPath = SnapshotFileName(SnapshotNumber, dateText);
        }
        ++MotionCount;
        ++SnapshotNumber;
        HandleMotionFrame();
    }

    if (Form1) {
        Form1->Label50->setText(QString::number(MotionCount));
        Form1->Label51->setText(QString::number(StillCount));
        Form1->Label52->setText(QString::number(difference));
    }
    CurrentFrameMean = 0;
    FrameMeanSlot = NextMeanSlot(FrameMeanSlot);
    return 1;
}

void ResetMotionCounters()
{
    MotionCount = 0;
    StillCount = 0;
    CurrentFrameMean = 0;
    if (Form1) {
        Form1->Label49->setText(QStringLiteral("0"));
        Form1->Label50->setText(QStringLiteral("0"));
        Form1->Label51->setText(QStringLiteral("0"));
    }
}

void ReportLostSnapshots()
{
    // The first failure was shown; the ones after it were counted.
    const int32_t unreported = LostSnapshots - 1;
    LostSnapshots = 0;
    if (unreported > 0)
        ShowErrorMessage("Motion detection stopped: " + std::to_string(unreported) +
                         (unreported == 1 ? " more snapshot" : " more snapshots") +
                         " could not be saved after the first error.");
}

void TForm1::Button16Click()
{
    RunHandler([this] {
        MotionThreshold = ToInt32(Edit34->text());
        if (CameraRunning == 0) {
            ForgetShownErrors();
            StartCapturePreview(Button16, Panel2, DetectorWidth, DetectorHeight, CaptureWindow,
                                MotionFrameCallback);
        } else {
            StopCapture(Button16, CaptureWindow);
            ReportLostSnapshots();
        }
    });
}

void TForm1::Button18Click()
{
    RunHandler([] { ResetMotionCounters(); });
}

void TForm1::Edit34Change()
{
    // The threshold itself is taken at the next click of Button16; while the
    // text is not a number the field says so instead of an error per keystroke.
    bool valid = true;
    try {
        ToInt32(Edit34->text());
    } catch (const ConversionError &) {
        valid = false;
    }
    Edit34->setStyleSheet(valid ? QString() : InvalidNumberStyle);
}
