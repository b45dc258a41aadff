// Start-up: the application object, the one main window, the message loop.
#include "app/DriveStopWatch.h"
#include "app/MessageBoxDisplay.h"
#include "app/StopKeys.h"
#include "app/Termination.h"
#include "app/Unit1.h"
#include "app/WindowSettings.h"
#include "core/ErrorDisplay.h"
#include "drive/PortIo.h"
#include "drive/ProgramEnd.h"
#include "drive/PulsePriority.h"
#include "manual/KeyDriving.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <exception>

namespace {
bool DisplayAvailable()
{
    auto set = [](const char *name) {
        const char *value = std::getenv(name);
        return value && *value;
    };
    return set("QT_QPA_PLATFORM") || set("DISPLAY") || set("WAYLAND_DISPLAY");
}
} // namespace

int main(int argc, char *argv[])
{
    if (!DisplayAvailable()) {
        std::fprintf(stderr, "robot: no display to show the window on (neither DISPLAY nor "
                             "WAYLAND_DISPLAY is set). Start it from a desktop session, or "
                             "under Xvfb (xvfb-run ./run).\n");
        return 1;
    }
    InstallTerminationHandlers();
    AnnouncePulseScheduling();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Robot"));
    std::string wrong;
    WindowSettings settings = WindowSettings::FromArguments(QApplication::arguments(), wrong);
    if (!wrong.empty()) {
        std::fprintf(stderr, "robot: %s\n", wrong.c_str());
        return 2;
    }
    // Errors are shown in a message box from here on (and on standard error).
    SetErrorDisplay(ShowInMessageBox);
    try {
        TForm1 form;
        Form1 = &form;
        settings.Load(form);
        form.show();
        // The port's device is opened in the background from now on (a
        // board takes seconds to start), so the first drive finds it ready;
        // asked twice a second, the library looks again for a device that
        // is not there and passes on what it has to say.
        QTimer portWatch;
        QObject::connect(&portWatch, &QTimer::timeout, [] { PortIoStatusLine(); });
        PortIoStatusLine();
        portWatch.start(500);
        TerminationWatch watch(form);
        DriveStopWatch stops;
        StopKeys keys(form);
        KeyDriving arrows(form);
        // An end asked for before the loop started is not missed: the watch
        // has seen it already.
        if (!programend::Requested())
            QApplication::exec();
        // A clean end: the window closed, not a signal or a lost display.
        if (!programend::Requested()) {
            std::string error;
            if (!settings.Save(form, error))
                std::fprintf(stderr, "robot: %s\n", error.c_str());
        }
        Form1 = nullptr;
    } catch (const std::exception &e) {
        ShowErrorMessage(e.what());
    }
    // 0 after the window was closed; 128 + n after signal n; 1 when the
    // display went away.
    return programend::Requested() ? programend::ExitStatus() : 0;
}
