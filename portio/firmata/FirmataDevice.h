#pragma once
// A microcontroller board running the standard Firmata firmware, reached over
// its USB serial device: the robot's motor lines are its output pins, the
// sensors its input pins, named in the pin map by the board's digital pin
// numbers ("7" or "D7"; "A0" for an analog pin used as a digital one).
//
// Opening the serial device resets most boards (DTR); the firmware then says
// its version and name on its own. The device waits for that (or asks, for a
// board that does not reset), asks which pins can do what, and at the claim
// sets the pin modes and turns on the reports of the sensors' ports. From then
// on a write is one digital port message per port holding motor pins (one for
// the default map), and a read answers at once from the last reports, taking
// in what has arrived without waiting. What the board sends is also taken in
// as it comes (TakeInput, from the kit's watch): a firmware whose writes block
// while the host does not read would otherwise stop taking commands. Only the
// latest report of each port is kept.
//
// Pin map settings: baud (57600 as the firmware ships), startup-ms (how long
// the board may take to start after the reset, 4000; its first answer ends the wait).
#include "portio/firmata/FirmataParser.h"
#include "portio/firmata/SerialLine.h"
#include "portio/kit/LineDevice.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace firmata {

class FirmataDevice final : public portkit::LineDevice {
public:
    FirmataDevice() = default;
    ~FirmataDevice() override;

    std::optional<int> LineOfName(const std::string &name, std::string &why) const override;
    std::string PullProblem(portkit::Pull pull) const override;
    std::string Name() const override { return Path(); }
    bool Open(const portkit::PinMap &map, portkit::LineProblem &why) override;
    std::optional<int> FindLine(const std::string &name, std::string &why) const override;
    bool Claim(const std::vector<portkit::OutputLine> &outputs, const std::vector<portkit::InputLine> &inputs,
               portkit::LineProblem &why) override;
    bool Write(uint32_t levels, portkit::LineProblem &why) override;
    bool Read(uint32_t &firing, portkit::LineProblem &why) override;
    int InputFd() const override { return line_ ? line_->Fd() : -1; }
    bool TakeInput(portkit::LineProblem &why) override;
    portkit::GuardOrder OrderForGuard() const override;
    void AfterGuardCut() override;
    void Close() override;

    // What the board said, and what of it was malformed (since the open).
    const BoardState &Board() const { return parser_.State(); }
    uint64_t Malformed() const { return parser_.Counts().Malformed() - malformedAtOpen_; }
    std::string Path() const { return line_ ? line_->Path() : std::string(); }

private:
    bool Handshake(int64_t startupNs, portkit::LineProblem &why);
    bool AskCapabilities(portkit::LineProblem &why);
    // Reads what has arrived (waiting up to `waitMs` for the first byte).
    bool TakeIn(int waitMs, portkit::LineProblem &why);
    bool Send(const std::string &bytes, const char *what, portkit::LineProblem &why);
    // The port messages that set every motor pin to its bit of `levels`.
    std::string MotorMessages(uint32_t levels) const;
    std::string DigitalPins() const;
    void Gone(const char *what, int error, portkit::LineProblem &why) const;
    void NoteMalformed();

    struct Input {
        int Pin;
        bool ActiveLow;
    };

    std::unique_ptr<SerialLine> line_;
    BoardParser parser_;
    uint64_t malformedAtOpen_ = 0;
    bool saidMalformed_ = false;
    std::vector<int> outputs_;
    std::vector<Input> inputs_;
    // The levels the library last set on each port's pins, outputs and
    // legacy pull-ups alike; a port message must not change the others.
    uint8_t portLevels_[MaxPorts] = {};
    uint8_t motorMask_[MaxPorts] = {};
};

} // namespace firmata
