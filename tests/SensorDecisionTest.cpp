// Decisions of the sensor drives, without a window.
#include "autodrive/SensorDecisions.h"
#include "drive/Motor.h"

#include <gtest/gtest.h>

#include <vector>

using namespace autodrive;

namespace {
LineCounts Counts(int32_t go, int32_t left, int32_t right, int32_t leftObstacle, int32_t rightObstacle)
{
    LineCounts c;
    c.Count = {go, left, right, leftObstacle, rightObstacle};
    return c;
}
} // namespace

TEST(ObstacleDecision, GoValuesAreReadLazilyInOrder)
{
    const int32_t values[] = {254, 238, 222};
    std::vector<int> asked;
    auto valueOf = [&](int i) {
        asked.push_back(i);
        return values[i];
    };
    EXPECT_TRUE(IsGoReading(254, valueOf));
    EXPECT_EQ(asked, (std::vector<int>{0}));
    asked.clear();
    EXPECT_TRUE(IsGoReading(222, valueOf));
    EXPECT_EQ(asked, (std::vector<int>{0, 1, 2}));
    asked.clear();
    EXPECT_FALSE(IsGoReading(126, valueOf));
    EXPECT_FALSE(IsGoReading(-2, valueOf)); // a sign-extended 0xFFFE is not 254
    EXPECT_EQ(asked.size(), 6u);

    EXPECT_FALSE(DrivesOn(0));
    EXPECT_TRUE(DrivesOn(1));
}

TEST(ObstacleDecision, ComboItemsNameMovesAndTheirDurations)
{
    struct Case {
        int item;
        void (*move)();
        int32_t *duration;
    };
    const Case cases[] = {{0, MoveBackward, &ForwardTimeMs},
                          {1, MoveForward, &ForwardTimeMs},
                          {2, TurnRight, &TurnTimeMs},
                          {3, TurnLeft, &TurnTimeMs}};
    for (const Case &c : cases) {
        const AvoidanceStep step = AvoidanceStepForItem(c.item);
        EXPECT_TRUE(step.IsMove()) << c.item;
        EXPECT_EQ(step.Move, c.move) << c.item;
        EXPECT_EQ(step.Duration, c.duration) << c.item;
    }
    for (int none : {-1, 4, 100})
        EXPECT_FALSE(AvoidanceStepForItem(none).IsMove()) << none;
}

TEST(LineDecisionTable, SingleCategoriesMixedAndNone)
{
    EXPECT_EQ(DecideLine(Counts(0, 0, 0, 0, 0)), LineDecision::None);
    EXPECT_EQ(DecideLine(Counts(3, 0, 0, 0, 0)), LineDecision::Go);
    EXPECT_EQ(DecideLine(Counts(0, 1, 0, 0, 0)), LineDecision::Left);
    EXPECT_EQ(DecideLine(Counts(0, 0, 9, 0, 0)), LineDecision::Right);
    EXPECT_EQ(DecideLine(Counts(0, 0, 0, 1, 0)), LineDecision::LeftObstacle);
    EXPECT_EQ(DecideLine(Counts(0, 0, 0, 0, 1)), LineDecision::RightObstacle);
    // Any two categories halt, whatever their share of the samples.
    EXPECT_EQ(DecideLine(Counts(9, 1, 0, 0, 0)), LineDecision::Mixed);
    EXPECT_EQ(DecideLine(Counts(0, 0, 1, 0, 1)), LineDecision::Mixed);
    EXPECT_EQ(DecideLine(Counts(1, 1, 1, 1, 1)), LineDecision::Mixed);
}

TEST(LineDecisionTable, SampleCountingAndPauses)
{
    // The default values: go 254, left 222, right 238, obstacles 94 and 110.
    int32_t values[] = {254, 222, 238, 94, 110};
    std::vector<LineCategory> asked, paused;
    auto valueOf = [&](LineCategory c) {
        asked.push_back(c);
        return values[static_cast<int>(c)];
    };
    auto afterMatch = [&](LineCategory c) {
        if (PausesAfterMatch(c))
            paused.push_back(c);
    };
    LineCounts counts;
    for (int32_t reading : {254, 126, 222, 110, 254})
        CountLineSample(counts, reading, valueOf, afterMatch);
    EXPECT_EQ(counts.Count, (std::array<int32_t, 5>{2, 1, 0, 0, 1}));
    EXPECT_EQ(asked.size(), 25u) << "every value is tested for every sample";
    EXPECT_EQ(asked[4], LineCategory::RightObstacle);
    EXPECT_EQ(paused, (std::vector<LineCategory>{LineCategory::Go, LineCategory::Left, LineCategory::Go}))
        << "a match in the last category adds no pause";

    // Two categories with the same value count the same reading twice.
    values[2] = 254;
    counts.Clear();
    CountLineSample(counts, 254, valueOf, afterMatch);
    EXPECT_EQ(counts.Count, (std::array<int32_t, 5>{1, 0, 1, 0, 0}));
    EXPECT_EQ(DecideLine(counts), LineDecision::Mixed);

    EXPECT_TRUE(IsSlowDownSample(0, 1));
    EXPECT_FALSE(IsSlowDownSample(0, 2));
    EXPECT_TRUE(IsSlowDownSample(9, 10));
    EXPECT_FALSE(IsSlowDownSample(0, 0));
}
