// The sensor drives end to end: the program's own START handlers drive the
// virtual robot in robot-sim, in real time, through the virtual robot's port
// library.
#include "sim/testing/SimFixture.h"

#include "autodrive/SensorStop.h"
#include "drive/Motor.h"

#include <algorithm>
#include <cmath>

namespace {
// A walled 1.6 x 1.2 m arena without a line; the robot in the middle facing
// the east wall, 0.8 m away.
const char *WalledArena = R"({
  "arena": {"width": 1.6, "height": 1.2},
  "robot": {"start": {"x": 0.8, "y": 0.6, "heading": 0}, "wheelSpeed": 0.15, "trackWidth": 0.12,
            "bodyRadius": 0.08, "obstacleSensor": {"position": [0.08, 0], "range": 0.25, "halfAngle": 15}}
})";

// Milliseconds of a turn on the spot by 90 degrees for that robot.
constexpr int QuarterTurnMs = 628; // (pi / 2) * (0.12 / 2) / 0.15 s

// The writes to the data register, in order.
std::vector<int> Codes(const std::vector<PortAccess> &trace) { return DataWrites(trace); }

// True when `needle` occurs in `hay` in this order, not necessarily side by side.
bool InOrder(const std::vector<int> &hay, const std::vector<int> &needle)
{
    size_t k = 0;
    for (int v : hay)
        if (k < needle.size() && v == needle[k])
            ++k;
    return k == needle.size();
}

class SimDrives : public SimEndToEnd {};
} // namespace

TEST_F(SimDrives, ObstacleDriveStopsBeforeTheWallBacksOffAndTurnsWithoutAContact)
{
    StartSim(WalledArena);
    TForm1 &f = Form();
    f.Edit23->setText("500");                  // standstill after an obstacle
    f.ComboBox16->setCurrentIndex(0);          // back...
    f.Edit20->setText("1000");                 // ...15 cm
    f.ComboBox17->setCurrentIndex(2);          // then right...
    f.Edit21->setText(QString::number(QuarterTurnMs)); // ...by a quarter turn
    SimWatcher watcher(*sim, 20);
    At(20000, [&f] { f.BitBtn2Click(); });
    f.BitBtn1Click(); // runs until the STOP above
    watcher.Stop();

    const auto samples = watcher.Samples();
    ASSERT_GT(samples.size(), 200u);
    const auto last = sim->Query();
    ASSERT_TRUE(last);
    EXPECT_EQ(last->contacts, 0);
    for (const SimState &s : samples)
        ASSERT_EQ(s.contacts, 0) << "touched at " << s.x << ", " << s.y;

    // The first leg: east toward the wall, stopped well before it, then back.
    size_t farthest = 0;
    while (farthest + 1 < samples.size() && samples[farthest + 1].x >= samples[farthest].x)
        ++farthest;
    const double stopX = samples[farthest].x;
    EXPECT_GT(stopX, 1.1) << "drove toward the wall";
    EXPECT_LT(stopX, 1.6 - 0.08 - 0.1) << "stopped at least 10 cm before touching it";
    const double backX = std::min_element(samples.begin() + farthest, samples.end(),
                                          [](const SimState &a, const SimState &b) { return a.x < b.x; })
                             ->x;
    EXPECT_LT(backX, stopX - 0.1) << "backed off";
    // Then turned right by about a quarter: facing south.
    bool facedSouth = false;
    for (size_t i = farthest; i < samples.size(); ++i)
        facedSouth = facedSouth || std::abs(samples[i].heading + 90) < 5;
    EXPECT_TRUE(facedSouth);
    EXPECT_TRUE(InOrder(Codes(Trace()), {18, 0, 9, 0, 10, 0, 18, 0, 9, 0, 10, 0}))
        << "two obstacles, each answered with back and right";
    EXPECT_GT(last->odometer, 1.0);
    EXPECT_EQ(last->data, 0) << "STOP left the motors off";
}

TEST_F(SimDrives, SensorLineFollowerWithTheReadmeSettingsFollowsTheDefaultTrack)
{
    StartSim(); // the default world: the robot on the line, facing along it
    TForm1 &f = Form();
    // The README's settings: the defaults but for short turns.
    f.Edit32->setText("60"); // left turn
    f.Edit33->setText("60"); // right turn
    SimWatcher watcher(*sim, 20);
    At(30000, [&f] { f.Button21Click(); });
    f.Button22Click(); // runs until the STOP above
    watcher.Stop();

    const auto samples = watcher.Samples();
    ASSERT_GT(samples.size(), 300u);
    double worst = 0, progress = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
        worst = std::max(worst, samples[i].lineDistance);
        if (i > 0) { // along the line, across the lap's end
            double step = samples[i].trackPosition - samples[i - 1].trackPosition;
            const double length = samples[i].trackLength;
            step = std::remainder(step, length);
            progress += step;
        }
    }
    const auto last = sim->Query();
    ASSERT_TRUE(last);
    RecordProperty("worstLineDistanceMm", static_cast<int>(worst * 1000));
    RecordProperty("progressCm", static_cast<int>(progress * 100));
    EXPECT_LT(worst, 0.04) << "never more than 4 cm off the line";
    EXPECT_GT(progress, 2.0) << "at least 2 m along the line in 30 s";
    EXPECT_EQ(last->contacts, 0);
}
