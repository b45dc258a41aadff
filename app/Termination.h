#pragma once
// The ways the program ends without a click: a signal that asks it to end
// (SIGTERM, SIGINT, SIGHUP, SIGQUIT), a crash, and the display going away.
// Each of them leaves the motors off:
//   - an end signal wakes a pulse under way (it writes 0 and returns), ends
//     every driving loop as closing the window does, and the program returns
//     128 + the signal's number; a second end signal ends it at once;
//   - a crash writes 0 through the port entry point bound last, then the
//     signal's default action runs (a core dump is kept);
//   - a display connection that breaks or a window destroyed from outside
//     ends the program with status 1 after the same motors-off steps.
//   - Ctrl+Z (SIGTSTP) stops every drive and writes 0, then the program stops
//     itself; when it goes on (SIGCONT, after any stop) every drive stays
//     stopped (drive/DriveStop.h).
// Deaths no code can see (kill -9) and stops no code can catch (SIGSTOP) are
// covered by the port library's guard.
#include <QAbstractNativeEventFilter>
#include <QObject>

class QSocketNotifier;
class QWidget;

// Installs the signal handlers. Call once, early in main().
void InstallTerminationHandlers();

// Leaves the application's event loops once the program has been asked to
// end, and watches `window` (and the display it is on) for going away.
// Lives on the GUI thread for as long as the event loop runs.
class TerminationWatch : public QObject, public QAbstractNativeEventFilter {
public:
    explicit TerminationWatch(QWidget &window);
    ~TerminationWatch() override;

    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result) override;

private:
    void EndRequested();

    QSocketNotifier *notifier_;
    QWidget *window_; // the form, which outlives this watch
    unsigned long windowId_ = 0;
};
