#pragma once
// The decisions of the two sensor drives, apart from any widget: which status
// readings count and what a cycle's counts mean. The handlers feed them with
// readings and edit values and carry out what they return.
//
// Status readings are compared as whole values; no single bit is tested.
#include <array>
#include <cstdint>

namespace autodrive {

// ---- Obstacle-avoiding drive ----------------------------------------------

// Number of go values (the three edits above the sample count).
constexpr int GoValueCount = 3;

// True when the reading equals one of the go values. `goValue(i)` gives the
// i-th value (0 first) and is asked only when the earlier ones did not match,
// so each value is read at the moment of its comparison.
template <class GoValue>
bool IsGoReading(int32_t reading, GoValue &&goValue)
{
    for (int i = 0; i < GoValueCount; ++i)
        if (reading == goValue(i))
            return true;
    return false;
}

// One free-way sample in the cycle is enough to drive on.
constexpr bool DrivesOn(int32_t goCount) { return goCount >= 1; }

// ---- Sensor line follower -------------------------------------------------

// The five categories of readings, in the order each sample is tested.
enum class LineCategory { Go, Left, Right, LeftObstacle, RightObstacle };
constexpr int LineCategoryCount = 5;
constexpr std::array<LineCategory, LineCategoryCount> LineCategories{
    LineCategory::Go, LineCategory::Left, LineCategory::Right, LineCategory::LeftObstacle,
    LineCategory::RightObstacle};

// Per cycle: how many samples equalled each category's value.
struct LineCounts {
    std::array<int32_t, LineCategoryCount> Count{};

    int32_t &operator[](LineCategory c) { return Count[static_cast<int>(c)]; }
    int32_t operator[](LineCategory c) const { return Count[static_cast<int>(c)]; }
    void Clear() { Count.fill(0); }
};

// What a cycle's counts call for.
enum class LineDecision {
    Mixed,         // two or more categories seen: halt, clear every count
    Go,            // only go: drive forward
    Left,          // only left: a left-turn pulse
    Right,         // only right: a right-turn pulse
    LeftObstacle,  // only left with obstacle: halt
    RightObstacle, // only right with obstacle: halt
    None,          // nothing matched: stand while the STOP value is read
};

// Mixed readings win over everything: a cycle that saw two categories never
// turns or drives on. A single sample in one category is enough to act on it.
LineDecision DecideLine(const LineCounts &counts);

// Whether a sample that matched this category waits one more interval
// before the next test (every category but the last).
constexpr bool PausesAfterMatch(LineCategory c) { return c != LineCategory::RightObstacle; }

// The slow-down step (motors off, wait, forward) comes before the last sample
// of a cycle only.
constexpr bool IsSlowDownSample(int32_t index, int32_t samples) { return index == samples - 1; }

// Counts one reading: tests it against the five category values in order,
// asking `valueOf(category)` at the moment of each test, and calls
// `afterMatch(category)` after counting each match. A reading equal to two
// values counts in both.
template <class ValueOf, class AfterMatch>
void CountLineSample(LineCounts &counts, int32_t reading, ValueOf &&valueOf, AfterMatch &&afterMatch)
{
    for (LineCategory c : LineCategories) {
        if (reading == valueOf(c)) {
            ++counts[c];
            afterMatch(c);
        }
    }
}

} // namespace autodrive
