// The Firmata board's line device against the fake board on a pseudo-terminal
// (build/lib/test/fake-firmata-board): the first access waits out the board's
// reset and sets its pins, writes are one port message, reads follow the
// board's reports without waiting, each fault is told with what to do, and
// the motors get their 0 on every way out. Judged by the board's log.
#include "core/Clock.h"
#include "support/TextSearch.h"
#include "portio/firmata/FirmataDevice.h"
#include "portio/firmata/FirmataGuard.h"
#include "portio/kit/DeviceGroup.h"
#include "support/FakeBoard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {
using namespace std::chrono_literals;
using firmata::FirmataDevice;
using portkit::InputLine;
using portkit::LineProblem;
using portkit::OutputLine;
using portkit::Pull;


// The default map's lines, in the order the kit gives them: the motors D0,
// D1, D3, D4 on pins 4-7 (port 0), the sensors S4, S5 (line sensors, active
// low with pull-up) and S7 (obstacle, active high) on pins 8-10 (port 1).
const std::vector<OutputLine> Motors{{4}, {5}, {6}, {7}};
const std::vector<InputLine> Sensors{{8, true, Pull::Up}, {9, true, Pull::Up}, {10, false, Pull::None}};
constexpr uint32_t RightLineFires = 1u << 0, LeftLineFires = 1u << 1, ObstacleFires = 1u << 2;

// The program's motor code as the output levels: bit i is Motors[i].
uint32_t Levels(int code)
{
    const int dataBits[] = {0, 1, 3, 4};
    uint32_t levels = 0;
    for (int i = 0; i < 4; ++i)
        if (code & (1 << dataBits[i]))
            levels |= 1u << i;
    return levels;
}

// The fake board's switches, one or two at a time.
FakeBoardOptions ResetFor(int ms)
{
    FakeBoardOptions o;
    o.ResetMs = ms;
    return o;
}
FakeBoardOptions Latency(int us)
{
    FakeBoardOptions o;
    o.LatencyUs = us;
    return o;
}
FakeBoardOptions Faulty(const std::string &fault, int resetMs = 0)
{
    FakeBoardOptions o;
    o.Fault = fault;
    o.ResetMs = resetMs;
    return o;
}

portkit::PinMap Map(std::map<std::string, std::string> settings = {})
{
    portkit::PinMap map;
    map.Source = "the test's pin map";
    map.Settings = std::move(settings);
    return map;
}

// Sets an environment variable for one test and puts it back.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const std::optional<std::string> &value) : name_(name)
    {
        if (const char *old = std::getenv(name))
            old_ = old;
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char *name_;
    std::optional<std::string> old_;
};

class FirmataBoard : public testing::Test {
protected:
    void StartBoard(const FakeBoardOptions &options = {})
    {
        std::string error;
        ASSERT_TRUE(board.Start(options, &error)) << error;
        serial.emplace("ROBOT_SERIAL", board.Device());
    }

    // Open and Claim with the default lines, as the kit does at the first access.
    void Take(FirmataDevice &device, const portkit::PinMap &map = Map())
    {
        LineProblem why;
        ASSERT_TRUE(device.Open(map, why)) << why.Key << ": " << why.Text;
        ASSERT_TRUE(device.Claim(Motors, Sensors, why)) << why.Key << ": " << why.Text;
    }

    // Reads until the firing bits are `expected`, at most 2 s.
    static bool ReadsBecome(FirmataDevice &device, uint32_t expected)
    {
        const auto deadline = std::chrono::steady_clock::now() + 2s;
        uint32_t firing = ~0u;
        LineProblem why;
        while (std::chrono::steady_clock::now() < deadline) {
            if (!device.Read(firing, why))
                return false;
            if (firing == expected)
                return true;
            std::this_thread::sleep_for(2ms);
        }
        return false;
    }

    FakeBoard board;
    std::optional<ScopedEnv> serial;
};
} // namespace

