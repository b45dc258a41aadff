// "Ruch po linii bez przeszkody": the sensor line follower.
//
// START runs the follower inside its own click, cycle after cycle: sample the
// status register as many times as the sample field says, counting how many readings equalled each of the five
// category values, then drive on, pulse a turn, halt, or stand while the STOP
// value is read. Messages are drained at every sample, at every decision and
// while standing, so STOP (or the other page's STOP) is seen at the top of the
// next cycle or at the next check of the wait.
#include "autodrive/SensorLineFollower.h"

#include "autodrive/SensorStop.h"
#include "core/Convert.h"
#include "core/ErrorDisplay.h"
#include "drive/Motor.h"
#include "drive/RunState.h"
#include "form/Unit1.h"

using namespace autodrive;

namespace {
const QString ForwardPicture = QStringLiteral("obrazki/naprzod2.bmp");
const QString StopPicture = QStringLiteral("obrazki/stop2.bmp");
const QString LeftPicture = QStringLiteral("obrazki/wlewo2.bmp");
const QString RightPicture = QStringLiteral("obrazki/wprawo2.bmp");

int32_t Number(const QLineEdit *edit) { return ToInt32(edit->text()); }
void Show(QLabel *label, int32_t value) { label->setText(QString::number(value)); }

// The field holding each category's value, in the order of LineCategory.
const QLineEdit *CategoryField(const TForm1 &f, LineCategory c)
{
    switch (c) {
    case LineCategory::Go:
        return f.Edit41;
    case LineCategory::Left:
        return f.Edit27;
    case LineCategory::Right:
        return f.Edit28;
    case LineCategory::LeftObstacle:
        return f.Edit29;
    case LineCategory::RightObstacle:
        return f.Edit30;
    }
    return f.Edit41;
}

class LineFollower {
public:
    explicit LineFollower(TForm1 &form) : f_(form), lib_(BindPortIoLibrary()) {}

    // Returns when STOP is seen (or the window closes).
    void Run()
    {
        lib_.Out(DataPort, MotorOff);
        counts_.Clear();
        SensorStopFlag = SensorRun;
        settings_ = ReadLineFollowerSettings(f_);

        LoopScope loop;
        try {
            lib_.Out(DataPort, MotorForwardCode);
            for (;;) {
                if (SensorDriveMustEnd()) {
                    lib_.Out(DataPort, MotorOff);
                    return;
                }
                for (int32_t k = 0; k < settings_.Samples; ++k)
                    TakeLineSample(f_, lib_, settings_, counts_, k);
                if (!Act(DecideLine(counts_)))
                    return;
            }
        } catch (...) {
            // A bad field or a missing picture ends the follower: never leave
            // the motors running behind the error message.
            lib_.MotorsOff();
            throw;
        }
    }

private:
    // Carries out a cycle's decision; false when the follower ends meanwhile.
    bool Act(LineDecision decision)
    {
        switch (decision) {
        case LineDecision::Mixed:
            PumpMessages();
            lib_.Out(DataPort, MotorOff);
            counts_.Clear();
            return true;
        case LineDecision::Go:
            PumpMessages();
            counts_[LineCategory::Go] = 0;
            lib_.Out(DataPort, MotorForwardCode);
            f_.Image3->LoadFromFile(ForwardPicture);
            return true;
        case LineDecision::Left:
            Turn(LeftPicture, LineCategory::Left, MotorLeftCode, settings_.LeftTurnMs);
            return true;
        case LineDecision::Right:
            Turn(RightPicture, LineCategory::Right, MotorRightCode, settings_.RightTurnMs);
            return true;
        case LineDecision::LeftObstacle:
            Halt(LineCategory::LeftObstacle);
            return true;
        case LineDecision::RightObstacle:
            Halt(LineCategory::RightObstacle);
            return true;
        case LineDecision::None:
            return StandWhileStopValue();
        }
        return true;
    }

    void Turn(const QString &picture, LineCategory category, short code, int32_t durationMs)
    {
        PumpMessages();
        f_.Image3->LoadFromFile(picture);
        counts_[category] = 0;
        lib_.Out(DataPort, code);
        SleepMs(durationMs);
        lib_.Out(DataPort, MotorOff);
    }

    void Halt(LineCategory category)
    {
        PumpMessages();
        f_.Image3->LoadFromFile(StopPicture);
        counts_[category] = 0;
        lib_.Out(DataPort, MotorOff);
    }

    // Nothing matched: the motors stay off, and the register is read again
    // every stop time for as long as it shows the STOP value. False when the
    // follower ends during the wait (the port already holds 0).
    bool StandWhileStopValue()
    {
        f_.Image3->LoadFromFile(StopPicture);
        PumpMessages();
        f_.Image3->LoadFromFile(StopPicture);
        lib_.Out(DataPort, MotorOff);
        for (;;) {
            if (SensorDriveMustEnd())
                return false;
            PumpMessages();
            SleepMs(settings_.StopMs);
            if (lib_.In(StatusPort) != settings_.StopValue)
                return true;
            PumpMessages();
            f_.Image3->LoadFromFile(StopPicture);
        }
    }

    TForm1 &f_;
    const PortIoLibrary lib_;
    LineFollowerSettings settings_;
    LineCounts counts_;
};
} // namespace

namespace autodrive {

LineFollowerSettings ReadLineFollowerSettings(const TForm1 &f)
{
    LineFollowerSettings s;
    s.Samples = Number(f.Edit39);
    s.IntervalMs = Number(f.Edit40);
    s.StopMs = Number(f.Edit31);
    s.LeftTurnMs = Number(f.Edit32);
    s.RightTurnMs = Number(f.Edit33);
    s.StopValue = Number(f.Edit42);
    s.SlowDownMs = Number(f.Edit43);
    return s;
}

void TakeLineSample(TForm1 &f, const PortIoLibrary &lib, const LineFollowerSettings &s, LineCounts &counts,
                    int32_t index)
{
    if (IsSlowDownSample(index, s.Samples)) {
        lib.Out(DataPort, MotorOff);
        SleepMs(s.SlowDownMs);
        lib.Out(DataPort, MotorForwardCode);
    }
    const int32_t reading = lib.In(StatusPort);
    Show(f.Label41, reading);
    Show(f.Label42, counts[LineCategory::Go]);
    Show(f.Label80, counts[LineCategory::Left]);
    Show(f.Label81, counts[LineCategory::Right]);
    Show(f.Label84, counts[LineCategory::LeftObstacle]);
    Show(f.Label85, counts[LineCategory::RightObstacle]);
    PumpMessages();
    CountLineSample(
        counts, reading, [&](LineCategory c) { return Number(CategoryField(f, c)); },
        [&](LineCategory c) {
            if (PausesAfterMatch(c))
                SleepMs(s.IntervalMs);
        });
    SleepMs(s.IntervalMs);
}

} // namespace autodrive

void TForm1::Button22Click()
{
    RunHandler([this] { LineFollower(*this).Run(); });
}

void TForm1::Button21Click()
{
    RunHandler([] { StopSensorDrives(); });
}
