#include "core/SensorDecisions.h"

namespace autodrive {

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
