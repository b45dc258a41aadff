#pragma once
// Real-time scheduling for the length of each motor pulse, where the user
// allows it (RLIMIT_RTPRIO above 0, or the CAP_SYS_NICE capability). A busy
// machine then cannot make a pulse longer than asked: the GUI thread runs at
// SCHED_FIFO from before the pulse's first write to after its last, and the
// last 0.2 ms before the deadline are waited out by watching the clock rather
// than by a wake-up that the scheduler, or a processor waking from a deep
// sleep, may delay.
// Without the permission the pulse runs at normal priority, as any other code.

// What the pulses run at; probed once, on first use.
struct PulseScheduling {
    bool realTime = false;
    int priority = 0; // SCHED_FIFO priority when realTime
};
PulseScheduling PulseSchedulingInEffect();

// Says once on standard error which of the two is in effect and, for the
// normal one, how to allow the other. For the start of the program.
void AnnouncePulseScheduling();

// For the benchmark: real-time pulses off (false) or, where allowed, on.
void UseRealTimePulses(bool on);

// Raises the calling thread to the pulse priority for its lifetime (when
// real-time pulses are in effect and on); back to normal scheduling after.
class PulsePriority {
public:
    PulsePriority();
    ~PulsePriority();
    PulsePriority(const PulsePriority &) = delete;
    PulsePriority &operator=(const PulsePriority &) = delete;

    // True while this pulse runs at real-time priority.
    bool RealTime() const { return raised_; }

private:
    bool raised_ = false;
    int oldPolicy_ = 0;
};

// How long before the deadline a real-time pulse stops sleeping and watches
// the clock: longer than a wake-up from a deep idle state takes (50 us left
// idle 200 ms pulses 0.06 ms long at the median; 200 us, 0.012 ms).
constexpr long long PulseSpinNs = 200'000;
