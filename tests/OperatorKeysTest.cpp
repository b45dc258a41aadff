// The operator's keys on the real program under its own X server: the
// emergency stop (Escape, the space bar) ends whatever drives the motors, also
// while a pulse holds the window, and the arrow keys drive on "Ruch ciagly".
// Judged by the recording library's trace; the moment a key was delivered is
// heard by a second client of the display (KeyWitness). The same keys work in
// the virtual robot's arena window.
#include "core/Clock.h"
#include "core/RobotWiring.h"
#include "manual/KeyDriving.h"
#include "sim/testing/SimProcess.h"
#include "support/Harness.h"
#include "support/ProgramOnPort.h"

#include <QKeyEvent>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <thread>

namespace {
using namespace std::chrono_literals;
constexpr int64_t Ms = 1000000;

// Presses `key` in the focused window `window`: when the X server delivered
// it, as a second client of the display heard it.
int64_t PressHeard(const std::string &display, const std::string &window, const std::string &key)
{
    KeyWitness witness(display, window);
    // The witness waits while the key goes out, to hear it when it comes.
    SpawnRequest press;
    press.Argv = {"xdotool", "key", key};
    press.Env = CurrentEnvironment({"DISPLAY"});
    press.Env.emplace_back("DISPLAY", display);
    const pid_t xdotool = Spawn(press);
    const int64_t delivered = witness.NextPress(5000);
    if (xdotool > 0)
        WaitForChild(xdotool, 5000);
    if (delivered < 0)
        throw std::runtime_error("the key was not delivered");
    return delivered;
}

// Presses `key` while the motors run: the data register holds 0 from 50 ms
// after the key was delivered on, and nothing drives after. Returns the time
// from the delivery to the witness to the first 0, in ms (below 0 when the
// program wrote it before the witness woke).
double StopWithKey(ProgramOnPort &program, const std::string &key)
{
    const int64_t delivered = PressHeard(program.robot.DisplayName(), program.robot.WindowId(), key);
    std::this_thread::sleep_for(700ms); // longer than a continuous pulse
    const std::vector<Write> writes = program.Writes();
    EXPECT_TRUE(ZeroFrom(writes, delivered + 50 * Ms)) << "the register at 50 ms: " << RegisterAt(writes, delivered + 50 * Ms);
    // The stop's own 0: the first after the last code written before the key.
    int64_t lastCode = 0;
    for (const Write &w : writes)
        if (w.Ns <= delivered && w.Value != 0)
            lastCode = w.Ns;
    for (const Write &w : writes)
        if (w.Ns > lastCode && w.Value == 0)
            return double(w.Ns - delivered) / Ms;
    return 1e9;
}

// After a stop the window works as before: a 60 ms move goes out whole.
void ExpectAMoveGoesOut(ProgramOnPort &program)
{
    const size_t before = program.Writes().size();
    program.robot.Type("Edit3", "60");
    program.robot.Click("Button2");
    ASSERT_TRUE(program.WaitForWrites(before + 3));
    const std::vector<int> values = program.Values();
    EXPECT_EQ(std::vector<int>(values.end() - 3, values.end()), (std::vector<int>{0, 18, 0}));
}

std::string SettingsFile(ProgramOnPort &program, const std::string &lines)
{
    const std::string path = program.port.Root() + "/../settings.txt";
    std::ofstream(path) << "# robot settings\n" << lines;
    return path;
}

struct Drive {
    const char *name;
    std::function<void(ProgramOnPort &)> start;
};
} // namespace

// Escape ends every kind of drive: a 10 s single move (its sleep wakes), a
// move series (its remaining rows skipped), "Ruch ciagly", and both sensor
// drives; the space bar does the same where no edit field has the focus.
TEST(RealProgramKeys, EmergencyStopEndsEveryDriveWithinFiftyMilliseconds)
{
    const Drive drives[] = {
        {"10 s single move", [](ProgramOnPort &p) { StartDriving(p, false, 10000); }},
        {"series",
         [](ProgramOnPort &p) {
             p.robot.Click("Button5");
             ASSERT_TRUE(WaitFor([&] { return !p.Values().empty() && p.Values().back() == 18; }));
         }},
        {"Ruch ciagly", [](ProgramOnPort &p) { StartDriving(p, true); }},
        {"sensor line follower",
         [](ProgramOnPort &p) {
             p.robot.Click("Button22");
             ASSERT_TRUE(WaitFor([&] { return !p.Values().empty() && p.Values().back() == 18; }));
         }},
        {"obstacle drive",
         [](ProgramOnPort &p) {
             p.robot.Click("BitBtn1");
             ASSERT_TRUE(WaitFor([&] { return !p.Values().empty() && p.Values().back() == 18; }));
         }},
    };
    std::vector<double> delays;
    for (const Drive &drive : drives) {
        for (const char *key : {"Escape", "space"}) {
            SCOPED_TRACE(std::string(drive.name) + ", " + key);
            ProgramOnPort program(Library::Recording);
            // Three rows of 2 s each: the second and third must never start.
            program.Start({{"ROBOT_SETTINGS",
                            SettingsFile(program, "ComboBox1=silnik napedzajacy do przodu\nEdit4=2000\n"
                                                  "ComboBox2=silnik skrecajacy w lewo\nEdit5=2000\n"
                                                  "ComboBox3=silnik napedzajacy do tylu\nEdit6=2000\n")}});
            drive.start(program);
            std::this_thread::sleep_for(300ms);
            delays.push_back(StopWithKey(program, key));
            const std::vector<int> values = program.Values();
            EXPECT_EQ(std::count(values.begin(), values.end(), 17), 0) << "a skipped row ran";
            EXPECT_TRUE(program.robot.Running());
            ExpectAMoveGoesOut(program);
        }
    }
    std::string all;
    for (double d : delays)
        all += (all.empty() ? "" : ",") + std::to_string(d);
    RecordProperty("stop_key_delays_ms", all);
}

