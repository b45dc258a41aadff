// The real program, started as a user starts it, on the Firmata board's port
// library (build/lib/firmata) over the fake board on a pseudo-terminal:
// judged by what the board took (its log) and by the program's trace.
#include "core/Clock.h"
#include "core/RobotWiring.h"
#include "support/FakeBoard.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>
#include <tuple>

namespace {
using namespace std::chrono_literals;
constexpr int64_t Ms = 1'000'000;

bool Has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// A board that resets when the program opens it, as most do.
FakeBoardOptions Resetting()
{
    FakeBoardOptions o;
    o.ResetMs = 300;
    return o;
}

// Consecutive equal values once.
template <class T> std::vector<T> Collapsed(const std::vector<T> &values)
{
    std::vector<T> out;
    for (const T &v : values)
        if (out.empty() || out.back() != v)
            out.push_back(v);
    return out;
}

// The sensor follower's writes as the decisions of its cycles, with one
// sample a cycle: after START's 0 and 18, each cycle is the slow-down's 0 and
// 18 and then its decision: 18 go (G), 17 0 a left pulse (L), 10 0 a right
// pulse (R), 0 a halt or a stand (H). What follows the last whole cycle goes
// to `rest`.
std::string Decisions(const std::vector<int> &values, std::vector<int> *rest = nullptr)
{
    std::string out;
    size_t i = 2;
    while (i + 2 < values.size() && values[i] == 0 && values[i + 1] == MotorForwardCode) {
        const int d = values[i + 2];
        const bool pulse = (d == MotorLeftCode || d == MotorRightCode) && i + 3 < values.size() && values[i + 3] == 0;
        if (d == MotorForwardCode)
            out += 'G';
        else if (pulse)
            out += d == MotorLeftCode ? 'L' : 'R';
        else if (d == 0)
            out += 'H';
        else
            break;
        i += pulse ? 4 : 3;
    }
    if (rest)
        rest->assign(values.begin() + long(std::min(i, values.size())), values.end());
    return out;
}

std::string CollapsedDecisions(const std::vector<int> &values)
{
    std::string collapsed;
    for (char d : Decisions(values))
        if (collapsed.empty() || collapsed.back() != d)
            collapsed += d;
    return collapsed;
}

// The follower with one sample a cycle, short turns and a short stop time.
void StartFollower(RobotProcess &robot)
{
    robot.Type("Edit39", "1");  // samples
    robot.Type("Edit31", "100"); // stop time
    robot.Type("Edit32", "60");  // left turn
    robot.Type("Edit33", "60");  // right turn
    robot.Click("Button22");
}

// Lines the program showed as errors, less its start-up word on its pulses.
std::vector<std::string> ShownErrors(RobotProcess &robot)
{
    std::vector<std::string> shown;
    for (const std::string &line : robot.StderrLines("robot: "))
        if (line.rfind("robot: motor pulses run at", 0) != 0)
            shown.push_back(line);
    return shown;
}

std::string WriteMap(const std::string &folder, const std::string &text)
{
    const std::string path = folder + "/robot-pins.conf";
    std::ofstream(path) << text;
    return path;
}
} // namespace

TEST(FirmataProgram, SingleMovesPulseEachCodeBetweenZerosForTheTypedTimes)
{
    ProgramOnBoard program;
    program.Start(Resetting());
    RobotProcess &robot = program.robot;
    robot.Type("Edit3", "150");
    robot.Type("Edit35", "40");
    for (const char *button : {"Button2", "Button1", "Button3", "Button4"})
        robot.Click(button);
    ASSERT_TRUE(program.WaitForWrites(12)) << program.Writes().size();

    // As on the recording library (HardwarePortProgramTest), held as typed:
    // exactly by the program's trace, and within the board's jitter by the
    // board's log (another process, a pseudo-terminal away, on a busy machine).
    EXPECT_EQ(program.Values(), (std::vector<int>{0, 18, 0, 0, 9, 0, 0, 17, 0, 0, 10, 0}));
    std::vector<Write> traced;
    for (const PortAccess &a : ReadTrace(program.TracePath()))
        if (a.kind == 'W' && a.port == DataPort)
            traced.push_back({a.ns, a.value});
    for (const auto &[writes, slackMs] : {std::pair{traced, 1.0}, std::pair{program.Writes(), 20.0}}) {
        ASSERT_EQ(writes.size(), 12u);
        auto heldMs = [&, &writes = writes](size_t i) { return (writes[i + 1].Ns - writes[i].Ns) / 1e6; };
        for (size_t i : {1, 4}) {
            EXPECT_GE(heldMs(i), 150 - slackMs) << i;
            EXPECT_LT(heldMs(i), 900) << i;
        }
        for (size_t i : {7, 10}) {
            EXPECT_GE(heldMs(i), 40 - slackMs) << i;
            EXPECT_LT(heldMs(i), 250) << i;
        }
    }
    // One message a write, nothing else written to the board.
    EXPECT_EQ(LinesOf(program.board.Log(), "in", "port-write").size(), 13u);
    EXPECT_TRUE(robot.StderrLines("inpout32: ").empty()) << robot.Stderr();
    EXPECT_TRUE(robot.Running());
}

