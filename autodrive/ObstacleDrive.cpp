// "Czujnik przeszkody": forward drive with an obstacle sensor and a programmed
// avoidance manoeuvre.
//
// START runs the drive inside its own click, cycle after cycle: drive forward
// while the status register is sampled; one reading equal to a go value keeps
// the robot driving, otherwise it stands, waits and makes up to three chosen
// moves. Messages are drained only at the end of every cycle and twice at the
// start of a standstill, so STOP (or the other page's STOP) is seen at the top
// of the next cycle; a cycle under way always finishes.
#include "autodrive/SensorStop.h"
#include "core/Convert.h"
#include "core/ErrorDisplay.h"
#include "core/SensorDecisions.h"
#include "drive/Motor.h"
#include "drive/MoveChoice.h"
#include "drive/PortIo.h"
#include "drive/RunState.h"
#include "form/Unit1.h"

using namespace autodrive;

namespace {
const QString ForwardPicture = QStringLiteral("obrazki/naprzod.bmp");
const QString StopPicture = QStringLiteral("obrazki/stop.bmp");

int32_t Number(const QLineEdit *edit) { return ToInt32(edit->text()); }
void Show(QLabel *label, int32_t value) { label->setText(QString::number(value)); }

class ObstacleDrive {
public:
    explicit ObstacleDrive(TForm1 &form) : f_(form), lib_(BindPortIoLibrary()) {}

    // Returns when STOP is seen at the top of a cycle (or the window closes).
    void Run()
    {
        SensorStopFlag = SensorRun;
        goCount_ = 0;
        (void)Number(f_.Edit19); // only checked: the drive has no time limit
        standstillMs_ = Number(f_.Edit23);
        lib_.Out(DataPort, MotorOff);

        LoopScope loop;
        try {
            for (;;) {
                lib_.Out(DataPort, MotorForwardCode);
                if (SensorDriveMustEnd()) {
                    lib_.Out(DataPort, MotorOff);
                    return;
                }
                Sample();
                if (DrivesOn(goCount_))
                    DriveOn();
                else
                    AvoidObstacle();
                ShowReading();
                PumpMessages();
            }
        } catch (...) {
            // A bad field or a missing picture ends the drive: never leave the
            // motors running behind the error message.
            lib_.MotorsOff();
            throw;
        }
    }

private:
    int32_t ShowReading()
    {
        const int32_t reading = lib_.In(StatusPort);
        Show(f_.Label1, reading);
        return reading;
    }

    // The sample count and interval are read afresh every cycle, the go values
    // at every sample (each only when the ones before it did not match).
    void Sample()
    {
        const int32_t samples = Number(f_.Edit1);
        const int32_t intervalMs = Number(f_.Edit2);
        const QLineEdit *const goValues[GoValueCount] = {f_.Edit24, f_.Edit25, f_.Edit26};
        for (int32_t k = 0; k < samples; ++k) {
            const int32_t reading = lib_.In(StatusPort);
            Show(f_.Label1, reading);
            Show(f_.Label29, goCount_);
            if (IsGoReading(reading, [&](int i) { return Number(goValues[i]); }))
                ++goCount_;
            SleepMs(intervalMs);
        }
    }

    void DriveOn()
    {
        lib_.Out(DataPort, MotorForwardCode);
        ShowReading();
        EndCount();
        f_.Image2->LoadFromFile(ForwardPicture);
    }

    // Stand for the standstill time, then make the chosen moves; no messages
    // are drained meanwhile.
    void AvoidObstacle()
    {
        lib_.Out(DataPort, MotorOff);
        PumpMessages();
        f_.Image2->LoadFromFile(StopPicture);
        PumpMessages();
        ShowReading();
        EndCount();
        lib_.Out(DataPort, MotorOff);
        SleepMs(standstillMs_);
        Avoid(f_.ComboBox16, f_.Edit20);
        Avoid(f_.ComboBox17, f_.Edit21);
        Avoid(f_.ComboBox18, f_.Edit22);
        f_.Image2->LoadFromFile(StopPicture);
    }

    // One avoidance step: with an item chosen, its duration goes into the
    // pulse length its move uses (where it stays) and the move is made.
    static void Avoid(const QComboBox *move, const QLineEdit *durationMs)
    {
        RunChosenMove(move->currentIndex(), durationMs->text());
    }

    // Shows the cycle's final count and starts the next cycle's from 0.
    void EndCount()
    {
        Show(f_.Label29, goCount_);
        goCount_ = 0;
    }

    TForm1 &f_;
    const PortIoLibrary lib_;
    int32_t goCount_ = 0;
    int32_t standstillMs_ = 0;
};
} // namespace

void TForm1::BitBtn1Click()
{
    RunHandler([this] { ObstacleDrive(*this).Run(); });
}

void TForm1::BitBtn2Click()
{
    RunHandler([] { StopSensorDrives(); });
}
