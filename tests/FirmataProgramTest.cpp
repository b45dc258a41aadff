// The real program, started as a user starts it, on the Firmata board's port
// library (build/lib/firmata) over the fake board on a pseudo-terminal: what
// only a board has (its pins set while the program runs, a map that moves
// every signal to other pins, a board that does not answer or not in
// Firmata), judged by what the board took (its log) and by the program's
// trace. The cases every library shares are in PortLibraryProgramTest.cpp.
#include "core/RobotWiring.h"
#include "support/ProgramOnPort.h"
#include "support/TextSearch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <thread>
#include <tuple>

namespace {
using namespace std::chrono_literals;

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
    robot.Type("Edit39", "1");   // samples
    robot.Type("Edit31", "100"); // stop time
    robot.Type("Edit32", "60");  // left turn
    robot.Type("Edit33", "60");  // right turn
    robot.Click("Button22");
}
} // namespace

// The board reports its pins when they change and the library answers every
// status read from the last report, so its sensors are set while the
// follower runs, not scripted read by read: the same sensor phases on the
// recording library (a status byte per read) and on the board give the same
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

    ProgramOnPort board(Library::Firmata);
    board.boardOptions = Resetting();
    board.Start();
    StartFollower(board.robot);
    // Each phase until the follower has acted on it twice.
    const std::pair<int, char> phases[] = {
        {254, 'G'}, // nothing fires
        {222, 'L'}, // the left line sensor
        {238, 'R'}, // the right line sensor
        {94, 'H'},  // the left line sensor and an obstacle
        {254, 'G'}, // nothing
    };
    for (const auto &[status, decision] : phases) {
        board.SetStatus(status);
        const std::string twice(2, decision);
        ASSERT_TRUE(WaitFor([&] {
            const std::string d = Decisions(board.Values());
            return d.size() >= 2 && d.compare(d.size() - 2, 2, twice) == 0;
        })) << Decisions(board.Values());
    }
    board.SetStatus(126); // the obstacle alone: the STOP value
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
    EXPECT_EQ(Collapsed(board.StatusBytes()), Collapsed(recording.StatusBytes()));
    EXPECT_TRUE(board.robot.Running());
}

// A map file moves every signal and changes polarities and pulls: the motors
// on port 1, the sensors on an analog pin and two pins of port 0.
TEST(FirmataProgram, MotorPinsAndStatusBytesFollowAMapFile)
{
    ProgramOnPort program(Library::Firmata);
    program.boardOptions = Resetting();
    program.boardMotorPins = {12, 13, 11, 10};
    program.pinMap = "device firmata\n"
                     "D0 12\nD1 13\nD3 11\nD4 D10\n"
                     "S4 A0 active-high no-pull  # fires when high\n"
                     "S5 2 pull-up               # active-low, as line sensors are\n"
                     "S7 3 active-low no-pull    # an obstacle sensor that pulls low\n";
    program.Start();
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
    EXPECT_TRUE(program.Said().empty()) << robot.Stderr();
}