TEST_F(FirmataBoard, FirstAccessWaitsOutTheResetThenSetsMotorPinsToZeroBeforeTheyBecomeOutputs)
{
    StartBoard(ResetFor(400));
    FirmataDevice device;
    const int64_t start = MonotonicNs();
    Take(device);
    const double tookMs = (MonotonicNs() - start) / 1e6;
    EXPECT_GE(tookMs, 400);
    EXPECT_LT(tookMs, 2500);
    EXPECT_EQ(device.Board().FirmwareName, "StandardFirmata");
    EXPECT_EQ(device.Path(), board.Device());

    ASSERT_TRUE(board.WaitForLog([](const auto &log) { return !LinesOf(log, "out", "report").empty(); }));
    const std::vector<BoardLine> log = board.Log();
    // The reset, the firmware's own words, then the library's questions.
    const long started = FindLine(log, "event", "started");
    ASSERT_GE(started, 0);
    EXPECT_LT(FindLine(log, "event", "reset"), started);
    EXPECT_GT(FindLine(log, "out", "firmware"), started);
    EXPECT_GT(FindLine(log, "in", "capability-query"), started);
    // Port 0 at 0 before any motor pin becomes an output, then each motor
    // pin an output, the line sensors inputs with pull-up, the obstacle
    // sensor a plain input, and port 1 reported.
    const long zero = FindLine(log, "in", "port-write", started);
    ASSERT_GE(zero, 0);
    EXPECT_EQ(log[size_t(zero)].Int("port"), 0);
    EXPECT_EQ(log[size_t(zero)].Int("value"), 0);
    std::map<long, long> modes;
    for (const BoardLine &line : LinesOf(log, "in", "pin-mode")) {
        EXPECT_GT(line.Ns, log[size_t(zero)].Ns);
        modes[line.Int("pin")] = line.Int("mode");
    }
    EXPECT_EQ(modes, (std::map<long, long>{{4, 1}, {5, 1}, {6, 1}, {7, 1}, {8, 11}, {9, 11}, {10, 0}}));
    const std::vector<BoardLine> reporting = LinesOf(log, "in", "report-port");
    ASSERT_EQ(reporting.size(), 1u);
    EXPECT_EQ(reporting[0].Int("port"), 1);
    // Nothing fires: the line sensors' pull-ups hold their pins high, the
    // obstacle sensor's pin is low.
    const std::vector<BoardLine> reports = LinesOf(log, "out", "report");
    EXPECT_EQ(reports.back().Int("value"), 0b011);
    uint32_t firing = ~0u;
    LineProblem why;
    ASSERT_TRUE(device.Read(firing, why));
    EXPECT_EQ(firing, 0u);
}

TEST_F(FirmataBoard, BoardWithoutResetAnswersTheQuestionsAtOnce)
{
    StartBoard();
    FirmataDevice device;
    const int64_t start = MonotonicNs();
    Take(device);
    EXPECT_LT((MonotonicNs() - start) / 1e6, 1500);
    const std::vector<BoardLine> log = board.Log();
    EXPECT_EQ(FindLine(log, "event", "reset"), -1);
    const long asked = FindLine(log, "in", "version-query");
    ASSERT_GE(asked, 0);
    EXPECT_GT(FindLine(log, "out", "version", asked), asked);
    EXPECT_GE(FindLine(log, "out", "firmware", asked), 0);
}