// Escape and the space bar in the virtual robot's arena window (robot-sim, a
// process of its own on the program's display) stop the drives as in the
// program's window, and do not pause the arena. robot-sim is started before
// the program (as ./run starts it), then again after a crash that left its
// name on the root window behind: the program finds each arena.
TEST(RealProgramKeys, EscapeAndSpaceInTheArenaWindowStopTheDrives)
{
    QTemporaryDir dir;
    const std::string socket = dir.filePath("robot-sim.sock").toStdString();
    const std::string trace = dir.filePath("trace.txt").toStdString();
    RobotProcess robot;
    std::string error;
    ASSERT_TRUE(robot.StartDisplay(&error)) << error;
    const EnvVars display{{"DISPLAY", robot.DisplayName()}};
    for (const char *key : {"Escape", "space"}) {
        SCOPED_TRACE(key);
        SimProcess sim;
        sim.ShowOn(robot.DisplayName());
        ASSERT_TRUE(sim.Start(socket)) << sim.error().toStdString();
        if (!robot.Running()) {
            ASSERT_TRUE(robot.Start({{"LD_LIBRARY_PATH", SimProcess::PortLibrary().section('/', 0, -2).toStdString()},
                                     {"ROBOT_SIM_SOCKET", socket},
                                     {"ROBOT_PORT_TRACE", trace}},
                                    &error))
                << error;
        }
        std::string arena;
        ASSERT_TRUE(WaitFor([&] {
            RunCommand({"xdotool", "search", "--onlyvisible", "--pid", std::to_string(sim.pid()), "--name",
                        "^Virtual robot - "},
                       &arena, 5000, display);
            return !arena.empty();
        }));
        arena = arena.substr(0, arena.find('\n'));
        // "Ruch ciagly" forward. The program finds a robot-sim started after
        // it within a second; a click before that ends with the error shown,
        // which is dismissed before the next try.
        ASSERT_TRUE(WaitFor([&] {
            robot.Click("Button7");
            if (WaitFor([&] {
                    const std::optional<SimState> state = sim.Query();
                    return state && state->data == MotorForwardCode;
                }, 1500ms))
                return true;
            robot.DismissMessageBox(1000);
            return false;
        }));
        RunCommand({"xdotool", "windowfocus", "--sync", arena}, nullptr, 5000, display);
        const int64_t delivered = PressHeard(robot.DisplayName(), arena, key);
        std::this_thread::sleep_for(700ms); // longer than a continuous pulse
        std::vector<Write> writes;
        for (const PortAccess &a : ReadTrace(trace))
            if (a.kind == 'W' && a.port == DataPort)
                writes.push_back({a.ns, a.value});
        EXPECT_TRUE(ZeroFrom(writes, delivered + 50 * Ms)) << "the register at 50 ms: " << RegisterAt(writes, delivered + 50 * Ms);
        const std::optional<SimState> after = sim.Query();
        ASSERT_TRUE(after);
        EXPECT_EQ(after->data, 0);
        EXPECT_FALSE(after->paused);
        EXPECT_TRUE(robot.Running());
        sim.Kill();
    }
}

// An arrow key held for 3 s drives "Ruch ciagly" in one unbroken run of
// 200 ms pulses, whatever the keyboard's auto-repeat sends; letting go ends
// the run with the pulse under way.
TEST(RealProgramKeys, AHeldArrowKeyDrivesInOneUnbrokenRun)
{
    for (const auto &[key, code] : {std::pair<std::string, int>{"Up", 18}, {"Left", 17}}) {
        SCOPED_TRACE(key);
        ProgramOnPort program(Library::Recording);
        program.Start();
        program.robot.ShowTab("TabSheet3");
        program.robot.KeyDown(key);
        std::this_thread::sleep_for(3s);
        const int64_t released = MonotonicNs();
        program.robot.KeyUp(key);
        std::this_thread::sleep_for(600ms);

        const std::vector<Write> writes = program.Writes();
        std::vector<int64_t> starts;
        for (const Write &w : writes) {
            ASSERT_TRUE(w.Value == 0 || w.Value == code) << w.Value;
            if (w.Value == code)
                starts.push_back(w.Ns);
        }
        ASSERT_GE(starts.size(), 12u) << "pulses while held";
        for (size_t i = 1; i < starts.size(); ++i)
            EXPECT_LT(starts[i] - starts[i - 1], 260 * Ms) << "a break in the run before pulse " << i;
        EXPECT_EQ(writes.back().Value, 0);
        EXPECT_LT(writes.back().Ns - released, 300 * Ms) << "ran on after the key was let go";
    }
}

// The button of the move a key drives looks pressed while it runs, and the
// page's STOP ends a key's run too.
TEST_F(RobotTest, AKeysRunShowsItsButtonPressedAndStopEndsIt)
{
    KeyDriving arrows(Form());
    Form().PageControl1->setCurrentWidget(Form().TabSheet3);
    bool pressedLook = false;
    After(300, [&] {
        pressedLook = Form().Button6->isDown();
        Form().Button10Click();
    });
    QKeyEvent down(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
    QCoreApplication::sendEvent(Form().Button6, &down); // returns when the run ends
    EXPECT_TRUE(pressedLook);
    EXPECT_FALSE(Form().Button6->isDown());
    const std::vector<int> writes = Writes();
    ASSERT_GE(writes.size(), 3u);
    EXPECT_EQ(writes[1], 9);
    EXPECT_EQ(writes.back(), 0);
}