// The same sensor phases on the recording library (a status byte per read)
// and on the board (its pins, set while the follower runs): the same
// decisions in the same order, and the same status bytes.
TEST(FirmataProgram, SensorFollowerDecidesAsOnTheRecordingLibrary)
{
    ProgramOnPort recording(Library::Recording);
    std::vector<int> script;
    for (int value : {254, 222, 238, 94, 254})
        script.insert(script.end(), 3, value);
    script.push_back(126); // the STOP value from then on
    recording.ScriptStatus(script);
    recording.Start();
    StartFollower(recording.robot);
    ASSERT_TRUE(WaitFor([&] { return Decisions(recording.Values()).size() >= 16; }));
    recording.robot.Click("Button21");
    ASSERT_TRUE(Settled(recording.TracePath()));
    const std::vector<int> recorded = recording.Values();

    ProgramOnBoard board;
    board.Start(Resetting());
    StartFollower(board.robot);
    // Each phase until the follower has acted on it twice.
    struct Phase {
        std::vector<std::pair<int, bool>> pins;
        char decision;
    };
    const Phase phases[] = {
        {{}, 'G'},                               // nothing fires: 254
        {{{9, false}}, 'L'},                     // left line sensor: 222
        {{{9, true}, {8, false}}, 'R'},          // right line sensor: 238
        {{{8, true}, {9, false}, {10, true}}, 'H'}, // left line and obstacle: 94
        {{{9, true}, {10, false}}, 'G'},         // nothing: 254
    };
    for (const Phase &phase : phases) {
        for (const auto &[pin, high] : phase.pins)
            board.board.SetPin(pin, high);
        const std::string twice(2, phase.decision);
        ASSERT_TRUE(WaitFor([&] {
            const std::string d = Decisions(board.Values());
            return d.size() >= 2 && d.compare(d.size() - 2, 2, twice) == 0;
        })) << Decisions(board.Values());
    }
    board.board.SetPin(10, true); // the obstacle alone: the STOP value 126
    ASSERT_TRUE(WaitFor([&] { return !board.StatusBytes().empty() && board.StatusBytes().back() == 126; }));
    std::this_thread::sleep_for(300ms); // standing, reading every stop time
    board.robot.Click("Button21");
    ASSERT_TRUE(Settled(board.TracePath()));
    const std::vector<int> onBoard = board.Values();

    EXPECT_EQ(CollapsedDecisions(recorded), "GLRHGH");
    EXPECT_EQ(CollapsedDecisions(onBoard), CollapsedDecisions(recorded));
    std::vector<int> recordedRest, boardRest;
    Decisions(recorded, &recordedRest);
    Decisions(onBoard, &boardRest);
    EXPECT_EQ(boardRest, recordedRest); // STOP's writes
    EXPECT_EQ(Collapsed(board.StatusBytes()), (std::vector<int>{254, 222, 238, 94, 254, 126}));
    EXPECT_EQ(Collapsed(board.StatusBytes()), Collapsed(StatusBytesIn(recording.TracePath())));
    EXPECT_TRUE(board.robot.Running());
}

// A map file moves every signal and changes polarities and pulls: the motors
// on port 1, the sensors on an analog pin and two pins of port 0.
TEST(FirmataProgram, MotorPinsAndStatusBytesFollowAMapFile)
{
    ProgramOnBoard program;
    program.MotorPins = {12, 13, 11, 10};
    const std::string map = WriteMap(std::filesystem::path(program.TracePath()).parent_path().string(),
                                     "device firmata\n"
                                     "D0 12\nD1 13\nD3 11\nD4 D10\n"
                                     "S4 A0 active-high no-pull  # fires when high\n"
                                     "S5 2 pull-up               # active-low, as line sensors are\n"
                                     "S7 3 active-low no-pull    # an obstacle sensor that pulls low\n");
    program.Start(Resetting(), {{"ROBOT_PINS", map}});
    program.board.SetPin(3, true); // no obstacle
    RobotProcess &robot = program.robot;
    robot.Type("Edit3", "50");
    robot.Click("Button2");
    ASSERT_TRUE(program.WaitForWrites(3));
    EXPECT_EQ(program.Values(), (std::vector<int>{0, 18, 0}));
    EXPECT_TRUE(PortWrites(program.board.Log(), 0).empty());

    StartFollower(robot);
    for (const auto &[pin, high, status] : {std::tuple{14, true, 238}, std::tuple{14, false, 254},
                                            std::tuple{2, false, 222}, std::tuple{2, true, 254},
                                            std::tuple{3, false, 126}}) {
        program.board.SetPin(pin, high);
        ASSERT_TRUE(WaitFor([&, status = status] {
            return !program.StatusBytes().empty() && program.StatusBytes().back() == status;
        })) << pin;
    }
    robot.Click("Button21");
    std::map<long, long> modes;
    for (const BoardLine &line : LinesOf(program.board.Log(), "in", "pin-mode"))
        modes[line.Int("pin")] = line.Int("mode");
    EXPECT_EQ(modes, (std::map<long, long>{{10, 1}, {11, 1}, {12, 1}, {13, 1}, {14, 0}, {2, 11}, {3, 0}}));
    EXPECT_TRUE(robot.StderrLines("inpout32: ").empty()) << robot.Stderr();
}

