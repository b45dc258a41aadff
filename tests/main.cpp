// Test runner: one offscreen application object for the whole run.
#include "sim/protocol/PrivatePlace.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char **argv)
{
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
