// Test runner: one offscreen application object for the whole run.
#include "sim/protocol/PrivatePlace.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

int main(int argc, char **argv)
{
#ifdef ROBOT_TEST_PRELOAD
    // A runner whose tests need an emulated device runs itself again with the
    // emulator preloaded, its device path (the switch) set.
    if (!std::getenv(ROBOT_TEST_PRELOAD_SWITCH)) {
        const char *preloaded = std::getenv("LD_PRELOAD");
        setenv("LD_PRELOAD", (std::string(ROBOT_TEST_PRELOAD) + (preloaded ? ":" : "") + (preloaded ? preloaded : "")).c_str(), 1);
        setenv(ROBOT_TEST_PRELOAD_SWITCH, ROBOT_TEST_PRELOAD_VALUE, 1);
        execv("/proc/self/exe", argv);
        return 127;
    }
#endif
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // Qt and the virtual robot want a private runtime folder: a fresh one
    // (mode 0700, a name nobody can guess) unless the session gives one.
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    QTemporaryDir freshRuntime(QDir::tempPath() + QStringLiteral("/robot-tests-runtime-XXXXXX"));
    if ((!runtime || !simproto::PrivateFolderProblem(runtime).empty()) && freshRuntime.isValid())
        setenv("XDG_RUNTIME_DIR", freshRuntime.path().toUtf8().constData(), 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