TEST_F(FirmataBoard, EachWriteIsOnePortMessageAndReadsFollowTheSensorsAtOnce)
{
    StartBoard(Latency(20000)); // a slow board: reads must not wait for it
    FirmataDevice device;
    Take(device);
    LineProblem why;
    for (int code : {18, 0, 9, 0, 17, 0, 10, 0})
        ASSERT_TRUE(device.Write(Levels(code), why)) << why.Text;
    ASSERT_TRUE(board.WaitForLog([](const auto &log) { return PortWrites(log).size() >= 9; }));
    // Pins 4-7 are D0, D1, D3, D4: 18 is pins 5 and 7, 9 pins 4 and 6, ...
    EXPECT_EQ(PortWrites(board.Log()), (std::vector<int>{0, 0xA0, 0, 0x50, 0, 0x90, 0, 0x60, 0}));
    EXPECT_EQ(LinesOf(board.Log(), "in", "port-write").size(), 9u);

    struct Step {
        const char *what;
        int pin;
        bool high;
        uint32_t firing;
    };
    const Step steps[] = {
        {"left line sensor over the line", 9, false, LeftLineFires},
        {"and an obstacle", 10, true, LeftLineFires | ObstacleFires},
        {"left sensor off the line", 9, true, ObstacleFires},
        {"right line sensor over the line", 8, false, ObstacleFires | RightLineFires},
        {"obstacle gone", 10, false, RightLineFires},
        {"nothing", 8, true, 0},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.what);
        board.SetPin(step.pin, step.high);
        EXPECT_TRUE(ReadsBecome(device, step.firing));
    }

    // Reads answer from what has arrived, however slow the board.
    std::vector<double> readMs;
    for (int i = 0; i < 50; ++i) {
        uint32_t firing = 0;
        const int64_t start = MonotonicNs();
        ASSERT_TRUE(device.Read(firing, why));
        readMs.push_back((MonotonicNs() - start) / 1e6);
    }
    std::sort(readMs.begin(), readMs.end());
    EXPECT_LT(readMs[readMs.size() / 2], 5.0);
    EXPECT_LT(readMs.back(), 15.0);
}

TEST_F(FirmataBoard, MotorPinsOnTwoPortsAndTheOlderFirmwaresPullUpKeepTheirLevels)
{
    // Firmware 2.4 has no INPUT_PULLUP mode: a pull-up is a 1 written to an
    // input, so every later write of that port must keep it.
    FakeBoardOptions older;
    older.Firmware = "2.4";
    StartBoard(older);
    FirmataDevice device;
    LineProblem why;
    ASSERT_TRUE(device.Open(Map(), why)) << why.Text;
    const std::vector<OutputLine> motors{{4}, {5}, {12}, {13}};
    const std::vector<InputLine> sensors{{2, true, Pull::Up}, {9, true, Pull::Up}, {10, false, Pull::None}};
    ASSERT_TRUE(device.Claim(motors, sensors, why)) << why.Text;
    for (uint32_t levels : {0b0101u, 0b1010u, 0u})
        ASSERT_TRUE(device.Write(levels, why));
    ASSERT_TRUE(board.WaitForLog([](const auto &log) { return PortWrites(log, 1).size() >= 5; }));
    const std::vector<BoardLine> log = board.Log();
    // The claim: both ports at 0, then the pull-ups' 1s; then each write one
    // message per port, pin 2's pull-up (bit 2) kept in port 0.
    EXPECT_EQ(PortWrites(log, 0), (std::vector<int>{0, 0x04, 0x14, 0x24, 0x04}));
    EXPECT_EQ(PortWrites(log, 1), (std::vector<int>{0, 0x02, 0x12, 0x22, 0x02}));
    for (const BoardLine &line : LinesOf(log, "in", "pin-mode"))
        if (line.Int("pin") == 2 || line.Int("pin") == 9) {
            EXPECT_EQ(line.Int("mode"), 0);
        }
    // Pulled up, the line sensors do not fire; pulled low they do.
    EXPECT_TRUE(ReadsBecome(device, 0));
    board.SetPin(2, false);
    EXPECT_TRUE(ReadsBecome(device, 0b001));
}

// A protocol version no Firmata release has is said once; released ones not.
TEST(FirmataBoardVersion, AVersionNoReleaseHasIsSaidOnce)
{
    for (const auto &[version, said] : {std::pair{"2.7", 0u}, std::pair{"2.8", 1u}, std::pair{"127.127", 1u}}) {
        FakeBoard fake;
        ASSERT_TRUE(fake.Start([v = version] { FakeBoardOptions o; o.Firmware = v; return o; }()));
        ScopedEnv serial("ROBOT_SERIAL", fake.Device());
        FirmataDevice device;
        std::vector<std::string> lines;
        device.SetSay([&](const std::string &, const std::string &text) { lines.push_back(text); });
        LineProblem why;
        ASSERT_TRUE(device.Open(Map(), why)) << why.Text;
        ASSERT_EQ(lines.size(), said) << version;
        for (const std::string &line : lines)
            EXPECT_TRUE(Has(line, std::string("says it speaks Firmata ") + version + ", which is no Firmata release"));
    }
}

