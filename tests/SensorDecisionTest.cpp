// Decisions of the sensor drives, without a window.
#include "core/SensorDecisions.h"

#include <gtest/gtest.h>

#include <vector>

using namespace autodrive;

TEST(SensorDecisions, GoValuesAreReadOnlyUntilOneMatches)
{
    const int32_t values[] = {254, 238, 222};
    std::vector<int> asked;
    auto valueOf = [&](int i) {
        asked.push_back(i);
        return values[i];
    };
    EXPECT_TRUE(IsGoReading(254, valueOf));
    EXPECT_TRUE(IsGoReading(222, valueOf));
    EXPECT_FALSE(IsGoReading(-2, valueOf)); // a sign-extended 0xFFFE is not 254
    EXPECT_EQ(asked, (std::vector<int>{0, 0, 1, 2, 0, 1, 2}));
}

TEST(SensorDecisions, LineSamplesCountInEveryMatchingCategory)
{
    int32_t values[] = {254, 222, 238, 94, 110};
    std::vector<LineCategory> paused;
    auto valueOf = [&](LineCategory c) { return values[static_cast<int>(c)]; };
    auto afterMatch = [&](LineCategory c) {
        if (PausesAfterMatch(c))
            paused.push_back(c);
    };
    LineCounts counts;
    for (int32_t reading : {254, 126, 110, 254})
        CountLineSample(counts, reading, valueOf, afterMatch);
    EXPECT_EQ(counts.Count, (std::array<int32_t, 5>{2, 0, 0, 0, 1}));
    EXPECT_EQ(paused, (std::vector<LineCategory>{LineCategory::Go, LineCategory::Go}))
        << "a match in the last category adds no pause";
    EXPECT_EQ(DecideLine(counts), LineDecision::Mixed);

    values[2] = 254; // two categories with one value: every such reading is mixed
    counts.Clear();
    CountLineSample(counts, 254, valueOf, afterMatch);
    EXPECT_EQ(counts.Count, (std::array<int32_t, 5>{1, 0, 1, 0, 0}));
    EXPECT_EQ(DecideLine(counts), LineDecision::Mixed);

    counts.Clear();
    EXPECT_EQ(DecideLine(counts), LineDecision::None);
    counts[LineCategory::LeftObstacle] = 7;
    EXPECT_EQ(DecideLine(counts), LineDecision::LeftObstacle);
}
