#pragma once
// For end-to-end tests: the control program's window in a fresh working
// directory (with the pictures and the sound of the build), its port library
// pointed at the virtual robot's, and robot-sim beside it; plus a watcher that
// records the simulator's state while the program's handlers run.
#include "sim/testing/SimProcess.h"
#include "support/Harness.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

// Queries the simulator every `periodMs` on a thread of its own, so that it
// keeps watching while a handler holds the GUI thread.
class SimWatcher {
public:
    SimWatcher(const SimProcess &sim, int periodMs);
    ~SimWatcher();
    // Stops watching; the samples stay.
    void Stop();
    std::vector<SimState> Samples() const;

private:
    const SimProcess &sim_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<SimState> samples_;
    std::thread thread_;
};

// How a drive kept to the world's line, from a watcher's samples.
struct LineRun {
    size_t samples = 0;  // samples after the settling time
    double worst = 0;    // metres: the centre's largest distance from the line after it
    double mean = 0;     // metres: the mean of that distance
    double progress = 0; // metres along the line after it (backwards counts against)
    double driven = 0;   // metres the centre moved after it
    int contacts = 0;    // over the whole run
};
// Measures from `settleMs` after the first sample on; the line's position is
// followed across the end of a closed line's lap.
LineRun SummariseLineRun(const std::vector<SimState> &samples, int settleMs);

class SimEndToEnd : public RobotTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts robot-sim with this world (empty: the default world) and points
    // the port library and the capture source at it. Throws (ending the test
    // with the reason) when it does not start.
    void StartSim(const QString &worldJson = {});
    // Records a run's line figures with the test's result (worst and mean
    // distance in mm, progress in cm).
    static void RecordLineRun(const LineRun &run);
    // Runs `action` from the event loop after `ms` milliseconds.
    void At(int ms, std::function<void()> action) { After(ms, std::move(action)); }

    std::unique_ptr<SimProcess> sim;
};