// Where the board cannot be used the program runs on: its writes go nowhere,
// and one line on standard error says what happened and what to do.
TEST(FirmataProgram, FaultsAreSaidOnceWithWhatToDoAndTheProgramGoesOn)
{
    struct Case {
        const char *name;
        FakeBoardOptions board;
        EnvVars env;
        std::string map; // a pin map file's text, or none
        std::vector<std::string> said;
    };
    FakeBoardOptions silent;
    silent.Fault = "silent";
    FakeBoardOptions text;
    text.Fault = "text";
    const Case cases[] = {
        {"no device", {}, {{"ROBOT_SERIAL", "/nonexistent/ttyACM0"}}, "",
         {"inpout32: /nonexistent/ttyACM0 does not exist (the board is not plugged in?).",
          "Port writes go nowhere and reads return 0.", "Plug the board in"}},
        {"no Firmata", silent, {}, "",
         {"did not answer within 4.0 s (no Firmata firmware on it?)", "File > Examples > Firmata > StandardFirmata"}},
        {"another sketch", text, {}, "", {"answers, but not in Firmata: it sent \"Hello from sketch 42"}},
        {"a line used twice", {}, {}, "D0 4\nD1 4\nD3 6\nD4 7\nS4 8\nS5 9\nS7 10\n", {"line 2: the line 4 is used twice"}},
        {"a line the board lacks", {}, {}, "D0 20\nD1 5\nD3 6\nD4 7\nS4 8\nS5 9\nS7 10\n",
         {"line 1: D0 names the line 20", "the board has no pin 20 (its digital pins: 2-19)"}},
        {"a missing bit", {}, {}, "D0 4\nD1 5\nD3 6\nD4 7\nS4 8\nS5 9\n", {"does not say which line S7 uses"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ProgramOnBoard program;
        EnvVars env = c.env;
        if (!c.map.empty())
            env.emplace_back("ROBOT_PINS",
                             WriteMap(std::filesystem::path(program.TracePath()).parent_path().string(), c.map));
        program.Start(c.board, env);
        RobotProcess &robot = program.robot;
        robot.Type("Edit3", "50");
        robot.Click("Button2");
        ASSERT_TRUE(WaitFor([&] { return !robot.StderrLines("inpout32: ").empty(); })) << robot.Stderr();
        const int64_t again = MonotonicNs();
        robot.Click("Button2");
        ASSERT_TRUE(WaitFor([&] {
            int zeros = 0;
            for (const PortAccess &a : ReadTrace(program.TracePath()))
                zeros += a.kind == 'W' && a.value == 0;
            return zeros >= 4;
        }));
        EXPECT_LT((MonotonicNs() - again) / 1e6, 1500) << "the second move waited for the board again";

        const std::vector<std::string> lines = robot.StderrLines("inpout32: ");
        ASSERT_EQ(lines.size(), 1u) << robot.Stderr();
        for (const std::string &part : c.said)
            EXPECT_TRUE(Has(lines[0], part)) << lines[0];
        EXPECT_TRUE(LinesOf(program.board.Log(), "in", "port-write").empty());
        EXPECT_TRUE(ShownErrors(robot).empty()) << robot.Stderr();
        EXPECT_TRUE(robot.Running());
    }
}

TEST(FirmataProgram, BoardUnpluggedDuringTheSensorLoopEndsItWithOneError)
{
    ProgramOnBoard program;
    program.Start();
    RobotProcess &robot = program.robot;
    robot.Click("Button22");
    ASSERT_TRUE(WaitFor([&] { return program.StatusBytes().size() >= 15; }));
    program.board.Unplug();
    ASSERT_TRUE(WaitFor([&] { return !ShownErrors(robot).empty(); })) << robot.Stderr();
    std::this_thread::sleep_for(500ms);
    const size_t reads = program.StatusBytes().size();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(program.StatusBytes().size(), reads) << "the loop goes on";

    const std::vector<std::string> shown = ShownErrors(robot);
    ASSERT_EQ(shown.size(), 1u) << robot.Stderr();
    EXPECT_TRUE(Has(shown[0], "the board on " + program.board.Device() + " has gone (unplugged?)")) << shown[0];
    const std::vector<std::string> said = robot.StderrLines("inpout32: ");
    ASSERT_EQ(said.size(), 1u) << robot.Stderr();
    EXPECT_TRUE(Has(said[0], "Plug it in again")) << said[0];
    EXPECT_TRUE(robot.Running());
}

// kill -9 in a loop: the guard's copy of the open device keeps the board
// open (no reset), sends the motors' 0 within a second, then lets go.
TEST(FirmataProgram, KilledDuringALoopTheGuardSendsZeroWithinASecond)
{
    ProgramOnBoard program;
    program.Start(Resetting());
    RobotProcess &robot = program.robot;
    robot.Click("Button7"); // "Ruch ciagly" forward
    ASSERT_TRUE(WaitFor([&] { return !program.Values().empty() && program.Values().back() == 18; }));
    const int64_t killed = MonotonicNs();
    robot.Signal(SIGKILL);
    ASSERT_TRUE(KilledBy(robot.WaitForExit(5000), SIGKILL));
    ASSERT_TRUE(program.board.WaitForLog([](const auto &log) { return FindLine(log, "event", "close") >= 0; }, 5000));

    const std::vector<BoardLine> log = program.board.Log();
    const std::vector<Write> writes = program.Writes();
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back().Value, 0);
    const Write &guards = writes.back();
    ASSERT_GE(guards.Ns, killed) << "no write after the kill";
    EXPECT_LT(guards.Ns - killed, 1000 * Ms);
    RecordProperty("guard_zero_after_kill_us", int((guards.Ns - killed) / 1000));
    EXPECT_LT(guards.Ns, log[size_t(FindLine(log, "event", "close"))].Ns);
    EXPECT_EQ(LinesOf(log, "event", "open").size(), 1u) << "the board was opened again";
}

// SIGSTOP while a motor runs: the guard sends 0 within 200 ms, once;
// continued, the program goes on and its next move goes out.
TEST(FirmataProgram, StoppedProgramTheGuardSendsZeroAndTheProgramGoesOnAfterwards)
{
    ProgramOnBoard program;
    program.Start();
    RobotProcess &robot = program.robot;
    robot.Type("Edit3", "3000");
    robot.Click("Button2");
    ASSERT_TRUE(WaitFor([&] { return !program.Values().empty() && program.Values().back() == 18; }));
    const int64_t stopped = MonotonicNs();
    robot.Signal(SIGSTOP);
    ASSERT_TRUE(WaitFor([&] { return program.Values().back() == 0; }, 2s));
    const Write zero = program.Writes().back();
    EXPECT_LT(zero.Ns - stopped, 200 * Ms);
    RecordProperty("sigstop_zero_us", int((zero.Ns - stopped) / 1000));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(program.Writes().size(), 3u) << "one write per stop";

    robot.Signal(SIGCONT);
    std::this_thread::sleep_for(3500ms); // past the pulse's own end
    robot.Type("Edit3", "50");
    robot.Click("Button2");
    ASSERT_TRUE(program.WaitForWrites(7));
    const std::vector<int> values = program.Values();
    EXPECT_EQ(std::vector<int>(values.end() - 3, values.end()), (std::vector<int>{0, 18, 0}));
    EXPECT_TRUE(robot.Running());
}

// Closing the window: the motors' 0 reaches the board before the program lets it go.
TEST(FirmataProgram, ClosingTheWindowLeavesTheMotorsAtZeroAndLetsTheBoardGo)
{
    ProgramOnBoard program;
    program.Start();
    RobotProcess &robot = program.robot;
    robot.Type("Edit3", "30");
    robot.Click("Button2");
    ASSERT_TRUE(program.WaitForWrites(3));
    ASSERT_TRUE(robot.CloseWindow());
    ASSERT_TRUE(ExitedWith(robot.WaitForExit(10000), 0)) << robot.Stderr();
    ASSERT_TRUE(program.board.WaitForLog([](const auto &log) { return FindLine(log, "event", "close") >= 0; }));
    std::this_thread::sleep_for(300ms);
    const std::vector<BoardLine> log = program.board.Log();
    const std::vector<Write> writes = program.Writes();
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back().Value, 0);
    EXPECT_LT(writes.back().Ns, log[size_t(FindLine(log, "event", "close"))].Ns);
    EXPECT_EQ(LinesOf(log, "event", "open").size(), 1u);
}