TEST_F(FirmataBoard, PinNamesAreCheckedAgainstWhatTheBoardHas)
{
    StartBoard();
    FirmataDevice device;
    LineProblem why;
    ASSERT_TRUE(device.Open(Map(), why)) << why.Text;
    std::string refused;
    EXPECT_EQ(device.FindLine("7", refused), 7);
    EXPECT_EQ(device.FindLine("D13", refused), 13);
    EXPECT_EQ(device.FindLine("A0", refused), 14);
    EXPECT_EQ(device.FindLine("a5", refused), 19);
    struct Refusal {
        const char *name;
        const char *said;
    };
    for (const Refusal &r : {Refusal{"0", "pin 0 of the board cannot be a digital input or output (its digital pins: 2-19)"},
                             Refusal{"20", "the board has no pin 20 (its digital pins: 2-19)"},
                             Refusal{"A6", "the board has no analog pin A6"},
                             Refusal{"GPIO17", "\"GPIO17\" is no pin of a Firmata board"},
                             Refusal{"", "\"\" is no pin"}, Refusal{"D-1", "\"D-1\" is no pin"}}) {
        SCOPED_TRACE(r.name);
        refused.clear();
        EXPECT_FALSE(device.FindLine(r.name, refused));
        EXPECT_TRUE(Has(refused, r.said)) << refused;
    }
    // A claim the board's chip cannot do is refused with the pin named, and
    // nothing is sent for it.
    const size_t before = board.Log().size();
    EXPECT_FALSE(device.Claim(Motors, {{8, false, Pull::Down}}, why));
    EXPECT_EQ(why.Key, "pins");
    EXPECT_TRUE(why.Lasting);
    EXPECT_TRUE(Has(why.Text, "pin 8 of the board on " + board.Device() + " cannot have a pull-down")) << why.Text;
    EXPECT_TRUE(Has(why.Fix, "10 kOhm")) << why.Fix;
    EXPECT_FALSE(device.Claim({{4}, {4}}, {}, why));
    EXPECT_TRUE(Has(why.Text, "pin 4 of the board on " + board.Device() + " is named twice")) << why.Text;
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(board.Log().size(), before);
}

TEST_F(FirmataBoard, WithoutTheCapabilityAnswerPinsGoUncheckedButAnalogNamesNeedTheMapping)
{
    FakeBoardOptions minimal;
    minimal.NoCapabilities = true;
    StartBoard(minimal);
    FirmataDevice device;
    const int64_t start = MonotonicNs();
    LineProblem why;
    ASSERT_TRUE(device.Open(Map(), why)) << why.Text;
    EXPECT_LT((MonotonicNs() - start) / 1e6, 2500);
    std::string refused;
    EXPECT_EQ(device.FindLine("50", refused), 50);
    EXPECT_FALSE(device.FindLine("A0", refused));
    EXPECT_TRUE(Has(refused, "name A0 by its digital pin number (on an Uno A0 is 14)")) << refused;
    ASSERT_TRUE(device.Claim(Motors, Sensors, why)) << why.Text;
}

