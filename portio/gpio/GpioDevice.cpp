// The GPIO lines of a single-board computer as the robot's port: the motor
// lines are outputs of one GPIO chip, the sensor lines its inputs, as the
// pin map says (the map's `chip` setting names the chip: gpiochip0, a path,
// or a label such as pinctrl-bcm2711; a line is named by its offset or by its
// name as gpioinfo shows it).
//
// The motor lines are requested as outputs at 0 under the consumer name
// "robot", in one line request whose copy the guard gets; the sensor lines as
// inputs with the pull and the polarity the map asks for, the polarity left
// to the kernel (its active-low flag), so a line reads 1 when its sensor
// fires.
#include "portio/gpio/GpioLines.h"
#include "portio/gpio/GpioPins.h"
#include "portio/kit/DeviceGroup.h"
#include "portio/kit/LineDevice.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <grp.h>
#include <map>
#include <optional>
#include <sys/stat.h>
#include <tuple>

namespace {

using portkit::LineProblem;

constexpr const char *Consumer = "robot";
constexpr const char *DefaultChip = "gpiochip0";


// "gpiochip0 [pinctrl-bcm2711], gpiochip1 [raspberrypi-exp-gpio]"
std::string ChipsHere()
{
    int error = 0;
    const std::vector<gpio::ChipSummary> chips = gpio::ListChips(error);
    if (error)
        return std::string("the chips cannot be listed: ") + std::strerror(error);
    if (chips.empty())
        return "this computer shows no GPIO chip";
    std::string text = "the chips here: ";
    for (size_t i = 0; i < chips.size(); ++i)
        text += (i ? ", " : "") + chips[i].Name + " [" + chips[i].Label + "]";
    return text;
}

bool AllDigits(const std::string &text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

bool SameIgnoringCase(const std::string &a, const std::string &b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

gpio::Bias BiasOf(portkit::Pull pull)
{
    switch (pull) {
    case portkit::Pull::Up:
        return gpio::Bias::PullUp;
    case portkit::Pull::Down:
        return gpio::Bias::PullDown;
    case portkit::Pull::None:
        return gpio::Bias::Disabled;
    case portkit::Pull::AsIs:
        break;
    }
    return gpio::Bias::AsIs;
}

class GpioDevice final : public portkit::LineDevice {
public:
    std::string Name() const override { return chip_ ? ChipText() : std::string(); }

    bool Open(const portkit::PinMap &map, LineProblem &why) override
    {
        which_ = map.Setting("chip", DefaultChip);
        int error = 0;
        chip_ = gpio::Chip::Open(which_, error);
        if (!chip_) {
            why = OpenProblem(error);
            return false;
        }
        names_.assign(chip_->LineCount(), std::string());
        for (unsigned offset = 0; offset < chip_->LineCount(); ++offset) {
            gpio::LineInfo info;
            if (!chip_->Describe(offset, info, error)) {
                why = AccessProblem(error, "cannot read the lines of");
                chip_.reset();
                return false;
            }
            names_[offset] = info.Name;
        }
        return true;
    }

    std::optional<int> FindLine(const std::string &name, std::string &why) const override
    {
        if (AllDigits(name)) {
            const unsigned long offset = name.size() > 6 ? ~0ul : std::stoul(name);
            if (offset < names_.size())
                return int(offset);
            why = ChipText() + " has lines 0 to " + std::to_string(names_.size() - 1) + ", no line " + name;
            return std::nullopt;
        }
        for (size_t offset = 0; offset < names_.size(); ++offset)
            if (names_[offset] == name)
                return int(offset);
        why = ChipText() + " has no line named " + name;
        for (const std::string &other : names_)
            if (SameIgnoringCase(other, name)) {
                why += " (did you mean " + other + "?)";
                return std::nullopt;
            }
        why += "; its lines:";
        for (size_t offset = 0; offset < names_.size(); ++offset)
            why += (offset ? ", " : " ") + std::to_string(offset) + " " +
                   (names_[offset].empty() ? "unnamed" : names_[offset]);
        return std::nullopt;
    }

    bool Claim(const std::vector<portkit::OutputLine> &outputs, const std::vector<portkit::InputLine> &inputs,
               LineProblem &why) override
    {
        // A line someone else holds is named before anything is taken.
        for (const portkit::OutputLine &line : outputs)
            if (Held(line.Line, why))
                return false;
        for (const portkit::InputLine &line : inputs)
            if (Held(line.Line, why))
                return false;

        int error = 0;
        std::vector<unsigned> offsets;
        for (const portkit::OutputLine &line : outputs)
            offsets.push_back(unsigned(line.Line));
        if (!offsets.empty()) {
            outputs_ = gpio::Outputs::Request(*chip_, offsets, Consumer, error);
            if (!outputs_) {
                why = RequestProblem(error, offsets, "the motor lines");
                return false;
            }
        }
        payload_ = chip_->Name() + " " + OffsetList(offsets);

        // One request per polarity and pull: the kernel takes them per request.
        std::map<std::tuple<bool, gpio::Bias>, InputGroup> groups;
        for (size_t i = 0; i < inputs.size(); ++i) {
            InputGroup &group = groups[{inputs[i].ActiveLow, BiasOf(inputs[i].LinePull)}];
            group.Offsets.push_back(unsigned(inputs[i].Line));
            group.Bits.push_back(i);
        }
        for (auto &[flags, group] : groups) {
            group.Lines = gpio::Inputs::Request(*chip_, group.Offsets, std::get<0>(flags), std::get<1>(flags),
                                                Consumer, error);
            if (!group.Lines) {
                why = RequestProblem(error, group.Offsets, "the sensor lines",
                                     std::get<1>(flags) != gpio::Bias::AsIs);
                LetGo();
                return false;
            }
            inputs_.push_back(std::move(group));
        }
        return true;
    }

    bool Write(uint32_t levels, LineProblem &why) override
    {
        if (!outputs_)
            return true; // no motor line in the map
        int error = 0;
        if (outputs_->Set(levels, error))
            return true;
        why = AccessProblem(error, "cannot set the motor lines of");
        return false;
    }

    bool Read(uint32_t &firing, LineProblem &why) override
    {
        firing = 0;
        for (InputGroup &group : inputs_) {
            uint32_t active = 0;
            int error = 0;
            if (!group.Lines->Get(active, error)) {
                why = AccessProblem(error, "cannot read the sensor lines of");
                return false;
            }
            for (size_t i = 0; i < group.Bits.size(); ++i)
                if (active & (uint32_t(1) << i))
                    firing |= uint32_t(1) << group.Bits[i];
        }
        return true;
    }

    portkit::GuardOrder OrderForGuard() const override
    {
        portkit::GuardOrder order;
        if (outputs_) {
            order.Kind = portguard::GpioKind;
            order.Fd = outputs_->HandleFd();
            order.Payload = payload_;
        }
        return order;
    }

    void Close() override
    {
        if (outputs_) {
            int error = 0;
            outputs_->Set(0, error); // the ioctl is done when it returns
        }
        LetGo();
        chip_.reset();
    }

private:
    struct InputGroup {
        std::vector<unsigned> Offsets;
        std::vector<size_t> Bits; // the index in the Claim's inputs of each line
        std::unique_ptr<gpio::Inputs> Lines;
    };

    // The lines go before their chip.
    void LetGo()
    {
        inputs_.clear();
        outputs_.reset();
    }

    static std::string OffsetList(const std::vector<unsigned> &offsets)
    {
        std::string text;
        for (size_t i = 0; i < offsets.size(); ++i)
            text += (i ? "," : "") + std::to_string(offsets[i]);
        return text;
    }

    // "gpiochip0 [pinctrl-bcm2711]"
    std::string ChipText() const { return chip_->Name() + " [" + chip_->Label() + "]"; }

    // "GPIO17 (line 17 of gpiochip0 [pinctrl-bcm2711])"
    std::string LineText(unsigned offset) const
    {
        const std::string where = "line " + std::to_string(offset) + " of " + ChipText();
        return offset < names_.size() && !names_[offset].empty() ? names_[offset] + " (" + where + ")" : where;
    }

    // True, with the problem, when another consumer holds the line.
    bool Held(int offset, LineProblem &why) const
    {
        gpio::LineInfo info;
        int error = 0;
        if (!chip_->Describe(unsigned(offset), info, error)) {
            why = AccessProblem(error, "cannot read the lines of");
            return true;
        }
        if (!info.Used)
            return false;
        why.Key = "busy";
        if (info.Consumer == Consumer) {
            // Our own consumer name: another copy of this program (or its
            // port guard, which lets go as soon as that copy has ended).
            why.Text = LineText(unsigned(offset)) + " is held by another copy of this program (consumer \"" +
                       info.Consumer + "\")";
            why.Fix = "Close the other robot program (another window of it, or one started from another "
                      "terminal or the desktop menu); this one takes the lines once they are free.";
            return true;
        }
        why.Text = LineText(unsigned(offset)) + " is held by " +
                   (info.Consumer.empty() ? std::string("the kernel") : "\"" + info.Consumer + "\"");
        why.Fix = "Stop the program that holds it, or remove the driver or device tree overlay that claims it "
                  "(gpioinfo " + chip_->Name() + " shows the holder), or move the signal to a free line in the "
                  "pin map.";
        return true;
    }

    LineProblem OpenProblem(int error) const
    {
        LineProblem why;
        const bool path = which_[0] == '/';
        const bool name = AllDigits(which_) || which_.compare(0, 8, "gpiochip") == 0;
        const std::string device = path || name ? gpio::ChipPath(which_) : "/dev/gpiochip*";
        const std::string key = portkit::OpenProblemKey(error);
        if (error == ENOTTY || error == ENODEV) {
            why.Key = "not-gpio";
            why.Text = which_ + " is not a GPIO chip (" + ChipsHere() + ")";
            why.Fix = "Set `chip` in the pin map to one of the chips gpiodetect lists.";
            why.Lasting = true;
        } else if (key == "absent") {
            why.Key = key;
            why.Text = path || name ? "there is no GPIO chip " + which_ + " (" + device + " does not exist; " +
                                          ChipsHere() + ")"
                                    : "no GPIO chip is named or labelled " + which_ + " (" + ChipsHere() + ")";
            why.Fix = "Set `chip` in the pin map to one of the chips gpiodetect lists; a chip that is not there "
                      "needs its driver (or its device tree overlay) loaded.";
        } else if (key == "permission") {
            why.Key = key;
            why.Text = path || name ? "cannot open " + device + ": " + std::strerror(error)
                                    : "cannot open the GPIO chips (" + device + ") to find the one labelled " +
                                          which_ + ": " + std::strerror(error);
            const std::string group = portkit::DeviceGroup(path || name ? device : "/dev/gpiochip0", "");
            if (!group.empty())
                why.Fix = "Add this user to group " + group + ", which may open the GPIO chips (" +
                          portkit::JoinGroupCommand(group) + "), then log in again.";
            else
                why.Fix = "Let a group open the GPIO chips with a udev rule: put SUBSYSTEM==\"gpio\", "
                          "KERNEL==\"gpiochip*\", GROUP=\"gpio\", MODE=\"0660\" in "
                          "/etc/udev/rules.d/60-gpio.rules, run sudo groupadd -f gpio; sudo usermod -aG gpio $USER; "
                          "sudo udevadm control --reload; sudo udevadm trigger, then log in again.";
        } else {
            why.Key = "open";
            why.Text = "cannot open the GPIO chip " + which_ + ": " + std::strerror(error);
            why.Fix = "Check the chip with gpiodetect and gpioinfo.";
        }
        return why;
    }

    LineProblem RequestProblem(int error, const std::vector<unsigned> &offsets, const std::string &what,
                               bool withPull = false) const
    {
        if (error == EBUSY) {
            // Taken since the check: name the holder if it can be told.
            for (unsigned offset : offsets) {
                LineProblem why;
                if (Held(int(offset), why))
                    return why;
            }
        }
        if (error == ENOTTY) {
            LineProblem why;
            why.Key = "refused";
            why.Text = "the kernel does not take line requests for " + what + " of " + ChipText() + " (" +
                       std::strerror(error) + ")";
            why.Fix = "The GPIO lines need Linux 5.10 or later (the GPIO character device's line requests): "
                      "update the kernel.";
            why.Lasting = true;
            return why;
        }
        if (error == EINVAL && withPull) {
            LineProblem why;
            why.Key = "refused";
            why.Text = "the kernel refused " + what + " (" + OffsetList(offsets) + ") of " + ChipText() + ": " +
                       std::strerror(error);
            why.Fix = "Pull settings need Linux 5.5 or later: update the kernel, or drop pull-up and pull-down "
                      "from the pin map and fit the resistors on the board.";
            why.Lasting = true;
            return why;
        }
        return AccessProblem(error, "cannot take " + what + " (" + OffsetList(offsets) + ") of");
    }

    // A request on the open chip failed: gone, or something else.
    LineProblem AccessProblem(int error, const std::string &doing) const
    {
        LineProblem why;
        if (portkit::IsGoneError(error)) {
            why.Key = "gone";
            why.Text = "the GPIO chip " + ChipText() + " is gone (" + std::strerror(error) + ")";
            why.Fix = "Check its connection and its driver (a USB GPIO adapter unplugged?); the robot's lines go "
                      "nowhere until it is back.";
        } else {
            why.Key = "io";
            why.Text = doing + " " + ChipText() + ": " + std::strerror(error);
            why.Fix = "Check the chip with gpioinfo " + chip_->Name() + ".";
        }
        return why;
    }

    std::string which_;
    // Declared first, so that it closes after the lines.
    std::unique_ptr<gpio::Chip> chip_;
    std::vector<std::string> names_;
    std::unique_ptr<gpio::Outputs> outputs_;
    std::vector<InputGroup> inputs_;
    std::string payload_;
};

} // namespace

namespace portkit {

std::unique_ptr<LineDevice> MakeLineDevice() { return std::make_unique<GpioDevice>(); }

const DeviceKind &LineDeviceKind() { return gpio::Pins; }

} // namespace portkit
