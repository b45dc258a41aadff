// Start-up: the application object, the one main window, the message loop.
#include "app/DriveStopWatch.h"
#include "app/MessageBoxDisplay.h"
#include "app/PortStatusLine.h"
#include "app/StopKeys.h"
#include "app/Termination.h"
#include "app/WindowSettings.h"
#include "core/ErrorDisplay.h"
#include "drive/ProgramEnd.h"
#include "drive/PulsePriority.h"
#include "form/Unit1.h"
#include "manual/KeyDriving.h"

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

// The window was closed, but the typed fields it was to keep were not saved.
constexpr int NotSavedStatus = 3;
} // namespace

int main(int argc, char *argv[])
{
    // Asked for before anything needs a display.
    if (AsksForUsage(argc, argv)) {
        std::fputs(ProgramUsage, stdout);
        return 0;
    }
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
    bool unsaved = false;
    try {
        TForm1 form;
        Form1 = &form;
        settings.Load(form);
        form.show();
        // The port's device is opened in the background from now on (a
        // board takes seconds to start), so the first drive finds it ready;
        // asked twice a second, the library looks again for a device that
        // is not there and passes on what it has to say, and the window's
        // status line shows its state.
        PortStatusLine port(*form.PortStatus);
        TerminationWatch watch(form);
        DriveStopWatch stops;
        StopKeys keys(form);
        KeyDriving arrows(form);
        // Saved as the operator closes the window, while it still shows.
        SaveAtClose keeper(form, settings);
        // An end asked for before the loop started is not missed: the watch
        // has seen it already.
        if (!programend::Requested())
            QApplication::exec();
        unsaved = keeper.Unsaved();
        Form1 = nullptr;
    } catch (const std::exception &e) {
        ShowErrorMessage(e.what());
    }
    // 0 after the window was closed (3 when its fields could not be saved);
    // 128 + n after signal n; 1 when the display went away.
    if (programend::Requested())
        return programend::ExitStatus();
    return unsaved ? NotSavedStatus : 0;
}