// A board that reports without pause and whose writes block while the host
// does not read, through 3 s forward moves in which the program reads nothing:
// the library reads the board as it talks, so the board never blocks and
// takes the 0 within 50 ms of the program's write, at a move's end and at
// Escape's stop in the middle of the next.
TEST(FirmataProgram, AChattyBoardTakesEachCommandThroughLongMovesAndEscape)
{
    constexpr int64_t Ms = 1'000'000;
    ProgramOnPort program(Library::Firmata);
    program.boardOptions.ChattyBytesPerS = 12000; // the device's ~20 KB buffer full within 2 s
    program.Start();
    // The last 18 and the 0 that ended it.
    const auto lastMove = [](const std::vector<Write> &writes) {
        auto end = std::find_if(writes.rbegin(), writes.rend(), [](const Write &w) { return w.Value == MotorForwardCode; });
        return end == writes.rend() || end == writes.rbegin() ? std::pair{Write{}, Write{}} : std::pair{*end, *(end - 1)};
    };
    program.robot.Type("Edit3", "3000");
    for (const int escapeAfterMs : {0, 2000}) {
        SCOPED_TRACE(escapeAfterMs);
        const size_t taken = program.Writes().size();
        const size_t traced = program.TracedWrites().size();
        program.robot.Click("Button2");
        if (escapeAfterMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(escapeAfterMs));
            program.robot.Key("Escape");
        }
        ASSERT_TRUE(WaitFor([&] { return program.Writes().size() >= taken + 3 && lastMove(program.Writes()).second.Ns; },
                            8s)) << "the board stopped taking commands";
        ASSERT_TRUE(program.WaitForTracedWrites(traced + 3));
        const auto [forward, end] = lastMove(program.TracedWrites());
        EXPECT_EQ(end.Value, 0);
        EXPECT_LT(lastMove(program.Writes()).second.Ns - end.Ns, 50 * Ms);
        EXPECT_NEAR((end.Ns - forward.Ns) / Ms, escapeAfterMs > 0 ? 2200 : 3000, escapeAfterMs > 0 ? 500 : 10);
    }
    const std::vector<BoardLine> log = program.board.Log();
    EXPECT_TRUE(LinesOf(log, "event", "blocked").empty()) << "the board waited for the host to read";
    ASSERT_FALSE(LinesOf(log, "event", "chatty").empty());
    EXPECT_GT(LinesOf(log, "event", "chatty").back().Int("sent"), 12000 * 4); // it did talk
}

// A board that is slow to start (it is opened in the background from the
// program's start): a drive clicked meanwhile ends at once with "still
// starting" shown, the window never waiting for the board; once the board is
// up, the next click drives it.
TEST(FirmataProgram, DriveWhileTheBoardStartsEndsAtOnceAndTheNextOneDrives)
{
    ProgramOnPort program(Library::Firmata);
    program.boardOptions.ResetMs = 3000;
    program.Start({}, true);
    RobotProcess &robot = program.robot;
    robot.Type("Edit3", "50");
    const auto clicked = std::chrono::steady_clock::now();
    robot.Click("Button2");
    ASSERT_TRUE(WaitFor([&] { return !program.Shown().empty(); }, 5s)) << robot.Stderr();
    const auto shown = std::chrono::steady_clock::now() - clicked;
    RecordProperty("still_starting_click_to_error_ms", int(std::chrono::duration_cast<std::chrono::milliseconds>(shown).count()));
    EXPECT_LT(shown, 1500ms) << "the window waited for the board";
    EXPECT_TRUE(Has(program.Shown()[0], "is still starting")) << program.Shown()[0];
    ASSERT_TRUE(robot.DismissMessageBox());

    ASSERT_TRUE(program.board.WaitForLog([](const std::vector<BoardLine> &log) {
        return !LinesOf(log, "in", "report-port").empty();
    }, 10000));
    std::this_thread::sleep_for(1s);
    robot.Click("Button2");
    ASSERT_TRUE(program.WaitForWrites(3)) << robot.Stderr();
    EXPECT_EQ(program.Values(), (std::vector<int>{0, 18, 0}));
    EXPECT_EQ(program.Shown().size(), 1u) << robot.Stderr();
}

// Where the board cannot be used every drive ends at once with the error
// shown, and the library says once what happened and what to do, in the
// window too. (Pin maps the board cannot follow are a shared case.)
TEST(FirmataProgram, FaultsAreSaidOnceWithWhatToDoAndEveryDriveEnds)
{
    const auto fault = [](const char *kind) { return [kind](ProgramOnPort &p) { p.boardOptions.Fault = kind; }; };
    ExpectEachFaultEndsEveryDrive(
        Library::Firmata,
        {
            {"no device", [](ProgramOnPort &) {},
             {"/nonexistent/ttyACM0 does not exist (the board is not plugged in?).", "Plug the board in"},
             {{"ROBOT_SERIAL", "/nonexistent/ttyACM0"}}, {}, true},
            {"no Firmata", fault("silent"),
             {"did not answer within 6.0 s (no Firmata firmware on it?)",
              "File > Examples > Firmata > StandardFirmata"}},
            {"another sketch", fault("text"), {"answers, but not in Firmata: it sent \"Hello from sketch 42"}},
        });
}
