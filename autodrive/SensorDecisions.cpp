#include "autodrive/SensorDecisions.h"

#include "drive/Motor.h"

namespace autodrive {

AvoidanceStep AvoidanceStepForItem(int itemIndex)
{
    switch (itemIndex) {
    case 0:
        return {MoveBackward, &ForwardTimeMs};
    case 1:
        return {MoveForward, &ForwardTimeMs};
    case 2:
        return {TurnRight, &TurnTimeMs};
    case 3:
        return {TurnLeft, &TurnTimeMs};
    default:
        return {};
    }
}

LineDecision DecideLine(const LineCounts &counts)
{
    int seen = 0;
    LineCategory only = LineCategory::Go;
    for (LineCategory c : LineCategories) {
        if (counts[c] > 0) {
            ++seen;
            only = c;
        }
    }
    if (seen >= 2)
        return LineDecision::Mixed;
    if (seen == 0)
        return LineDecision::None;
    switch (only) {
    case LineCategory::Go:
        return LineDecision::Go;
    case LineCategory::Left:
        return LineDecision::Left;
    case LineCategory::Right:
        return LineDecision::Right;
    case LineCategory::LeftObstacle:
        return LineDecision::LeftObstacle;
    case LineCategory::RightObstacle:
        return LineDecision::RightObstacle;
    }
    return LineDecision::None;
}

} // namespace autodrive
