#include "app/DriveStopWatch.h"

#include "drive/DriveStop.h"
#include "drive/RunState.h"

#include <QSocketNotifier>
#include <QTimer>

namespace {
// How often a stop looks whether the driving loops have ended.
constexpr int SettleCheckMs = 10;
} // namespace

DriveStopWatch::DriveStopWatch()
    : notifier_(new QSocketNotifier(drivestop::WakeDescriptor(), QSocketNotifier::Read, this)),
      settle_(new QTimer(this))
{
    settle_->setInterval(SettleCheckMs);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { Stopped(); });
    connect(settle_, &QTimer::timeout, this, [this] { SettleWhenLoopsEnd(); });
}

void DriveStopWatch::Stopped()
{
    drivestop::TakeEffect();
    drivestop::Acknowledge();
    if (!drivestop::Active())
        return;
    // Drives that no loop's test ends (the camera follower) stop as their
    // pages registered.
    drivestop::RunHooks();
    SettleWhenLoopsEnd();
}

void DriveStopWatch::SettleWhenLoopsEnd()
{
    // A loop that drains messages here is still on the stack: it ends at its
    // next test, and the stop holds until then.
    if (RunningLoops() > 0) {
        settle_->start();
        return;
    }
    settle_->stop();
    drivestop::Settle();
}
