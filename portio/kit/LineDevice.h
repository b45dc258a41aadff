#pragma once
// A device whose lines drive the motors and read the sensors as the pin map
// assigns them: a USB adapter, a GPIO chip, a microcontroller board. The kit's
// line backend (LineBackend.h) turns the program's register accesses into
// line levels and back, builds the status byte as the parallel port presents
// it, says each problem once and keeps the guard told; a device only opens,
// claims and moves its lines.
//
// A device is made afresh for every attempt to open it: after a failure, or
// once it has gone (unplugged), the backend drops it and later makes another.
// Open and Claim run on a thread of the backend's (a board may take seconds
// to start), one device at a time; the other calls come under the kit's
// lock once the device is claimed. Say may be called from any thread.
#include "portio/kit/PinMap.h"
#include "portio/kit/PortKit.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace portkit {

// Why a device cannot be used (or stopped working). Said once per Key.
struct LineProblem {
    std::string Key;     // the kind of problem: "absent", "permission", "busy", "gone", ...
    std::string Text;    // what happened, naming the device
    std::string Fix;     // what the user can do about it
    bool Lasting = false; // trying again cannot help (a wrong chip, no Firmata): never retried
};

struct OutputLine {
    int Line; // the device's index; driven high while its data bit is set
};

struct InputLine {
    int Line;       // the device's index
    bool ActiveLow; // the sensor fires when the line is low (else when high)
    Pull LinePull;
};

class LineDevice {
public:
    // How a device tells the operator something besides its problems, once
    // per key (the kit's Services::Say); given by the backend before Open.
    using SayFn = std::function<void(const std::string &key, const std::string &text)>;

    virtual ~LineDevice() = default;
    void SetSay(SayFn say) { say_ = std::move(say); }

    // Before any device is there (called on a device not opened), from what
    // is known of every device of this kind, so that a wrong pin map is said
    // at start: the index of the line `name` names, where the name alone
    // tells it (for the check of lines used twice); nullopt with `why` when
    // no device of this kind has such a line; nullopt and `why` empty where
    // only the device can tell.
    virtual std::optional<int> LineOfName(const std::string &name, std::string &why) const
    {
        (void)name, (void)why;
        return std::nullopt;
    }
    // Why no sensor line of this kind of device can have `pull`; empty when
    // one can.
    virtual std::string PullProblem(Pull pull) const
    {
        (void)pull;
        return {};
    }
    // The device as the status line names it ("/dev/ttyACM0", "gpiochip0
    // [pinctrl-bcm2711]"), once opened; empty before.
    virtual std::string Name() const { return {}; }

    // Finds and opens the device (the map's settings may say which), driving
    // nothing yet.
    virtual bool Open(const PinMap &map, LineProblem &why) = 0;
    // The device's index of a line named in the pin map, or nullopt with
    // `why` (for example which lines there are). Called after Open.
    virtual std::optional<int> FindLine(const std::string &name, std::string &why) const = 0;
    // Takes the lines: every output first at 0, then an output; the inputs as
    // asked. Called once, after Open.
    virtual bool Claim(const std::vector<OutputLine> &outputs, const std::vector<InputLine> &inputs,
                       LineProblem &why) = 0;
    // Sets every output at once: bit i of `levels` is outputs[i].
    virtual bool Write(uint32_t levels, LineProblem &why) = 0;
    // Which inputs fire now (their polarity applied): bit i is inputs[i].
    // Never waits long on the device.
    virtual bool Read(uint32_t &firing, LineProblem &why) = 0;
    // A descriptor that turns readable when the device has sent something
    // (a board's reports), or -1 for a device that answers only when asked.
    // The kit's watch then calls TakeInput, so what the device sends is
    // taken in whether or not the program reads. Asked after a Claim.
    virtual int InputFd() const { return -1; }
    // Takes in what the device has sent, without waiting, keeping only its
    // latest state; false with `why` when the device has gone.
    virtual bool TakeInput(LineProblem &why)
    {
        (void)why;
        return true;
    }
    // How the guard switches the outputs off (Kind 0: it cannot). Asked after
    // a successful Claim.
    virtual GuardOrder OrderForGuard() const = 0;
    // The guard switched the outputs off while the program was stopped.
    virtual void AfterGuardCut() {}
    // The program ends normally: outputs to 0, wait until that is done, let
    // go. The destructor lets go without a write.
    virtual void Close() = 0;

protected:
    void Say(const std::string &key, const std::string &text) const
    {
        if (say_)
            say_(key, text);
    }

private:
    SayFn say_;
};

// The levels of a device whose lines are the bits of one word: bit i of
// `levels` (outputs[i]) at the bit of its line.
inline uint32_t LineLevels(uint32_t levels, const std::vector<OutputLine> &outputs)
{
    uint32_t pins = 0;
    for (size_t i = 0; i < outputs.size(); ++i)
        if (levels & (1u << i))
            pins |= 1u << outputs[i].Line;
    return pins;
}

// Which inputs fire (bit i: inputs[i]), each with its polarity, from
// `high(line)`: whether the device reads the line high.
template <class High>
uint32_t FiringInputs(const std::vector<InputLine> &inputs, High high)
{
    uint32_t firing = 0;
    for (size_t i = 0; i < inputs.size(); ++i)
        if (high(inputs[i].Line) != inputs[i].ActiveLow)
            firing |= 1u << i;
    return firing;
}

// Defined by each line library: a new, unopened device of its kind, and the
// kind (its name, default pin map and settings, kept in its folder).
std::unique_ptr<LineDevice> MakeLineDevice();
const DeviceKind &LineDeviceKind();

} // namespace portkit
