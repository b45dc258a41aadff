#pragma once
// Carries out a stop of every drive (drive/DriveStop.h) on the GUI thread when
// it comes while the thread is in an event loop (the main loop, or a driving
// loop's drain): the motors off at once, a pending suspension carried out,
// and, once every driving loop has ended, the stop settled so that the window
// works as before. A drive that runs from frames rather than from a loop (the
// camera line follower) is stopped by the hook its page registered
// (drivestop::AddHook). A stop that comes during a pulse is taken by the
// pulse's sleep first; this then settles it.
#include <QObject>

class QSocketNotifier;
class QTimer;

class DriveStopWatch : public QObject {
public:
    DriveStopWatch();

private:
    void Stopped();
    void SettleWhenLoopsEnd();

    QSocketNotifier *notifier_;
    QTimer *settle_;
};