TEST_F(FirmataBoard, DeviceIsTheFirstTtyACMThenTheFirstTtyUSB)
{
    StartBoard();
    serial.emplace("ROBOT_SERIAL", std::nullopt);
    namespace fs = std::filesystem;
    const fs::path dir = fs::path(board.LogPath()).parent_path() / "dev";
    fs::create_directories(dir);
    ScopedEnv where("ROBOT_SERIAL_DIR", dir.string());
    fs::create_symlink(board.Device(), dir / "ttyUSB0");
    fs::create_symlink("/nonexistent", dir / "ttyS0");
    {
        FirmataDevice device;
        LineProblem why;
        ASSERT_TRUE(device.Open(Map(), why)) << why.Text;
        EXPECT_EQ(device.Path(), (dir / "ttyUSB0").string());
    }
    fs::create_symlink(board.Device(), dir / "ttyACM2");
    fs::create_symlink("/nonexistent", dir / "ttyACM10");
    FirmataDevice device;
    LineProblem why;
    ASSERT_TRUE(device.Open(Map({{"baud", "115200"}}), why)) << why.Text;
    EXPECT_EQ(device.Path(), (dir / "ttyACM2").string());
    termios settings;
    ASSERT_EQ(tcgetattr(device.OrderForGuard().Fd, &settings), 0);
    EXPECT_EQ(cfgetospeed(&settings), speed_t(B115200));
}

// Each fault once, with what happened and what to do: judged by the key, the
// words and whether trying again could help.
TEST_F(FirmataBoard, FaultsSayWhatHappenedAndWhatToDo)
{
    struct Case {
        const char *name;
        FakeBoardOptions board;                          // no Fault and no board at all when !started
        bool started;
        std::map<std::string, std::string> settings;
        std::optional<std::string> serial;               // ROBOT_SERIAL; nullopt: the board's
        std::string key;
        std::vector<std::string> text, fix;
        bool lasting;
        double minMs, maxMs;
    };
    const std::string emptyDir = board.LogPath() + ".empty";
    std::filesystem::create_directories(emptyDir);
    const Case cases[] = {
        {"no device named", {}, false, {}, "/nonexistent/ttyACM7", "absent",
         {"/nonexistent/ttyACM7 does not exist"}, {"Plug the board in", "ROBOT_SERIAL"}, false, 0, 500},
        {"not a serial device", {}, false, {}, "/dev/null", "not-serial",
         {"/dev/null is not a serial device"}, {"ROBOT_SERIAL"}, true, 0, 500},
        {"a baud rate no device has", {}, true, {{"baud", "12345"}}, std::nullopt, "settings",
         {"baud 12345 in the test's pin map"}, {"Firmata.begin()", "57600"}, true, 0, 500},
        {"no Firmata on the board", Faulty("silent"), true, {{"startup-ms", "0"}}, std::nullopt, "no-answer",
         {"did not answer within 2.0 s (no Firmata firmware on it?)"},
         {"File > Examples > Firmata > StandardFirmata", "Upload"}, true, 1900, 4500},
        {"another sketch's text", Faulty("text", 200), true, {{"startup-ms", "300"}}, std::nullopt,
         "not-firmata", {"answers, but not in Firmata: it sent \"Hello from sketch 42\\r\\nHello"},
         {"Another sketch runs on it", "StandardFirmata", "baud"}, true, 2200, 5000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FakeBoard fake;
        std::string error;
        if (c.started) {
            ASSERT_TRUE(fake.Start(c.board, &error)) << error;
        }
        ScopedEnv device("ROBOT_SERIAL", c.serial ? *c.serial : fake.Device());
        FirmataDevice firmata;
        LineProblem why;
        const int64_t start = MonotonicNs();
        EXPECT_FALSE(firmata.Open(Map(c.settings), why));
        const double tookMs = (MonotonicNs() - start) / 1e6;
        EXPECT_EQ(why.Key, c.key);
        for (const std::string &part : c.text)
            EXPECT_TRUE(Has(why.Text, part)) << why.Text;
        for (const std::string &part : c.fix)
            EXPECT_TRUE(Has(why.Fix, part)) << why.Fix;
        EXPECT_EQ(why.Lasting, c.lasting);
        EXPECT_GE(tookMs, c.minMs);
        EXPECT_LT(tookMs, c.maxMs);
    }

    SCOPED_TRACE("no device found");
    ScopedEnv unset("ROBOT_SERIAL", std::nullopt);
    ScopedEnv dir("ROBOT_SERIAL_DIR", emptyDir);
    FirmataDevice firmata;
    LineProblem why;
    EXPECT_FALSE(firmata.Open(Map(), why));
    EXPECT_EQ(why.Key, "absent");
    EXPECT_TRUE(Has(why.Text, "ROBOT_SERIAL is not set and there is no " + emptyDir + "/ttyACM*")) << why.Text;
    EXPECT_FALSE(why.Lasting);
}

TEST_F(FirmataBoard, BoardHeldByAnotherProgramIsBusy)
{
    StartBoard();
    FirmataDevice first;
    Take(first);
    FirmataDevice second;
    LineProblem why;
    EXPECT_FALSE(second.Open(Map(), why));
    EXPECT_EQ(why.Key, "busy");
    EXPECT_TRUE(Has(why.Text, board.Device() + " is held by another program")) << why.Text;
    EXPECT_TRUE(Has(why.Fix, "fuser")) << why.Fix;
    EXPECT_FALSE(why.Lasting);
}

// Run by a second user, who is not in the device's group.
TEST_F(FirmataBoard, PermissionDeniedNamesTheGroupThatMayOpenIt)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to become a second user";
    StartBoard();
    ASSERT_EQ(chmod(board.Device().c_str(), 0660), 0);
    const std::string group = portkit::DeviceGroup(board.Device(), "dialout");
    int result[2];
    ASSERT_EQ(pipe(result), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(result[0]);
        std::string said = "cannot become user 2002";
        if (setgroups(0, nullptr) == 0 && setresgid(2002, 2002, 2002) == 0 && setresuid(2002, 2002, 2002) == 0) {
            FirmataDevice device;
            LineProblem why;
            said = device.Open(Map(), why) ? "opened" : why.Key + "\n" + why.Text + "\n" + why.Fix;
        }
        (void)!write(result[1], said.data(), said.size());
        _exit(0);
    }
    close(result[1]);
    std::string said;
    char buffer[1024];
    for (ssize_t n; (n = read(result[0], buffer, sizeof buffer)) > 0;)
        said.append(buffer, size_t(n));
    close(result[0]);
    waitpid(child, nullptr, 0);
    EXPECT_TRUE(Has(said, "permission\ncannot open " + board.Device() + ": Permission denied")) << said;
    EXPECT_TRUE(Has(said, "it belongs to group " + group + " (sudo usermod -aG " + group + " $USER")) << said;
}

