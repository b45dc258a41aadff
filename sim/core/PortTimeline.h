#pragma once
// What the port's lines did over the last seconds, as a logic analyser keeps
// it: each register's value with the time it took it, one entry per change.
// The arena window draws it as a strip under the arena; plain data, no
// widgets, so that the drawing and the tests read the same levels.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace sim {

class PortTimeline {
public:
    // One value of a register from `ns` on (until the next entry).
    struct Level {
        int64_t ns;
        int value;
    };
    // A stretch of time in which a line kept its state.
    struct Span {
        int64_t from;
        int64_t to;
        int state;
    };

    // Keeps what happened in the last `spanNs` before the newest entry, and
    // at most `maxChanges` changes per register (the oldest go first).
    explicit PortTimeline(int64_t spanNs = 10'000'000'000, size_t maxChanges = 20000);

    // A value seen at `ns`: a write of the data register, a read (or a look)
    // at the status register. Only a change is kept; a time earlier than the
    // last entry counts as that entry's time.
    void Data(int64_t ns, int value) { Add(data_, ns, value); }
    void Status(int64_t ns, int value) { Add(status_, ns, value); }

    const std::deque<Level> &DataLevels() const { return data_; }
    const std::deque<Level> &StatusLevels() const { return status_; }

    // The stretches of `levels` between `from` and `to`, each with the state
    // `stateOf` gives its value; neighbouring stretches of the same state are
    // one. Before the first entry the state is that of `before`.
    template <class StateOf>
    static std::vector<Span> Spans(const std::deque<Level> &levels, int64_t from, int64_t to, int before,
                                   StateOf stateOf);

private:
    void Add(std::deque<Level> &levels, int64_t ns, int value);

    int64_t spanNs_;
    size_t maxChanges_;
    std::deque<Level> data_;
    std::deque<Level> status_;
};

template <class StateOf>
std::vector<PortTimeline::Span> PortTimeline::Spans(const std::deque<Level> &levels, int64_t from, int64_t to,
                                                    int before, StateOf stateOf)
{
    std::vector<Span> out;
    if (to <= from)
        return out;
    int state = stateOf(before);
    int64_t at = from;
    for (const Level &level : levels) {
        if (level.ns >= to)
            break;
        const int next = stateOf(level.value);
        if (level.ns <= from) {
            state = next; // in force when the window opens
            continue;
        }
        if (next == state)
            continue;
        out.push_back({at, level.ns, state});
        at = level.ns;
        state = next;
    }
    out.push_back({at, to, state});
    return out;
}

} // namespace sim
