#include "app/Termination.h"

#include "drive/DriveStop.h"
#include "drive/PortIo.h"
#include "drive/ProgramEnd.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QSocketNotifier>
#include <QWidget>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <xcb/xcb.h>

namespace {
constexpr int EndSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};
constexpr int CrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
// The exit status when the display has gone.
constexpr int DisplayLostStatus = 1;
// How long a crash handler may take to switch the motors off before the
// process is ended anyway (a lock held by the code that crashed).
constexpr unsigned LastChanceSeconds = 2;

void OnEndSignal(int signal)
{
    const int saved = errno;
    if (!programend::Request(128 + signal, signal)) {
        // Asked again while ending: end now. Whatever the port still holds is
        // switched off by the port library's guard (or the virtual robot).
        _exit(128 + signal);
    }
    errno = saved;
}

// Ctrl+Z: the motors off first, then the program stops itself.
void OnStopRequest(int)
{
    drivestop::RequestSuspend();
}

// The program goes on after a stop (its own, a SIGSTOP, a debugger's): it
// carries on with every drive stopped, the pulse under way ended early.
void OnContinue(int)
{
    drivestop::Continued();
    drivestop::Request();
}

void OnCrash(int signal)
{
    alarm(LastChanceSeconds);
    MotorsOffLastChance();
    // The handler was reset on entry and the signal is not blocked: raising
    // it again runs the default action at once.
    raise(signal);
}

// Room for the crash handler when the crash is a stack overflow.
void UseAlternateSignalStack()
{
    static char stack[64 * 1024];
    stack_t alternate{};
    alternate.ss_sp = stack;
    alternate.ss_size = sizeof stack;
    sigaltstack(&alternate, nullptr);
}

void Install(int signal, void (*handler)(int), int flags)
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    sigaction(signal, &action, nullptr);
}

void Tell(const char *what)
{
    std::fprintf(stderr, "robot: %s: motors off, ending.\n", what);
    std::fflush(stderr);
}
} // namespace

void InstallTerminationHandlers()
{
    // Made now, before any signal can ask for them.
    (void)programend::WakeDescriptor();
    drivestop::Prepare();
    Install(SIGTSTP, OnStopRequest, SA_RESTART);
    Install(SIGCONT, OnContinue, SA_RESTART);
    UseAlternateSignalStack();
    for (int signal : EndSignals)
        Install(signal, OnEndSignal, SA_RESTART);
    for (int signal : CrashSignals)
        Install(signal, OnCrash, SA_RESETHAND | SA_NODEFER | SA_ONSTACK);
}

TerminationWatch::TerminationWatch(QWidget &window)
    : notifier_(new QSocketNotifier(programend::WakeDescriptor(), QSocketNotifier::Read, this)), window_(&window)
{
    connect(notifier_, &QSocketNotifier::activated, this, [this] { EndRequested(); });
    // Only on the X11 platform itself: the offscreen one answers for an X11
    // interface too, without a connection.
    auto *x11 = QGuiApplication::platformName() == QLatin1String("xcb")
                    ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>()
                    : nullptr;
    if (x11 && x11->connection()) {
        windowId_ = window.winId();
        // A pulse sleeping when the display goes away wakes at once.
        programend::EndOnHangUp(xcb_get_file_descriptor(x11->connection()), DisplayLostStatus);
        QCoreApplication::instance()->installNativeEventFilter(this);
    }
    if (programend::Requested())
        EndRequested();
}

TerminationWatch::~TerminationWatch()
{
    programend::EndOnHangUp(-1, 0);
    if (QCoreApplication *app = QCoreApplication::instance())
        app->removeNativeEventFilter(this);
}

bool TerminationWatch::nativeEventFilter(const QByteArray &eventType, void *message, qintptr *)
{
    if (eventType != "xcb_generic_event_t")
        return false;
    const auto *event = static_cast<const xcb_generic_event_t *>(message);
    if ((event->response_type & 0x7f) != XCB_DESTROY_NOTIFY)
        return false;
    const auto *destroyed = static_cast<const xcb_destroy_notify_event_t *>(message);
    // Closing the window destroys its native window too, and the loop may
    // still see that before it ends: only a window destroyed while it shows
    // was taken away from outside.
    if (windowId_ != 0 && destroyed->window == windowId_ && window_->isVisible())
        programend::Request(DisplayLostStatus, 0);
    return false;
}

void TerminationWatch::EndRequested()
{
    notifier_->setEnabled(false);
    if (const int signal = programend::Signal()) {
        const char *name = sigabbrev_np(signal);
        Tell((std::string("SIG") + (name ? name : std::to_string(signal))).c_str());
    } else {
        Tell("the window or its display has gone");
    }
    // Leaves every event loop of the thread (the main loop, a message box, a
    // dialog); driving loops see the request at their next test.
    QCoreApplication::exit(programend::ExitStatus());
}
