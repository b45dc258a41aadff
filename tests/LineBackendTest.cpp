// The kit's line backend on its own, over a device the test scripts: the
// status byte, the motor lines, the opening in the background, retries,
// lasting faults, losses and the pin map's checks at start.
#include "core/RobotWiring.h"
#include "portio/kit/LineBackend.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

using namespace portkit;

namespace {
// What the devices of one test do and saw.
struct Bench {
    std::mutex Mutex;
    std::condition_variable Released;
    bool Hold = false;                  // Open waits until this is false
    std::deque<LineProblem> OpenFails; // each Open takes the next; none: it opens
    std::optional<LineProblem> IoFails; // the next Write or Read fails so
    int Opens = 0, Closes = 0;
    std::vector<OutputLine> Outputs;
    std::vector<InputLine> Inputs;
    std::vector<uint32_t> Writes;
    uint32_t Firing = 0;
};

// Lines L0..L7, known without a device. Made on the backend's thread: all it
// touches is under the bench's lock.
class ScriptedDevice final : public LineDevice {
public:
    explicit ScriptedDevice(Bench &bench) : bench_(bench) {}
    std::optional<int> LineOfName(const std::string &name, std::string &why) const override
    {
        if (name.size() == 2 && name[0] == 'L' && name[1] >= '0' && name[1] <= '7')
            return name[1] - '0';
        why = "its lines are L0..L7";
        return std::nullopt;
    }
    std::optional<int> FindLine(const std::string &name, std::string &why) const override
    {
        return LineOfName(name, why);
    }
    std::string PullProblem(Pull pull) const override { return pull == Pull::Down ? "no pull-downs" : ""; }
    std::string Name() const override { return "bench0"; }
    bool Open(const PinMap &, LineProblem &why) override
    {
        std::unique_lock<std::mutex> lock(bench_.Mutex);
        bench_.Released.wait(lock, [&] { return !bench_.Hold; });
        ++bench_.Opens;
        if (bench_.OpenFails.empty())
            return true;
        why = bench_.OpenFails.front();
        bench_.OpenFails.pop_front();
        return false;
    }
    bool Claim(const std::vector<OutputLine> &outputs, const std::vector<InputLine> &inputs, LineProblem &why) override
    {
        return Io(why, [&] { bench_.Outputs = outputs, bench_.Inputs = inputs; }, false);
    }
    bool Write(uint32_t levels, LineProblem &why) override { return Io(why, [&] { bench_.Writes.push_back(levels); }); }
    bool Read(uint32_t &firing, LineProblem &why) override { return Io(why, [&] { firing = bench_.Firing; }); }
    GuardOrder OrderForGuard() const override { return {'B', -1, "bench"}; }
    void Close() override
    {
        LineProblem unused;
        Io(unused, [&] { ++bench_.Closes; }, false);
    }

private:
    template <class Then>
    bool Io(LineProblem &why, Then then, bool mayFail = true)
    {
        std::lock_guard<std::mutex> lock(bench_.Mutex);
        if (mayFail && bench_.IoFails) {
            why = *std::exchange(bench_.IoFails, std::nullopt);
            return false;
        }
        then();
        return true;
    }
    Bench &bench_;
};

// What the backend told the kit.
struct Heard final : Services {
    std::vector<std::string> Said, Noted, Failed; // keys said and noted; failures' texts
    std::map<int, GuardOrder> Orders;
    void Say(const std::string &key, const std::string &) override { Said.push_back(key); }
    void Note(const std::string &key, const std::string &) override { Noted.push_back(key); }
    void Fail(const std::string &text) override { Failed.push_back(text); }
    void Guard(int slot, const GuardOrder &order) override { Orders[slot] = order; }
    int64_t AccessNs() const override { return 0; }
};

// Motor bits D0 D1 D3 D4 on lines 6 5 4 3; the sensors on lines 0 1 2.
const char *const Wired = "D0 L6\nD1 L5\nD3 L4\nD4 L3\nS4 L0\nS5 L1 active-high pull-up\nS7 L2\n";

class LineBackendTest : public ::testing::Test {
protected:
    void SetUp() override { unsetenv("ROBOT_PINS"); }
    // The backend over the bench's devices, with the map `pins`; it looks
    // for the device again on the test's clock.
    void Start(const std::string &pins = Wired, int64_t accessWaitNs = 1'000'000'000)
    {
        kind_ = {"bench", pins, {}};
        const LineTimes times{RetryNs, accessWaitNs, [this] { return clock_; }};
        backend_ = MakeLineBackend(heard_, kind_, [this] { return std::make_unique<ScriptedDevice>(bench_); }, times);
    }
    int Opens()
    {
        std::lock_guard<std::mutex> lock(bench_.Mutex);
        return bench_.Opens;
    }
    void AfterRetry() { clock_ += RetryNs; }

    static constexpr int64_t RetryNs = 1'000'000'000;
    int64_t clock_ = 0;
    Bench bench_;
    Heard heard_;
    DeviceKind kind_;
    std::unique_ptr<PortBackend> backend_;
};
} // namespace

TEST_F(LineBackendTest, CodesGoToTheMappedLinesAndSensorsClearTheirStatusBits)
{
    Start();
    backend_->Out(DataPort, MotorForwardCode);
    EXPECT_EQ(backend_->In(DataPort), MotorForwardCode);
    // Forward is D1 and D4: outputs 1 and 3 of the map's order D0 D1 D3 D4.
    ASSERT_EQ(bench_.Writes, (std::vector<uint32_t>{0b1010}));
    ASSERT_EQ(bench_.Outputs.size(), 4u);
    EXPECT_EQ(bench_.Outputs[0].Line, 6);
    // The map's polarities and pulls reach the device; S4 and S7 by default.
    ASSERT_EQ(bench_.Inputs.size(), 3u);
    EXPECT_TRUE(bench_.Inputs[0].ActiveLow);
    EXPECT_FALSE(bench_.Inputs[1].ActiveLow);
    EXPECT_EQ(bench_.Inputs[1].LinePull, Pull::Up);
    EXPECT_FALSE(bench_.Inputs[2].ActiveLow);
    for (const auto &[firing, status] : std::vector<std::pair<uint32_t, short>>{
             {0, StatusIdle}, {0b001, StatusIdle & ~RightLineBit}, {0b110, StatusIdle & ~(LeftLineBit | ObstacleBit)}}) {
        bench_.Firing = firing;
        EXPECT_EQ(backend_->In(StatusPort), status) << firing;
    }
    EXPECT_EQ(backend_->Status(), "bench bench0: connected");
    EXPECT_EQ(heard_.Orders[1].Kind, 'B');
    EXPECT_TRUE(heard_.Failed.empty());
    backend_->Close();
    EXPECT_EQ(bench_.Closes, 1);
    EXPECT_EQ(heard_.Orders[1].Kind, 0) << "the guard's order is withdrawn at the end";
}

// The status line never waits; an access waits a little, then fails with
// "still starting"; the device is then used without a new opening.
TEST_F(LineBackendTest, OpensInTheBackgroundAndAnAccessMeanwhileFailsAsStillStarting)
{
    bench_.Hold = true;
    Start(Wired, 2'000'000);
    EXPECT_EQ(backend_->Status(), "bench: starting");
    backend_->Out(DataPort, MotorLeftCode);
    ASSERT_EQ(heard_.Failed.size(), 1u);
    EXPECT_NE(heard_.Failed[0].find("still starting"), std::string::npos) << heard_.Failed[0];
    backend_->Out(DataPort, 0);
    EXPECT_EQ(heard_.Failed.size(), 1u) << "a 0 without a device goes nowhere and fails nothing";
    {
        std::lock_guard<std::mutex> lock(bench_.Mutex);
        bench_.Hold = false;
    }
    bench_.Released.notify_all();
    for (int i = 0; i < 2000 && backend_->Status() != "bench bench0: connected"; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(backend_->In(StatusPort), StatusIdle);
    EXPECT_EQ(Opens(), 1);
    EXPECT_EQ(heard_.Failed.size(), 1u);
    EXPECT_TRUE(bench_.Writes.empty()) << "nothing written before the device came is carried out late";
}

// Absent: noted for the status line, each access fails, looked for again
// after the interval; once there, its lines stay at 0 until a code comes.
TEST_F(LineBackendTest, AnAbsentDeviceIsLookedForAgainAndTakenWithItsLinesAtZero)
{
    bench_.OpenFails = {{"absent", "no bench plugged in", "Plug it in.", false},
                        {"absent", "no bench plugged in", "Plug it in.", false}};
    Start();
    EXPECT_EQ(backend_->In(StatusPort), 0);
    EXPECT_EQ(heard_.Failed.back(), "no bench plugged in. Plug it in.");
    EXPECT_EQ(backend_->Status(), "bench: absent (no bench plugged in)");
    backend_->Out(DataPort, MotorRightCode);
    EXPECT_EQ(Opens(), 1) << "not looked for again within the interval";
    AfterRetry();
    backend_->In(StatusPort);
    EXPECT_EQ(Opens(), 2);
    EXPECT_EQ(heard_.Noted, (std::vector<std::string>{"absent", "absent"}));
    EXPECT_TRUE(heard_.Said.empty()) << "a device not there is for the status line only";
    AfterRetry();
    EXPECT_EQ(backend_->In(StatusPort), StatusIdle);
    EXPECT_TRUE(bench_.Writes.empty()) << "the code written while it was absent is not carried out";
}

// A problem waiting cannot mend is never tried again; a loss under way fails
// the access, withdraws the guard's order, and is tried again; a loss that
// then finds the device absent stays a loss.
TEST_F(LineBackendTest, LastingProblemsAreNotRetriedAndLossesAre)
{
    bench_.OpenFails = {{"chip", "the bench is of another kind", "Use another.", true}};
    Start();
    backend_->Out(DataPort, MotorForwardCode);
    AfterRetry();
    backend_->Out(DataPort, MotorForwardCode);
    EXPECT_EQ(Opens(), 1);
    EXPECT_EQ(backend_->Status(), "bench: unusable (the bench is of another kind)");
    EXPECT_EQ(heard_.Said, (std::vector<std::string>{"chip"}));

    Start();
    backend_->Out(DataPort, MotorForwardCode);
    bench_.IoFails = LineProblem{"gone", "the bench went away", "Plug it in again.", false};
    bench_.OpenFails = {{"absent", "no bench plugged in", "Plug it in.", false}};
    backend_->Out(DataPort, MotorBackwardCode);
    EXPECT_EQ(heard_.Failed.back(), "the bench went away. Plug it in again.");
    EXPECT_EQ(heard_.Orders[1].Kind, 0);
    AfterRetry();
    backend_->In(StatusPort);
    EXPECT_EQ(backend_->Status(), "bench bench0: lost (the bench went away)");
    EXPECT_TRUE(heard_.Noted.empty());
    AfterRetry();
    EXPECT_EQ(backend_->In(StatusPort), StatusIdle);
    EXPECT_EQ(backend_->Status(), "bench bench0: connected");
}

// What can be told without the device is refused at start, naming the
// entry, and never opened.
TEST_F(LineBackendTest, APinMapTheDeviceCannotCarryOutIsRefusedBeforeOpening)
{
    const std::pair<std::string, std::string> maps[] = {
        {"D0 L6\nD1 L5\nD3 L4\nD4 X9\nS4 L0\nS5 L1\nS7 L2\n",
         "D4 names the line X9, which the bench device does not have (its lines are L0..L7)"},
        {"D0 L6\nD1 L5\nD3 L4\nD4 L3\nS4 L0\nS5 L6\nS7 L2\n", "the line L6 is used twice"},
        {"D0 L6\nD1 L5\nD3 L4\nD4 L3\nS4 L0\nS5 L1\nS7 L2 pull-down\n",
         "S7 asks for a pull the bench device cannot give: no pull-downs"},
        {"D0 L6\n", "does not say which line D1 uses"},
    };
    for (const auto &[pins, refusal] : maps) {
        SCOPED_TRACE(pins);
        heard_ = {};
        Start(pins);
        EXPECT_EQ(backend_->In(StatusPort), 0);
        ASSERT_FALSE(heard_.Failed.empty());
        EXPECT_NE(heard_.Failed[0].find(refusal), std::string::npos) << heard_.Failed[0];
        EXPECT_EQ(heard_.Said, (std::vector<std::string>{"pin-map"}));
        AfterRetry();
        backend_->In(StatusPort);
        EXPECT_EQ(Opens(), 0);
    }
}
