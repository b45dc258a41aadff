// "Kamera 1" in the real program under Xvfb: the stand-alone viewer of the
// working directory is started and not waited for. One that cannot show the
// camera (no video output, no camera, no gst-launch, a viewer that is not
// there or ends at once) is reported once, in a message box and on standard
// error, with its reason; one that works shows its window and says nothing.
#include "support/RobotProcess.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <sstream>
#include <thread>

namespace {
using namespace std::chrono_literals;

constexpr const char *ReportPrefix = "robot: Kamera 1: ";
// The message box's title is the application's name.
constexpr const char *BoxTitle = "^Robot$";
// A viewer's window: ximagesink names it after the program.
constexpr const char *ViewerWindowTitle = "^gst-launch-1.0$";
constexpr const char *RealViewer = ROBOT_SOURCE_DIR "/camera/viewer/kamera";

bool WaitFor(const std::function<bool()> &done, std::chrono::milliseconds limit = 15s)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

std::vector<std::string> Windows(RobotProcess &robot, const std::string &title, bool ofTheProgram)
{
    std::vector<std::string> args = {"xdotool", "search", "--all", "--onlyvisible"};
    if (ofTheProgram)
        args.insert(args.end(), {"--pid", std::to_string(robot.Pid())});
    args.insert(args.end(), {"--name", title});
    std::string found;
    RunCommand(args, &found, 5000, {{"DISPLAY", robot.DisplayName()}});
    std::istringstream in(found);
    std::vector<std::string> ids;
    for (std::string id; in >> id;)
        ids.push_back(id);
    return ids;
}

// Closes the message box as an operator does, with Escape.
bool CloseBox(RobotProcess &robot, const std::string &box)
{
    const EnvVars display{{"DISPLAY", robot.DisplayName()}};
    RunCommand({"xdotool", "windowfocus", "--sync", box}, nullptr, 5000, display);
    RunCommand({"xdotool", "key", "Escape"}, nullptr, 5000, display);
    return WaitFor([&] { return Windows(robot, BoxTitle, true).empty(); }, 10s);
}

void PutViewer(RobotProcess &robot, const std::string &script)
{
    QFile viewer(QString::fromStdString(robot.WorkDir() + "/kamera/kamera"));
    viewer.remove();
    if (script.empty())
        return; // no viewer at all
    ASSERT_TRUE(viewer.open(QIODevice::WriteOnly));
    viewer.write(script.c_str());
    viewer.close();
    viewer.setPermissions(viewer.permissions() | QFile::ExeOwner);
}
} // namespace

TEST(CameraViewer, AViewerThatCannotShowTheCameraIsReportedOnceWithItsReason)
{
    QTemporaryDir scratch;
    const std::string empty = scratch.filePath("empty").toStdString();
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(empty)));
    const std::string real = std::string("exec /bin/sh ") + RealViewer + "\n";
    struct Case {
        const char *what;
        std::string viewer;
        std::string reason;
    };
    const Case cases[] = {
        {"its own diagnosis", "#!/bin/sh\necho 'kamera: the lens cap is on' >&2\nexit 1\n",
         "the camera viewer cannot show the camera: the lens cap is on"},
        // GStreamer with no plugins at all: no video output to be found.
        {"no video output",
         "#!/bin/sh\nexport GST_PLUGIN_SYSTEM_PATH_1_0=" + empty + " GST_PLUGIN_PATH_1_0= GST_REGISTRY_1_0=" +
             scratch.filePath("registry.bin").toStdString() + "\n" + real,
         "no GStreamer video output to show the camera in"},
        {"a camera that is not there",
         "#!/bin/sh\nexport ROBOT_CAPTURE_SOURCE='v4l2src device=/nonexistent/video9'\n" + real,
         "the camera viewer ended at once: Cannot identify device '/nonexistent/video9'. Check the camera"},
        {"no gst-launch", "#!/bin/sh\nexport PATH=" + empty + "\n" + real, "gst-launch-1.0 is missing"},
        {"an end at once with words of its own", "#!/bin/sh\necho 'something went wrong' >&2\nexit 3\n",
         "the camera viewer ended at once: something went wrong."},
        {"an end at once without a word", "#!/bin/sh\nexit 4\n",
         "the camera viewer ended at once without a word (exit status 4)"},
        {"no viewer", "", "cannot start the camera viewer kamera/kamera: No such file or directory"},
    };

    RobotProcess robot;
    std::string error;
    ASSERT_TRUE(robot.Start({{"ROBOT_CAPTURE_SOURCE", "test"}}, &error)) << error;
    size_t reports = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        PutViewer(robot, c.viewer);
        robot.Click("Button11");
        ASSERT_TRUE(WaitFor([&] { return robot.StderrLines(ReportPrefix).size() > reports; })) << robot.Stderr();
        const std::string line = robot.StderrLines(ReportPrefix).back();
        EXPECT_NE(line.find(c.reason), std::string::npos) << line;
        ASSERT_TRUE(WaitFor([&] { return !Windows(robot, BoxTitle, true).empty(); })) << "no message box";
        // Both its words and its end are in by now: still the one report.
        std::this_thread::sleep_for(1500ms);
        EXPECT_EQ(robot.StderrLines(ReportPrefix).size(), reports + 1) << robot.Stderr();
        const std::vector<std::string> boxes = Windows(robot, BoxTitle, true);
        ASSERT_EQ(boxes.size(), 1u);
        ASSERT_TRUE(CloseBox(robot, boxes[0]));
        reports = robot.StderrLines(ReportPrefix).size();
    }
    EXPECT_TRUE(robot.Running());
}

TEST(CameraViewer, AViewerThatWorksShowsItsWindowAndItsWordsReachTheProgramsStandardError)
{
    RobotProcess robot;
    std::string error;
    ASSERT_TRUE(robot.Start({{"ROBOT_CAPTURE_SOURCE", "test"}}, &error)) << error;
    PutViewer(robot, std::string("#!/bin/sh\necho 'kamera-test: the viewer starts' >&2\nexec /bin/sh ") + RealViewer +
                         "\n");
    const auto clicked = std::chrono::steady_clock::now();
    robot.Click("Button11");
    ASSERT_TRUE(WaitFor([&] { return !Windows(robot, ViewerWindowTitle, false).empty(); }))
        << "no viewer window:\n"
        << robot.Stderr();
    EXPECT_TRUE(WaitFor([&] { return robot.Stderr().find("kamera-test: the viewer starts\n") != std::string::npos; }));

    // Past the time in which an end would be reported: nothing to report.
    std::this_thread::sleep_until(clicked + 6s);
    const std::vector<std::string> viewer = Windows(robot, ViewerWindowTitle, false);
    ASSERT_EQ(viewer.size(), 1u) << "the viewer still shows the camera";
    EXPECT_TRUE(robot.StderrLines(ReportPrefix).empty()) << robot.Stderr();
    EXPECT_TRUE(Windows(robot, BoxTitle, true).empty());

    // The viewer is a program of its own; the test started it and ends it.
    std::string pid;
    RunCommand({"xdotool", "getwindowpid", viewer[0]}, &pid, 5000, {{"DISPLAY", robot.DisplayName()}});
    ASSERT_GT(std::atoi(pid.c_str()), 1) << pid;
    kill(std::atoi(pid.c_str()), SIGTERM);
}