TEST_F(FirmataBoard, UnpluggedBoardEndsWritesAndReadsWithGone)
{
    StartBoard();
    FirmataDevice device;
    Take(device);
    LineProblem why;
    ASSERT_TRUE(device.Write(Levels(18), why));
    board.Unplug();
    uint32_t firing = 0;
    EXPECT_FALSE(device.Read(firing, why));
    EXPECT_EQ(why.Key, "gone");
    EXPECT_TRUE(Has(why.Text, "the board on " + board.Device() + " has gone (unplugged?)")) << why.Text;
    EXPECT_TRUE(Has(why.Fix, "Plug it in again")) << why.Fix;
    EXPECT_FALSE(why.Lasting);
    LineProblem again;
    EXPECT_FALSE(device.Write(Levels(0), again));
    EXPECT_EQ(again.Key, "gone");
}

TEST_F(FirmataBoard, BoardUnpluggedAfterSomeMessagesFailsTheNextWrite)
{
    // The claim is 13 messages with the capability questions; two writes go through.
    FakeBoardOptions unplugging;
    unplugging.UnplugAfter = 15;
    StartBoard(unplugging);
    FirmataDevice device;
    Take(device);
    LineProblem why;
    int written = 0;
    for (int i = 0; i < 50 && device.Write(Levels(i % 2 ? 18 : 0), why); ++i) {
        ++written;
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(why.Key, "gone") << why.Text;
    EXPECT_GE(written, 2);
    EXPECT_EQ(LinesOf(board.Log(), "event", "unplug").size(), 1u);
}

TEST_F(FirmataBoard, MalformedMessagesAreIgnoredAndCounted)
{
    FakeBoardOptions noisy = Faulty("malformed");
    noisy.Bytewise = true; // and in pieces
    StartBoard(noisy);
    FirmataDevice device;
    Take(device);
    board.SetPin(9, false);
    EXPECT_TRUE(ReadsBecome(device, LeftLineFires));
    board.SetPin(10, true);
    EXPECT_TRUE(ReadsBecome(device, LeftLineFires | ObstacleFires));
    board.SetPin(9, true);
    EXPECT_TRUE(ReadsBecome(device, ObstacleFires));
    std::this_thread::sleep_for(50ms);
    uint32_t firing = 0;
    LineProblem why;
    ASSERT_TRUE(device.Read(firing, why));

    // Every malformed message the board sent after the library's questions
    // were answered, counted once each.
    const std::vector<BoardLine> log = board.Log();
    const long answered = FindLine(log, "out", "analog-mapping");
    ASSERT_GE(answered, 0);
    size_t sent = 0;
    for (size_t i = size_t(answered); i < log.size(); ++i)
        sent += log[i].Is("out", "malformed");
    EXPECT_GE(sent, 4u);
    EXPECT_EQ(device.Malformed(), sent);
}

TEST_F(FirmataBoard, CloseSendsTheMotorsZeroAndWaitsForItBeforeLettingGo)
{
    StartBoard(Latency(2000));
    FirmataDevice device;
    Take(device);
    LineProblem why;
    ASSERT_TRUE(device.Write(Levels(17), why));
    const int64_t start = MonotonicNs();
    device.Close();
    EXPECT_LT((MonotonicNs() - start) / 1e6, 600);
    ASSERT_TRUE(board.WaitForLog([](const auto &log) { return FindLine(log, "event", "close") >= 0; }));
    const std::vector<BoardLine> log = board.Log();
    EXPECT_EQ(PortWrites(log), (std::vector<int>{0, 0x90, 0}));
    long lastWrite = -1;
    for (size_t i = 0; i < log.size(); ++i)
        if (log[i].Is("in", "port-write"))
            lastWrite = long(i);
    EXPECT_LT(lastWrite, FindLine(log, "event", "close"));
    // A closed device writes nothing more.
    EXPECT_FALSE(device.Write(Levels(18), why));
}

TEST_F(FirmataBoard, GuardRoutineSendsTheZeroThroughItsCopyOfTheOpenFile)
{
    StartBoard();
    auto device = std::make_unique<FirmataDevice>();
    Take(*device);
    const portkit::GuardOrder order = device->OrderForGuard();
    EXPECT_EQ(order.Kind, portguard::FirmataKind);
    EXPECT_EQ(order.Payload, std::string("\x90\x00\x00", 3));
    ASSERT_GE(order.Fd, 0);
    const int copy = dup(order.Fd); // as the guard holds it, sent over its socket
    ASSERT_GE(copy, 0);

    // Stopped while a motor runs: the guard's 0; the program goes on afterwards.
    LineProblem why;
    ASSERT_TRUE(device->Write(Levels(18), why));
    ZeroFirmataFromGuard(copy, order.Payload, portguard::Situation::ProgramStopped);
    device->AfterGuardCut();
    ASSERT_TRUE(device->Write(Levels(9), why));
    // Gone while a motor runs: the guard's 0, and the board stays open (no
    // reset) until the guard lets go of its copy.
    ZeroFirmataFromGuard(copy, order.Payload, portguard::Situation::ProgramGone);
    device.reset(); // the program's file goes without a word
    ASSERT_TRUE(board.WaitForLog([](const auto &log) { return PortWrites(log).size() >= 5; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(FindLine(board.Log(), "event", "close"), -1);
    close(copy);
    ASSERT_TRUE(board.WaitForLog([](const auto &log) { return FindLine(log, "event", "close") >= 0; }));
    EXPECT_EQ(PortWrites(board.Log()), (std::vector<int>{0, 0xA0, 0, 0x50, 0}));
}
