// The installed program: `cmake --install` into a fresh prefix (with a space
// in its path), the launcher started headless prepares the working directory
// in the user's data folder and runs the program on the virtual robot; a
// SIGTERM to the launcher ends the program and the simulator; the desktop
// entry names the launcher by its absolute path, so the menu starts it without
// the prefix's bin/ on PATH; uninstalling removes what was installed and the
// folders the install made once they are empty, and leaves the user's
// pictures, other programs' files and folders that were there before.
//
// One test: every install writes the build's one install manifest.
#include "support/RobotProcess.h"
#include "support/TextSearch.h"

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

// The value of `key` in the desktop entry's main group.
std::string EntryValue(const std::string &entry, const std::string &key)
{
    std::istringstream lines(entry);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(key + "=", 0) == 0)
            return line.substr(key.size() + 1);
    return {};
}

bool IsFolder(const std::string &path) { return QFileInfo(QString::fromStdString(path)).isDir(); }
} // namespace

TEST(InstalledProgram, LauncherAndMenuRunItFromTheUsersDataFolderAndUninstallLeavesWhatIsNotItsOwn)
{
    QTemporaryDir dir;
    // The install makes "made by the install" and the prefix in it; the
    // desktop entries' folder is there before, as on most systems.
    const std::string prefix = dir.filePath("made by the install/prefix").toStdString();
    const std::string data = dir.filePath("data").toStdString();
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(prefix + "/share/applications")));
    std::string out;
    ASSERT_EQ(RunCommand({"cmake", "--install", ROBOT_BINARY_DIR, "--prefix", prefix}, &out, 60000), 0) << out;
    for (const char *file : {"/bin/robot", "/lib/robot/bin/robot", "/lib/robot/bin/libinpout32.so",
                             "/lib/robot/lib/sim/libinpout32.so", "/lib/robot/lib/recording/libinpout32.so",
                             "/lib/robot/lib/ftdi/libinpout32.so", "/lib/robot/lib/gpio/libinpout32.so",
                             "/lib/robot/lib/firmata/libinpout32.so", "/lib/robot/bin/port-guard",
                             "/lib/robot/bin/robot-node", "/lib/robot/lib/remote/libinpout32.so",
                             "/lib/systemd/system/robot-node@.service",
                             "/share/applications/robot-control.desktop", "/share/robot/worlds/quick.json",
                             "/share/icons/hicolor/128x128/apps/robot-control.png"})
        EXPECT_TRUE(QFile::exists(QString::fromStdString(prefix + file))) << file;

    // The desktop entry: valid, and naming the launcher and the icon where
    // they are (the path has a space: Exec quotes it).
    const std::string entryPath = prefix + "/share/applications/robot-control.desktop";
    const int valid = RunCommand({"desktop-file-validate", entryPath}, &out);
    ASSERT_NE(valid, -1) << "desktop-file-validate is missing (scripts/setup.sh installs desktop-file-utils)";
    EXPECT_EQ(valid, 0) << out;
    const std::string entry = FileText(entryPath);
    EXPECT_EQ(EntryValue(entry, "Exec"), "\"" + prefix + "/bin/robot\"") << entry;
    EXPECT_EQ(EntryValue(entry, "Icon"), prefix + "/share/icons/hicolor/128x128/apps/robot-control.png") << entry;
    // robot-node's unit names it where it is (the path has a space: quoted).
    EXPECT_TRUE(Has(FileText(prefix + "/lib/systemd/system/robot-node@.service"),
                    "\nExecStart=\"" + prefix + "/lib/robot/bin/robot-node\"\n"));

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
    ASSERT_TRUE(Eventually([&] { return FileText(start.StderrPath).find("motor pulses run at") != std::string::npos; }))
        << FileText(start.StderrPath);
    EXPECT_NE(FileText(workdir + "/robot-sim.log").find("robot-sim: ready"), std::string::npos);
    for (const char *path : {"/zdjecia/przechwyt", "/zdjecia/ruch", "/obrazki/naprzod.bmp", "/obrazki/wprawo2.bmp",
                             "/m.wav", "/kamera/kamera"})
        EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(workdir + path))) << path;
    EXPECT_TRUE(Running(prefix + "/lib/robot/bin/robot-sim"));

    kill(launcher, SIGTERM);
    const std::optional<int> status = WaitForChild(launcher, 10000);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 128 + SIGTERM) << *status;
    EXPECT_NE(FileText(start.StderrPath).find("robot: SIGTERM: motors off, ending."), std::string::npos);
    EXPECT_TRUE(Eventually([&] { return !Running(prefix + "/lib/robot/bin/"); }, 5000));

    // The menu's way: GLib's launcher reads the entry and starts its Exec,
    // with a PATH that does not hold the prefix's bin/.
    SpawnRequest menu = start;
    menu.Argv = {"gio", "launch", entryPath};
    menu.Env = CurrentEnvironment({"ROBOT_", "XDG_", "DISPLAY", "LD_LIBRARY_PATH", "QT_QPA_PLATFORM", "PATH"});
    menu.Env.emplace_back("PATH", "/usr/bin:/bin");
    menu.Env.emplace_back("XDG_DATA_HOME", data);
    menu.Env.emplace_back("QT_QPA_PLATFORM", "offscreen");
    menu.StderrPath = dir.filePath("menu.err").toStdString();
    const pid_t gio = Spawn(menu, &error);
    ASSERT_GT(gio, 0) << error;
    EXPECT_TRUE(ExitedWith(WaitForChild(gio, 20000), 0)) << FileText(menu.StderrPath);
    ASSERT_TRUE(Eventually([&] { return FileText(menu.StderrPath).find("motor pulses run at") != std::string::npos; }))
        << FileText(menu.StderrPath);
    EXPECT_TRUE(Running(prefix + "/lib/robot/bin/robot-sim"));
    // Ended as a logout ends it: SIGTERM to the launcher, which gio started.
    std::string launcherPid;
    ASSERT_EQ(RunCommand({"pgrep", "-f", prefix + "/lib/robot/start-robot"}, &launcherPid), 0);
    kill(std::stoi(launcherPid), SIGTERM);
    EXPECT_TRUE(Eventually([&] { return !Running(prefix + "/lib/robot/"); }, 10000));

    // A picture of the user's, a file of another program's in bin/; then the
    // uninstall that the uninstall target runs.
    std::ofstream(workdir + "/zdjecia/ruch/ruch0mine.bmp") << "BM";
    std::ofstream(prefix + "/bin/another-program") << "#!/bin/sh\n";
    ASSERT_EQ(RunCommand({"cmake", "-DMANIFEST=" ROBOT_BINARY_DIR "/install_manifest.txt", "-P",
                          ROBOT_SOURCE_DIR "/packaging/Uninstall.cmake"},
                         &out, 60000),
              0)
        << out;
    EXPECT_EQ(FilesUnder(QString::fromStdString(prefix)),
              QStringList{QString::fromStdString(prefix + "/bin/another-program")});
    // Made by the install and empty: gone.
    for (const char *folder : {"/lib", "/share/robot", "/share/icons"})
        EXPECT_FALSE(IsFolder(prefix + folder)) << folder;
    // Made by it but holding another program's file, or there before: kept.
    EXPECT_TRUE(IsFolder(prefix + "/bin"));
    EXPECT_TRUE(IsFolder(prefix + "/share/applications"));
    EXPECT_TRUE(QFile::exists(QString::fromStdString(workdir + "/zdjecia/ruch/ruch0mine.bmp")));

    // An install into a prefix of its own, then the uninstall: nothing the
    // install made is left, the prefix and the folder above it included.
    const QString other = dir.filePath("made too");
    ASSERT_EQ(RunCommand({"cmake", "--install", ROBOT_BINARY_DIR, "--prefix", (other + "/prefix").toStdString()},
                         &out, 60000),
              0)
        << out;
    ASSERT_EQ(RunCommand({"cmake", "-DMANIFEST=" ROBOT_BINARY_DIR "/install_manifest.txt", "-P",
                          ROBOT_SOURCE_DIR "/packaging/Uninstall.cmake"},
                         &out, 60000),
              0)
        << out;
    EXPECT_FALSE(QFileInfo::exists(other)) << out;
    EXPECT_TRUE(IsFolder(dir.path().toStdString()));
}
