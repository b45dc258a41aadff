// Start-up: the application object, the one main window, the message loop.
#include "app/DriveStopWatch.h"
#include "app/MessageBoxDisplay.h"
#include "app/Termination.h"
#include "app/Unit1.h"
#include "core/ErrorDisplay.h"
#include "drive/ProgramEnd.h"
#include "drive/PulsePriority.h"

#include <QApplication>

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
    // Errors are shown in a message box from here on (and on standard error).
    SetErrorDisplay(ShowInMessageBox);
    try {
        TForm1 form;
        Form1 = &form;
        form.show();
        TerminationWatch watch(form);
        DriveStopWatch stops;
        // An end asked for before the loop started is not missed: the watch
        // has seen it already.
        if (!programend::Requested())
            QApplication::exec();
        Form1 = nullptr;
    } catch (const std::exception &e) {
        ShowErrorMessage(e.what());
    }
    // 0 after the window was closed; 128 + n after signal n; 1 when the
    // display went away.
    return programend::Requested() ? programend::ExitStatus() : 0;
}
