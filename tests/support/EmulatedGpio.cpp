#include "support/EmulatedGpio.h"

#include <fstream>
#include <sstream>

std::vector<GpioCall> ReadGpioLog(const std::string &path)
{
    static const std::map<std::string, std::string> firstNames = {
        {"GPIO_V2_GET_LINEINFO_IOCTL", "GPIO_GET_LINEINFO_IOCTL"},
        {"GPIO_V2_GET_LINEINFO_WATCH_IOCTL", "GPIO_GET_LINEINFO_WATCH_IOCTL"},
        {"GPIO_V2_GET_LINE_IOCTL", "GPIO_GET_LINEHANDLE_IOCTL"},
        {"GPIO_V2_LINE_GET_VALUES_IOCTL", "GPIOHANDLE_GET_LINE_VALUES_IOCTL"},
        {"GPIO_V2_LINE_SET_VALUES_IOCTL", "GPIOHANDLE_SET_LINE_VALUES_IOCTL"},
        {"GPIO_V2_LINE_SET_CONFIG_IOCTL", "GPIOHANDLE_SET_CONFIG_IOCTL"},
    };
    return ReadDeviceLog<GpioCall>(path, [](std::istream &fields, GpioCall &c) {
        if (!(fields >> c.Ns >> c.Pid >> c.Call >> c.Fd >> c.Object >> c.Detail >> c.Result))
            return false;
        if (const auto first = firstNames.find(c.Call); first != firstNames.end()) {
            c.Call = first->second;
            c.SecondInterface = true;
        }
        return true;
    });
}

int GpioAccesses(const std::vector<GpioCall> &log)
{
    int n = 0;
    for (const GpioCall &c : log)
        n += c.Call != "open" && c.Call != "close" && c.Call != "release";
    return n;
}

std::map<int, int> LineLevels(const std::string &detail)
{
    std::map<int, int> levels;
    std::istringstream in(detail);
    std::string pair;
    while (std::getline(in, pair, ',')) {
        const size_t equals = pair.find('=');
        if (equals != std::string::npos)
            levels[std::stoi(pair.substr(0, equals))] = std::stoi(pair.substr(equals + 1));
    }
    return levels;
}

std::string RequestField(const std::string &detail, const std::string &key)
{
    std::istringstream in(detail);
    std::string field;
    while (std::getline(in, field, ';'))
        if (field.compare(0, key.size() + 1, key + "=") == 0)
            return field.substr(key.size() + 1);
    return "";
}

int DefaultMapCode(const std::map<int, int> &levels)
{
    using namespace defaultgpio;
    int code = 0;
    for (const auto &[line, bit] : {std::pair{D4, 4}, std::pair{D3, 3}, std::pair{D1, 1}, std::pair{D0, 0}})
        if (const auto found = levels.find(line); found != levels.end() && found->second)
            code |= 1 << bit;
    return code;
}

EmulatedGpio::EmulatedGpio() = default;

void EmulatedGpio::Hold(const std::string &line, const std::string &consumer)
{
    held_ += (held_.empty() ? "" : ",") + line + "=" + consumer;
}

void EmulatedGpio::ScriptLevels(const std::vector<std::string> &entries)
{
    std::ofstream out(dir_.filePath("inputs.txt").toStdString());
    for (const std::string &entry : entries)
        out << entry << '\n';
    scripted_ = true;
}

void EmulatedGpio::ScriptStatus(const std::vector<int> &values)
{
    using namespace defaultgpio;
    // A status bit reads 0 while its sensor fires; S5 and S4 pull their lines
    // low then, S7 drives its line high.
    std::vector<std::string> entries;
    for (int value : values) {
        const bool left = !(value & (1 << 5)), right = !(value & (1 << 4)), obstacle = !(value & (1 << 7));
        entries.push_back(std::to_string(S5) + "=" + (left ? "0" : "1") + " " + std::to_string(S4) + "=" +
                          (right ? "0" : "1") + " " + std::to_string(S7) + "=" + (obstacle ? "1" : "0"));
    }
    ScriptLevels(entries);
}

EnvVars EmulatedGpio::Env() const
{
    EnvVars env{
        {"LD_PRELOAD", ROBOT_BINARY_DIR "/lib/test/libgpio-emulator.so"},
        {"GPIO_EMU_DIR", Dir()},
        {"GPIO_EMU_LOG", LogPath()},
    };
    if (chips_ >= 0)
        env.emplace_back("GPIO_EMU_CHIPS", std::to_string(chips_));
    if (!openError_.empty())
        env.emplace_back("GPIO_EMU_OPEN_ERROR", openError_);
    if (!held_.empty())
        env.emplace_back("GPIO_EMU_HELD", held_);
    if (goneAfter_ > 0)
        env.emplace_back("GPIO_EMU_GONE_AFTER", std::to_string(goneAfter_));
    if (scripted_)
        env.emplace_back("GPIO_EMU_INPUTS", dir_.filePath("inputs.txt").toStdString());
    return env;
}
