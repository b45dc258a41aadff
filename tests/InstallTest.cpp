// The installed program: `cmake --install` into a fresh prefix, the launcher
// started headless prepares the working directory in the user's data folder
// and runs the program on the virtual robot; a SIGTERM to the launcher ends
// the program and the simulator; uninstalling removes what was installed and
// leaves the user's pictures.
#include "support/RobotProcess.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

namespace {
std::string Slurp(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Eventually(const std::function<bool()> &done, int ms = 20000)
{
    for (int waited = 0; waited < ms; waited += 50) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return done();
}

QStringList FilesUnder(const QString &dir)
{
    QStringList files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    return files;
}

// Whether a process runs the program at `path`.
bool Running(const std::string &path)
{
    std::string out;
    return RunCommand({"pgrep", "-f", path}, &out) == 0;
}
} // namespace

TEST(InstalledProgram, LauncherRunsItFromTheUsersDataFolderAndUninstallLeavesThePictures)
{
    QTemporaryDir dir;
    const std::string prefix = dir.filePath("prefix").toStdString();
    const std::string data = dir.filePath("data").toStdString();
    std::string out;
    ASSERT_EQ(RunCommand({"cmake", "--install", ROBOT_BINARY_DIR, "--prefix", prefix}, &out, 60000), 0) << out;
    for (const char *file : {"/bin/robot", "/lib/robot/bin/robot", "/lib/robot/bin/libinpout32.so",
                             "/lib/robot/lib/sim/libinpout32.so", "/lib/robot/lib/recording/libinpout32.so",
                             "/lib/robot/lib/ftdi/libinpout32.so", "/lib/robot/lib/gpio/libinpout32.so",
                             "/lib/robot/lib/firmata/libinpout32.so", "/lib/robot/bin/port-guard",
                             "/share/applications/robot-control.desktop", "/share/robot/worlds/quick.json",
                             "/share/icons/hicolor/128x128/apps/robot-control.png"})
        EXPECT_TRUE(QFile::exists(QString::fromStdString(prefix + file))) << file;

    SpawnRequest start;
    start.Argv = {prefix + "/bin/robot"};
    start.Env = CurrentEnvironment({"ROBOT_", "XDG_", "DISPLAY", "LD_LIBRARY_PATH", "QT_QPA_PLATFORM"});
    start.Env.emplace_back("XDG_DATA_HOME", data);
    start.Env.emplace_back("QT_QPA_PLATFORM", "offscreen");
    start.StderrPath = dir.filePath("launcher.err").toStdString();
    start.StdoutPath = dir.filePath("launcher.out").toStdString();
    std::string error;
    const pid_t launcher = Spawn(start, &error);
    ASSERT_GT(launcher, 0) << error;

    // The program says its pulse mode once it runs; the simulator is ready.
    const std::string workdir = data + "/robot";
    ASSERT_TRUE(Eventually([&] { return Slurp(start.StderrPath).find("motor pulses run at") != std::string::npos; }))
        << Slurp(start.StderrPath);
    EXPECT_NE(Slurp(workdir + "/robot-sim.log").find("robot-sim: ready"), std::string::npos);
    for (const char *path : {"/zdjecia/przechwyt", "/zdjecia/ruch", "/obrazki/naprzod.bmp", "/obrazki/wprawo2.bmp",
                             "/m.wav", "/kamera/kamera"})
        EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(workdir + path))) << path;
    EXPECT_TRUE(Running(prefix + "/lib/robot/bin/robot-sim"));

    kill(launcher, SIGTERM);
    const std::optional<int> status = WaitForChild(launcher, 10000);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 128 + SIGTERM) << *status;
    EXPECT_NE(Slurp(start.StderrPath).find("robot: SIGTERM: motors off, ending."), std::string::npos);
    EXPECT_TRUE(Eventually([&] { return !Running(prefix + "/lib/robot/bin/"); }, 5000));

    // A picture of the user's, then the uninstall that the uninstall target runs.
    std::ofstream(workdir + "/zdjecia/ruch/ruch0mine.bmp") << "BM";
    ASSERT_EQ(RunCommand({"cmake", "-DMANIFEST=" ROBOT_BINARY_DIR "/install_manifest.txt", "-P",
                          ROBOT_SOURCE_DIR "/packaging/Uninstall.cmake"},
                         &out, 60000),
              0)
        << out;
    EXPECT_EQ(FilesUnder(QString::fromStdString(prefix)), QStringList());
    EXPECT_FALSE(QDir(QString::fromStdString(prefix + "/lib/robot")).exists());
    EXPECT_TRUE(QFile::exists(QString::fromStdString(workdir + "/zdjecia/ruch/ruch0mine.bmp")));
}
