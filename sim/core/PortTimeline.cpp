#include "sim/core/PortTimeline.h"

namespace sim {

PortTimeline::PortTimeline(int64_t spanNs, size_t maxChanges)
    : spanNs_(spanNs), maxChanges_(maxChanges < 2 ? 2 : maxChanges)
{
}

void PortTimeline::Add(std::deque<Level> &levels, int64_t ns, int value)
{
    if (!levels.empty()) {
        if (levels.back().value == value)
            return;
        if (ns < levels.back().ns)
            ns = levels.back().ns;
    }
    levels.push_back({ns, value});
    // Older entries go, but the one in force when the kept span opens stays:
    // it gives the level at the strip's left edge.
    while (levels.size() > maxChanges_ || (levels.size() > 1 && levels[1].ns <= ns - spanNs_))
        levels.pop_front();
}

} // namespace sim
